"""One user's index in memory and how log events apply to it.

A `LoadedIndex` holds a `KivIndex`, the last seq it applied and the epoch of
the snapshot it came from; turns sit in the index under their store keys
(`index_id`). Events apply boundaries lazily, right before the turn that
carries them, so replaying the log reproduces the tree a live process built.
A turn forgotten since it was added is replayed as a zero vector that is
removed at once: it keeps the documents' child counts, and so every later
automatic boundary, where the live process had them.

It also caches, per layer session, the normalised embeddings of the session's
live turns, for exact session-scoped search. Its size estimate for the cache
budget is kept up to date as it changes, so reading it costs nothing.
Building them from the log and checkpointing them is for checkpoints.py, keeping
them in step with the store for log.py.
"""

from __future__ import annotations

import time
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

import orlo_kiv

from ..stores.records import BOUNDARY_DOCUMENT, BOUNDARY_SESSION, Event, EventKind, TurnRecord

Vector = npt.NDArray[np.float32]
# Bytes per stored chunk beyond its embedding, and per container: estimates
# for the cache budget, measured on the module (a chunk takes about 1.03 to
# 1.06 times its raw embedding).
_CHUNK_OVERHEAD = 0.06
_ENTRY_BYTES = 200
_SESSION_ENTRY_BYTES = 120


def index_id(key: int) -> str:
    """The index's id of the turn with store key `key`: its 32 hex digits."""
    return f"{key:032x}"


def new_index(dimension: int) -> orlo_kiv.KivIndex:
    return orlo_kiv.KivIndex.cosine(dimension)


def now_us() -> int:
    return time.time_ns() // 1000


def normalized(vector: Vector) -> Vector:
    norm = float(np.linalg.norm(vector))
    return vector / norm if norm > 0.0 else vector


@dataclass(slots=True)
class SessionVectors:
    """The normalised embeddings of one session's live turns (rows [0, count))."""

    keys: list[int]
    matrix: Vector
    rows: dict[int, int] = field(default_factory=dict)

    @classmethod
    def build(cls, keys: list[int], embeddings: Vector) -> SessionVectors:
        """From the session's turns' keys and embeddings (one row each)."""
        count, dimension = embeddings.shape
        matrix = np.zeros((max(count, 8), dimension), dtype=np.float32)
        if count:
            matrix[:count] = embeddings
            norms = np.linalg.norm(matrix[:count], axis=1, keepdims=True)
            np.divide(matrix[:count], norms, out=matrix[:count], where=norms > 0)
        return cls(list(keys), matrix, {key: row for row, key in enumerate(keys)})

    def append(self, key: int, vector: Vector) -> None:
        if key in self.rows:
            return
        row = len(self.keys)
        if row == len(self.matrix):
            grown = np.zeros((2 * len(self.matrix), self.matrix.shape[1]), dtype=np.float32)
            grown[:row] = self.matrix
            self.matrix = grown
        self.matrix[row] = normalized(vector)
        self.keys.append(key)
        self.rows[key] = row

    def remove(self, key: int) -> None:
        row = self.rows.pop(key, None)
        if row is None:
            return
        last = len(self.keys) - 1
        if row != last:
            moved = self.keys[last]
            self.keys[row] = moved
            self.matrix[row] = self.matrix[last]
            self.rows[moved] = row
        self.keys.pop()

    def top(self, query: Vector, k: int) -> list[tuple[int, float]]:
        """The k best (key, cosine) pairs, best first; ties keep log order."""
        count = len(self.keys)
        if count == 0 or k <= 0:
            return []
        scores = self.matrix[:count] @ normalized(query)
        order = np.argsort(-scores, kind="stable")[:k]
        return [(self.keys[row], float(scores[row])) for row in order]

    def memory_bytes(self) -> int:
        return int(self.matrix.nbytes) + _SESSION_ENTRY_BYTES * len(self.keys)


class LoadedIndex:
    """A user's `KivIndex` and what it has applied of the log."""

    def __init__(self, index: orlo_kiv.KivIndex, dimension: int) -> None:
        self.index = index
        self.dimension = dimension
        self.applied_seq = 0
        self.epoch = 0
        self.snapshot_seq = 0  # seq of the newest snapshot known to hold this state
        self.sessions: dict[str, SessionVectors] = {}
        self._session_bytes = 0
        self._placeholders: set[int] = set()
        self._zero = np.zeros(dimension, dtype=np.float32)

    # -- applying the log --------------------------------------------------

    def apply_add(self, key: int, boundary: int, session_id: str, vector: Vector | None) -> None:
        if boundary == BOUNDARY_SESSION:
            self.index.new_session()
        elif boundary == BOUNDARY_DOCUMENT:
            self.index.new_document()
        if vector is None:
            # Forgotten since: a placeholder keeps the tree's shape.
            self.index.add_with_id(index_id(key), self._zero)
            self.index.remove(index_id(key))
            self._placeholders.add(key)
            return
        self.index.add_with_id(index_id(key), vector)
        cached = self.sessions.get(session_id)
        if cached is not None:
            before = cached.memory_bytes()
            cached.append(key, vector)
            self._session_bytes += cached.memory_bytes() - before

    def apply_records(
        self, records: Sequence[TurnRecord], keys: Sequence[int], matrix: Vector
    ) -> None:
        """Adds freshly written turns (their keys and rows of `matrix`), as
        `apply_add` would one by one."""
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
            add(f"{keys[row]:032x}", vector)
            if cached:
                session = cached.get(record.session_id)
                if session is not None:
                    before = session.memory_bytes()
                    session.append(keys[row], vector)
                    self._session_bytes += session.memory_bytes() - before

    def apply_forget(self, key: int, session_id: str) -> None:
        """Removes a turn from the index (a placeholder is only forgotten)
        and from its session's cached vectors, wherever that cache was read."""
        cached = self.sessions.get(session_id)
        if cached is not None:
            before = cached.memory_bytes()
            cached.remove(key)
            self._session_bytes += cached.memory_bytes() - before
        if key in self._placeholders:
            self._placeholders.discard(key)
            return
        self.index.remove(index_id(key))

    def apply_events(self, events: Iterable[Event]) -> None:
        for event in events:
            if event.kind == EventKind.ADD:
                vector = (
                    None if event.embedding is None else np.frombuffer(event.embedding, dtype="<f4")
                )
                self.apply_add(event.key, event.boundary, event.session_id, vector)
            else:
                self.apply_forget(event.key, event.session_id)
            self.applied_seq = event.seq

    def cache_session(self, session_id: str, vectors: SessionVectors) -> None:
        """Keeps a session's vectors (read at `applied_seq`) for later searches."""
        old = self.sessions.get(session_id)
        if old is not None:
            self._session_bytes -= old.memory_bytes()
        self.sessions[session_id] = vectors
        self._session_bytes += vectors.memory_bytes()

    # -- size ------------------------------------------------------------------

    @property
    def points(self) -> int:
        """The live turns in the index."""
        return len(self.index)

    def memory_bytes(self) -> int:
        """The estimated memory this index and its session caches take."""
        points = self.points
        vectors = int(points * self.dimension * 4 * (1.0 + _CHUNK_OVERHEAD))
        return vectors + points * _ENTRY_BYTES + self._session_bytes
