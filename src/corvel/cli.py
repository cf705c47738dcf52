"""``corvel-generate``: typed configuration models for airbyte connectors.

Runs ``corvel.model_generator`` for the connectors the tree is to hold:
their JSON Schemas are exported from the connector registry,
``datamodel-codegen`` turns each into a pydantic v2 module, and the package
index of ``corvel.connector_configs`` is rewritten.  What the tree holds, and
at which registry entry, is kept in its lock (``corvel.lock``); the run
itself, phase by phase, is ``corvel.tree_run``.  This module reads the
command line of ``corvel-generate``, whose modes are flags, into the run's
options, starts the run and prints its summary and report
(``corvel.console``); ``corvel`` (``corvel.command``) gives the same runs
as subcommands.

By default the generator runs warm (``corvel.fast_mode``): interpreters that
import it once, and a forked child of one of them carries out each run,
up to ``--jobs`` at once, while models of earlier identical runs come from a
cache (``corvel.model_cache``).  ``--spawn`` runs every one through the
shell, a new interpreter each time.  Both write the same files and print the
same failure reports.
"""

from __future__ import annotations

import argparse
import os
import sys
import traceback
from collections.abc import Sequence
from contextlib import redirect_stdout
from pathlib import Path
from typing import TYPE_CHECKING, Any

from corvel import console, own_manifests, project, registry, tree_guard, upgrades
from corvel.errors import CorvelError, Stop
from corvel.generator_boundary import GENERATOR, generator_path
from corvel.installation import VersionAction, versions
from corvel.lock import Lock, LockError, read_lock
from corvel.project import ProjectError, Settings
from corvel.registry import AIRBYTE, BUNDLED, BUNDLED_REGISTRY, REGISTRY_VARIABLE
from corvel.registry_selection import read_entries
from corvel.run_options import ConfigFile, Generation, RunOptions
from corvel.run_outcome import How
from corvel.stream_changes import counted, stored_document, upgrade_streams
from corvel.tree import Tree
from corvel.tree_run import DEFAULT_CONNECTORS, run

if TYPE_CHECKING:
    from rich.console import Console

__all__ = ["BUNDLED_REGISTRY", "DEFAULT_CONNECTORS", "REGISTRY_VARIABLE", "build_parser", "main"]

DEBUG_VARIABLE = "CORVEL_DEBUG"  # 1: a failure's traceback is printed after its line


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvel-generate",
        description="Generate typed pydantic v2 configuration models for airbyte connectors from the "
        "connector registry. The command `corvel` does the same, one subcommand per task (corvel add, remove, "
        "sync, upgrade, outdated, check-config, list, show; corvel --help); corvel-generate keeps the flags "
        "existing scripts use.",
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
        f"bundled with corvel, corvel/data/registry.json, read offline). The name wins over a file of that name, which is "
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
        action=OwnManifestAction,
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
        action=OwnManifestNameAction,
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
        type=positive,
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
        type=config_file,
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


class OwnManifestAction(argparse.Action):
    """--manifest PATH_OR_URL: appends [source, name None] to the list."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, value: Any,
                 option_string: str | None = None) -> None:
        setattr(namespace, self.dest, [*getattr(namespace, self.dest), [value, None]])


class OwnManifestNameAction(argparse.Action):
    """--name NAME: names the --manifest before it."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, value: Any,
                 option_string: str | None = None) -> None:
        listed: list[list[Any]] = getattr(namespace, self.dest)
        if not listed or listed[-1][1] is not None:
            parser.error("--name names the --manifest just before it")
        listed[-1][1] = value


def config_file(text: str) -> ConfigFile:
    """NAME=FILE: the connector's name, the configuration the file holds, and the file's name."""
    name, equals, file = text.partition("=")
    if not equals or not name or not file:
        raise argparse.ArgumentTypeError(f"NAME=FILE expected, not {text!r}")
    try:
        return ConfigFile(name, upgrades.read_config(Path(file)), file)
    except upgrades.ConfigFileError as error:
        raise argparse.ArgumentTypeError(str(error)) from error


def positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"a whole number of at least 1 expected, not {text!r}")
    return int(text)


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of ``corvel-generate``; returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        _refuse_combinations(parser, args)
    except SystemExit as stop:
        return stop.code if isinstance(stop.code, int) else 2
    out, err = console.consoles()
    path = generator_path()
    if not args.list and path is None:
        console.say(err, f"corvel-generate: {GENERATOR} was not found on PATH; it comes with the "
                         "datamodel-code-generator package (pip install datamodel-code-generator)")
        return 1
    try:
        settings = project.find_settings(Path.cwd())
    except ProjectError as error:
        console.say(err, f"corvel-generate: {error}")
        return 1
    location = registry_location(args.registry, settings)
    report: dict[str, Any] = {"registry": location, "tree": None, "error": None, "traceback": None,
                              "connectors": [], "versions": versions()}
    stdout = sys.stdout
    try:
        # with the report on standard output, everything else (the summary, the module's failure reports) goes
        # to standard error
        with registry.told_to_airbyte(location), redirect_stdout(sys.stderr if args.report == Path("-")
                                                                       else stdout):
            if args.list:
                status = list_connectors(out, location, None, switch_first=True)
            elif args.outdated:
                status = outdated(tree_of(args.output_dir, args.package, settings), location, out, report,
                                  "--outdated", "--upgrade --dry-run", switch_first=True)
            else:
                options = _run_options(args, settings, location, path)
                status = start_run(options, "corvel-generate", out, err, report, args.verbose)
    except CorvelError as error:
        report["error"], status = str(error), fail("corvel-generate", err, error, args.verbose)
    except KeyboardInterrupt:
        console.say(err, "corvel-generate: interrupted")
        report["error"], status = "interrupted", 130
    return finish_report(args.report, report, status, stdout, err, "corvel-generate")


def _refuse_combinations(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Exits with a usage error when the flags given ask for modes that do not go together."""
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


def _run_options(args: argparse.Namespace, settings: Settings, location: str, path: str | None) -> RunOptions:
    """The run corvel-generate's command line asks for."""
    project_dir = settings.project_directory or project.project_directory(Path.cwd())
    return RunOptions(
        tree=tree_of(args.output_dir, args.package, settings), registry=location,
        generation=Generation(path, args.jobs or len(os.sched_getaffinity(0)), args.spawn, args.cache_dir,
                              args.no_cache),
        project_dir=project_dir, names=tuple(args.names), every=args.all,
        upgrade=None if args.upgrade is None else tuple(args.upgrade), remove=tuple(args.remove),
        frozen=args.frozen, manifests=settings.manifests if args.manifests is None else args.manifests,
        own_manifests=own_manifests_asked(settings, [(source, name) for source, name in args.own_manifests],
                                          project_dir),
        dry_run=args.dry_run, check_configs=tuple(args.check_config))


def registry_location(given: str | None, settings: Settings) -> str:
    """The registry a command reads: the command line's, then the environment's, then the project's table's,
    else airbyte's own (``registry.chosen``)."""
    return registry.chosen(given, settings.registry)


def own_manifests_asked(settings: Settings, given: Sequence[tuple[str, str | None]],
                        project_dir: Path) -> tuple[tuple[str, str | None], ...]:
    """The project table's own manifests and those GIVEN on the command line; the command line's paths, relative
    to here, are made relative to the project as the table's are."""
    return settings.own_manifests + tuple(
        (source if own_manifests.is_url(source) else own_manifests.project_relative(Path(source), project_dir), name)
        for source, name in given)


def start_run(options: RunOptions, prog: str, out: Console, err: Console, report: dict[str, Any],
              verbose: bool) -> int:
    """Runs OPTIONS with progress on OUT, fills REPORT from the outcome and prints its summary; the exit status."""
    output_dir = not options.tree.is_project and options.tree != Tree.installed()
    if not options.dry_run and (problem := tree_guard.refusal(options.tree, output_dir)):
        raise Stop(problem)  # before anything is written
    report["tree"] = str(options.tree.directory)
    ending = run(options, console.ConsoleReporter(prog, out, err))
    report.update(ending.report())
    if ending.how == How.STOPPED:
        console.say(err, f"{prog}: generation stopped: {ending.failure}")
        if verbose:
            err.print(ending.traceback, markup=False, end="")
    return console.summarise(out, ending, verbose)


def fail(prog: str, err: Console, error: CorvelError, verbose: bool) -> int:
    """Prints ERROR as one line, its traceback too with VERBOSE or CORVEL_DEBUG=1; the exit status, 1."""
    console.say(err, f"{prog}: {error}")
    if verbose or os.environ.get(DEBUG_VARIABLE) == "1":
        err.print("".join(traceback.format_exception(error)), markup=False, end="")
    return 1


def finish_report(target: Path | None, report: dict[str, Any], status: int, stdout: Any, err: Console,
                  prog: str) -> int:
    """Writes REPORT, with the exit STATUS, to TARGET when one was asked for; the exit status, 1 when the report
    could not be written."""
    if target is None:
        return status
    try:
        console.write_report(dict(report, exit_status=status), target, stdout)
    except OSError as error:
        console.say(err, f"{prog}: cannot write the report {target}: {error}")
        return status or 1
    return status


def locked(tree: Tree, purpose: str) -> Lock:
    """TREE's lock; Stop, saying PURPOSE, when it has none or it cannot be used."""
    try:
        lock = read_lock(tree.directory)
    except LockError as error:
        raise Stop(str(error)) from error
    if lock is None:
        raise Stop(f"{purpose}, and there is no {tree.lock_path}")
    return lock


def tree_of(output_dir: Path | None, package: str | None, settings: Settings) -> Tree:
    """The tree the run writes: OUTPUT_DIR, else the project's PACKAGE (else its table's), else the installed
    one."""
    if output_dir is not None:
        return Tree.at_root(output_dir.expanduser().resolve())
    package = package or settings.package
    if package is None:
        return Tree.installed()
    try:
        return project.package_tree(package, settings.project_directory or project.project_directory(Path.cwd()))
    except ProjectError as error:
        raise Stop(str(error)) from error


def list_connectors(out: Console, location: str, text: str | None, switch_first: bool) -> int:
    """The registry's connectors (those whose names hold TEXT, when given) as a table. Without SWITCH_FIRST a
    registry file is read without asking airbyte's offline switch, which imports airbyte."""
    location = registry.resolved(location)
    _, entries = read_entries(location, switch_first)
    shown = sorted((e for e in entries if text is None or text.lower() in e.name.lower()),
                   key=lambda e: (e.kind != "sources", e.name))
    named = registry.described(location)
    console.say(out, f"{len(entries)} connectors in {named}" if text is None
                else f"{len(shown)} of {len(entries)} connectors in {named}")
    console.print_table(out, ("connector", "kind", "version"), [(e.name, e.kind.removesuffix("s"), e.tag) for e in shown])
    return 0


def outdated(tree: Tree, location: str, out: Console, report: dict[str, Any], asked: str, hint: str,
             switch_first: bool) -> int:
    """Each locked connector of TREE beside the registry's current version, printed and put in REPORT; ASKED
    names the command, HINT the one that shows what changes. Writes nothing."""
    lock = locked(tree, f"{asked} compares a lock with the registry")
    report["tree"] = str(tree.directory)
    report["registry"] = location = registry.resolved(location)
    document, entries = read_entries(location, switch_first)
    rows = upgrades.outdated(lock, entries, document)
    count_stream_changes(tree, rows)
    report["outdated"] = [row.as_json() for row in rows]
    return console.outdated(out, rows, hint, registry.described(location))


def count_stream_changes(tree: Tree, rows: list[upgrades.Outdated]) -> None:
    """Counts the stream changes of the rows that move and whose streams TREE knows at the locked version; only
    those reach for the new version's schemas (a manifest from the store, a release from PyPI; both cached), so
    a tree that knows no streams costs nothing more."""
    known = [(row, old) for row in rows if row.moves and row.locked is not None and row.current is not None
             and (old := stored_document(tree, row.locked)) is not None]
    found = upgrade_streams([(old, row.current) for row, old in known if row.current is not None],
                            Generation(generator_path=None))
    for (row, _), streams in zip(known, found, strict=True):
        row.streams = None if streams.found is None else counted(streams.found)


if __name__ == "__main__":
    sys.exit(main())
