"""config_class's type for a tree without connectors; read by type checkers only, never imported.

corvel-generate writes ``_config_classes.pyi`` beside it, with one overload per
connector of the tree, which checkers read in its place. The wheel ships this
file and not the stub, so reinstalling corvel leaves a generated tree typed.
"""

from pathlib import Path

from pydantic import BaseModel


def config_class(connector_name: str, tree: str | Path | None = None) -> type[BaseModel]: ...
