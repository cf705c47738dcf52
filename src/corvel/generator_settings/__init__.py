"""The generator's settings for every run corvel starts.

``datamodel-codegen`` reads a ``[tool.datamodel-codegen]`` table from the
``pyproject.toml`` of its working directory or the nearest directory above
it. corvel runs it in this package's directory, whose ``pyproject.toml``
holds corvel's settings, so the user's own table never reaches it. A direct
call of the generator module from Python gets the same with
``with generator_settings(): ...``.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import tomllib
from pathlib import Path

DIRECTORY = Path(__file__).resolve().parent
SETTINGS_FILE = DIRECTORY / "pyproject.toml"
FORMATTER_FILE = DIRECTORY / "formatter.py"


def directory() -> str:
    """The working directory every generator run of corvel's has."""
    return str(DIRECTORY)


def fingerprint() -> str:
    """A digest of what in corvel's settings shapes the generated models: the table as read and the
    formatter's code (a comment in the settings file changes nothing)."""
    with SETTINGS_FILE.open("rb") as file:
        table = tomllib.load(file)
    digest = hashlib.sha256(json.dumps(table, sort_keys=True).encode())
    digest.update(FORMATTER_FILE.read_bytes())
    return digest.hexdigest()


@contextlib.contextmanager
def generator_settings():
    """Runs the block in the settings' directory, so the generator runs it starts use corvel's settings."""
    with contextlib.chdir(DIRECTORY):
        yield
