"""Renders the command reference from the parsers of `corvel` and `corvel-generate` as the site is built, so the
page says what the installed commands say: a line `<!-- commands: MODULE -->` becomes that module's commands' help."""

import argparse
import importlib
import os
import re
from typing import Any

# argparse wraps help to the terminal's width; a fixed one keeps the page the same on every machine
_WIDTH = "88"
_DIRECTIVE = re.compile(r"^<!-- commands: (?P<module>[\w.]+) -->$", re.MULTILINE)


def _help(parser: argparse.ArgumentParser) -> str:
    previous = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = _WIDTH
    try:
        return parser.format_help()
    finally:
        if previous is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = previous


def _subcommands(parser: argparse.ArgumentParser) -> dict[str, argparse.ArgumentParser]:
    # argparse offers no public way to list a parser's subcommands; its subparsers action holds them
    for action in parser._actions:  # pyright: ignore[reportPrivateUsage]
        if isinstance(action, argparse._SubParsersAction):  # pyright: ignore[reportPrivateUsage]
            return dict(action.choices)  # pyright: ignore[reportUnknownArgumentType, reportUnknownMemberType]
    return {}


def _render(module_name: str) -> str:
    parser: argparse.ArgumentParser = importlib.import_module(module_name).build_parser()
    sections = [f"```text\n{_help(parser)}```"]
    for name, sub in _subcommands(parser).items():
        sections.append(f"### `{parser.prog} {name}`\n\n```text\n{_help(sub)}```")
    return "\n\n".join(sections)


def on_page_markdown(markdown: str, **_: Any) -> str:
    return _DIRECTIVE.sub(lambda found: _render(found["module"]), markdown)
