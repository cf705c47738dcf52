"""The generated tree as type checkers see it: two stub files derived from the index.

corvel ships ``py.typed``, so checkers hold the index to the rules of a typed
library: a name it imports is private to it unless re-exported, and every name
the index binds comes from an import. ``__init__.pyi`` binds the same names
to the same objects, each once (the last binding, as at run time: the cache
classes bound after the connectors win) and re-exported through ``__all__``.
A source's configuration class is declared there as a subclass of its model's
class with a ``__corvel_source__`` method, which no class has at run time:
``corvel.get_source`` takes its parameters from it, so checkers know the
connector's stream names (the ``Stream`` of ``streams/<module>.py`` when the
lock records that module, any text otherwise).

``_config_classes.pyi`` gives ``corvel.config_class`` one overload per
connector of the installed tree, so that ``config_class("source-faker")`` is
``type[SourceFakerConfig]``, the index stub's class; ``corvel.configs`` reads
it only when type checking. The package ships the version for a tree without connectors.

Both are written by every run that writes the index; a direct call of the
generator module writes the index alone.  A project's package
(``corvel.project``) gets ``__init__.pyi`` alone, with relative imports:
its classes are imported from the package, not through ``config_class``.
The package ships ``_config_classes.py``, the overload for a tree without
connectors; checkers read the generated ``.pyi`` in its place, which a
reinstall of corvel leaves alone.
"""

from __future__ import annotations

from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING

from corvel import project
from corvel.tree import (
    INDEX,
    INDEX_STUB,
    INSTALLED_PACKAGE,
    MODEL,
    MODEL_PACKAGE,
    Binding,
    index_bindings,
    model_versioned,
    streams_paths,
)

if TYPE_CHECKING:
    from corvel.lock import LockRecord

CONFIG_CLASS_STUB = "_config_classes.pyi"
DESTINATION_PREFIX = "destination-"  # a connector of any other name configures a source
# what a source class's declaration names, private to the stub
_SOURCE_TYPING = "from collections.abc import Sequence as _Sequence\nfrom typing import Any as _Any, Literal as _Literal\n"
FILES = (INDEX_STUB, CONFIG_CLASS_STUB)
_HEADER = "# Written by corvel-generate from the index beside it, for type checkers; do not edit.\n"


def _import_line(module: str, name: str | None, bound: str) -> str:
    if name is not None:
        return f"from {module} import {name} as {bound}"
    if module.startswith("."):
        package, _, leaf = module.rpartition(".")
        return f"from {package or '.'} import {leaf} as {bound}"
    return f"import {module} as {bound}"


def index_stub(bindings: list[Binding], connectors: dict[str, str], streamed: frozenset[str] = frozenset()) -> str:
    """The stub of an index's BINDINGS; CONNECTORS maps the versioned names the tree holds to their connectors'
    names, and models of any other (a connector whose run failed) are left out. STREAMED names the connectors
    whose streams module the tree holds."""
    last: dict[str, str] = {}
    for bound, module, name in bindings:
        versioned = model_versioned(module)
        if versioned is None or versioned in connectors:
            last.pop(bound, None)
            last[bound] = _import_line(module, name, bound)
    sources = _source_classes(bindings, connectors)
    for bound, (module, name, connector) in sources.items():
        last[bound] = _source_class(bound, module, name, connector if connector in streamed else None)
    names = "".join(f"    {name!r},\n" for name in last)
    typing = _SOURCE_TYPING if sources else ""
    return _HEADER + typing + "".join(line + "\n" for line in last.values()) + f"\n__all__ = [\n{names}]\n"


def _source_classes(bindings: list[Binding], connectors: dict[str, str]) -> dict[str, tuple[str, str, str]]:
    """The names the index binds last to a source connector's configuration class: (model module, class,
    connector) by the name bound. The stub declares each as a class of its own."""
    last: dict[str, tuple[str, str, str] | None] = {}
    for bound, module, name in bindings:
        versioned = model_versioned(module)
        if versioned is not None and versioned not in connectors:
            continue
        connector = connectors.get(versioned) if versioned is not None else None
        if name is not None and connector is not None and not connector.startswith(DESTINATION_PREFIX):
            last[bound] = (module, name, connector)
        else:
            last[bound] = None
    return {bound: found for bound, found in last.items() if found is not None}


def _source_class(bound: str, module: str, name: str, streamed: str | None) -> str:
    """The stub's declaration of the source configuration class NAME of MODULE, bound as BOUND: a subclass whose
    ``__corvel_source__`` gives ``corvel.get_source`` the connector's stream names (the ``Stream`` of the
    streams module of STREAMED, its connector, when the tree holds one; any text otherwise). Only checkers see
    it."""
    base = f"_{bound}"
    lines = [_import_line(module, name, base)]
    if streamed is not None:
        package = module[: module.rindex(f"{MODEL}.")]  # "corvel.connector_configs." or "."
        streams_module = package + Path(streams_paths(streamed)[1]).with_suffix("").as_posix().replace("/", ".")
        lines.append(_import_line(streams_module, "Stream", f"{base}Stream"))
        streams = f"_Sequence[{base}Stream] | _Literal['*'] | None"
    else:
        streams = "str | _Sequence[str] | None"
    return "\n".join([*lines, f"class {bound}({base}):",
                      f"    def __corvel_source__(self, *, streams: {streams} = None, **kwargs: _Any) -> None: ..."])


def config_classes_stub(bindings: list[Binding], connectors: dict[str, str]) -> str:
    """``config_class``'s overloads: per connector, the class the index binds last among its models; a source's as
    the index stub declares it."""
    classes: dict[str, tuple[str, str]] = {}
    for _, module, name in bindings:
        versioned = model_versioned(module)
        if name is not None and versioned in connectors:
            classes[connectors[versioned]] = (versioned, name)
    fallback = "def config_class(connector_name: str, tree: str | Path | None = None) -> type[BaseModel]: ...\n"
    if not classes:
        return f"{_HEADER}from pathlib import Path\n\nfrom pydantic import BaseModel\n\n{fallback}"
    declared = {(model_versioned(module), name): bound
                for bound, (module, name, _) in _source_classes(bindings, connectors).items()}
    returned = {connector: declared.get(chosen, f"{chosen[0]}.{chosen[1]}") for connector, chosen in classes.items()}
    imports = "".join(f"from {MODEL_PACKAGE} import {versioned}\n"
                      for versioned in sorted({v for v, n in classes.values() if (v, n) not in declared}))
    imports += "".join(f"from {INSTALLED_PACKAGE} import {bound}\n"
                       for bound in sorted({declared[chosen] for chosen in classes.values() if chosen in declared}))
    overloads = "".join(
        f"@overload\ndef config_class(connector_name: Literal[{connector!r}], tree: None = None) -> "
        f"type[{returned[connector]}]: ...\n"
        for connector in sorted(classes)
    )
    return (f"{_HEADER}from pathlib import Path\nfrom typing import Literal, overload\n\nfrom pydantic import BaseModel\n\n"
            f"{imports}\n{overloads}@overload\n{fallback}")


def streamed(records: Iterable[LockRecord]) -> frozenset[str]:
    """The connectors of RECORDS whose streams module the lock records."""
    return frozenset(r.name for r in records if any(path == streams_paths(r.name)[1] for path, _ in r.files))


def _texts(configs_dir: Path, connectors: dict[str, str], is_project: bool, streamed: frozenset[str]) -> dict[str, str]:
    """The stubs of CONFIGS_DIR's index by file name; none when there is no index."""
    path = Path(configs_dir) / INDEX
    if not path.is_file():
        return {}
    try:
        bindings = index_bindings(path, is_project)
    except (SyntaxError, ValueError):  # an index of the other layout, or edited: written again by the run
        return {INDEX_STUB: ""}
    if is_project:
        return {INDEX_STUB: index_stub(bindings, connectors, streamed)}
    return {INDEX_STUB: index_stub(bindings, connectors, streamed),
            CONFIG_CLASS_STUB: config_classes_stub(bindings, connectors)}


def write(configs_dir: Path, connectors: dict[str, str], is_project: bool = False,
          streamed: frozenset[str] = frozenset()) -> list[str]:
    """Writes the stubs of CONFIGS_DIR's index, when it has one; their names, relative to CONFIGS_DIR. STREAMED
    names the connectors whose streams module the tree holds (``streamed``)."""
    texts = _texts(configs_dir, connectors, is_project, streamed)
    for name, text in texts.items():
        (Path(configs_dir) / name).write_text(text, encoding="utf-8")
    return list(texts)


def in_line(configs_dir: Path, connectors: dict[str, str], is_project: bool = False,
            streamed: frozenset[str] = frozenset()) -> bool:
    """Whether CONFIGS_DIR holds the stubs its index, CONNECTORS and STREAMED give (a tree from before them has
    none)."""
    for name, text in _texts(configs_dir, connectors, is_project, streamed).items():
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
