"""A Sphinx directive that writes the command line's reference from its argparse parser.

``argparse-reference`` takes ``module:function``, a function that returns the parser, and writes a section
per command: its usage, its description and its options by group. Descriptions are shown as written, the
way the command's ``--help`` shows them (they are laid out for a terminal, lists and all), and each option's
help is plain text, never parsed as markup: the help can change wording without breaking the build.
"""

from __future__ import annotations

import argparse
import importlib
from typing import Any, Dict, List

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective


def parser_of(path: str) -> argparse.ArgumentParser:
    """The parser ``module:function`` builds."""
    module_name, _, function_name = path.partition(":")
    parser: argparse.ArgumentParser = getattr(importlib.import_module(module_name), function_name)()
    return parser


def commands_of(parser: argparse.ArgumentParser) -> Dict[str, argparse.ArgumentParser]:
    """The subcommands' parsers by name, in the order they were added."""
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return dict(action.choices)
    return {}


def option_term(parser: argparse.ArgumentParser, action: argparse.Action) -> str:
    """How ``--help`` writes the option: ``-m FILE, --matrix FILE``, or a positional's metavar."""
    return parser._get_formatter()._format_action_invocation(action)


def help_of(parser: argparse.ArgumentParser, action: argparse.Action) -> str:
    """The option's help with argparse's ``%(default)s``-style fields filled in, as ``--help`` prints it."""
    return parser._get_formatter()._expand_help(action) if action.help else ""


def entries_of(group: argparse._ArgumentGroup) -> List[argparse.Action]:
    """The group's options, with the subcommands in place of the action that holds them."""
    entries: List[argparse.Action] = []
    for action in group._group_actions:
        if isinstance(action, argparse._SubParsersAction):
            entries.extend(action._choices_actions)
        else:
            entries.append(action)
    return entries


class ArgparseReference(SphinxDirective):
    """``argparse-reference module:function``: a section per command of the parser the function builds."""

    required_arguments = 1

    def run(self) -> List[nodes.Node]:
        parser = parser_of(self.arguments[0])
        sections = [self.command_section(parser.prog, parser)]
        for name, command in commands_of(parser).items():
            sections.append(self.command_section(f"{parser.prog} {name}", command))
        return sections

    def command_section(self, title: str, parser: argparse.ArgumentParser) -> nodes.section:
        section = nodes.section(ids=[nodes.make_id(title)], names=[nodes.fully_normalize_name(title)])
        section += nodes.title(title, "", nodes.literal(title, title))
        self.state.document.note_implicit_target(section)
        usage = parser.format_usage().strip()
        section += nodes.literal_block(usage, usage)
        if parser.description:
            description = parser.description.rstrip()
            section += nodes.literal_block(description, description)
        for group in parser._action_groups:
            shown = [a for a in entries_of(group) if a.help != argparse.SUPPRESS]
            if not shown:
                continue
            section += nodes.rubric(group.title, group.title)
            options = nodes.definition_list()
            for action in shown:
                term = option_term(parser, action)
                item = nodes.definition_list_item()
                item += nodes.term(term, "", nodes.literal(term, term))
                item += nodes.definition("", nodes.paragraph(text=help_of(parser, action)))
                options += item
            section += options
        return section


def setup(app: Sphinx) -> Dict[str, Any]:
    app.add_directive("argparse-reference", ArgparseReference)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
