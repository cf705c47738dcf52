"""What an installed corvel is and where it may write: the versions a bug
report needs, and whether a run can write the tree it would write by default.

Nothing here imports airbyte or the generator module: the versions come from
the installed distributions' metadata (corvel's own from pyproject.toml, by
way of the metadata the build wrote).
"""

from __future__ import annotations

import argparse
import platform
import sys
import tempfile
from importlib import metadata
from pathlib import Path

from corvel.tree import Tree

# The distributions whose versions decide what a tree holds, in the order they are shown.
DISTRIBUTIONS = ("corvel", "airbyte", "datamodel-code-generator", "pydantic")
NOT_INSTALLED = "not installed"


def versions() -> dict[str, str]:
    """corvel's version, those of the packages it generates with, and the Python it runs on."""
    found = {}
    for name in DISTRIBUTIONS:
        try:
            found[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            found[name] = NOT_INSTALLED
    found["python"] = platform.python_version()
    return found


def version_text() -> str:
    """``corvel-generate --version``: one line per version, the interpreter's with its path."""
    lines = [f"{name} {version}" for name, version in versions().items() if name != "python"]
    lines.append(f"Python {platform.python_version()} ({platform.python_implementation()}, {sys.executable})")
    return "\n".join(lines)


class VersionAction(argparse.Action):
    """``--version``: the versions are read when asked for, not at every run."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser, namespace, values, option_string=None):
        sys.stdout.write(version_text() + "\n")  # on standard output, as argparse's own version action does
        parser.exit()


def write_problem(configs_dir: Path, way_out: str = "write it to a directory of your own with --output-dir DIR"
                  ) -> str | None:
    """Why a run could not write the tree in ``configs_dir`` (connector_configs/), with WAY_OUT, or None when it
    can.

    Each directory the run writes into (connector_configs/, its jsonschema/ and
    model/, or the nearest one that exists where they do not yet) is tried with
    an unnamed temporary file, which the system takes away when it is closed:
    the probe leaves nothing behind, and it sees what a write would see (a
    read-only file system, permissions, an immutable directory), whoever runs it.
    """
    for directory in (configs_dir, *Tree(configs_dir).parts):
        existing = directory
        while not existing.exists() and existing.parent != existing:
            existing = existing.parent
        try:
            with tempfile.TemporaryFile(dir=existing):
                pass
        except OSError as error:
            return f"cannot write the tree in {existing} ({error.strerror or error}); {way_out}"
    return None
