"""A package of the project's own: the ``[tool.corvel]`` table, where the package lives, and its index.

A project names its package in the nearest ``pyproject.toml`` above the
working directory that has a ``[tool.corvel]`` table, as uv, ruff and pytest
find theirs::

    [tool.corvel]
    package = "myapp.connector_configs"   # where the tree is written
    registry = "registry.json"            # a path (relative to this file) or an http(s) URL
    manifests = false                     # classes only: no manifests vendored
    own-manifests = [{path = "my_api.yaml", name = "source-my-api"}]  # classes of manifests of the project's own

An own manifest is a ``path`` (relative to this file) or an http(s) ``url``,
with the connector's ``name`` when the file's name does not give it.

The package goes where its top-level package already is: ``src/myapp/`` or
``myapp/`` beside the ``pyproject.toml``.

Its index differs from the generator module's (which names
``corvel.connector_configs``): it binds the same names, in the same order,
but imports each at first use and relative to the package, so the package
imports under its own name and a class costs what its own module costs.
The index is a call of ``serve`` with its bindings; ``__init__.pyi`` gives
checkers the same names as plain imports (``corvel.index_stubs``).  This
module imports nothing heavy: every project index imports it.
"""

from __future__ import annotations

import importlib
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from corvel.errors import CorvelError
from corvel.registry import REGISTRY_NAMES
from corvel.tree import MODEL, SERVE_CALL, Binding, Tree, model_versioned

TABLE = "corvel"  # [tool.corvel]
PYPROJECT = "pyproject.toml"
_HEADER = ('"""Typed configurations of airbyte connectors, written by corvel-generate with corvel.lock beside it; '
           'do not edit.\n\nEach name is imported when it is first used."""\n\n'
           f"from corvel.project import serve as {SERVE_CALL}\n\n")


class ProjectError(CorvelError):
    """The project's table or package cannot be used; the message names the file or package and why."""


@dataclass(frozen=True)
class Settings:
    """What a project's table sets; None where it sets nothing."""

    file: Path | None = None  # the pyproject.toml that holds the table
    package: str | None = None
    registry: str | None = None
    manifests: bool | None = None
    own_manifests: tuple[tuple[str, str | None], ...] = ()  # (path relative to the project, or URL; name)

    @property
    def project_directory(self) -> Path | None:
        return None if self.file is None else self.file.parent


OWN_MANIFESTS = "own-manifests"
_KEYS = {"package": str, "registry": str, "manifests": bool, OWN_MANIFESTS: list}


def find_settings(start: Path) -> Settings:
    """The ``[tool.corvel]`` table of the nearest pyproject.toml at or above START that has one."""
    import tomllib

    for directory in (start, *start.parents):
        path = directory / PYPROJECT
        if not path.is_file():
            continue
        try:
            document = tomllib.loads(path.read_text(encoding="utf-8"))
        except (OSError, UnicodeError, tomllib.TOMLDecodeError) as error:
            raise ProjectError(f"{path}: cannot be read: {error}") from error
        tools = document.get("tool")
        if not isinstance(tools, dict):
            tools = {}
        if misspelt := [name for name in tools if name != TABLE and _one_edit_apart(name, TABLE)]:
            # read as not there, it would send the tree into the installed corvel package
            raise ProjectError(f"{path}: [tool.{misspelt[0]}] is not a table corvel reads; name it [tool.{TABLE}]")
        table = tools.get(TABLE)
        if table is None:
            continue
        if not isinstance(table, dict):
            raise ProjectError(f"{path}: [tool.{TABLE}] must be a table")
        return _settings(path, table)
    return Settings()


def _one_edit_apart(name: str, other: str) -> bool:
    """Whether NAME becomes OTHER by one letter inserted, dropped, changed, or two neighbours swapped."""
    if abs(len(name) - len(other)) > 1:
        return False
    start = next((i for i, (a, b) in enumerate(zip(name, other)) if a != b), min(len(name), len(other)))
    rest, other_rest = name[start:], other[start:]
    return (rest[1:] == other_rest or rest == other_rest[1:] or rest[1:] == other_rest[1:]
            or (len(rest) > 1 and rest[1] + rest[0] + rest[2:] == other_rest))


def _settings(path: Path, table: dict[str, Any]) -> Settings:
    for key, value in table.items():
        if key not in _KEYS:
            raise ProjectError(f"{path}: [tool.{TABLE}] has no setting {key!r} (it knows {', '.join(_KEYS)})")
        if not isinstance(value, _KEYS[key]):
            raise ProjectError(f"{path}: [tool.{TABLE}] {key} must be a {_KEYS[key].__name__}, not {value!r}")
    registry = table.get("registry")
    # a path is the table's own, relative to its file; a registry's name stays a name
    if registry is not None and "://" not in registry and registry not in REGISTRY_NAMES:
        registry = str((path.parent / registry).resolve())
    return Settings(path, table.get("package"), registry, table.get("manifests"),
                    tuple(_own_manifest(path, item) for item in table.get(OWN_MANIFESTS, [])))


def _own_manifest(path: Path, item: Any) -> tuple[str, str | None]:
    """One item of the own-manifests list: its path or URL and its name (None: from the file)."""
    where = f"{path}: [tool.{TABLE}] {OWN_MANIFESTS}"
    if not isinstance(item, dict) or len({"path", "url"} & set(item)) != 1 or set(item) - {"path", "url", "name"}:
        raise ProjectError(f"{where}: each item is a table with a path or a url, and a name if wanted, not {item!r}")
    source, name = item.get("path", item.get("url")), item.get("name")
    if not isinstance(source, str) or not source or not isinstance(name, (str, type(None))):
        raise ProjectError(f"{where}: path, url and name are strings, not {item!r}")
    if "url" in item and not source.lower().startswith(("http://", "https://")):
        raise ProjectError(f"{where}: {source!r} is not an http(s) URL")
    return source, name


def project_directory(start: Path) -> Path:
    """The directory of the nearest pyproject.toml at or above START; START when there is none."""
    return next((d for d in (start, *start.parents) if (d / PYPROJECT).is_file()), start)


def package_tree(package: str, project: Path) -> Tree:
    """The tree of PACKAGE in the project at PROJECT: under its top-level package's directory, in ``src/`` or
    beside the pyproject.toml."""
    parts = package.split(".")
    if not all(part.isidentifier() for part in parts):
        raise ProjectError(f"{package!r} is not a Python package name (dotted identifiers, as in "
                           "myapp.connector_configs)")
    for base in (project / "src", project):
        if (base / parts[0]).is_dir():
            return Tree(base.joinpath(*parts), package)
    if len(parts) == 1:  # the package is the top level itself: a src/ layout puts it there
        return Tree((project / "src" if (project / "src").is_dir() else project) / parts[0], package)
    raise ProjectError(f"the package {package} goes into {parts[0]}/, which is neither in {project / 'src'} nor in "
                       f"{project}; create the package {parts[0]} first (uv init --lib makes src/{parts[0]}/)")


# -- the index -------------------------------------------------------------------


def index_text(bindings: list[Binding]) -> str:
    """The project index that binds BINDINGS, in their order (the last binding of a name wins)."""
    rows = "".join(f"    {binding!r},\n" for binding in bindings)
    return f"{_HEADER}{SERVE_CALL}(__name__, [\n{rows}])\n"


def from_module_index(bindings: list[Binding]) -> list[Binding]:
    """The generator module's index's bindings as a project index binds them: its model modules relative to the
    package."""
    return [(bound, module if (versioned := model_versioned(module)) is None else f".{MODEL}.{versioned}", name)
            for bound, module, name in bindings]


def serve(package: str, bindings: list[Binding]) -> None:
    """Run by a project index: binds its names at first use, and gives its model modules corvel's behaviour."""
    from corvel.model_loading import install_model_finder

    module = sys.modules[package]
    table = {bound: (source, name) for bound, source, name in bindings}  # the last binding of a name wins
    install_model_finder(f"{package}.{MODEL}")

    def __getattr__(name: str) -> Any:
        if name not in table:
            raise AttributeError(f"module {package!r} has no attribute {name!r}")
        source, attribute = table[name]
        if source.startswith("."):
            imported = importlib.import_module(source, package)
        else:  # airbyte's caches and corvel's own classes
            from corvel.compat import quiet_airbyte_import

            with quiet_airbyte_import():
                imported = importlib.import_module(source)
        value = imported if attribute is None else getattr(imported, attribute)
        setattr(module, name, value)  # found directly from now on
        return value

    module.__getattr__ = __getattr__
    module.__dir__ = lambda: sorted({*vars(module), *table})
    vars(module)["__all__"] = list(table)  # not an attribute typeshed gives modules
