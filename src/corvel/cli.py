"""``corvel-generate``: typed configuration models for airbyte connectors.

Runs ``corvel.model_generator`` for the requested connectors: their JSON
Schemas are exported from the connector registry, ``datamodel-codegen`` turns
each into a pydantic v2 module, and the package index of
``corvel.connector_configs`` is rewritten.

By default the generator runs warm (``corvel.fast_mode``): one interpreter
imports it once and a forked child carries out each command.  ``--spawn``
runs every command through the shell, a new interpreter each time.  Both
write the same files and print the same failure reports.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

DEFAULT_CONNECTORS = ("source-file", "destination-sftp-json", "destination-csv")
BUNDLED_REGISTRY = Path(__file__).resolve().parent / "data" / "registry.json"
REGISTRY_VARIABLE = "AIRBYTE_LOCAL_REGISTRY"  # airbyte's registry location: a path or an URL
GENERATOR = "datamodel-codegen"

_SCHEMA_IN_COMMAND = re.compile(r"/connector_configs/jsonschema/(\S+)\.json")
_INDEX_CLASS_LINE = re.compile(r"^from corvel\.connector_configs\.model\.(\S+) import (\w+)$", re.MULTILINE)
_VERSION_SEPARATORS = re.compile(r"[.\-/: ]")


class RegistryError(Exception):
    """The registry document could not be loaded or is not a connector registry."""


def versioned_name(name: str, tag: str) -> str:
    """The file stem the generator gives a connector: source_file__1_2_3."""
    return _VERSION_SEPARATORS.sub("_", f"{name}__{tag}")


@dataclass
class Connector:
    name: str
    tag: str
    kind: str  # "source" or "destination"

    @property
    def versioned(self) -> str:
        return versioned_name(self.name, self.tag)

    @property
    def label(self) -> str:
        return f"{self.name} {self.tag}".strip()


def load_registry(location: str) -> dict[str, Any]:
    """Loads the registry document the way airbyte does: http(s) or a local file."""
    try:
        if location.startswith("http"):
            import requests
            from airbyte.version import get_version

            response = requests.get(location, headers={"User-Agent": f"PyAirbyte/{get_version()}"}, timeout=60)
            response.raise_for_status()
            document = response.json()
        else:
            with Path(location).open(encoding="utf-8") as file:
                document = json.load(file)
    except (OSError, ValueError) as error:  # requests' errors are OSErrors, JSON errors ValueErrors
        raise RegistryError(f"cannot read the registry {location}: {error}") from error
    if not isinstance(document, dict) or not all(
        isinstance(document.get(kind), list) for kind in ("sources", "destinations")
    ):
        raise RegistryError(f"{location} is not a connector registry: it needs 'sources' and 'destinations' lists")
    return document


def registry_connectors(document: dict[str, Any]) -> list[Connector]:
    """Every connector entry of the document, sources first, in document order."""
    connectors = []
    for kind, entries in (("source", document["sources"]), ("destination", document["destinations"])):
        for entry in entries:
            repository = entry.get("dockerRepository") if isinstance(entry, dict) else None
            if not isinstance(repository, str):
                raise RegistryError(f"a {kind} entry of the registry has no dockerRepository")
            tag = entry.get("dockerImageTag") or ""
            connectors.append(Connector(repository.replace("airbyte/", ""), str(tag), kind))
    return connectors


def scripts_directory() -> str:
    """Where this interpreter's console scripts are installed."""
    return sysconfig.get_path("scripts")


def find_generator() -> str | None:
    """Finds datamodel-codegen on PATH, else beside this interpreter.

    The generator runs through the shell by its bare name, so when it is only
    found beside the interpreter (a virtual environment that is not
    activated) that directory is put in front of PATH.
    """
    found = shutil.which(GENERATOR)
    if found:
        return found
    scripts = scripts_directory()
    found = shutil.which(GENERATOR, path=scripts)
    if found:
        current = os.environ.get("PATH", "")
        os.environ["PATH"] = scripts + (os.pathsep + current if current else "")
    return found


@dataclass
class RunOutcome:
    returncode: int
    stderr: str = ""


@dataclass
class RunRecorder:
    """Stands in for ``subprocess`` inside the generator module.

    ``run`` hands every call on to ``runner.run`` unchanged (the real
    ``subprocess``, or a warm generator), advancing the progress bar and
    keeping each outcome by versioned name.
    """

    progress: Any
    task: Any
    labels: dict[str, str]
    runner: Any = subprocess
    outcomes: dict[str, RunOutcome] = field(default_factory=dict)
    CalledProcessError = subprocess.CalledProcessError

    def run(self, command, **kwargs):
        match = _SCHEMA_IN_COMMAND.search(command if isinstance(command, str) else " ".join(command))
        name = match.group(1) if match else str(command)
        self.progress.update(self.task, description=f"{GENERATOR} {self.labels.get(name, name)}")
        try:
            result = self.runner.run(command, **kwargs)
        except subprocess.CalledProcessError as error:
            self.outcomes[name] = RunOutcome(error.returncode, error.stderr or "")
            raise
        except BaseException:
            self.outcomes[name] = RunOutcome(-1)
            raise
        else:
            self.outcomes[name] = RunOutcome(result.returncode, result.stderr or "")
            return result
        finally:
            self.progress.advance(self.task)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvel-generate",
        description="Generate typed pydantic v2 configuration models for airbyte connectors from the "
        "connector registry.",
        epilog=f"Without names the defaults {', '.join(DEFAULT_CONNECTORS)} are generated. The registry "
        f"is the one {REGISTRY_VARIABLE} names (a path or an http(s) URL); when it is unset, the registry "
        "bundled with corvel is used, so no network is needed. Exit status: 0 when every model was "
        "written, 1 when a run failed, a name is not in the registry or the registry is unusable, 2 for "
        "a wrong command line.",
    )
    parser.add_argument("names", nargs="*", metavar="NAME", help="connector names, e.g. source-file destination-csv")
    parser.add_argument(
        "--registry",
        metavar="PATH_OR_URL",
        help=f"registry document to read; sets {REGISTRY_VARIABLE} for this run",
    )
    parser.add_argument(
        "--output-dir",
        metavar="DIR",
        type=Path,
        help="write the tree to DIR/connector_configs/ (jsonschema/, model/, __init__.py) instead of the "
        "installed corvel package; its index still imports its modules as corvel.connector_configs.model.*, "
        "so load it with corvel.demo.import_tree(DIR)",
    )
    parser.add_argument(
        "--spawn",
        action="store_true",
        help=f"run each {GENERATOR} command through the shell, a new interpreter per connector. Without it the "
        "generator runs warm: one interpreter imports it once and a forked child carries out each command, "
        "several times faster for many connectors, with the same files, failure reports and exit status. "
        f"Commands the warm interpreter cannot carry out exactly as the shell would (a {GENERATOR} on PATH "
        "that is not the one installed with corvel) go through the shell either way",
    )
    parser.add_argument("--list", action="store_true", help="list the connectors the registry offers and exit")
    return parser


def main(argv: list[str] | None = None) -> int:
    """Entry point of ``corvel-generate``; returns the exit status."""
    from rich.console import Console

    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.list and (args.names or args.output_dir or args.spawn):
            parser.error("--list takes no connector names, no --output-dir and no --spawn")
    except SystemExit as stop:
        return stop.code if isinstance(stop.code, int) else 2
    out = Console(highlight=False, soft_wrap=True)
    err = Console(stderr=True, highlight=False, soft_wrap=True)

    if args.registry:
        os.environ[REGISTRY_VARIABLE] = args.registry
    elif REGISTRY_VARIABLE not in os.environ:
        os.environ[REGISTRY_VARIABLE] = str(BUNDLED_REGISTRY)

    if not args.list and find_generator() is None:
        err.print(
            f"corvel-generate: {GENERATOR} was not found on PATH; it comes with the "
            "datamodel-code-generator package (pip install datamodel-code-generator)",
            markup=False,
        )
        return 1
    try:
        return _list(out, err) if args.list else _generate(args, out, err)
    except KeyboardInterrupt:
        err.print("corvel-generate: interrupted", markup=False)
        return 130


def _open_registry(err) -> tuple[str, dict[str, Any]] | None:
    from airbyte.sources.registry import _get_registry_url, _is_registry_disabled

    location = _get_registry_url()
    if _is_registry_disabled(location):
        err.print(
            f"corvel-generate: the connector registry is switched off ({REGISTRY_VARIABLE}={location!r}, "
            "or AIRBYTE_OFFLINE_MODE is set)",
            markup=False,
        )
        return None
    try:
        return location, load_registry(location)
    except RegistryError as error:
        err.print(f"corvel-generate: {error}", markup=False)
        return None


def _list(out, err) -> int:
    from rich.table import Table
    from rich.text import Text

    opened = _open_registry(err)
    if opened is None:
        return 1
    location, document = opened
    try:
        connectors = registry_connectors(document)
    except RegistryError as error:
        err.print(f"corvel-generate: {error}", markup=False)
        return 1
    out.print(f"{len(connectors)} connectors in {location}", markup=False)
    table = Table("connector", "kind", "version")
    for connector in sorted(connectors, key=lambda c: (c.kind != "source", c.name)):
        table.add_row(*map(Text, (connector.name, connector.kind, connector.tag)))
    out.print(table)
    return 0


def _prepare_tree(directory: Path) -> str:
    root = directory.expanduser().resolve()
    for part in ("jsonschema", "model"):
        (root / "connector_configs" / part).mkdir(parents=True, exist_ok=True)
    return str(root)


def _generate(args, out, err) -> int:
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, SpinnerColumn, TextColumn, TimeElapsedColumn

    opened = _open_registry(err)
    if opened is None:
        return 1
    _, document = opened
    requested = list(args.names or DEFAULT_CONNECTORS)
    try:
        matched = [c for c in registry_connectors(document) if c.name in requested]
    except RegistryError as error:
        err.print(f"corvel-generate: {error}", markup=False)
        return 1
    missing = [name for name in requested if name not in {c.name for c in matched}]
    labels = {c.versioned: c.label for c in matched}

    import corvel.model_generator as mg
    from corvel.fast_mode import WarmGenerator

    runner = subprocess if args.spawn else WarmGenerator()
    saved_dir, saved_subprocess = mg.CURRENT_DIR, mg.subprocess
    names: list[str] = []
    try:
        if args.output_dir is not None:
            mg.CURRENT_DIR = _prepare_tree(args.output_dir)
        root = str(mg.CURRENT_DIR)
        columns = (SpinnerColumn(), TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(), TimeElapsedColumn())
        with Progress(*columns, console=out) as progress:
            task = progress.add_task("exporting schemas", total=None)
            exported = mg.generate_jsonschema_files(requested)
            if isinstance(exported, dict):  # the module's answer when the registry is switched off
                err.print("corvel-generate: the connector registry is switched off", markup=False)
                return 1
            names = list(exported)
            progress.update(task, total=len(names), completed=0, description="generating models")
            recorder = RunRecorder(progress, task, labels, runner)
            if names:
                mg.subprocess = recorder
                mg.generate_model_files(names)
            progress.update(task, description="done")
    except Exception as error:
        err.print(f"corvel-generate: generation stopped: {type(error).__name__}: {error}", markup=False)
        return 1
    finally:
        mg.subprocess, mg.CURRENT_DIR = saved_subprocess, saved_dir
        if runner is not subprocess:
            runner.close()
    if runner is not subprocess and runner.shell_runs:
        err.print(
            f"corvel-generate: {runner.shell_runs} of {runner.shell_runs + runner.warm_runs} runs went through the "
            f"shell: the {GENERATOR} on PATH ({shutil.which(GENERATOR)}) is not the one installed with corvel",
            markup=False,
        )

    return _summary(out, Path(root) / "connector_configs", names, missing, labels, recorder.outcomes)


def _summary(out, tree: Path, names, missing, labels, outcomes) -> int:
    from rich.table import Table
    from rich.text import Text

    index = tree / "__init__.py"
    classes = dict(_INDEX_CLASS_LINE.findall(index.read_text(encoding="utf-8"))) if names and index.exists() else {}
    table = Table("connector", "result", "class", box=None, pad_edge=False)
    add_row = lambda *cells: table.add_row(*map(Text, cells))  # registry text is no markup
    written = 0
    for name in dict.fromkeys(names):
        outcome = outcomes.get(name)
        model = tree / "model" / f"{name}.py"
        class_name = classes.get(name, "")
        if outcome is None or outcome.returncode != 0:
            status = f"failed: {GENERATOR} exited with status {outcome.returncode if outcome else '?'} (report above)"
        elif not model.exists():
            status = f"failed: {GENERATOR} wrote no model"
        elif class_name and f"class {class_name}(" not in model.read_text(encoding="utf-8"):
            status = f"failed: the model has no class {class_name}"
        else:
            written += 1
            add_row(labels.get(name, name), "written", class_name)
            continue
        add_row(labels.get(name, name), status, "")
    for name in missing:
        add_row(name, "not in the registry", "")

    total = len(dict.fromkeys(names)) + len(missing)
    out.print(f"{written} of {total} connector models written to {tree}", markup=False)
    if total:
        out.print(table)
    if written == total and total:
        return 0
    if not names:
        out.print("Nothing was generated; the tree was left as it was.", markup=False)
    return 1


if __name__ == "__main__":
    sys.exit(main())
