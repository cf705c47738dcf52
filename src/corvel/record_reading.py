"""A stream's records read typed: ``corvel.records(result, UsersRecord)`` yields ``UsersRecord``s.

A record class comes from a tree's streams module (``<tree>/streams/source_faker.py``), which names its
connector and version (``CONNECTOR``, ``VERSION``) and maps each stream to its class (``RECORDS``); the class
alone says which stream of a read to take. Each record is validated as it is read: one that does not fit
its class raises ``RecordMismatch``, never dropped. airbyte is not imported here, nor pydantic before a
record is read.
"""

from __future__ import annotations

import re
import sys
from collections.abc import Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any, TypeVar, cast

from corvel.errors import CorvelError

if TYPE_CHECKING:
    from pydantic import BaseModel

RecordT = TypeVar("RecordT", bound="BaseModel")
AIRBYTE_COLUMNS = "_airbyte_"  # the prefix of the columns airbyte adds to every record it stores


class RecordMismatch(CorvelError):
    """A record does not fit its stream's record class; the message names where and why, not its values."""


def records(source: Mapping[str, Iterable[Mapping[str, Any]]] | Iterable[Mapping[str, Any]],
            record_class: type[RecordT]) -> Iterator[RecordT]:
    """The records of RECORD_CLASS's stream in SOURCE, each validated into RECORD_CLASS.

    SOURCE is airbyte's ``ReadResult`` (or any mapping of stream names to records), of which the class's
    stream is taken, or the stream's records themselves: an airbyte ``Dataset``/``CachedDataset`` or any
    iterable of dicts. airbyte's own columns (``_airbyte_*``) are left out.
    """
    connector, version, stream = _stream_of(record_class)
    if isinstance(source, Mapping):  # a read, by stream: records are not mappings of their own
        read = cast("Mapping[str, Iterable[Mapping[str, Any]]]", source)
        if stream not in read:
            raise CorvelError(f"the read holds no stream {stream!r} of {connector} (it holds: "
                              f"{', '.join(read) or 'none'}); read it: get_source(config, streams=[..., {stream!r}])")
        source = read[stream]
    return _validated(source, record_class, f"{connector} {version}, stream {stream}")


def _stream_of(record_class: type[BaseModel]) -> tuple[str, str, str]:
    """The connector, version and stream of RECORD_CLASS, as its streams module names them."""
    module = sys.modules.get(record_class.__module__)
    streams = getattr(module, "RECORDS", None)
    found = [name for name, cls in streams.items() if cls is record_class] if isinstance(streams, dict) else []
    if not found:
        raise TypeError(f"expected a record class of a generated streams module (such as UsersRecord from "
                        f"<tree>.streams.source_faker), got {record_class.__qualname__}")
    return str(getattr(module, "CONNECTOR", "?")), str(getattr(module, "VERSION", "?")), found[0]


def _validated(rows: Iterable[Mapping[str, Any]], record_class: type[RecordT], where: str) -> Iterator[RecordT]:
    from pydantic import ValidationError

    declared = _declared_by_column(record_class)
    for position, row in enumerate(rows):
        record: dict[str, Any] = {}
        for key, value in row.items():
            if not key.startswith(AIRBYTE_COLUMNS):
                name = declared.get(key, key)
                record[key if name in row else name] = value  # a member the record also has as declared stays apart
        try:
            yield record_class.model_validate(record)
        except ValidationError as error:
            reasons = "; ".join(f"{_path(e['loc'])}: {e['msg']}" for e in error.errors())
            # pydantic's own text shows the record's values, which may be secrets: only where and why is said
            raise RecordMismatch(f"{where}: record {position} does not fit {record_class.__name__}: "
                                 f"{reasons}") from None


def _declared_by_column(record_class: type[BaseModel]) -> dict[str, str]:
    """RECORD_CLASS's members as a record names them, by the column name airbyte's caches store them under."""
    names = [field.alias or name for name, field in record_class.model_fields.items()]
    return {_column(name): name for name in names}


def _column(name: str) -> str:
    """NAME as airbyte's caches spell a column: lower case, a character but a letter or digit an underscore, an
    underscore before a leading digit."""
    column = re.sub(r"[^a-z0-9]", "_", name.lower())
    return f"_{column}" if column[:1].isdigit() else column


def _path(location: tuple[int | str, ...]) -> str:
    """A member's path as pydantic locates it: ``address.city``, ``tags[2]``; the record itself is ``(record)``."""
    text = "".join(f"[{part}]" if isinstance(part, int) else f".{part}" for part in location).lstrip(".")
    return text or "(record)"
