"""``corvel-generate``: typed configuration models for airbyte connectors.

Runs ``corvel.model_generator`` for the connectors the tree is to hold:
their JSON Schemas are exported from the connector registry,
``datamodel-codegen`` turns each into a pydantic v2 module, and the package
index of ``corvel.connector_configs`` is rewritten.  What the tree holds, and
at which registry entry, is kept in its lock (``corvel.lock``); the run
itself, phase by phase, is ``corvel.tree_run``.  This module reads the
command line, starts the run and prints its summary and report.

By default the generator runs warm (``corvel.fast_mode``): interpreters that
import it once, and a forked child of one of them carries out each run,
up to ``--jobs`` at once, while models of earlier identical runs come from a
cache (``corvel.model_cache``).  ``--spawn`` runs every one through the
shell, a new interpreter each time.  Both write the same files and print the
same failure reports.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from contextlib import redirect_stdout
from collections import Counter
from pathlib import Path
from typing import Any

from corvel import config_changes, own_manifests, project, registry, tree_guard, upgrades
from corvel.generator_boundary import GENERATOR, generator_path
from corvel.plan import ADDED, KEPT, REGENERATED, REMOVED, UPGRADED
from corvel.registry import AIRBYTE, BUNDLED, BUNDLED_REGISTRY, REGISTRY_VARIABLE
from corvel.tree_run import (DEFAULT_CONNECTORS, DRY_RUN, FETCHED_AGAIN, GENERATED, GENERATION_STOPPED, PLANNED,
                             UP_TO_DATE, Ending, Record, Stop, outdated_run, read_entries, run)
from corvel.installation import VersionAction, versions
from corvel.project import ProjectError, Settings
from corvel.tree import LOCK_NAME, Tree

CHANGES_LISTED = 20  # more changes than this are counted, and listed with --verbose
PLAN_VERBS = {KEPT: "keep", ADDED: "add", REGENERATED: "generate again", REMOVED: "remove"}  # in a dry run's plan


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvel-generate",
        description="Generate typed pydantic v2 configuration models for airbyte connectors from the "
        "connector registry.",
        epilog="The tree is the project's own package when the nearest pyproject.toml with a [tool.corvel] table "
        "names one (package = \"myapp.connector_configs\"; the table may also set registry, manifests and "
        "own-manifests, which the command line overrides or adds to), else the installed corvel package's connector_configs/. "
        "The tree remembers what it holds in its corvel.lock: every run leaves it holding the "
        "connectors of its lock plus those named, the locked ones at their locked versions and new ones at the "
        f"registry's current version. Without names and without a lock, the defaults {', '.join(DEFAULT_CONNECTORS)} "
        "are generated; without names and with a lock, the tree is checked against the lock and whatever differs "
        "is generated again, without reading the registry. The registry is the one --registry names, else the one "
        f"{REGISTRY_VARIABLE} names (a path or an http(s) URL), else the table's, else airbyte's own registry (its "
        "URL, read over the network). It is read once per run. Entries the generator cannot use (no spec, "
        "connectionSpecification or properties object, or a versioned name that is no Python module name) are left "
        "out and named with the reason. A manifest-only connector's manifest is vendored in the tree "
        "(manifests/<versioned name>/), fetched at the locked version from airbyte's manifest store or the one CORVEL_MANIFEST_URL names (a "
        "template with {name} and {version}), and fetched again when it is missing or differs from the lock. "
        "Exit status: 0 when every model was written or is up to date, 1 when a run failed, an entry was "
        "left out, a manifest could not be vendored, a name is not in the registry, the registry is unusable, "
        "the lock is, or a configuration given to --check-config was rejected, 2 for a wrong command line.",
    )
    parser.add_argument("names", nargs="*", metavar="NAME", help="connector names, e.g. source-file destination-csv")
    parser.add_argument("--all", action="store_true", help="add every connector of the registry")
    parser.add_argument(
        "--upgrade",
        nargs="*",
        metavar="NAME",
        help="move the named locked connectors (all of them when no name follows) to the registry's current version",
    )
    parser.add_argument(
        "--remove",
        nargs="+",
        action="extend",
        default=[],
        metavar="NAME",
        help="take the named connectors out of the tree: out of the lock and the index, and the files the lock "
        "records for them are deleted",
    )
    parser.add_argument(
        "--frozen",
        action="store_true",
        help="generate exactly what the lock holds, from the registry entries it keeps; reads no registry, so it "
        "works offline",
    )
    parser.add_argument(
        "--registry",
        metavar="PATH_OR_URL",
        help=f"registry document to read, a path or an http(s) URL, or by name: {AIRBYTE} (the one airbyte reads: "
        f"{REGISTRY_VARIABLE}, else airbyte's registry URL; the default) or {BUNDLED} (the small sample registry "
        f"bundled with corvel, {BUNDLED_REGISTRY}, read offline). The name wins over a file of that name, which is "
        f"given as ./{BUNDLED}. Sets {REGISTRY_VARIABLE} for this run",
    )
    parser.add_argument(
        "--output-dir",
        metavar="DIR",
        type=Path,
        help="write the tree to DIR/connector_configs/ (jsonschema/, model/, __init__.py) instead of the "
        "installed corvel package; its index still imports its modules as corvel.connector_configs.model.*, "
        "so load it with corvel.config_class(NAME, tree=DIR) or corvel.configs.import_tree(DIR)",
    )
    parser.add_argument(
        "--package",
        metavar="NAME",
        help="write the tree as the project's own package NAME (myapp.connector_configs), in the directory "
        "where its top-level package is (src/myapp/ or myapp/ beside the project's pyproject.toml); "
        "import its classes from it. A [tool.corvel] table's package = NAME does the same",
    )
    parser.add_argument(
        "--manifests",
        action=argparse.BooleanOptionalAction,
        help="vendor the manifests of manifest-only connectors in the tree (the default), or not: "
        "--no-manifests generates the classes alone, needs no manifest store, and the lock records the choice",
    )
    parser.add_argument(
        "--manifest",
        action=_OwnManifest,
        dest="own_manifests",
        metavar="PATH_OR_URL",
        help="generate the class of a declarative manifest of your own (the connector builder's manifest.yaml) "
        "from its spec.connection_specification, as for a registry connector, at the version it declares; "
        "the manifest (and the components.py beside it) is vendored in the tree and locked by its hash, and a "
        "later run that finds the file changed generates the class again. Repeatable; a [tool.corvel] table's "
        "own-manifests = [{path = \"my_api.yaml\", name = \"source-my-api\"}] does the same",
    )
    parser.add_argument(
        "--name",
        action=_OwnManifestName,
        dest="own_manifests",
        metavar="NAME",
        help="the connector name of the --manifest before it (default: from the file's name, my_api.yaml gives "
        "source-my-api)",
    )
    parser.add_argument(
        "--spawn",
        action="store_true",
        help=f"run each {GENERATOR} command through the shell, a new interpreter per connector. Without it the "
        "generator runs warm: one interpreter imports it once and a forked child carries out each command, "
        "several times faster for many connectors, with the same files, failure reports and exit status, and "
        "models of earlier runs come from the cache. "
        f"Commands the warm interpreter cannot carry out exactly as the shell would (a {GENERATOR} on PATH "
        "that is not the one installed with corvel) go through the shell either way",
    )
    parser.add_argument(
        "--jobs",
        metavar="N",
        type=_positive,
        help="run up to N generator runs at once, each in its own warm process (default: the cores this process "
        "may use). The module still takes the results one by one, in order: the files, failure reports, summary "
        "and exit status are those of --jobs 1 and of --spawn",
    )
    parser.add_argument(
        "--cache-dir",
        metavar="DIR",
        type=Path,
        help="where models of earlier successful runs are kept (default: $XDG_CACHE_HOME/corvel, or "
        "~/.cache/corvel). A run whose schema file, command options, generator version and Python version match "
        "an earlier one writes the cached model instead of running the generator",
    )
    parser.add_argument("--no-cache", action="store_true", help="neither read nor fill the cache")
    parser.add_argument(
        "--verbose", action="store_true", help="list every connector in the summary, not only those not written"
    )
    parser.add_argument(
        "--report",
        metavar="FILE",
        type=Path,
        help="also write a JSON report to FILE (- for standard output, where it is then the only output): one record per connector (name, version, versioned_name, status, "
        "reason, class_name, model_path, returncode, from_cache, change, previous_version, connector_kind, "
        "manifest, manifest_error), the registry, the tree, the versions --version shows and the exit status; with "
        "--outdated its rows (outdated), with --dry-run or --upgrade what changes per connector that moves "
        "(upgrades), with --check-config the configurations checked (config_checks)",
    )
    parser.add_argument("--list", action="store_true", help="list the connectors the registry offers and exit")
    parser.add_argument(
        "--outdated",
        action="store_true",
        help="list each locked connector with its locked version, the registry's current one (release candidates "
        "are never offered), how airbyte runs it, and the breaking changes the registry documents between the two, "
        "with their deadlines; reads the registry once, generates and writes nothing (--report: under outdated)",
    )
    parser.add_argument(
        "--dry-run",
        action="store_true",
        help="print what the run would do (added, kept, upgraded, removed) and, for each connector that would be "
        "upgraded, what changes for its users: configuration members added, removed, made required, retyped, "
        "values, defaults and secrecy changed, oneOf options added or removed, classes of the model removed or "
        "renamed, and the breaking changes crossed; the new models are generated in a temporary directory and "
        "nothing is written to the tree (--report: under upgrades). A real --upgrade prints the same changes",
    )
    parser.add_argument(
        "--check-config",
        action="append",
        default=[],
        metavar="NAME=FILE",
        type=_config_file,
        help="check a stored configuration of connector NAME (a JSON or YAML file) against its class: the class "
        "the tree holds after the run, or with --dry-run both the locked class and the one the run would move to. "
        "Each problem is named by its member path, never with a value; a configuration rejected makes the exit "
        "status 1. Repeatable",
    )
    parser.add_argument(
        "--version",
        action=VersionAction,
        help="show the versions of corvel, airbyte, datamodel-code-generator and pydantic, and the Python this runs "
        "on, and exit (--report records the same under versions)",
    )
    # main sets them: the PATH the generator's runs get, and the directory own manifests' paths are relative to
    parser.set_defaults(generator_path=None, own_manifests=[], project_dir=None)
    return parser


class _OwnManifest(argparse.Action):
    """--manifest PATH_OR_URL: appends [source, name None] to the list."""

    def __call__(self, parser, namespace, value, option_string=None):
        setattr(namespace, self.dest, [*getattr(namespace, self.dest), [value, None]])


class _OwnManifestName(argparse.Action):
    """--name NAME: names the --manifest before it."""

    def __call__(self, parser, namespace, value, option_string=None):
        listed = getattr(namespace, self.dest)
        if not listed or listed[-1][1] is not None:
            parser.error("--name names the --manifest just before it")
        listed[-1][1] = value


def _config_file(text: str) -> tuple[str, dict, str]:
    """NAME=FILE: the connector's name, the configuration the file holds, and the file's name."""
    name, equals, file = text.partition("=")
    if not equals or not name or not file:
        raise argparse.ArgumentTypeError(f"NAME=FILE expected, not {text!r}")
    try:
        return name, upgrades.read_config(Path(file)), file
    except upgrades.ConfigFileError as error:
        raise argparse.ArgumentTypeError(str(error)) from error


def _positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"a whole number of at least 1 expected, not {text!r}")
    return int(text)


def main(argv: list[str] | None = None) -> int:
    """Entry point of ``corvel-generate``; returns the exit status."""
    from rich.console import Console

    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.list and (args.names or args.all or args.output_dir or args.package or args.spawn or args.report
                          or args.jobs):
            parser.error("--list takes no connector names, no --all, --output-dir, --package, --spawn, --jobs or "
                         "--report")
        if args.output_dir and args.package:
            parser.error("--output-dir and --package name two places for one tree; give one")
        if args.all and args.names:
            parser.error("--all takes no connector names")
        if args.list and (args.frozen or args.remove or args.upgrade is not None):
            parser.error("--list takes no --frozen, --upgrade or --remove")
        if args.outdated and (args.list or args.names or args.all or args.frozen or args.remove or args.dry_run
                              or args.upgrade is not None or args.check_config):
            parser.error("--outdated compares the lock with the registry: it takes no connector names, --list, --all, "
                         "--frozen, --upgrade, --remove, --dry-run or --check-config")
        if args.list and (args.dry_run or args.check_config):
            parser.error("--list takes no --dry-run or --check-config")
        if args.frozen and (args.names or args.all or args.upgrade is not None or args.remove or args.registry
                            or args.own_manifests):
            parser.error("--frozen generates what the lock holds and reads no registry: it takes no connector names, "
                         "--all, --upgrade, --remove, --registry or --manifest")
        if (args.list or args.outdated) and args.own_manifests:
            parser.error("--list and --outdated take no --manifest")
        if both := sorted(set(args.remove) & set(args.names + (args.upgrade or []))):
            parser.error(f"{', '.join(both)}: named to be removed and to be added or upgraded")
        if args.spawn and (args.jobs or args.cache_dir or args.no_cache):
            parser.error("--spawn runs every command through the shell, one at a time and without the cache")
        args.jobs = args.jobs or len(os.sched_getaffinity(0))
    except SystemExit as stop:
        return stop.code if isinstance(stop.code, int) else 2
    report_to_stdout = args.report == Path("-")
    out = Console(highlight=False, soft_wrap=True)
    err = Console(stderr=True, highlight=False, soft_wrap=True)

    args.generator_path = generator_path()
    if not args.list and args.generator_path is None:
        err.print(
            f"corvel-generate: {GENERATOR} was not found on PATH; it comes with the "
            "datamodel-code-generator package (pip install datamodel-code-generator)",
            markup=False,
        )
        return 1
    try:
        settings = project.find_settings(Path.cwd())
    except ProjectError as error:
        err.print(f"corvel-generate: {error}", markup=False)
        return 1
    location = registry.chosen(args.registry, settings.registry)
    if args.manifests is None:
        args.manifests = settings.manifests
    # own manifests' paths are kept relative to the project; the command line's are relative to here
    args.project_dir = settings.project_directory or project.project_directory(Path.cwd())
    args.own_manifests = list(settings.own_manifests) + [
        (source if own_manifests.is_url(source) else own_manifests.project_relative(Path(source), args.project_dir),
         name) for source, name in args.own_manifests]
    report: dict[str, Any] = {"registry": location, "tree": None, "error": None, "traceback": None,
                              "connectors": [], "versions": versions()}
    stdout = sys.stdout
    try:
        tree = None if args.list else _tree(args, settings)
        writes = tree is not None and not (args.outdated or args.dry_run)
        if writes and (problem := tree_guard.refusal(tree, output_dir=args.output_dir is not None)):
            raise Stop(problem)  # before anything is written
        # with the report on standard output, everything else (the summary, the
        # module's failure reports) goes to standard error
        with registry.told_to_airbyte(location), redirect_stdout(sys.stderr if report_to_stdout else stdout):
            if args.list:
                status = _list(out, location)
            elif args.outdated:
                status = _outdated(out, outdated_run(tree, location, report), report["registry"])
            else:
                ending = run(args, location, tree, out, err, report)
                status = _summarise(out, ending, args.verbose, _read_from(report["registry"]))
    except Stop as stop:
        err.print(f"corvel-generate: {stop}", markup=False)
        report["error"], status = str(stop), 1
    except KeyboardInterrupt:
        err.print("corvel-generate: interrupted", markup=False)
        report["error"], status = "interrupted", 130
    if args.report is not None:
        text = json.dumps(dict(report, exit_status=status), indent=1) + "\n"
        try:
            if report_to_stdout:
                stdout.write(text)
                stdout.flush()
            else:
                args.report.write_text(text, encoding="utf-8")
        except OSError as error:
            err.print(f"corvel-generate: cannot write the report {args.report}: {error}", markup=False)
            status = status or 1
    return status


def _tree(args, settings: Settings) -> Tree:
    """The tree the run writes: --output-dir, else the project's package (--package, else its table), else the
    installed one."""
    if args.output_dir is not None:
        return Tree.at_root(args.output_dir.expanduser().resolve())
    package = args.package or settings.package
    if package is None:
        return Tree.installed()
    try:
        return project.package_tree(package, settings.project_directory or project.project_directory(Path.cwd()))
    except ProjectError as error:
        raise Stop(str(error)) from error


def _read_from(location: str | None) -> str:
    """What a summary line adds to name the registry the run read; empty when it read none."""
    return f" from {registry.described(location)}" if location else ""


def _list(out, location: str) -> int:
    from rich.table import Table
    from rich.text import Text

    location = registry.resolved(location)
    _, entries = read_entries(location)
    out.print(f"{len(entries)} connectors in {registry.described(location)}", markup=False)
    table = Table("connector", "kind", "version")
    for entry in sorted(entries, key=lambda e: (e.kind != "sources", e.name)):
        table.add_row(*map(Text, (entry.name, entry.kind.removesuffix("s"), entry.tag)))
    out.print(table)
    return 0


def _outdated(out, rows: list[upgrades.Outdated], location: str) -> int:
    from rich.table import Table
    from rich.text import Text

    table = Table("connector", "connector kind", "locked", "current", "breaking changes crossed", box=None, pad_edge=False)
    for row in rows:
        crossed = "; ".join(f"{c.version}" + (f" (upgrade by {c.deadline})" if c.deadline else "")
                            for c in row.breaking_changes)
        current = row.current_version if row.current_version is not None else "not in the registry"
        table.add_row(*map(Text, (row.name, row.connector_kind, row.locked_version,
                                  current if row.moves or row.current_version is None else "(same)", crossed)))
    out.print(table)
    moving = sum(row.moves for row in rows)
    crossing = sum(bool(row.breaking_changes) for row in rows)
    out.print(f"{moving} of {len(rows)} locked connectors have a newer version in {registry.described(location)}; "
              f"{crossing} of them cross a documented breaking change (--upgrade --dry-run shows what changes)",
              markup=False)
    return 0


def _summarise(out, ending: Ending, verbose: bool, read_from: str) -> int:
    """Prints how the run ended; its exit status."""
    for note in ending.notes:
        out.print(note, markup=False)
    for preview in ending.previews:
        for line in preview.lines():
            out.print(line, markup=False)
    if counts := Counter(change.category for preview in ending.previews for change in preview.config_changes):
        out.print(f"configuration changes of {len(ending.previews)} connector(s): "
                  + ", ".join(f"{counts[category]} {category}" for category in config_changes.CATEGORIES
                             if counts[category]), markup=False)
    if ending.how == GENERATION_STOPPED:
        return 1
    status = _plan(out, ending, read_from) if ending.how == DRY_RUN else _outcome(out, ending, verbose, read_from)
    return _checks(out, ending) or status


def _checks(out, ending: Ending) -> int:
    """Prints the configurations checked; 1 when any was rejected."""
    for check in ending.checks:
        version = f"{check.name} {check.version}" if check.version else check.name
        verdict = f"{len(check.problems)} problem(s)" if check.problems else "valid"
        out.print(f"{check.file} against {version} ({check.against}): {verdict}", markup=False)
        for problem in check.problems:
            out.print(f"  {problem}", markup=False)
    return int(any(check.problems for check in ending.checks))


def _plan(out, ending: Ending, read_from: str) -> int:
    """A dry run's plan: what the run would do to each connector; nothing was written."""
    from rich.table import Table
    from rich.text import Text

    failed = [r for r in ending.records if r.status != PLANNED]
    table = Table("connector", "the run would", "class", box=None, pad_edge=False)
    for record in ending.records:
        if record.status != PLANNED:
            what = f"{record.status}: {record.reason}" if record.reason else record.status
        elif record.change == UPGRADED:
            what = f"upgrade from {record.previous_version} to {record.version}"
        else:
            what = PLAN_VERBS[record.change]
        table.add_row(*map(Text, (record.label, what, record.class_name or "")))
    out.print(table)
    out.print(f"Dry run{read_from}: nothing was written to {ending.directory}.", markup=False)
    return 1 if failed else 0


def _outcome(out, ending: Ending, verbose: bool, read_from: str) -> int:
    if ending.how == GENERATED:
        return _summary(out, ending.directory, ending.records, True, verbose, read_from)
    if ending.how == UP_TO_DATE:
        held = sum(r.status == "up to date" for r in ending.records)
        out.print(f"{ending.directory} is up to date: {held} connector models, as {LOCK_NAME} names them",
                  markup=False)
        noted = any(r.status != "up to date" or r.manifest for r in ending.records)
        return _summary(out, ending.directory, ending.records, False, False, read_from) if noted else 0
    status = _summary(out, ending.directory, ending.records, False, False, read_from)
    return status if ending.records else 1


def _summary(out, tree: Path, records: list[Record], generated: bool, verbose: bool, read_from: str) -> int:
    """Connectors not written first, each with its reason, then what changed in the tree; the rest as a count,
    or listed with verbose."""
    from rich.table import Table
    from rich.text import Text

    held = [r for r in records if r.status != "removed"]
    written = [r for r in held if r.status == "written"]
    failed = [r for r in held if r.status not in ("written", "up to date") or r.manifest_error]
    changed = [r for r in records if r not in failed and (r.change not in (None, KEPT) or r.manifest == FETCHED_AGAIN)]
    rest = [r for r in records if r not in failed and r not in changed]
    if generated:
        out.print(f"{len(written)} of {len(held)} connector models written to {tree}{read_from}", markup=False)
    listed = changed if verbose or len(changed) <= CHANGES_LISTED else []
    shown = failed + listed + (rest if verbose else [])
    if shown:
        table = Table("connector", "result", "class", box=None, pad_edge=False)
        for record in shown:
            table.add_row(*map(Text, (record.label, _result(record), record.class_name or "")))  # registry text is no markup
        out.print(table)
    unlisted = [r for r in changed + rest if r not in shown]
    if unlisted and generated:
        counts = Counter(r.change or r.status for r in unlisted)
        out.print(f"{', '.join(f'{n} {change}' for change, n in counts.items())}; --verbose lists them", markup=False)
    cached = sum(r.from_cache for r in written)
    if cached:
        out.print(f"{cached} of the models written came from the cache", markup=False)
    if not generated and not any(r.status == "up to date" for r in records):
        out.print(f"Nothing was generated{read_from}; the tree was left as it was.", markup=False)
    return 1 if failed else 0


def _result(record: Record) -> str:
    if record.status not in ("written", "up to date", "removed"):
        return f"{record.status}: {record.reason}" if record.reason else record.status
    if record.change == UPGRADED:
        result = f"upgraded from {record.previous_version} to {record.version}"
    else:
        result = record.change or record.status
    if record.manifest_error:
        note = f"manifest not vendored: {record.manifest_error}"
        return note if record.change == KEPT else f"{result}; {note}"
    if record.manifest == FETCHED_AGAIN:
        return "manifest fetched again" if record.change == KEPT else f"{result}; manifest fetched again"
    return result


if __name__ == "__main__":
    sys.exit(main())
