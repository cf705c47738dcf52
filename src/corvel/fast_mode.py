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

``WarmPool`` runs several such commands at once, each warm process doing one
at a time, and can take models of earlier identical runs from a cache
(``corvel.model_cache``).
"""

from __future__ import annotations

import locale
import os
import shutil
import signal
import queue
import subprocess
import sys
import threading
from concurrent.futures import Future, ThreadPoolExecutor, wait
from pathlib import Path

from corvel._warm_server import read_message, write_message
from corvel.model_cache import ModelCache

SERVER_SCRIPT = Path(__file__).resolve().parent / "_warm_server.py"

# Characters the shell takes literally outside quotes; anything else (an
# operator, an expansion, a glob, a tab) leaves the command to the shell.
_PLAIN = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_@%+=:,./-")
_SPECIAL_IN_DOUBLE_QUOTES = frozenset('$`\\!"')
_WARM_OPTIONS = {"shell", "capture_output", "text", "check", "cwd", "env"}


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


def console_script(name: str, path: str | None = None) -> str | None:
    """The path the shell would run for ``name`` (found on PATH, or on ``path``), when it is a Python script
    for this environment.

    Its ``#!`` line must name an interpreter that is this one, in this one's
    directory, so that the warm interpreter runs exactly what the shell would.
    """
    if not name or "/" in name or "=" in name:
        return None
    path = shutil.which(name, path=path)
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


def shell_answer(command, options: dict, returncode: int, out: bytes, err: bytes) -> subprocess.CompletedProcess:
    """What ``subprocess.run(command, **options)`` gives for a run that ended so."""
    if options.get("text"):
        out, err = decode_output(out), decode_output(err)
    if returncode and options.get("check"):
        raise subprocess.CalledProcessError(returncode, command, output=out, stderr=err)
    return subprocess.CompletedProcess(command, returncode, out, err)


class WarmGenerator:
    """A stand-in for ``subprocess`` whose ``run`` carries out generator commands warm."""

    CalledProcessError = subprocess.CalledProcessError

    def __init__(self) -> None:
        self._server: subprocess.Popen | None = None
        self._lock = threading.Lock()  # a pool's worker may start the server while its caller closes it
        self._retired = False
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
        return shell_answer(command, options, returncode, out, err)

    @staticmethod
    def _request_for(command, options) -> dict | None:
        if not isinstance(command, str) or not options.keys() <= _WARM_OPTIONS:
            return None
        if not (options.get("shell") and options.get("capture_output")):
            return None
        words = shell_words(command)
        environment = options.get("env") if options.get("env") is not None else os.environ
        script = console_script(words[0], environment.get("PATH")) if words else None
        if script is None:
            return None
        cwd = os.path.abspath(options["cwd"]) if options.get("cwd") is not None else os.getcwd()
        return {"script": script, "argv": words[1:], "cwd": cwd, "env": dict(environment)}

    def _ask(self, request: dict) -> tuple[int, bytes, bytes]:
        server = self.start()
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

    def start(self, script: str | None = None) -> subprocess.Popen:
        """The warm process, started if need be; given a ``script``, it imports that at once.

        Started before its first command is known, the process warms itself
        up on that script while this one is still busy.
        """
        with self._lock:
            if self._retired:
                raise ChildProcessError("the warm generator was closed")
            if self._server is None:
                # Its own session: a Ctrl-C at the terminal reaches this process,
                # which then ends the server, rather than every process at once.
                self._server = subprocess.Popen(
                    [sys.executable, "-P", str(SERVER_SCRIPT), *([script] if script else [])],
                    stdin=subprocess.PIPE,
                    stdout=subprocess.PIPE,
                    start_new_session=True,
                )
            return self._server

    def close(self, kill: bool = False, retire: bool = False) -> None:
        """Ends the warm process; with ``kill``, at once and with the run it may be doing.

        A retired generator starts no new warm process.
        """
        with self._lock:
            server, self._server = self._server, None
            self._retired = self._retired or retire
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


def _await(future: Future) -> None:
    """Waits for a future in short steps.

    The kernel may hand a SIGINT to any thread of the process, a worker's
    included; a wait without a time limit would then not end for the
    interrupt, which Python raises in this thread only once it runs again.
    """
    while not future.done():
        wait([future], timeout=0.1)


class WarmPool:
    """A stand-in for ``subprocess`` that runs up to ``jobs`` generator commands at once, warm.

    The module still calls ``run`` once per command, in order, and gets each
    answer when it asks.  Told the versioned names beforehand (``expect``),
    the pool takes the first command as the pattern of all the others and
    starts their runs at once, each in a child of one of ``jobs`` warm
    processes; a later call whose command is the one foreseen gets that
    run's answer.  With a cache, a run whose inputs match an earlier
    successful one writes the cached model instead of running.
    """

    CalledProcessError = subprocess.CalledProcessError

    def __init__(self, jobs: int, cache: ModelCache | None = None) -> None:
        self.cache = cache
        self._generators = [WarmGenerator() for _ in range(jobs)]
        self._idle: queue.SimpleQueue[WarmGenerator] = queue.SimpleQueue()
        for generator in self._generators:
            self._idle.put(generator)
        self._executor = ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="corvel-warm")
        self._names: list[str] = []
        self._foreseen: list[tuple[dict | None, Future | None]] = []  # by the position of the module's call
        self._calls = 0
        self.warm_runs = self.shell_runs = self.cached_runs = 0

    def __enter__(self) -> WarmPool:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close(kill=exc_info[0] is not None)

    def start_early(self, script: str) -> None:
        """Starts one warm process now, warming up on ``script``, while this process goes on starting up.

        One only: on two cores the other one is busy with this process's own
        start-up, and a run that finds every model in the cache needs none.
        """
        self._generators[0].start(script)

    def expect(self, names: list[str]) -> None:
        """The versioned names the module is about to run the generator for, in its order."""
        self._names = list(names)

    def run(self, command, **options):
        request = WarmGenerator._request_for(command, options)
        if request is None:
            self.shell_runs += 1
            return subprocess.run(command, **options)
        position, self._calls = self._calls, self._calls + 1
        if position == 0:
            self._foresee(request)
        foreseen, future = self._foreseen[position] if position < len(self._foreseen) else (None, None)
        if future is not None:
            self._foreseen[position] = (None, None)  # its answer is not kept once handed over
        if foreseen != request:
            if future is not None:  # not the run foreseen: it must not write beside this one
                future.cancel()
                _await(future)
            future = self._executor.submit(self._carry_out, request)
        try:
            _await(future)
            returncode, out, err, cached = future.result()
        except BaseException:  # an interrupt included: every run in flight goes with its warm process
            self.close(kill=True)
            raise
        self.warm_runs += not cached
        self.cached_runs += cached
        answer = shell_answer(command, options, returncode, out, err)
        answer.from_cache = cached
        return answer

    def _foresee(self, first: dict) -> None:
        """Starts the runs of every expected name, their commands made from the first one."""
        argv, name = first["argv"], self._names[0] if self._names else None
        places = {}
        for option, suffix in (("--input", ".json"), ("--output", ".py")):
            at = argv.index(option) + 1 if option in argv[:-1] else None
            if name is None or at is None or not argv[at].endswith(name + suffix):
                return
            places[at] = (argv[at][: -len(name + suffix)], suffix)
        for name in self._names:
            words = list(argv)
            for at, (prefix, suffix) in places.items():
                words[at] = prefix + name + suffix
            request = dict(first, argv=words)
            self._foreseen.append((request, self._executor.submit(self._carry_out, request)))

    def _carry_out(self, request: dict) -> tuple[int, bytes, bytes, bool]:
        """One run, on a worker thread: (return code, output, error output, from the cache)."""
        keyed = self.cache.key(request["script"], request["argv"], request["cwd"]) if self.cache else None
        if keyed is not None:
            model = self.cache.get(keyed[0])
            if model is not None:
                try:
                    with open(keyed[1], "wb") as file:
                        file.write(model)
                    return 0, b"", b"", True
                except OSError:
                    pass  # the generator's own run reports what is wrong with the output path
        generator = self._idle.get()
        try:
            returncode, out, err = generator._ask(request)
        finally:
            self._idle.put(generator)
        if keyed is not None and returncode == 0:
            try:
                with open(keyed[1], "rb") as file:
                    self.cache.put(keyed[0], file.read())
            except OSError:
                pass
        return returncode, out, err, False

    def close(self, kill: bool = False) -> None:
        """Ends the warm processes; with ``kill``, at once and with the runs in flight."""
        self._executor.shutdown(wait=not kill, cancel_futures=True)
        for generator in self._generators:
            generator.close(kill=kill, retire=True)
