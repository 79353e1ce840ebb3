"""The write and replay protocol: how a user's events are numbered, applied,
replayed after another process wrote, and checkpointed.

Every write is one store transaction under the user's write lock: it reads
the user's state (the log head), appends its events with the next seqs
(forgets first, then adds), updates the sessions' running sums and the state,
and commits. Only then is the cached index brought up to the new head:
applied directly when the index was at the old head, else caught up from the
log in seq order. Reads catch the index up to the head before answering; a
session's cached vectors are read together with the head and built once the
index has applied exactly that head, so every later event reaches them.
Structural changes (consolidation, rebuild) run under the lock on an index at
the head, then bump the user's epoch and store a snapshot in the same
transaction; an index of an older epoch is reloaded. Loading an index from
its snapshot and the log, and writing a snapshot, are checkpoints.py's.

`Logs` holds what the users of one store share: the store, the cache of
loaded indexes, the checkpoint policy and the lock every call holds.
`UserLog` is the protocol for one user.
"""

from __future__ import annotations

import logging
import threading
from collections.abc import Sequence
from dataclasses import dataclass, replace
from typing import NamedTuple

import numpy as np

from ..contract.values import new_id, parse_id
from ..embedders import FloatMatrix
from ..errors import (
    ClosedError,
    DuplicateIdError,
    InvalidInputError,
    StoreUnavailableError,
    UnknownIdError,
)
from ..stores.protocol import Store
from ..stores.records import (
    BOUNDARY_DOCUMENT,
    BOUNDARY_NONE,
    BOUNDARY_SESSION,
    By,
    ForgetRecord,
    Found,
    HitRow,
    SearchRow,
    SessionRecord,
    StoredTurn,
    TurnRecord,
    UserState,
)
from . import checkpoints
from .cache import LruCache
from .user_index import LoadedIndex, SessionVectors, now_us

log = logging.getLogger("orlo_memory")

# With checkpoint_every=None a checkpoint is taken once the events after the
# last one reach max(this, the live turn count): the snapshot's cost, about
# proportional to the live count, is then spread over as many adds.
MIN_CHECKPOINT_EVENTS = 10_000
SESSION_SUM_DTYPE = "<f8"


@dataclass(frozen=True, slots=True)
class Policy:
    """What every user's log of one memory follows."""

    dimension: int
    checkpoint_every: int | None
    forget_rebuild_share: float


class Entry(NamedTuple):
    """A turn to append, its values already checked; `created_us` None: now."""

    id: str
    explicit_id: bool
    text: str
    role: str
    metadata: str | None
    created_us: int | None
    new_topic: bool
    new_session: bool
    session_title: str | None
    alias: str | None = None


class Logs:
    """The logs of every user of one store, the cache of their loaded indexes
    and the lock that every call of the memory holds."""

    def __init__(self, store: Store, policy: Policy, cache_bytes: int) -> None:
        self.store = store
        self.policy = policy
        self.lock = threading.RLock()
        self.closed = False
        self._cache: LruCache[int, LoadedIndex] = LruCache(cache_bytes, self._evict)

    def check_open(self) -> None:
        if self.closed:
            raise ClosedError("this memory is closed")

    def cached_users(self) -> list[int]:
        """The keys of the users whose indexes are loaded, least recently used first."""
        return self._cache.keys()

    def checkpoint(self) -> None:
        """Checkpoints every loaded index that has events after its snapshot."""
        for uid, loaded in self._cache.items():
            self._checkpoint(uid, loaded)

    def close(self) -> None:
        """Checkpoints the loaded indexes (a failure is logged: the log stays
        the truth) and closes the store."""
        if self.closed:
            return
        try:
            for uid, loaded in self._cache.items():
                try:
                    self._checkpoint(uid, loaded)
                except Exception as error:
                    log.warning("checkpoint of user key %d failed on close: %s", uid, error)
        finally:
            self._cache.clear()
            self.closed = True
            self.store.close()

    # -- the cache of loaded indexes ---------------------------------------------

    def _loaded(self, uid: int) -> LoadedIndex:
        loaded = self._cache.get(uid)
        if loaded is None:
            loaded = checkpoints.load(self.store, uid, self.policy.dimension)
            self._cache.put(uid, loaded)
        return loaded

    def _evict(self, uid: int, loaded: LoadedIndex) -> None:
        try:
            self._checkpoint(uid, loaded)
        except Exception as error:  # dropping is safe: the log holds every turn
            log.warning("checkpoint of user key %d failed on eviction: %s", uid, error)

    def _checkpoint_due(self, loaded: LoadedIndex) -> bool:
        pending = loaded.applied_seq - loaded.snapshot_seq
        if self.policy.checkpoint_every is not None:
            return pending >= self.policy.checkpoint_every
        return pending >= max(MIN_CHECKPOINT_EVENTS, loaded.points)

    def _checkpoint(self, uid: int, loaded: LoadedIndex) -> None:
        """Snapshots `loaded` at the log head unless a snapshot already holds
        its state, or another process moved the user to a newer epoch."""
        if loaded.applied_seq == loaded.snapshot_seq:
            return
        store = self.store
        with store.transaction(uid):
            if store.user_state(uid).epoch != loaded.epoch:
                return
            loaded.apply_events(store.events_after(uid, loaded.applied_seq))
            stored = store.read_snapshot(uid, data=False)
            if stored is not None and stored.header.seq >= loaded.applied_seq:
                loaded.snapshot_seq = stored.header.seq
                return
            checkpoints.write_checkpoint(store, uid, loaded)

    def _after_write(self, uid: int, loaded: LoadedIndex) -> None:
        """After a committed write: checkpoints when due, then accounts for
        the index's new size (which may evict others)."""
        if self._checkpoint_due(loaded):
            try:
                self._checkpoint(uid, loaded)
            except Exception as error:
                # The write is committed: reporting it failed would invite a
                # retry that stores it twice. A later write checkpoints again.
                log.warning("checkpoint of user key %d failed after a write: %s", uid, error)
        self._cache.resized(uid)


class UserLog:
    """One user's log: appends, forgets, restructures, checkpoints, and keeps
    the user's cached index in step with the store."""

    def __init__(self, logs: Logs, uid: int, name: str) -> None:
        self._logs = logs
        self._store = logs.store
        self._uid = uid
        self._name = name

    # -- writing -------------------------------------------------------------

    def append(
        self,
        entries: Sequence[Entry],
        matrix: FloatMatrix,
        *,
        replacing: Sequence[str] = (),
        replacing_aliases: Sequence[str] = (),
    ) -> list[str]:
        """Appends the turns (rows of `matrix`) in one transaction, after
        forgetting the live turns `replacing` names (each must be one:
        UnknownIdError) and those answering to `replacing_aliases` (any there
        are); returns the turns' ids. A batch stored before, whole and in
        order, by an earlier call with the same ids is not stored again."""
        ids, _ = self._write(entries, matrix, replacing, replacing_aliases)
        return ids

    def forget(self, ids: Sequence[str] = (), aliases: Sequence[str] = ()) -> int:
        """Forgets the live turns with these ids (each must name one:
        UnknownIdError) and those answering to `aliases`; returns how many."""
        empty = np.zeros((0, self._logs.policy.dimension), dtype=np.float32)
        _, forgotten = self._write([], empty, ids, aliases)
        return forgotten

    def _write(
        self,
        entries: Sequence[Entry],
        matrix: FloatMatrix,
        ids: Sequence[str],
        aliases: Sequence[str],
    ) -> tuple[list[str], int]:
        store, uid = self._store, self._uid
        loaded = self._logs._loaded(uid)
        created_default = now_us()
        with store.transaction(uid):
            state = store.user_state(uid)
            explicit = [entry.id for entry in entries if entry.explicit_id]
            if explicit:
                taken = store.existing_turn_ids(explicit)
                if taken:
                    if self._stored_before(entries, taken):
                        return [entry.id for entry in entries], 0
                    raise DuplicateIdError(f"turn id already stored: {taken[0]}")
            gone = self._live(ids, aliases)
            if not entries and not gone:
                return [], 0
            seq = state.head_seq
            forgets = [ForgetRecord(seq + 1 + n, turn.key, turn.id) for n, turn in enumerate(gone)]
            if forgets:
                store.forget_turns(uid, forgets, created_default)
            seq += len(forgets)
            records, opened, current, pending = _numbered(
                entries, matrix, state, seq, created_default
            )
            keys = store.append_turns(uid, records) if records else []
            self._save_session_sums(opened, records, matrix, gone)
            new_state = replace(
                state,
                head_seq=seq + len(records),
                live_count=state.live_count + len(records) - len(gone),
                forgotten_count=state.forgotten_count + len(gone),
                forgotten_since_rebuild=state.forgotten_since_rebuild + len(gone),
                current_session=current,
                pending_boundary=pending,
            )
            store.save_user_state(new_state)
        written = [record.id for record in records]
        if loaded.epoch == state.epoch and loaded.applied_seq == state.head_seq:
            for turn in gone:
                loaded.apply_forget(turn.key, turn.session_id)
            loaded.apply_records(records, keys, matrix)
            loaded.applied_seq = new_state.head_seq
        else:
            synced = self._synced_after_commit(loaded)
            if synced is None:
                return written, len(gone)
            loaded = synced
        if gone:
            self._after_forgets(loaded, new_state)
        else:
            self._logs._after_write(uid, loaded)
        return written, len(gone)

    def _live(self, ids: Sequence[str], aliases: Sequence[str]) -> list[StoredTurn]:
        """Inside the transaction: the live turns named by `ids` (in that
        order; each must name one: UnknownIdError) and those answering to
        `aliases`, with their embeddings, each once."""
        found: list[StoredTurn] = []
        if ids:
            rows = self._store.read_turns(self._uid, By.ID, ids, embeddings=True).turns
            by_id = {turn.id: turn for turn in rows}
            missing = [turn_id for turn_id in ids if turn_id not in by_id]
            if missing:
                raise UnknownIdError(f"no live turn {missing[0]} for user {self._name!r}")
            found += [by_id[turn_id] for turn_id in ids if turn_id in by_id]
        if aliases:
            for named in self.by_alias(aliases, embeddings=True).values():
                found += named
        unique = {turn.key: turn for turn in found}
        return list(unique.values())

    def _stored_before(self, entries: Sequence[Entry], taken: Sequence[str]) -> bool:
        """Whether this whole batch is stored already, as one earlier add of
        the same turns (same ids, in order, with the same text, role, metadata
        and any given time): a retry after a failure that left the caller
        unsure whether that add was committed."""
        if len(taken) != len(entries) or not all(entry.explicit_id for entry in entries):
            return False
        rows = self._store.read_turns(self._uid, By.ID, taken).turns
        found = {turn.id: turn for turn in rows}
        seqs = []
        for entry in entries:
            stored = found.get(entry.id)
            if stored is None or (stored.text, stored.role, stored.metadata) != (
                entry.text,
                entry.role,
                entry.metadata,
            ):
                return False
            if entry.created_us is not None and stored.created_us != entry.created_us:
                return False
            seqs.append(stored.seq)
        return seqs == list(range(seqs[0], seqs[0] + len(seqs)))

    def _save_session_sums(
        self,
        opened: dict[str, SessionRecord],
        records: Sequence[TurnRecord],
        matrix: FloatMatrix,
        gone: Sequence[StoredTurn],
    ) -> None:
        """Inside the transaction: stores the sessions `opened` by this write
        and the counts and normalised-embedding sums of every session that
        gained or lost turns."""
        dimension = self._logs.policy.dimension
        changes: dict[str, tuple[int, np.ndarray]] = {}
        _sum_by_session(changes, [record.session_id for record in records], matrix, 1)
        if gone:
            vectors = np.frombuffer(b"".join(turn.embedding or b"" for turn in gone), dtype="<f4")
            lost = vectors.reshape(len(gone), dimension)
            _sum_by_session(changes, [turn.session_id for turn in gone], lost, -1)
        known = [session_id for session_id in changes if session_id not in opened]
        sessions = {s.id: s for s in self._store.sessions(self._uid, known)} if known else {}
        sessions.update(opened)
        updated = []
        for session_id, (count, total) in changes.items():
            session = sessions.get(session_id)
            if session is None:
                continue
            if session.vector_sum is not None:
                total = total + np.frombuffer(session.vector_sum, dtype=SESSION_SUM_DTYPE)
            count += session.turn_count
            blob = total.astype(SESSION_SUM_DTYPE).tobytes() if count > 0 else None
            updated.append(replace(session, turn_count=count, vector_sum=blob))
        self._store.save_sessions(self._uid, updated)

    def _synced_after_commit(self, loaded: LoadedIndex) -> LoadedIndex | None:
        """`synced` after a committed write, or None when the store failed in
        between: the write stands, so that is not the caller's error (a retry
        could store it twice); the index is dropped and reloaded when next used."""
        try:
            return self.synced(loaded)
        except StoreUnavailableError as error:
            self._logs._cache.pop(self._uid)
            log.warning("user %r: catching up after a write failed: %s", self._name, error)
            return None

    def _after_forgets(self, loaded: LoadedIndex, state: UserState) -> None:
        """After a committed forget: rebuilds the index once the turns
        forgotten since the last rebuild reach their share, else checkpoints
        when due."""
        forgotten = state.forgotten_since_rebuild
        if forgotten >= self._logs.policy.forget_rebuild_share * (state.live_count + forgotten):
            try:
                self._restructure(rebuild=True, full=False)
            except Exception as error:
                # The write is committed (a retry would fail or store it
                # twice); the next forget rebuilds.
                log.warning("rebuild of user %r after forgetting failed: %s", self._name, error)
        else:
            self._logs._after_write(self._uid, loaded)

    def new_session(self, title: str | None) -> str:
        """Starts a session that the next turn opens; returns its id."""
        session_id = new_id()
        store = self._store
        with store.transaction(self._uid):
            state = store.user_state(self._uid)
            store.save_sessions(self._uid, [SessionRecord(session_id, title, now_us(), 0, None)])
            store.save_user_state(
                replace(state, current_session=session_id, pending_boundary=BOUNDARY_SESSION)
            )
        return session_id

    def new_topic(self) -> None:
        """Makes the next turn open a new document."""
        store = self._store
        with store.transaction(self._uid):
            state = store.user_state(self._uid)
            pending = max(state.pending_boundary, BOUNDARY_DOCUMENT)
            store.save_user_state(replace(state, pending_boundary=pending))

    def consolidate(self, *, full: bool) -> None:
        """Recomputes the index's centroids; `full` also merges, splits and
        prunes documents, after dropping forgotten turns from the index."""
        self._restructure(rebuild=False, full=full)

    def checkpoint(self) -> None:
        """Stores a snapshot of the user's index now."""
        self._logs._checkpoint(self._uid, self._logs._loaded(self._uid))

    def _restructure(self, *, rebuild: bool, full: bool) -> None:
        logs, store, uid = self._logs, self._store, self._uid
        dimension = logs.policy.dimension
        loaded = logs._loaded(uid)
        logs._cache.pop(uid)  # cached again only once the new epoch is committed
        with store.transaction(uid):
            state = store.user_state(uid)
            if loaded.epoch != state.epoch:
                loaded = checkpoints.load(store, uid, dimension)
            loaded.apply_events(store.events_after(uid, loaded.applied_seq))
            compact = rebuild or (full and state.forgotten_since_rebuild > 0)
            if compact:
                loaded = checkpoints.rebuild(store, uid, dimension)
            if full:
                loaded.index.consolidate_full()
            elif not rebuild:
                loaded.index.consolidate()
            loaded.epoch = state.epoch + 1
            checkpoints.write_checkpoint(store, uid, loaded)
            store.save_user_state(
                replace(
                    state,
                    epoch=loaded.epoch,
                    forgotten_since_rebuild=0 if compact else state.forgotten_since_rebuild,
                )
            )
        logs._cache.put(uid, loaded)

    # -- reading ---------------------------------------------------------------

    def state(self) -> UserState:
        return self._store.user_state(self._uid)

    def index(self) -> LoadedIndex:
        """The user's cached index (loaded when missing), perhaps behind the log."""
        return self._logs._loaded(self._uid)

    def synced(self, loaded: LoadedIndex | None = None) -> LoadedIndex:
        """The user's index caught up with the log head, or reloaded when
        another process moved the user to a new epoch."""
        logs, uid = self._logs, self._uid
        if loaded is None:
            loaded = logs._loaded(uid)
        state = self._store.user_state(uid)
        if state.epoch != loaded.epoch:
            logs._cache.pop(uid)
            return logs._loaded(uid)
        if state.head_seq != loaded.applied_seq:
            loaded.apply_events(self._store.events_after(uid, loaded.applied_seq))
            logs._cache.resized(uid)
        return loaded

    def is_current(self, loaded: LoadedIndex, found: Found[HitRow] | Found[SearchRow]) -> bool:
        """Whether `found` was read at the state `loaded` has applied."""
        return found.head_seq == loaded.applied_seq and found.epoch == loaded.epoch

    def session_vectors(self, session_id: str) -> tuple[LoadedIndex, SessionVectors]:
        """The user's index with the vectors of one session's live turns. They
        are cached only when read at the seq the index has applied (the index
        catches up to the head read with them first), so that every later
        event applied to the index reaches them."""
        loaded = self._logs._loaded(self._uid)
        cached = loaded.sessions.get(session_id)
        if cached is not None:
            return loaded, cached
        found = self._session_rows(session_id)
        if found.epoch != loaded.epoch:
            loaded = self.synced(loaded)
            found = self._session_rows(session_id)
        same_epoch = found.epoch == loaded.epoch
        if same_epoch and found.head_seq > loaded.applied_seq:
            events = self._store.events_after(self._uid, loaded.applied_seq, found.head_seq)
            loaded.apply_events(events)
        matrix = np.frombuffer(
            b"".join(turn.embedding or b"" for turn in found.turns), dtype="<f4"
        ).reshape(len(found.turns), self._logs.policy.dimension)
        vectors = SessionVectors.build([turn.key for turn in found.turns], matrix)
        if same_epoch and found.head_seq == loaded.applied_seq:
            loaded.cache_session(session_id, vectors)
            self._logs._cache.resized(self._uid)
        return loaded, vectors

    def _session_rows(self, session_id: str) -> Found[StoredTurn]:
        return self._store.read_turns(self._uid, By.SESSION, [session_id], embeddings=True)

    def turns(
        self, by: By, values: Sequence[str] = (), *, embeddings: bool = False
    ) -> Found[StoredTurn]:
        """The user's live turns selected `by` the values (see `Store.read_turns`)."""
        return self._store.read_turns(self._uid, by, values, embeddings=embeddings)

    def hit_rows(self, keys: Sequence[int]) -> Found[HitRow]:
        """The rows behind search results (see `Store.hit_rows`)."""
        return self._store.hit_rows(self._uid, keys)

    def by_alias(
        self, aliases: Sequence[str], *, embeddings: bool = False
    ) -> dict[str, list[StoredTurn]]:
        """The live turns answering to each alias, oldest first: those that
        carry it, or else the turn without an alias whose id it is."""
        found: dict[str, list[StoredTurn]] = {}
        for turn in self.turns(By.ALIAS, aliases, embeddings=embeddings).turns:
            found.setdefault(turn.alias or "", []).append(turn)
        unnamed: dict[str, str] = {}
        for alias in aliases:
            if alias not in found:
                turn_id = _as_turn_id(alias)
                if turn_id is not None:
                    unnamed.setdefault(turn_id, alias)
        if unnamed:
            for turn in self.turns(By.ID, list(unnamed), embeddings=embeddings).turns:
                if turn.alias is None:
                    found[unnamed[turn.id]] = [turn]
        return found

    def lexical(
        self,
        terms: list[str],
        limit: int,
        session_id: str | None,
        span: tuple[int, int] | None = None,
    ) -> list[tuple[int, float]]:
        """The user's turns (in the session and time span, if given) that
        best match `terms` by words, as (key, relevance), best first."""
        return self._store.lexical_search(self._uid, terms, limit, session_id, span)

    def search_rows(self, keys: Sequence[int], around: Sequence[int]) -> Found[SearchRow]:
        """The rows of a search's candidates and of the neighbours of
        `around` (see `Store.search_rows`)."""
        return self._store.search_rows(self._uid, keys, around)

    def sessions(self, ids: Sequence[str] | None = None) -> list[SessionRecord]:
        return self._store.sessions(self._uid, ids)

    def taken_ids(self, ids: Sequence[str]) -> list[str]:
        return self._store.existing_turn_ids(ids)

    def snapshot_seq(self) -> int | None:
        stored = self._store.read_snapshot(self._uid, data=False)
        return None if stored is None else stored.header.seq


def _numbered(
    entries: Sequence[Entry],
    matrix: FloatMatrix,
    state: UserState,
    seq: int,
    created_default: int,
) -> tuple[list[TurnRecord], dict[str, SessionRecord], str | None, int]:
    """The entries as log records numbered after `seq`, with their sessions
    and boundaries; also the sessions they open, and the user's current
    session and pending boundary after them."""
    current = state.current_session
    pending = state.pending_boundary
    opened: dict[str, SessionRecord] = {}
    records: list[TurnRecord] = []
    record = records.append
    blob = matrix.tobytes()
    width = 4 * matrix.shape[1]
    for row, entry in enumerate(entries):
        created = entry.created_us if entry.created_us is not None else created_default
        if entry.new_session or current is None:
            current = new_id()
            opened[current] = SessionRecord(current, entry.session_title, created, 0, None)
            pending = BOUNDARY_SESSION
        elif entry.new_topic:
            pending = max(pending, BOUNDARY_DOCUMENT)
        seq += 1
        record(
            TurnRecord(
                entry.id,
                seq,
                current,
                pending,
                entry.role,
                entry.text,
                entry.metadata,
                created,
                entry.alias,
                blob[row * width : (row + 1) * width],
            )
        )
        pending = BOUNDARY_NONE
    return records, opened, current, pending


def _sum_by_session(
    changes: dict[str, tuple[int, np.ndarray]],
    session_ids: Sequence[str],
    matrix: FloatMatrix,
    sign: int,
) -> None:
    """Adds (sign 1) or subtracts (sign -1) each row's normalised embedding
    to its session's entry of `changes` (a count and a float64 sum)."""
    if not session_ids:
        return
    norms = np.sqrt(np.einsum("ij,ij->i", matrix, matrix))
    scale = np.divide(1.0, norms, out=np.zeros_like(norms), where=norms > 0)
    start = 0
    # Rows come in runs of one session: sum each run.
    for row in range(1, len(session_ids) + 1):
        if row == len(session_ids) or session_ids[row] != session_ids[start]:
            session_id = session_ids[start]
            count, total = changes.get(session_id, (0, np.zeros(matrix.shape[1], np.float64)))
            # scale @ rows: the sum of the normalised rows.
            total += sign * (scale[start:row] @ matrix[start:row])
            changes[session_id] = (count + sign * (row - start), total)
            start = row


def _as_turn_id(alias: str) -> str | None:
    try:
        return parse_id(alias)
    except InvalidInputError:
        return None
