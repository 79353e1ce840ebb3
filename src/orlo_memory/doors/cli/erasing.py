"""The `erase` command: removes a user and all that is theirs, for good,
once the caller confirms with --yes (without it, it tells what would go)."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from ...core.memory import Memory
from ...stores import is_url
from .options import CliError, add_command


def add_commands(commands: Any) -> None:
    """Adds `erase` to the CLI's subparsers."""
    sub = add_command(
        commands,
        "erase",
        "erase a user and all that is theirs, for good",
        "Removes a user's turns, sessions and index snapshots, and the user from the "
        "servers' tokens (a token for this user alone is revoked), in one step that a "
        "crash leaves done or undone. On SQLite the file is then rewritten so that no "
        "byte of the user's texts stays in it, which takes time in proportion to the "
        "whole database; on PostgreSQL the deleted rows stay on disk until VACUUM. "
        "Without --yes nothing is erased: it tells what would be.",
    )
    sub.add_argument("-u", "--user", required=True, metavar="NAME", help="the user to erase")
    sub.add_argument("--yes", action="store_true", help="confirm: erase the user for good")
    sub.set_defaults(run=_erase)


def _erase(args: argparse.Namespace) -> int:
    name = args.user
    if not is_url(args.database) and not os.path.isfile(args.database):
        raise CliError(f"no memory database at {args.database!r}")
    with Memory.open(args.database) as memory:
        names = memory.users()
        if name not in names:
            known = ", ".join(repr(n) for n in names) or "none"
            raise CliError(f"no user {name!r} in this database (users: {known})")
        if not args.yes:
            stats = memory.user(name).stats()
            raise CliError(
                f"nothing erased: user {name!r} has {stats.turns} turns in {stats.sessions}"
                " sessions; add --yes to erase them for good"
            )
        print(f"erasing user {name!r}...", file=sys.stderr, flush=True)
        memory.erase_user(name)
    print(f"erased user {name!r}", file=sys.stderr)
    return 0
