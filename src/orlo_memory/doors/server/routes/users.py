"""Routes over the users: which ones the caller reaches, one user's counts,
and its turns exported as JSON Lines."""

from __future__ import annotations

from collections.abc import AsyncIterator
from itertools import islice

import orjson
from fastapi.responses import StreamingResponse

from ....contract import shapes
from ...jsonl import iter_export
from ..http_models import StatsJson, UsersOut
from .common import API, Caller, Existing, State, api_router

router = api_router(f"{API}/users", "users")
# Export entries read per worker call (and written per chunk of the answer).
EXPORT_CHUNK = 500


@router.get("", response_model=UsersOut)
async def list_users(state: State, caller: Caller) -> dict[str, list[str]]:
    """The users this token may reach."""
    return {"users": await state.call(None, lambda: state.users.visible(caller))}


@router.get("/{user}/stats", response_model=StatsJson)
async def stats(state: State, target: Existing) -> shapes.StatsJson:
    return await state.call(target.name, lambda: shapes.stats_json(target.stats()))


@router.get(
    "/{user}/export",
    response_class=StreamingResponse,
    responses={200: {"content": {"application/jsonl": {}}}},
)
async def export(state: State, target: Existing, embeddings: bool = False) -> StreamingResponse:
    """The user's live turns as JSON Lines, in the format `orlo-memory import`
    reads: the turns live when the export began, less any forgotten while it
    was written, each whole."""
    entries = iter_export(target, embeddings=embeddings)

    def chunk() -> bytes:
        return b"".join(orjson.dumps(entry) + b"\n" for entry in islice(entries, EXPORT_CHUNK))

    first = await state.call(target.name, chunk)  # errors surface before the answer starts

    async def lines() -> AsyncIterator[bytes]:
        part = first
        while part:
            yield part
            part = await state.call(target.name, chunk)

    return StreamingResponse(lines(), media_type="application/jsonl")
