"""Routes over a user's sessions and topics: start one, list them newest
first, or rank them by closeness to a query."""

from __future__ import annotations

from typing import Annotated

from fastapi import Query
from starlette.responses import Response

from ....contract import shapes
from ....contract.values import MAX_RESULTS
from ....errors import InvalidInputError
from ..http_models import IdOut, NewSessionIn, RankSessionsIn, SessionsOut
from ..turns import embedding_value
from .common import API, Existing, State, Writable, api_router

router = api_router(f"{API}/users/{{user}}", "sessions")
Sessions = dict[str, list[shapes.SessionJson]]


@router.post("/sessions", status_code=201, response_model=IdOut)
async def new_session(target: Writable, body: NewSessionIn) -> dict[str, str]:
    """Starts a session: the user's next turn opens it."""
    return {"id": await target.call(lambda user: user.new_session(body.title))}


@router.get("/sessions", response_model=SessionsOut)
async def list_sessions(
    state: State,
    target: Existing,
    k: Annotated[int | None, Query(ge=0, le=MAX_RESULTS, description="at most this many")] = None,
) -> Sessions:
    """The user's sessions, newest first."""

    def work() -> Sessions:
        return {"sessions": [shapes.session_json(s) for s in target.sessions(None, k)]}

    return await state.call(target.name, work)


@router.post("/sessions/rank", response_model=SessionsOut)
async def rank_sessions(state: State, target: Existing, body: RankSessionsIn) -> Sessions:
    """The sessions whose turns are closest in meaning to a query, best first."""
    if body.query is None and body.embedding is None:
        raise InvalidInputError("ranking sessions needs a query or an embedding")

    def work() -> Sessions:
        found = target.sessions(body.query, body.k, embedding=embedding_value(body.embedding))
        return {"sessions": [shapes.session_json(s) for s in found]}

    return await state.call(target.name, work)


@router.post("/topics", status_code=204)
async def new_topic(state: State, target: Existing) -> Response:
    """Opens a new topic in the current session with the next turn."""
    await state.call(target.name, target.new_topic)
    return Response(status_code=204)
