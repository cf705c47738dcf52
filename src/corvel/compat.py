"""Where corvel meets the airbyte releases it supports.

The generator module's start-up imports ``_get_registry_url`` and
``_is_registry_disabled`` from ``airbyte.sources.registry``. From airbyte
0.33.1 on they live in ``airbyte.registry`` and the old module re-exports
public names only, so corvel puts airbyte's own functions (not copies: the
registry variable and the offline switch keep their meaning) back into the
old module when it is imported. The generated index imports airbyte's
Databricks cache, which airbyte does not ship; corvel serves it from
``corvel._databricks``. Both are done by finders that ``import corvel``
installs without importing airbyte; a third gives the generated model
modules corvel's behaviour (``corvel.model_behaviour``) as they are loaded.

The rest is what corvel does around calls into airbyte: its import-time
warnings that say nothing to corvel's users are filtered, and the installers
airbyte runs by their bare names are found beside this interpreter.
"""

from __future__ import annotations

import os
import shutil
import sys
import sysconfig
import warnings
from contextlib import ExitStack, contextmanager

from corvel.errors import CorvelError

SUPPORTED_AIRBYTE = ">=0.33.0,<0.72"
REGISTRY_MODULE = "airbyte.sources.registry"
REGISTRY_FUNCTIONS = ("_get_registry_url", "_is_registry_disabled")
REGISTRY_FUNCTIONS_HOME = "airbyte.registry"  # where airbyte keeps them from 0.33.1 on

# airbyte module name -> corvel module that implements it
SERVED_MODULES = {
    "airbyte._processors.sql.databricks": "corvel._databricks.processor",
    "airbyte.caches.databricks": "corvel._databricks.cache",
}


def _search_path_lookup(fullname, path):
    from importlib.machinery import PathFinder

    return PathFinder.find_spec(fullname, path)


class _AliasLoader:
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
        module.__all__ = names
        for name in names:
            setattr(module, name, getattr(source, name))


class DatabricksModuleFinder:
    """Meta path finder for the Databricks modules that airbyte lacks.

    ``lookup(fullname, path)`` returns the spec of airbyte's own module of
    that name, or None; by default it searches the parent package's path the
    way the regular path finder does.
    """

    def __init__(self, served=None, lookup=_search_path_lookup):
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


def _airbyte_version() -> str:
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
                f"corvel supports airbyte {SUPPORTED_AIRBYTE}; the installed airbyte {_airbyte_version()} has no "
                f"{name} in {REGISTRY_MODULE} or {REGISTRY_FUNCTIONS_HOME} (pip install 'airbyte{SUPPORTED_AIRBYTE}')",
                name=name,
            )
        if fallback is not None:
            return fallback(name)
        raise AttributeError(f"module {module.__name__!r} has no attribute {name!r}")

    module.__getattr__ = __getattr__


class _CompletingLoader:
    """The regular loader of a module, which then hands the module to COMPLETE."""

    def __init__(self, loader, complete):
        self.loader, self.complete = loader, complete

    def create_module(self, spec):
        return self.loader.create_module(spec)

    def exec_module(self, module):
        self.loader.exec_module(module)
        self.complete(module)

    def __getattr__(self, name):  # get_source, get_filename, ... of the wrapped loader
        return getattr(self.loader, name)


class CompletingFinder:
    """Meta path finder that hands out the regular spec of the modules it is for,
    with a loader that completes each module once it has run."""

    def __init__(self, purpose: str, wanted, complete):
        self.purpose, self.wanted, self.complete = purpose, wanted, complete

    def find_spec(self, fullname, path=None, target=None):
        if path is None or not self.wanted(fullname):
            return None
        spec = _search_path_lookup(fullname, path)
        if spec is not None and spec.loader is not None:
            spec.loader = _CompletingLoader(spec.loader, self.complete)
        return spec

    def __repr__(self):
        return f"<{type(self).__name__} for {self.purpose}>"


MODEL_PACKAGE = "corvel.connector_configs.model"


def _adapt_model_module(module) -> None:
    from corvel.model_behaviour import adapt_module

    adapt_module(module)


def _install(finder) -> None:
    """Installs FINDER unless one for the same purpose is (an earlier copy of this module may have)."""
    if all(getattr(installed, "purpose", None) != finder.purpose for installed in sys.meta_path):
        sys.meta_path.insert(0, finder)  # ahead of the path finder that would load the module plain


def install_model_finder(model_package: str) -> None:
    """The model modules of MODEL_PACKAGE get corvel's behaviour (corvel.model_behaviour) as they are loaded."""
    prefix = model_package + "."
    _install(CompletingFinder(model_package, lambda name: name.startswith(prefix), _adapt_model_module))


INDEX_PACKAGE = "corvel.connector_configs"


class UngeneratedIndexFinder:
    """Meta path finder for ``corvel.connector_configs`` while its tree has no index (nothing generated yet).

    Without it the directory imports as a bare namespace package, and
    ``from corvel.connector_configs import SourceFakerConfig`` fails without
    saying why. The package it gives holds the tree's model modules as the
    index would; a name the index would bind raises an ImportError that says
    what to run. The wheel ships no index of its own: a reinstall would put it
    over the generated one.
    """

    purpose = INDEX_PACKAGE + " before generation"

    def find_spec(self, fullname, path=None, target=None):
        if fullname != INDEX_PACKAGE or path is None:
            return None
        directories = [os.path.join(entry, "connector_configs") for entry in path]
        if any(os.path.isfile(os.path.join(directory, "__init__.py")) for directory in directories):
            return None  # the generated index: the path finder loads it
        from importlib.machinery import ModuleSpec

        spec = ModuleSpec(fullname, _UngeneratedIndexLoader(), is_package=True)
        spec.submodule_search_locations = [directory for directory in directories if os.path.isdir(directory)]
        return spec

    def __repr__(self):
        return f"<{type(self).__name__}>"


class _UngeneratedIndexLoader:
    def create_module(self, spec):
        return None  # the default module object

    def exec_module(self, module):
        def __getattr__(name):
            submodule = any(os.path.exists(os.path.join(directory, name)) or
                            os.path.exists(os.path.join(directory, name + ".py")) for directory in module.__path__)
            if name.startswith("__") or submodule:  # the import system asks for a submodule (model) so first
                raise AttributeError(f"module {INDEX_PACKAGE!r} has no attribute {name!r}")
            tree = os.path.dirname(module.__path__[0]) if module.__path__ else None
            if tree and os.path.isfile(os.path.join(tree, "connector_configs", "__init__.py")):
                from pathlib import Path

                from corvel.configs import import_tree

                return getattr(import_tree(Path(tree)), name)  # generated since, in this interpreter
            # an ImportError, not an AttributeError, so that `from ... import` keeps this message
            raise ImportError(
                f"cannot import name {name!r} from {INDEX_PACKAGE!r}: no connector has been generated into "
                f"{os.path.join(tree or '(the installed corvel package)', 'connector_configs')} yet; generate the "
                "connector's classes with: corvel-generate <connector> (corvel-generate source-faker, say), or "
                "use corvel.config_class(name, tree=DIR) for a tree written with --output-dir DIR",
                name=INDEX_PACKAGE,
            )

        module.__getattr__ = __getattr__


def install_finders() -> None:
    """Installs the finders once per interpreter."""
    _install(CompletingFinder(REGISTRY_MODULE, REGISTRY_MODULE.__eq__, complete_registry_module))
    install_model_finder(MODEL_PACKAGE)
    _install(UngeneratedIndexFinder())
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
