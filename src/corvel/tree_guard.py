"""Whether a run may write a tree's package directory: it holds nothing corvel did not write, and it can be
written.

Both are asked before the registry is read and before anything is generated, so a refusal costs the user no
wait and changes nothing.  corvel's own files are those of its layout (``corvel.tree``): the lock, the
``jsonschema/``, ``model/`` and ``manifests/`` folders (a run writes there only files named after the
connectors it generates, and leaves the rest alone), a run's staging and a lock a stopped run left half-written, and the index
and its stubs, which are told by their first lines: the generator module's index starts with its
"auto-generated file" header (so a tree written before there were locks is corvel's too), a project's index and
the stubs name corvel-generate (or are empty).  Anything else, an empty ``__init__.py`` included (it makes
the user's package), is the user's.
"""

from __future__ import annotations

from pathlib import Path

from corvel.commit import STAGING
from corvel.index_stubs import CONFIG_CLASS_STUB
from corvel.index_stubs import FILES as STUB_FILES
from corvel.installation import write_problem
from corvel.tree import INDEX, JSONSCHEMA, LOCK_NAME, MANIFESTS, MODEL, STREAMS, Tree

# the names of corvel's layout, with the overloads module the installed package ships for a tree without connectors
_LAYOUT = {LOCK_NAME, STAGING, JSONSCHEMA, MODEL, MANIFESTS, STREAMS, "__pycache__", Path(CONFIG_CLASS_STUB).stem + ".py"}
_HALF_WRITTEN_LOCK = ".tmp-" + LOCK_NAME
_MODULE_INDEX_HEADER = "\n# \n# *** this is an auto-generated file \n"
_WRITTEN_BY = "written by corvel-generate"  # in the first line of a project's index and of the stubs
_NAMED = 5  # foreign files named in the message; more are counted


def refusal(tree: Tree, output_dir: bool) -> str | None:
    """Why a run must not write TREE (its directory holds files corvel did not write, or cannot be written),
    with what to do; None when it may. OUTPUT_DIR: the user gave the tree's root with --output-dir. The
    installed corvel package's tree is corvel's own, and only asked whether it can be written."""
    top_level = tree.package is not None and "." not in tree.package
    if top_level:
        way_out = f"name a package inside it (package = \"{tree.package}.connector_configs\" in [tool.corvel])"
    elif tree.is_project:
        way_out = "name another package in [tool.corvel] (or --package)"
    elif output_dir:
        way_out = f"give --output-dir a directory of its own, not {tree.root}"
    else:
        return write_problem(tree.directory)
    if foreign := foreign_files(tree.directory):
        named = ", ".join(foreign[:_NAMED]) + (f" and {len(foreign) - _NAMED} more" if len(foreign) > _NAMED else "")
        whose = "the project's top-level package, " if top_level else ""
        return (f"{tree.directory} ({whose}where the tree would be written) holds files corvel did not write "
                f"({named}); nothing was written: {way_out}, or move them out")
    return write_problem(tree.directory, way_out="make it writable, or " + way_out)


def foreign_files(directory: Path) -> list[str]:
    """The names in DIRECTORY that are not of corvel's tree, sorted; none when it does not exist."""
    if not directory.is_dir():
        return []
    return sorted(path.name + ("/" if path.is_dir() else "") for path in directory.iterdir() if not _corvels(path))


def _corvels(path: Path) -> bool:
    if path.name in _LAYOUT or path.name.startswith(_HALF_WRITTEN_LOCK):
        return True
    if path.name not in (INDEX, *STUB_FILES) or not path.is_file():
        return False
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            head = file.read(200)
    except OSError:  # unreadable: not known to be corvel's, so not written over
        return False
    if path.name in STUB_FILES and not head:  # what a run writes beside an index it cannot read
        return True
    return head.startswith(_MODULE_INDEX_HEADER) or _WRITTEN_BY in head.partition("\n")[0].lower()
