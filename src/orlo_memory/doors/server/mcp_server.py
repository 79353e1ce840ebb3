"""The MCP server: a user's memory as tools for an assistant.

Over stdio (a desktop assistant starts it) the user is the one named at start.
Over streamable HTTP every request carries a bearer token, checked (with the
Host and Origin) before the MCP layer sees it; the user is the token's own,
or, for a token that reaches several users, the one the `X-Memory-User`
header names (set in the client's configuration, never chosen by the model).
The tools' arguments and results are the memory's contract: a turn's fields,
the ranges of k and the search modes, and the hit, turn and session shapes.
Their values are checked by the library, so a tool refuses a bad value with
the library's own message, as a tool error; the server keeps running. The
tools call the library in worker threads shared fairly by users (`threads`),
and embed a batch's texts before the library takes any lock (`embedding`).
"""

from __future__ import annotations

import logging
import sys
from collections.abc import Callable
from dataclasses import replace
from typing import TYPE_CHECKING, Annotated, Any, TypeVar, get_type_hints

import typing_extensions
from mcp.server.mcpserver import Context, MCPServer
from mcp.server.mcpserver.exceptions import ToolError
from pydantic import Field, WithJsonSchema

from ...contract import shapes
from ...contract.filters import FILTER_DESCRIPTION, FILTER_SCHEMA
from ...contract.turns import TURN_FIELDS, parse_time, turn_from_json
from ...contract.values import MAX_RESULTS, MODES
from ...core.memory import Memory
from ...core.user import UserMemory
from ...errors import OrloMemoryError
from .access import Access, Principal, Unauthorized
from .bearer import PRINCIPAL
from .connections import uvicorn_options
from .embedding import embedded
from .guards import guard
from .service import Users
from .settings import DEFAULT_MAX_BATCH, ServerSettings
from .threads import LibraryThreads
from .turns import check_turns

log = logging.getLogger("orlo_memory.doors.server")

USER_HEADER = "x-memory-user"
INSTRUCTIONS = (
    "A long-term conversation memory. Use `remember` to store what was said that may matter "
    "later, `search` to recall it by meaning and words, `sessions` to see or rank past "
    "conversations, `get_turns` to read turns by id and `forget` to delete them."
)

T = TypeVar("T")

# The JSON schema of each kind of turn field the contract names.
_KIND_SCHEMAS: dict[str, dict[str, Any]] = {
    "text": {"type": "string", "minLength": 1},
    "string": {"type": "string"},
    "object": {"type": "object"},
    "time": {"type": "string", "format": "date-time"},
    "id": {"type": "string"},
    "embedding": {"type": "array", "items": {"type": "number"}, "minItems": 1},
    "boolean": {"type": "boolean"},
}


def turn_schema() -> dict[str, Any]:
    """A turn's JSON schema, one property per field of the contract's turn
    (a text field without a default is required; other fields may be null)."""
    properties: dict[str, Any] = {}
    required = []
    for field in TURN_FIELDS:
        schema = _KIND_SCHEMAS[field.kind]
        if field.kind == "text" and field.default is None:
            required.append(field.name)
        elif field.default is None:
            schema = {"anyOf": [schema, {"type": "null"}]}
        else:
            schema = {**schema, "default": field.default}
        properties[field.name] = {**schema, "description": field.description}
    return {
        "type": "object",
        "properties": properties,
        "required": required,
        "additionalProperties": False,
    }


# Arguments whose values the library checks: each is published with its
# contract's schema and handed on as it came (Any), so that the library's
# check and message decide, as at every other door.
_RANGE = {"type": "integer", "minimum": 0, "maximum": MAX_RESULTS}
K = Annotated[Any, WithJsonSchema(_RANGE), Field(description=f"how many turns, 0 to {MAX_RESULTS}")]
SessionsK = Annotated[
    Any,
    WithJsonSchema({"anyOf": [_RANGE, {"type": "null"}]}),
    Field(description=f"at most this many, 0 to {MAX_RESULTS}"),
]
Mode = Annotated[
    Any,
    WithJsonSchema({"type": "string", "enum": list(MODES)}),
    Field(description="hybrid (meaning and words), vector (meaning) or lexical (words)"),
]
Recency = Annotated[
    Any,
    WithJsonSchema({"type": "number", "minimum": 0, "maximum": 1}),
    Field(description="weight of recency from 0 to 1"),
]
TurnsArgument = Annotated[
    list[Annotated[dict[str, Any], WithJsonSchema(turn_schema())]],
    Field(description="the turns to store, in order", min_length=1),
]
IdsArgument = Annotated[list[str], Field(description="turn ids", min_length=1)]
FilterArgument = Annotated[
    Any,
    WithJsonSchema({"anyOf": [FILTER_SCHEMA, {"type": "null"}]}),
    Field(description=FILTER_DESCRIPTION),
]
TimeArgument = Annotated[
    str | None,
    Field(description="ISO 8601 with a zone", json_schema_extra={"format": "date-time"}),
]


def _readable(shape: type) -> Any:
    """A result shape as pydantic reads it, and so the SDK publishes it as the
    tool's output schema: before Python 3.12 that takes typing_extensions'
    TypedDict, so a copy with the same name, fields and docstring."""
    if sys.version_info >= (3, 12):
        return shape
    functional: Any = typing_extensions.TypedDict  # its functional form, fields read at run time
    copy = functional(shape.__name__, get_type_hints(shape))
    copy.__doc__ = shape.__doc__
    return copy


# The tools' results are the contract's shapes (the copies pydantic reads at
# run time; the type checker sees the contract's own).
if TYPE_CHECKING:
    from ...contract.shapes import HitJson, SessionJson, TurnJson
else:
    HitJson = _readable(shapes.HitJson)
    SessionJson = _readable(shapes.SessionJson)
    TurnJson = _readable(shapes.TurnJson)


class Remembered(typing_extensions.TypedDict):
    """The ids of the stored turns, in order, and the session they joined."""

    ids: list[str]
    session: str


class Hits(typing_extensions.TypedDict):
    hits: list[HitJson]


class Sessions(typing_extensions.TypedDict):
    sessions: list[SessionJson]


class Turns(typing_extensions.TypedDict):
    turns: list[TurnJson]


class Forgotten(typing_extensions.TypedDict):
    forgotten: int


class Caller:
    """Finds the user a tool call acts for."""

    def __init__(self, users: Users, fixed_user: str, access: Access | None) -> None:
        self.users = users
        self.fixed_user = fixed_user
        self.access = access

    def resolve(self, context: Context) -> tuple[Principal, str]:
        """(the caller, its user's name); Unauthorized or UnknownIdError."""
        headers = context.headers
        if headers is None or self.access is None:  # stdio: the server's own user
            return Principal(None, frozenset([self.fixed_user])), self.fixed_user
        principal = _checked_principal(context)
        if principal is None:
            principal = self.access.authenticate(headers.get("authorization"))
        named = headers.get(USER_HEADER)
        if named is not None:
            return principal, named
        if principal.users is not None and len(principal.users) == 1:
            return principal, next(iter(principal.users))
        if principal.token_id is None:
            return principal, self.fixed_user
        raise Unauthorized(f"this token reaches several users: name one with {USER_HEADER}")

    def share(self, context: Context) -> str | None:
        """The name whose share of the worker threads a call takes: the user
        it names or the server's own (checked by `resolve` in the call)."""
        headers = context.headers
        if headers is None or self.access is None:
            return self.fixed_user
        principal = _checked_principal(context)
        if principal is not None and principal.users is not None and len(principal.users) == 1:
            return headers.get(USER_HEADER) or next(iter(principal.users))
        return headers.get(USER_HEADER)

    def reading(self, context: Context) -> UserMemory:
        principal, name = self.resolve(context)
        return self.users.existing(principal, name)

    def writing(self, context: Context) -> UserMemory:
        principal, name = self.resolve(context)
        return self.users.writable(principal, name)


def _checked_principal(context: Context) -> Principal | None:
    """The caller the guards found from the request's token, if any."""
    request = context.request_context.request
    state = getattr(request, "scope", {}).get("state") or {}
    found = state.get(PRINCIPAL)
    return found if isinstance(found, Principal) else None


class Tools:
    """How a tool calls the library: in a worker thread within its user's
    share (`threads`), library errors as tool errors."""

    def __init__(self, caller: Caller, threads: LibraryThreads) -> None:
        self.caller = caller
        self.threads = threads

    async def call(self, context: Context, work: Callable[[], T]) -> T:
        def run() -> T:
            try:
                return work()
            except (OrloMemoryError, Unauthorized) as error:
                raise ToolError(str(error)) from None

        return await self.threads.run(self.caller.share(context), run)


def _bounded(count: int, what: str, max_batch: int) -> None:
    """Refuses more than `max_batch` turns or ids in one call, as the HTTP API does."""
    if count > max_batch:
        raise ToolError(f"{count} {what} in one request; at most {max_batch}")


def build_server(
    memory: Memory,
    fixed_user: str,
    access: Access | None,
    *,
    max_batch: int = DEFAULT_MAX_BATCH,
) -> MCPServer[Any]:
    """The MCP server over `memory` (`access`: None over stdio); a call
    stores, reads or forgets at most `max_batch` turns."""
    caller = Caller(Users(memory), fixed_user, access)
    tools = Tools(caller, LibraryThreads())
    server: MCPServer[Any] = MCPServer(
        "orlo-memory", instructions=INSTRUCTIONS, log_level="WARNING"
    )

    _add_remember(server, tools, caller, memory, max_batch)
    _add_search(server, tools, caller)
    _add_reading(server, tools, caller, max_batch)
    return server


# Each tool is a closure over what answers it: the MCP library registers a
# tool by decorating a function whose signature is the tool's schema.


def _add_remember(
    server: MCPServer[Any], tools: Tools, caller: Caller, memory: Memory, max_batch: int
) -> None:
    @server.tool()
    async def remember(
        turns: TurnsArgument,
        context: Context,
        new_session: Annotated[bool, Field(description="start a new conversation first")] = False,
        session_title: Annotated[
            str | None, Field(description="start a new conversation with this title first")
        ] = None,
        new_topic: Annotated[bool, Field(description="the turns open a new topic")] = False,
    ) -> Remembered:
        """Stores one or more turns of the conversation in the user's memory, in
        one step (all or none). Returns their ids and the session they joined."""
        _bounded(len(turns), "turns", max_batch)

        def work() -> Remembered:
            items = [turn_from_json(turn) for turn in turns]
            first = items[0]
            items[0] = replace(
                first,
                new_topic=first.new_topic or new_topic,
                new_session=first.new_session or new_session or session_title is not None,
                session_title=first.session_title if session_title is None else session_title,
            )
            check_turns(items, memory.dimension)  # before the user is created
            user = caller.writing(context)
            ids = user.add_many(embedded(items, memory.embedder))
            return {"ids": ids, "session": user.get(ids[:1])[0].session_id}

        return await tools.call(context, work)


def _add_search(server: MCPServer[Any], tools: Tools, caller: Caller) -> None:
    @server.tool()
    async def search(
        query: Annotated[str, Field(description="the question or words to look for")],
        context: Context,
        k: K = 5,
        mode: Mode = "hybrid",
        session: Annotated[str | None, Field(description="search this session only")] = None,
        recency: Recency = 0.0,
        since: TimeArgument = None,
        until: TimeArgument = None,
        filter: FilterArgument = None,
    ) -> Hits:
        """Finds the remembered turns that best answer a query, best first, with
        their scores, sessions and times; `since` and `until` keep the turns
        said from `since` on and before `until`, `filter` those whose metadata
        and fields it matches."""

        def work() -> Hits:
            hits = caller.reading(context).search(
                query,
                k,
                mode=mode,
                session=session,
                recency=recency,
                since=parse_time(since, "since"),
                until=parse_time(until, "until"),
                filter=filter,
            )
            return {"hits": [shapes.hit_json(hit) for hit in hits]}

        return await tools.call(context, work)


def _add_reading(server: MCPServer[Any], tools: Tools, caller: Caller, max_batch: int) -> None:
    @server.tool()
    async def sessions(
        context: Context,
        query: Annotated[
            str | None, Field(description="rank the conversations by closeness to this")
        ] = None,
        k: SessionsK = None,
    ) -> Sessions:
        """Lists the user's conversations (sessions) newest first, or with a
        query the ones closest to it in meaning, best first."""

        def work() -> Sessions:
            found = caller.reading(context).sessions(query, k)
            return {"sessions": [shapes.session_json(info) for info in found]}

        return await tools.call(context, work)

    @server.tool()
    async def get_turns(ids: IdsArgument, context: Context) -> Turns:
        """Reads remembered turns by id, in the order given."""
        _bounded(len(ids), "ids", max_batch)

        def work() -> Turns:
            turns = caller.reading(context).get(ids)
            return {"turns": [shapes.turn_json(turn) for turn in turns]}

        return await tools.call(context, work)

    @server.tool()
    async def forget(ids: IdsArgument, context: Context) -> Forgotten:
        """Deletes remembered turns for good (all or none: an unknown id changes
        nothing). Returns how many were forgotten."""
        _bounded(len(ids), "ids", max_batch)
        return await tools.call(context, lambda: {"forgotten": caller.reading(context).forget(ids)})


def run_stdio(memory: Memory, user: str, *, max_batch: int = DEFAULT_MAX_BATCH) -> None:
    try:
        build_server(memory, user, None, max_batch=max_batch).run("stdio")
    finally:
        memory.close()


def run_http(memory: Memory, access: Access, settings: ServerSettings) -> None:
    """Serves streamable HTTP at /mcp on `settings`' address, behind the
    transport guards (`guards`: Host, Origin, the token before the body,
    bounded bodies, security headers) and uvicorn's guarded connections."""
    import uvicorn
    from mcp.server.transport_security import TransportSecuritySettings

    server = build_server(memory, settings.user, access, max_batch=settings.max_batch)
    try:
        # The guards check Host and Origin on every address form (the SDK's
        # own check knows loopback by name only).
        inner = server.streamable_http_app(
            host=settings.host,
            max_request_body_size=settings.max_body,
            transport_security=TransportSecuritySettings(enable_dns_rebinding_protection=False),
        )
        app = guard(inner, settings, access=access)
        uvicorn.run(app, **uvicorn_options(settings), log_level="warning")
    finally:
        memory.close()
        access.close()
