"""``corvel``: the typed classes of airbyte connectors in a project's own package, one command per task.

    corvel add source-faker          generate and lock new connectors
    corvel remove source-faker       take them out
    corvel sync [--frozen] [--check] bring the package to its lock (--check: the CI gate, writes nothing)
    corvel upgrade [NAME...]         move locked connectors to the registry's current versions
    corvel outdated                  what upgrade would move, and the breaking changes crossed
    corvel check-config NAME FILE    a stored configuration against the locked class
    corvel list [TEXT]               the registry's connectors
    corvel show NAME                 a connector's configuration, from the registry alone, and its streams
    corvel streams NAME --config F   discover a source's streams with its configuration, and lock their classes

The runs are those of ``corvel-generate`` (``corvel.cli``), given as
subcommands; the read-only commands (outdated, check-config, list, show,
sync --check and a sync with nothing to do) read a registry file, the
bundled registry or the lock without importing airbyte.
"""

from __future__ import annotations

import argparse
import difflib
import os
import sys
from collections.abc import Callable, Sequence
from contextlib import redirect_stdout
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from corvel import cli, connector_view, console, project, registry, stream_discovery, tree_check, upgrades
from corvel.errors import CorvelError, Stop
from corvel.generator_boundary import GENERATOR, generator_path
from corvel.installation import VersionAction, versions
from corvel.lock import read_lock
from corvel.own_manifests import default_name
from corvel.registry import REGISTRY_VARIABLE, is_remote
from corvel.registry_selection import read_entries, suggestion
from corvel.run_options import ConfigFile, Generation, RunOptions
from corvel.run_outcome import ConfigCheck
from corvel.tree import Tree

if TYPE_CHECKING:
    from rich.console import Console

PROG = "corvel"
AIRBYTE_NOTE = (f"A registry file (--registry FILE, {REGISTRY_VARIABLE}, the table's registry, or --registry "
                "bundled) is read without airbyte; airbyte's own registry (the default) and any http(s) URL are "
                "fetched as airbyte fetches them, which imports airbyte and honours its offline switch "
                "(AIRBYTE_OFFLINE_MODE).")


@dataclass(frozen=True)
class Context:
    """What every command is given beside its own arguments: the project's table, the registry it names, the
    consoles and the report being filled."""

    settings: project.Settings
    registry: str
    out: Console
    err: Console
    report: dict[str, Any]
    verbose: bool

    def tree(self, args: argparse.Namespace) -> Tree:
        return cli.tree_of(getattr(args, "output_dir", None), getattr(args, "package", None), self.settings)

    @property
    def project_dir(self) -> Path:
        return self.settings.project_directory or project.project_directory(Path.cwd())


Command = Callable[[argparse.Namespace, Context], int]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Typed pydantic classes of airbyte connectors' configurations, in your package.",
        epilog="Run `corvel COMMAND --help` for a command's options. Exit status: 0 done, 1 failed (one line says "
        "why; --verbose or CORVEL_DEBUG=1 adds the traceback), 2 a wrong command line.")
    parser.add_argument("--version", action=VersionAction, help="show the versions corvel runs with, and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, (command, summary, example, parents, arguments) in _COMMANDS.items():
        sub = commands.add_parser(name, help=summary, description=summary, parents=[p() for p in parents],
                                  epilog=f"example: {example}\n", formatter_class=argparse.RawDescriptionHelpFormatter)
        arguments(sub)
        sub.set_defaults(handler=command, usage=sub.error)
    return parser


def _output_options() -> argparse.ArgumentParser:
    options = argparse.ArgumentParser(add_help=False)
    loudness = options.add_mutually_exclusive_group()
    loudness.add_argument("-v", "--verbose", action="store_true",
                          help="list every connector, and print a failure's traceback")
    loudness.add_argument("-q", "--quiet", action="store_true", help="print failures only")
    options.add_argument("--report", metavar="FILE", type=Path,
                         help="also write a JSON report to FILE (- for standard output, then its only output)")
    return options


def _registry_options() -> argparse.ArgumentParser:
    options = argparse.ArgumentParser(add_help=False)
    options.add_argument("--registry", metavar="PATH_OR_URL", help=f"the registry to read. {AIRBYTE_NOTE}")
    return options


def _tree_options() -> argparse.ArgumentParser:
    options = argparse.ArgumentParser(add_help=False)
    where = options.add_mutually_exclusive_group()
    where.add_argument("--package", metavar="NAME",
                       help="the project's package to hold the classes (default: [tool.corvel] package)")
    where.add_argument("--output-dir", metavar="DIR", type=Path, help="a tree under DIR/connector_configs/ instead")
    return options


def _generation_options() -> argparse.ArgumentParser:
    options = argparse.ArgumentParser(add_help=False)
    options.add_argument("--jobs", metavar="N", type=cli.positive, help="generator runs at once (default: the cores)")
    cache = options.add_mutually_exclusive_group()
    cache.add_argument("--cache-dir", metavar="DIR", type=Path, help="the model cache (default: ~/.cache/corvel)")
    cache.add_argument("--no-cache", action="store_true", help="neither read nor fill the cache")
    options.add_argument("--no-manifests", dest="manifests", action="store_false", default=None,
                         help="generate the classes alone; vendor no manifests of manifest-only connectors")
    return options


def _names(sub: argparse.ArgumentParser, required: bool = True) -> None:
    sub.add_argument("names", nargs="+" if required else "*", metavar="NAME", help="connector names")


def _add_arguments(sub: argparse.ArgumentParser) -> None:
    _names(sub, required=False)
    sub.add_argument("--manifest", dest="own_manifests", action=cli.OwnManifestAction, metavar="PATH_OR_URL",
                     help="a declarative manifest of your own (the connector builder's manifest.yaml); repeatable")
    sub.add_argument("--name", dest="own_manifests", action=cli.OwnManifestNameAction, metavar="NAME",
                     help="the connector name of the --manifest before it (default: from the file's name)")
    sub.set_defaults(own_manifests=[])


def _sync_arguments(sub: argparse.ArgumentParser) -> None:
    how = sub.add_mutually_exclusive_group()
    how.add_argument("--frozen", action="store_true", help="write exactly what the lock holds; reads no registry")
    how.add_argument("--check", action="store_true",
                     help="write nothing; exit 1 naming every file and connector that differs from the lock")


def _upgrade_arguments(sub: argparse.ArgumentParser) -> None:
    _names(sub, required=False)
    sub.add_argument("--dry-run", action="store_true",
                     help="print what would change for your configurations, and write nothing")
    sub.add_argument("--check-config", action="append", default=[], metavar="NAME=FILE", type=cli.config_file,
                     help="check a stored configuration against the class it would have (repeatable)")


def _check_config_arguments(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("name", metavar="NAME", help="the connector")
    sub.add_argument("file", metavar="FILE", type=Path, help="its configuration, JSON or YAML")


def _list_arguments(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("text", nargs="?", default="", metavar="TEXT", help="only names holding TEXT")


def _show_arguments(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("name", metavar="NAME", help="the connector")


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of ``corvel``; returns the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    try:
        if argv and not argv[0].startswith("-") and argv[0] not in _COMMANDS:
            close = difflib.get_close_matches(argv[0], list(_COMMANDS), n=1)
            parser.error(f"no command {argv[0]!r}" + (f"; did you mean {close[0]!r}?" if close else
                                                       f"; the commands are {', '.join(_COMMANDS)}"))
        args = parser.parse_args(argv)
        if args.command == "add" and not (args.names or args.own_manifests):
            args.usage("add takes connector names, or a --manifest")
    except SystemExit as stop:
        return stop.code if isinstance(stop.code, int) else 2
    out, err = console.consoles(quiet=args.quiet)
    report: dict[str, Any] = {"registry": None, "tree": None, "error": None, "traceback": None, "connectors": [],
                              "versions": versions()}
    stdout = sys.stdout
    try:
        settings = project.find_settings(Path.cwd())
        context = Context(settings, cli.registry_location(getattr(args, "registry", None), settings), out, err,
                          report, args.verbose)
        report["registry"] = context.registry
        with registry.told_to_airbyte(context.registry), \
                redirect_stdout(sys.stderr if args.report == Path("-") else stdout):
            status = args.handler(args, context)
    except CorvelError as error:
        report["error"], status = str(error), cli.fail(PROG, err, error, args.verbose)
    except KeyboardInterrupt:
        console.say(err, f"{PROG}: interrupted")
        report["error"], status = "interrupted", 130
    return cli.finish_report(args.report, report, status, stdout, err, PROG)


def _run(args: argparse.Namespace, context: Context, own: Sequence[tuple[str, str | None]] = (), **asked: Any) -> int:
    """A run of the tree with the user's OWN manifests given on the command line (path or URL, name or None),
    and what ASKED sets of RunOptions."""
    path = generator_path()
    if path is None:
        raise Stop(f"{GENERATOR} was not found on PATH; it comes with the datamodel-code-generator package "
                   "(pip install datamodel-code-generator)")
    generation = Generation(path, getattr(args, "jobs", None) or len(os.sched_getaffinity(0)), False,
                            getattr(args, "cache_dir", None), getattr(args, "no_cache", False))
    manifests = getattr(args, "manifests", None)
    options = RunOptions(tree=context.tree(args), registry=context.registry, generation=generation,
                         project_dir=context.project_dir,
                         manifests=context.settings.manifests if manifests is None else manifests,
                         own_manifests=cli.own_manifests_asked(context.settings, own, context.project_dir), **asked)
    return cli.start_run(options, PROG, context.out, context.err, context.report, context.verbose)


def _add(args: argparse.Namespace, context: Context) -> int:
    return _run(args, context, [(source, name) for source, name in args.own_manifests], names=tuple(args.names))


def _remove(args: argparse.Namespace, context: Context) -> int:
    _require_held(context.tree(args), context, "remove")
    return _run(args, context, remove=tuple(args.names))


def _sync(args: argparse.Namespace, context: Context) -> int:
    tree = context.tree(args)
    if args.check:
        return _check(tree, context)
    _require_held(tree, context, "sync")
    return _run(args, context, frozen=args.frozen)


def _require_held(tree: Tree, context: Context, command: str) -> None:
    """Stop unless TREE holds connectors to COMMAND: a lock, an index written before locks, or own manifests the
    project's table names. (A run on an empty tree would otherwise generate the default connectors.)"""
    if read_lock(tree.directory) is None and not tree.index.exists() and not context.settings.own_manifests:
        raise Stop(f"there is no {tree.lock_path}, so nothing to {command}; add connectors first: corvel add NAME")


def _check(tree: Tree, context: Context) -> int:
    context.report["tree"] = str(tree.directory)
    wanted = [name or default_name(source) for source, name in context.settings.own_manifests]
    found = tree_check.differences(tree, wanted)
    context.report["differences"] = [{"subject": d.subject, "what": d.what} for d in found]
    for difference in found:
        console.say(context.err, str(difference))
    if found:
        extra = " (it leaves extra files alone: delete them)" if any(d.what == tree_check.EXTRA for d in found) else ""
        console.say(context.err, f"{PROG}: {tree.directory} differs from its lock in {len(found)} place(s); run "
                                 f"`corvel sync`{extra} and commit what it writes")
        return 1
    console.say(context.out, f"{tree.directory} agrees with its lock")
    return 0


def _upgrade(args: argparse.Namespace, context: Context) -> int:
    _require_held(context.tree(args), context, "upgrade")
    return _run(args, context, upgrade=tuple(args.names), dry_run=args.dry_run,
                check_configs=tuple(args.check_config))


def _outdated(args: argparse.Namespace, context: Context) -> int:
    return cli.outdated(context.tree(args), context.registry, context.out, context.report, "outdated",
                        "corvel upgrade --dry-run", switch_first=is_remote(registry.resolved(context.registry)))


def _check_config(args: argparse.Namespace, context: Context) -> int:
    tree = context.tree(args)
    lock = cli.locked(tree, "check-config checks against the locked classes")
    config = ConfigFile(args.name, upgrades.read_config(args.file), str(args.file))
    held = [r for r in lock.records if r.name == args.name]
    if not held:
        hint = suggestion(args.name, lock.names())
        raise Stop(f"{tree.lock_path} does not hold {args.name}" + (f"; {hint}" if hint else ""))
    checked = [ConfigCheck(args.name, config.file, r.tag, "locked",
                           upgrades.check_config(tree.model(r.versioned), r.class_name, config.config,
                                                 f"{args.name} {r.tag}")) for r in held]
    context.report["config_checks"] = [asdict(check) for check in checked]
    return console.checks(context.out, checked)


def _list(args: argparse.Namespace, context: Context) -> int:
    location = registry.resolved(context.registry)
    return cli.list_connectors(context.out, location, args.text, switch_first=is_remote(location))


def _show(args: argparse.Namespace, context: Context) -> int:
    location = registry.resolved(context.registry)
    document, _ = read_entries(location, switch_first=is_remote(location))
    try:
        lock = read_lock(context.tree(args).directory)
    except CorvelError:  # a lock that cannot be read has no locked version to show; sync reports it
        lock = None
    shown = connector_view.view(document, args.name, lock)
    locked = f"; locked at {shown.locked_version}" if shown.locked_version else ""
    console.say(context.out, f"{shown.name} {shown.version}: {shown.kind}, runs as {shown.connector_kind}{locked}")
    console.print_table(context.out, ("member", "type", "required", "default", "secret", "description", "options"),
                        [(m.name, m.type, "yes" if m.required else "", m.default, "yes" if m.secret else "",
                          m.description, ", ".join(m.options)) for m in shown.members], boxed=False)
    if shown.kind == "source":
        _show_streams(context, shown, connector_view.streams(context.tree(args), lock, args.name))
    return 0


def _show_streams(context: Context, shown: connector_view.ConnectorView,
                  known: connector_view.StreamsView | None) -> None:
    """The streams of the source SHOWN with their members, as the tree holds them (KNOWN); else how to get them."""
    name = shown.name
    if known is None:
        how = f"corvel streams {name} --config FILE discovers them" if shown.locked_version else \
            f"corvel add {name} reads them where they are known without running it"
        console.say(context.out, f"streams: none in the tree; {how}")
        return
    read = {"manifest": "read from its manifest", "package": "read from its package",
            "discovered": "discovered"}.get(known.origin, known.origin)
    console.say(context.out, f"streams ({len(known.streams)}, {read} at {known.version}): "
                             + ", ".join(stream.name for stream in known.streams))
    for stream in known.streams:
        key = f"primary key {', '.join(stream.primary_key)}" if stream.primary_key else "no primary key"
        console.say(context.out, f"{stream.name} ({key}):")
        console.print_table(context.out, ("member", "type", "required"),
                            [(m.name, m.type, "yes" if m.required else "") for m in stream.members], boxed=False)


def _streams(args: argparse.Namespace, context: Context) -> int:
    tree = context.tree(args)
    context.report["tree"] = str(tree.directory)

    def waiting() -> None:
        console.say(context.err, f"another run is writing {tree.directory}; waiting for it to end")

    document = stream_discovery.discover(tree, args.name, args.config, waiting)
    streams = sorted(document["streams"])
    context.report["streams"] = streams
    console.say(context.out, f"{len(streams)} stream(s) of {args.name} {document['version']} discovered and locked in "
                             f"{tree.directory}: {', '.join(streams)} (corvel show {args.name} lists them)")
    return 0


def _streams_arguments(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("name", metavar="NAME", help="the source, as the lock holds it")
    sub.add_argument("--config", metavar="FILE", type=Path, required=True,
                     help="its configuration, JSON or YAML; handed to the connector, never stored")


_COMMANDS: dict[str, tuple[Command, str, str, list[Callable[[], argparse.ArgumentParser]],
                           Callable[[argparse.ArgumentParser], None]]] = {
    "add": (_add, "generate and lock new connectors", "corvel add source-faker destination-duckdb",
            [_tree_options, _registry_options, _generation_options, _output_options], _add_arguments),
    "remove": (_remove, "take connectors out of the package and the lock", "corvel remove source-faker",
               [_tree_options, _generation_options, _output_options], lambda sub: _names(sub)),
    "sync": (_sync, "bring the package to what its lock and [tool.corvel] say", "corvel sync --check",
             [_tree_options, _registry_options, _generation_options, _output_options], _sync_arguments),
    "upgrade": (_upgrade, "move locked connectors (all without names) to the registry's current versions",
                "corvel upgrade source-faker --dry-run --check-config source-faker=faker.yaml",
                [_tree_options, _registry_options, _generation_options, _output_options], _upgrade_arguments),
    "outdated": (_outdated, "the locked connectors that have newer versions, and the breaking changes crossed",
                 "corvel outdated", [_tree_options, _registry_options, _output_options], lambda sub: None),
    "check-config": (_check_config, "check a stored configuration against the locked class",
                     "corvel check-config source-faker faker.yaml", [_tree_options, _output_options],
                     _check_config_arguments),
    "list": (_list, "the registry's connectors, those holding TEXT", "corvel list postgres",
             [_registry_options, _output_options], _list_arguments),
    "show": (_show, "a connector's configuration, from the registry alone", "corvel show source-faker",
             [_tree_options, _registry_options, _output_options], _show_arguments),
    "streams": (_streams, "discover a locked source's streams with its configuration, and lock their classes",
                "corvel streams source-postgres --config postgres.yaml", [_tree_options, _output_options],
                _streams_arguments),
}

if __name__ == "__main__":
    sys.exit(main())
