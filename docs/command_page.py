"""Sphinx extension writing the command's reference page from its argument
parser as the build starts, so that no option, default or exit status on
it can drift from what ``quorvel --help`` and ``quorvel agc --help`` say."""

import argparse
from pathlib import Path

from quorvel import cli

PAGE = Path(__file__).parent / "generated" / "command-reference.rst"


def plain(text):
    """``text`` as reStructuredText shows it, on one line: its markup characters escaped."""
    for char in "\\*`|_":
        text = text.replace(char, "\\" + char)
    return " ".join(text.split())


def literal(text):
    """An indented literal block of ``text``."""
    return ["::", ""] + [f"   {line}" if line else "" for line in text.splitlines()] + [""]


def option_lines(parser, action):
    """One entry of the option list: its flags (with the value they take) and its help, defaults expanded."""
    formatter = parser._get_formatter()
    if action.option_strings:
        invocation = formatter._format_action_invocation(action)
    else:
        invocation = action.metavar or action.dest
    help_text = formatter._expand_help(action) if action.help else ""
    return [f"``{invocation}``", f"   {plain(help_text)}", ""]


def section(parser, title):
    lines = [title, "-" * len(title), ""] + literal(parser.format_usage().strip())
    if parser.description:
        lines += [plain(parser.description), ""]
    for group in parser._action_groups:
        actions = [a for a in group._group_actions if not isinstance(a, argparse._SubParsersAction)]
        if actions:
            lines += [f".. rubric:: {group.title}", ""]
            for action in actions:
                lines += option_lines(parser, action)
    if parser.epilog:
        lines += literal(parser.epilog)
    return lines


def page():
    parser = cli._parser()
    commands = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    title = "Command reference"
    lines = [title, "=" * len(title), "",
             "Every option of ``quorvel`` and ``quorvel agc``, with its default, as the installed command's "
             "``--help`` gives them.", ""]
    lines += section(parser, "quorvel")
    for name, sub in commands.choices.items():
        lines += section(sub, f"quorvel {name}")
    lines += ["Exit status", "-----------", ""] + literal(cli.EXIT_STATUS)
    return "\n".join(lines)


def write_page(app):
    PAGE.parent.mkdir(parents=True, exist_ok=True)
    text = page()
    if not PAGE.exists() or PAGE.read_text() != text:  # an unchanged page is not read again
        PAGE.write_text(text)


def setup(app):
    app.connect("builder-inited", write_page)
    return {"parallel_read_safe": True}
