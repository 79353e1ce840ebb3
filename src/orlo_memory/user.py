"""`UserMemory`: one user's turns, sessions and searches.

Every write is one store transaction under the user's write lock: it reads the
log head, appends the events with the next seqs and commits; only then is the
cached index brought up to the new head (events from other processes first,
in seq order). Reads catch the index up to the head before answering.
Structural changes (consolidation, rebuild) run under the lock on an index at
the head, then bump the user's epoch and store a snapshot in the same
transaction; an index of an older epoch is reloaded.
"""

from __future__ import annotations

import logging
import math
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, replace
from datetime import datetime
from typing import TYPE_CHECKING, Any, NamedTuple, ParamSpec, TypeVar

import numpy as np

from . import search as ranking
from . import user_index
from .embedders import FloatMatrix, as_matrix
from .errors import DuplicateIdError, InvalidInputError, StoreUnavailableError, UnknownIdError
from .fusion import DEFAULT_FUSION_K, DEFAULT_LEXICAL_WEIGHT, DEFAULT_VECTOR_WEIGHT
from .progress import ProgressBar
from .results import Hit, MemoryStats, SessionInfo, Turn
from .store import (
    BOUNDARY_DOCUMENT,
    BOUNDARY_NONE,
    BOUNDARY_SESSION,
    SessionRecord,
    StoredTurn,
    TurnRecord,
    UserState,
)
from .user_index import LoadedIndex, normalized, now_us
from .values import (
    from_us,
    ids_argument,
    metadata_json,
    new_id,
    new_ids,
    parse_id,
    stored_to_turn,
    text_argument,
    timestamp_us,
)

if TYPE_CHECKING:
    from .memory import Memory

log = logging.getLogger("orlo_memory")

P = ParamSpec("P")
R = TypeVar("R")

MODES = ("vector", "lexical", "hybrid")
# Recency decays like the index's own temporal blend: exp(-decay * age in
# hours); 0.01 per hour halves a turn's recency in about three days.
DEFAULT_RECENCY_DECAY = 0.01
EMBED_BATCH = 256
PROGRESS_MIN_TURNS = 1000
_SESSION_SUM_DTYPE = "<f8"


@dataclass(frozen=True, slots=True)
class NewTurn:
    """A turn for `add_many`. `new_topic` opens a new document before it;
    `new_session` a new session (titled `session_title`) before it."""

    text: str
    role: str = "user"
    metadata: Mapping[str, Any] | None = None
    created_at: datetime | None = None
    id: str | None = None
    embedding: Any = None
    new_topic: bool = False
    new_session: bool = False
    session_title: str | None = None


def locked(method: Callable[P, R]) -> Callable[P, R]:
    """Runs a method under its Memory's lock, after the open check."""

    def wrapper(*args: P.args, **kwargs: P.kwargs) -> R:
        memory = args[0]._memory  # type: ignore[attr-defined]
        with memory._lock:
            memory._check_open()
            return method(*args, **kwargs)

    wrapper.__name__ = method.__name__
    wrapper.__qualname__ = method.__qualname__
    wrapper.__doc__ = method.__doc__
    return wrapper


class _Prepared(NamedTuple):
    id: str
    explicit_id: bool
    text: str
    role: str
    metadata: str | None
    created_us: int | None
    new_topic: bool
    new_session: bool
    session_title: str | None


class UserMemory:
    """The memory of one user. Obtain it with `Memory.user(name)`."""

    def __init__(self, memory: Memory, name: str, uid: int) -> None:
        self._memory = memory
        self._name = name
        self._uid = uid

    @property
    def name(self) -> str:
        return self._name

    def __repr__(self) -> str:
        return f"UserMemory({self._name!r})"

    # -- writing -------------------------------------------------------------

    def add(
        self,
        text: str,
        *,
        role: str = "user",
        metadata: Mapping[str, Any] | None = None,
        embedding: Any = None,
        created_at: datetime | None = None,
        id: str | None = None,
        new_topic: bool = False,
    ) -> str:
        """Stores one turn in the current session and returns its id.

        The embedding comes from the memory's embedder unless given; `id` may be
        a caller's own (32 hex or a UUID), unique across the database. Adding
        the same turn with the same id again returns the id and stores nothing:
        the way to retry an add that failed with StoreUnavailableError."""
        turn = NewTurn(text, role, metadata, created_at, id, embedding, new_topic)
        return self.add_many([turn])[0]

    @locked
    def add_many(
        self,
        turns: Iterable[str | NewTurn],
        *,
        embeddings: Any = None,
        role: str = "user",
        progress: bool | None = None,
        replacing: str | Iterable[str] | None = None,
    ) -> list[str]:
        """Stores turns in order, in one transaction, and returns their ids.

        Items are texts (with `role`) or `NewTurn`s. Embeddings come from
        `embeddings` (one row per turn), a turn's own `embedding`, or the
        embedder in batches; a progress bar shows on long imports (`progress`
        None: from 1,000 turns when standard error is a terminal).
        `replacing` names live turns that the new ones take the place of: they
        are forgotten in the same transaction, so either the new turns are
        stored and those forgotten, or nothing changes (an id naming no live
        turn of this user raises UnknownIdError). A batch whose turns all
        carry ids and are all stored already, in this order and with the same
        content, is not stored again (a retry)."""
        memory = self._memory
        items = list(turns)
        replaced = [] if replacing is None else ids_argument(replacing, "turn id")
        if not items:
            if replaced:
                raise InvalidInputError("replacing turns needs turns to store")
            return []
        role = text_argument(role, "role")
        fresh = new_ids(len(items))
        prepared: list[_Prepared] = []
        keep = prepared.append
        for number, item in enumerate(items):
            if isinstance(item, str):
                # Plain texts are the bulk of large imports: checked inline.
                if not item.strip() or "\0" in item:
                    text_argument(item, "text")  # raises, naming what is wrong
                keep(_Prepared(fresh[number], False, item, role, None, None, False, False, None))
            else:
                keep(self._prepare(item, fresh[number]))
        explicit = [p.id for p in prepared if p.explicit_id]
        if len(set(explicit)) != len(explicit):
            raise DuplicateIdError("the same id is given to several turns")
        matrix = self._embeddings(items, prepared, embeddings, progress)
        loaded = memory._loaded(self._uid)
        store = memory._store
        created_default = now_us()
        with store.transaction(self._uid):
            state = store.user_state(self._uid)
            if explicit:
                taken = store.existing_turn_ids(explicit)
                if taken:
                    if self._stored_before(prepared, taken):
                        return [turn.id for turn in prepared]
                    raise DuplicateIdError(f"turn id already stored: {taken[0]}")
            forgets: list[tuple[str, int]] = []
            after_forgets = state
            if replaced:
                forgets, after_forgets = self._write_forgets(state, replaced)
            current = state.current_session
            pending = state.pending_boundary
            seq = after_forgets.head_seq
            records: list[TurnRecord] = []
            record = records.append
            blob = matrix.tobytes()
            width = 4 * matrix.shape[1]
            for row, turn in enumerate(prepared):
                created = turn.created_us if turn.created_us is not None else created_default
                if turn.new_session or current is None:
                    current = new_id()
                    store.create_session(
                        self._uid, SessionRecord(current, turn.session_title, created, 0, None)
                    )
                    pending = BOUNDARY_SESSION
                elif turn.new_topic:
                    pending = max(pending, BOUNDARY_DOCUMENT)
                seq += 1
                record(
                    TurnRecord(
                        turn.id,
                        seq,
                        current,
                        pending,
                        turn.role,
                        turn.text,
                        turn.metadata,
                        created,
                        blob[row * width : (row + 1) * width],
                    )
                )
                pending = BOUNDARY_NONE
            store.append_turns(self._uid, records)
            self._add_to_session_sums(records, matrix, sign=1.0)
            new_state = replace(
                after_forgets,
                head_seq=seq,
                live_count=after_forgets.live_count + len(records),
                current_session=current,
                pending_boundary=pending,
            )
            store.save_user_state(new_state)
        if loaded.epoch == state.epoch and loaded.applied_seq == state.head_seq:
            for turn_id, _ in forgets:
                loaded.apply_forget(turn_id)
            loaded.apply_records(records, matrix)
            loaded.applied_seq = seq
        else:
            synced = self._synced_after_commit(loaded)
            if synced is None:
                return [record.id for record in records]
            loaded = synced
        if forgets:
            self._after_change(loaded, new_state)
        else:
            memory._after_write(self._uid, loaded)
        return [record.id for record in records]

    def _synced_after_commit(self, loaded: LoadedIndex) -> LoadedIndex | None:
        """`_sync` after a committed write, or None when the store failed in
        between: the write stands, so that is not the caller's error (a retry
        could store it twice); the index is dropped and reloaded when next used."""
        try:
            return self._sync(loaded)
        except StoreUnavailableError as error:
            self._memory._drop(self._uid)
            log.warning("user %r: catching up after a write failed: %s", self._name, error)
            return None

    def _stored_before(self, prepared: Sequence[_Prepared], taken: Sequence[str]) -> bool:
        """Whether this whole batch is stored already, as one earlier add of
        the same turns (same ids, in order, with the same text, role, metadata
        and any given time): a retry after a failure that left the caller
        unsure whether that add was committed."""
        if len(taken) != len(prepared) or not all(turn.explicit_id for turn in prepared):
            return False
        found = {turn.id: turn for turn in self._memory._store.live_turns(self._uid, taken).turns}
        seqs = []
        for turn in prepared:
            stored = found.get(turn.id)
            if stored is None or (stored.text, stored.role, stored.metadata) != (
                turn.text,
                turn.role,
                turn.metadata,
            ):
                return False
            if turn.created_us is not None and stored.created_us != turn.created_us:
                return False
            seqs.append(stored.seq)
        return seqs == list(range(seqs[0], seqs[0] + len(seqs)))

    def _prepare(self, item: object, fresh_id: str) -> _Prepared:
        if not isinstance(item, NewTurn):
            raise InvalidInputError(f"turns must be strings or NewTurn, got {type(item).__name__}")
        explicit = item.id is not None
        return _Prepared(
            id=parse_id(item.id) if explicit else fresh_id,
            explicit_id=explicit,
            text=text_argument(item.text, "text"),
            role=text_argument(item.role, "role"),
            metadata=metadata_json(item.metadata),
            created_us=timestamp_us(item.created_at),
            new_topic=bool(item.new_topic),
            new_session=bool(item.new_session),
            session_title=None if item.session_title is None else str(item.session_title),
        )

    def _embeddings(
        self,
        items: Sequence[str | NewTurn],
        prepared: Sequence[_Prepared],
        embeddings: Any,
        progress: bool | None,
    ) -> FloatMatrix:
        dimension = self._memory.dimension
        if embeddings is not None:
            if any(isinstance(item, NewTurn) and item.embedding is not None for item in items):
                raise InvalidInputError("give embeddings either per turn or for all, not both")
            return as_matrix(embeddings, len(items), dimension, "embeddings")
        matrix = np.empty((len(items), dimension), dtype=np.float32)
        missing: list[int] = []
        for row, item in enumerate(items):
            if isinstance(item, str) or item.embedding is None:
                missing.append(row)
            else:
                matrix[row] = as_matrix(item.embedding, 1, dimension, "embeddings")[0]
        if missing:
            embedder = self._memory.embedder
            if embedder is None:
                raise InvalidInputError("this memory has no embedder: pass embeddings")
            show = progress if progress is not None else len(missing) >= PROGRESS_MIN_TURNS
            bar = ProgressBar(len(missing), "embedding", enabled=None if progress is None else show)
            try:
                for start in range(0, len(missing), EMBED_BATCH):
                    rows = missing[start : start + EMBED_BATCH]
                    vectors = as_matrix(
                        embedder.embed([prepared[row].text for row in rows]),
                        len(rows),
                        dimension,
                        "embeddings",
                    )
                    matrix[rows] = vectors
                    if show:
                        bar.advance(len(rows))
            finally:
                bar.close()
        return matrix

    def _add_to_session_sums(
        self, records: Sequence[TurnRecord], matrix: FloatMatrix, sign: float
    ) -> None:
        """Adds (sign 1) or subtracts (sign -1) the normalised embeddings of
        `records`' turns to their sessions' running sums and counts."""
        store = self._memory._store
        # Turns come in runs of one session: sum each run.
        runs: dict[str, list[tuple[int, int]]] = {}
        start = 0
        for row in range(1, len(records) + 1):
            if row == len(records) or records[row].session_id != records[start].session_id:
                runs.setdefault(records[start].session_id, []).append((start, row))
                start = row
        norms = np.sqrt(np.einsum("ij,ij->i", matrix, matrix))
        scale = np.divide(1.0, norms, out=np.zeros_like(norms), where=norms > 0)
        updated = []
        for session in store.sessions(self._uid, list(runs)):
            total = np.zeros(matrix.shape[1], dtype=np.float64)
            members = 0
            for first, end in runs[session.id]:
                # scale @ rows: the sum of the normalised rows.
                total += scale[first:end] @ matrix[first:end]
                members += end - first
            total *= sign
            if session.vector_sum is not None:
                total += np.frombuffer(session.vector_sum, dtype=_SESSION_SUM_DTYPE)
            count = session.turn_count + int(sign) * members
            blob = total.astype(_SESSION_SUM_DTYPE).tobytes() if count > 0 else None
            updated.append(replace(session, turn_count=count, vector_sum=blob))
        store.write_session_sums(self._uid, updated)

    @locked
    def new_session(self, title: str | None = None) -> str:
        """Starts a new session (the next turn opens it in the index) and
        returns its id."""
        if title is not None and not isinstance(title, str):
            raise InvalidInputError("title must be a string or None")
        store = self._memory._store
        session_id = new_id()
        with store.transaction(self._uid):
            state = store.user_state(self._uid)
            store.create_session(self._uid, SessionRecord(session_id, title, now_us(), 0, None))
            store.save_user_state(
                replace(state, current_session=session_id, pending_boundary=BOUNDARY_SESSION)
            )
        return session_id

    @locked
    def new_topic(self) -> None:
        """Starts a new document (topic) in the current session with the next turn."""
        store = self._memory._store
        with store.transaction(self._uid):
            state = store.user_state(self._uid)
            pending = max(state.pending_boundary, BOUNDARY_DOCUMENT)
            store.save_user_state(replace(state, pending_boundary=pending))

    @locked
    def current_session(self) -> str | None:
        """The id of the session the next turn goes into (None before the first)."""
        return self._memory._store.user_state(self._uid).current_session

    @locked
    def forget(self, ids: str | Iterable[str]) -> int:
        """Deletes turns (text, metadata, embedding) and removes them from the
        index; returns how many were forgotten. Unknown ids raise UnknownIdError
        and nothing is forgotten."""
        wanted = ids_argument(ids, "turn id")
        if not wanted:
            return 0
        memory = self._memory
        store = memory._store
        loaded = memory._loaded(self._uid)
        with store.transaction(self._uid):
            state = store.user_state(self._uid)
            forgets, new_state = self._write_forgets(state, wanted)
            store.save_user_state(new_state)
        if loaded.epoch == state.epoch and loaded.applied_seq == state.head_seq:
            for turn_id, _ in forgets:
                loaded.apply_forget(turn_id)
            loaded.applied_seq = new_state.head_seq
        else:
            synced = self._synced_after_commit(loaded)
            if synced is None:
                return len(forgets)
            loaded = synced
        self._after_change(loaded, new_state)
        return len(forgets)

    def _write_forgets(
        self, state: UserState, wanted: Sequence[str]
    ) -> tuple[list[tuple[str, int]], UserState]:
        """Inside the user's transaction: forgets the live turns `wanted` (in
        that order) after `state`'s head, and returns the (id, seq) of each
        forget with the user's state after them (for the caller to save)."""
        store = self._memory._store
        found = store.turn_embeddings(self._uid, wanted)
        known = {row[0] for row in found}
        missing = [turn_id for turn_id in wanted if turn_id not in known]
        if missing:
            raise UnknownIdError(f"no live turn {missing[0]} for user {self._name!r}")
        position = {turn_id: number for number, turn_id in enumerate(wanted)}
        found.sort(key=lambda row: position[row[0]])
        seq = state.head_seq
        forgets = [(row[0], seq + 1 + number) for number, row in enumerate(found)]
        store.forget_turns(self._uid, forgets, now_us())
        records = [TurnRecord(row[0], 0, row[1], 0, "", "", None, 0, b"") for row in found]
        matrix = np.frombuffer(b"".join(row[2] for row in found), dtype="<f4").reshape(
            len(found), self._memory.dimension
        )
        self._add_to_session_sums(records, matrix, sign=-1.0)
        return forgets, replace(
            state,
            head_seq=seq + len(found),
            live_count=state.live_count - len(found),
            forgotten_count=state.forgotten_count + len(found),
            forgotten_since_rebuild=state.forgotten_since_rebuild + len(found),
        )

    def _after_change(self, loaded: LoadedIndex, state: UserState) -> None:
        """After a committed write: rebuilds the index once the turns forgotten
        since the last rebuild reach their share, else checkpoints when due."""
        memory = self._memory
        forgotten = state.forgotten_since_rebuild
        if forgotten >= memory.forget_rebuild_share * (state.live_count + forgotten):
            try:
                self._structural(rebuild=True, full=False)
            except Exception as error:
                # The write is committed (a retry would fail or store it
                # twice); the next forget rebuilds.
                log.warning("rebuild of user %r after forgetting failed: %s", self._name, error)
        else:
            memory._after_write(self._uid, loaded)

    @locked
    def consolidate(self, *, full: bool = False) -> None:
        """Recomputes the index's centroids; `full` also merges, splits and
        prunes documents, after dropping forgotten turns from the index."""
        self._structural(rebuild=False, full=full)

    @locked
    def checkpoint(self) -> None:
        """Stores a snapshot of the user's index now (reopening then replays nothing)."""
        self._memory._checkpoint(self._uid, self._memory._loaded(self._uid))

    def _structural(self, *, rebuild: bool, full: bool) -> None:
        memory = self._memory
        store = memory._store
        loaded = memory._loaded(self._uid)
        memory._drop(self._uid)  # re-cached only once the new epoch is committed
        with store.transaction(self._uid):
            state = store.user_state(self._uid)
            if loaded.epoch != state.epoch:
                loaded = user_index.load(store, self._uid, memory.dimension)
            loaded.catch_up(store, self._uid)
            compact = rebuild or (full and state.forgotten_since_rebuild > 0)
            if compact:
                loaded = user_index.rebuild(store, self._uid, memory.dimension)
            if full:
                loaded.index.consolidate_full()
            elif not rebuild:
                loaded.index.consolidate()
            loaded.epoch = state.epoch + 1
            user_index.write_checkpoint(store, self._uid, loaded, now_us())
            store.save_user_state(
                replace(
                    state,
                    epoch=loaded.epoch,
                    forgotten_since_rebuild=0 if compact else state.forgotten_since_rebuild,
                )
            )
        memory._cache.put(self._uid, loaded)

    # -- reading ---------------------------------------------------------------

    def _sync(self, loaded: LoadedIndex) -> LoadedIndex:
        """`loaded` caught up with the log head, or a reload when another
        process moved the user to a new epoch."""
        memory = self._memory
        head_seq, epoch = memory._store.head(self._uid)
        if epoch != loaded.epoch:
            memory._drop(self._uid)
            return memory._loaded(self._uid)
        if head_seq != loaded.applied_seq:
            loaded.catch_up(memory._store, self._uid)
        return loaded

    def _query_vector(self, query: str, embedding: Any) -> FloatMatrix:
        dimension = self._memory.dimension
        if embedding is not None:
            vector: FloatMatrix = as_matrix(embedding, 1, dimension, "query embedding")[0]
            return vector
        embedder = self._memory.embedder
        if embedder is None:
            raise InvalidInputError("this memory has no embedder: pass embedding=")
        embedded: FloatMatrix = as_matrix(embedder.embed([query]), 1, dimension, "query embedding")[
            0
        ]
        return embedded

    def _session_vectors(self, loaded: LoadedIndex, session_id: str) -> user_index.SessionVectors:
        cached = loaded.sessions.get(session_id)
        if cached is None:
            items = self._memory._store.session_embeddings(self._uid, session_id)
            cached = user_index.SessionVectors.build(self._memory.dimension, items)
            loaded.sessions[session_id] = cached
            self._memory._cache.shrink()
        return cached

    def _check_session(self, session: object) -> str:
        session_id = parse_id(session, "session id")
        if not self._memory._store.sessions(self._uid, [session_id]):
            raise UnknownIdError(f"no session {session_id} for user {self._name!r}")
        return session_id

    @locked
    def search(
        self,
        query: str,
        k: int = 5,
        *,
        session: str | None = None,
        mode: str = "hybrid",
        embedding: Any = None,
        recency: float = 0.0,
        recency_decay: float = DEFAULT_RECENCY_DECAY,
        fusion_k: float = DEFAULT_FUSION_K,
        vector_weight: float = DEFAULT_VECTOR_WEIGHT,
        lexical_weight: float = DEFAULT_LEXICAL_WEIGHT,
        candidates: int | None = None,
    ) -> list[Hit]:
        """The k turns that best answer `query`, best first.

        `mode` "vector" ranks by cosine similarity (score: the cosine), "lexical"
        by bm25 over the texts, "hybrid" fuses both rankings by reciprocal rank
        fusion (score: the fused value). `session` restricts the search to one
        of the user's sessions, scored exactly. `recency` (0 to 1) blends in
        exp(-recency_decay * age in hours) of each turn's created_at:
        score = (1 - recency) * relevance + recency * that, relevance being the
        cosine (vector) or the fused score scaled to [0, 1]. `candidates` is the
        depth of each ranking before fusion or blending (default max(4k, 40))."""
        if mode not in MODES:
            raise InvalidInputError(f"mode must be one of {', '.join(MODES)}, got {mode!r}")
        if not isinstance(k, int) or isinstance(k, bool) or k < 0:
            raise InvalidInputError(f"k must be a non-negative integer, got {k!r}")
        if not isinstance(query, str):
            raise InvalidInputError("query must be a string")
        if not (mode == "vector" and embedding is not None):
            text_argument(query, "query")
        if not 0.0 <= recency <= 1.0 or math.isnan(recency):
            raise InvalidInputError(f"recency must be between 0 and 1, got {recency}")
        if recency_decay < 0 or fusion_k < 0 or vector_weight < 0 or lexical_weight < 0:
            raise InvalidInputError("recency_decay, fusion_k and the weights must not be negative")
        if candidates is not None and (not isinstance(candidates, int) or candidates < 1):
            raise InvalidInputError(f"candidates must be a positive integer, got {candidates!r}")
        session_id = None if session is None else self._check_session(session)
        vector = None if mode == "lexical" else self._query_vector(query, embedding)
        if k == 0:
            return []
        plain_vector = mode == "vector" and recency == 0.0
        depth = k if plain_vector else (candidates or max(4 * k, 40))
        params = ranking.Params(
            mode, k, depth, recency, recency_decay, fusion_k, vector_weight, lexical_weight
        )
        memory = self._memory
        loaded = memory._loaded(self._uid)
        for attempt in range(3):
            vector_ranked: list[tuple[str, float]] = []
            if vector is not None:
                if session_id is not None:
                    vector_ranked = self._session_vectors(loaded, session_id).top(vector, depth)
                else:
                    vector_ranked = ranking.near(loaded.index, vector, depth, loaded.points)
            lexical_ranked: list[str] = []
            if mode != "vector":
                terms = ranking.query_terms(query)
                lexical_ranked = [
                    turn_id
                    for turn_id, _ in memory._store.lexical_search(
                        self._uid, terms, depth, session_id
                    )
                ]
            ordered = ranking.order(params, vector_ranked, lexical_ranked)
            wanted = ordered if recency > 0.0 else ordered[:k]
            found = memory._store.live_turns(self._uid, [entry.id for entry in wanted])
            current = found.head_seq == loaded.applied_seq and found.epoch == loaded.epoch
            if current or attempt == 2:
                scores = dict(vector_ranked)
                return ranking.hits(params, wanted, found.turns, scores, now_us())
            loaded = self._sync(loaded)
        raise AssertionError("unreachable")

    @locked
    def sessions(
        self, query: str | None = None, k: int | None = None, *, embedding: Any = None
    ) -> list[SessionInfo]:
        """The user's sessions: newest first, or with a query (or an embedding)
        the k whose turns' mean direction is closest to it, best first."""
        if k is not None and (not isinstance(k, int) or isinstance(k, bool) or k < 0):
            raise InvalidInputError(f"k must be a non-negative integer, got {k!r}")
        records = self._memory._store.sessions(self._uid)
        if query is None and embedding is None:
            chosen = records if k is None else records[:k]
            return [SessionInfo(r.id, r.title, from_us(r.created_us), r.turn_count) for r in chosen]
        if embedding is None:
            text_argument(query, "query")
        vector = normalized(self._query_vector(query or "", embedding).astype(np.float64))
        scored: list[tuple[float, SessionRecord]] = []
        for record in records:
            if record.vector_sum is None or record.turn_count <= 0:
                continue
            centroid = np.frombuffer(record.vector_sum, dtype=_SESSION_SUM_DTYPE)
            norm = float(np.linalg.norm(centroid))
            if norm > 0.0:
                scored.append((float(centroid @ vector) / norm, record))
        scored.sort(key=lambda item: -item[0])
        chosen_scored = scored if k is None else scored[:k]
        return [
            SessionInfo(r.id, r.title, from_us(r.created_us), r.turn_count, score)
            for score, r in chosen_scored
        ]

    @locked
    def get(self, ids: str | Iterable[str]) -> list[Turn]:
        """The live turns with these ids, in the order given; an id that names
        no live turn of this user raises UnknownIdError."""
        wanted = ids_argument(ids, "turn id")
        if not wanted:
            return []
        by_id: dict[str, StoredTurn] = {}
        for start in range(0, len(wanted), 500):
            found = self._memory._store.live_turns(self._uid, wanted[start : start + 500])
            by_id.update((turn.id, turn) for turn in found.turns)
        missing = [turn_id for turn_id in wanted if turn_id not in by_id]
        if missing:
            raise UnknownIdError(f"no live turn {missing[0]} for user {self._name!r}")
        return [stored_to_turn(by_id[turn_id]) for turn_id in wanted]

    @locked
    def taken_ids(self, ids: str | Iterable[str]) -> list[str]:
        """Which of `ids` a new turn cannot have: the ids of turns stored in
        this database, live or forgotten, of any user (an id is never reused)."""
        return self._memory._store.existing_turn_ids(ids_argument(ids, "turn id"))

    @locked
    def embeddings(self, ids: str | Iterable[str]) -> dict[str, FloatMatrix]:
        """The stored embeddings of these live turns (unknown ids are left out)."""
        wanted = ids_argument(ids, "turn id")
        found: dict[str, FloatMatrix] = {}
        for turn_id, _, blob in self._memory._store.turn_embeddings(self._uid, wanted):
            found[turn_id] = np.frombuffer(blob, dtype="<f4").copy()
        return found

    @locked
    def turns(self) -> Iterator[Turn]:
        """Every live turn in the order it was added (read at the call)."""
        return iter(
            [stored_to_turn(stored) for stored in self._memory._store.iter_turns(self._uid)]
        )

    @locked
    def stats(self) -> MemoryStats:
        memory = self._memory
        loaded = self._sync(memory._loaded(self._uid))
        state = memory._store.user_state(self._uid)
        header = memory._store.snapshot_header(self._uid)
        sessions = memory._store.sessions(self._uid)
        return MemoryStats(
            user=self._name,
            turns=state.live_count,
            sessions=len(sessions),
            forgotten=state.forgotten_count,
            head_seq=state.head_seq,
            epoch=state.epoch,
            snapshot_seq=None if header is None else header.seq,
            events_after_snapshot=state.head_seq - (0 if header is None else header.seq),
            index_points=loaded.points,
            dimension=memory.dimension,
        )
