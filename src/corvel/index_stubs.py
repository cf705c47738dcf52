"""The generated tree as type checkers see it: two stub files derived from the index.

corvel ships ``py.typed``, so checkers hold the index to the rules of a typed
library: a name it imports is private to it unless re-exported, and every name
the index binds comes from an import. ``__init__.pyi`` binds the same names
to the same objects, each once (the last binding, as at run time: the cache
classes bound after the connectors win) and re-exported through ``__all__``.

``_config_classes.pyi`` gives ``corvel.config_class`` one overload per
connector of the installed tree, so that ``config_class("source-faker")`` is
``type[SourceFakerConfig]``; ``corvel.configs`` reads it only when type
checking. The package ships the version for a tree without connectors.

Both are written by every run that writes the index; a direct call of the
generator module writes the index alone.  A project's package
(``corvel.project``) gets ``__init__.pyi`` alone, with relative imports:
its classes are imported from the package, not through ``config_class``.
The package ships ``_config_classes.py``, the overload for a tree without
connectors; checkers read the generated ``.pyi`` in its place, which a
reinstall of corvel leaves alone.
"""

from __future__ import annotations

from pathlib import Path

from corvel import project
from corvel.tree import INDEX, INDEX_STUB, MODEL_PACKAGE, Binding, index_bindings, model_versioned

CONFIG_CLASS_STUB = "_config_classes.pyi"
FILES = (INDEX_STUB, CONFIG_CLASS_STUB)
_HEADER = "# Written by corvel-generate from the index beside it, for type checkers; do not edit.\n"


def _import_line(module: str, name: str | None, bound: str) -> str:
    if name is not None:
        return f"from {module} import {name} as {bound}"
    if module.startswith("."):
        package, _, leaf = module.rpartition(".")
        return f"from {package or '.'} import {leaf} as {bound}"
    return f"import {module} as {bound}"


def index_stub(bindings: list[Binding], connectors: dict[str, str]) -> str:
    """The stub of an index's BINDINGS; CONNECTORS maps the versioned names the tree holds to their connectors'
    names, and models of any other (a connector whose run failed) are left out."""
    last = {}
    for bound, module, name in bindings:
        versioned = model_versioned(module)
        if versioned is None or versioned in connectors:
            last.pop(bound, None)
            last[bound] = _import_line(module, name, bound)
    names = "".join(f"    {name!r},\n" for name in last)
    return _HEADER + "".join(line + "\n" for line in last.values()) + f"\n__all__ = [\n{names}]\n"


def config_classes_stub(bindings: list[Binding], connectors: dict[str, str]) -> str:
    """``config_class``'s overloads: per connector, the class the index binds last among its models."""
    classes = {}
    for _, module, name in bindings:
        versioned = model_versioned(module)
        if name is not None and versioned in connectors:
            classes[connectors[versioned]] = (versioned, name)
    fallback = "def config_class(connector_name: str, tree: str | Path | None = None) -> type[BaseModel]: ...\n"
    if not classes:
        return f"{_HEADER}from pathlib import Path\n\nfrom pydantic import BaseModel\n\n{fallback}"
    imports = "".join(f"from {MODEL_PACKAGE} import {versioned}\n" for versioned in sorted({v for v, _ in classes.values()}))
    overloads = "".join(
        f"@overload\ndef config_class(connector_name: Literal[{connector!r}], tree: None = None) -> "
        f"type[{versioned}.{name}]: ...\n"
        for connector, (versioned, name) in sorted(classes.items())
    )
    return (f"{_HEADER}from pathlib import Path\nfrom typing import Literal, overload\n\nfrom pydantic import BaseModel\n\n"
            f"{imports}\n{overloads}@overload\n{fallback}")


def _texts(configs_dir: Path, connectors: dict[str, str], is_project: bool) -> dict[str, str]:
    """The stubs of CONFIGS_DIR's index by file name; none when there is no index."""
    path = Path(configs_dir) / INDEX
    if not path.is_file():
        return {}
    try:
        bindings = index_bindings(path, is_project)
    except (SyntaxError, ValueError):  # an index of the other layout, or edited: written again by the run
        return {INDEX_STUB: ""}
    if is_project:
        return {INDEX_STUB: index_stub(bindings, connectors)}
    return {INDEX_STUB: index_stub(bindings, connectors), CONFIG_CLASS_STUB: config_classes_stub(bindings, connectors)}


def write(configs_dir: Path, connectors: dict[str, str], is_project: bool = False) -> list[str]:
    """Writes the stubs of CONFIGS_DIR's index, when it has one; their names, relative to CONFIGS_DIR."""
    texts = _texts(configs_dir, connectors, is_project)
    for name, text in texts.items():
        (Path(configs_dir) / name).write_text(text, encoding="utf-8")
    return list(texts)


def in_line(configs_dir: Path, connectors: dict[str, str], is_project: bool = False) -> bool:
    """Whether CONFIGS_DIR holds the stubs its index and CONNECTORS give (a tree from before them has none)."""
    for name, text in _texts(configs_dir, connectors, is_project).items():
        try:
            if not text or (Path(configs_dir) / name).read_text(encoding="utf-8") != text:
                return False
        except (OSError, UnicodeDecodeError):
            return False
    return True


def project_index(configs_dir: Path) -> None:
    """Replaces the generator module's index in CONFIGS_DIR with the project index that binds the same."""
    path = Path(configs_dir) / INDEX
    path.write_text(project.index_text(project.from_module_index(index_bindings(path, is_project=False))),
                    encoding="utf-8")
