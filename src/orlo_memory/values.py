"""Checking and converting the caller's values: ids, texts, metadata, times
and numeric parameters.

Each check raises InvalidInputError naming what is wrong (and, for a number,
the range it must lie in), before anything is written.
"""

from __future__ import annotations

import json
import math
import numbers
import operator
import os
import reprlib
import uuid
from collections.abc import Iterable, Mapping
from datetime import UTC, datetime, timedelta

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


def storable(text: str) -> bool:
    """Whether every backend can store `text`: no NUL (PostgreSQL text cannot
    hold it) and no lone surrogate (it has no UTF-8 form)."""
    if "\0" in text:
        return False
    if text.isascii():
        return True
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _refuse_unstorable(text: str, what: str) -> None:
    if "\0" in text:  # refused on every backend alike
        raise InvalidInputError(f"{what} must not contain NUL characters")
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as error:
        raise InvalidInputError(
            f"{what} holds a lone surrogate at position {error.start} (not valid Unicode text)"
        ) from None


def text_argument(value: object, what: str) -> str:
    if not isinstance(value, str) or not value.strip():
        raise InvalidInputError(f"{what} must be a non-empty string")
    if not storable(value):
        _refuse_unstorable(value, what)
    return value


def optional_text_argument(value: object, what: str) -> str | None:
    """None, or a string (perhaps empty) that every backend can store."""
    if value is None:
        return None
    if not isinstance(value, str):
        raise InvalidInputError(f"{what} must be a string or None, got {type(value).__name__}")
    if not storable(value):
        _refuse_unstorable(value, what)
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
        text = json.dumps(dict(metadata), ensure_ascii=False, allow_nan=False)
    except (TypeError, ValueError) as error:
        raise InvalidInputError(f"metadata is not JSON-serialisable: {error}") from None
    except RecursionError:
        raise InvalidInputError("metadata is nested too deeply") from None
    if not storable(text):  # JSON escapes NUL; a lone surrogate stays as it is
        _refuse_unstorable(text, "metadata")
    return text


_EPOCH = datetime(1970, 1, 1, tzinfo=UTC)
# A day inside datetime's own range at each end, so that any reading of a
# stored time, in any time zone, stays inside it.
_FIRST_TIME = datetime(1, 1, 2, tzinfo=UTC)
_LAST_TIME = datetime(9999, 12, 30, tzinfo=UTC)


def timestamp_us(value: object, name: str = "created_at") -> int | None:
    if value is None:
        return None
    if not isinstance(value, datetime):
        raise InvalidInputError(f"{name} must be a datetime, got {type(value).__name__}")
    if value.tzinfo is None or value.utcoffset() is None:
        raise InvalidInputError(f"{name} must be timezone-aware (e.g. datetime.now(UTC))")
    try:
        inside = _FIRST_TIME <= value <= _LAST_TIME
    except OverflowError:
        inside = False
    if not inside:
        raise InvalidInputError(
            f"{name} must lie between 0001-01-02 and 9999-12-30 (UTC), got {value.isoformat()}"
        )
    delta = value - _EPOCH
    return (delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds


def from_us(us: int) -> datetime:
    return _EPOCH + timedelta(microseconds=us)


# -- numeric parameters ----------------------------------------------------------

# The most results, candidates or other items a count may ask for: far beyond
# any memory's size, and four times it still fits every backend's integers.
MAX_COUNT = (1 << 31) - 1
# Weights, rank constants and decay rates: scores built from values up to this
# stay finite whatever the ranks and ages.
MAX_FACTOR = 1e6
# The longest wait for a lock or a connection, in seconds: PostgreSQL's
# lock_timeout holds at most 2**31 - 1 ms (24.8 days).
MAX_WAIT_SECONDS = 1e6


def _shown(number: float) -> str:
    return format(number, ",") if isinstance(number, int) else format(number, ",.10g")


def count_argument(value: object, what: str, low: int = 0, high: int = MAX_COUNT) -> int:
    """An integer (a Python or numpy integer, not a bool) from `low` to `high`."""
    number: int | None = None
    if not isinstance(value, bool):
        try:
            number = operator.index(value)  # type: ignore[arg-type]
        except TypeError:
            number = None
    if number is None or not low <= number <= high:
        raise InvalidInputError(
            f"{what} must be an integer from {_shown(low)} to {_shown(high)},"
            f" got {reprlib.repr(value)}"
        )
    return number


def real_argument(
    value: object, what: str, low: float, high: float, *, above_low: bool = False
) -> float:
    """A real number (not a bool, NaN or infinity) from `low` to `high`, as a
    float; with `above_low` it must exceed `low`."""
    number = math.nan
    if type(value) is float:  # the common case, without the abstract class's check
        number = value
    elif isinstance(value, numbers.Real) and not isinstance(value, bool):
        try:
            number = float(value)
        except (OverflowError, ValueError):
            number = math.nan
    inside = (low < number if above_low else low <= number) and number <= high  # NaN: False
    if not inside:
        lower = f"above {_shown(low)} and at most" if above_low else f"from {_shown(low)} to"
        raise InvalidInputError(
            f"{what} must be a number {lower} {_shown(high)}, got {reprlib.repr(value)}"
        )
    return number


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
