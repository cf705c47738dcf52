"""Typed pydantic v2 models of airbyte connector configurations.

Importing this package installs the finders of ``corvel.compat``, which give
airbyte's registry module the functions the generator module imports from it,
on every supported airbyte release, and serve the Databricks cache modules
that the generated index imports and airbyte lacks; and those of
``corvel.model_loading``, which give the generated model modules corvel's
behaviour as they are loaded. Nothing heavy is imported here: airbyte is
loaded only when it is imported.

The typed front door to airbyte, ``config_class``, ``to_airbyte_config``,
``get_source`` and ``get_destination``, lives in ``corvel.configs`` and is
loaded at first use; so is ``records``, a stream's records read typed
(``corvel.records``). ``corvel.__version__`` is the installed distribution's
version (``corvel-generate --version`` shows it with airbyte's and the
generator's).
"""

from typing import TYPE_CHECKING

from corvel import compat, model_loading
from corvel.compat import DatabricksModuleFinder as DatabricksModuleFinder

if TYPE_CHECKING:  # checkers see the front door's own types; at run time it is loaded at first use
    from corvel import connector_configs as connector_configs
    from corvel.configs import ConnectorSpecWarning as ConnectorSpecWarning
    from corvel.configs import get_destination as get_destination
    from corvel.configs import get_source as get_source
    from corvel.configs import to_airbyte_config as to_airbyte_config

    # config_class with one overload per connector of the installed tree (written by corvel-generate)
    from corvel.connector_configs._config_classes import config_class as config_class
    from corvel.errors import CorvelError as CorvelError
    from corvel.model_behaviour import UndeclaredMemberWarning as UndeclaredMemberWarning
    from corvel.record_reading import RecordMismatch as RecordMismatch
    from corvel.record_reading import records as records

compat.install_finders()
model_loading.install_finders()  # first on sys.meta_path, ahead of the registry module's finder

_FRONT_DOOR = ("config_class", "to_airbyte_config", "get_source", "get_destination", "ConnectorSpecWarning")


def __getattr__(name):
    if name in _FRONT_DOOR:
        from corvel import configs

        return getattr(configs, name)
    if name == "CorvelError":  # the base of every failure corvel raises
        from corvel.errors import CorvelError

        return CorvelError
    if name == "UndeclaredMemberWarning":  # a configuration member its schema does not declare
        from corvel.model_behaviour import UndeclaredMemberWarning

        return UndeclaredMemberWarning
    if name in ("records", "RecordMismatch"):  # a stream's records read typed
        from corvel import record_reading

        return getattr(record_reading, name)
    if name == "__version__":
        from importlib.metadata import version

        return version("corvel")
    if name == "connector_configs":  # the installed tree's index, unless a tree was loaded before
        import importlib

        return importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted([*globals(), *_FRONT_DOOR, "CorvelError", "UndeclaredMemberWarning", "records", "RecordMismatch",
                   "__version__"])
