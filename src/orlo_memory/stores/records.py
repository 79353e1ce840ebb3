"""The records a store carries between the memory and its tables.

A user's turns form an append-only log ordered by a per-user sequence number
`seq`: a turn added is one event, a turn forgotten another (its text,
metadata, alias and embedding are deleted then; its place in the log stays).
Each turn also has an integer `key` chosen by the store, unique among the
user's turns and never reused: the user's index holds the turn under it, and
search reads the hits' rows back by it. Times are integer microseconds since
the Unix epoch (UTC); embeddings are little-endian float32 bytes.
"""

from __future__ import annotations

import contextlib
import enum
import mmap
from dataclasses import dataclass
from typing import BinaryIO, Generic, NamedTuple, TypeVar

from ..errors import InvalidInputError, UnknownIdError

R = TypeVar("R")

# Boundary values of a turn: what the index must open before adding it.
BOUNDARY_NONE = 0
BOUNDARY_DOCUMENT = 1
BOUNDARY_SESSION = 2


class EventKind(enum.IntEnum):
    ADD = 0
    FORGET = 1


class By(enum.Enum):
    """Which of a user's live turns `read_turns` selects."""

    ID = "id"  # by turn ids
    ALIAS = "alias"  # by aliases (a caller's own names, unique among live turns)
    SESSION = "session"  # every turn of one session (one value: its id)
    ALL = "all"  # every turn


def unknown_user(uid: int) -> UnknownIdError:
    """What a call on a user key that no user has raises: the user was erased
    (by this process or another) after the caller found it."""
    return UnknownIdError(
        f"no user with key {uid}: it was erased; Memory.user(name) starts a new, empty one"
    )


def checked_page(offset: int, limit: int | None) -> tuple[int, int | None]:
    """(offset, limit) of a page of `read_turns`, checked: `offset` turns
    skipped, at most `limit` (None: every one after them) returned."""
    if isinstance(offset, bool) or not isinstance(offset, int) or offset < 0:
        raise InvalidInputError(f"offset must be a whole number of at least 0, got {offset!r}")
    if limit is not None and (isinstance(limit, bool) or not isinstance(limit, int) or limit < 0):
        raise InvalidInputError(
            f"limit must be a whole number of at least 0 or None, got {limit!r}"
        )
    return offset, limit


@dataclass(frozen=True, slots=True)
class UserState:
    """A user's row: the log head, the index epoch and the durable boundary state."""

    uid: int
    head_seq: int
    epoch: int
    live_count: int
    forgotten_count: int
    forgotten_since_rebuild: int
    current_session: str | None
    pending_boundary: int


class TurnRecord(NamedTuple):
    """A turn as appended to the log."""

    id: str
    seq: int
    session_id: str
    boundary: int
    role: str
    text: str
    metadata: str | None  # JSON text of an object, None for no metadata
    created_us: int
    alias: str | None
    embedding: bytes


class StoredTurn(NamedTuple):
    """A live turn as read back; `embedding` only when it was asked for."""

    key: int
    id: str
    seq: int
    session_id: str
    boundary: int
    role: str
    text: str
    metadata: str | None
    created_us: int
    alias: str | None
    embedding: bytes | None


class HitRow(NamedTuple):
    """What a search result needs of a live turn, read by its key."""

    key: int
    id: str
    session_id: str
    role: str
    text: str
    metadata: str | None
    created_us: int


class SearchRow(NamedTuple):
    """What a hybrid search reads of a candidate: a hit's fields, then the
    turn's seq (its neighbours in its session are the turns of seq - 1 and
    seq + 1) and its embedding (read only for the neighbours a search adds,
    else None)."""

    key: int
    id: str
    session_id: str
    role: str
    text: str
    metadata: str | None
    created_us: int
    seq: int
    embedding: bytes | None


class ForgetRecord(NamedTuple):
    """A forget as appended to the log: the event's seq and the turn it ends."""

    seq: int
    key: int
    turn_id: str


class Event(NamedTuple):
    """One log entry for replay. An ADD carries the turn's key, session,
    boundary and embedding (None when the turn was forgotten since); a FORGET
    the key and session of the turn it ends."""

    seq: int
    kind: EventKind
    key: int
    session_id: str
    boundary: int
    embedding: bytes | None


@dataclass(frozen=True, slots=True)
class Found(Generic[R]):
    """Rows of live turns read with the user's head and epoch of the same
    state of the store (so a reader learns in one round trip whether it is
    behind)."""

    head_seq: int
    epoch: int
    turns: list[R]


@dataclass(frozen=True, slots=True)
class SessionRecord:
    """A layer session: `vector_sum` is the running sum of its live turns'
    normalised embeddings, little-endian float64 (None while it has none)."""

    id: str
    title: str | None
    created_us: int
    turn_count: int
    vector_sum: bytes | None


@dataclass(frozen=True, slots=True)
class SnapshotHeader:
    """What a stored index snapshot claims: checked before it is used."""

    seq: int
    epoch: int
    live_count: int
    dimension: int
    size: int
    checksum: str
    created_us: int


@dataclass(frozen=True, slots=True)
class StoredSnapshot:
    """A snapshot as read, with the user's head seq and epoch read with it."""

    header: SnapshotHeader
    # The snapshot's bytes: in memory, or a read-only mapping of its file.
    data: bytes | mmap.mmap
    head_seq: int
    epoch: int
    # A path that KivIndex.load reads these very bytes from (the open file
    # behind the mapping), so that the index is built without first copying
    # the file into memory; None where there is none.
    path: str | None = None
    # The open file behind `data` and `path`, released by close().
    source: BinaryIO | None = None
    # Why the bytes could not be read (the snapshot is then treated as
    # damaged: discarded with a warning, the index rebuilt from the log).
    problem: str | None = None

    def close(self) -> None:
        if isinstance(self.data, mmap.mmap):
            # A view still alive keeps the mapping until it goes.
            with contextlib.suppress(BufferError):
                self.data.close()
        if self.source is not None:
            self.source.close()
