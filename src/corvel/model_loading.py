"""How a generated tree's modules are found: its model modules get corvel's behaviour as they are loaded.

A model module of the installed tree (``corvel.connector_configs.model.*``)
or of a project's package (installed by its index, ``corvel.project.serve``)
is loaded by the regular path finder and then handed to
``corvel.model_behaviour.adapt_module``. Before anything is generated, the
installed tree's package has no index; a finder gives it a package that says
what to run. ``import corvel`` installs both finders without importing
pydantic or airbyte.
"""

from __future__ import annotations

import os

from corvel.import_hooks import CompletingFinder, LoaderBase, install

INDEX_PACKAGE = "corvel.connector_configs"
MODEL_PACKAGE = INDEX_PACKAGE + ".model"


def _adapt_model_module(module) -> None:
    # pydantic comes with it: at the first model module, not with corvel
    from corvel.model_behaviour import adapt_module

    adapt_module(module)


def install_model_finder(model_package: str) -> None:
    """The model modules of MODEL_PACKAGE get corvel's behaviour (corvel.model_behaviour) as they are loaded."""
    prefix = model_package + "."
    install(CompletingFinder(model_package, lambda name: name.startswith(prefix), _adapt_model_module))


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
        from corvel.tree import CONFIGS, INDEX  # with the tree's package, not with corvel: it loads dataclasses

        directories = [os.path.join(entry, CONFIGS) for entry in path]
        if any(os.path.isfile(os.path.join(directory, INDEX)) for directory in directories):
            return None  # the generated index: the path finder loads it
        from importlib.machinery import ModuleSpec

        spec = ModuleSpec(fullname, _UngeneratedIndexLoader(), is_package=True)
        spec.submodule_search_locations = [directory for directory in directories if os.path.isdir(directory)]
        return spec

    def __repr__(self):
        return f"<{type(self).__name__}>"


class _UngeneratedIndexLoader(LoaderBase):
    def create_module(self, spec):
        return None  # the default module object

    def exec_module(self, module):
        def __getattr__(name):
            submodule = any(os.path.exists(os.path.join(directory, name)) or
                            os.path.exists(os.path.join(directory, name + ".py")) for directory in module.__path__)
            if name.startswith("__") or submodule:  # the import system asks for a submodule (model) so first
                raise AttributeError(f"module {INDEX_PACKAGE!r} has no attribute {name!r}")
            from pathlib import Path

            from corvel.tree import CONFIGS, Tree

            tree = os.path.dirname(module.__path__[0]) if module.__path__ else None
            if tree and Tree.at_root(tree).index.is_file():
                from corvel.configs import import_tree

                return getattr(import_tree(Path(tree)), name)  # generated since, in this interpreter
            # an ImportError, not an AttributeError, so that `from ... import` keeps this message
            raise ImportError(
                f"cannot import name {name!r} from {INDEX_PACKAGE!r}: no connector has been generated into "
                f"{os.path.join(tree or '(the installed corvel package)', CONFIGS)} yet; generate the "
                "connector's classes with: corvel-generate <connector> (corvel-generate source-faker, say), or "
                "use corvel.config_class(name, tree=DIR) for a tree written with --output-dir DIR",
                name=INDEX_PACKAGE,
            )

        module.__getattr__ = __getattr__


def install_finders() -> None:
    """Installs the finders of the installed tree, once per interpreter."""
    install_model_finder(MODEL_PACKAGE)
    install(UngeneratedIndexFinder())
