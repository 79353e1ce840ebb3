"""The `orlo-memory` command line: import, search, sessions, stats and export.

Exit codes: 0 success, 1 a failure the message explains (bad input, a missing
database or user, no embedding model), 2 a usage error, 130 interrupted.
The embedding model is loaded only by the commands that embed text: `import`
of turns without an "embedding" field, `search` by meaning and `sessions`
with a query. It is the packaged all-MiniLM-L6-v2 when the `embed` extra is
installed, or the model directory given with --model; --precomputed never
loads one (import then needs an "embedding" on every line, search works in
lexical mode).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import textwrap
from collections.abc import Callable, Iterator, Sequence
from contextlib import ExitStack
from typing import IO, Any

from .embedders import Embedder, MissingExtraError, open_embedder
from .errors import DuplicateIdError, OrloMemoryError
from .jsonl import export_jsonl, read_located_turns
from .memory import Memory
from .results import Hit, SessionInfo
from .server.commands import add_commands as add_server_commands
from .store import is_url
from .user import MODES, NewTurn, UserMemory
from .values import parse_id

DEFAULT_USER = "default"

EPILOG = """\
examples:
  orlo-memory import chat.db conversation.jsonl --user maya
  orlo-memory search chat.db "when is the flight to Lisbon?" --user maya -k 5
  orlo-memory search chat.db "booking reference" --user maya --mode lexical --json
  orlo-memory sessions chat.db "kitchen renovation" --user maya -k 3
  orlo-memory stats chat.db
  orlo-memory export chat.db --user maya -o backup.jsonl

Conversation files are JSON Lines, one turn per line: "text" (required),
"session", "session_title", "role", "created_at" (ISO 8601), "new_topic",
"metadata", "id" and "embedding" (optional). `export` writes the same format.

The embedding model is the packaged all-MiniLM-L6-v2 when the `embed` extra is
installed (pip install 'orlo_kiv[embed]'); --model DIR uses another local
sentence-transformers model; --embed-url URL --embed-model NAME an
OpenAI-compatible embedding server; --precomputed only the "embedding" fields.

exit codes: 0 success, 1 failure (the message says why), 2 usage error.
"""


class CliError(Exception):
    """A failure to report in one line (exit code 1)."""


class _Parser(argparse.ArgumentParser):
    """Usage errors name the command's help, so the next step is obvious."""

    def error(self, message: str) -> Any:
        self.print_usage(sys.stderr)
        self.exit(2, f"{self.prog}: error: {message}\n(see '{self.prog} --help')\n")


def _formatter(prog: str) -> argparse.HelpFormatter:
    return argparse.RawDescriptionHelpFormatter(prog, max_help_position=30)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="orlo-memory",
        description=textwrap.fill(
            "A conversation memory on SQLite, built on the orlo_kiv index: import "
            "conversations, search them by meaning and by words, list sessions, show "
            "counts and export.",
            78,
        ),
        epilog=EPILOG,
        formatter_class=_formatter,
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    def command(name: str, summary: str, description: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(
            name,
            help=summary,
            description=textwrap.fill(description, 78),
            formatter_class=_formatter,
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

    def model_options(sub: argparse.ArgumentParser) -> None:
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
        group.add_argument(
            "--precomputed",
            action="store_true",
            help='load no model: use the files\' "embedding" fields only',
        )
        sub.add_argument("--embed-model", metavar="NAME", help="the model the server serves")

    def json_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--json", action="store_true", help="one JSON object per line")

    sub = command(
        "import",
        "add a JSON Lines conversation to a user's memory",
        "Adds every turn of a JSON Lines conversation file to a user's memory, in "
        "one transaction: a malformed line names itself and nothing is stored. A "
        'change of the "session" value starts a new session. Creates the database '
        "when it does not exist.",
    )
    sub.add_argument("file", metavar="FILE", help="the conversation file ('-': standard input)")
    user_option(sub)
    model_options(sub)
    sub.add_argument("--no-progress", action="store_true", help="no progress bar on standard error")

    sub = command(
        "search",
        "the turns that best answer a query",
        "Prints the k turns that best answer a query, best first: by meaning and "
        "words together (hybrid, the default), by meaning only (vector) or by words "
        "only (lexical, needs no model).",
    )
    sub.add_argument("query", metavar="QUERY", help="the question or words to look for")
    user_option(sub)
    sub.add_argument(
        "-k", type=_positive_int, default=5, metavar="N", help="how many turns (default: 5)"
    )
    sub.add_argument("--session", metavar="ID", help="search one session only (its id)")
    sub.add_argument("--mode", choices=MODES, default="hybrid", help="default: hybrid")
    sub.add_argument(
        "--recency",
        type=_share,
        default=0.0,
        metavar="W",
        help="weight of recency, 0 to 1 (default: 0)",
    )
    model_options(sub)
    json_option(sub)

    sub = command(
        "sessions",
        "list a user's sessions, or rank them by a query",
        "Lists a user's sessions newest first, or with a QUERY the sessions whose "
        "turns are closest to it in meaning, best first.",
    )
    sub.add_argument("query", metavar="QUERY", nargs="?", help="rank the sessions by this text")
    user_option(sub)
    sub.add_argument("-k", type=_positive_int, default=None, metavar="N", help="at most N sessions")
    model_options(sub)
    json_option(sub)

    sub = command(
        "stats",
        "counts of turns, sessions and the index per user",
        "Prints the counts of one user (--user) or of every user in the database.",
    )
    sub.add_argument("-u", "--user", metavar="NAME", help="one user only (default: all)")
    json_option(sub)

    sub = command(
        "export",
        "write a user's turns as JSON Lines",
        "Writes a user's live turns in the order they were added, in the format "
        "`import` reads (with ids and times), so export then import round-trips.",
    )
    user_option(sub)
    sub.add_argument("-o", "--output", metavar="FILE", help="write here (default: standard output)")
    sub.add_argument("--embeddings", action="store_true", help="include each turn's embedding")
    COMMANDS.update(add_server_commands(commands, _formatter))
    return parser


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected at least 1, got {value}")
    return value


def _share(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, got {text!r}")
    return value


# -- opening -------------------------------------------------------------------


def _load_model(args: argparse.Namespace) -> Embedder:
    """The embedding model the options name; CliError when there is none."""
    if args.precomputed:
        raise CliError("--precomputed was given, but this needs the embedding model")
    # The model libraries' own progress bars and notices would clutter the output.
    os.environ.setdefault("HF_HUB_DISABLE_PROGRESS_BARS", "1")
    os.environ.setdefault("TRANSFORMERS_VERBOSITY", "error")
    os.environ.setdefault("TRANSFORMERS_NO_ADVISORY_WARNINGS", "1")
    try:
        embedder = open_embedder(args.model, embed_url=args.embed_url, embed_model=args.embed_model)
    except MissingExtraError as error:
        raise CliError(f"no embedding model available: {error}") from None
    assert embedder is not None
    return embedder


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


# -- commands ------------------------------------------------------------------


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


def _import(args: argparse.Namespace) -> int:
    source = "<stdin>" if args.file == "-" else args.file
    with ExitStack() as stack:
        stream: IO[bytes]
        if args.file == "-":
            stream = sys.stdin.buffer
        else:
            try:
                stream = stack.enter_context(open(args.file, "rb"))
            except OSError as error:
                raise CliError(f"cannot read {source!r}: {error.strerror}") from None
        located = read_located_turns(_utf8_lines(stream, source), source)
    turns = [turn for _, turn in located]
    if not turns:
        raise CliError(f"{source!r} holds no turns")
    unembedded = next((n for n, turn in enumerate(turns) if turn.embedding is None), None)
    embedder: Embedder | None = None
    dimension: int | None = None
    if unembedded is not None:
        if args.precomputed:
            raise CliError(
                f'turn {unembedded + 1} of {source!r} has no "embedding" and --precomputed '
                "loads no model: add embeddings to every line, or drop --precomputed"
            )
        embedder = _load_model(args)
    elif not args.precomputed and args.model is not None:
        embedder = _load_model(args)
    else:
        first = turns[0].embedding
        dimension = len(first) if isinstance(first, list) else None
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


def _search(args: argparse.Namespace) -> int:
    _check_exists(args.database)
    embedder = None
    if args.mode != "lexical":
        try:
            embedder = _load_model(args)
        except CliError as error:
            raise CliError(f"{error} (or search by words only: --mode lexical)") from None
    with _open_existing(args.database, embedder) as memory:
        user = _existing_user(memory, args.user)
        hits = user.search(
            args.query, args.k, session=args.session, mode=args.mode, recency=args.recency
        )
    for rank, hit in enumerate(hits, start=1):
        print(
            json.dumps(_hit_entry(hit), ensure_ascii=False) if args.json else _hit_line(rank, hit)
        )
    if not hits and not args.json:
        print("no matching turns", file=sys.stderr)
    return 0


def _hit_entry(hit: Hit) -> dict[str, Any]:
    return {
        "id": hit.id,
        "score": hit.score,
        "role": hit.role,
        "session": hit.session_id,
        "created_at": hit.created_at.isoformat().replace("+00:00", "Z"),
        "text": hit.text,
        "metadata": hit.metadata,
        "vector_rank": hit.vector_rank,
        "lexical_rank": hit.lexical_rank,
    }


def _hit_line(rank: int, hit: Hit) -> str:
    when = hit.created_at.strftime("%Y-%m-%d %H:%M")
    text = " ".join(hit.text.split())
    return f"{rank:>2}. {hit.score:.4f}  {when}  {hit.role:<9}  {hit.session_id[:8]}  {text}"


def _sessions(args: argparse.Namespace) -> int:
    _check_exists(args.database)
    embedder = None if args.query is None else _load_model(args)
    with _open_existing(args.database, embedder) as memory:
        user = _existing_user(memory, args.user)
        found = user.sessions(args.query, args.k)
    for info in found:
        print(
            json.dumps(_session_entry(info), ensure_ascii=False)
            if args.json
            else _session_line(info)
        )
    if not found and not args.json:
        print("no sessions", file=sys.stderr)
    return 0


def _session_entry(info: SessionInfo) -> dict[str, Any]:
    return {
        "id": info.id,
        "title": info.title,
        "created_at": info.created_at.isoformat().replace("+00:00", "Z"),
        "turns": info.turn_count,
        "score": info.score,
    }


def _session_line(info: SessionInfo) -> str:
    score = "" if info.score is None else f"{info.score:.4f}  "
    when = info.created_at.strftime("%Y-%m-%d %H:%M")
    return f"{score}{info.id}  {when}  {info.turn_count:>5} turns  {info.title or '(untitled)'}"


def _stats(args: argparse.Namespace) -> int:
    with _open_existing(args.database, None) as memory:
        names = memory.users() if args.user is None else [args.user]
        rows = [_existing_user(memory, name).stats() for name in names]
    for stats in rows:
        entry = {
            "user": stats.user,
            "turns": stats.turns,
            "sessions": stats.sessions,
            "forgotten": stats.forgotten,
            "head_seq": stats.head_seq,
            "epoch": stats.epoch,
            "snapshot_seq": stats.snapshot_seq,
            "events_after_snapshot": stats.events_after_snapshot,
            "index_points": stats.index_points,
            "dimension": stats.dimension,
        }
        if args.json:
            print(json.dumps(entry))
        else:
            print(f"user {stats.user!r}")
            for key, value in list(entry.items())[1:]:
                print(f"  {key.replace('_', ' ')}: {value}")
    if not rows and not args.json:
        print("no users yet", file=sys.stderr)
    return 0


def _export(args: argparse.Namespace) -> int:
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


COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "import": _import,
    "search": _search,
    "sessions": _sessions,
    "stats": _stats,
    "export": _export,
}


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return COMMANDS[args.command](args)
    except (CliError, OrloMemoryError) as error:
        print(f"orlo-memory {args.command}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"orlo-memory {args.command}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader (e.g. `head`) went away: stop quietly, as other tools do.
        sys.stderr.close()
        return 1
