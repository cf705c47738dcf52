"""A last pass over each generated module, run by the generator as one of its formatters.

It mends the few places where the generator's text, written from a real
connector schema, is refused by pydantic or misread by type checkers:

- With constraints written as ``Field()`` arguments, the generator keeps a
  string's ``pattern`` beside a ``"format": "date-time"`` (or date, time)
  member typed ``AwareDatetime``, and beside an integer, number or boolean
  member. pydantic cannot apply a pattern to a value that is no text and
  fails every value given for it (with the value in its message). The
  pattern is about a text's spelling, which such a member never is, so it
  is dropped, as the generator's other constraint forms drop it.
- Such a member's default is the schema's text (``default='2021-01-01'``).
  pydantic would keep that text as the value, so the default is validated
  like a given value (``validate_default=True``); checkers, which cannot
  know that, are told to let the text stand.
- ``examples`` that the schema gives as one value, not a list, go into a list:
  pydantic's ``Field`` takes a list.
"""

from __future__ import annotations

import ast
from dataclasses import dataclass

from datamodel_code_generator.format import CustomCodeFormatter

# what the generator types date and time formats as
_PARSED_TYPES = frozenset({"AwareDatetime", "NaiveDatetime", "datetime", "date", "time", "timedelta"})
# members whose values are never text, so a pattern has nothing to apply to
_NOT_TEXT = _PARSED_TYPES | {"int", "float", "bool", "Decimal", "StrictInt", "StrictFloat", "StrictBool"}
_IGNORE_DEFAULT = "  # type: ignore[assignment]"


@dataclass(frozen=True)
class _Edit:
    line: int  # 0-based
    column: int
    end_column: int
    text: str | None  # None: the keyword and its comma go


def _only(annotation: ast.expr, types: frozenset[str]) -> bool:
    """Whether every value the annotation admits, bar None, is of one of TYPES."""
    names = {node.id for node in ast.walk(annotation) if isinstance(node, ast.Name)}
    names |= {node.attr for node in ast.walk(annotation) if isinstance(node, ast.Attribute)}
    names -= {"None", "Optional", "Union"}
    return bool(names) and names <= types


def _edits(tree: ast.Module, source: list[str]) -> tuple[list[_Edit], set[int]]:
    """The keyword edits, and the lines (0-based) that get the checkers' leave for a text default."""
    edits, ignored = [], set()
    for node in ast.walk(tree):
        if not (isinstance(node, ast.AnnAssign) and isinstance(node.value, ast.Call)):
            continue
        call = node.value
        if not (isinstance(call.func, ast.Name) and call.func.id == "Field"):
            continue
        parsed, not_text = _only(node.annotation, _PARSED_TYPES), _only(node.annotation, _NOT_TEXT)
        for keyword in call.keywords:
            if keyword.lineno != keyword.end_lineno:
                continue  # the formatter writes each keyword on one line
            where = (keyword.lineno - 1, keyword.col_offset, keyword.end_col_offset)
            text = source[where[0]][where[1] : where[2]]
            if not_text and keyword.arg == "pattern":
                edits.append(_Edit(*where, None))
            elif parsed and keyword.arg == "default" and isinstance(keyword.value, ast.Constant) \
                    and isinstance(keyword.value.value, str):
                edits.append(_Edit(*where, text + ", validate_default=True"))
                ignored.add(node.lineno - 1)
            elif keyword.arg == "examples" and not isinstance(keyword.value, ast.List):
                value = text.split("=", 1)[1]
                edits.append(_Edit(*where, f"examples=[{value}]"))
    return edits, ignored


def mend(code: str) -> str:
    """CODE with the mends above."""
    try:
        tree = ast.parse(code)
    except SyntaxError:
        return code  # not ours to judge: the module fails on its own
    lines = code.splitlines(keepends=True)
    edits, ignored = _edits(tree, lines)
    for line in ignored:
        body = lines[line].rstrip("\n")
        lines[line] = body + _IGNORE_DEFAULT + lines[line][len(body) :]
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
