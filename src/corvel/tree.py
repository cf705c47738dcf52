"""The generated tree: the package directory a run writes and the classes are loaded from.

Every tree holds the same files: ``jsonschema/<versioned>.json``,
``model/<versioned>.py``, the index ``__init__.py`` with its stubs, the
vendored ``manifests/``, the connectors' record classes under ``streams/`` and the lock ``corvel.lock``.  It comes in two layouts:

- the generator module's own: ``connector_configs/`` under a root (the
  installed corvel package, or ``--output-dir``).  Its index is the module's,
  which imports the models as ``corvel.connector_configs.model.*``, so it is
  loaded under that name;
- a project's own package (``package = "myapp.connector_configs"``), in the
  project's source tree.  corvel writes its index (``corvel.project``) with
  relative imports made at first use, so it imports under its own name like
  any module of the project, and costs what the modules it is asked for cost.

``root`` is the directory that holds ``connector_configs/`` in the first
layout (``config_class(tree=...)``, ``--output-dir``); ``directory`` is the
package directory itself in both.  The paths of a tree's files relative to
its directory are given here (``file_paths``, ``manifest_paths``), and so is
the one reader of either layout's index (``index_bindings``).
"""

from __future__ import annotations

import ast
import importlib.util
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

CONFIGS = "connector_configs"  # the package directory under a root, as the generator module writes it
INSTALLED_PACKAGE = "corvel.connector_configs"
JSONSCHEMA, MODEL, MANIFESTS, STREAMS = "jsonschema", "model", "manifests", "streams"
INDEX, INDEX_STUB = "__init__.py", "__init__.pyi"
LOCK_NAME = "corvel.lock"
MANIFEST_FILE, COMPONENTS_FILE = "manifest.yaml", "components.py"
MODEL_PACKAGE = f"{INSTALLED_PACKAGE}.{MODEL}"  # what the generator module's index imports the models from
SERVE_CALL = "_serve"  # what a project index calls corvel.project.serve
# (bound name, module, imported name or None for the module itself): one name an index binds. A project index
# holds these as they are; its model modules are relative to the package (".model.<versioned>")
Binding = tuple[str, str, "str | None"]


def file_paths(versioned: str) -> tuple[str, str]:
    """The schema and the model a tree holds for a versioned name, relative to its directory."""
    return f"{JSONSCHEMA}/{versioned}.json", f"{MODEL}/{versioned}.py"


def manifest_paths(versioned: str) -> tuple[str, str]:
    """Where a manifest-only connector's manifest and custom components are vendored, relative to the tree's
    directory."""
    return f"{MANIFESTS}/{versioned}/{MANIFEST_FILE}", f"{MANIFESTS}/{versioned}/{COMPONENTS_FILE}"


def streams_module(name: str) -> str:
    """The module of connector NAME's record classes under ``streams/``: its name with ``-`` as ``_``."""
    return name.replace("-", "_")


def streams_paths(name: str) -> tuple[str, str]:
    """The streams document and the module of record classes a tree holds for connector NAME (one per connector,
    whatever versions of it the tree holds), relative to its directory."""
    module = streams_module(name)
    return f"{STREAMS}/{module}.json", f"{STREAMS}/{module}.py"


STREAMS_INDEX = f"{STREAMS}/{INDEX}"  # the package of the record modules, written by corvel, recorded by no connector


def model_versioned(module: str) -> str | None:
    """The versioned name of the model module MODULE, as either layout's index names it; None for any other."""
    for prefix in (MODEL_PACKAGE + ".", f".{MODEL}."):
        if module.startswith(prefix):
            return module[len(prefix):]
    return None


def model_classes(bindings: list[Binding]) -> dict[str, str]:
    """Versioned name -> the class BINDINGS import from its model module (the last, should there be more)."""
    return {versioned: name for _, module, name in bindings
            if name is not None and (versioned := model_versioned(module)) is not None}


def index_bindings(index: Path, is_project: bool) -> list[Binding]:
    """The names the index file INDEX binds, in its order: a project index's (IS_PROJECT), whose bindings are
    the arguments of its serve call, or the generator module's, whose are its import statements. ValueError
    when the index is of the other layout, SyntaxError when it is no Python."""
    statements = ast.parse(index.read_text(encoding="utf-8"), str(index)).body
    calls = [s.value.args[1] for s in statements if isinstance(s, ast.Expr) and isinstance(s.value, ast.Call)
             and isinstance(s.value.func, ast.Name) and s.value.func.id == SERVE_CALL]
    if is_project != bool(calls):
        raise ValueError(f"{index} is not an index written for {'a project' if is_project else 'the installed'} "
                         "package")
    if calls:
        return [tuple(binding) for binding in ast.literal_eval(calls[0])]
    found = []
    for statement in statements:
        if isinstance(statement, ast.ImportFrom) and statement.level == 0 and statement.module:
            found += [(alias.asname or alias.name, statement.module, alias.name) for alias in statement.names]
        elif isinstance(statement, ast.Import):
            found += [(alias.asname or alias.name.partition(".")[0], alias.name, None) for alias in statement.names]
    return found


@dataclass(frozen=True)
class Tree:
    """A tree's package directory, and the project package it is (None: the generator module's layout)."""

    directory: Path
    package: str | None = None

    @classmethod
    def at_root(cls, root: str | Path) -> Tree:
        """The generator module's layout under ROOT (``--output-dir``, ``config_class(tree=ROOT)``)."""
        return cls(Path(root) / CONFIGS)

    @classmethod
    def installed(cls) -> Tree:
        """Where a run without a package or --output-dir writes: the generator module's CURRENT_DIR when the
        module is loaded (a caller may have rebound it), else the installed corvel package, what it starts as."""
        module = sys.modules.get("corvel.model_generator")
        root = Path(str(module.CURRENT_DIR)) if module is not None else Path(__file__).resolve().parent
        return cls.at_root(root)

    @classmethod
    def of_model(cls, model_file: str | Path) -> Tree:
        """The tree that holds the model module file MODEL_FILE, as its path names it (its package unknown)."""
        return cls(Path(model_file).parent.parent)

    @property
    def is_project(self) -> bool:
        return self.package is not None

    @property
    def root(self) -> Path:
        return self.directory.parent

    @property
    def index(self) -> Path:
        return self.directory / INDEX

    @property
    def lock_path(self) -> Path:
        return self.directory / LOCK_NAME

    @property
    def parts(self) -> tuple[Path, Path]:
        """The directories the generator module writes the schemas and the models into."""
        return self.directory / JSONSCHEMA, self.directory / MODEL

    @property
    def manifests(self) -> Path:
        return self.directory / MANIFESTS

    @property
    def streams(self) -> Path:
        return self.directory / STREAMS

    def make_parts(self) -> list[Path]:
        """Makes the directories the generator module writes into; those that did not exist, parents included."""
        made = [d for d in {*self.directory.parents, self.directory, *self.parts} if not d.exists()]
        for part in self.parts:
            part.mkdir(parents=True, exist_ok=True)
        return made

    def model(self, versioned: str) -> Path:
        return self.directory / file_paths(versioned)[1]

    def schema(self, versioned: str) -> Path:
        return self.directory / file_paths(versioned)[0]


@contextmanager
def model_apart(model: Path, prefix: str) -> Iterator[ModuleType]:
    """MODEL run as the module PREFIX.<stem>, a name of its own that is forgotten when the block ends: the
    tree's package is neither imported nor changed. The name is registered while the module runs and is used,
    since pydantic looks the module up by it to resolve its annotations."""
    name = f"{prefix}.{Path(model).stem}"
    spec = importlib.util.spec_from_file_location(name, model)
    if spec is None or spec.loader is None:
        raise ImportError(f"{model} is no Python module")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        sys.modules.pop(name, None)
