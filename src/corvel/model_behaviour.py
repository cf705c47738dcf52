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
- A default that its own member rejects (source-postgres gives a ``oneOf``
  of objects the default ``"CDC"``) is no default: the member is left unset
  and the connector applies its own, instead of every configuration that
  leaves it out failing on a value nobody gave.
- Members the schema marks secret (``airbyte_secret``, ``writeOnly``,
  ``"format": "password"``, at any depth) are masked in ``repr()``/``str()``
  and in validation errors, including inputs shown for another member's error.
"""

from __future__ import annotations

import json
import types
import typing
import warnings
import weakref
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from pydantic import BaseModel, RootModel, TypeAdapter, ValidationError
from pydantic_core import PydanticCustomError, PydanticUndefined

MASK = "**********"


class ModelBehaviourWarning(UserWarning):
    """A generated module kept the classes the generator wrote: corvel could not adjust them."""


class _Mask:
    """Stands in for a secret value where a configuration is shown."""

    def __repr__(self):
        return MASK


_MASKED = _Mask()


@dataclass
class _ClassSchema:
    """A generated class and the schema node it stands for."""

    node: dict
    root: dict  # the connector's whole schema, for $ref
    members: dict[str, dict] = field(default_factory=dict)  # field name -> the member's schema node
    holds: set[type] = field(default_factory=set)  # the generated classes its members are made of


# class -> what it was adjusted from; weak so that a forgotten tree's classes go
_adjusted: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()


def schema_path(module_file: str) -> Path:
    """The schema file a model module was generated from: ../jsonschema/<stem>.json."""
    model = Path(module_file)
    return model.parent.parent / "jsonschema" / (model.stem + ".json")


def adapt_module(module: types.ModuleType) -> None:
    """Gives the classes of a freshly run model module corvel's behaviour (see the module docstring)."""
    origin = getattr(module, "__file__", None)
    if not origin:
        return
    try:
        schema = json.loads(schema_path(origin).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return  # a model without its schema file: nothing to adjust from
    configuration = _configuration_class(module)
    if configuration is None or not isinstance(schema, dict):
        return
    try:
        walk = _Walk(schema)
        walk.model(configuration, schema)
        rebuilt: set[type] = set()
        # members before the classes that hold them: a class holds its members'
        # validators, so it is rebuilt after any of them was
        for cls in walk.order:
            if _adjust(cls, walk.found[cls], needs_rebuild=bool(walk.found[cls].holds & rebuilt)):
                rebuilt.add(cls)
    except Exception as error:  # one odd schema must not keep the whole index from importing
        warnings.warn(
            f"{module.__name__}: its classes could not be given corvel's behaviour (open objects, defaults, "
            f"masked secrets): {type(error).__name__}: {error}",
            ModelBehaviourWarning,
            stacklevel=2,
        )


def _configuration_class(module: types.ModuleType) -> type | None:
    """The class the index imports: the one with the connector_name member."""
    for value in vars(module).values():
        if (
            isinstance(value, type)
            and issubclass(value, BaseModel)
            and value.__module__ == module.__name__
            and "connector_name" in value.model_fields
        ):
            return value
    return None


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
            if options and len(options) == len(members):  # the generator keeps the options' order
                pairs = list(zip(members, options))
            else:  # a model takes the option it was made from; anything else (a root model) the whole node
                pairs = [(m, o) for m in members if _is_object_model(m) for o in options if _fits(m, o)]
                pairs += [(m, node) for m in members if not (options and _is_object_model(m))]
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
        found = self.found[cls] = _ClassSchema(node, self.root)
        self.holder.append(found)
        if issubclass(cls, RootModel):
            self.annotation(cls.model_fields["root"].annotation, node)
        else:
            properties = node.get("properties") if isinstance(node.get("properties"), dict) else {}
            for name, info in cls.model_fields.items():
                member = _resolve(properties.get(info.alias or name), self.root)
                if isinstance(member, dict):
                    found.members[name] = member
                    self.annotation(info.annotation, member)
        self.holder.pop()
        self.order.append(cls)


def _is_object_model(annotation: Any) -> bool:
    return isinstance(annotation, type) and issubclass(annotation, BaseModel) and not issubclass(annotation, RootModel)


def _fits(cls: type, option: dict) -> bool:
    """Whether a model was generated from an object option: the same member names."""
    names = {info.alias or name for name, info in cls.model_fields.items()}
    return names == set(option.get("properties") or {})


def _adjust(cls: type, found: _ClassSchema, needs_rebuild: bool) -> bool:
    """Gives CLS its behaviour; whether its validator was rebuilt."""
    rebuild = needs_rebuild
    if not issubclass(cls, RootModel):
        additional = found.node.get("additionalProperties")
        if additional is not False and cls.model_config.get("extra") != "allow":
            cls.model_config["extra"] = "allow"
            rebuild = True
        for name, info in cls.model_fields.items():
            if _rejects_own_default(info):
                info.default, info.validate_default = None, None
                rebuild = True
    if rebuild and cls.__pydantic_complete__:  # a class built at first use is built with the changes then
        cls.model_rebuild(force=True)
    _adjusted[cls] = found
    if is_secret(found.node) or any(map(_holds_secret, found.members.values())):
        original = cls.__repr_args__
        cls.__repr_args__ = lambda self: _masked_repr_args(self, original)
    _guard_validation(cls)
    return rebuild


def _rejects_own_default(info) -> bool:
    default = info.default
    if default is PydanticUndefined or default is None or info.default_factory is not None:
        return False
    # the member's constraints (ge=, pattern=, ...) sit in its metadata, beside the annotation
    annotation = typing.Annotated[(info.annotation, *info.metadata)] if info.metadata else info.annotation
    try:
        TypeAdapter(annotation).validate_python(default)
    except ValidationError:
        return True
    return False


def _holds_secret(node: Any) -> bool:
    """A member that is secret, or a list (of lists) of secrets."""
    while isinstance(node, dict) and not is_secret(node) and isinstance(node.get("items"), dict):
        node = node["items"]
    return is_secret(node)


def _masked_repr_args(model: BaseModel, original):
    found = _adjusted.get(type(model))
    for name, value in original(model):
        node = found.node if isinstance(model, RootModel) else found.members.get(name)
        yield name, _masked_value(value, node, found.root) if node is not None else value


def _masked_value(value: Any, node: Any, root: dict) -> Any:
    node = _resolve(node, root)
    if value is None:
        return None
    if is_secret(node):
        return _MASKED
    if isinstance(value, list) and isinstance(node, dict):
        return [_masked_value(item, node.get("items"), root) for item in value]
    return value


# -- validation errors with the secrets masked

_ENTRY_POINTS = ("model_validate", "model_validate_json", "model_validate_strings")


def _guard_validation(cls: type) -> None:
    """Wraps the class's ways of validating so that its errors show no secret."""
    init = cls.__init__

    def __init__(self, /, **data):
        _validated(type(self), data, lambda: init(self, **data) or self)

    cls.__init__ = __init__
    for name in _ENTRY_POINTS:
        method = getattr(cls, name).__func__
        setattr(cls, name, classmethod(_guarded_entry(method)))


def _guarded_entry(method):
    def entry(cls, *args, **kwargs):
        data = args[0] if args else kwargs.get("obj", kwargs.get("json_data"))  # pydantic's names for the input
        return _validated(cls, data, lambda: method(cls, *args, **kwargs))

    return entry


def _validated(cls: type, data: Any, validate) -> Any:
    """VALIDATE()'s model; its validation error with the secrets of DATA masked."""
    try:
        return validate()
    except ValidationError as error:
        masked = _masked_error(cls, data, error)
        if masked is None:
            raise
    raise masked  # outside the handler: the error that shows the secrets is not kept as its context


def _masked_error(cls: type, data: Any, error: ValidationError) -> ValidationError | None:
    found = _adjusted.get(cls)
    if isinstance(data, (str, bytes, bytearray)):
        try:
            data = json.loads(data)
        except ValueError:
            data = None
    secrets: set[str] = set()
    if found is not None:
        _collect_secrets(data, found.node, found.root, secrets)
    return _rebuilt(error, secrets) if secrets else None


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
        value = {(info.alias or name): getattr(value, name) for name, info in type(value).model_fields.items()}
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
    if isinstance(value, RootModel):
        value = value.root
    if isinstance(value, str):
        yield str(value)
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
        return _masked(value.model_dump(by_alias=True), secrets)
    if isinstance(value, Mapping):
        return {key: _masked(item, secrets) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_masked(item, secrets) for item in value]
    if isinstance(value, (int, float)) and not isinstance(value, bool) and str(value) in secrets:
        return MASK
    return value


def _rebuilt(error: ValidationError, secrets: set[str]) -> ValidationError:
    details = []
    for line in error.errors(include_url=False):
        context = {key: _masked(value, secrets) for key, value in (line.get("ctx") or {}).items()}
        detail = {"type": line["type"], "loc": line["loc"], "input": _masked(line["input"], secrets)}
        if context:
            detail["ctx"] = context
        details.append(detail)
    try:
        return ValidationError.from_exception_data(error.title, details)
    except (KeyError, TypeError, ValueError):  # a type pydantic cannot remake from its name: keep its masked text
        for detail, line in zip(details, error.errors(include_url=False)):
            detail["type"] = PydanticCustomError(line["type"], _masked(line["msg"], secrets))
            detail.pop("ctx", None)
        return ValidationError.from_exception_data(error.title, details)
