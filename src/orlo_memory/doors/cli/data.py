"""The commands on a memory's data: `search`, `sessions`, `stats` and `export`
(`import` has a module of its own). Each reads an existing memory; the
embedding model is loaded only by a search by meaning or a ranking of
sessions by a query."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any

from ...contract.values import MAX_RESULTS, MODES
from ...core.memory import Memory
from ...core.user import UserMemory
from ...embedders import Embedder
from ...stores import is_url
from ..jsonl import export_jsonl
from .options import (
    CliError,
    add_command,
    json_option,
    load_model,
    model_options,
    number,
    user_option,
)
from .output import print_hits, print_sessions, print_stats


def add_commands(commands: Any) -> None:
    """Adds `search`, `sessions`, `stats` and `export` to the CLI's subparsers."""
    _add_search(commands)
    sub = add_command(
        commands,
        "sessions",
        "list a user's sessions, or rank them by a query",
        "Lists a user's sessions newest first, or with a QUERY the sessions whose "
        "turns are closest to it in meaning, best first.",
    )
    sub.add_argument("query", metavar="QUERY", nargs="?", help="rank the sessions by this text")
    user_option(sub)
    sub.add_argument("-k", type=number, metavar="N", help=f"at most N sessions, 0 to {MAX_RESULTS}")
    model_options(sub, "list the sessions without a QUERY only")
    json_option(sub)
    sub.set_defaults(run=_sessions)

    sub = add_command(
        commands,
        "stats",
        "counts of turns, sessions and the index per user",
        "Prints the counts of one user (--user) or of every user in the database.",
    )
    sub.add_argument("-u", "--user", metavar="NAME", help="one user only (default: all)")
    json_option(sub)
    sub.set_defaults(run=_stats)

    sub = add_command(
        commands,
        "export",
        "write a user's turns as JSON Lines",
        "Writes a user's live turns in the order they were added, in the format "
        "`import` reads (with ids and times), so export then import round-trips.",
    )
    user_option(sub)
    sub.add_argument("-o", "--output", metavar="FILE", help="write here (default: standard output)")
    sub.add_argument("--embeddings", action="store_true", help="include each turn's embedding")
    sub.set_defaults(run=_export)


def _add_search(commands: Any) -> None:
    sub = add_command(
        commands,
        "search",
        "the turns that best answer a query",
        "Prints the k turns that best answer a query, best first: by meaning and "
        "words together (hybrid, the default), by meaning only (vector) or by words "
        "only (lexical, needs no model).",
    )
    sub.add_argument("query", metavar="QUERY", help="the question or words to look for")
    user_option(sub)
    sub.add_argument(
        "-k",
        type=number,
        default=5,
        metavar="N",
        help=f"how many turns, 0 to {MAX_RESULTS} (default: 5)",
    )
    sub.add_argument("--session", metavar="ID", help="search one session only (its id)")
    sub.add_argument(
        "--mode",
        default="hybrid",
        metavar="MODE",
        help=f"{', '.join(MODES)} (default: hybrid)",
    )
    sub.add_argument(
        "--recency",
        type=number,
        default=0.0,
        metavar="W",
        help="weight of recency, 0 to 1 (default: 0)",
    )
    sub.add_argument(
        "--filter",
        metavar="JSON",
        help="only turns this JSON object matches, e.g. "
        """'{"role": "user", "year": {"$gte": 2020}}': metadata keys (or role, session,"""
        " created_at) with a value or operators $eq $ne $in $nin $gt $gte $lt $lte $exists,"
        " combined with $and, $or, $not",
    )
    model_options(sub, "search by words only (--mode lexical)")
    json_option(sub)
    sub.set_defaults(run=_search)


def _check_exists(path: str) -> None:
    if not is_url(path) and not os.path.isfile(path):
        raise CliError(
            f"no memory database at {path!r}: create one with 'orlo-memory import {path} FILE'"
        )


def _open_existing(path: str, embedder: Embedder | None) -> Memory:
    _check_exists(path)
    return Memory.open(path, embedder=embedder)


def _existing_user(memory: Memory, name: str) -> UserMemory:
    names = memory.users()
    if name not in names:
        known = ", ".join(repr(n) for n in names) or "none yet"
        raise CliError(
            f"no user {name!r} in this database (users: {known}); choose one with --user"
        )
    return memory.user(name)


def _json_filter(text: str | None) -> Any:
    """The --filter option's JSON value (checked by the library)."""
    if text is None:
        return None
    try:
        return json.loads(text)
    except ValueError as error:
        raise CliError(f"--filter is not JSON: {error}") from None


def _search(args: argparse.Namespace) -> int:
    _check_exists(args.database)
    where = _json_filter(args.filter)
    embedder = None
    if args.mode != "lexical":
        embedder = load_model(args, otherwise="search by words only: --mode lexical")
    with _open_existing(args.database, embedder) as memory:
        user = _existing_user(memory, args.user)
        hits = user.search(
            args.query,
            args.k,
            session=args.session,
            mode=args.mode,
            recency=args.recency,
            filter=where,
        )
    print_hits(hits, args.json)
    return 0


def _sessions(args: argparse.Namespace) -> int:
    _check_exists(args.database)
    embedder = None if args.query is None else load_model(args)
    with _open_existing(args.database, embedder) as memory:
        user = _existing_user(memory, args.user)
        found = user.sessions(args.query, args.k)
    print_sessions(found, args.json)
    return 0


def _stats(args: argparse.Namespace) -> int:
    with _open_existing(args.database, None) as memory:
        names = memory.users() if args.user is None else [args.user]
        rows = [_existing_user(memory, name).stats() for name in names]
    print_stats(rows, args.json)
    return 0


def _export(args: argparse.Namespace) -> int:
    if args.output is not None and _same_file(args.output, args.database):
        # Opening it for writing would empty the memory before a line was read.
        raise CliError(f"{args.output!r} is the memory itself: write the export to another file")
    with _open_existing(args.database, None) as memory:
        user = _existing_user(memory, args.user)
        if args.output is None:
            count = export_jsonl(user, sys.stdout, embeddings=args.embeddings)
        else:
            try:
                with open(args.output, "w", encoding="utf-8") as stream:
                    count = export_jsonl(user, stream, embeddings=args.embeddings)
            except OSError as error:
                raise CliError(f"cannot write {args.output!r}: {error.strerror}") from None
    print(f"exported {count} turns of user {args.user!r}", file=sys.stderr)
    return 0


def _same_file(path: str, database: str) -> bool:
    try:
        return not is_url(database) and os.path.samefile(path, database)
    except OSError:  # either does not exist
        return False
