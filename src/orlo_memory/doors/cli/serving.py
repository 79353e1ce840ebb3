"""The server commands: `mcp`, `serve` and `token`.

The servers' modules (and through them the web and MCP libraries) are
imported inside the handlers, so the other commands never load them.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import textwrap
from datetime import UTC, datetime
from typing import Any

from ...stores import is_url
from ...stores.tokens import TokenStore
from ..server.settings import (
    DEFAULT_LOCK_WAIT,
    DEFAULT_MAX_BATCH,
    DEFAULT_MAX_BODY,
    ServerSettings,
)
from .options import CliError, add_command, formatter, model_options, positive_int, user_option

DEFAULT_HOST = "127.0.0.1"
DEFAULT_SERVE_PORT = 8765
DEFAULT_MCP_PORT = 8766
_PRECOMPUTED = "clients send embeddings (or search by words only)"
MAX_LOCK_WAIT = 3600.0


def add_commands(commands: Any) -> None:
    """Adds `mcp`, `serve` and `token` to the CLI's subparsers."""
    sub = add_command(
        commands,
        "mcp",
        "serve a user's memory to an assistant over MCP",
        "Runs an MCP server whose tools remember, search, list sessions, read and forget "
        "turns of one user's memory. By default it speaks over standard input and output, "
        "as desktop assistants start it; --http HOST:PORT serves streamable HTTP instead, "
        "where each request's bearer token decides the user and its Host must name the "
        "listening address (or a name given with --allow-host).",
    )
    user_option(sub)
    sub.add_argument(
        "--http", type=_address, metavar="HOST:PORT", help="serve streamable HTTP at /mcp"
    )
    _max_batch_option(sub)
    _lock_wait_option(sub)
    _allow_host_option(sub)
    model_options(sub, _PRECOMPUTED, dimension=True)
    _create_option(sub)
    sub.set_defaults(run=_mcp)
    _add_serve(commands)
    _add_token(commands)


def _address(text: str) -> tuple[str, int]:
    host, colon, port = text.rpartition(":")
    if not colon or not host or not port.isdigit() or not 0 <= int(port) < 65536:
        raise argparse.ArgumentTypeError(f"expected HOST:PORT (e.g. 127.0.0.1:8766), got {text!r}")
    return host.strip("[]"), int(port)


def _create_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument(
        "--create",
        action="store_true",
        help="start a new, empty memory when the file DB does not exist "
        "(without it a missing file is an error)",
    )


def _add_serve(commands: Any) -> None:
    sub = add_command(
        commands,
        "serve",
        "serve the memory as an HTTP JSON API with an inspector page",
        "Runs the HTTP API (OpenAPI at /docs) and the memory inspector (at /). Without "
        "tokens in the memory it answers anyone, and so listens on a loopback address "
        "only; create tokens with 'orlo-memory token create'. Requests must name the "
        "listening address as their Host, so that no web page reaches the server through "
        "a name of its own; --allow-host adds a name, such as a reverse proxy's.",
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
        type=positive_int,
        default=1,
        metavar="N",
        help="server processes (PostgreSQL only; default: 1)",
    )
    sub.add_argument(
        "--max-body",
        type=positive_int,
        default=DEFAULT_MAX_BODY,
        metavar="BYTES",
        help=f"largest request body (default: {DEFAULT_MAX_BODY})",
    )
    _max_batch_option(sub)
    _lock_wait_option(sub)
    _allow_host_option(sub)
    model_options(sub, _PRECOMPUTED, dimension=True)
    _create_option(sub)
    sub.set_defaults(run=_serve)


def _max_batch_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument(
        "--max-batch",
        type=positive_int,
        default=DEFAULT_MAX_BATCH,
        metavar="N",
        help=f"most turns in one batch, ids in one forget (default: {DEFAULT_MAX_BATCH})",
    )


def _lock_wait_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument(
        "--lock-wait",
        type=_seconds,
        default=DEFAULT_LOCK_WAIT,
        metavar="SECONDS",
        help="how long a request waits for the database (a lock another process holds, a "
        f"connection) before the answer is 503 with Retry-After (default: {DEFAULT_LOCK_WAIT:g})",
    )


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 < value <= MAX_LOCK_WAIT:
        raise argparse.ArgumentTypeError(
            f"expected seconds above 0 and at most {MAX_LOCK_WAIT:g}, got {text!r}"
        )
    return value


def _allow_host_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument(
        "--allow-host",
        action="append",
        default=[],
        metavar="NAME",
        help="a host name requests may carry besides the listening address, such as a "
        "reverse proxy's; writes from pages of that name are accepted too (repeatable)",
    )


def _add_token(commands: Any) -> None:
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
    sub = add_command(
        actions,
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
    sub.set_defaults(run=_token_create)
    sub = add_command(
        actions,
        "list",
        "the tokens: id, creation time, label and users",
        "Lists the tokens, oldest first.",
    )
    sub.set_defaults(run=_token_list)
    sub = add_command(
        actions, "revoke", "delete a token", "Deletes a token: requests with it fail from now on."
    )
    sub.add_argument("token_id", metavar="ID", help="the token's id (see 'token list')")
    sub.set_defaults(run=_token_revoke)


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
        allowed_hosts=tuple(getattr(args, "allow_host", ())),
        lock_wait=getattr(args, "lock_wait", DEFAULT_LOCK_WAIT),
    )


def _check_hosts(settings: ServerSettings) -> None:
    """Refuses an --allow-host value that names no host, before anything opens."""
    from ..server.guards import HostRule

    try:
        HostRule.for_server(settings.host, settings.allowed_hosts)
    except ValueError as error:
        raise CliError(f"--allow-host: {error}") from None


# The libraries of the `server` extra each server imports.
_SERVER_LIBRARIES = {"serve": ("fastapi", "uvicorn", "orjson"), "mcp": ("mcp", "uvicorn", "orjson")}


def _check_opening(args: argparse.Namespace) -> None:
    """Refuses, in one line and before anything is opened or created, a
    memory file that does not exist (unless --create: a typo in an
    assistant's configuration must not become a new, empty memory), then a
    server whose libraries are missing."""
    location = args.database
    missing = not (is_url(location) or location == ":memory:" or os.path.exists(location))
    if missing and not args.create:
        raise CliError(
            f"no memory at {os.path.abspath(location)!r}: check the path (an assistant "
            "starts the server in a folder of its own: give the full path), or pass "
            "--create to start a new, empty memory there"
        )
    for name in _SERVER_LIBRARIES[args.command]:
        try:
            importlib.import_module(name)
        except ImportError as error:
            raise CliError(
                f"this command needs the server extra ({error.name or name} is missing): "
                "pip install 'orlo_kiv[server]'"
            ) from None
    if missing:
        print(f"orlo-memory {args.command}: creating {location!r}", file=sys.stderr)


def _check_listening(location: str, host: str) -> None:
    """A server answers anyone while its memory holds no token: only on loopback."""
    from ..server.access import is_loopback, open_token_store

    if is_loopback(host):
        return
    store = open_token_store(location)
    try:
        if not store.has_tokens():
            raise CliError(
                f"refusing to listen on {host} without a token: anyone could read every "
                f"memory. Create one first: orlo-memory token create {location} --user NAME"
            )
    finally:
        store.close()


def _serve(args: argparse.Namespace) -> int:
    if args.workers > 1 and not is_url(args.database):
        raise CliError(
            "several workers need a PostgreSQL memory (SQLite serialises every write): "
            "drop --workers, or serve a postgresql:// URL"
        )
    _check_opening(args)
    settings = _settings(args, args.host, args.port)
    _check_hosts(settings)
    _check_listening(args.database, args.host)
    settings.to_environment()
    import uvicorn

    from ..server.connections import uvicorn_options

    if args.workers == 1:
        from ..server.http_api import build

        app = build(settings)  # opened here, so a failure is reported before listening
        where = f"http://{_url_host(args.host)}:{args.port}/"
        print(
            f"orlo-memory: serving {_shown(args.database)} at {where}"
            " (inspector at /, API docs at /docs)",
            file=sys.stderr,
        )
        uvicorn.run(app, **uvicorn_options(settings), log_level="warning")
    else:
        uvicorn.run(
            "orlo_memory.doors.server.http_api:app_from_environment",
            factory=True,
            workers=args.workers,
            **uvicorn_options(settings),
            log_level="warning",
        )
    return 0


def _mcp(args: argparse.Namespace) -> int:
    _check_opening(args)
    from ..server import mcp_server
    from ..server.opening import open_memory

    if args.http is None:
        memory = open_memory(_settings(args, DEFAULT_HOST, 0))
        mcp_server.run_stdio(memory, args.user, max_batch=args.max_batch)
        return 0
    host, port = args.http
    settings = _settings(args, host, port)
    _check_hosts(settings)
    _check_listening(args.database, host)
    from ..server.access import Access, is_loopback, open_token_store

    store = open_token_store(args.database, wait=settings.lock_wait)
    access = Access(store, open_without_tokens=is_loopback(host))
    try:
        memory = open_memory(settings)
    except BaseException:
        access.close()
        raise
    print(
        f"orlo-memory: MCP over streamable HTTP at http://{_url_host(host)}:{port}/mcp",
        file=sys.stderr,
    )
    mcp_server.run_http(memory, access, settings)
    return 0


def _token_create(args: argparse.Namespace) -> int:
    from ..server.access import issue_token, open_token_store

    if args.admin == bool(args.user):
        raise CliError("name the users the token reaches (--user NAME), or give --admin")
    if not is_url(args.database) and not os.path.exists(args.database):
        print(f"orlo-memory token: creating {args.database!r}", file=sys.stderr)
    store = open_token_store(args.database)
    try:
        now_us = int(datetime.now(UTC).timestamp() * 1_000_000)
        name = args.name or ("admin" if args.admin else ", ".join(args.user))
        text, record = issue_token(store, name, None if args.admin else args.user, now_us)
    finally:
        store.close()
    print(text)
    reach = "every user" if record.users is None else ", ".join(record.users)
    print(
        f"token {record.id} ({name}) reaches {reach}; it is shown only now: keep it safe",
        file=sys.stderr,
    )
    return 0


def _existing_token_store(location: str) -> TokenStore:
    from ..server.access import open_token_store

    if not is_url(location) and not os.path.isfile(location):
        raise CliError(f"no memory database at {location!r}")
    return open_token_store(location)


def _token_list(args: argparse.Namespace) -> int:
    store = _existing_token_store(args.database)
    try:
        records = store.list_tokens()
    finally:
        store.close()
    for record in records:
        when = datetime.fromtimestamp(record.created_us / 1e6, UTC).strftime("%Y-%m-%d %H:%M")
        users = "(every user)" if record.users is None else ", ".join(record.users)
        print(f"{record.id}  {when}  {record.name}  {users}")
    return 0


def _token_revoke(args: argparse.Namespace) -> int:
    store = _existing_token_store(args.database)
    try:
        removed = store.remove_token(args.token_id)
    finally:
        store.close()
    if not removed:
        raise CliError(f"no token {args.token_id!r} (see 'orlo-memory token list')")
    print(f"revoked token {args.token_id}", file=sys.stderr)
    return 0


def _shown(location: str) -> str:
    return "a PostgreSQL database" if is_url(location) else repr(location)


def _url_host(host: str) -> str:
    return f"[{host}]" if ":" in host else host
