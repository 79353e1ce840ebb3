"""Routes that only an admin token (one that reaches every user) may call:
erasing a user and all that is theirs. Not offered over MCP: an assistant
has no business erasing the person it serves."""

from __future__ import annotations

import asyncio
from typing import Any

from starlette.responses import Response

from ....errors import UnknownIdError
from ..http_models import ProblemOut
from ..problems import MEDIA_TYPE, Problem
from ..service import Users
from .common import API, Caller, State, UserName, api_router

router = api_router(f"{API}/users", "admin")

_FORBIDDEN: dict[int | str, dict[str, Any]] = {
    403: {"model": ProblemOut, "content": {MEDIA_TYPE: {}}, "description": "not an admin token"}
}


@router.delete("/{user}", status_code=204, response_class=Response, responses=_FORBIDDEN)
async def erase_user(user: UserName, state: State, caller: Caller) -> Response:
    """Erases the user and all that is theirs, for good: turns, sessions,
    index snapshots, and their place in tokens (a token for this user alone
    is revoked). Needs an admin token; 404 when there is no such user."""
    if caller.token_id is None or caller.users is not None:
        raise Problem(
            403,
            "erasing a user needs an admin token (orlo-memory token create DB --admin)",
            "forbidden",
        )
    # In a thread: on SQLite the erase rewrites the database file, which
    # takes seconds on a large one.
    if not await asyncio.to_thread(state.memory.erase_user, user):
        raise UnknownIdError(f"no user {user!r}")
    # The server's list of known users assumes none is ever removed.
    state.users = Users(state.memory)
    return Response(status_code=204)
