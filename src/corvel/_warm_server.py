"""The warm interpreter behind corvel-generate's fast mode.

``corvel.fast_mode`` starts this file as ``python -P _warm_server.py
[SCRIPT]``.  It reads requests from its standard input and answers on its
standard output, each message a length-prefixed pickle.  A request names a Python console
script, its argument vector (with the schema file it reads and the model file it writes), a
working directory and an environment; the
answer is what a shell would have reported for running that script: the exit
status and the bytes written to standard output and standard error.

The first ``datamodel-codegen`` request warms the interpreter: the generator
runs once here, on a small schema of our own, so that its modules are
imported and its first-use caches are filled.  Given a SCRIPT, the process
warms up on it at once, with no options but its input and output, while the
client is still starting; the first request then only adds what its own
options need.  Every real request then runs in a child forked from this
warm state, so no run sees what an earlier one left behind.  This
process runs no threads of its own, which is what makes forking it safe.
"""

from __future__ import annotations

import atexit
import builtins
import gc
import io
import json
import os
import pickle
import signal
import struct
import sys
import tempfile
import types
import warnings
from importlib.machinery import SourceFileLoader

HEADER = struct.Struct("!Q")

# A schema touching what connector specs use: required and optional fields,
# formats, patterns, enums, arrays of objects, oneOf options, nullable types,
# and text beyond ASCII (the generator compiles its Unicode tables on first use).
WARM_UP_SCHEMA = {
    "title": "Warm Up Spec",
    "type": "object",
    "required": ["host", "credentials"],
    "additionalProperties": True,
    "properties": {
        "host": {"type": "string", "title": "Hôst", "description": "Le nom d'hôte, 主机名 ✓ 🚀.", "order": 0},
        "région": {"type": "string", "enum": ["zürich", "東京", "a b", "1st"], "description": "Ελληνικά \"quoted\""},
        "api-key.v2": {"type": "string", "pattern": "^[A-Za-z0-9_]+\\.csv$"},
        "port": {"type": "integer", "minimum": 0, "maximum": 65536, "default": 5432, "examples": ["5432"]},
        "password": {"type": "string", "airbyte_secret": True},
        "start_date": {"type": "string", "format": "date-time", "pattern": "^[0-9]{4}-[0-9]{2}-[0-9]{2}$"},
        "ratio": {"type": "number", "default": 0.5},
        "enabled": {"type": "boolean", "default": False},
        "tags": {"type": "array", "items": {"type": "string"}, "uniqueItems": True},
        "mode": {"type": "string", "enum": ["full", "incremental"], "default": "full"},
        "streams": {
            "type": "array",
            "items": {
                "type": "object",
                "required": ["name"],
                "properties": {
                    "name": {"type": "string"},
                    "options": {"type": "object", "additionalProperties": {"type": "string"}},
                },
            },
        },
        "credentials": {
            "title": "Authentication",
            "type": "object",
            "oneOf": [
                {
                    "title": "OAuth",
                    "type": "object",
                    "required": ["auth_type"],
                    "properties": {"auth_type": {"type": "string", "enum": ["oauth"]}, "client_id": {"type": "string"}},
                },
                {
                    "title": "Key",
                    "type": "object",
                    "required": ["auth_type"],
                    "properties": {
                        "auth_type": {"type": "string", "enum": ["key"]},
                        "api_key": {"type": "string", "airbyte_secret": True},
                        "depth": {"type": ["integer", "null"]},
                    },
                },
            ],
        },
        "either": {"anyOf": [{"type": "string"}, {"type": "integer"}]},
    },
}


def read_message(stream):
    header = stream.read(HEADER.size)
    if len(header) < HEADER.size:
        return None  # the client closed its end
    (size,) = HEADER.unpack(header)
    return pickle.loads(stream.read(size))


def write_message(stream, message) -> None:
    data = pickle.dumps(message, protocol=pickle.HIGHEST_PROTOCOL)
    stream.write(HEADER.pack(len(data)) + data)
    stream.flush()


def shell_status(wait_status: int) -> tuple[int, bytes]:
    """The exit status /bin/sh reports for a command, and what it prints about it.

    A command killed by a signal makes the shell exit with 128 plus the
    signal's number, after naming the signal on standard error (it keeps
    quiet about an interrupt and a broken pipe).
    """
    if os.WIFEXITED(wait_status):
        return os.WEXITSTATUS(wait_status), b""
    number = os.WTERMSIG(wait_status)
    if number in (signal.SIGINT, signal.SIGPIPE):
        return 128 + number, b""
    text = signal.strsignal(number) or f"Signal {number}"
    if os.WCOREDUMP(wait_status):
        text += " (core dumped)"
    return 128 + number, text.encode() + b"\n"


def apply_context(request: dict) -> None:
    """Takes on the caller's working directory and environment."""
    os.chdir(request["cwd"])
    if dict(os.environ) != request["env"]:
        os.environ.clear()
        os.environ.update(request["env"])


def warm_up(request: dict) -> None:
    """Runs the script once, here, on a throw-away schema, its output discarded.

    Warnings it shows are forgotten again when catch_warnings restores the
    filters, so every later run shows them as a fresh interpreter would.
    """
    with tempfile.TemporaryDirectory() as scratch:
        places: dict[str, str] = {request["input"]: os.path.join(scratch, "warm_up.json"),
                  request["output"]: os.path.join(scratch, "warm_up.py")}
        words: list[str] = request["argv"]
        argv = [places.get(word, word) for word in words]
        with open(os.path.join(scratch, "warm_up.json"), "w", encoding="utf-8") as file:
            json.dump(WARM_UP_SCHEMA, file)
        saved_fds = [os.dup(1), os.dup(2)]
        saved_state = (sys.argv, sys.stdout, sys.stderr, sys.modules["__main__"], list(sys.path))
        null = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(null, 1)
            os.dup2(null, 2)
            with warnings.catch_warnings():
                execute_script(request["script"], argv)
        # the script ends with SystemExit; a failed warm-up only costs speed, as every run is made afresh in a
        # child that reports its own failure (an interrupt ends the server)
        except (Exception, SystemExit):  # noqa: BLE001, S110
            pass
        finally:
            for stream in (sys.stdout, sys.stderr):
                try:
                    stream.flush()
                # what the warm-up printed went to /dev/null: a stream it broke loses nothing
                except Exception:  # noqa: BLE001, S110
                    pass
            sys.argv, sys.stdout, sys.stderr, sys.modules["__main__"], sys.path[:] = saved_state
            for target, saved in zip((1, 2), saved_fds):
                os.dup2(saved, target)
                os.close(saved)
            os.close(null)
    gc.collect()
    gc.freeze()  # keeps the collector from touching, and so copying, the warm objects in every child


def execute_script(script: str, argv: list[str]) -> None:
    """Runs a script file as ``python script args...`` would, in this interpreter."""
    with open(script, "rb") as file:
        code = compile(file.read(), script, "exec")
    main = types.ModuleType("__main__")
    main.__file__ = script
    main.__dict__["__builtins__"] = builtins  # not an attribute typeshed gives modules
    main.__loader__ = SourceFileLoader("__main__", script)
    main.__spec__ = None
    sys.modules["__main__"] = main
    sys.argv = [script, *argv]
    sys.path.insert(0, os.path.dirname(os.path.realpath(script)))
    exec(code, main.__dict__)  # noqa: S102 - running the script is what the server is for


def text_stream(fd: int, like: io.TextIOWrapper | None) -> io.TextIOWrapper:
    """A text stream on ``fd`` set up as the interpreter set up ``like``.

    The interpreter leaves standard error unbuffered below the text layer,
    and standard output too when PYTHONUNBUFFERED is set.
    """
    raw = io.FileIO(fd, "w", closefd=False)
    if like is None:  # the interpreter started without this stream: a buffered one, as its default is
        return io.TextIOWrapper(io.BufferedWriter(raw))
    return io.TextIOWrapper(
        raw if isinstance(like.buffer, io.FileIO) else io.BufferedWriter(raw),
        encoding=like.encoding,
        errors=like.errors,
        line_buffering=like.line_buffering,
        write_through=like.write_through,
    )


def exit_status(stop: SystemExit) -> int:
    code = stop.code
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    sys.stderr.write(f"{code}\n")
    return 1


def script_traceback(traceback):
    """The traceback from the script's own frame on, without this file's frames that ran it."""
    while traceback is not None and traceback.tb_frame.f_code.co_filename == __file__:
        traceback = traceback.tb_next
    return traceback


def child(request: dict, out_fd: int, err_fd: int) -> None:
    """The forked child: one run of the script, then the interpreter's own way out."""
    os.dup2(out_fd, 1)
    os.dup2(err_fd, 2)
    sys.stdout = sys.__stdout__ = text_stream(1, sys.__stdout__)
    sys.stderr = sys.__stderr__ = text_stream(2, sys.__stderr__)
    interrupted = False
    try:
        execute_script(request["script"], request["argv"])
        status = 0
    except SystemExit as stop:
        status = exit_status(stop)
    except BaseException as error:  # noqa: BLE001 - reported as the interpreter reports an uncaught one
        trimmed = script_traceback(error.__traceback__)
        sys.excepthook(type(error), error.with_traceback(trimmed), trimmed)
        interrupted = isinstance(error, KeyboardInterrupt)
        status = 1
    try:
        atexit._run_exitfuncs()
        sys.stdout.flush()
    except Exception:  # noqa: BLE001 - what the interpreter exits with when its output cannot be flushed
        status = 120
    try:
        sys.stderr.flush()
    # standard error itself failed: there is nowhere left to say so, and the status stands
    except Exception:  # noqa: BLE001, S110
        pass
    if interrupted:  # an uncaught interrupt ends the interpreter by the signal itself
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
    os._exit(status & 0xFF)


def run_in_child(request: dict) -> tuple[int, bytes, bytes]:
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        pid = os.fork()
        if pid == 0:
            try:
                child(request, out.fileno(), err.fileno())
            finally:
                os._exit(70)  # only reached when the child's own bookkeeping failed
        _, wait_status = os.waitpid(pid, 0)
        status, shell_note = shell_status(wait_status)
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read() + shell_note


def serve() -> None:
    # The pipes to the client move off descriptors 0 and 1, so that nothing a
    # run prints can end up in a reply.
    requests = os.fdopen(os.dup(0), "rb")
    replies = os.fdopen(os.dup(1), "wb")
    null = os.open(os.devnull, os.O_RDWR)
    os.dup2(null, 0)
    os.dup2(null, 1)
    os.close(null)
    if len(sys.argv) > 1:
        warm_up({"script": sys.argv[1], "argv": ["--input", "in", "--output", "out"], "input": "in", "output": "out"})
    warmed = False
    while (request := read_message(requests)) is not None:
        try:
            apply_context(request)
            if not warmed and os.path.basename(request["script"]) == "datamodel-codegen":
                warm_up(request)
                warmed = True
            reply = ("done", *run_in_child(request))
        except Exception as error:  # noqa: BLE001 - sent to the caller, which reports it
            reply = ("error", f"{type(error).__name__}: {error}")
        write_message(replies, reply)


if __name__ == "__main__":
    serve()
