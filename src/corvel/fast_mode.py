"""Running ``datamodel-codegen`` warm: one interpreter for all runs, a fork per run.

``corvel.model_generator`` runs the generator through
``subprocess.run(command, shell=True, capture_output=True, text=True,
check=True)``, and every such run starts a new interpreter that imports the
generator and its formatters before doing any work.  ``WarmGenerator`` stands
in for the module's ``subprocess``: its ``run`` reads the command line it is
given, and when that line is a plain call of a Python console script of this
environment (the generator installed with corvel), it has a warm interpreter
(``_warm_server.py``) run the script in a forked child, with this process's
working directory and environment.  The answer has what the shell run would
have had: the same return code, the same captured texts, the same
``CalledProcessError``.  Any other command goes to the real
``subprocess.run`` unchanged.
"""

from __future__ import annotations

import locale
import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path

from corvel._warm_server import read_message, write_message

SERVER_SCRIPT = Path(__file__).resolve().parent / "_warm_server.py"

# Characters the shell takes literally outside quotes; anything else (an
# operator, an expansion, a glob, a tab) leaves the command to the shell.
_PLAIN = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_@%+=:,./-")
_SPECIAL_IN_DOUBLE_QUOTES = frozenset('$`\\!"')
_WARM_OPTIONS = {"shell", "capture_output", "text", "check"}


def shell_words(command: str) -> list[str] | None:
    """The words /bin/sh makes of a command line built of plain and quoted words only.

    Words are separated by blanks and built of plain characters,
    single-quoted text and double-quoted text without anything the shell
    would expand.  For any other line the answer is None.
    """
    words: list[str] = []
    word: list[str] = []
    in_word = False
    position = 0
    while position < len(command):
        char = command[position]
        if char == " ":
            if in_word:
                words.append("".join(word))
                word, in_word = [], False
            position += 1
            continue
        if char in "'\"":
            end = command.find(char, position + 1)
            if end < 0:
                return None
            quoted = command[position + 1 : end]
            if char == '"' and any(c in _SPECIAL_IN_DOUBLE_QUOTES for c in quoted):
                return None
            word.append(quoted)
            position = end + 1
        elif char in _PLAIN:
            word.append(char)
            position += 1
        else:
            return None
        in_word = True
    if in_word:
        words.append("".join(word))
    return words


def console_script(name: str) -> str | None:
    """The path the shell would run for ``name``, when it is a Python script for this environment.

    Its ``#!`` line must name an interpreter that is this one, in this one's
    directory, so that the warm interpreter runs exactly what the shell would.
    """
    if not name or "/" in name or "=" in name:
        return None
    path = shutil.which(name)
    if path is None:
        return None
    try:
        with open(path, "rb") as file:
            first_line = file.readline(4096)
    except OSError:
        return None
    if not first_line.startswith(b"#!"):
        return None
    interpreter = os.fsdecode(first_line[2:].strip())
    if not interpreter or " " in interpreter:
        return None
    try:
        same = os.path.samefile(interpreter, sys.executable) and os.path.realpath(
            os.path.dirname(interpreter)
        ) == os.path.realpath(os.path.dirname(sys.executable))
    except OSError:
        return None
    return path if same else None


def decode_output(data: bytes) -> str:
    """Captured bytes as ``subprocess.run(..., text=True)`` decodes them."""
    encoding = "utf-8" if sys.flags.utf8_mode else locale.getencoding()
    return data.decode(encoding).replace("\r\n", "\n").replace("\r", "\n")


class WarmGenerator:
    """A stand-in for ``subprocess`` whose ``run`` carries out generator commands warm."""

    CalledProcessError = subprocess.CalledProcessError

    def __init__(self) -> None:
        self._server: subprocess.Popen | None = None
        self.warm_runs = 0
        self.shell_runs = 0

    def __enter__(self) -> WarmGenerator:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def run(self, command, **options):
        request = self._request_for(command, options)
        if request is None:
            self.shell_runs += 1
            return subprocess.run(command, **options)
        returncode, out, err = self._ask(request)
        self.warm_runs += 1
        if options.get("text"):
            out, err = decode_output(out), decode_output(err)
        if returncode and options.get("check"):
            raise subprocess.CalledProcessError(returncode, command, output=out, stderr=err)
        return subprocess.CompletedProcess(command, returncode, out, err)

    def _request_for(self, command, options) -> dict | None:
        if not isinstance(command, str) or not options.keys() <= _WARM_OPTIONS:
            return None
        if not (options.get("shell") and options.get("capture_output")):
            return None
        words = shell_words(command)
        script = console_script(words[0]) if words else None
        if script is None:
            return None
        return {"script": script, "argv": words[1:], "cwd": os.getcwd(), "env": dict(os.environ)}

    def _ask(self, request: dict) -> tuple[int, bytes, bytes]:
        server = self._start()
        try:
            write_message(server.stdin, request)
            reply = read_message(server.stdout)
        except BaseException:  # an interrupt included: the run in progress goes with the server
            self.close(kill=True)
            raise
        if reply is None:
            self.close(kill=True)
            raise ChildProcessError("the warm generator process ended unexpectedly")
        if reply[0] != "done":
            raise ChildProcessError(f"the warm generator process could not run the command: {reply[1]}")
        return reply[1], reply[2], reply[3]

    def _start(self) -> subprocess.Popen:
        if self._server is None:
            # Its own session: a Ctrl-C at the terminal reaches this process,
            # which then ends the server, rather than every process at once.
            self._server = subprocess.Popen(
                [sys.executable, "-P", str(SERVER_SCRIPT)],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                start_new_session=True,
            )
        return self._server

    def close(self, kill: bool = False) -> None:
        """Ends the warm process; with ``kill``, at once and with the run it may be doing."""
        server, self._server = self._server, None
        if server is None:
            return
        if not kill:
            server.stdin.close()
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                kill = True
        if kill:
            try:
                os.killpg(server.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            server.wait()
        for stream in (server.stdin, server.stdout):
            stream.close()
