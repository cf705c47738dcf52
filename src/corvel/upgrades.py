"""What an upgrade of locked connectors means for their users, before it is made.

For each connector that moves: the changes to its configuration
(``corvel.config_changes``), the Python names of its model module that
disappear, appear or are renamed, and the breaking changes the registry documents
between the two versions.  ``outdated`` compares the lock with the registry
without generating anything; ``check_config`` checks a user's stored
configuration against a generated class and its connector's configuration
schema without ever showing a value.
"""

from __future__ import annotations

import ast
import difflib
import json
import re
from collections.abc import Collection, Iterable
from contextlib import ExitStack
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any

from corvel.config_changes import (
    REMOVED,
    Change,
    connection_schema,
    dict_member,
    discriminator,
    option_label,
    schema_changes,
)
from corvel.errors import CorvelError
from corvel.lock import Lock, LockRecord
from corvel.registry import Entry
from corvel.tree import Tree, model_apart

# A model class's members, each with the one value its annotation allows (``Literal['CDC']``: a oneOf option's
# discriminator), else None
Shape = frozenset[tuple[str, str | None]]


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
    releases = dict_member(entry, "releases")
    documented = dict_member(releases, "breakingChanges")
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
    streams: str | None = None  # the stream changes of the move counted by category; None: unknown
    locked: LockRecord | None = field(default=None, repr=False)
    current: LockRecord | None = field(default=None, repr=False)  # the registry's entry of the current version

    @property
    def moves(self) -> bool:
        return self.current_version is not None and self.current_version != self.locked_version

    def as_json(self) -> dict[str, Any]:
        shown = {key: value for key, value in asdict(self).items() if key not in ("locked", "current")}
        return dict(shown, outdated=self.moves)


def outdated(lock: Lock, entries: list[Entry], document: Any) -> list[Outdated]:
    """Every locked connector with the registry's current version (its entry's own tag: a release candidate
    the entry lists is never offered) and the breaking changes the move crosses."""
    current = {(e.kind, e.name): document[e.kind][e.position] for e in entries}
    rows = []
    for record in sorted(lock.records, key=lambda r: (r.name, version_key(r.tag))):
        entry = current.get((record.kind, record.name))
        row = Outdated(record.name, record.connector_kind, record.tag, None, locked=record)
        if entry is not None:
            row.current = LockRecord.of(record.kind, entry)
            row.current_version = row.current.tag
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
    names_renamed: dict[str, str] = field(default_factory=dict)  # old -> new, for classes whose shape stayed
    names_added: list[str] = field(default_factory=list)  # importable names of the new model the locked lacks
    model_problem: str = ""  # why the new model's names could not be compared
    stream_changes: list[str] | None = None  # None: the streams were not compared
    streams_counted: str = ""  # the stream changes counted by category
    streams_unknown: str = ""  # why the new version's streams are unknown, when the locked version's are known

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
        lines += [f"  name {name} new in the model" for name in self.names_added]
        if self.model_problem:
            lines.append(f"  model names not compared: {self.model_problem}")
        if len(lines) == 1:
            lines.append("  no change to the configuration or the model's names")
        if self.stream_changes is not None:
            lines.append(f"  streams: {self.streams_counted}")
            lines += [f"    {change}" for change in self.stream_changes]
        elif self.streams_unknown:
            lines.append(f"  {self.streams_unknown}")
        return lines


def preview(old: LockRecord, new: LockRecord) -> Preview:
    """The configuration changes and breaking changes of moving OLD to NEW; the model names come later."""
    return Preview(old.name, old.tag, new.tag, schema_changes(connection_schema(old.entry), connection_schema(new.entry)),
                   crossed(new.entry, old.tag, new.tag))


def removed_members(previews: Iterable[Preview], name: str) -> set[str]:
    """The paths of the members the upgrades of connector NAME among PREVIEWS removed."""
    return {c.path for p in previews if p.name == name for c in p.config_changes if c.category == REMOVED}


def compare_names(found: Preview, old_names: dict[str, Shape | None] | str, new_model: Path) -> None:
    """Fills in which of OLD_NAMES (the locked model's, see ``names_of``; a text says why there are none) are
    gone from NEW_MODEL and which are new in it. A gone class and a new one are one class renamed only when
    each is the other's one match in shape (same members, same discriminator values): options that differ only
    in their discriminator's value are different things."""
    new_names = names_of(new_model)
    if isinstance(old_names, str):
        found.model_problem = old_names
        return
    if isinstance(new_names, str):
        found.model_problem = new_names
        return
    gone = {name: shape for name, shape in old_names.items() if name not in new_names}
    added = {name: shape for name, shape in new_names.items() if name not in old_names}

    def matches(shape: Shape | None, among: dict[str, Shape | None]) -> list[str]:
        return [name for name, other in among.items() if shape and other == shape]  # an empty class tells nothing

    for name, shape in gone.items():
        twins = matches(shape, added)
        if len(twins) == 1 and len(matches(shape, gone)) == 1:
            found.names_renamed[name] = twins[0]
        else:
            found.names_removed.append(name)
    renamed_to = set(found.names_renamed.values())
    found.names_added = [name for name in added if name not in renamed_to]


def names_of(model: Path) -> dict[str, Shape | None] | str:
    """The model's names (``model_names``), or why they cannot be read."""
    try:
        return model_names(model)
    except (OSError, SyntaxError, UnicodeError) as error:
        return f"{model.name}: {type(error).__name__}: {error}"


def model_names(model: Path) -> dict[str, Shape | None]:
    """The public names a model module defines, each class with its shape (None for other names)."""
    tree = ast.parse(model.read_text(encoding="utf-8"))
    names: dict[str, Shape | None] = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names[node.name] = frozenset((s.target.id, _single_value(s.annotation)) for s in node.body
                                         if isinstance(s, ast.AnnAssign) and isinstance(s.target, ast.Name))
        elif isinstance(node, (ast.Assign, ast.AnnAssign)):
            for target in node.targets if isinstance(node, ast.Assign) else [node.target]:
                if isinstance(target, ast.Name):
                    names.setdefault(target.id, None)
    return {name: shape for name, shape in names.items() if not name.startswith("_")}


def _single_value(annotation: ast.expr) -> str | None:
    """The one value a member's annotation allows, as source text: ``Literal['CDC']`` (alone or with None)."""
    for node in ast.walk(annotation):
        if isinstance(node, ast.Subscript) and not isinstance(node.slice, ast.Tuple):
            named = node.value.id if isinstance(node.value, ast.Name) else getattr(node.value, "attr", "")
            if named == "Literal":
                return ast.unparse(node.slice)
    return None


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


def check_config(model: Path, class_name: str, config: dict[str, Any], connector: str,
                 removed: Collection[str] = ()) -> list[str]:
    """The problems of CONFIG for CONNECTOR (its name and version) at the version of MODEL, each as its member
    path and what is wrong; never a value: first the members its configuration schema (the tree's beside MODEL)
    does not declare, which the class may keep and pass on but the connector will not understand (in open
    objects only those an upgrade REMOVED, paths as ``config_changes`` gives them), then what CLASS_NAME of
    MODEL finds. The model is loaded under a name of its own, forgotten afterwards."""
    from pydantic import ValidationError

    from corvel.model_behaviour import adapt_module

    with ExitStack() as loaded:
        try:
            module = loaded.enter_context(model_apart(model, "corvel._config_check"))
            adapt_module(module)
            checked = getattr(module, class_name)
        # a model that does not load is one problem of this check, not the run's end
        except Exception as error:  # noqa: BLE001
            return [f"(the class) {class_name} of {model.name} cannot be loaded: {type(error).__name__}"]
        problems = _undeclared_members(model, config, connector, removed)
        try:
            checked.model_validate(config)
        except ValidationError as error:
            problems += [f"{_member_path(problem['loc'])}: {problem['msg']}"
                         for problem in error.errors(include_input=False, include_url=False)
                         if problem["type"] != "extra_forbidden"]  # named above, with the closest declared name
    return problems


def _undeclared_members(model: Path, config: dict[str, Any], connector: str, removed: Collection[str]) -> list[str]:
    schema_path = Tree.of_model(model).schema(model.stem)
    try:
        schema = json.loads(schema_path.read_text(encoding="utf-8"))
    except (OSError, ValueError) as error:
        return [(f"(the schema) {schema_path.name} cannot be read, so its members are not checked: "
                 f"{type(error).__name__}")]
    problems: list[str] = []
    for path, closest in undeclared(schema, config, removed):
        guess = f"; did you mean {closest}?" if closest else ""
        problems.append(f"{path}: not a member of {connector}{guess}")
    return problems


def undeclared(schema: Any, config: Any, removed: Collection[str] = ()) -> list[tuple[str, str | None]]:
    """The members of CONFIG, at any depth, that SCHEMA does not declare, each as its path (a oneOf's option
    named as the dry run names it) and the closest declared name, if one is close. Objects SCHEMA leaves open
    (``additionalProperties`` true or a schema, or no ``properties`` at all) take any member but those an
    upgrade REMOVED: the connector stopped declaring them, so it no longer reads them."""
    walk = _Walk(set(removed))
    walk.into(schema, config, "", "", {})
    return walk.found


@dataclass
class _Walk:
    removed: set[str]  # schema paths: options by label, the items of an array as []
    found: list[tuple[str, str | None]] = field(default_factory=list)

    def into(self, schema: Any, value: Any, path: str, schema_path: str, inherited: dict[str, Any]) -> None:
        if not isinstance(schema, dict):
            return
        if isinstance(value, list):
            for position, item in enumerate(value):
                self.into(schema.get("items"), item, f"{path}[{position}]", f"{schema_path}[]", {})
            return
        if not isinstance(value, dict):
            return
        declared = {**inherited, **_members(schema)}
        options: list[Any] = []
        for key in ("oneOf", "anyOf"):
            if isinstance(listed := schema.get(key), list):
                options += listed
        if any(isinstance(option, dict) for option in options):
            chosen = _chosen_option(options, value, declared)
            if chosen is not None:  # none: the class says which option is wanted
                label = f"[{option_label(chosen[1], chosen[0])}]"
                self.into(chosen[1], value, path + label, schema_path + label, declared)
            return
        extra = schema.get("additionalProperties")
        patterns = schema.get("patternProperties")
        patterns = patterns if isinstance(patterns, dict) else {}
        is_open = extra is True or isinstance(extra, dict) or ("properties" not in schema and extra is not False)
        for name, member in value.items():
            member_path, member_schema_path = (f"{path}.{name}", f"{schema_path}.{name}") if path else (name, name)
            if name in declared:
                self.into(declared[name], member, member_path, member_schema_path, {})
            elif (is_open or any(_matches(pattern, name) for pattern in patterns)) \
                    and member_schema_path not in self.removed:
                self.into(extra, member, member_path, member_schema_path, {})
            else:
                closest = difflib.get_close_matches(name, list(declared), n=1)
                self.found.append((member_path, closest[0] if closest else None))


def _members(schema: dict[str, Any]) -> dict[str, Any]:
    """The members SCHEMA declares, its own and those of the schemas it is all of."""
    members = schema.get("properties")
    declared = dict(members) if isinstance(members, dict) else {}
    parts = schema.get("allOf")
    for part in parts if isinstance(parts, list) else ():
        declared.update(_members(part) if isinstance(part, dict) else {})
    return declared


def _chosen_option(options: list[Any], value: dict[str, Any], declared: dict[str, Any]
                   ) -> tuple[int, dict[str, Any]] | None:
    """The option of a oneOf VALUE is meant for, with its position: among those whose discriminator VALUE does
    not contradict, the one that declares most of its members."""
    fitting: list[tuple[int, int, dict[str, Any]]] = []
    for position, option in enumerate(options):
        if not isinstance(option, dict):
            continue
        told = discriminator(option)
        if told is not None and told[0] in value and value[told[0]] != told[1]:
            continue
        members = {**declared, **_members(option)}
        fitting.append((sum(name in members for name in value), -position, option))
    if not fitting:
        return None
    _, position, option = max(fitting, key=lambda fit: fit[:2])
    return -position, option


def _matches(pattern: Any, name: str) -> bool:
    try:
        return isinstance(pattern, str) and re.search(pattern, name) is not None
    except re.error:  # a pattern Python cannot read takes nothing: the member is reported, not waved through
        return False


def _member_path(location: tuple) -> str:
    path = ""
    for part in location:
        path += f"[{part}]" if isinstance(part, int) else (f".{part}" if path else str(part))
    return path or "(the configuration)"
