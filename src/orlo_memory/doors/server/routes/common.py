"""What every router of the HTTP API shares: the server's state, the caller
behind the bearer token, the user a route acts on, the bounds of a batch, the
error responses every route may give, and `api_router`, which declares them once.

Dependencies and routes are coroutines that hand every library call to the
server's worker threads (`ServerState.call`, within the user's share);
FastAPI would run plain functions in its own pool, shared by every user.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Annotated, Any, NamedTuple, TypeVar, cast

import orjson
from fastapi import APIRouter, Depends, Header, Path, Request, Security
from fastapi.routing import APIRoute
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer
from starlette.responses import Response

from ....core.memory import Memory
from ....core.user import UserMemory
from ..access import Access, Principal
from ..bearer import PRINCIPAL
from ..health import Health
from ..http_models import ProblemOut
from ..problems import MEDIA_TYPE, Problem
from ..service import Users
from ..threads import LibraryThreads

API = "/v1"
T = TypeVar("T")


class ServerState:
    """The memory, its users as callers reach them, the access rules, the
    worker threads that call the library and the database's health."""

    def __init__(
        self,
        memory: Memory,
        access: Access,
        max_batch: int,
        *,
        threads: LibraryThreads,
        health: Health,
    ) -> None:
        self.memory = memory
        self.access = access
        self.users = Users(memory)
        self.max_batch = max_batch
        self.threads = threads
        self.health = health

    async def call(self, user: str | None, work: Callable[[], T]) -> T:
        """`work()` in a worker thread, within `user`'s share of them."""
        return await self.threads.run(user, work)

    def bounded(self, count: int, what: str) -> None:
        """Refuses (413) a request naming more than `max_batch` items."""
        if count > self.max_batch:
            raise Problem(
                413, f"{count} {what} in one request; at most {self.max_batch}", "too-large"
            )


async def server_state(request: Request) -> ServerState:
    return cast(ServerState, request.app.state.server)


State = Annotated[ServerState, Depends(server_state)]
_BEARER = HTTPBearer(auto_error=False, description="a token from `orlo-memory token create`")


async def principal(
    request: Request,
    state: State,
    # Declared for the OpenAPI page; `Access` reads the header itself, to
    # answer a missing or malformed one with its own message.
    _: Annotated[HTTPAuthorizationCredentials | None, Security(_BEARER)],
) -> Principal:
    """The caller behind the request's bearer token (401 without a valid
    one), as the guards found it before the body was read."""
    found = getattr(request.state, PRINCIPAL, None)
    if isinstance(found, Principal):
        return found
    header = request.headers.get("authorization")
    return await state.call(None, lambda: state.access.authenticate(header))


Caller = Annotated[Principal, Depends(principal)]
UserName = Annotated[str, Path(description="the user's name")]


async def existing_user(user: UserName, state: State, caller: Caller) -> UserMemory:
    """The route's user; 404 when it does not exist or the caller may not reach it."""
    return await state.call(user, lambda: state.users.existing(caller, user))


class Writer(NamedTuple):
    """The user a route writes to, found (and created on first use) only when
    the route calls `user()`: after the request was read and checked, so a
    request refused before then creates no user."""

    name: str
    state: ServerState
    caller: Principal

    def user(self) -> UserMemory:
        """The user; 404 when the caller may not reach it (in a worker thread:
        creating a user writes to the database)."""
        return self.state.users.writable(self.caller, self.name)

    async def call(self, work: Callable[[UserMemory], T]) -> T:
        """`work(user)` in a worker thread, within the user's share."""
        return await self.state.call(self.name, lambda: work(self.user()))


async def writer(user: UserName, state: State, caller: Caller) -> Writer:
    return Writer(user, state, caller)


Existing = Annotated[UserMemory, Depends(existing_user)]
Writable = Annotated[Writer, Depends(writer)]
IdempotencyKey = Annotated[
    str | None,
    Header(
        alias="Idempotency-Key",
        description="a retry with the same key stores nothing again and returns the same ids",
    ),
]

# The failures any route over a user's memory may answer with, as problem details.
ERRORS: dict[int | str, dict[str, Any]] = {
    status: {"model": ProblemOut, "content": {MEDIA_TYPE: {}}}
    for status in (400, 401, 404, 409, 413, 422, 503)
}


class _OrjsonRequest(Request):
    async def json(self) -> Any:
        if not hasattr(self, "_json"):
            self._json = orjson.loads(await self.body())
        return self._json


class JsonRoute(APIRoute):
    """Parses JSON bodies with orjson (several times faster on embeddings)."""

    def get_route_handler(self) -> Any:
        handler = super().get_route_handler()

        async def route(request: Request) -> Response:
            return await handler(_OrjsonRequest(request.scope, request.receive))

        return route


def api_router(prefix: str, tag: str, *, public: bool = False) -> APIRouter:
    """A router for `prefix`: its routes need a bearer token (unless
    `public`) and may answer with any of ERRORS."""
    return APIRouter(
        prefix=prefix,
        tags=[tag],
        dependencies=[] if public else [Depends(principal)],
        responses={} if public else ERRORS,
        route_class=JsonRoute,
    )
