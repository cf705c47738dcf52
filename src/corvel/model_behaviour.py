"""What corvel gives the generated configuration classes when it loads them.

The generator writes each connector's model module as it reads the schema,
and the files stay as it writes them. When a model module of a generated
tree is imported (through the index, ``config_class`` or ``import_tree``),
corvel adjusts its classes from the connector's own schema, the tree's
``jsonschema/<versioned>.json``:

- An object the schema leaves open (no ``"additionalProperties": false``)
  keeps the members its class does not declare, so they reach the
  connector. The generator allows them only where the schema says ``true``
  (or gives a schema, against which its class checks them).
- A default that its own member rejects is no default: the member is left
  unset and the connector applies its own, instead of every configuration
  that leaves it out failing on a value nobody gave (source-postgres gives a
  ``oneOf`` of objects the default ``"CDC"``), or the connector refusing a
  value it was sent (source-survey-sparrow's default fits both options of its
  ``oneOf``, where JSON Schema wants exactly one). The member's own JSON
  Schema node judges, as the connector validates (formats unchecked), and so
  does the member's pydantic annotation.
- Members the schema marks secret (``airbyte_secret``, ``writeOnly``,
  ``"format": "password"``, at any depth) are masked in ``repr()``/``str()``,
  in validation errors (including inputs shown for another member's error)
  however the class is validated, and in dumps as pydantic dumps a
  ``SecretStr``; ``to_airbyte_config`` dumps them in the clear.
  A class that cannot be paired with a node of the schema shows none of the
  values it holds, and a ``ModelBehaviourWarning`` names it.
- A formatted string (``"format": "uri"``, ``"date"``, ...) is the text the
  user gives, sent as given; its format is checked when the class is built,
  unless the member has a ``pattern``: that is the spelling the connector
  asks for, and it is checked instead.
- A member the schema does not declare, in an object that declares members
  and leaves itself open, warns (``UndeclaredMemberWarning``, naming the
  closest declared member) and is sent as given.
- Validation errors name members by their path in the configuration, and a
  value that fits none of a ``oneOf``'s options is one error naming the
  option it came closest to.
"""

from __future__ import annotations

import contextvars
import datetime
import difflib
import ipaddress
import json
import re
import sys
import types
import typing
import uuid
import warnings
import weakref
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from pydantic import AfterValidator, BaseModel, BeforeValidator, RootModel, ValidationError
from pydantic_core import CoreSchema, PydanticCustomError, PydanticUndefined

from corvel.tree import Tree

MASK = "**********"


class ModelBehaviourWarning(UserWarning):
    """corvel could not give a generated module's classes all of their behaviour (the message says which)."""


class UndeclaredMemberWarning(UserWarning):
    """A configuration holds a member its schema does not declare (a misspelling, often); it is sent as given."""


class _Mask:
    """Stands in for a secret value where a configuration is shown."""

    def __repr__(self):
        return MASK


_MASKED = _Mask()


class _Connector:
    """The connector's whole schema, against which $refs resolve and defaults are judged."""

    def __init__(self, root: dict):
        self.root = root
        self._validator = None  # built at the first default: most classes have none to judge

    def accepts(self, node: Any, value: Any) -> bool:
        """Whether NODE, a node of this schema, accepts VALUE as the connector's own validation would."""
        # imported here: only a module with defaults needs them (airbyte has imported them by then)
        from jsonschema.exceptions import UnknownType
        from jsonschema.validators import validator_for
        from referencing import Registry
        from referencing.exceptions import Unresolvable

        if self._validator is None:
            # the dialect the schema names (airbyte's specs: draft 7), no format checks, as the connector
            # validates; an empty registry: a $ref elsewhere is never fetched while a module loads
            self._validator = validator_for(self.root)(self.root, registry=Registry())
        try:
            return self._validator.evolve(schema=node).is_valid(value)
        except (UnknownType, Unresolvable, re.error, TypeError, ValueError):
            # a node no validator can apply (a $ref to nowhere, a pattern re refuses, a keyword of the wrong type):
            # it tells nothing of the default, which the class's own validator still judges (_rejects_own_default)
            return True


@dataclass
class _ClassSchema:
    """A generated class and the schema node it stands for."""

    node: dict
    connector: _Connector
    members: dict[str, dict] = field(default_factory=dict)  # field name -> the member's schema node
    holds: set[type] = field(default_factory=set)  # the generated classes its members are made of

    @property
    def root(self) -> dict:
        return self.connector.root


# class -> what it was adjusted from; weak so that a forgotten tree's classes go
_adjusted: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()
# the classes no schema node was found for: everything they hold is masked
_adjusted_blindly: weakref.WeakSet = weakref.WeakSet()
# configuration class -> the model module file it was loaded from, whichever name the module had then: the
# tree (and its lock) a configuration came from stays known when another tree takes the package's name
_configuration_files: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()


def configuration_file(cls: Any) -> Path | None:
    """The model module file of a generated configuration class; None for any other class."""
    try:
        return _configuration_files.get(cls)
    except TypeError:  # not weakly referable: no class of a model module
        return None


def schema_path(module_file: str) -> Path:
    """The schema file a model module was generated from, in the same tree."""
    model = Path(module_file)
    return Tree.of_model(model).schema(model.stem)


def adapt_module(module: types.ModuleType) -> None:
    """Gives the classes of a freshly run model module corvel's behaviour (see the module docstring)."""
    origin = getattr(module, "__file__", None)
    if not origin:
        return
    classes = _generated_classes(module)
    configuration = next((cls for cls in classes if "connector_name" in cls.model_fields), None)
    if configuration is not None:
        _configuration_files[configuration] = Path(origin).resolve()
    failure = ""
    try:
        schema = json.loads(schema_path(origin).read_text(encoding="utf-8"))
    except (OSError, ValueError) as error:
        schema, failure = None, f"its schema file cannot be read ({type(error).__name__}: {error})"
    if configuration is None:
        failure = "it has no configuration class (one with a connector_name member)"
    elif not isinstance(schema, dict):
        failure = failure or "its schema is no JSON object"
    else:
        try:
            _adapt_classes(configuration, schema)
        except Exception as error:  # noqa: BLE001 - one odd schema must not keep the whole index from importing
            failure = f"{type(error).__name__}: {error}"
    unpaired = [cls for cls in classes if cls not in _adjusted]
    for cls in unpaired:
        _mask_blindly(cls)
    if unpaired:
        warnings.warn(
            f"{module.__name__}: {', '.join(cls.__qualname__ for cls in unpaired)} could not be paired with a node "
            f"of the connector's schema{': ' + failure if failure else ''}; their values are masked wherever they are "
            "shown, and they keep the generator's behaviour otherwise",
            ModelBehaviourWarning,
            stacklevel=2,
        )


def _generated_classes(module: types.ModuleType) -> list[type]:
    """The model classes the module defines (not the RootModel[X] bases pydantic parametrizes for it)."""
    return [
        value
        for value in vars(module).values()
        if isinstance(value, type)
        and issubclass(value, BaseModel)
        and value.__module__ == module.__name__
        and value.__pydantic_generic_metadata__["origin"] is None
    ]


def _adapt_classes(configuration: type, schema: dict) -> None:
    walk = _Walk(schema)
    walk.model(configuration, schema)
    rebuilt: set[type] = set()
    # members before the classes that hold them: a class holds its members'
    # validators, so it is rebuilt after any of them was
    for cls in walk.order:
        found = walk.found[cls]
        if _paired(cls, found.node) and _adjust(cls, found, needs_rebuild=bool(found.holds & rebuilt)):
            rebuilt.add(cls)


def _resolve(node: Any, root: dict) -> Any:
    """NODE with local $refs ("#/definitions/x") followed."""
    seen = set()
    while isinstance(node, dict) and isinstance(node.get("$ref"), str) and node["$ref"].startswith("#"):
        reference = node["$ref"]
        if reference in seen:
            return {}
        seen.add(reference)
        target: Any = root
        for part in reference[1:].split("/")[1:] if reference != "#" else []:
            part = part.replace("~1", "/").replace("~0", "~")
            target = target.get(part) if isinstance(target, dict) else None
        node = target
    return node


def _listed(node: dict, root: dict, keyword: str) -> list[dict]:
    """The schemas NODE lists under KEYWORD, resolved; none where it lists no schemas."""
    listed = node.get(keyword)
    if not isinstance(listed, list):
        return []
    return [schema for schema in (_resolve(item, root) for item in listed) if isinstance(schema, dict)]


def _options(node: dict, root: dict) -> list[dict]:
    return _listed(node, root, "oneOf") or _listed(node, root, "anyOf")


def is_secret(node: Any) -> bool:
    """Whether a schema node marks its value secret, as airbyte reads it."""
    return isinstance(node, dict) and (
        node.get("airbyte_secret") is True or node.get("writeOnly") is True or node.get("format") == "password"
    )


class _Walk:
    """Pairs each generated class with the schema node it was generated from."""

    def __init__(self, root: dict):
        self.connector = _Connector(root)
        self.root = root
        self.found: dict[type, _ClassSchema] = {}
        self.order: list[type] = []
        self.holder: list[_ClassSchema] = []  # the classes being walked, innermost last

    def annotation(self, annotation: Any, node: Any) -> None:
        node = _resolve(node, self.root)
        if not isinstance(node, dict):
            return
        origin, args = typing.get_origin(annotation), typing.get_args(annotation)
        if origin is typing.Annotated:
            self.annotation(args[0], node)
        elif origin in (typing.Union, types.UnionType):
            members = [a for a in args if a is not type(None)]
            options = _options(node, self.root)
            # the generator keeps the options' order; where some were merged (two of one type), each member
            # takes the whole node, and an object model the option it was made from (model() finds it)
            pairs = zip(members, options) if options and len(options) == len(members) else ((m, node) for m in members)
            for member, option in pairs:
                self.annotation(member, option)
        elif origin in (list, tuple, set, frozenset):
            for item in args:
                if item is not Ellipsis:
                    self.annotation(item, node.get("items"))
        elif origin is dict and len(args) == 2:
            self.annotation(args[1], node.get("additionalProperties"))
        elif isinstance(annotation, type) and issubclass(annotation, BaseModel):
            self.model(annotation, node)

    def model(self, cls: type, node: dict) -> None:
        if self.holder:
            self.holder[-1].holds.add(cls)
        if cls in self.found:
            return
        if not issubclass(cls, RootModel) and _member_names(cls) != _property_names(node):
            # an option's class met with the oneOf itself: a merged union's member, or the class a root model
            # wraps where a oneOf has a single option
            names = _member_names(cls)
            node = next((option for option in _options(node, self.root) if _property_names(option) == names), node)
        found = self.found[cls] = _ClassSchema(node, self.connector)
        self.holder.append(found)
        if issubclass(cls, RootModel):
            self.annotation(cls.model_fields["root"].annotation, node)
        else:
            properties = declared if isinstance(declared := node.get("properties"), dict) else {}
            for name, info in cls.model_fields.items():
                member = _resolve(properties.get(info.alias or name), self.root)
                if isinstance(member, dict):
                    found.members[name] = member
                    self.annotation(info.annotation, member)
        self.holder.pop()
        self.order.append(cls)


def _member_names(cls: type) -> set[str]:
    return {info.alias or name for name, info in cls.model_fields.items()}


def _property_names(node: dict) -> set[str]:
    properties = node.get("properties")
    return set(properties) if isinstance(properties, dict) else set()


def _paired(cls: type, node: dict) -> bool:
    """Whether NODE can be the node CLS was made from: a root model takes any; an object model's members
    are all properties of NODE (connector_name too: the schema export adds it to the configuration)."""
    return issubclass(cls, RootModel) or _member_names(cls) <= _property_names(node)


def _adjust(cls: type, found: _ClassSchema, needs_rebuild: bool) -> bool:
    """Gives CLS its behaviour; whether its validator was rebuilt."""
    rebuild = needs_rebuild
    if not issubclass(cls, RootModel):
        additional = found.node.get("additionalProperties")
        if additional is not False and cls.model_config.get("extra") != "allow":
            cls.model_config["extra"] = "allow"
            rebuild = True
        for name, info in cls.model_fields.items():
            if _rejects_own_default(cls, name, info, found):
                info.default, info.validate_default = None, None
                rebuild = True
            if _check_format(info, found.members.get(name)):
                rebuild = True
    if rebuild and cls.__pydantic_complete__:  # a class built at first use is built with the changes then
        cls.model_rebuild(force=True)
    _adjusted[cls] = found
    _show_masked(cls, lambda model, name, value: _masked_value(value, _node_of(found, model, name), found.root))
    _guard_secrets(cls)
    return rebuild


def _rejects_own_default(cls: type, name: str, info: Any, found: _ClassSchema) -> bool:
    """Whether member NAME's default is refused by its JSON Schema node or by the class's own validator."""
    default = info.default
    if default is PydanticUndefined or default is None or info.default_factory is not None:
        return False
    node = found.members.get(name)
    if node is not None and not found.connector.accepts(node, default):
        return True
    try:  # the class's validator, not a new one: the member's annotation and constraints, already built
        cls.__pydantic_validator__.validate_assignment(cls.model_construct(), name, default)
    except ValidationError:
        return True
    return False


# -- formatted strings: the text the user gives, its format checked

_DATE = r"[0-9]{4}-[0-9]{2}-[0-9]{2}"
_TIME = r"[0-9]{2}:[0-9]{2}:[0-9]{2}(?:\.[0-9]+)?"
_OFFSET = r"(?:[Zz]|[+-][0-9]{2}:[0-9]{2})"
_LABEL = r"[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?"


def _date(text: str) -> None:
    if not re.fullmatch(_DATE, text):
        raise ValueError
    datetime.date.fromisoformat(text)


def _date_time(text: str) -> None:
    if not re.fullmatch(rf"{_DATE}[Tt ]{_TIME}{_OFFSET}", text):
        raise ValueError
    datetime.datetime.fromisoformat(text.replace("z", "Z").replace("t", "T"))


def _time(text: str) -> None:
    if not re.fullmatch(rf"{_TIME}{_OFFSET}?", text):
        raise ValueError
    datetime.time.fromisoformat(text.upper())


def _uri(text: str) -> None:
    from pydantic import AnyUrl, TypeAdapter

    TypeAdapter(AnyUrl).validate_python(text)


def _matches(pattern: str) -> Callable[[str], None]:
    def check(text: str) -> None:
        if not re.fullmatch(pattern, text):
            raise ValueError

    return check


def _parses(parse: Callable[[str], object]) -> Callable[[str], None]:
    def check(text: str) -> None:
        parse(text)

    return check


# format -> (what a valid text looks like, its check: raises ValueError for a text of another shape); a
# format not listed is a note, as in JSON Schema, and not checked
_FORMATS = {
    "date": ("a date, YYYY-MM-DD", _date),
    "date-time": ("a date and time with its offset, YYYY-MM-DDTHH:MM:SSZ", _date_time),
    "time": ("a time, HH:MM:SS", _time),
    "uri": ("an absolute URI, such as https://example.com/path", _uri),
    "email": ("an email address", _matches(r"[^@\s]+@[^@\s]+\.[^@\s]+")),
    "ipv4": ("an IPv4 address", _parses(ipaddress.IPv4Address)),
    "ipv6": ("an IPv6 address", _parses(ipaddress.IPv6Address)),
    "uuid": ("a UUID", _parses(uuid.UUID)),
    "hostname": ("a host name", _matches(rf"(?=.{{1,253}}$){_LABEL}(?:\.{_LABEL})*")),
    "regex": ("a regular expression", _parses(re.compile)),
}


_FORMAT_ERROR = "format"


def _check_format(info: Any, node: Any) -> bool:
    """Gives a str member whose schema names a format the check of its text; whether it did. A member with a
    pattern keeps that alone: it is the spelling the connector asks for, which may be another than the format's
    (a date as DD-MM-YYYY), and a member of another type was not made a text by its format."""
    if not isinstance(node, dict) or "pattern" in node or node.get("format") not in _FORMATS:
        return False
    if _members(info.annotation) != [str]:
        return False
    name = node["format"]
    shape, check = _FORMATS[name]

    def as_text(value: Any) -> Any:
        """A date or time object given where its text is asked for (as a parsed type was), as that text."""
        if isinstance(value, datetime.datetime):
            if name != "date-time" or value.utcoffset() is None:
                return value  # refused: the text needs the offset
            text = value.isoformat()
            return text.removesuffix("+00:00") + "Z" if value.utcoffset() == datetime.timedelta(0) else text
        if isinstance(value, datetime.date) and name == "date" or isinstance(value, datetime.time) and name == "time":
            return value.isoformat()
        return value

    def checked(text: Any) -> Any:
        if isinstance(text, str):
            try:
                check(text)
            except (ValueError, re.error, ValidationError):  # each check's way of saying the text is of another shape
                said = f"Input should be {shape} (format {name})"
                raise PydanticCustomError(_FORMAT_ERROR, typing.cast(typing.LiteralString, said)) from None
        return text

    info.metadata += [BeforeValidator(as_text), AfterValidator(checked)]  # around the str and its constraints
    return True


def _node_of(found: _ClassSchema, model: BaseModel, name: str) -> Any:
    """The schema node of what MODEL shows under NAME: a member's, a kept undeclared member's, a root's."""
    if isinstance(model, RootModel):
        return found.node
    return found.members.get(name, found.node.get("additionalProperties"))


def _show_masked(cls: type, masked) -> None:
    """repr() and str() of CLS's instances show MASKED(model, name, value) for each member."""
    original = cls.__repr_args__
    cls.__repr_args__ = lambda self: ((name, masked(self, name, value)) for name, value in original(self))


def _masked_value(value: Any, node: Any, root: dict) -> Any:
    node = _resolve(node, root)
    if value is None or not isinstance(node, dict):
        return value
    if is_secret(node):
        return _MASKED
    if isinstance(value, list):
        return [_masked_value(item, node.get("items"), root) for item in value]
    if not isinstance(value, BaseModel) and any(is_secret(option) for option in _options(node, root)):
        return _MASKED  # a plain value of a member one of whose options is secret ({"anyOf": [secret, null]})
    return value


def _mask_blindly(cls: type) -> None:
    """Masks every value CLS holds, but for those the schema fixes (a Literal member's), True, False and
    None; objects in it show what their own classes show. For a class whose schema node is unknown."""
    fixed = {name for name, info in cls.model_fields.items() if _fixed_by_schema(info.annotation)}
    _show_masked(cls, lambda model, name, value: value if name in fixed else _blind(value))
    _adjusted_blindly.add(cls)
    _guard_secrets(cls)


def _fixed_by_schema(annotation: Any) -> bool:
    """Whether an annotation admits only Literal values (and None)."""
    args = [a for a in typing.get_args(annotation) if a is not type(None)]
    if typing.get_origin(annotation) in (typing.Union, types.UnionType):
        return bool(args) and all(map(_fixed_by_schema, args))
    return typing.get_origin(annotation) is typing.Literal


def _blind(value: Any) -> Any:
    if value is None or isinstance(value, (bool, BaseModel)):
        return value
    if isinstance(value, (list, tuple)):
        return [_blind(item) for item in value]
    if isinstance(value, Mapping):
        return {key: _blind(item) for key, item in value.items()}
    return _MASKED


# -- validation errors and dumps with the secrets masked

# model_dump(context=SECRETS_IN_CLEAR) dumps the secrets' values: what the connector is sent
SECRETS_IN_CLEAR = {"corvel.secrets": "clear"}
_GUARDED = "corvel.masks_secrets"  # the metadata key of the schema that masks a class's secrets


def _guard_secrets(cls: type) -> None:
    """Masks the secrets in CLS's validation errors and dumps, however it is validated or dumped: its own
    entries, a TypeAdapter, a member of another model (pydantic builds that model's schema from CLS's)."""
    cls.__get_pydantic_core_schema__ = classmethod(_guarded_schema)
    if cls.__pydantic_complete__:  # built already: its schema is wrapped in place (a rebuild would cost more)
        from pydantic_core import SchemaSerializer, SchemaValidator

        config = _model_node(cls.__pydantic_core_schema__).get("config")  # its title names the class in errors
        schema = cls.__pydantic_core_schema__ = _guarded(cls, cls.__pydantic_core_schema__)
        cls.__pydantic_validator__ = SchemaValidator(schema, config)
        cls.__pydantic_serializer__ = SchemaSerializer(schema, config)


def _guarded_schema(cls: type, source: Any, handler: Any) -> CoreSchema:
    schema = handler(source)
    return schema if _model_node(schema).get("metadata", {}).get(_GUARDED) else _guarded(cls, schema)


def _model_node(schema: CoreSchema) -> CoreSchema:
    return schema["schema"] if schema["type"] == "definitions" else schema


def _guarded(cls: type, schema: CoreSchema) -> CoreSchema:
    """SCHEMA (CLS's) wrapped in a validator and a serializer that mask CLS's secrets."""
    from pydantic_core import core_schema

    if schema["type"] == "definitions":
        return {**schema, "schema": _guarded(cls, schema["schema"])}

    def validate(data, handler):
        data = _revealed(data)
        outermost = not _validating.get()  # the class the user validates: its errors and warnings are told whole
        token = _validating.set(True)
        try:
            model = handler(data)
        except ValidationError as error:
            told = _told(cls, data, error, outermost)
            if told is None:
                raise
        else:
            if outermost:
                _warn_undeclared(model)
            return model
        finally:
            _validating.reset(token)
        raise told  # outside the handler: the error that shows the secrets is not kept as its context

    validate.__name__ = cls.__name__  # the tag of the class's errors as an option of a union

    def dump(value, handler, info):
        dumped = handler(value)
        if info.context == SECRETS_IN_CLEAR:
            return dumped
        secrets = _secrets_of(cls, value)
        return _dumped_masked(dumped, secrets, info.mode_is_json()) if secrets else dumped

    return core_schema.no_info_wrap_validator_function(
        validate, schema, metadata={_GUARDED: True},
        serialization=core_schema.wrap_serializer_function_ser_schema(dump, info_arg=True),
    )


def _revealed(data: Any) -> Any:
    """DATA with the values of pydantic's Secret objects (a python dump's secrets) in their place."""
    from pydantic.types import _SecretBase

    if isinstance(data, _SecretBase):
        return data.get_secret_value()
    if isinstance(data, dict):
        return {key: _revealed(item) for key, item in data.items()}
    if isinstance(data, list):
        return [_revealed(item) for item in data]
    return data


def _dumped_masked(dumped: Any, secrets: set[str], json_mode: bool) -> Any:
    """DUMPED with each value that is a secret masked: the mask's text in a JSON dump, pydantic's Secret
    holding the value in a python one (as SecretStr dumps)."""
    from pydantic import Secret, SecretStr

    if isinstance(dumped, dict):
        return {key: _dumped_masked(item, secrets, json_mode) for key, item in dumped.items()}
    if isinstance(dumped, (list, tuple)):
        return [_dumped_masked(item, secrets, json_mode) for item in dumped]
    if isinstance(dumped, (str, int, float)) and not isinstance(dumped, bool) and str(dumped) in secrets:
        if json_mode:
            return MASK
        return SecretStr(dumped) if isinstance(dumped, str) else Secret(dumped)
    return dumped


def _secrets_of(cls: type, data: Any) -> set[str]:
    """The texts of the secrets DATA, given to or held by CLS, holds."""
    secrets: set[str] = set()
    found = next((_adjusted[base] for base in cls.__mro__ if base in _adjusted), None)
    if found is not None:
        _collect_secrets(data, found.node, found.root, secrets)
    elif any(base in _adjusted_blindly for base in cls.__mro__):
        secrets.update(_texts(data))  # no node to tell: every text is kept out
    secrets.discard("")
    return secrets


def _told(cls: type, data: Any, error: ValidationError, outermost: bool) -> ValidationError | None:
    """ERROR as the user is told it: with the secrets masked, and, from the class the user validates, in the
    configuration's words; None where it stays as it is."""
    secrets = _secrets_of(cls, data)
    lines = error.errors(include_url=False)
    told = _in_users_words(cls, lines, data, secrets) if outermost else lines
    return _rebuilt(error.title, told, secrets) if secrets or told != lines else None


def _collect_secrets(value: Any, node: Any, root: dict, secrets: set[str]) -> None:
    """Adds to SECRETS the text of every value VALUE holds where NODE's schema marks a secret."""
    node = _resolve(node, root)
    if not isinstance(node, dict):
        return
    if isinstance(value, RootModel):
        value = value.root
    if is_secret(node):
        for text in _texts(value):
            if text:
                secrets.add(text)
        return
    if isinstance(value, BaseModel):
        value = {**(value.__pydantic_extra__ or {}),
                 **{(info.alias or name): getattr(value, name) for name, info in type(value).model_fields.items()}}
    if isinstance(value, Mapping):
        for key, item in value.items():
            for member in _member_nodes(node, key, root):
                _collect_secrets(item, member, root, secrets)
    elif isinstance(value, (list, tuple)):
        for item in value:
            _collect_secrets(item, node.get("items"), root, secrets)
    else:
        for option in _options(node, root):
            _collect_secrets(value, option, root, secrets)


def _texts(value: Any):
    if isinstance(value, BaseModel):
        value = value.model_dump(context=SECRETS_IN_CLEAR)
    if isinstance(value, str):
        yield str(value)
    elif isinstance(value, Mapping):
        for item in value.values():
            yield from _texts(item)
    elif isinstance(value, (list, tuple)):
        for item in value:
            yield from _texts(item)
    elif isinstance(value, (int, float)) and not isinstance(value, bool):
        yield str(value)


def _member_nodes(node: dict, key: Any, root: dict, depth: int = 0):
    """The schema nodes of member KEY in NODE and in each of its options (whichever the value takes)."""
    properties = node.get("properties")
    if isinstance(properties, dict) and key in properties:
        yield properties[key]
    elif isinstance(node.get("additionalProperties"), dict):
        yield node["additionalProperties"]
    if depth < 8:
        for option in _options(node, root) + _listed(node, root, "allOf"):
            yield from _member_nodes(option, key, root, depth + 1)


def _masked(value: Any, secrets: set[str]) -> Any:
    if isinstance(value, RootModel):
        value = value.root
    if isinstance(value, str):
        for secret in sorted(secrets, key=len, reverse=True):
            value = value.replace(secret, MASK)
        return value
    if isinstance(value, BaseModel):
        return _masked(value.model_dump(by_alias=True, context=SECRETS_IN_CLEAR), secrets)
    if isinstance(value, Mapping):
        return {key: _masked(item, secrets) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_masked(item, secrets) for item in value]
    if isinstance(value, (int, float)) and not isinstance(value, bool) and str(value) in secrets:
        return MASK
    return value


def _rebuilt(title: str, lines: Sequence[Mapping[str, Any]], secrets: set[str]) -> ValidationError:
    """The error of LINES (pydantic's error dicts, or ours with a PydanticCustomError as type) with SECRETS masked."""
    details = []
    for line in lines:
        context = {key: _masked(value, secrets) for key, value in (line.get("ctx") or {}).items()}
        kind = line["type"]
        detail = {"type": kind, "loc": line["loc"], "input": _masked(line["input"], secrets)}
        if context and isinstance(kind, str):
            detail["ctx"] = context
        details.append(detail)
    try:
        return ValidationError.from_exception_data(title, details)
    except (KeyError, TypeError, ValueError):  # a type pydantic cannot remake from its name: keep its masked text
        for detail, line in zip(details, lines):
            if isinstance(detail["type"], str):
                # corvel's own texts hold no input; pydantic's may
                text = line["msg"] if detail["type"] in _OWN_ERRORS else _masked(line["msg"], secrets)
                detail["type"] = PydanticCustomError(detail["type"], text)
                detail.pop("ctx", None)
        return ValidationError.from_exception_data(title, details)


# -- errors and warnings in the configuration's words

_Line = dict[str, Any]  # an error as pydantic's errors() gives it, or ours, whose type is a PydanticCustomError
_Loc = tuple[Any, ...]
_NO_OPTION_FITS = "no_option_fits"
_OWN_ERRORS = frozenset({_FORMAT_ERROR, _NO_OPTION_FITS})

# set while a corvel class validates: the classes it holds leave the telling to it
_validating: contextvars.ContextVar[bool] = contextvars.ContextVar("corvel_validating", default=False)


def _members(annotation: Any) -> list[Any]:
    """What ANNOTATION admits but None: a union's members, RootModels and Annotated seen through."""
    while True:
        if typing.get_origin(annotation) is typing.Annotated:
            annotation = typing.get_args(annotation)[0]
        elif isinstance(annotation, type) and issubclass(annotation, RootModel):
            annotation = annotation.model_fields["root"].annotation
        else:
            break
    if typing.get_origin(annotation) in (typing.Union, types.UnionType):
        return [inner for member in typing.get_args(annotation) if member is not type(None)
                for inner in _members(member)]
    return [annotation]


def _field(cls: type, key: Any) -> tuple[str, Any] | None:
    """The member of CLS pydantic's loc segment KEY names (by its name or its alias): its alias and annotation."""
    for name, info in cls.model_fields.items():
        if key in (name, info.alias):
            return info.alias or name, info.annotation
    return None


def _in_users_words(cls: type, lines: Sequence[Mapping[str, Any]], data: Any, secrets: set[str]) -> list[_Line]:
    """LINES with each loc the path of the member in the configuration, and the errors of a value that fits
    none of a union's options told once, as the option it came closest to (its errors' texts with SECRETS
    masked)."""
    told: list[_Line | _Loc] = []
    unions: dict[_Loc, tuple[list[Any], dict[str | None, list[_Line]]]] = {}
    for line in lines:
        path, union = _path(cls, tuple(line["loc"]))
        if union is None:
            told.append({**line, "loc": path})
            continue
        members, tag, rest = union
        if path not in unions:
            unions[path] = members, {}
            told.append(path)  # its place among the lines
        unions[path][1].setdefault(tag, []).append({**line, "loc": rest})
    return [said for line in told for said in ([line] if isinstance(line, dict) else
                                               _union_errors(line, unions[line][0], unions[line][1], data, secrets))]


def _path(cls: type, loc: _Loc) -> tuple[_Loc, tuple[list[Any], str | None, _Loc] | None]:
    """LOC (pydantic's, from CLS) as the member's path, up to the first union it passes or ends at; that union's
    members, the tag of the option the error is from (None: of the whole union) and the rest of LOC, or None."""
    path: list[Any] = []
    annotation: Any = cls
    for position, segment in enumerate(loc):
        members = _members(annotation)
        if len(members) > 1:
            return tuple(path), (members, segment, loc[position + 1:])
        (annotation,) = members
        origin = typing.get_origin(annotation)
        is_model = isinstance(annotation, type) and issubclass(annotation, BaseModel)
        member = _field(annotation, segment) if is_model else None
        if member is not None:
            segment, annotation = member
        elif origin in (list, tuple, set, frozenset) or origin is dict:
            annotation = typing.get_args(annotation)[-1] if typing.get_args(annotation) else Any
        else:
            annotation = Any
        path.append(segment)
    members = _members(annotation)
    # an error of the union as a whole (a text where each option wants an object), which pydantic tells once
    return tuple(path), ((members, None, ()) if len(members) > 1 else None)


def _option_tag(member: Any) -> str:
    """pydantic's tag of a union member's errors (a class's is its validator's name, the class's)."""
    if isinstance(member, type) and issubclass(member, BaseModel):
        return f"function-wrap[{member.__name__}()]"
    return getattr(member, "__name__", str(member))


def _discriminator(member: Any) -> tuple[str, Any] | None:
    """The member of an option's class that names the option (a Literal of one value), and that value."""
    if isinstance(member, type) and issubclass(member, BaseModel):
        for name, info in member.model_fields.items():
            values = typing.get_args(info.annotation) if typing.get_origin(info.annotation) is typing.Literal else ()
            if len(values) == 1:
                return info.alias or name, values[0]
    return None


def _union_errors(path: _Loc, members: list[Any], by_tag: dict[str | None, list[_Line]], data: Any,
                  secrets: set[str]) -> list[_Line]:
    """The errors of a value at PATH that fits none of MEMBERS, BY_TAG holding each option's errors: those of
    the option its discriminator chose, at their paths; else one error naming the option it came closest to
    (the one with the fewest errors) and that option's errors."""
    options: dict[str | None, Any] = {_option_tag(member): member for member in members}
    if None in by_tag:  # an error of the whole union: pydantic names the option it found closest
        closest = (by_tag[None][0].get("ctx") or {}).get("class_name")
        options[None] = next((member for member in members if getattr(member, "__name__", None) == closest), None)
    # where an option wants an object, pydantic's text names its class ("instance of SslMode1"), no name of the user's
    by_tag = {tag: [{**line, "msg": "Input should be an object"} if line["type"] == "model_type" and not line["loc"]
                    else line for line in lines] for tag, lines in by_tag.items()}

    given = _value_at(data, path)

    def chosen(tag: str | None) -> bool:
        """Whether the value names the option TAG stands for by its discriminator."""
        named = _discriminator(options.get(tag))
        return named is not None and isinstance(given, Mapping) and given.get(named[0]) == named[1]

    def distance(tag: str | None) -> tuple[bool, int, float]:
        # between options none was chosen: the one whose value is nearest to the one given ('requir', 'require')
        named = _discriminator(options.get(tag))
        texts = [given.get(named[0]) if isinstance(given, Mapping) else given] if named else []
        likeness = max((difflib.SequenceMatcher(None, str(named[1]), text).ratio()
                        for text in texts if named and isinstance(text, str)), default=0.0)
        return not chosen(tag), len(by_tag[tag]), -likeness

    tag = min(by_tag, key=distance)
    member, errors = options.get(tag), by_tag[tag]
    named = _discriminator(member)
    if isinstance(member, type) and issubclass(member, BaseModel):
        label = repr(named[1]) if named else member.__name__
        if tag is not None:
            errors = _in_users_words(member, errors, given, secrets)
            if chosen(tag):  # the option the user named: its own errors, at their paths
                return [{**error, "loc": (*path, *error["loc"])} for error in errors]
    else:
        label = str(tag)
    said = "; ".join(f"{'.'.join(map(str, line['loc'])) + ': ' if line['loc'] else ''}"
                     f"{_masked(_message(line), secrets)}" for line in errors)
    message = f"fits none of its {len(members)} options; closest: {label} ({said})"
    kind = PydanticCustomError(_NO_OPTION_FITS, typing.cast(typing.LiteralString, message))
    return [{"type": kind, "loc": path, "msg": message, "input": given}]


def _message(line: _Line) -> str:
    kind = line["type"]
    return kind.message() if isinstance(kind, PydanticCustomError) else line["msg"]


def _value_at(data: Any, path: _Loc) -> Any:
    for key in path:
        if (isinstance(data, Mapping) and key in data) or (
            isinstance(data, (list, tuple)) and isinstance(key, int) and 0 <= key < len(data)
        ):
            data = data[key]
        else:
            return None
    return data


def _warn_undeclared(model: Any, path: _Loc = (), configuration: str = "") -> None:
    """Warns of each member MODEL (and the objects in it) holds that its schema does not declare, where the
    object declares members of its own: a misspelled member is sent to the connector unread, even where the
    schema says ``"additionalProperties": true``. A free-form object (no members of its own) and a map whose
    values have a schema of their own take any name without a word."""
    configuration = configuration or type(model).__name__
    if isinstance(model, RootModel):
        model = model.root
    if isinstance(model, (list, tuple)):
        for index, item in enumerate(model):
            _warn_undeclared(item, (*path, index), configuration)
        return
    if not isinstance(model, BaseModel):
        return
    cls = type(model)
    found = _adjusted.get(cls)
    if found is not None and found.node.get("properties") and not isinstance(found.node.get("additionalProperties"),
                                                                             dict):
        declared = sorted(_member_names(cls) - {"connector_name"})
        for key in model.__pydantic_extra__ or {}:
            closest = difflib.get_close_matches(str(key), declared, n=1, cutoff=0)
            warnings.warn(
                f"{configuration}: {'.'.join(map(str, (*path, key)))} is not a member its schema declares"
                f"{f' (closest: {closest[0]})' if closest else ''}; it is sent to the connector as given",
                UndeclaredMemberWarning, stacklevel=_caller_level())
    for name, info in cls.model_fields.items():
        _warn_undeclared(getattr(model, name), (*path, info.alias or name), configuration)


def _caller_level() -> int:
    """The stacklevel of the first frame outside corvel's and pydantic's code: the user's call."""
    frame, level = sys._getframe(1), 1
    while frame is not None and frame.f_globals.get("__name__", "").partition(".")[0] in ("corvel", "pydantic"):
        frame, level = frame.f_back, level + 1
    return level
