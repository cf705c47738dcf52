"""Typed pydantic v2 models of airbyte connector configurations.

The generated index (``corvel.connector_configs``) imports airbyte's Databricks
cache as ``airbyte._processors.sql.databricks.DatabricksConfig`` and
``airbyte.caches.databricks.DatabricksCache``. airbyte 0.33.0 ships no such
modules, so importing this package registers a finder at the end of
``sys.meta_path`` that serves them from ``corvel._databricks``. It answers for
exactly those two names and steps aside whenever airbyte has a module of that
name of its own. Nothing heavy is imported here: the finder loads airbyte and
the implementation only when one of the two names is imported.

The typed front door to airbyte, ``config_class``, ``to_airbyte_config``,
``get_source`` and ``get_destination``, lives in ``corvel.configs`` and is
loaded at first use.
"""

import sys

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


def _install():
    for finder in sys.meta_path:
        if type(finder).__name__ == DatabricksModuleFinder.__name__ and hasattr(finder, "served"):
            return  # installed by an earlier import of this package
    sys.meta_path.append(DatabricksModuleFinder())


_install()

_FRONT_DOOR = ("config_class", "to_airbyte_config", "get_source", "get_destination")


def __getattr__(name):
    if name in _FRONT_DOOR:
        from corvel import configs

        return getattr(configs, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted([*globals(), *_FRONT_DOOR])
