"""Turns as both servers receive them: JSON turn objects made into `NewTurn`s,
their embeddings (numbers, or base64 text) decoded, and the ids an
Idempotency-Key gives them.

    batch = new_turns(user.name, entries, key)
    ids = user.add_many(batch.turns, embeddings=batch.embeddings)

`entries` are JSON objects with the fields of `contract.turns.TURN_FIELDS`
(an HTTP request model's `dict(model)` is one). A retried request carrying the
same key stores nothing again: the i-th turn of a request with key K for user
U always gets `idempotent_id(U, K, i)`, the id the HTTP API has always given
it, so ids stored before stay the ids a retry finds.
"""

from __future__ import annotations

import base64
import binascii
import dataclasses
import re
import uuid
from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from ...contract.turns import NewTurn, turn_from_json
from ...errors import InvalidInputError

# The namespace of the UUIDv5 ids derived from an Idempotency-Key. Changing it
# would give a retry new ids, and so store its turns twice.
IDEMPOTENCY_NAMESPACE = uuid.UUID("6f726c6f-6d65-6d6f-7279-6964656d706f")
_IDEMPOTENCY_KEY = re.compile(r"[\x21-\x7e]{1,255}")


class Batch(NamedTuple):
    """Turns for `UserMemory.add_many`: with `embeddings` (one row per turn)
    when every turn carried an embedding of the same length, else each turn
    carries its own (or none, for the memory's embedder)."""

    turns: list[NewTurn]
    embeddings: npt.NDArray[np.float32] | None


def idempotency_key(key: str) -> str:
    """`key` when it is 1 to 255 visible ASCII characters; InvalidInputError
    otherwise."""
    if not _IDEMPOTENCY_KEY.fullmatch(key):
        raise InvalidInputError("Idempotency-Key must be 1 to 255 visible ASCII characters")
    return key


def idempotent_id(user: str, key: str, position: int) -> str:
    """The id of the turn at `position` (from 0) of a request carrying `key`
    for `user`: the same three always give the same id."""
    return uuid.uuid5(IDEMPOTENCY_NAMESPACE, f"{user}\n{key}\n{position}").hex


def embedding_value(value: object) -> Any:
    """An embedding as the library takes it: numbers as given, base64 text
    decoded into float32 (the library checks the dimension and the values)."""
    if not isinstance(value, str):
        return value
    try:
        raw = base64.b64decode(value, validate=True)
    except binascii.Error:
        raise InvalidInputError("embedding: neither numbers nor base64 text") from None
    if len(raw) % 4:
        raise InvalidInputError("embedding: base64 of float32 values must hold 4 bytes each")
    return np.frombuffer(raw, dtype="<f4")


def _matrix(rows: list[Any]) -> npt.NDArray[np.float32] | None:
    """The embeddings of a whole batch in one array (one conversion instead of
    one per turn), when they are all numbers or all base64 of one length."""
    if not rows or any(row is None for row in rows) or len({len(row) for row in rows}) != 1:
        return None
    if all(isinstance(row, str) for row in rows):
        return np.stack([embedding_value(row) for row in rows])
    if not any(isinstance(row, str) for row in rows):
        return np.array(rows, dtype=np.float32)
    return None


def new_turns(user: str, entries: Sequence[Mapping[str, Any]], key: str | None = None) -> Batch:
    """The turns of one request for `user`, in order. A turn keeps its own
    id; with an Idempotency-Key `key` the others get ids derived from it.
    Unknown fields and values of a wrong JSON type raise InvalidInputError."""
    if key is not None:
        idempotency_key(key)
    turns = [turn_from_json(entry) for entry in entries]
    rows = [entry.get("embedding") for entry in entries]
    matrix = _matrix(rows)
    built = []
    for position, (turn, row) in enumerate(zip(turns, rows, strict=True)):
        turn_id = turn.id
        if not turn_id and key is not None:
            turn_id = idempotent_id(user, key, position)
        embedding = None if matrix is not None else embedding_value(row)
        built.append(dataclasses.replace(turn, id=turn_id, embedding=embedding))
    return Batch(built, matrix)
