"""The MCP server: a user's memory as tools for an assistant.

Over stdio (a desktop assistant starts it) the user is the one named at start.
Over streamable HTTP every request carries a bearer token, checked before the
MCP layer sees it; the user is the token's own, or, for a token that reaches
several users, the one the `X-Memory-User` header names (set in the client's
configuration, never chosen by the model). Library errors come back as tool
errors carrying the library's message; the server keeps running.
"""

from __future__ import annotations

import logging
from collections.abc import Callable, Mapping
from datetime import datetime
from typing import Annotated, Any, Literal, TypeVar

from mcp.server.mcpserver import Context, MCPServer
from mcp.server.mcpserver.exceptions import ToolError
from pydantic import BaseModel, ConfigDict, Field
from starlette.types import ASGIApp, Receive, Scope, Send

from ...contract import shapes
from ...contract.turns import NewTurn
from ...core.memory import Memory
from ...core.user import UserMemory
from ...errors import OrloMemoryError
from .access import Access, Principal, Unauthorized
from .problems import problem_response
from .service import Users

log = logging.getLogger("orlo_memory.doors.server")

USER_HEADER = "x-memory-user"
INSTRUCTIONS = (
    "A long-term conversation memory. Use `remember` to store what was said that may matter "
    "later, `search` to recall it by meaning and words, `sessions` to see or rank past "
    "conversations, `get_turns` to read turns by id and `forget` to delete them."
)

T = TypeVar("T")


class TurnArgument(BaseModel):
    model_config = ConfigDict(extra="forbid")

    text: str = Field(description="what was said")
    role: str = Field("user", description='who said it: "user", "assistant", ...')
    metadata: dict[str, Any] | None = Field(None, description="any JSON object to keep with it")


class Caller:
    """Finds the user a tool call acts for."""

    def __init__(self, users: Users, fixed_user: str, access: Access | None) -> None:
        self.users = users
        self.fixed_user = fixed_user
        self.access = access

    def resolve(self, headers: Mapping[str, str] | None) -> tuple[Principal, str]:
        """(the caller, its user's name); Unauthorized or UnknownIdError."""
        if headers is None or self.access is None:  # stdio: the server's own user
            return Principal(None, frozenset([self.fixed_user])), self.fixed_user
        principal = self.access.authenticate(headers.get("authorization"))
        named = headers.get(USER_HEADER)
        if named is not None:
            return principal, named
        if principal.users is not None and len(principal.users) == 1:
            return principal, next(iter(principal.users))
        if principal.token_id is None:
            return principal, self.fixed_user
        raise Unauthorized(f"this token reaches several users: name one with {USER_HEADER}")

    def reading(self, context: Context) -> UserMemory:
        principal, name = self.resolve(context.headers)
        return self.users.existing(principal, name)

    def writing(self, context: Context) -> UserMemory:
        principal, name = self.resolve(context.headers)
        return self.users.writable(principal, name)


def _tool_call(work: Callable[[], T]) -> T:
    try:
        return work()
    except (OrloMemoryError, Unauthorized) as error:
        raise ToolError(str(error)) from None


def build_server(memory: Memory, fixed_user: str, access: Access | None) -> MCPServer[Any]:
    """The MCP server over `memory` (`access`: None over stdio)."""
    caller = Caller(Users(memory), fixed_user, access)
    server: MCPServer[Any] = MCPServer(
        "orlo-memory", instructions=INSTRUCTIONS, log_level="WARNING"
    )

    @server.tool()
    def remember(
        turns: Annotated[
            list[TurnArgument], Field(description="the turns to store, in order", min_length=1)
        ],
        context: Context,
        new_session: Annotated[bool, Field(description="start a new conversation first")] = False,
        session_title: Annotated[
            str | None, Field(description="start a new conversation with this title first")
        ] = None,
        new_topic: Annotated[bool, Field(description="the turns open a new topic")] = False,
    ) -> dict[str, Any]:
        """Stores one or more turns of the conversation in the user's memory, in
        one step (all or none). Returns their ids and the session they joined."""

        def work() -> dict[str, Any]:
            user = caller.writing(context)
            opens = new_session or session_title is not None
            items = [
                NewTurn(
                    turn.text,
                    turn.role,
                    turn.metadata,
                    new_topic=new_topic and number == 0,
                    new_session=opens and number == 0,
                    session_title=session_title if number == 0 else None,
                )
                for number, turn in enumerate(turns)
            ]
            ids = user.add_many(items)
            return {"ids": ids, "session": user.get(ids[:1])[0].session_id}

        return _tool_call(work)

    @server.tool()
    def search(
        query: Annotated[str, Field(description="the question or words to look for")],
        context: Context,
        k: Annotated[int, Field(description="how many turns", ge=1, le=100)] = 5,
        mode: Annotated[
            Literal["hybrid", "vector", "lexical"],
            Field(description="hybrid (meaning and words), vector (meaning) or lexical (words)"),
        ] = "hybrid",
        session: Annotated[str | None, Field(description="search this session only")] = None,
        recency: Annotated[
            float, Field(description="weight of recency from 0 to 1", ge=0.0, le=1.0)
        ] = 0.0,
        since: Annotated[
            datetime | None, Field(description="only turns from this time on (ISO 8601)")
        ] = None,
        until: Annotated[
            datetime | None, Field(description="only turns before this time (ISO 8601)")
        ] = None,
    ) -> dict[str, Any]:
        """Finds the remembered turns that best answer a query, best first, with
        their scores, sessions and times."""

        def work() -> dict[str, Any]:
            user = caller.reading(context)
            hits = user.search(
                query,
                k,
                mode=mode,
                session=session,
                recency=recency,
                since=since,
                until=until,
            )
            return {"hits": [shapes.hit_json(hit) for hit in hits]}

        return _tool_call(work)

    @server.tool()
    def sessions(
        context: Context,
        query: Annotated[
            str | None, Field(description="rank the conversations by closeness to this")
        ] = None,
        k: Annotated[int | None, Field(description="at most this many", ge=1)] = None,
    ) -> dict[str, Any]:
        """Lists the user's conversations (sessions) newest first, or with a
        query the ones closest to it in meaning, best first."""

        def work() -> dict[str, Any]:
            found = caller.reading(context).sessions(query, k)
            return {"sessions": [shapes.session_json(info) for info in found]}

        return _tool_call(work)

    @server.tool()
    def get_turns(
        ids: Annotated[list[str], Field(description="turn ids", min_length=1, max_length=1000)],
        context: Context,
    ) -> dict[str, Any]:
        """Reads remembered turns by id, in the order given."""

        def work() -> dict[str, Any]:
            turns = caller.reading(context).get(ids)
            return {"turns": [shapes.turn_json(turn) for turn in turns]}

        return _tool_call(work)

    @server.tool()
    def forget(
        ids: Annotated[list[str], Field(description="turn ids", min_length=1, max_length=1000)],
        context: Context,
    ) -> dict[str, Any]:
        """Deletes remembered turns for good (all or none: an unknown id changes
        nothing). Returns how many were forgotten."""
        return _tool_call(lambda: {"forgotten": caller.reading(context).forget(ids)})

    return server


class RequireToken:
    """ASGI middleware: the MCP endpoint answers only callers with a valid
    token (401 as problem details otherwise)."""

    def __init__(self, app: ASGIApp, access: Access) -> None:
        self.app = app
        self.access = access

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http":
            headers = {k.decode("latin-1"): v.decode("latin-1") for k, v in scope["headers"]}
            try:
                self.access.authenticate(headers.get("authorization"))
            except Unauthorized as error:
                response = problem_response(
                    401,
                    str(error),
                    "unauthorized",
                    headers={"WWW-Authenticate": 'Bearer realm="orlo-memory"'},
                )
                await response(scope, receive, send)
                return
        await self.app(scope, receive, send)


def run_stdio(memory: Memory, user: str) -> None:
    try:
        build_server(memory, user, None).run("stdio")
    finally:
        memory.close()


def run_http(memory: Memory, user: str, access: Access, host: str, port: int) -> None:
    import uvicorn

    server = build_server(memory, user, access)
    app = RequireToken(server.streamable_http_app(host=host), access)
    try:
        uvicorn.run(app, host=host, port=port, log_level="warning")
    finally:
        memory.close()
        access.close()
