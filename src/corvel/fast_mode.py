"""Running ``datamodel-codegen`` warm: one interpreter for all runs, a fork per run.

Every shell run of the generator starts a new interpreter that imports the
generator and its formatters before doing any work.  ``WarmGenerator`` is a
runner (``corvel.generator_boundary``) that carries out a request whose
program is a Python console script of this environment (the generator
installed with corvel) in a warm interpreter (``_warm_server.py``), in a
child forked per run, with the request's working directory and environment.
Its result is what the shell run would have had: the same return code and
the same captured bytes.  Any other request goes through the shell.

``WarmPool`` runs up to ``jobs`` requests at once, each warm process doing
one at a time, starts those it is told to expect ahead of their turn, and
can take models of earlier identical runs from a cache
(``corvel.model_cache``).
"""

from __future__ import annotations

import os
import queue
import signal
import subprocess
import sys
import threading
from concurrent.futures import Future, ThreadPoolExecutor, wait
from pathlib import Path
from typing import Self

from corvel._warm_server import read_message, write_message
from corvel.generator_boundary import WARM, Request, Result, Runner, ShellRunner
from corvel.model_cache import CachedRunner, ModelCache

SERVER_SCRIPT = Path(__file__).resolve().parent / "_warm_server.py"


class WarmGenerator:
    """A runner that carries out requests in one warm process, one at a time."""

    def __init__(self) -> None:
        self._server: subprocess.Popen | None = None
        self._lock = threading.Lock()  # a pool's worker may start the server while its caller closes it
        self._retired = False

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def expect(self, requests: list[Request]) -> None:
        pass  # one process runs one request at a time, when it is asked

    def run(self, request: Request) -> Result:
        if not _warm(request):
            return ShellRunner().run(request)
        server = self.start()
        message = {"script": request.script, "argv": list(request.arguments), "input": request.input,
                   "output": request.output, "cwd": request.cwd, "env": dict(request.env)}
        try:
            write_message(server.stdin, message)
            reply = read_message(server.stdout)
        except BaseException:  # an interrupt included: the run in progress goes with the server
            self.close(kill=True)
            raise
        if reply is None:
            self.close(kill=True)
            raise ChildProcessError("the warm generator process ended unexpectedly")
        if reply[0] != "done":
            raise ChildProcessError(f"the warm generator process could not run the command: {reply[1]}")
        return Result(reply[1], reply[2], reply[3], WARM)

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
        assert server.stdin is not None and server.stdout is not None, "the server is started with both piped"
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
    """A runner that carries out up to ``jobs`` requests at once, warm.

    The module still asks for one run at a time, in order, and gets each
    result when it asks.  The requests it is expected to make (``expect``)
    start at once, each in a child of one of ``jobs`` warm processes; a later
    ask for one of them gets that run's result.  With a cache, a request
    whose inputs match an earlier successful run writes the cached model
    instead of running.
    """

    def __init__(self, jobs: int, cache: ModelCache | None = None) -> None:
        self._generators = [WarmGenerator() for _ in range(jobs)]
        self._idle: queue.SimpleQueue[WarmGenerator] = queue.SimpleQueue()
        for generator in self._generators:
            self._idle.put(generator)
        self._one: Runner = CachedRunner(_IdleGenerator(self._idle), cache) if cache else _IdleGenerator(self._idle)
        self._executor = ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="corvel-warm")
        self._ahead: dict[Request, Future] = {}

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close(kill=exc_info[0] is not None)

    def start_early(self, script: str) -> None:
        """Starts one warm process now, warming up on ``script``, while this process goes on starting up.

        One only: on two cores the other one is busy with this process's own
        start-up, and a run that finds every model in the cache needs none.
        """
        self._generators[0].start(script)

    def expect(self, requests: list[Request]) -> None:
        for request in requests:
            if _warm(request) and request not in self._ahead:
                self._ahead[request] = self._executor.submit(self._one.run, request)

    def run(self, request: Request) -> Result:
        if not _warm(request):  # on this thread, as the module would run it: an interrupt ends it with its shell
            return ShellRunner().run(request)
        future = self._ahead.pop(request, None) or self._executor.submit(self._one.run, request)
        try:
            _await(future)
            return future.result()
        except BaseException:  # an interrupt included: every run in flight goes with its warm process
            self.close(kill=True)
            raise

    def close(self, kill: bool = False) -> None:
        """Ends the warm processes; with ``kill``, at once and with the runs in flight."""
        self._executor.shutdown(wait=not kill, cancel_futures=True)
        for generator in self._generators:
            generator.close(kill=kill, retire=True)


def _warm(request: Request) -> bool:
    """Whether a warm interpreter runs REQUEST as the shell would: its program is a console script of this one."""
    return request.script is not None


class _IdleGenerator:
    """Runs a request on whichever warm generator of a pool is idle."""

    def __init__(self, idle: queue.SimpleQueue[WarmGenerator]) -> None:
        self._idle = idle

    def expect(self, requests: list[Request]) -> None:
        pass  # the pool starts the expected requests itself

    def run(self, request: Request) -> Result:
        generator = self._idle.get()
        try:
            return generator.run(request)
        finally:
            self._idle.put(generator)

    def close(self, kill: bool = False) -> None:
        pass  # the pool closes its generators
