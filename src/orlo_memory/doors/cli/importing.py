"""The `import` command: a JSON Lines conversation into a user's memory, in
one transaction, every line checked first so that a bad one names itself and
nothing is stored."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterator
from contextlib import ExitStack
from typing import IO, Any

from ...contract.turns import NewTurn
from ...contract.values import parse_id
from ...core.memory import Memory
from ...core.user import UserMemory
from ...embedders import Embedder
from ...errors import DuplicateIdError
from ..jsonl import read_located_turns
from .options import CliError, add_command, load_model, model_options, user_option


def add_commands(commands: Any) -> None:
    """Adds `import` to the CLI's subparsers."""
    sub = add_command(
        commands,
        "import",
        "add a JSON Lines conversation to a user's memory",
        "Adds every turn of a JSON Lines conversation file to a user's memory, in "
        "one transaction: a malformed line names itself and nothing is stored. A "
        'change of the "session" value starts a new session. Creates the database '
        "when it does not exist.",
    )
    sub.add_argument("file", metavar="FILE", help="the conversation file ('-': standard input)")
    user_option(sub)
    model_options(sub, 'use the file\'s "embedding" fields only')
    sub.add_argument("--no-progress", action="store_true", help="no progress bar on standard error")
    sub.set_defaults(run=_import)


def _utf8_lines(stream: IO[bytes], source: str) -> Iterator[str]:
    """The stream's lines, decoded strictly (a lenient decoding would turn bad
    bytes into text no store can hold), the first bad one named."""
    for number, line in enumerate(stream, start=1):
        try:
            yield line.decode("utf-8")
        except UnicodeDecodeError as error:
            raise CliError(
                f"{source}:{number}: not UTF-8 text (a bad byte at column {error.start + 1})"
            ) from None


def _read(path: str) -> tuple[str, list[tuple[str, NewTurn]]]:
    """The file's name as messages show it, and its turns, each with where it was read."""
    source = "<stdin>" if path == "-" else path
    with ExitStack() as stack:
        stream: IO[bytes]
        if path == "-":
            stream = sys.stdin.buffer
        else:
            try:
                stream = stack.enter_context(open(path, "rb"))
            except OSError as error:
                raise CliError(f"cannot read {source!r}: {error.strerror}") from None
        located = read_located_turns(_utf8_lines(stream, source), source)
    if not located:
        raise CliError(f"{source!r} holds no turns")
    return source, located


def _import(args: argparse.Namespace) -> int:
    source, located = _read(args.file)
    turns = [turn for _, turn in located]
    unembedded = next((n for n, turn in enumerate(turns) if turn.embedding is None), None)
    embedder: Embedder | None = None
    dimension: int | None = None
    if unembedded is not None:
        if args.precomputed:
            raise CliError(
                f'turn {unembedded + 1} of {source!r} has no "embedding" and --precomputed '
                "loads no model: add embeddings to every line, or drop --precomputed"
            )
        embedder = load_model(args)
    elif not args.precomputed and args.model is not None:
        embedder = load_model(args)
    else:
        dimension = len(turns[0].embedding)
    with Memory.open(args.database, embedder=embedder, dimension=dimension) as memory:
        for where, turn in located:
            if turn.embedding is not None and len(turn.embedding) != memory.dimension:
                raise CliError(
                    f"{where}: embedding has {len(turn.embedding)} numbers, the memory's"
                    f" have {memory.dimension}"
                )
        user = memory.user(args.user)
        progress = False if args.no_progress else None
        try:
            ids = user.add_many(turns, progress=progress)
        except DuplicateIdError:
            _name_stored_id(user, located)
            raise
        sessions = len({turn.session_id for turn in user.get(ids)})
    print(f"imported {len(ids)} turns in {sessions} sessions for user {args.user!r}")
    return 0


def _name_stored_id(user: UserMemory, located: list[tuple[str, NewTurn]]) -> None:
    """Raises CliError naming the first line whose id is stored already."""
    taken = set(user.taken_ids([turn.id for _, turn in located if turn.id is not None]))
    for where, turn in located:
        if turn.id is not None and parse_id(turn.id) in taken:
            raise CliError(f"{where}: turn id {parse_id(turn.id)} is already stored")
