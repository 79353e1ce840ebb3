"""One user's index in memory, kept equal to the log it was built from.

A `LoadedIndex` holds a `KivIndex`, the last seq it applied and the epoch of
the snapshot it came from. It is built from the newest snapshot plus the
events after it (`load`), or from the whole log (`rebuild`) when there is no
snapshot or the snapshot fails a check. Events apply boundaries lazily, right
before the turn that carries them, so replaying the log reproduces the tree a
live process built. A turn forgotten since it was added is replayed as a zero
vector that is removed at once: it keeps the documents' child counts, and so
every later automatic boundary, where the live process had them.

It also caches, per layer session, the normalised embeddings of the session's
live turns, for exact session-scoped search.
"""

from __future__ import annotations

import logging
import time
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

import orlo_kiv

from .snapshot import SnapshotError, snapshot_checksum, verify
from .store import (
    BOUNDARY_DOCUMENT,
    BOUNDARY_SESSION,
    Event,
    EventKind,
    SnapshotHeader,
    Store,
    StoredSnapshot,
    TurnRecord,
)

log = logging.getLogger("orlo_memory")

Vector = npt.NDArray[np.float32]
# Bytes per stored chunk beyond its embedding, and per container: estimates
# for the cache budget, measured on the module (a chunk takes about 1.08 times
# its raw embedding).
_CHUNK_OVERHEAD = 0.1
_ENTRY_BYTES = 200


def new_index(dimension: int) -> orlo_kiv.KivIndex:
    return orlo_kiv.KivIndex.cosine(dimension)


def index_from_bytes(data: bytes) -> orlo_kiv.KivIndex:
    return orlo_kiv.KivIndex.from_bytes(data)


def now_us() -> int:
    return time.time_ns() // 1000


def normalized(vector: Vector) -> Vector:
    norm = float(np.linalg.norm(vector))
    return vector / norm if norm > 0.0 else vector


@dataclass(slots=True)
class SessionVectors:
    """The normalised embeddings of one session's live turns (rows [0, count))."""

    ids: list[str]
    matrix: Vector
    rows: dict[str, int] = field(default_factory=dict)

    @classmethod
    def build(cls, dimension: int, items: list[tuple[str, bytes]]) -> SessionVectors:
        matrix = np.zeros((max(len(items), 8), dimension), dtype=np.float32)
        if items:
            raw = np.frombuffer(b"".join(blob for _, blob in items), dtype="<f4")
            matrix[: len(items)] = raw.reshape(len(items), dimension)
            norms = np.linalg.norm(matrix[: len(items)], axis=1, keepdims=True)
            np.divide(matrix[: len(items)], norms, out=matrix[: len(items)], where=norms > 0)
        ids = [turn_id for turn_id, _ in items]
        return cls(ids, matrix, {turn_id: row for row, turn_id in enumerate(ids)})

    def append(self, turn_id: str, vector: Vector) -> None:
        if turn_id in self.rows:
            return
        row = len(self.ids)
        if row == len(self.matrix):
            grown = np.zeros((2 * len(self.matrix), self.matrix.shape[1]), dtype=np.float32)
            grown[:row] = self.matrix
            self.matrix = grown
        self.matrix[row] = normalized(vector)
        self.ids.append(turn_id)
        self.rows[turn_id] = row

    def remove(self, turn_id: str) -> None:
        row = self.rows.pop(turn_id, None)
        if row is None:
            return
        last = len(self.ids) - 1
        if row != last:
            moved = self.ids[last]
            self.ids[row] = moved
            self.matrix[row] = self.matrix[last]
            self.rows[moved] = row
        self.ids.pop()

    def top(self, query: Vector, k: int) -> list[tuple[str, float]]:
        """The k best (id, cosine) pairs, best first; ties keep log order."""
        count = len(self.ids)
        if count == 0 or k <= 0:
            return []
        scores = self.matrix[:count] @ normalized(query)
        order = np.argsort(-scores, kind="stable")[:k]
        return [(self.ids[row], float(scores[row])) for row in order]

    def memory_bytes(self) -> int:
        return int(self.matrix.nbytes) + 120 * len(self.ids)


class LoadedIndex:
    """A user's `KivIndex` and what it has applied of the log."""

    def __init__(self, index: orlo_kiv.KivIndex, dimension: int) -> None:
        self.index = index
        self.dimension = dimension
        self.applied_seq = 0
        self.epoch = 0
        self.snapshot_seq = 0  # seq of the newest snapshot known to hold this state
        self.sessions: dict[str, SessionVectors] = {}
        # len(index) scans the whole tree: the live count is kept here instead.
        self.points = len(index)
        self._placeholders: set[str] = set()
        self._zero = np.zeros(dimension, dtype=np.float32)

    # -- applying the log --------------------------------------------------

    def apply_add(
        self, turn_id: str, boundary: int, session_id: str, vector: Vector | None
    ) -> None:
        if boundary == BOUNDARY_SESSION:
            self.index.new_session()
        elif boundary == BOUNDARY_DOCUMENT:
            self.index.new_document()
        if vector is None:
            # Forgotten since: a placeholder keeps the tree's shape.
            self.index.add_with_id(turn_id, self._zero)
            self.index.remove(turn_id)
            self._placeholders.add(turn_id)
            return
        self.index.add_with_id(turn_id, vector)
        self.points += 1
        cached = self.sessions.get(session_id)
        if cached is not None:
            cached.append(turn_id, vector)

    def apply_records(self, records: Sequence[TurnRecord], matrix: Vector) -> None:
        """Adds freshly written turns (their rows of `matrix`), as `apply_add`
        would one by one."""
        index = self.index
        add = index.add_with_id
        cached = self.sessions
        for row, record in enumerate(records):
            boundary = record.boundary
            if boundary == BOUNDARY_SESSION:
                index.new_session()
            elif boundary == BOUNDARY_DOCUMENT:
                index.new_document()
            vector = matrix[row]
            add(record.id, vector)
            if cached:
                session = cached.get(record.session_id)
                if session is not None:
                    session.append(record.id, vector)
        self.points += len(records)

    def apply_forget(self, turn_id: str) -> None:
        """Removes a turn that was live when its add was applied."""
        if turn_id in self._placeholders:
            self._placeholders.discard(turn_id)
            return
        self.index.remove(turn_id)
        self.points -= 1
        for cached in self.sessions.values():
            cached.remove(turn_id)

    def apply_events(self, events: Iterable[Event]) -> None:
        for event in events:
            if event.kind == EventKind.ADD:
                vector = (
                    None if event.embedding is None else np.frombuffer(event.embedding, dtype="<f4")
                )
                self.apply_add(event.turn_id, event.boundary, event.session_id or "", vector)
            else:
                self.apply_forget(event.turn_id)
            self.applied_seq = event.seq

    def catch_up(self, store: Store, uid: int) -> None:
        self.apply_events(store.events_after(uid, self.applied_seq))

    # -- size ------------------------------------------------------------------

    def memory_bytes(self) -> int:
        points = self.points
        vectors = int(points * self.dimension * 4 * (1.0 + _CHUNK_OVERHEAD))
        return (
            vectors
            + points * _ENTRY_BYTES
            + sum(cached.memory_bytes() for cached in self.sessions.values())
        )


def rebuild(store: Store, uid: int, dimension: int) -> LoadedIndex:
    """A fresh index of the user's live turns, in log order, with their
    boundaries; a forgotten turn's boundary passes to the next live turn."""
    loaded = LoadedIndex(new_index(dimension), dimension)
    pending = 0
    for event in store.events_after(uid, 0):
        if event.kind == EventKind.ADD:
            boundary = max(pending, event.boundary)
            if event.embedding is None:
                pending = boundary
            else:
                pending = 0
                vector = np.frombuffer(event.embedding, dtype="<f4")
                loaded.apply_add(event.turn_id, boundary, event.session_id or "", vector)
        loaded.applied_seq = event.seq
    return loaded


def load(store: Store, uid: int, dimension: int) -> LoadedIndex:
    """The newest snapshot plus the events after it; a snapshot that fails any
    check is discarded with a warning and the index rebuilt from the log."""
    stored = store.read_snapshot(uid)
    if stored is not None:
        try:
            loaded = _from_snapshot(store, uid, dimension, stored)
            loaded.epoch = stored.header.epoch
            return loaded
        except SnapshotError as error:
            log.warning(
                "discarding the index snapshot of user key %d (%s); rebuilding from the turns",
                uid,
                error,
            )
        finally:
            stored.close()
    _, epoch = store.head(uid)
    loaded = rebuild(store, uid, dimension)
    loaded.epoch = epoch
    return loaded


def _from_snapshot(store: Store, uid: int, dimension: int, stored: StoredSnapshot) -> LoadedIndex:
    header = stored.header
    if header.dimension != dimension:
        raise SnapshotError(f"snapshot has dimension {header.dimension}, expected {dimension}")
    if header.seq > stored.head_seq:
        raise SnapshotError(f"snapshot seq {header.seq} is past the log head {stored.head_seq}")
    if header.epoch != stored.epoch:
        raise SnapshotError(f"snapshot epoch {header.epoch} differs from the user's {stored.epoch}")
    verify(header, stored.data)
    try:
        if stored.path is not None:
            index = orlo_kiv.KivIndex.load(stored.path)
        else:
            data = stored.data
            index = index_from_bytes(data if isinstance(data, bytes) else bytes(data))
    except OSError as error:
        raise SnapshotError(str(error)) from None
    if len(index) != header.live_count:
        raise SnapshotError(
            f"snapshot holds {len(index)} turns, its header says {header.live_count}"
        )
    loaded = LoadedIndex(index, dimension)
    loaded.applied_seq = header.seq
    loaded.snapshot_seq = header.seq
    # The snapshot must agree with the log after it: count what replay adds
    # and removes, and compare with the index afterwards.
    events = list(store.events_after(uid, header.seq))
    added_in_tail = {e.turn_id for e in events if e.kind == EventKind.ADD}
    expected = header.live_count
    for event in events:
        if event.kind == EventKind.ADD:
            expected += event.embedding is not None
        elif event.turn_id not in added_in_tail:
            expected -= 1
    loaded.apply_events(events)
    loaded.points = len(loaded.index)
    if loaded.points != expected:
        raise SnapshotError(
            f"snapshot and log disagree: {len(loaded.index)} turns after replay, "
            f"the log has {expected}"
        )
    return loaded


def write_checkpoint(store: Store, uid: int, loaded: LoadedIndex, now_us: int) -> None:
    """Stores a snapshot of `loaded` (synced to the head by the caller, inside
    the user's write transaction), replacing the older one."""
    data = loaded.index.to_bytes()
    header = SnapshotHeader(
        seq=loaded.applied_seq,
        epoch=loaded.epoch,
        live_count=loaded.points,
        dimension=loaded.dimension,
        size=len(data),
        checksum=snapshot_checksum(data),
        created_us=now_us,
    )
    store.write_snapshot(uid, header, data)
    loaded.snapshot_seq = loaded.applied_seq
