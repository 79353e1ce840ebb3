"""Turns as both servers receive them: JSON turn objects made into `NewTurn`s,
their embeddings (numbers, or base64 text) decoded, and the ids an
Idempotency-Key gives them.

    batch = new_turns(user.name, entries, key)
    ids = user.add_many(batch.turns, embeddings=batch.embeddings)

`entries` are JSON objects with the fields of `contract.turns.TURN_FIELDS`
(an HTTP request model's `dict(model)` is one). A retried request carrying the
same key stores nothing again: the i-th turn of a request with key K for user
U always gets `idempotent_id(U, K, i)`, the id the HTTP API has always given
it, so ids stored before stay the ids a retry finds. A key used again with
another request (other turns, another number of them) is refused:
`reused_key` reads what the key's ids hold.
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
from ...core.user import UserMemory, prepared
from ...embedders import Embedder, as_matrix
from ...errors import DuplicateIdError, InvalidInputError, UnknownIdError
from .embedding import embedded

# The namespace of the UUIDv5 ids derived from an Idempotency-Key. Changing it
# would give a retry new ids, and so store its turns twice.
IDEMPOTENCY_NAMESPACE = uuid.UUID("6f726c6f-6d65-6d6f-7279-6964656d706f")
_IDEMPOTENCY_KEY = re.compile(r"[\x21-\x7e]{1,255}")


class ReusedKeyError(InvalidInputError):
    """An Idempotency-Key came again with another request (HTTP 422)."""


class Batch(NamedTuple):
    """Turns for `UserMemory.add_many`: with `embeddings` (one row per turn)
    when every turn carried an embedding of the same length, else each turn
    carries its own (or none, for the memory's embedder)."""

    turns: list[NewTurn]
    embeddings: npt.NDArray[np.float32] | None
    keyed: tuple[int, ...] = ()  # the positions whose ids come from an Idempotency-Key


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
    keyed = []
    for position, (turn, row) in enumerate(zip(turns, rows, strict=True)):
        turn_id = turn.id
        if not turn_id and key is not None:
            turn_id = idempotent_id(user, key, position)
            keyed.append(position)
        embedding = None if matrix is not None else embedding_value(row)
        built.append(dataclasses.replace(turn, id=turn_id, embedding=embedding))
    return Batch(built, matrix, tuple(keyed))


def check_turns(turns: Sequence[NewTurn], dimension: int) -> None:
    """Checks every value of `turns` as the library will (its
    InvalidInputError), the given embeddings against `dimension`: a request
    refused here has created no user and cost no embedding."""
    for turn in turns:
        prepared(turn, "0" * 32)
        if turn.embedding is not None:
            as_matrix(turn.embedding, 1, dimension, "embeddings")


def store(
    user: UserMemory,
    batch: Batch,
    key: str | None,
    *,
    embedder: Embedder | None,
    replacing: list[str] | None = None,
) -> list[str]:
    """Stores `batch` for `user` (its turns without embeddings embedded by
    `embedder` first, outside the library's locks) and returns the ids;
    ReusedKeyError when `key` came before with another request."""
    if key is not None and reused_key(user, batch, key):
        raise _reused(key)
    turns = batch.turns if batch.embeddings is not None else embedded(batch.turns, embedder)
    try:
        return user.add_many(turns, embeddings=batch.embeddings, replacing=replacing)
    except DuplicateIdError:
        # Another request with the key may have been stored since the check.
        if key is not None and reused_key(user, batch, key):
            raise _reused(key) from None
        raise


def _reused(key: str) -> ReusedKeyError:
    return ReusedKeyError(
        f"Idempotency-Key reused with a different request: {key!r} was sent with other "
        "turns before; use a new key for a new request"
    )


def reused_key(user: UserMemory, batch: Batch, key: str) -> bool:
    """Whether the ids `key` gives `batch` (of `user`'s) hold another
    request's turns: a request with another number of turns, or other
    texts, roles, metadata, given times or given embeddings. False for the
    key's first request and for a repeat of the same one (which the library
    answers with the stored ids); False too when the key's turns were
    forgotten since, for the library to answer."""
    derived = [batch.turns[position].id or "" for position in batch.keyed]
    if not derived:
        return False
    following = idempotent_id(user.name, key, len(batch.turns))
    taken = set(user.taken_ids([*derived, following]))
    if not taken:
        return False
    if following in taken or not taken.issuperset(derived):
        return True
    sent = [batch.turns[position] for position in batch.keyed]
    for turn in sent:
        prepared(turn, "0" * 32)  # a bad value is refused as such, not as another request
    try:
        stored = user.get(derived)
    except UnknownIdError:
        return False
    for new, old in zip(sent, stored, strict=True):
        if (new.text, new.role, dict(new.metadata or {})) != (old.text, old.role, old.metadata):
            return True
        if new.created_at is not None and new.created_at != old.created_at:
            return True
    return _other_embeddings(user, batch, derived)


def _other_embeddings(user: UserMemory, batch: Batch, derived: list[str]) -> bool:
    """Whether the embeddings `batch` gives its keyed turns differ from the stored ones."""
    given: list[Any] = []
    for position in batch.keyed:
        row = (
            batch.embeddings[position]
            if batch.embeddings is not None
            else batch.turns[position].embedding
        )
        given.append(row)
    if all(row is None for row in given):
        return False
    stored = user.embeddings(derived)
    for turn_id, row in zip(derived, given, strict=True):
        if row is None:
            continue
        try:
            sent = np.asarray(row, dtype=np.float32)
        except (TypeError, ValueError):
            return False  # not numbers: the library says so
        kept = stored.get(turn_id)
        if kept is None or not np.array_equal(sent, kept):
            return True
    return False
