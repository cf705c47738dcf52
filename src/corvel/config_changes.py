"""What changes for a user's configuration between two versions of a connector.

Both ends are the connectors' configuration JSON Schemas (a registry entry's
``spec.connectionSpecification``), compared member by member at every depth,
so the result holds whatever the generator's settings make of them.  A
member is named by its path: ``tunnel_method.ssh_key``; an option of a
``oneOf`` by its discriminator's value (or title) in brackets:
``credentials[OAuth2.0].client_id``; the items of an array by ``[]``.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any

# the categories of change, roughly from the most to the least disruptive
REMOVED = "removed"
ADDED_REQUIRED = "added as required"
MADE_REQUIRED = "made required"
RETYPED = "retyped"
VALUE_REMOVED = "value removed"
OPTION_REMOVED = "option removed"
NEWLY_SECRET = "newly secret"
NO_LONGER_SECRET = "no longer secret"
DEFAULT_CHANGED = "default changed"
ADDED_OPTIONAL = "added as optional"
OPTION_ADDED = "option added"
CATEGORIES = (REMOVED, ADDED_REQUIRED, MADE_REQUIRED, RETYPED, VALUE_REMOVED, OPTION_REMOVED, NEWLY_SECRET,
         NO_LONGER_SECRET, DEFAULT_CHANGED, ADDED_OPTIONAL, OPTION_ADDED)
HIDDEN = "***"  # a secret member's default is never shown


@dataclass(frozen=True)
class Change:
    """One change to the configuration: the member's path, its category (one of CATEGORIES) and what it was and
    is."""

    path: str
    category: str
    detail: str = ""

    def __str__(self) -> str:
        text = f"{self.path or '(the configuration)'}: {self.category}"
        return f"{text} ({self.detail})" if self.detail else text


def dict_member(node: dict[str, Any], key: str) -> dict[str, Any]:
    """NODE's member KEY when it is an object; empty otherwise (missing, or of another type)."""
    member = node.get(key)
    return member if isinstance(member, dict) else {}


def connection_schema(entry: dict) -> dict:
    """A registry entry's configuration schema; empty when it has none."""
    spec = dict_member(entry, "spec")
    schema = spec.get("connectionSpecification")
    return schema if isinstance(schema, dict) else {}


def schema_changes(old: dict, new: dict) -> list[Change]:
    """Every change from the OLD configuration schema to the NEW one, in the order of the members."""
    changes: list[Change] = []
    _compare(old, new, "", changes)
    return changes


def _compare(old: Any, new: Any, path: str, changes: list[Change]) -> None:
    if not isinstance(old, dict) or not isinstance(new, dict):
        return
    old_types, new_types = _types(old), _types(new)
    if old_types and new_types and old_types != new_types:
        changes.append(Change(path, RETYPED, f"{'|'.join(old_types)} -> {'|'.join(new_types)}"))
    if isinstance(new.get("enum"), list):
        lost = [v for v in old.get("enum") or () if v not in new["enum"]]
        if lost:
            changes.append(Change(path, VALUE_REMOVED, ", ".join(map(_shown, lost))))
    if "const" in old and "const" in new and old["const"] != new["const"]:
        changes.append(Change(path, VALUE_REMOVED, f"{_shown(old['const'])}, now {_shown(new['const'])}"))
    secret = bool(old.get("airbyte_secret")), bool(new.get("airbyte_secret"))
    if secret == (False, True):
        changes.append(Change(path, NEWLY_SECRET))
    elif secret == (True, False):
        changes.append(Change(path, NO_LONGER_SECRET))
    if ("default" in old or "default" in new) and old.get("default") != new.get("default"):
        hidden = any(secret)
        changes.append(Change(path, DEFAULT_CHANGED,
                              f"{_default(old, hidden)} -> {_default(new, hidden)}"))
    _compare_members(old, new, path, changes)
    for key in ("oneOf", "anyOf"):
        _compare_options(old.get(key), new.get(key), path, changes)
    _compare(old.get("items"), new.get("items"), f"{path}[]", changes)


def _compare_members(old: dict, new: dict, path: str, changes: list[Change]) -> None:
    old_members = dict_member(old, "properties")
    new_members = dict_member(new, "properties")
    old_required, new_required = _required(old), _required(new)
    for name, member in old_members.items():
        member_path = f"{path}.{name}" if path else name
        if name not in new_members:
            changes.append(Change(member_path, REMOVED))
            continue
        if name in new_required and name not in old_required:
            changes.append(Change(member_path, MADE_REQUIRED))
        _compare(member, new_members[name], member_path, changes)
    for name in new_members:
        if name not in old_members:
            changes.append(Change(f"{path}.{name}" if path else name,
                                  ADDED_REQUIRED if name in new_required else ADDED_OPTIONAL))


def _compare_options(old: Any, new: Any, path: str, changes: list[Change]) -> None:
    old_options, new_options = _options(old), _options(new)
    for label, option in old_options.items():
        if label not in new_options:
            changes.append(Change(f"{path}[{label}]", OPTION_REMOVED))
        else:
            _compare(option, new_options[label], f"{path}[{label}]", changes)
    for label in new_options:
        if label not in old_options:
            changes.append(Change(f"{path}[{label}]", OPTION_ADDED))


def _options(options: Any) -> dict[str, dict]:
    """A oneOf's options by the label a user knows them by: the value of the member that tells them apart
    (a const, or an enum of one value), else the title, else the position."""
    if not isinstance(options, list):
        return {}
    labelled: dict[str, dict] = {}
    for position, option in enumerate(options):
        if isinstance(option, dict):
            labelled.setdefault(option_label(option, position), option)
    return labelled


def _option_label(option: dict) -> str | None:
    if found := discriminator(option):
        return str(found[1])
    title = option.get("title")
    return title if isinstance(title, str) and title else None


def option_label(option: dict[str, Any], position: int) -> str:
    """How a path names the option of a oneOf at POSITION (from 0)."""
    return _option_label(option) or f"option {position + 1}"


def discriminator(option: dict[str, Any]) -> tuple[str, Any] | None:
    """The member that tells a oneOf's OPTION apart from the others and its value: the first member held to
    one value (a const, or an enum of one value)."""
    members = dict_member(option, "properties")
    for name, member in members.items():
        if not isinstance(member, dict):
            continue
        if "const" in member:
            return name, member["const"]
        if isinstance(member.get("enum"), list) and len(member["enum"]) == 1:
            return name, member["enum"][0]
    return None


def _types(schema: dict) -> tuple[str, ...]:
    declared = schema.get("type")
    if isinstance(declared, str):
        return (declared,)
    return tuple(sorted(t for t in declared if isinstance(t, str))) if isinstance(declared, list) else ()


def _required(schema: dict) -> set[str]:
    required = schema.get("required")
    return {name for name in required if isinstance(name, str)} if isinstance(required, list) else set()


def _shown(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False)


def _default(schema: dict, hidden: bool) -> str:
    if "default" not in schema:
        return "none"
    return HIDDEN if hidden else _shown(schema["default"])
