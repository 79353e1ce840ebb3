"""Checking and converting the caller's values: ids, texts, metadata, times.

Each check raises InvalidInputError naming what is wrong, before anything is
written.
"""

from __future__ import annotations

import json
import os
import uuid
from collections.abc import Iterable, Mapping
from datetime import UTC, datetime

from .errors import InvalidInputError
from .records import BOUNDARY_DOCUMENT, StoredTurn
from .results import Turn


def new_id() -> str:
    return os.urandom(16).hex()


def new_ids(count: int) -> list[str]:
    """`count` random 128-bit ids as 32 hex characters (one system call)."""
    text = os.urandom(16 * count).hex()
    return [text[start : start + 32] for start in range(0, 32 * count, 32)]


def parse_id(value: object, what: str = "id") -> str:
    """A turn or session id as 32 lower-case hex characters (a UUID's text or
    hex form is accepted)."""
    if not isinstance(value, str):
        raise InvalidInputError(f"{what} must be a string, got {type(value).__name__}")
    text = value.strip().lower()
    if len(text) == 32 and all(c in "0123456789abcdef" for c in text):
        return text
    try:
        return uuid.UUID(text).hex
    except ValueError:
        raise InvalidInputError(
            f"{what} must be 32 hex characters or a UUID, got {value!r}"
        ) from None


def ids_argument(ids: str | Iterable[str], what: str) -> list[str]:
    values = [ids] if isinstance(ids, str) else list(ids)
    return list(dict.fromkeys(parse_id(value, what) for value in values))


def text_argument(value: object, what: str) -> str:
    if not isinstance(value, str) or not value.strip():
        raise InvalidInputError(f"{what} must be a non-empty string")
    if "\0" in value:  # PostgreSQL text cannot hold it; refused on every backend alike
        raise InvalidInputError(f"{what} must not contain NUL characters")
    return value


def metadata_json(metadata: object) -> str | None:
    if metadata is None:
        return None
    if not isinstance(metadata, Mapping):
        raise InvalidInputError(f"metadata must be a mapping, got {type(metadata).__name__}")
    if not all(isinstance(key, str) for key in metadata):
        raise InvalidInputError("metadata keys must be strings")
    if not metadata:
        return None
    try:
        return json.dumps(dict(metadata), ensure_ascii=False, allow_nan=False)
    except (TypeError, ValueError) as error:
        raise InvalidInputError(f"metadata is not JSON-serialisable: {error}") from None


def timestamp_us(value: object, name: str = "created_at") -> int | None:
    if value is None:
        return None
    if not isinstance(value, datetime):
        raise InvalidInputError(f"{name} must be a datetime, got {type(value).__name__}")
    if value.tzinfo is None or value.utcoffset() is None:
        raise InvalidInputError(f"{name} must be timezone-aware (e.g. datetime.now(UTC))")
    delta = value - datetime(1970, 1, 1, tzinfo=UTC)
    return (delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds


def from_us(us: int) -> datetime:
    return datetime.fromtimestamp(us / 1_000_000, tz=UTC)


def stored_to_turn(stored: StoredTurn) -> Turn:
    return Turn(
        id=stored.id,
        text=stored.text,
        role=stored.role,
        session_id=stored.session_id,
        created_at=from_us(stored.created_us),
        metadata=json.loads(stored.metadata) if stored.metadata else {},
        new_topic=stored.boundary == BOUNDARY_DOCUMENT,
        seq=stored.seq,
    )
