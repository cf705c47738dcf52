"""Generated configurations as the typed front door to airbyte.

``config_class("source-faker")`` finds a connector's generated configuration
class, ``to_airbyte_config(config)`` turns an instance into the plain dict the
connector itself expects, and ``get_source`` / ``get_destination`` hand it to
airbyte under the connector's name.
"""

from __future__ import annotations

import datetime
import difflib
import hashlib
import importlib.util
import json
import shlex
import shutil
import sys
import tempfile
import warnings
from contextlib import ExitStack
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING, Any, ParamSpec, Protocol, cast, overload

from corvel.compat import import_airbyte, installers_on_path, quiet_airbyte_import, registry_entry_known
from corvel.errors import CorvelError
from corvel.lock import DOCKER, PYPI, Lock, LockRecord, file_hash, read_lock
from corvel.registry import class_root, versioned_name
from corvel.tree import (
    COMPONENTS_FILE,
    INDEX,
    MANIFEST_FILE,
    MODEL,
    Binding,
    Tree,
    index_bindings,
    manifest_paths,
    model_versioned,
    streams_paths,
)

if TYPE_CHECKING:  # airbyte and pydantic are loaded at first use, not with corvel
    from airbyte.destinations.base import Destination
    from airbyte.sources.base import Source
    from pydantic import BaseModel

PACKAGE = "corvel.connector_configs"
# the name the schema export adds to every configuration; no connector knows it
CONNECTOR_NAME_FIELD = "connector_name"
# airbyte's arguments that choose what runs a connector; given any of them, the caller's choice stands
_EXECUTOR_CHOICES = ("version", "pip_url", "local_executable", "docker_image", "source_manifest", "use_python",
                     "no_executor")
LATEST = "latest"  # airbyte's version= for the newest its registry has, which no lock knows
ALL_STREAMS = "*"  # airbyte's streams= for every stream of the connector
P = ParamSpec("P")


class NotGeneratedError(CorvelError, LookupError):
    """``config_class`` was asked for a connector its tree does not hold; the message says what to run."""


def installed_tree() -> Path:
    """The installed package's directory, which holds its connector_configs/."""
    return Path(__file__).resolve().parent


def import_tree(root: Path) -> ModuleType:
    """Imports ROOT/connector_configs as the package ``corvel.connector_configs``, its index with it.

    The index imports its models as ``corvel.connector_configs.model.*``, so
    the tree is loaded under that name; an earlier tree's modules are
    dropped first.
    """
    module = _tree_package(root)
    _run_index(module)
    return module


def _tree_package(root: Path) -> ModuleType:
    """ROOT/connector_configs as the package ``corvel.connector_configs``, its index not yet run.

    Its model modules import one by one, each as cheap as itself; the index,
    which imports every model and airbyte's caches, runs when a name it binds
    is first asked for (``from corvel.connector_configs import SourceFakerConfig``).
    """
    import corvel

    package_dir = Tree.at_root(root).directory
    forget_tree()
    module = _package_from_index(PACKAGE, package_dir)

    def __getattr__(name: str) -> Any:
        if name.startswith("__"):
            raise AttributeError(f"module {PACKAGE!r} has no attribute {name!r}")
        _run_index(module)
        return getattr(module, name)

    module.__getattr__ = __getattr__
    sys.modules[PACKAGE] = module
    corvel.connector_configs = module
    return module


def _package_from_index(name: str, directory: Path) -> ModuleType:
    """The package NAME of DIRECTORY, made from its index but not yet run."""
    spec = importlib.util.spec_from_file_location(name, directory / INDEX, submodule_search_locations=[str(directory)])
    assert spec is not None and spec.loader is not None, "a .py file always has the source loader"
    return importlib.util.module_from_spec(spec)


def _execute(module: ModuleType) -> None:
    spec = module.__spec__
    assert spec is not None and spec.loader is not None, "made by _package_from_index"
    spec.loader.exec_module(module)


def _run_index(module: ModuleType) -> None:
    module.__dict__.pop("__getattr__", None)
    try:
        with quiet_airbyte_import():  # the index imports airbyte's caches
            _execute(module)
    except BaseException:
        forget_tree()
        raise


def forget_tree() -> None:
    """Drops ``corvel.connector_configs`` and its submodules from this interpreter."""
    import corvel

    for name in [n for n in sys.modules if n == PACKAGE or n.startswith(PACKAGE + ".")]:
        del sys.modules[name]
    corvel.__dict__.pop("connector_configs", None)


def _loaded_index(root: Path) -> ModuleType | None:
    """The package of ROOT's tree, made ready unless it already is; None when the tree has no index."""
    index = Tree.at_root(root).index.resolve()
    loaded = sys.modules.get(PACKAGE)
    if loaded is not None and (file := getattr(loaded, "__file__", None)) and Path(file).resolve() == index:
        return loaded
    if not index.is_file():
        return None
    return _tree_package(root)


def _generated_class(module: str, package: str | None, name: str, connector_name: str) -> type[BaseModel] | None:
    """Class NAME of MODULE (relative to PACKAGE) when it is CONNECTOR_NAME's generated configuration class."""
    cls = getattr(importlib.import_module(module, package), name, None)
    return cls if _generated_connector_name(cls) == connector_name else None


def _generated_connector_name(cls: Any) -> str | None:
    """The catalogue name a generated configuration class carries, or None for any other class."""
    from corvel.model_behaviour import configuration_file

    if configuration_file(cls) is None:
        return None
    field = cls.model_fields.get(CONNECTOR_NAME_FIELD)
    default = getattr(field, "default", None)
    return default if isinstance(default, str) else None


def config_class(connector_name: str, tree: str | Path | None = None) -> type[BaseModel]:
    """The generated configuration class of CONNECTOR_NAME ("source-faker").

    It comes from the installed package's index, or from the tree that
    ``corvel-generate --output-dir TREE`` wrote when TREE is given (which
    then becomes the package ``corvel.connector_configs``). Of several
    generated versions, the one the index binds last is returned. The class
    is found through the index's import lines, not its namespace, where the
    cache classes bound after the connectors may hide it
    (destination-databricks); only its own model module is imported, so one
    class costs the same in a tree of five connectors or five hundred.

    TREE may also be a project's package directory
    (``src/myapp/connector_configs``). A connector the tree does not hold
    raises ``NotGeneratedError`` (a ``LookupError`` too) with the command
    that generates it.
    """
    root = installed_tree() if tree is None else Path(tree).expanduser().resolve()
    at_root = Tree.at_root(root)
    if tree is not None and not at_root.index.is_file() and (found := _project_class(root, connector_name)):
        return found
    index = _loaded_index(root)
    if index is not None:
        # the index names a connector's class after its name: only those modules are imported, not the index
        expected = class_root(versioned_name(connector_name, "")) + "Config"
        for bound, module_name, class_name in reversed(_module_index_bindings(at_root.index)):
            if class_name != expected or bound != class_name or model_versioned(module_name) is None:
                continue
            if (cls := _generated_class(module_name, None, expected, connector_name)) is not None:
                return cls
    if tree is not None and Tree(root).index.is_file():  # a project's package
        raise NotGeneratedError(f"{connector_name!r} has not been generated in {root}; generate it with: "
                                f"corvel-generate {shlex.quote(connector_name)}, in the project whose [tool.corvel] "
                                "table names this package")
    if tree is None and (line := _project_import(connector_name)):
        # corvel-generate in this project writes its package, not this tree: naming the command would loop
        raise NotGeneratedError(f"{connector_name!r} is not in {at_root.directory}; {line}")
    command = ["corvel-generate"] + ([] if tree is None else ["--output-dir", str(tree)]) + [connector_name]
    raise NotGeneratedError(
        f"{connector_name!r} has not been generated in {at_root.directory}; "
        f"generate it with: {shlex.join(command)}"
    )


def _project_import(connector_name: str) -> str | None:
    """Where the project around the working directory keeps CONNECTOR_NAME's class, as the line that imports it;
    None when its [tool.corvel] names no package or the package's index binds no such class."""
    from corvel.project import ProjectError, find_settings, package_tree

    try:
        settings = find_settings(Path.cwd())
        if settings.package is None or settings.project_directory is None:
            return None
        bindings = index_bindings(package_tree(settings.package, settings.project_directory).index, is_project=True)
    except (ProjectError, OSError, UnicodeError, SyntaxError, ValueError):
        return None  # only a hint: a project without a readable package gets the message of any other place
    expected = class_root(versioned_name(connector_name, "")) + "Config"
    if not any(bound == name == expected and source.startswith(f".{MODEL}.") for bound, source, name in bindings):
        return None
    return f"{expected} is in your project's package {settings.package}: from {settings.package} import {expected}"


def _module_index_bindings(index: Path) -> list[Binding]:
    """The bindings of the generator module's index at INDEX; none when it is a project's, as for an index
    that binds no model."""
    try:
        return index_bindings(index, is_project=False)
    except ValueError:
        return []


def _project_class(directory: Path, connector_name: str) -> type[BaseModel] | None:
    """CONNECTOR_NAME's class from the project package in DIRECTORY, None when DIRECTORY holds no project
    index or the index has no such class. The package is imported under its own name when that name finds
    it, else under one of its own; only the class's model module is imported with it."""
    try:
        bindings = index_bindings(Tree(directory).index, is_project=True)
    except (OSError, UnicodeError, SyntaxError, ValueError):
        return None
    expected = class_root(versioned_name(connector_name, "")) + "Config"
    prefix = f".{MODEL}."
    for _, source, name in reversed(bindings):
        if name == expected and source.startswith(prefix):
            package = _project_package(directory)
            if (cls := _generated_class(source, package, expected, connector_name)) is not None:
                return cls
    return None


def _project_package(directory: Path) -> str:
    """The name the project package in DIRECTORY is imported under, imported."""
    parts = [directory.name]
    while (directory.parents[len(parts) - 1] / INDEX).is_file():  # the packages around it
        parts.insert(0, directory.parents[len(parts) - 1].name)
    name = ".".join(parts)
    index = Tree(directory).index
    try:
        spec = importlib.util.find_spec(name)
    except (ImportError, ValueError):  # its top-level package is not on sys.path
        spec = None
    if spec is not None and spec.origin and Path(spec.origin).resolve() == index:
        importlib.import_module(name)
        return name
    name = "_corvel_tree_" + hashlib.sha256(str(directory).encode()).hexdigest()[:16]
    if name not in sys.modules:
        module = _package_from_index(name, directory)
        sys.modules[name] = module
        try:
            _execute(module)
        except BaseException:
            del sys.modules[name]
            raise
    return name


def _connector_name(config: Any) -> str:
    name = _generated_connector_name(type(config))
    if name is None:
        raise TypeError(
            "expected a generated connector configuration (an instance of a class from "
            f"corvel.connector_configs, such as SourceFakerConfig), got {type(config).__qualname__}"
        )
    return name


def to_airbyte_config(config: BaseModel) -> dict[str, Any]:
    """The plain configuration dict the connector itself expects.

    Values are JSON-compatible, keys are the schema's own names (a field
    the generator renamed goes out under its alias), ``connector_name`` is
    left out, and so is every member the user did not set and that has no
    default: it is absent, not null.
    """
    from corvel.model_behaviour import SECRETS_IN_CLEAR  # a dump masks the secrets the connector needs

    _connector_name(config)
    dumped = config.model_dump(mode="json", by_alias=True, context=SECRETS_IN_CLEAR)
    result = _as_sent(config, dumped)
    field = type(config).model_fields[CONNECTOR_NAME_FIELD]
    result.pop(field.serialization_alias or field.alias or CONNECTOR_NAME_FIELD, None)
    return result


def _as_sent(value: Any, dumped: Any) -> Any:
    """DUMPED (VALUE's JSON dump) less the members that were neither set nor defaulted."""
    from pydantic import BaseModel, RootModel, SecretStr

    if isinstance(value, RootModel):
        return _as_sent(value.root, dumped)
    if isinstance(value, BaseModel) and isinstance(dumped, dict):
        fields = {(f.serialization_alias or f.alias or n): (n, f) for n, f in type(value).model_fields.items()}
        result = {}
        for key, item in dumped.items():
            if key not in fields:  # a member the schema leaves open, kept as given
                result[key] = item
                continue
            name, field = fields[key]
            if item is None and name not in value.model_fields_set and field.default is None:
                continue  # an optional member nobody set: the generator's None, not the user's
            result[key] = _as_sent(getattr(value, name), item)
        return result
    if isinstance(value, (list, tuple)) and isinstance(dumped, list):
        return [_as_sent(v, d) for v, d in zip(value, dumped)]
    if isinstance(value, dict) and isinstance(dumped, dict):
        return {key: _as_sent(v, d) for v, (key, d) in zip(value.values(), dumped.items())}
    if isinstance(value, datetime.datetime):
        return _date_time_text(value)
    if isinstance(value, SecretStr):  # a "password" format: pydantic dumps its mask, the connector needs the value
        return value.get_secret_value()
    return dumped


def _date_time_text(value: datetime.datetime) -> str:
    """RFC 3339 text with as few fractional digits as the value needs (none,
    milliseconds or microseconds): the spellings connector schemas' patterns
    ask for, where pydantic would always write six digits."""
    if not value.microsecond:
        timespec = "seconds"
    else:
        timespec = "microseconds" if value.microsecond % 1000 else "milliseconds"
    text = value.isoformat(timespec=timespec)
    return text[: -len("+00:00")] + "Z" if value.utcoffset() == datetime.timedelta(0) else text


class ConnectorSpecWarning(UserWarning):
    """The connector that runs reports a configuration spec other than the one its class was generated from.

    It names the connector, the version running and the locked one, once per
    connector; it also says when the spec could not be compared, and why.
    ``warnings.simplefilter("error", corvel.ConnectorSpecWarning)`` makes it
    an error.
    """


_warned_specs: set[tuple[str, str, str | None]] = set()  # (lock, versioned name, running version)


def _lock_and_record(config: Any) -> tuple[Lock, LockRecord] | None:
    """The lock of the tree CONFIG's class came from and its record for the class, when there is one: found
    from the model module's file, which stays the class's own when another tree is loaded under its name."""
    from corvel.model_behaviour import configuration_file

    model = configuration_file(type(config))
    if model is None:
        return None
    lock = read_lock(Tree.of_model(model.resolve()).directory)
    record = lock.record(model.stem) if lock is not None else None
    return (lock, record) if lock is not None and record is not None else None


def _connector(config: Any, role: str, kwargs: dict[str, Any]):
    """The airbyte connector of CONFIG, a ROLE ("source" or "destination") configuration."""
    from corvel.connectors import SourceManifestConfig

    if isinstance(config, SourceManifestConfig):
        if role != "source":
            raise TypeError("a SourceManifestConfig configures a source; use corvel.get_source")
        from corvel.own_manifests import run_arguments

        arguments = run_arguments(config)  # before airbyte is imported: a refusal costs nothing
        with installers_on_path():
            return import_airbyte().get_source(config.name, config=config.config, **{**kwargs, **arguments})
    name = _connector_name(config)
    other = "destination" if role == "source" else "source"
    if name.startswith(other + "-"):
        raise TypeError(
            f"get_{role} takes a {role} configuration, but {type(config).__qualname__} configures {name}; "
            f"use corvel.get_{other}"
        )
    if role == "source":
        _check_streams(config, name, kwargs.get("streams"))
    airbyte = import_airbyte()
    locked = _lock_and_record(config)
    chosen = any(kwargs.get(choice) not in (None, False) for choice in _EXECUTOR_CHOICES)
    factory = airbyte.get_source if role == "source" else airbyte.get_destination
    with ExitStack() as stack:
        pin = _pin(locked, role, stack) if locked and not chosen else {}
        stack.enter_context(installers_on_path())  # airbyte may install the connector here
        if locked and kwargs.get("version") != LATEST:
            # what airbyte would ask its registry is in the lock: the run needs no registry at all
            stack.enter_context(registry_entry_known(name, locked[1].entry))
        connector = factory(name, config=to_airbyte_config(config), **{**kwargs, **pin})
        if locked and "pip_url" in pin and kwargs.get("install_if_missing", True):
            _install_version(connector.executor, locked[1].tag)  # the version pinned
    if locked:
        # a pin names the version that runs; so does the caller's own version=
        _check_spec(connector, *locked, locked[1].tag if pin else kwargs.get("version"))
    return connector


class UnknownStream(CorvelError, ValueError):
    """``get_source`` was given a stream name its connector does not have; the message names its streams."""


def _check_streams(config: Any, name: str, streams: Any) -> None:
    """Refuses a name in STREAMS (airbyte's ``streams=``: names, one name, or every stream) that NAME, CONFIG's
    connector, has no stream of, before airbyte installs or runs anything; a connector whose streams the tree
    does not know is left to airbyte."""
    if streams == ALL_STREAMS or not isinstance(streams, (str, list, tuple)):
        return  # every stream, none named, or a type airbyte judges (an iterator read here would reach it empty)
    known = _stream_names(config, name)
    if known is None:
        return
    for stream in [streams] if isinstance(streams, str) else streams:
        if stream not in known:
            close = difflib.get_close_matches(str(stream), known, n=1)
            hint = f"; did you mean {close[0]!r}?" if close else ""
            raise UnknownStream(f"{name} has no stream {stream!r} (its streams: {', '.join(known)}){hint}")


def _stream_names(config: Any, name: str) -> list[str] | None:
    """NAME's stream names, sorted, from the streams document of the tree CONFIG's class comes from; None when
    that tree has none for it."""
    from corvel.model_behaviour import configuration_file

    model = configuration_file(type(config))
    if model is None:
        return None
    path = Tree.of_model(model.resolve()).directory / streams_paths(name)[0]
    try:
        streams = json.loads(path.read_text(encoding="utf-8"))["streams"]
        if not isinstance(streams, dict):
            raise TypeError("its streams are no object")
    except FileNotFoundError:
        return None
    except (OSError, UnicodeError, ValueError, KeyError, TypeError) as error:
        raise CorvelError(f"{path}: not a streams document corvel can read ({error}); run corvel-generate {name} "
                          "to write it again") from error
    return sorted(streams)


def _pin(locked: tuple[Lock, LockRecord], role: str, stack: ExitStack) -> dict[str, Any]:
    """airbyte's arguments that run the locked version of a connector, by how airbyte runs it; a manifest
    fetched for the run is kept in a directory that STACK removes."""
    lock, record = locked
    if not record.tag:
        return {}
    if record.connector_kind == PYPI:
        # airbyte's own version= installs that version only when its registry names the connector's package and
        # nothing of the name is on PATH; a pinned requirement installs it however airbyte finds the connector
        package, version = record.package
        return {"pip_url": f"{package}=={version}"}
    if record.connector_kind == DOCKER:
        return {"docker_image": f"{record.entry['dockerRepository']}:{record.tag}"}
    if role != "source":
        return {"version": record.tag}
    if _vendored_intact(lock.path.parent, record):
        # run offline; airbyte takes the components.py beside it by name
        return {"source_manifest": lock.path.parent / manifest_paths(record.versioned)[0]}
    if record.own_source:  # no store has it
        raise CorvelError(f"{record.name}: its manifest ({record.own_source}) is not vendored in {lock.path.parent} "
                          "as the lock records it; run corvel-generate to vendor it again")
    # fetched here, not by airbyte, which would install the connector's PyPI package, unpinned, where the
    # manifest cannot be had, and waits on a silent store for ever
    directory = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="corvel-manifest-")))
    return {"source_manifest": _fetched_manifest(lock, record, directory)}


def _fetched_manifest(lock: Lock, record: LockRecord, directory: Path) -> Path:
    """RECORD's manifest at its locked version, fetched from the manifest store into DIRECTORY, with its
    custom components beside it; CorvelError, naming the ways out, when it cannot be had."""
    from corvel import manifests
    from corvel.compat import offline_mode
    from corvel.model_cache import default_directory

    if not lock.vendor_manifests:
        why, way_out = "it is not vendored", ("vendor it: set manifests = true in [tool.corvel] (or pass --manifests) "
                                              "and run corvel-generate again")
    else:
        why = "its vendored files are missing or changed" if record.manifest_files else "it is not vendored"
        way_out = "run corvel-generate again to vendor it"
    where = f"{record.label} is a manifest-only connector and {why} in {lock.path.parent}"
    if offline_mode:
        raise CorvelError(f"{where}, and airbyte's offline switch is on: {way_out}, or turn the offline switch off "
                          "(unset AIRBYTE_OFFLINE_MODE)")
    store = manifests.AirbyteStore.installed()
    fetched = manifests.fetch_all([record], store, 1, manifests.ManifestCache(default_directory()))[record.versioned]
    if isinstance(fetched, manifests.FetchError):
        raise CorvelError(f"{where}, and the manifest store cannot give it ({fetched}); {way_out}, or name a store "
                          f"that has it in {manifests.URL_VARIABLE}")
    manifest = directory / MANIFEST_FILE
    manifest.write_bytes(fetched.manifest)
    if fetched.components is not None:
        (directory / COMPONENTS_FILE).write_bytes(fetched.components)
    return manifest


def _vendored_intact(configs_dir: Path, record: LockRecord) -> bool:
    """Whether the tree holds the manifest files the lock records for RECORD, as the lock records them."""
    files = record.manifest_files
    return bool(files) and all(file_hash(configs_dir / path) == digest for path, digest in files.items())


def _install_version(executor: Any, version: str) -> None:
    """Installs VERSION in place of another one already installed; airbyte leaves an existing venv as it is."""
    if executor.get_installed_version(raise_on_error=False, recheck=True) != version:
        executor.uninstall()
        executor.install()


def _check_spec(connector: Any, lock: Lock, record: LockRecord, asked: str | None) -> None:
    """Warns, once per connector and versions, when the connector's spec is not the one the class came from.

    The version named is the one the package installed reports; for a manifest or an image, which report
    none of their own (a manifest's version is the airbyte-cdk's), the one ASKED for.
    """
    from corvel.compat import DeclarativeExecutor, DockerExecutor

    if isinstance(connector.executor, DockerExecutor) and shutil.which("docker") is None:
        return  # no spec to ask for: the caller meets the missing docker at the connector's first use
    running = None
    try:
        if isinstance(connector.executor, (DeclarativeExecutor, DockerExecutor)):
            running = asked
        else:
            running = connector.executor.get_installed_version(raise_on_error=False)
        reported = connector.config_spec
    except Exception as error:  # noqa: BLE001 - the check only advises; the connector is the caller's to use
        if running is None and not isinstance(connector.executor, (DeclarativeExecutor, DockerExecutor)):
            return  # not installed (install_if_missing=False): airbyte says so at the connector's first use
        warnings.warn(
            f"{record.name} {running or '(version unknown)'}: its configuration spec could not be compared with the "
            f"one {record.class_name} was generated from ({type(error).__name__}: {error})",
            ConnectorSpecWarning,
            stacklevel=4,
        )
        return
    key = (str(lock.path), record.versioned, running)
    if reported == record.entry["spec"]["connectionSpecification"] or key in _warned_specs:
        return
    _warned_specs.add(key)
    warnings.warn(
        f"{record.name} {running or '(version unknown)'} reports a configuration spec that differs from the one "
        f"{record.class_name} was generated from ({record.name} {record.tag or '(no tag)'}, locked in {lock.path})",
        ConnectorSpecWarning,
        stacklevel=4,
    )


class Sourced(Protocol[P]):
    """A source configuration as its tree's index stub declares it: ``get_source`` takes its keywords, the
    connector's stream names among them, from this method, which checkers alone see."""

    def __corvel_source__(self, *args: P.args, **kwargs: P.kwargs) -> None: ...


@overload
def get_source(config: Sourced[P], *args: P.args, **kwargs: P.kwargs) -> Source: ...
@overload
def get_source(config: BaseModel, *, streams: None = None, **kwargs: Any) -> Source: ...
def get_source(config: Any, *args: Any, **kwargs: Any) -> Source:
    """``airbyte.get_source`` for a generated source configuration; KWARGS go to airbyte unchanged, once a
    ``streams=`` name the connector does not have is refused (``UnknownStream``, before airbyte is imported).

    The connector that runs is the version the tree's lock names, by how
    airbyte runs it: a PyPI connector gets ``pip_url="<package>==<version>"``
    (and is reinstalled when another version is installed), a manifest-only
    source its vendored manifest (``source_manifest=``, with the
    ``components.py`` beside it), a Docker connector
    ``docker_image="airbyte/<name>:<version>"``. A ``version``, ``pip_url``,
    ``local_executable``, ``docker_image``, ``source_manifest``,
    ``use_python`` or ``no_executor`` of the caller's own wins. airbyte's
    lookup of a locked connector in its registry is answered from the lock,
    so no run needs a registry. While the call runs, the ``uv`` and ``pip``
    installed with this interpreter are on ``PATH`` when it has none, so an
    environment that is not activated installs connectors too.

    A connector that reports a configuration spec other than the locked one
    gives a ``ConnectorSpecWarning``. A manifest the tree does not hold is
    fetched from the store; with airbyte's offline switch on, or the store
    out of reach, a ``CorvelError`` says how to vendor it, before airbyte
    installs anything.
    """
    if args:
        raise TypeError(f"get_source takes the configuration and keywords only, not {len(args)} more positional "
                        "arguments")
    return cast("Source", _connector(config, "source", kwargs))


def get_destination(config: BaseModel, **kwargs: Any) -> Destination:
    """``airbyte.get_destination`` for a generated destination configuration; KWARGS go to airbyte unchanged.

    The version that runs, the keyword arguments that win and the spec's
    check are those of ``get_source``.
    """
    return cast("Destination", _connector(config, "destination", kwargs))
