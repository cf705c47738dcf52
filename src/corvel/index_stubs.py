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
generator module writes the index alone.
"""

from __future__ import annotations

import ast
from pathlib import Path

INDEX = "__init__.py"
INDEX_STUB = "__init__.pyi"
CONFIG_CLASS_STUB = "_config_classes.pyi"
FILES = (INDEX_STUB, CONFIG_CLASS_STUB)
MODEL_PACKAGE = "corvel.connector_configs.model"
_HEADER = "# Written by corvel-generate from the index beside it, for type checkers; do not edit.\n"


def _bindings(index: str) -> list[tuple[str, str | None, str, str]]:
    """(module, imported name or None for the module itself, bound name, import line) per name the index binds."""
    found = []
    for statement in ast.parse(index).body:
        if isinstance(statement, ast.ImportFrom) and statement.level == 0 and statement.module:
            for alias in statement.names:
                bound = alias.asname or alias.name
                found.append((statement.module, alias.name, bound, f"from {statement.module} import {alias.name} as {bound}"))
        elif isinstance(statement, ast.Import):
            for alias in statement.names:
                bound = alias.asname or alias.name.partition(".")[0]
                line = f"import {alias.name}" + (f" as {alias.asname}" if alias.asname else "")
                found.append((alias.name, None, bound, line))
    return found


def _versioned(module: str) -> str | None:
    prefix = MODEL_PACKAGE + "."
    return module[len(prefix):] if module.startswith(prefix) else None


def index_stub(index: str, connectors: dict[str, str]) -> str:
    """The stub of INDEX's text; CONNECTORS maps the versioned names the tree holds to their connectors'
    names, and models of any other (a connector whose run failed) are left out."""
    last = {}
    for module, _, bound, line in _bindings(index):
        versioned = _versioned(module)
        if versioned is None or versioned in connectors:
            last.pop(bound, None)
            last[bound] = line
    names = "".join(f"    {name!r},\n" for name in last)
    return _HEADER + "".join(line + "\n" for line in last.values()) + f"\n__all__ = [\n{names}]\n"


def config_classes_stub(index: str, connectors: dict[str, str]) -> str:
    """``config_class``'s overloads: per connector, the class the index binds last among its models."""
    classes = {}
    for module, name, _, _ in _bindings(index):
        versioned = _versioned(module)
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


def _texts(configs_dir: Path, connectors: dict[str, str]) -> dict[str, str]:
    """Both stubs of CONFIGS_DIR's index by file name; none when there is no index."""
    path = Path(configs_dir) / INDEX
    if not path.is_file():
        return {}
    index = path.read_text(encoding="utf-8")
    return {INDEX_STUB: index_stub(index, connectors), CONFIG_CLASS_STUB: config_classes_stub(index, connectors)}


def write(configs_dir: Path, connectors: dict[str, str]) -> list[str]:
    """Writes both stubs of CONFIGS_DIR's index, when it has one; their names, relative to CONFIGS_DIR."""
    texts = _texts(configs_dir, connectors)
    for name, text in texts.items():
        (Path(configs_dir) / name).write_text(text, encoding="utf-8")
    return list(texts)


def in_line(configs_dir: Path, connectors: dict[str, str]) -> bool:
    """Whether CONFIGS_DIR holds the stubs its index and CONNECTORS give (a tree from before them has none)."""
    for name, text in _texts(configs_dir, connectors).items():
        try:
            if (Path(configs_dir) / name).read_text(encoding="utf-8") != text:
                return False
        except (OSError, UnicodeDecodeError):
            return False
    return True
