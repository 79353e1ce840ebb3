"""The server commands of `orlo-memory`: `mcp`, `serve` and `token`.

`cli.py` registers them with `add_commands`; the web and MCP libraries are
imported only when `mcp` or `serve` runs, so the other commands (and
`import orlo_memory`) never load them.
"""

from __future__ import annotations

import argparse
import os
import sys
import textwrap
from collections.abc import Callable
from datetime import UTC, datetime
from typing import Any

from ..errors import OrloMemoryError
from ..store import is_url
from .access import is_loopback, issue_token, open_token_store
from .settings import DEFAULT_MAX_BATCH, DEFAULT_MAX_BODY, ServerSettings

DEFAULT_HOST = "127.0.0.1"
DEFAULT_SERVE_PORT = 8765
DEFAULT_MCP_PORT = 8766


class ServerCommandError(OrloMemoryError):
    """A server command cannot start as asked (the message says why)."""


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected at least 1, got {value}")
    return value


def _address(text: str) -> tuple[str, int]:
    host, colon, port = text.rpartition(":")
    if not colon or not host or not port.isdigit() or not 0 <= int(port) < 65536:
        raise argparse.ArgumentTypeError(f"expected HOST:PORT (e.g. 127.0.0.1:8766), got {text!r}")
    return host.strip("[]"), int(port)


def add_commands(
    commands: Any, formatter: Callable[[str], argparse.HelpFormatter]
) -> dict[str, Callable[[argparse.Namespace], int]]:
    """Adds the server commands to `commands` (the CLI's subparsers) and
    returns their handlers by name."""

    def command(name: str, summary: str, description: str) -> argparse.ArgumentParser:
        sub: argparse.ArgumentParser = commands.add_parser(
            name,
            help=summary,
            description=textwrap.fill(description, 78),
            formatter_class=formatter,
        )
        sub.add_argument(
            "database", metavar="DB", help="the memory: a SQLite file or a PostgreSQL URL"
        )
        return sub

    def model_options(sub: argparse.ArgumentParser) -> None:
        group = sub.add_mutually_exclusive_group()
        group.add_argument(
            "--model",
            metavar="DIR",
            help="a local sentence-transformers model (default: the packaged all-MiniLM-L6-v2)",
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
            help="load no model: clients send embeddings (or search by words only)",
        )
        sub.add_argument("--embed-model", metavar="NAME", help="the model the server serves")
        sub.add_argument(
            "--dimension",
            type=_positive,
            metavar="N",
            help="the dimension of a new memory without a model",
        )

    sub = command(
        "mcp",
        "serve a user's memory to an assistant over MCP",
        "Runs an MCP server whose tools remember, search, list sessions, read and forget "
        "turns of one user's memory. By default it speaks over standard input and output, "
        "as desktop assistants start it; --http HOST:PORT serves streamable HTTP instead, "
        "where each request's bearer token decides the user.",
    )
    sub.add_argument(
        "-u", "--user", default="default", metavar="NAME", help="whose memory (default: 'default')"
    )
    sub.add_argument(
        "--http", type=_address, metavar="HOST:PORT", help="serve streamable HTTP at /mcp"
    )
    model_options(sub)

    sub = command(
        "serve",
        "serve the memory as an HTTP JSON API with an inspector page",
        "Runs the HTTP API (OpenAPI at /docs) and the memory inspector (at /). Without "
        "tokens in the memory it answers anyone, and so listens on a loopback address "
        "only; create tokens with 'orlo-memory token create'.",
    )
    sub.add_argument(
        "--host", default=DEFAULT_HOST, help=f"address to listen on (default: {DEFAULT_HOST})"
    )
    sub.add_argument(
        "--port",
        type=int,
        default=DEFAULT_SERVE_PORT,
        help=f"port (default: {DEFAULT_SERVE_PORT}; 0: any free one)",
    )
    sub.add_argument(
        "--workers",
        type=_positive,
        default=1,
        metavar="N",
        help="server processes (PostgreSQL only; default: 1)",
    )
    sub.add_argument(
        "--max-body",
        type=_positive,
        default=DEFAULT_MAX_BODY,
        metavar="BYTES",
        help=f"largest request body (default: {DEFAULT_MAX_BODY})",
    )
    sub.add_argument(
        "--max-batch",
        type=_positive,
        default=DEFAULT_MAX_BATCH,
        metavar="N",
        help=f"most turns in one batch, ids in one forget (default: {DEFAULT_MAX_BATCH})",
    )
    model_options(sub)

    token = commands.add_parser(
        "token",
        help="create, list or revoke the servers' bearer tokens",
        description=textwrap.fill(
            "Manages the bearer tokens that the HTTP API and the MCP server over HTTP "
            "accept; only their SHA-256 is stored, in the memory's database.",
            78,
        ),
        formatter_class=formatter,
    )
    actions = token.add_subparsers(dest="action", metavar="ACTION", parser_class=type(token))
    actions.required = True

    def action(name: str, summary: str, description: str) -> argparse.ArgumentParser:
        sub: argparse.ArgumentParser = actions.add_parser(
            name,
            help=summary,
            description=textwrap.fill(description, 78),
            formatter_class=formatter,
        )
        sub.add_argument(
            "database", metavar="DB", help="the memory: a SQLite file or a PostgreSQL URL"
        )
        return sub

    sub = action(
        "create",
        "make a token and print it once",
        "Makes a token that reaches the users named with --user (repeat it) or, with "
        "--admin, every user, and prints it on standard output. It is shown only now.",
    )
    sub.add_argument(
        "-u", "--user", action="append", metavar="NAME", help="a user the token reaches"
    )
    sub.add_argument("--admin", action="store_true", help="the token reaches every user")
    sub.add_argument("--name", default="", metavar="LABEL", help="what the token is for")
    action(
        "list", "the tokens: id, creation time, label and users", "Lists the tokens, oldest first."
    )
    sub = action("revoke", "delete a token", "Deletes a token: requests with it fail from now on.")
    sub.add_argument("token_id", metavar="ID", help="the token's id (see 'token list')")
    return {"mcp": _mcp, "serve": _serve, "token": _token}


def _settings(args: argparse.Namespace, host: str, port: int) -> ServerSettings:
    return ServerSettings(
        location=args.database,
        host=host,
        port=port,
        model=args.model,
        embed_url=args.embed_url,
        embed_model=args.embed_model,
        precomputed=args.precomputed,
        dimension=args.dimension,
        max_body=getattr(args, "max_body", DEFAULT_MAX_BODY),
        max_batch=getattr(args, "max_batch", DEFAULT_MAX_BATCH),
        user=getattr(args, "user", None) or "default",
    )


def _check_listening(location: str, host: str) -> None:
    """A server answers anyone while its memory holds no token: only on loopback."""
    if is_loopback(host):
        return
    store = open_token_store(location)
    try:
        if not store.has_tokens():
            raise ServerCommandError(
                f"refusing to listen on {host} without a token: anyone could read every "
                f"memory. Create one first: orlo-memory token create {location} --user NAME"
            )
    finally:
        store.close()


def _serve(args: argparse.Namespace) -> int:
    if args.workers > 1 and not is_url(args.database):
        raise ServerCommandError(
            "several workers need a PostgreSQL memory (SQLite serialises every write): "
            "drop --workers, or serve a postgresql:// URL"
        )
    _check_listening(args.database, args.host)
    settings = _settings(args, args.host, args.port)
    settings.to_environment()
    import uvicorn

    if args.workers == 1:
        from .http_api import build

        app = build(settings)  # opened here, so a failure is reported before listening
        print(
            f"orlo-memory: serving {_shown(args.database)} at http://{_url_host(args.host)}:{args.port}/"
            " (inspector at /, API docs at /docs)",
            file=sys.stderr,
        )
        uvicorn.run(app, host=args.host, port=args.port, log_level="warning")
    else:
        uvicorn.run(
            "orlo_memory.server.http_api:app_from_environment",
            factory=True,
            host=args.host,
            port=args.port,
            workers=args.workers,
            log_level="warning",
        )
    return 0


def _mcp(args: argparse.Namespace) -> int:
    from . import mcp_server
    from .opening import open_memory

    if args.http is None:
        memory = open_memory(_settings(args, DEFAULT_HOST, 0))
        mcp_server.run_stdio(memory, args.user)
        return 0
    host, port = args.http
    _check_listening(args.database, host)
    from .access import Access

    access = Access(open_token_store(args.database), open_without_tokens=is_loopback(host))
    try:
        memory = open_memory(_settings(args, host, port))
    except BaseException:
        access.close()
        raise
    print(
        f"orlo-memory: MCP over streamable HTTP at http://{_url_host(host)}:{port}/mcp",
        file=sys.stderr,
    )
    mcp_server.run_http(memory, args.user, access, host, port)
    return 0


def _token(args: argparse.Namespace) -> int:
    if args.action == "create":
        if args.admin == bool(args.user):
            raise ServerCommandError(
                "name the users the token reaches (--user NAME), or give --admin"
            )
        if not is_url(args.database) and not os.path.exists(args.database):
            print(f"orlo-memory token: creating {args.database!r}", file=sys.stderr)
    if args.action != "create" and not is_url(args.database) and not os.path.isfile(args.database):
        raise ServerCommandError(f"no memory database at {args.database!r}")
    store = open_token_store(args.database)
    try:
        if args.action == "create":
            now = datetime.now(UTC)
            now_us = int(now.timestamp() * 1_000_000)
            name = args.name or ("admin" if args.admin else ", ".join(args.user))
            text, record = issue_token(store, name, None if args.admin else args.user, now_us)
            print(text)
            print(
                f"token {record.id} ({name}) reaches "
                f"{'every user' if record.users is None else ', '.join(record.users)}; "
                "it is shown only now: keep it safe",
                file=sys.stderr,
            )
        elif args.action == "list":
            for record in store.list_tokens():
                when = datetime.fromtimestamp(record.created_us / 1e6, UTC).strftime(
                    "%Y-%m-%d %H:%M"
                )
                users = "(every user)" if record.users is None else ", ".join(record.users)
                print(f"{record.id}  {when}  {record.name}  {users}")
        elif not store.remove_token(args.token_id):
            raise ServerCommandError(f"no token {args.token_id!r} (see 'orlo-memory token list')")
        else:
            print(f"revoked token {args.token_id}", file=sys.stderr)
    finally:
        store.close()
    return 0


def _shown(location: str) -> str:
    return "a PostgreSQL database" if is_url(location) else repr(location)


def _url_host(host: str) -> str:
    return f"[{host}]" if ":" in host else host
