# Written by corvel-generate from the index beside it, for type checkers; do not edit.
from pathlib import Path

from pydantic import BaseModel

def config_class(connector_name: str, tree: str | Path | None = None) -> type[BaseModel]: ...
