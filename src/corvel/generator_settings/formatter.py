"""A last pass over each generated module, run by the generator as one of its formatters.

It mends the few places where the generator's text, written from a real
connector schema, is refused by pydantic or misread by type checkers:

- The generator keeps a string's ``pattern`` beside an integer, number or
  boolean member. pydantic cannot apply a pattern to a value that is no text
  and fails every value given for it (with the value in its message). The
  pattern is about a text's spelling, which such a member never is, so it is
  dropped, as the generator's other constraint forms drop it.
- A member with a default is typed without None (the settings ask for it),
  which is true only where the default is a value of the member. A default
  of None, and a default of a member made of objects (an object or the
  options of a ``oneOf``), whose fit the text cannot tell (corvel judges it
  against the schema when the module is loaded, and leaves the member unset
  where the connector would refuse it), keep None in the type, and so does
  a number default outside the member's bounds. An empty list fits any list.
- ``examples`` that the schema gives as one value, not a list, go into a list:
  pydantic's ``Field`` takes a list.
"""

from __future__ import annotations

import ast
from dataclasses import dataclass

from datamodel_code_generator.format import CustomCodeFormatter

# members whose values are never text, so a pattern has nothing to apply to
_NOT_TEXT = frozenset({"int", "float", "bool", "Decimal", "StrictInt", "StrictFloat", "StrictBool"})
_ADMITS_NONE = frozenset({"None", "Optional", "Any"})


@dataclass(frozen=True)
class _Edit:
    line: int  # 0-based
    column: int
    end_column: int
    text: str | None  # None: the keyword and its comma go


def _names(annotation: ast.expr) -> set[str]:
    names = {node.id for node in ast.walk(annotation) if isinstance(node, ast.Name)}
    names |= {node.attr for node in ast.walk(annotation) if isinstance(node, ast.Attribute)}
    if any(isinstance(node, ast.Constant) and node.value is None for node in ast.walk(annotation)):
        names.add("None")
    return names


def _only(annotation: ast.expr, types: frozenset[str]) -> bool:
    """Whether every value the annotation admits, bar None, is of one of TYPES."""
    names = _names(annotation) - {"None", "Optional", "Union"}
    return bool(names) and names <= types


def _default(node: ast.AnnAssign) -> ast.expr | None:
    """The default the member's text gives, if any."""
    value = node.value
    if isinstance(value, ast.Call) and isinstance(value.func, ast.Name) and value.func.id == "Field":
        return next((keyword.value for keyword in value.keywords if keyword.arg == "default"), None)
    return value


def _keeps_none(node: ast.AnnAssign, classes: set[str]) -> bool:
    """Whether a member typed without None needs None in its type: its default may be no value of it."""
    default = _default(node)
    if default is None or _names(node.annotation) & _ADMITS_NONE:
        return False
    if isinstance(default, ast.Constant) and default.value is None:
        return True
    made_of_objects = bool(_names(node.annotation) & classes)
    return made_of_objects and not (isinstance(default, ast.List) and not default.elts) or _out_of_bounds(node, default)


_BOUNDS = {"ge": lambda value, bound: value >= bound, "gt": lambda value, bound: value > bound,
           "le": lambda value, bound: value <= bound, "lt": lambda value, bound: value < bound}


def _number(node: ast.expr) -> int | float | None:
    try:
        value = ast.literal_eval(node)
    except ValueError:
        return None
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def _out_of_bounds(node: ast.AnnAssign, default: ast.expr) -> bool:
    """Whether a number default lies outside the member's own bounds (workers: ge=1, default=0)."""
    value = _number(default)
    if value is None or not isinstance(node.value, ast.Call):
        return False
    for keyword in node.value.keywords:
        bound = _number(keyword.value)
        if keyword.arg in _BOUNDS and bound is not None and not _BOUNDS[keyword.arg](value, bound):
            return True
    return False


def _end(node: ast.expr | ast.keyword) -> tuple[int, int]:
    """Where NODE ends: its last line (1-based) and the column after it."""
    assert node.end_lineno is not None and node.end_col_offset is not None, "the parser sets both"
    return node.end_lineno, node.end_col_offset


def _edits(tree: ast.Module, source: list[str]) -> tuple[list[_Edit], list[tuple[int, int]]]:
    """The keyword edits, and the ends (0-based line, column) of the annotations that get ``| None``."""
    classes = {node.name for node in ast.walk(tree) if isinstance(node, ast.ClassDef)}
    edits, optional = [], []
    for node in ast.walk(tree):
        if not isinstance(node, ast.AnnAssign) or node.value is None:
            continue
        if _keeps_none(node, classes):
            end_line, end_column = _end(node.annotation)
            optional.append((end_line - 1, end_column))
        call = node.value
        if not (isinstance(call, ast.Call) and isinstance(call.func, ast.Name) and call.func.id == "Field"):
            continue
        not_text = _only(node.annotation, _NOT_TEXT)
        for keyword in call.keywords:
            end_line, end_column = _end(keyword)
            if keyword.lineno != end_line:
                continue  # the formatter writes each keyword on one line
            where = (keyword.lineno - 1, keyword.col_offset, end_column)
            text = source[where[0]][where[1] : where[2]]
            if not_text and keyword.arg == "pattern":
                edits.append(_Edit(*where, None))
            elif keyword.arg == "examples" and not isinstance(keyword.value, ast.List):
                value = text.split("=", 1)[1]
                edits.append(_Edit(*where, f"examples=[{value}]"))
    return edits, optional


def mend(code: str) -> str:
    """CODE with the mends above."""
    try:
        tree = ast.parse(code)
    except SyntaxError:
        return code  # not ours to judge: the module fails on its own
    lines = code.splitlines(keepends=True)
    edits, optional = _edits(tree, lines)
    edits += [_Edit(line, column, column, " | None") for line, column in optional]
    for edit in sorted(edits, key=lambda e: (e.line, e.column), reverse=True):
        text = lines[edit.line]
        before, after = text[: edit.column], text[edit.end_column :]
        if edit.text is not None:
            lines[edit.line] = before + edit.text + after
        elif not before.strip() and after.strip() in (",", ""):
            lines[edit.line] = ""  # a keyword on a line of its own
        elif after.startswith(", "):
            lines[edit.line] = before + after[2:]
        else:
            lines[edit.line] = before.rstrip().removesuffix(",").rstrip() + after
    return "".join(lines)


class CodeFormatter(CustomCodeFormatter):
    def apply(self, code: str) -> str:
        return mend(code)
