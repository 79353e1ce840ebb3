"""The storage protocol every backend implements, and the records it carries.

A user's turns form an append-only log ordered by a per-user sequence number
`seq`: a turn added is one event, a turn forgotten another (the turn's text,
metadata and embedding are deleted then, its place in the log stays). Every
change runs inside `transaction(uid)`, which holds that user's write lock, so
all processes agree on one order of events. Index snapshots are checkpoints of
that log: one snapshot per user, with the `seq` it contains. Times are integer
microseconds since the Unix epoch (UTC); embeddings are little-endian float32
bytes. All SQL of a backend stays in the backend's own module.
"""

from __future__ import annotations

import contextlib
import enum
import mmap
from collections.abc import Iterator, Mapping, Sequence
from contextlib import AbstractContextManager
from dataclasses import dataclass
from typing import BinaryIO, NamedTuple, Protocol

from .lexical import LexicalIndex

# Boundary values of a turn: what the index must open before adding it.
BOUNDARY_NONE = 0
BOUNDARY_DOCUMENT = 1
BOUNDARY_SESSION = 2


class EventKind(enum.IntEnum):
    ADD = 0
    FORGET = 1


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
    embedding: bytes


class StoredTurn(NamedTuple):
    """A live turn as read back (without its embedding)."""

    id: str
    seq: int
    session_id: str
    boundary: int
    role: str
    text: str
    metadata: str | None
    created_us: int


class Event(NamedTuple):
    """One log entry for replay. For an ADD whose turn was forgotten since,
    `embedding` is None; a FORGET carries no session, boundary or embedding."""

    seq: int
    kind: EventKind
    turn_id: str
    session_id: str | None
    boundary: int
    embedding: bytes | None


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

    def close(self) -> None:
        if isinstance(self.data, mmap.mmap):
            # A view still alive keeps the mapping until it goes.
            with contextlib.suppress(BufferError):
                self.data.close()
        if self.source is not None:
            self.source.close()


@dataclass(frozen=True, slots=True)
class Found:
    """Live turns fetched by id, with the user's head and epoch read in the same
    statement (so a reader learns in one round trip whether it is behind)."""

    head_seq: int
    epoch: int
    turns: list[StoredTurn]


class Store(LexicalIndex, Protocol):
    """Everything a backend does for the memory layer."""

    def close(self) -> None: ...

    # Settings that every process must agree on (schema, dimension, embedder).
    def read_settings(self) -> dict[str, str]: ...

    def write_settings(self, values: Mapping[str, str]) -> None:
        """Adds settings that are not yet stored; existing ones are kept."""
        ...

    # Users.
    def ensure_user(self, name: str, now_us: int) -> int:
        """The user's key, creating the user row when it is missing."""
        ...

    def user_names(self) -> list[str]: ...

    # Writing: every call below but `user_state` runs inside `transaction(uid)`.
    def transaction(self, uid: int) -> AbstractContextManager[None]:
        """One write transaction holding the user's write lock; commits on
        normal exit, rolls back when the block raises."""
        ...

    def user_state(self, uid: int) -> UserState: ...

    def save_user_state(self, state: UserState) -> None: ...

    def existing_turn_ids(self, ids: Sequence[str]) -> list[str]:
        """Which of `ids` are taken by any turn of any user (live or forgotten)."""
        ...

    def append_turns(self, uid: int, turns: Sequence[TurnRecord]) -> None: ...

    def forget_turns(self, uid: int, forgets: Sequence[tuple[str, int]], now_us: int) -> None:
        """Forgets live turns given as (turn id, seq of the forget event)."""
        ...

    def create_session(self, uid: int, session: SessionRecord) -> None: ...

    def write_session_sums(self, uid: int, sessions: Sequence[SessionRecord]) -> None:
        """Replaces turn_count and vector_sum of existing sessions."""
        ...

    def write_snapshot(self, uid: int, header: SnapshotHeader, data: bytes) -> None:
        """Stores a snapshot (`KivIndex.to_bytes()`), replacing the user's older
        one when the transaction commits. A backend may cut it into parts
        (`snapshot.split_parts`) where one value cannot hold it."""
        ...

    def delete_snapshot(self, uid: int) -> None: ...

    # Reading: each call sees one consistent state of the store.
    def head(self, uid: int) -> tuple[int, int]:
        """The user's (head seq, epoch)."""
        ...

    def events_after(self, uid: int, seq: int) -> Iterator[Event]:
        """Every event with a larger seq, in seq order."""
        ...

    def live_turns(self, uid: int, ids: Sequence[str]) -> Found:
        """The user's live turns among `ids` (in no particular order)."""
        ...

    def turn_embeddings(self, uid: int, ids: Sequence[str]) -> list[tuple[str, str, bytes]]:
        """(id, session id, embedding) of the user's live turns among `ids`."""
        ...

    def iter_turns(self, uid: int) -> Iterator[StoredTurn]:
        """Every live turn of the user in seq order."""
        ...

    def session_embeddings(self, uid: int, session_id: str) -> list[tuple[str, bytes]]:
        """(id, embedding) of the session's live turns, in seq order."""
        ...

    def sessions(self, uid: int, ids: Sequence[str] | None = None) -> list[SessionRecord]:
        """The user's sessions (all, or those among `ids`), newest first."""
        ...

    def snapshot_header(self, uid: int) -> SnapshotHeader | None: ...

    def read_snapshot(self, uid: int) -> StoredSnapshot | None:
        """The newest snapshot, its bytes as stored (the caller verifies them
        against the header's checksum), or None."""
        ...
