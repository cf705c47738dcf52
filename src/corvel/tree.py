"""The generated tree: the package directory a run writes and the classes are loaded from.

Every tree holds the same files: ``jsonschema/<versioned>.json``,
``model/<versioned>.py``, the index ``__init__.py`` with its stubs, the
vendored ``manifests/`` and the lock ``corvel.lock``.  It comes in two layouts:

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
package directory itself in both.
"""

from __future__ import annotations

import importlib.util
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

CONFIGS = "connector_configs"  # the package directory under a root, as the generator module writes it
INSTALLED_PACKAGE = "corvel.connector_configs"
JSONSCHEMA, MODEL, MANIFESTS = "jsonschema", "model", "manifests"
INDEX, INDEX_STUB = "__init__.py", "__init__.pyi"
LOCK_NAME = "corvel.lock"


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

    def model(self, versioned: str) -> Path:
        return self.directory / MODEL / f"{versioned}.py"

    def schema(self, versioned: str) -> Path:
        return self.directory / JSONSCHEMA / f"{versioned}.json"


def tree_of_model(model_file: str | Path) -> Path:
    """The package directory of a tree, from one of its model modules' files."""
    return Path(model_file).resolve().parent.parent


@contextmanager
def model_apart(model: Path, prefix: str) -> Iterator[ModuleType]:
    """MODEL run as the module PREFIX.<stem>, a name of its own that is forgotten when the block ends: the
    tree's package is neither imported nor changed. The name is registered while the module runs and is used,
    since pydantic looks the module up by it to resolve its annotations."""
    name = f"{prefix}.{Path(model).stem}"
    spec = importlib.util.spec_from_file_location(name, model)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        sys.modules.pop(name, None)
