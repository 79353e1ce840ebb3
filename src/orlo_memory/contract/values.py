"""The rules for the caller's values, one each: ids, user names, texts,
metadata, times and numeric parameters, with their ranges.

Every door (the library, the command line, JSON Lines, HTTP, MCP, LangChain)
checks through these functions, so each refuses the same value with the same
message. Each check raises InvalidInputError naming what is wrong (and, for a
number, the range it must lie in), before anything is written.
"""

from __future__ import annotations

import json
import math
import numbers
import operator
import os
import re
import reprlib
import uuid
from collections.abc import Iterable, Mapping
from datetime import UTC, datetime, timedelta

from ..errors import InvalidInputError


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


# Metadata nested deeper than this is refused: every reader of it (JSON
# parsers, the servers' encoders, a browser) copes with this depth, and no
# sensible record needs more.
MAX_METADATA_DEPTH = 32
# The longest user name, in characters.
MAX_USER_NAME = 256


def user_name(value: object) -> str:
    """A user name: non-blank text of at most MAX_USER_NAME characters that
    every backend can store."""
    if not isinstance(value, str) or not value.strip() or len(value) > MAX_USER_NAME:
        raise InvalidInputError(
            f"a user name must be non-blank text of at most {MAX_USER_NAME} characters,"
            f" got {reprlib.repr(value)}"
        )
    if not storable(value):
        _refuse_unstorable(value, "a user name")
    return value


def _depth(value: object) -> int:
    """How deeply containers nest in a JSON value (a scalar is 0), counted
    without recursion so that no depth can exhaust the stack."""
    deepest = 0
    pending: list[tuple[object, int]] = [(value, 0)]
    while pending:
        item, depth = pending.pop()
        if isinstance(item, Mapping):
            children: Iterable[object] = item.values()
        elif isinstance(item, list | tuple):
            children = item
        else:
            continue
        depth += 1
        if depth > MAX_METADATA_DEPTH:
            return depth
        deepest = max(deepest, depth)
        pending.extend((child, depth) for child in children)
    return deepest


# An escaped NUL in JSON text: "\u0000" after an even number of backslashes.
_ESCAPED_NUL = re.compile(r"(?<!\\)(?:\\\\)*\\u0000")


def metadata_json(metadata: object) -> str | None:
    if metadata is None:
        return None
    if not isinstance(metadata, Mapping):
        raise InvalidInputError(f"metadata must be a mapping, got {type(metadata).__name__}")
    if not all(isinstance(key, str) for key in metadata):
        raise InvalidInputError("metadata keys must be strings")
    if not metadata:
        return None
    if _depth(metadata) > MAX_METADATA_DEPTH:
        raise InvalidInputError(f"metadata is nested more than {MAX_METADATA_DEPTH} levels deep")
    try:
        text = json.dumps(dict(metadata), ensure_ascii=False, allow_nan=False)
    except (TypeError, ValueError) as error:
        raise InvalidInputError(f"metadata is not JSON-serialisable: {error}") from None
    except RecursionError:
        raise InvalidInputError("metadata is nested too deeply") from None
    if not storable(text):  # a lone surrogate stays as it is
        _refuse_unstorable(text, "metadata")
    if "\\u0000" in text and _ESCAPED_NUL.search(text):  # JSON escapes NUL
        raise InvalidInputError("metadata must not contain NUL characters")
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
        raise InvalidInputError(
            f"{name} must be a timezone-aware datetime, e.g. datetime.now(UTC) "
            "(this one has no time zone)"
        )
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
# The most results one search or session listing returns, at every door: far
# more than an assistant reads, few enough that an answer stays small.
MAX_RESULTS = 1000
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


# How search ranks: by meaning, by words, or both fused.
MODES = ("vector", "lexical", "hybrid")


def mode_argument(value: object) -> str:
    if value not in MODES:
        raise InvalidInputError(f"mode must be one of {', '.join(MODES)}, got {value!r}")
    return str(value)


def k_argument(value: object) -> int:
    """How many results to return: 0 to MAX_RESULTS."""
    return count_argument(value, "k", 0, MAX_RESULTS)


def dimension_argument(value: object) -> int:
    """An embedding's dimension: a positive integer."""
    return count_argument(value, "dimension", 1)


# How hybrid search fuses its two rankings: by standardised scores or by rank.
FUSIONS = ("score", "rank")


def fusion_argument(value: object) -> str:
    if value not in FUSIONS:
        raise InvalidInputError(f"fusion must be one of {', '.join(FUSIONS)}, got {value!r}")
    return str(value)


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


# The most weight recency may have in a search: at 1 recency alone ranks.
MAX_RECENCY = 1.0


def recency_argument(value: object) -> float:
    """How much a search's score leans on the turns' freshness: 0 to MAX_RECENCY."""
    return real_argument(value, "recency", 0.0, MAX_RECENCY)


def factor_argument(value: object, what: str) -> float:
    """A weight, rank constant or decay rate: 0 to MAX_FACTOR."""
    return real_argument(value, what, 0.0, MAX_FACTOR)
