"""Routes over the users: which ones the caller reaches, one user's counts,
and its turns exported as JSON Lines."""

from __future__ import annotations

from collections.abc import Iterator

import orjson
from fastapi.responses import StreamingResponse

from ....contract import shapes
from ...jsonl import iter_export
from ..http_models import StatsJson, UsersOut
from .common import API, Caller, Existing, State, api_router

router = api_router(f"{API}/users", "users")


@router.get("", response_model=UsersOut)
async def list_users(state: State, caller: Caller) -> dict[str, list[str]]:
    """The users this token may reach."""
    return {"users": state.users.visible(caller)}


@router.get("/{user}/stats", response_model=StatsJson)
async def stats(target: Existing) -> shapes.StatsJson:
    return shapes.stats_json(target.stats())


@router.get(
    "/{user}/export",
    response_class=StreamingResponse,
    responses={200: {"content": {"application/jsonl": {}}}},
)
async def export(target: Existing, embeddings: bool = False) -> StreamingResponse:
    """The user's live turns as JSON Lines, in the format `orlo-memory import` reads."""
    entries = iter_export(target, embeddings=embeddings)
    first = next(entries, None)  # errors surface before the response starts

    def lines() -> Iterator[bytes]:
        if first is not None:
            yield orjson.dumps(first) + b"\n"
        for entry in entries:
            yield orjson.dumps(entry) + b"\n"

    return StreamingResponse(lines(), media_type="application/jsonl")
