"""What the commands share: how a command and its options are declared, the
option types, the checks of option values by the library's own rules, and the
embedding model the options name."""

from __future__ import annotations

import argparse
import sys
import textwrap
from typing import Any

from ...contract.values import k_argument, mode_argument, recency_argument, user_name
from ...embedders import Embedder
from ..models import open_model

DEFAULT_USER = "default"


class CliError(Exception):
    """A failure to report in one line (exit code 1)."""


class Parser(argparse.ArgumentParser):
    """Usage errors name the command's help, so the next step is obvious."""

    def error(self, message: str) -> Any:
        self.print_usage(sys.stderr)
        self.exit(2, f"{self.prog}: error: {message}\n(see '{self.prog} --help')\n")


def formatter(prog: str) -> argparse.HelpFormatter:
    return argparse.RawDescriptionHelpFormatter(prog, max_help_position=30)


def add_command(
    commands: Any, name: str, summary: str, description: str
) -> argparse.ArgumentParser:
    """A command (or a `token` action) of `commands`, a subparsers object,
    with the memory it works on as its first argument."""
    sub: argparse.ArgumentParser = commands.add_parser(
        name, help=summary, description=textwrap.fill(description, 78), formatter_class=formatter
    )
    sub.add_argument(
        "database", metavar="DB", help="the memory: a SQLite file or a postgresql:// URL"
    )
    return sub


def user_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument(
        "-u",
        "--user",
        default=DEFAULT_USER,
        metavar="NAME",
        help=f"whose memory (default: {DEFAULT_USER!r})",
    )


def json_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("--json", action="store_true", help="one JSON object per line")


def model_options(
    sub: argparse.ArgumentParser, precomputed: str, *, dimension: bool = False
) -> None:
    """--model DIR or --precomputed (`precomputed`: what that means for this
    command); with `dimension`, --dimension N for a new memory without a model."""
    group = sub.add_mutually_exclusive_group()
    group.add_argument(
        "--model",
        metavar="DIR",
        help="a local sentence-transformers model directory "
        "(default: the packaged all-MiniLM-L6-v2)",
    )
    group.add_argument(
        "--embed-url",
        metavar="URL",
        help="embed through an OpenAI-compatible server at this base URL "
        "(e.g. http://localhost:11434/v1; key: $ORLO_MEMORY_EMBED_KEY)",
    )
    group.add_argument("--precomputed", action="store_true", help=f"load no model: {precomputed}")
    sub.add_argument("--embed-model", metavar="NAME", help="the model the --embed-url server runs")
    if dimension:
        sub.add_argument(
            "--dimension",
            type=positive_int,
            metavar="N",
            help="the dimension of a new memory without a model",
        )


def whole_number(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None


def number(text: str) -> int | float | str:
    """An option's number as written (an integer or a real), for the library
    to check against its range; other text stays text, which the library
    refuses with the same message as at every other door."""
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def positive_int(text: str) -> int:
    value = whole_number(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected at least 1, got {value}")
    return value


def check_values(args: argparse.Namespace) -> None:
    """Refuses user names and counts the library would refuse, with its
    messages, before a command opens a memory or loads a model."""
    names = getattr(args, "user", None)
    for name in [names] if isinstance(names, str) else names or ():
        user_name(name)
    if getattr(args, "k", None) is not None:
        args.k = k_argument(args.k)
    if getattr(args, "mode", None) is not None:
        args.mode = mode_argument(args.mode)
    if getattr(args, "recency", None) is not None:
        args.recency = recency_argument(args.recency)


def load_model(args: argparse.Namespace, *, otherwise: str = "") -> Embedder:
    """The embedding model the options name, for a command that needs one
    (`otherwise`: another way to go on without it)."""
    embedder = open_model(
        args.model,
        args.precomputed,
        embed_url=args.embed_url,
        embed_model=args.embed_model,
        otherwise=otherwise,
    )
    if embedder is None:
        also = f" (or {otherwise})" if otherwise else ""
        raise CliError(f"--precomputed was given, but this needs the embedding model{also}")
    return embedder
