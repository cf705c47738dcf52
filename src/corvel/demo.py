"""``python -m corvel.demo``: generate models from the bundled registry and use them.

Runs ``corvel-generate`` for the default connectors and source-faker into
./demo-out (the installed package is left alone), imports the generated index
from there, shows every configuration class with its fields, validates one
good and one bad configuration, and ends with a real sync: a typed
source-faker configuration read into the index's DuckDB cache.
"""

from __future__ import annotations

import os
import sys
import time
import types
import typing
from pathlib import Path
from types import ModuleType

from corvel.configs import import_tree
from corvel.registry import BUNDLED, BUNDLED_REGISTRY, REGISTRY_VARIABLE

OUTPUT_DIR = Path("demo-out")
SYNC_CONNECTOR = "source-faker"
SYNC_COUNT = 25


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

    # the bundled registry for corvel-generate and for airbyte, which looks up
    # source-faker's PyPI package in it before installing
    os.environ[REGISTRY_VARIABLE] = str(BUNDLED_REGISTRY)
    console = Console()
    console.print(Rule("corvel-generate on the bundled registry"))
    names = [*cli.DEFAULT_CONNECTORS, SYNC_CONNECTOR]
    status = cli.main(["--registry", BUNDLED, "--output-dir", str(OUTPUT_DIR), *names])
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
    from corvel.compat import SqlConfig

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
    return sync(console, index)


def registry_tag(connector_name: str) -> str:
    """The version the bundled registry gives CONNECTOR_NAME: the one installed and run."""
    import json

    document = json.loads(BUNDLED_REGISTRY.read_text(encoding="utf-8"))
    for entry in document["sources"] + document["destinations"]:
        if entry["dockerRepository"] == f"airbyte/{connector_name}":
            return entry["dockerImageTag"]
    raise LookupError(f"{connector_name} is not in {BUNDLED_REGISTRY}")


def sync(console, index: ModuleType) -> int:
    """A typed source-faker configuration goes through airbyte into the index's DuckDB cache."""
    from airbyte.exceptions import AirbyteConnectorInstallationError
    from rich.rule import Rule
    from rich.table import Table
    from rich.text import Text

    import corvel

    console.print(Rule(f"a typed configuration runs {SYNC_CONNECTOR} through airbyte"))
    config_class = corvel.config_class(SYNC_CONNECTOR, tree=OUTPUT_DIR)
    # the class is read from the demo's tree at run time: checkers know it only as a BaseModel, which takes no
    # streams; its stub, which names them, is the user's when they import it from the index
    config: typing.Any = config_class(count=SYNC_COUNT, seed=7, parallelism=1)
    console.print(f"{config_class.__name__}(count={SYNC_COUNT}, seed=7, parallelism=1)", markup=False)
    console.print(f"corvel.to_airbyte_config(config) = {corvel.to_airbyte_config(config)!r}", markup=False, soft_wrap=True)
    version = registry_tag(SYNC_CONNECTOR)
    started = time.monotonic()
    try:
        source = corvel.get_source(config, version=version, streams=["users"])
    except AirbyteConnectorInstallationError as error:
        reason = str(error).splitlines()[0]
        console.print(f"{SYNC_CONNECTOR} {version} could not be installed from PyPI ({reason}); the sync is skipped.", markup=False, soft_wrap=True)
        return 0
    console.print(f"{SYNC_CONNECTOR} {version} ready in {time.monotonic() - started:.1f} s", markup=False)
    source.check()
    console.print("check(): the connection succeeded", markup=False)
    cache = index.DestinationDuckDB(db_path=str(OUTPUT_DIR / "demo.duckdb"))
    result = source.read(cache=cache, force_full_refresh=True)
    users = result["users"].to_pandas()
    console.print(f"read(): {len(users)} rows of the users stream in {cache.db_path}", markup=False)
    columns = [c for c in ("id", "name", "email", "age", "created_at") if c in users.columns]
    table = Table(*columns, title="the first rows", title_justify="left")
    for row in users[columns].head(5).itertuples(index=False):
        table.add_row(*(Text(str(value)) for value in row))
    console.print(table)
    return 0 if len(users) == SYNC_COUNT else 1


if __name__ == "__main__":
    sys.exit(main())
