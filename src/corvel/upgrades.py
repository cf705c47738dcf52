"""What an upgrade of locked connectors means for their users, before it is made.

For each connector that moves: the changes to its configuration
(``corvel.config_changes``), the Python names of its model module that
disappear or are renamed, and the breaking changes the registry documents
between the two versions.  ``outdated`` compares the lock with the registry
without generating anything; ``check_config`` validates a user's stored
configuration against a generated class without ever showing a value.
"""

from __future__ import annotations

import ast
import json
import re
from contextlib import ExitStack
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any

from corvel.config_changes import Change, connection_schema, schema_changes
from corvel.errors import CorvelError
from corvel.lock import Lock, LockRecord
from corvel.registry import Entry
from corvel.tree import model_apart


# -- versions and the breaking changes between them


def version_key(tag: str) -> tuple:
    """A tag as a comparable version: numeric release parts first, and a pre-release (1.0.0-rc.1) before its
    release. Tags that are no version compare as text after every version."""
    match = re.fullmatch(r"v?(\d+(?:\.\d+)*)(?:[-.+]?(.*))?", tag.strip())
    if not match:
        return (1, tag)
    release = tuple(int(part) for part in match.group(1).split("."))
    release += (0,) * (4 - len(release))  # 1.0 and 1.0.0 are one version
    suffix = match.group(2) or ""
    return (0, release, 0 if suffix else 1, suffix)


@dataclass(frozen=True)
class BreakingChange:
    version: str
    message: str
    deadline: str | None
    migration_url: str | None


def crossed(entry: dict, locked: str, current: str) -> list[BreakingChange]:
    """The breaking changes ENTRY's registry documents in (LOCKED, CURRENT], oldest first."""
    releases = entry.get("releases") if isinstance(entry.get("releases"), dict) else {}
    documented = releases.get("breakingChanges") if isinstance(releases.get("breakingChanges"), dict) else {}
    low, high = version_key(locked), version_key(current)
    found = []
    for version, change in documented.items():
        if isinstance(change, dict) and low < version_key(version) <= high:
            found.append(BreakingChange(version, str(change.get("message") or ""), _text(change.get("upgradeDeadline")),
                                        _text(change.get("migrationDocumentationUrl"))))
    return sorted(found, key=lambda change: version_key(change.version))


def _text(value: Any) -> str | None:
    return None if value is None else str(value)


# -- --outdated


@dataclass
class Outdated:
    """A locked connector beside the registry's current version of it."""

    name: str
    connector_kind: str
    locked_version: str
    current_version: str | None  # None: the registry no longer offers it
    breaking_changes: list[BreakingChange] = field(default_factory=list)

    @property
    def moves(self) -> bool:
        return self.current_version is not None and self.current_version != self.locked_version

    def as_json(self) -> dict[str, Any]:
        return dict(asdict(self), outdated=self.moves)


def outdated(lock: Lock, entries: list[Entry], document: Any) -> list[Outdated]:
    """Every locked connector with the registry's current version (its entry's own tag: a release candidate
    the entry lists is never offered) and the breaking changes the move crosses."""
    current = {(e.kind, e.name): document[e.kind][e.position] for e in entries}
    rows = []
    for record in sorted(lock.records, key=lambda r: (r.name, version_key(r.tag))):
        entry = current.get((record.kind, record.name))
        row = Outdated(record.name, record.connector_kind, record.tag, None)
        if entry is not None:
            row.current_version = LockRecord.of(record.kind, entry).tag
            row.breaking_changes = crossed(entry, record.tag, row.current_version)
        rows.append(row)
    return rows


# -- what an upgrade changes for the user


@dataclass
class Preview:
    """What moving one connector from its locked entry to a new one changes for its users."""

    name: str
    previous_version: str
    version: str
    config_changes: list[Change]
    breaking_changes: list[BreakingChange]
    names_removed: list[str] = field(default_factory=list)  # importable names of the locked model the new lacks
    names_renamed: dict[str, str] = field(default_factory=dict)  # old -> new, for classes whose members stayed
    model_problem: str = ""  # why the new model's names could not be compared

    def as_json(self) -> dict[str, Any]:
        return dict(asdict(self), config_changes=[asdict(c) for c in self.config_changes])

    def lines(self) -> list[str]:
        """The preview as the command line prints it."""
        lines = [f"{self.name}: {self.previous_version} -> {self.version}"]
        for change in self.breaking_changes:
            lines.append(f"  breaking change {change.version}: {change.message}")
            if change.deadline:
                lines.append(f"    upgrade deadline: {change.deadline}")
            if change.migration_url:
                lines.append(f"    migration guide: {change.migration_url}")
        lines += [f"  {change}" for change in self.config_changes]
        lines += [f"  class {old} renamed to {new}" for old, new in self.names_renamed.items()]
        lines += [f"  name {name} no longer in the model" for name in self.names_removed]
        if self.model_problem:
            lines.append(f"  model names not compared: {self.model_problem}")
        if len(lines) == 1:
            lines.append("  no change to the configuration or the model's names")
        return lines


def preview(old: LockRecord, new: LockRecord) -> Preview:
    """The configuration changes and breaking changes of moving OLD to NEW; the model names come later."""
    return Preview(old.name, old.tag, new.tag, schema_changes(connection_schema(old.entry), connection_schema(new.entry)),
                   crossed(new.entry, old.tag, new.tag))


def compare_names(found: Preview, old_names: dict[str, frozenset[str] | None] | str, new_model: Path) -> None:
    """Fills in which of OLD_NAMES (the locked model's, see ``names_of``; a text says why there are none) are
    gone from NEW_MODEL, pairing a removed class with a new one of the same members as renamed."""
    new_names = names_of(new_model)
    if isinstance(old_names, str) or isinstance(new_names, str):
        found.model_problem = old_names if isinstance(old_names, str) else new_names
        return
    gone = [name for name in old_names if name not in new_names]
    added = {name: members for name, members in new_names.items() if name not in old_names}
    for name in gone:
        twin = next((new for new, members in added.items() if members is not None and members == old_names[name]),
                    None)
        if twin is None:
            found.names_removed.append(name)
        else:
            found.names_renamed[name] = twin
            del added[twin]


def names_of(model: Path) -> dict[str, frozenset[str] | None] | str:
    """The model's names (``model_names``), or why they cannot be read."""
    try:
        return model_names(model)
    except (OSError, SyntaxError, UnicodeError) as error:
        return f"{model.name}: {type(error).__name__}: {error}"


def model_names(model: Path) -> dict[str, frozenset[str] | None]:
    """The public names a model module defines, each class with its members' names (None for other names)."""
    tree = ast.parse(model.read_text(encoding="utf-8"))
    names: dict[str, frozenset[str] | None] = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            members = (s.target.id for s in node.body if isinstance(s, ast.AnnAssign) and isinstance(s.target, ast.Name))
            names[node.name] = frozenset(members)
        elif isinstance(node, (ast.Assign, ast.AnnAssign)):
            for target in node.targets if isinstance(node, ast.Assign) else [node.target]:
                if isinstance(target, ast.Name):
                    names.setdefault(target.id, None)
    return {name: members for name, members in names.items() if not name.startswith("_")}


# -- a user's stored configuration against a class


class ConfigFileError(CorvelError):
    """A configuration file that cannot be read; the message names it."""


def read_config(path: Path) -> dict[str, Any]:
    """A stored configuration: a JSON or YAML mapping."""
    import yaml

    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeError) as error:
        raise ConfigFileError(f"{path}: cannot read it: {error}") from error
    try:
        data = json.loads(text) if path.suffix == ".json" else yaml.safe_load(text)
    except (ValueError, yaml.YAMLError) as error:
        # the parsers' messages quote the text, which may hold a secret: only where it failed is said
        mark = getattr(error, "problem_mark", None)
        line = mark.line + 1 if mark is not None else getattr(error, "lineno", None)
        raise ConfigFileError(f"{path}: not valid {'JSON' if path.suffix == '.json' else 'YAML'}"
                              f"{f' (line {line})' if line else ''}") from None
    if not isinstance(data, dict):
        raise ConfigFileError(f"{path}: a configuration is a mapping of members")
    return data


def check_config(model: Path, class_name: str, config: dict[str, Any]) -> list[str]:
    """The problems CLASS_NAME of MODEL finds in CONFIG, each as its member path and pydantic's message; never
    a value. The model is loaded under a name of its own, forgotten afterwards."""
    from pydantic import ValidationError

    from corvel.model_behaviour import adapt_module

    with ExitStack() as loaded:
        try:
            module = loaded.enter_context(model_apart(model, "corvel._config_check"))
            adapt_module(module)
            checked = getattr(module, class_name)
        except Exception as error:  # a model that does not load is one problem of this check, not the run's end
            return [f"(the class) {class_name} of {model.name} cannot be loaded: {type(error).__name__}"]
        try:
            checked.model_validate(config)
        except ValidationError as error:
            return [f"{_member_path(problem['loc'])}: {problem['msg']}"
                    for problem in error.errors(include_input=False, include_url=False)]
    return []


def _member_path(location: tuple) -> str:
    path = ""
    for part in location:
        path += f"[{part}]" if isinstance(part, int) else (f".{part}" if path else str(part))
    return path or "(the configuration)"
