"""Routes over a user's turns: store them (one, or a batch in one
transaction), read them (by id, or a page in the order they were added,
perhaps of one session) and forget them."""

from __future__ import annotations

from itertools import islice
from typing import Annotated

from fastapi import Query

from ....contract import shapes
from ....contract.values import MAX_RESULTS, parse_id
from ....embedders import as_matrix
from ..http_models import ForgottenOut, IdOut, IdsIn, IdsOut, TurnBatch, TurnIn, TurnJson, TurnsOut
from ..turns import check_turns, new_turns, store
from .common import API, Existing, IdempotencyKey, State, Writable, api_router

router = api_router(f"{API}/users/{{user}}/turns", "turns")
Turns = dict[str, list[shapes.TurnJson]]


@router.post("", status_code=201, response_model=IdOut)
async def add_turn(
    state: State, target: Writable, turn: TurnIn, key: IdempotencyKey = None
) -> dict[str, str]:
    """Stores one turn (creating the user on first use). With an
    Idempotency-Key a retry returns the stored id and stores nothing; the
    key sent again with another turn is refused (422)."""

    def work() -> str:
        batch = new_turns(target.name, [dict(turn)], key)
        check_turns(batch.turns, state.memory.dimension)
        return store(target.user(), batch, key, embedder=state.memory.embedder)[0]

    return {"id": await state.call(target.name, work)}


@router.post("/batch", status_code=201, response_model=IdsOut)
async def add_turns(
    state: State, target: Writable, body: TurnBatch, key: IdempotencyKey = None
) -> dict[str, list[str]]:
    """Stores turns in order, in one transaction: all or none."""
    state.bounded(len(body.turns), "turns")

    def work() -> list[str]:
        batch = new_turns(target.name, [dict(turn) for turn in body.turns], key)
        check_turns(batch.turns, state.memory.dimension)
        if batch.embeddings is not None:
            as_matrix(batch.embeddings, len(batch.turns), state.memory.dimension, "embeddings")
        embedder = state.memory.embedder
        return store(target.user(), batch, key, embedder=embedder, replacing=body.replacing)

    return {"ids": await state.call(target.name, work)}


@router.get("", response_model=TurnsOut)
async def get_turns(
    state: State,
    target: Existing,
    ids: Annotated[str | None, Query(description="comma-separated ids to fetch")] = None,
    session: Annotated[str | None, Query(description="list this session's turns")] = None,
    offset: Annotated[int, Query(ge=0)] = 0,
    limit: Annotated[int, Query(ge=1, le=MAX_RESULTS)] = 100,
) -> Turns:
    """The turns with these ids (404 if one is unknown), or a page of the
    user's turns in the order they were added (of one session)."""
    if ids is not None:
        wanted = [part for part in ids.split(",") if part]
        state.bounded(len(wanted), "ids")

        def work() -> Turns:
            return {"turns": [shapes.turn_json(turn) for turn in target.get(wanted)]}
    else:
        session_id = None if session is None else parse_id(session, "session id")

        def work() -> Turns:
            turns = islice(target.turns(session=session_id), offset, offset + limit)
            return {"turns": [shapes.turn_json(turn) for turn in turns]}

    return await state.call(target.name, work)


@router.get("/{turn_id}", response_model=TurnJson)
async def get_turn(state: State, target: Existing, turn_id: str) -> shapes.TurnJson:
    return await state.call(target.name, lambda: shapes.turn_json(target.get([turn_id])[0]))


@router.delete("/{turn_id}", response_model=ForgottenOut)
async def forget_turn(state: State, target: Existing, turn_id: str) -> dict[str, int]:
    """Forgets a turn: its text, metadata and embedding are deleted."""
    return {"forgotten": await state.call(target.name, lambda: target.forget([turn_id]))}


@router.post("/forget", response_model=ForgottenOut)
async def forget_turns(state: State, target: Existing, body: IdsIn) -> dict[str, int]:
    """Forgets turns, all or none (404 if one is unknown)."""
    state.bounded(len(body.ids), "ids")
    return {"forgotten": await state.call(target.name, lambda: target.forget(body.ids))}
