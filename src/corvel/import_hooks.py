"""Meta path finders that complete the modules they are for, and their installation once per interpreter.

A ``CompletingFinder`` hands out the regular spec of each module it is for,
with a loader that passes the module to a function once the module has run:
airbyte's registry module gets the functions the generator module imports
from it (``corvel.compat``), a tree's model modules get corvel's behaviour
(``corvel.model_loading``). Nothing heavy is imported here: ``import corvel``
installs these finders.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from importlib.abc import Loader as LoaderBase
else:  # the import system takes any object with exec_module; importlib.abc would add ~25 ms to `import corvel`
    LoaderBase = object


def search_path_spec(fullname, path):
    """The spec the regular path finder gives FULLNAME in the parent package's PATH; None when there is none."""
    from importlib.machinery import PathFinder

    return PathFinder.find_spec(fullname, path)


class _CompletingLoader(LoaderBase):
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
        spec = search_path_spec(fullname, path)
        if spec is not None and spec.loader is not None:
            spec.loader = _CompletingLoader(spec.loader, self.complete)
        return spec

    def __repr__(self):
        return f"<{type(self).__name__} for {self.purpose}>"


def install(finder) -> None:
    """Installs FINDER first on sys.meta_path, unless one for the same purpose is (an earlier copy of corvel's
    modules may have installed it)."""
    if all(getattr(installed, "purpose", None) != finder.purpose for installed in sys.meta_path):
        sys.meta_path.insert(0, finder)  # ahead of the path finder that would load the module plain
