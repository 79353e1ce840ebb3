"""What both backends share in answering a filter (contract/filters.py): the
field index's rules and the choice of the conditions that drive a query.

Each backend keeps a field index of its turns' metadata: one row per
top-level key of a live turn's metadata (`turn_fields`), holding the key, the
JSON type of its value (`KIND_*`) and the value itself when it is a scalar,
indexed by (user, key, kind, value). It is written with the turn, dropped
when the turn is forgotten, and serves only to *find* candidate turns fast:
every turn it yields is checked against the whole filter on the turn's own
row. So it may hold a superset: strings are kept to their first
INDEXED_CHARS characters (a prefix orders as the string does, so a range on
prefixes holds every match), and keys longer than INDEXED_CHARS are not
kept at all (a filter on one is answered without the index).

A query of matching turns is driven by a few conditions whose matches
together hold every match (`drivers`): a comparison the indexes answer (a
metadata key's, a session's, a time's), one part of an `$and` (the one
likely to match fewest: a session, then equality, then a range, then a
key's presence; or, where the store counts them, the one that finds fewest
turns), or every part of an `$or`. A filter with none (a role
alone, a negation) is answered by reading the user's turns. When the drivers
find exactly the matches (`covered`), the turns found are not checked again.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence

from ..contract.filters import CREATED_AT, METADATA, ROLE, SESSION, All, AnyOf, Condition, Filter

# Keys up to this many characters are in the field index, and strings by
# their first this many characters: an index entry stays far below
# PostgreSQL's bound of 2,704 bytes.
INDEXED_CHARS = 200

# How far the store counts the turns each alternative driver finds, where it
# has no bound of its own: far enough to tell the few from the many.
COUNT_BOUND = 10_000

# The JSON type of a metadata value, as the field index keeps it.
KIND_NULL = 0
KIND_BOOLEAN = 1
KIND_NUMBER = 2
KIND_STRING = 3
KIND_OTHER = 4  # a list or an object: present, never compared


def _priority(condition: Condition) -> int | None:
    """How few turns a driving condition is likely to match (lower: fewer),
    or None when no index answers it."""
    if condition.field == SESSION:
        return 0
    if condition.field == ROLE:
        return None  # a handful of roles: an index would not narrow much
    if condition.field == METADATA and len(condition.key) > INDEXED_CHARS:
        return None
    if condition.op == "in":
        return 1
    if condition.op == "exists":
        return 4
    return 3 if condition.field == CREATED_AT else 2


Sizes = Callable[[list[list[Condition]]], list[int]]


def _rank(found: list[Condition]) -> int:
    return max((_priority(condition) or 0 for condition in found), default=0)


def drivers(where: Filter, sizes: Sizes | None = None) -> list[Condition] | None:
    """Conditions whose matches together hold every turn matching `where`
    (each answered by an index), or None when the turns must be read.
    Among the parts of an `$and`, `sizes` (when given) counts what each
    alternative finds, up to a bound, and the one that finds fewest drives;
    without it, the likeliest to find fewest."""
    if isinstance(where, Condition):
        return None if _priority(where) is None else [where]
    if isinstance(where, All):
        found = [one for part in where.parts if (one := drivers(part, sizes)) is not None]
        if not found:
            return None
        if len(found) > 1 and sizes is not None:
            counted = sizes(found)
            return found[min(range(len(found)), key=lambda n: (counted[n], _rank(found[n])))]
        return min(found, key=_rank)
    if isinstance(where, AnyOf):
        union: list[Condition] = []
        for part in where.parts:
            one = drivers(part, sizes)
            if one is None:
                return None
            union += one
        return union  # no parts: no turn matches, and none needs reading
    return None


def _exact(condition: Condition) -> bool:
    """Whether a driving condition's index finds exactly its matches: all but
    a string's range, or equality with a string as long as the prefixes kept
    (a shorter one equals a kept prefix only when it is the whole string)."""
    if condition.field != METADATA or condition.op == "exists":
        return True
    strings = [value for value in condition.values if isinstance(value, str)]
    if condition.op != "in":
        return not strings
    return all(len(value) < INDEXED_CHARS for value in strings)


def covered(where: Filter) -> bool:
    """Whether the drivers of `where` find exactly the turns it matches (so
    that the turns they find need no further check): a comparison an index
    answers exactly, or an `$or` of such."""
    parts = where.parts if isinstance(where, AnyOf) else (where,)
    return all(
        isinstance(part, Condition) and _priority(part) is not None and _exact(part)
        for part in parts
    )


def residual(where: Filter, found: list[Condition]) -> Filter | None:
    """What is left of `where` to check on the turns its drivers `found`
    find: nothing when they cover it, the other parts when they cover one
    part of an `$and`, else the whole filter."""
    if covered(where):
        return None
    if isinstance(where, All):
        for number, part in enumerate(where.parts):
            if covered(part) and drivers(part) == found:
                rest = where.parts[:number] + where.parts[number + 1 :]
                return rest[0] if len(rest) == 1 else All(rest)
    return where


def grouped(values: Sequence[object]) -> tuple[list[bool], list[int | float], list[str]]:
    """An equality's values by JSON type: booleans, numbers, strings."""
    booleans = [value for value in values if isinstance(value, bool)]
    numbers = [
        value for value in values if isinstance(value, int | float) and not isinstance(value, bool)
    ]
    strings = [value for value in values if isinstance(value, str)]
    return booleans, numbers, strings
