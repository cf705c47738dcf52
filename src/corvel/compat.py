"""What differs between the airbyte releases corvel supports (``SUPPORTED_AIRBYTE``), and only that.

- The generator module's start-up imports ``_get_registry_url`` and
  ``_is_registry_disabled`` from ``airbyte.sources.registry``. From airbyte
  0.33.1 on they live in ``airbyte.registry`` and the old module re-exports
  public names only, so a finder puts airbyte's own functions (not copies:
  the registry variable and the offline switch keep their meaning) back into
  the old module when it is imported; on a release that has them nowhere,
  asking for one raises ``UnsupportedAirbyte``, which names the supported
  releases.
- The generated index imports airbyte's Databricks cache, which airbyte does
  not ship; a finder serves it from ``corvel._databricks``.
- A run can be told airbyte's offline switch the moment airbyte has loaded
  it (``watching_registry_switch``), seconds before the rest of airbyte is
  imported.
- airbyte's private names that corvel uses elsewhere are taken from here,
  each imported at first use (``_PRIVATE_NAMES``).
- corvel's first import of airbyte is quiet: its import-time warnings that
  say nothing to corvel's users are filtered, and what the oldest releases
  print goes to standard error.
- The installers airbyte runs by their bare names are found beside this
  interpreter.
- airbyte asks its registry for a connector's metadata on every
  ``get_source``, whatever it is told to run; a locked connector's comes
  from its lock instead (``registry_entry_known``).

``import corvel`` installs the finders (``install_finders``) without
importing airbyte.
"""

from __future__ import annotations

import os
import shutil
import sys
import sysconfig
import warnings
from collections.abc import Callable, Iterator
from contextlib import ExitStack, contextmanager
from contextvars import ContextVar
from types import MappingProxyType
from typing import Any

from corvel.errors import CorvelError
from corvel.import_hooks import CompletingFinder, LoaderBase, install, search_path_spec

SUPPORTED_AIRBYTE = ">=0.33.0,<0.72"
REGISTRY_MODULE = "airbyte.sources.registry"
REGISTRY_FUNCTIONS = ("_get_registry_url", "_is_registry_disabled")
REGISTRY_FUNCTIONS_HOME = "airbyte.registry"  # where airbyte keeps them from 0.33.1 on

# airbyte module name -> corvel module that implements it
SERVED_MODULES = {
    "airbyte._processors.sql.databricks": "corvel._databricks.processor",
    "airbyte.caches.databricks": "corvel._databricks.cache",
}


class _AliasLoader(LoaderBase):
    """Fills the served module with the public names of its implementation."""

    def __init__(self, implementation):
        self.implementation = implementation

    def create_module(self, spec):
        return None  # the default module object

    def exec_module(self, module):
        from importlib import import_module

        source = import_module(self.implementation)
        names = list(getattr(source, "__all__", ()))
        module.__doc__ = source.__doc__
        vars(module)["__all__"] = names  # not an attribute typeshed gives modules
        for name in names:
            setattr(module, name, getattr(source, name))


class DatabricksModuleFinder:
    """Meta path finder for the Databricks modules that airbyte lacks.

    ``lookup(fullname, path)`` returns the spec of airbyte's own module of
    that name, or None; by default it searches the parent package's path the
    way the regular path finder does.
    """

    def __init__(self, served=None, lookup=search_path_spec):
        self.served = dict(SERVED_MODULES if served is None else served)
        self.lookup = lookup

    def find_spec(self, fullname, path=None, target=None):
        implementation = self.served.get(fullname)
        if implementation is None or path is None:
            return None
        if self.lookup(fullname, path) is not None:
            return None  # airbyte's own module wins
        from importlib.machinery import ModuleSpec

        return ModuleSpec(fullname, _AliasLoader(implementation))

    def __repr__(self):
        return f"<{type(self).__name__} for {sorted(self.served)}>"


class UnsupportedAirbyte(CorvelError, ImportError):
    """The installed airbyte keeps its registry functions where corvel does not know to look."""


def airbyte_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("airbyte")
    except PackageNotFoundError:
        return "(version unknown)"


def complete_registry_module(module) -> None:
    """Gives airbyte's registry module the registry functions where airbyte keeps them elsewhere.

    On an airbyte that has them nowhere, asking the module for one raises
    UnsupportedAirbyte, which names the releases corvel supports; the module
    itself still imports, so the rest of airbyte keeps working.
    """
    missing = [name for name in REGISTRY_FUNCTIONS if name not in vars(module)]
    if not missing:
        return
    from importlib import import_module

    try:
        home = import_module(REGISTRY_FUNCTIONS_HOME)
    except ImportError:
        home = None
    for name in missing:
        if hasattr(home, name):
            setattr(module, name, getattr(home, name))
    if all(name in vars(module) for name in REGISTRY_FUNCTIONS):
        return
    fallback = vars(module).get("__getattr__")

    def __getattr__(name):
        if name in REGISTRY_FUNCTIONS:
            entered = sys.modules.get(f"{module.__name__}.{name}")  # where a from-import looks next
            if entered is not None:
                return entered
            raise UnsupportedAirbyte(
                f"corvel supports airbyte {SUPPORTED_AIRBYTE}; the installed airbyte {airbyte_version()} has no "
                f"{name} in {REGISTRY_MODULE} or {REGISTRY_FUNCTIONS_HOME} (pip install 'airbyte{SUPPORTED_AIRBYTE}')",
                name=name,
            )
        if fallback is not None:
            return fallback(name)
        raise AttributeError(f"module {module.__name__!r} has no attribute {name!r}")

    module.__getattr__ = __getattr__


# called with airbyte's offline switch (its _is_registry_disabled) once the module that defines it has run
_switch_watchers: list = []


@contextmanager
def watching_registry_switch(watcher: Callable[[Callable[[str], bool]], None]) -> Iterator[None]:
    """For the duration of the block, WATCHER is called with airbyte's offline switch (``_is_registry_disabled``)
    as soon as the module that defines it has run: from inside airbyte's import, which on recent releases
    goes on for seconds after it (airbyte 0.71 loads it a third of the way in)."""
    _switch_watchers.append(watcher)
    try:
        yield
    finally:
        _switch_watchers.remove(watcher)


def _announce_switch(module) -> None:
    switch = vars(module).get(REGISTRY_FUNCTIONS[1])
    if not callable(switch):
        return
    for watcher in _switch_watchers:
        try:
            watcher(switch)
        # a watcher must not break airbyte's import; its caller then goes on as if airbyte had been imported
        # without it
        except Exception:  # noqa: BLE001, S110
            pass


def _registry_module_ran(module) -> None:
    complete_registry_module(module)
    _announce_switch(module)


def install_finders() -> None:
    """Installs the finders of airbyte's modules once per interpreter."""
    install(CompletingFinder(REGISTRY_MODULE, REGISTRY_MODULE.__eq__, _registry_module_ran))
    install(CompletingFinder(REGISTRY_FUNCTIONS_HOME, REGISTRY_FUNCTIONS_HOME.__eq__, _announce_switch))
    if not any(type(finder).__name__ == DatabricksModuleFinder.__name__ for finder in sys.meta_path):
        sys.meta_path.append(DatabricksModuleFinder())  # behind it: airbyte's own module wins
    loaded = sys.modules.get(REGISTRY_MODULE)
    if loaded is not None:  # imported before corvel was
        complete_registry_module(loaded)


# Printed by Google's client libraries, which airbyte imports, about the
# Python version's end of support: nothing a corvel user can act on.
_IMPORT_NOISE = [(r"You are using a Python version .* which Google will stop supporting", FutureWarning, r"google\.")]


@contextmanager
def quiet_airbyte_import():
    """Around corvel's first import of airbyte: its import-time noise is filtered,
    and what the oldest releases print on standard output (the telemetry notice
    on first use) goes to standard error, so stdout stays corvel's own."""
    from contextlib import redirect_stdout

    with warnings.catch_warnings(), redirect_stdout(sys.stderr):
        for message, category, module in _IMPORT_NOISE:
            warnings.filterwarnings("ignore", message, category, module)
        yield


def import_airbyte():
    """``import airbyte``, quietly (see quiet_airbyte_import)."""
    with quiet_airbyte_import():
        import airbyte

    return airbyte


# airbyte's private names that corvel uses (corvel._databricks, which implements airbyte modules, aside), so that
# a release that moves one is met here: `from corvel.compat import DockerExecutor` inside the function that uses
# it imports airbyte then, quietly, not with corvel. name -> (airbyte module, its attribute; None: the module)
_PRIVATE_NAMES = {
    "is_registry_disabled": (REGISTRY_MODULE, "_is_registry_disabled"),  # whether a registry location is off
    "registry_url": (REGISTRY_MODULE, "_get_registry_url"),  # the registry airbyte reads
    "executor_util": ("airbyte._executors.util", None),  # the manifest store's URL templates
    "DeclarativeExecutor": ("airbyte._executors.declarative", "DeclarativeExecutor"),
    "DockerExecutor": ("airbyte._executors.docker", "DockerExecutor"),
    "SqlConfig": ("airbyte.shared.sql_processor", "SqlConfig"),
    "offline_mode": ("airbyte.constants", "AIRBYTE_OFFLINE_MODE"),  # airbyte's offline switch, read at its import
}


def __getattr__(name: str) -> Any:  # airbyte's untyped names
    if name not in _PRIVATE_NAMES:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import import_module

    module_name, attribute = _PRIVATE_NAMES[name]
    module = sys.modules.get(module_name)
    if module is None:
        with quiet_airbyte_import():
            module = import_module(module_name)
    # read from airbyte's module at each use, as a from-import of airbyte's own would
    return module if attribute is None else getattr(module, attribute)


# connector name -> airbyte's metadata of it, taken from a lock, for the calls that run inside registry_entry_known
_known_entries: ContextVar[MappingProxyType[str, Any]] = ContextVar("corvel_known_entries",
                                                                    default=MappingProxyType({}))
_METADATA_OF_ENTRY = "_registry_entry_to_connector_metadata"
_KNOWN_FIRST = "_corvel_known_first"  # marks airbyte's lookup as wrapped by _known_first


def _metadata_of_entry(entry: dict[str, Any]) -> Any:
    """airbyte's ConnectorMetadata of a registry ENTRY, made by airbyte's own reading of its registry."""
    from importlib import import_module

    for module_name in (REGISTRY_FUNCTIONS_HOME, REGISTRY_MODULE):  # where each release keeps it
        try:
            module = import_module(module_name)
        except ImportError:  # airbyte 0.33.0 has no airbyte.registry
            continue
        convert = vars(module).get(_METADATA_OF_ENTRY)
        if callable(convert):
            return convert(entry)
    raise UnsupportedAirbyte(f"corvel supports airbyte {SUPPORTED_AIRBYTE}; the installed airbyte {airbyte_version()} "
                             f"has no {_METADATA_OF_ENTRY} in {REGISTRY_FUNCTIONS_HOME} or {REGISTRY_MODULE}")


def _known_first(lookup: Any) -> Any:
    """airbyte's metadata lookup LOOKUP, answering first from the entries made known in this context."""

    def get_connector_metadata(name: str) -> Any:
        known = _known_entries.get()
        return known[name] if name in known else lookup(name)

    setattr(get_connector_metadata, _KNOWN_FIRST, True)
    return get_connector_metadata


@contextmanager
def registry_entry_known(name: str, entry: dict[str, Any]) -> Iterator[None]:
    """For the duration of the block, airbyte takes the metadata of connector NAME from ENTRY (its registry entry,
    as a lock keeps it) instead of asking its registry, which a locked connector does not need: airbyte's
    ``get_source`` asks it whatever it is told to run, and fails when it is unreachable. The lookup of every
    other name, and of NAME in other threads and outside the block, is airbyte's own."""
    util = __getattr__("executor_util")  # the module whose executor factory asks for the metadata
    if not getattr(util.get_connector_metadata, _KNOWN_FIRST, False):  # wrapped once per interpreter
        util.get_connector_metadata = _known_first(util.get_connector_metadata)
    token = _known_entries.set(MappingProxyType({**_known_entries.get(), name: _metadata_of_entry(entry)}))
    try:
        yield
    finally:
        _known_entries.reset(token)


def _installer_directories() -> list[str]:
    """Directories that hold the installers airbyte runs by bare name but PATH lacks.

    airbyte runs ``uv`` (or, where its settings choose pip, ``pip``) from
    PATH. Both come with this interpreter's environment (airbyte requires
    uv), which a virtual environment that is not activated leaves off PATH.
    """
    directories = []
    if shutil.which("uv") is None:
        try:
            from uv import find_uv_bin

            directories.append(os.path.dirname(find_uv_bin()))
        except (ImportError, FileNotFoundError):
            pass
    scripts = sysconfig.get_path("scripts")
    if shutil.which("pip") is None and shutil.which("pip", path=scripts):
        directories.append(scripts)
    return list(dict.fromkeys(directories))


@contextmanager
def environment(variable: str, value: str):
    """VARIABLE set to VALUE in os.environ for the duration of the block, then restored."""
    saved = os.environ.get(variable)
    os.environ[variable] = value
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop(variable, None)
        else:
            os.environ[variable] = saved


@contextmanager
def installers_on_path():
    """For the duration of an airbyte call: the installers' directories on PATH,
    and uv's choice of interpreter for a connector's venv pinned to this one.

    airbyte means "the current interpreter" when it creates a connector's venv
    with ``uv venv`` and no ``--python``; uv would take the first Python on
    PATH instead (from a venv that is not activated, the system's), or
    download one. An explicit ``use_python`` of the caller's still wins: it
    becomes ``--python``.
    """
    with ExitStack() as stack:
        directories = _installer_directories()
        if directories:
            path = os.pathsep.join(directories + [os.environ.get("PATH", "")]).rstrip(os.pathsep)
            stack.enter_context(environment("PATH", path))
        if "UV_PYTHON" not in os.environ:
            stack.enter_context(environment("UV_PYTHON", sys.executable))
        yield
