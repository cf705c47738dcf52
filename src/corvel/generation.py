"""The generator at work for a run: its runner, the generator module writing a set of registry entries into a
tree of the run's own, and the checks each model passes before it counts as written."""

from __future__ import annotations

import functools
import hashlib
import json
import os
import shutil
from contextlib import ExitStack
from pathlib import Path
from types import TracebackType

from corvel import plan
from corvel.errors import Stop
from corvel.fast_mode import WarmPool
from corvel.generator_boundary import (
    CACHED,
    GENERATOR,
    SHELL,
    GeneratorModule,
    RegistrySwitchedOff,
    Request,
    Result,
    Runner,
    ShellRunner,
    console_script,
)
from corvel.installation import versions
from corvel.lock import LockRecord
from corvel.model_cache import ModelCache, default_directory
from corvel.reporting import Reporter
from corvel.run_options import Generation
from corvel.run_outcome import Record, Status
from corvel.tree import Tree, index_bindings, model_apart, model_classes


def start_runner(generation: Generation, cleanup: ExitStack) -> Runner:
    """The generator runner: the shell with spawn, else a warm pool, closed with the run (its runs in flight
    killed when the run did not end normally)."""
    if generation.spawn:
        return ShellRunner()
    cache = None if generation.no_cache else ModelCache(generation.cache_dir or default_directory())
    runner = WarmPool(generation.jobs, cache)

    def close(kind: type[BaseException] | None, value: BaseException | None, trace: TracebackType | None) -> None:
        runner.close(kill=kind is not None)

    cleanup.push(close)
    if script := console_script(GENERATOR, generation.generator_path):
        runner.start_early(script)
    return runner


class ImportChecks:
    """The models whose import was checked and passed, remembered beside the model cache by their bytes and the
    versions that import them: a model the cache gives again is not imported again to check it."""

    def __init__(self, cache_directory: Path) -> None:
        self._directory = cache_directory / "imports-checked"

    def _marker(self, model: bytes) -> Path:
        digest = hashlib.sha256(model + _importing_versions()).hexdigest()
        return self._directory / digest[:2] / digest

    def passed(self, model: bytes) -> bool:
        return self._marker(model).exists()

    def remember(self, model: bytes) -> None:
        marker = self._marker(model)
        try:
            marker.parent.mkdir(parents=True, exist_ok=True)
            marker.touch()
        except OSError:  # a cache that cannot be written only costs the next run a check
            pass


@functools.cache
def _importing_versions() -> bytes:
    """What a model's import depends on beside its bytes: the versions of corvel, pydantic and Python."""
    return json.dumps(versions(), sort_keys=True).encode()


def generate(runner: Runner, tree: Tree, held: list[LockRecord], reporter: Reporter,
             generation: Generation) -> list[Record]:
    """Has the generator module write HELD into TREE (a tree of the run's own), the generator found on the
    generation's path; a record for each versioned name it exported."""
    path = generation.generator_path
    checks = ImportChecks(generation.cache_dir or default_directory()) if generation.caches else None
    with ExitStack() as cleanup:
        registry_file = plan.composed_registry_file(held)
        cleanup.callback(registry_file.cleanup)
        composed = os.path.join(registry_file.name, plan.REGISTRY_FILE)
        with GeneratorModule(tree.root, composed, runner, path) as module:
            names, results = _run_module(module, sorted({r.name for r in held}), {r.versioned: r.label for r in held},
                                         reporter)
            records = _generated_records(tree, names, {r.versioned: r for r in held}, results, checks)
            if any(r.status != Status.WRITTEN for r in records):
                # the index again, naming only the models written: one that is missing or does not import would
                # keep the whole index from importing; their runs are answered from their results
                module.generate([r.versioned_name for r in records if r.status == Status.WRITTEN and r.versioned_name])
    through_shell = sum(result.via == SHELL for result in results.values())
    if through_shell and not isinstance(runner, ShellRunner):
        reporter.notice(f"{through_shell} of {len(results)} runs went through the shell: the {GENERATOR} on "
                        f"PATH ({shutil.which(GENERATOR, path=path)}) is not the one installed with corvel")
    return records


def _run_module(module: GeneratorModule, handed: list[str], labels: dict[str, str],
                reporter: Reporter) -> tuple[list[str], dict[str, Result]]:
    """Both operations of the generator module, with their progress: the versioned names it exported, and the
    result of each run it made."""
    with reporter.progress("exporting schemas", None, timed=True) as progress:
        try:
            names = module.export(handed)
        except RegistrySwitchedOff as error:
            raise Stop(str(error)) from error
        progress.restart(len(names), "generating models")

        def starting(request: Request) -> None:
            progress.describe(f"{GENERATOR} {labels.get(request.versioned, request.versioned)}")

        results = module.generate(names, starting, progress.advance)
        progress.describe("done")
    return names, results


def _model_problem(model: Path, class_name: str | None, checks: ImportChecks | None) -> str:
    """Why the model written is no use (its class missing, its module not importing); nothing when it is."""
    written = model.read_bytes()
    if class_name and f"class {class_name}(".encode() not in written:
        return f"the model has no class {class_name}"
    if checks and checks.passed(written):
        return ""
    if problem := import_problem(model):
        return f"its module does not import: {problem}"
    if checks:
        checks.remember(written)
    return ""


def import_problem(model: Path) -> str | None:
    """Why a generated model module cannot be imported or its classes cannot be used (pydantic refuses one of
    them, say); None when they can. It runs under a name of its own, which is forgotten afterwards."""
    from pydantic import BaseModel

    try:
        with model_apart(model, "corvel._model_check") as module:
            for value in list(vars(module).values()):  # classes built at first use are built now
                if isinstance(value, type) and issubclass(value, BaseModel) and value.__module__ == module.__name__:
                    value.model_rebuild()
    except Exception as error:  # noqa: BLE001 -- whatever the module raises is why it cannot be used
        lines = [line.strip() for line in str(error).strip().splitlines()] or [""]
        told = lines[0] if len(lines) == 1 else f"{lines[0]} ... {lines[-1]}"  # pydantic's cause comes last
        return f"{type(error).__name__}: {told}".rstrip(": ")
    return None


def _generated_records(tree: Tree, names: list[str], entries: dict[str, LockRecord], results: dict[str, Result],
                       checks: ImportChecks | None) -> list[Record]:
    """A record for each versioned name the module returned, with the result of the run made for it."""
    index = tree.index
    classes = model_classes(index_bindings(index, is_project=False)) if names and index.exists() else {}
    records: list[Record] = []
    for versioned in names:
        entry = entries.get(versioned)
        result = results.get(versioned)
        returncode = result.returncode if result else None
        model = tree.model(versioned)
        class_name = classes.get(versioned)
        record = Record(
            entry.name if entry else versioned, entry.tag if entry else None, versioned, Status.FAILED,
            class_name=class_name, model_path=str(model), returncode=returncode,
            from_cache=bool(result and result.via == CACHED),
        )
        if returncode is None:
            record.reason = f"no {GENERATOR} run was seen for it"
        elif returncode != 0:
            record.reason = f"{GENERATOR} exited with status {returncode} (report above)"
        elif not model.exists():
            record.reason = f"{GENERATOR} wrote no model"
        else:
            record.reason = _model_problem(model, class_name, checks)
            record.status = Status.FAILED if record.reason else Status.WRITTEN
        records.append(record)
    return records
