"""``python -m corvel.demo``: generate models from the bundled registry and use them.

Runs ``corvel-generate`` for the default connectors into ./demo-out (the
installed package is left alone), imports the generated index from there,
shows every configuration class with its fields, and validates one good and
one bad configuration.
"""

from __future__ import annotations

import importlib.util
import os
import sys
import types
import typing
from pathlib import Path
from types import ModuleType

OUTPUT_DIR = Path("demo-out")


def import_tree(root: Path) -> ModuleType:
    """Imports ROOT/connector_configs as the package ``corvel.connector_configs``.

    The index imports its models as ``corvel.connector_configs.model.*``, so
    the tree is loaded under that name; an earlier tree's modules are
    dropped first.
    """
    import corvel

    package_dir = Path(root) / "connector_configs"
    forget_tree()
    spec = importlib.util.spec_from_file_location(
        "corvel.connector_configs", package_dir / "__init__.py", submodule_search_locations=[str(package_dir)]
    )
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    try:
        spec.loader.exec_module(module)
    except BaseException:
        forget_tree()
        raise
    corvel.connector_configs = module
    return module


def forget_tree() -> None:
    """Drops ``corvel.connector_configs`` and its submodules from this interpreter."""
    import corvel

    for name in [n for n in sys.modules if n == "corvel.connector_configs" or n.startswith("corvel.connector_configs.")]:
        del sys.modules[name]
    vars(corvel).pop("connector_configs", None)


def describe(annotation: typing.Any) -> str:
    """A short reading of a generated field type: root models are unwrapped."""
    from pydantic import BaseModel, RootModel

    origin = typing.get_origin(annotation)
    if origin is typing.Annotated:
        return describe(typing.get_args(annotation)[0])
    if origin in (typing.Union, types.UnionType):
        return " | ".join(describe(arg) for arg in typing.get_args(annotation))
    if origin is typing.Literal:
        return " | ".join(repr(value) for value in typing.get_args(annotation))
    if origin is not None:
        inner = ", ".join(describe(arg) for arg in typing.get_args(annotation))
        return f"{getattr(origin, '__name__', origin)}[{inner}]"
    if isinstance(annotation, type) and issubclass(annotation, RootModel):
        return describe(annotation.model_fields["root"].annotation)
    if isinstance(annotation, type) and issubclass(annotation, BaseModel):
        return annotation.__name__
    if annotation is type(None):
        return "None"
    return getattr(annotation, "__name__", repr(annotation))


def show_class(console, cls) -> None:
    from pydantic_core import PydanticUndefined
    from rich.table import Table
    from rich.text import Text

    table = Table("field", "type", "default", title=f"{cls.__name__}  ({cls.__module__})", title_justify="left")
    for name, info in cls.model_fields.items():
        if info.is_required():
            default = "required"
        elif info.default is PydanticUndefined:
            default = "(factory)"
        else:
            default = repr(info.default)
        table.add_row(Text(name), Text(describe(info.annotation)), Text(default))
    console.print(table)


def main() -> int:
    os.environ.setdefault("DO_NOT_TRACK", "1")
    from pydantic import ValidationError
    from rich.console import Console
    from rich.rule import Rule

    from corvel import cli

    console = Console()
    console.print(Rule("corvel-generate on the bundled registry"))
    status = cli.main(["--registry", str(cli.BUNDLED_REGISTRY), "--output-dir", str(OUTPUT_DIR)])
    if status != 0:
        console.print(f"corvel-generate failed with status {status}", markup=False)
        return status

    index = import_tree(OUTPUT_DIR.resolve())
    console.print(Rule(f"classes of the generated index ({OUTPUT_DIR}/connector_configs/__init__.py)"))
    configs = [
        value
        for name, value in vars(index).items()
        if name.endswith("Config") and isinstance(value, type) and value.__module__.startswith("corvel.connector_configs.model.")
    ]
    for cls in configs:
        show_class(console, cls)
    modules = [name for name, value in vars(index).items() if isinstance(value, ModuleType) and name[0].isupper()]
    from airbyte.shared.sql_processor import SqlConfig

    caches = [name for name, value in vars(index).items() if isinstance(value, type) and issubclass(value, SqlConfig)]
    console.print(f"Generated modules: {', '.join(modules)}", markup=False, soft_wrap=True)
    console.print(f"Cache classes: {', '.join(caches)}", markup=False, soft_wrap=True)
    console.print(f"Also: {index.SourceManifestConfig.__name__} (corvel.connectors)", markup=False)

    console.print(Rule("a configuration that validates"))
    good = {
        "dataset_name": "covid_epidemiology",
        "format": "csv",
        "url": "https://storage.googleapis.com/covid19-open-data/v2/latest/epidemiology.csv",
        "provider": {"storage": "HTTPS", "user_agent": True},
    }
    config = index.SourceFileConfig.model_validate(good)
    console.print(f"SourceFileConfig.model_validate({good!r})", markup=False, soft_wrap=True)
    console.print(config.model_dump_json(indent=2, exclude_none=True), markup=False, soft_wrap=True)

    console.print(Rule("a configuration that is rejected"))
    bad = {"host": "sftp.example.com", "port": "twenty-two", "username": "airbyte", "destination_path": "/json_data"}
    console.print(f"DestinationSftpJsonConfig.model_validate({bad!r})", markup=False, soft_wrap=True)
    try:
        index.DestinationSftpJsonConfig.model_validate(bad)
    except ValidationError as error:
        console.print(str(error), markup=False, soft_wrap=True)
    else:
        console.print("unexpectedly accepted", markup=False)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
