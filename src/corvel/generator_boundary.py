"""Where corvel meets the generator module: what it dictates, in one place.

``corvel.model_generator`` is steered through its module-level names,
rebound before a call and restored after it: ``CURRENT_DIR`` (where it
writes ``connector_configs/``), ``_get_registry_url`` and
``_is_registry_disabled`` (the registry it reads), and ``subprocess``.  Its
``generate_model_files`` builds one fixed shell line per versioned name,
``datamodel-codegen ... --input <dir>/connector_configs/jsonschema/<name>.json
... --output <dir>/connector_configs/model/<name>.py ...`` (each path one
shell word: single-quoted unless it is plain), and hands it to
``subprocess.run(line, shell=True, capture_output=True, text=True,
check=True)``; a run that raises ``CalledProcessError`` gets the module's
failure report on standard output (its captured output, return code, the
line and its captured error output).

Since the line is fixed, corvel builds each one itself, once, as a typed
``Request`` (versioned name, input, output, arguments, working directory,
environment) before the module asks for it.  ``ModuleCalls`` is what the
module sees as ``subprocess``: it finds the request of the line it is
handed, has a ``Runner`` carry it out, and answers as the real
``subprocess.run`` would (the same return value, the same
``CalledProcessError``, so the same failure report).  The runners are the
shell (``ShellRunner``), the warm generators and their pool
(``corvel.fast_mode``) and the model cache (``corvel.model_cache``); each
answers a request with a ``Result``, and the results are kept by versioned
name.
"""

from __future__ import annotations

import locale
import os
import shutil
import subprocess
import sys
import sysconfig
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Protocol, Self

from corvel import generator_settings
from corvel.compat import quiet_airbyte_import
from corvel.errors import CorvelError
from corvel.tree import CONFIGS, JSONSCHEMA, MODEL

GENERATOR = "datamodel-codegen"
# the line the module builds, around the schema file and the model file
_BEFORE_INPUT = [GENERATOR, "--enum-field-as-literal", "all", "--input"]
_BEFORE_OUTPUT = ["--input-file-type", "jsonschema", "--output"]
_AFTER_OUTPUT = ["--output-model-type", "pydantic_v2.BaseModel", "--use-title-as-name", "--disable-timestamp",
                 "--target-python-version", "3.11"]
# Characters a shell word may hold unquoted; a path with any other is single-quoted.
_PLAIN = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_@%+=:,./-")
# how a request was answered
WARM, SHELL, CACHED = "warm", "shell", "cached"


@dataclass(frozen=True)
class Request:
    """One generator run: the line the module hands the shell, and what it means."""

    versioned: str
    input: str  # the schema file
    output: str  # the model file
    command: str  # the shell line, as the module builds it
    arguments: tuple[str, ...]  # the generator's words after its name, as the shell splits the line
    cwd: str
    env: Mapping[str, str] = field(compare=False, repr=False)  # the run's whole environment
    script: str | None = None  # the console script of this interpreter the shell would run, if it is one


@dataclass(frozen=True)
class Result:
    """What a run ended with, as the shell reports it, and how it was answered (WARM, SHELL or CACHED)."""

    returncode: int
    stdout: bytes
    stderr: bytes
    via: str


class Runner(Protocol):
    """Carries out requests; ``expect`` announces those the module is about to make, in its order."""

    def expect(self, requests: list[Request]) -> None: ...

    def run(self, request: Request) -> Result: ...

    def close(self, kill: bool = False) -> None: ...


class ShellRunner:
    """Each request through the system shell, one at a time, as the module itself would run it."""

    def expect(self, requests: list[Request]) -> None:
        pass  # nothing is run ahead of its turn

    def run(self, request: Request) -> Result:
        done = subprocess.run(request.command, shell=True, capture_output=True, cwd=request.cwd, env=request.env,
                              check=False)  # the status goes into the result
        return Result(done.returncode, done.stdout, done.stderr, SHELL)

    def close(self, kill: bool = False) -> None:
        pass  # no run outlives its call


def module_command(current_dir: str, versioned: str) -> str:
    """The line the generator module builds for VERSIONED with CURRENT_DIR."""
    return " ".join([*_BEFORE_INPUT, _shell_word(_input(current_dir, versioned)), *_BEFORE_OUTPUT,
                     _shell_word(_output(current_dir, versioned)), *_AFTER_OUTPUT])


def _shell_word(path: str) -> str:
    """PATH as one shell word, as the module writes it: unchanged when plain, else single-quoted."""
    if path and _PLAIN.issuperset(path):
        return path
    return "'" + path.replace("'", "'\"'\"'") + "'"


def _input(current_dir: str, versioned: str) -> str:
    return f"{current_dir}/{CONFIGS}/{JSONSCHEMA}/{versioned}.json"


def _output(current_dir: str, versioned: str) -> str:
    return f"{current_dir}/{CONFIGS}/{MODEL}/{versioned}.py"


def request_for(current_dir: str, versioned: str, path: str | None = None, script: str | None = None) -> Request:
    """The request of the module's line for VERSIONED, run in corvel's settings directory (the generator reads
    its settings there), with the generator found on PATH (None: this process's), which runs SCRIPT when it is
    a console script of this interpreter's (console_script)."""
    env = dict(os.environ) if path is None else {**os.environ, "PATH": path}
    source, target = _input(current_dir, versioned), _output(current_dir, versioned)
    return Request(versioned, source, target, module_command(current_dir, versioned), arguments(source, target),
                   generator_settings.directory(), env, script)


def arguments(source: str, target: str) -> tuple[str, ...]:
    """The generator's words after its name in the module's line, for the schema SOURCE and the model TARGET."""
    return (*_BEFORE_INPUT[1:], source, *_BEFORE_OUTPUT, target, *_AFTER_OUTPUT)


def scripts_directory() -> str:
    """Where this interpreter's console scripts are installed."""
    return sysconfig.get_path("scripts")


def generator_path() -> str | None:
    """The PATH on which the generator's runs find datamodel-codegen; None where it is found nowhere.

    The generator runs through the shell by its bare name, so when it is only
    found beside the interpreter (a virtual environment that is not
    activated) its runs get that directory in front of PATH. This process's
    own PATH stays as it is: a program that calls ``main`` keeps its own.
    """
    current = os.environ.get("PATH", "")
    if shutil.which(GENERATOR):
        return current
    scripts = scripts_directory()
    if shutil.which(GENERATOR, path=scripts):
        return scripts + (os.pathsep + current if current else "")
    return None


def console_script(name: str, path: str | None = None) -> str | None:
    """The path the shell would run for NAME (found on PATH, or on PATH given), when it is a Python script
    for this environment.

    Its ``#!`` line must name an interpreter that is this one, in this one's
    directory, so that a warm interpreter runs exactly what the shell would.
    """
    found = shutil.which(name, path=path)
    if found is None:
        return None
    try:
        with open(found, "rb") as file:
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
    return found if same else None


def decode_output(data: bytes) -> str:
    """Captured bytes as ``subprocess.run(..., text=True)`` decodes them."""
    encoding = "utf-8" if sys.flags.utf8_mode else locale.getencoding()
    return data.decode(encoding).replace("\r\n", "\n").replace("\r", "\n")


def shell_answer(command: str, options: Mapping[str, Any], result: Result) -> subprocess.CompletedProcess:
    """What ``subprocess.run(command, **options)`` gives for a run that ended with RESULT."""
    out, err = result.stdout, result.stderr
    if options.get("text"):
        out, err = decode_output(out), decode_output(err)
    if result.returncode and options.get("check"):
        raise subprocess.CalledProcessError(result.returncode, command, output=out, stderr=err)
    return subprocess.CompletedProcess(command, result.returncode, out, err)


class ModuleCalls:
    """What the generator module sees as ``subprocess`` while it generates models.

    Each line it hands over is one of the requests made beforehand
    (``expect``) and goes to the runner; the result is kept by versioned name.
    A request already answered is answered again from its result, without a
    run: the module is called a second time to write the index of the models
    that were written.
    """

    CalledProcessError = subprocess.CalledProcessError

    def __init__(self, runner: Runner) -> None:
        self.runner = runner
        self.on_start: Callable[[Request], None] = lambda request: None
        self.on_end: Callable[[], None] = lambda: None
        self.results: dict[str, Result] = {}
        self._requests: dict[str, Request] = {}

    def expect(self, requests: list[Request]) -> None:
        self._requests.update((request.command, request) for request in requests)
        self.runner.expect([r for r in requests if r.versioned not in self.results])

    def run(self, command, **options):
        request = self._requests.get(command)
        if request is None:  # a line no request was made for: the shell has it, as the module meant; its
            # versioned name gets no result, so its record says that no run was seen for it
            return subprocess.run(command, **options)  # noqa: PLW1510 - the module's own options, check among them
        result = self.results.get(request.versioned)
        if result is None:
            self.on_start(request)
            try:
                result = self.results[request.versioned] = self.runner.run(request)
            finally:
                self.on_end()
        return shell_answer(command, options, result)


class RegistrySwitchedOff(CorvelError):
    """The generator module answered that the registry is switched off."""


class GeneratorModule:
    """The generator module, steered to write into CURRENT_DIR (a directory that holds ``connector_configs/``)
    from the registry file REGISTRY, its generator runs carried out by RUNNER with the generator found on PATH.

    Used as a context manager: the module's names are rebound on entry and
    restored on exit, so a caller's own bindings survive the run.
    """

    def __init__(self, current_dir: Path, registry: str, runner: Runner, path: str | None = None) -> None:
        self.current_dir, self.registry, self.path = str(current_dir), registry, path
        self.calls = ModuleCalls(runner)
        self._module: Any = None
        self._saved: dict[str, Any] = {}

    def __enter__(self) -> Self:
        with quiet_airbyte_import():  # the module's start-up imports airbyte
            import corvel.model_generator as module

        steered = {"CURRENT_DIR": self.current_dir, "_get_registry_url": lambda: self.registry,
                   "_is_registry_disabled": _never_disabled, "subprocess": self.calls}
        self._saved = {name: getattr(module, name) for name in steered}
        for name, value in steered.items():
            setattr(module, name, value)
        self._module = module
        return self

    def __exit__(self, *exc_info) -> None:
        vars(self._module).update(self._saved)

    def export(self, names: list[str]) -> list[str]:
        """The module's schema export of NAMES: the versioned names it wrote."""
        exported = self._module.generate_jsonschema_files(names)
        if isinstance(exported, dict):  # the module's answer when the registry is switched off
            raise RegistrySwitchedOff("the connector registry is switched off")
        return list(exported)

    def generate(self, versioned: list[str], on_start: Callable[[Request], None] = lambda request: None,
                 on_end: Callable[[], None] = lambda: None) -> dict[str, Result]:
        """The module's model generation for VERSIONED (with none, the index of a tree that holds none), ON_START
        called before each run and ON_END after it; the result of each run made, by versioned name."""
        script = console_script(GENERATOR, self.path)
        self.calls.on_start, self.calls.on_end = on_start, on_end
        self.calls.expect([request_for(self.current_dir, name, self.path, script) for name in versioned])
        self._module.generate_model_files(versioned)
        return self.calls.results


def _never_disabled(_location: str) -> bool:
    """The composed registry is a file of the run's own: airbyte's offline switch does not apply to it."""
    return False
