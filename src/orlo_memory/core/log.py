"""The write and replay protocol: how a user's events are numbered, applied,
replayed after another process wrote, and checkpointed.

Every write is one store transaction under the user's write lock: it reads
the user's state (the log head), appends its events with the next seqs
(forgets first, then adds), updates the sessions' running sums and the state,
and commits. Only then, under the user's index lock, is the cached index
brought up to the new head: applied directly when the index was at the old
head, else caught up from the log in seq order. Reads catch the index up to
the head before answering, under the same lock; a session's cached vectors
are read together with the head and built once the index has applied exactly
that head, so every later event reaches them. Structural changes
(consolidation, rebuild) work on a copy of the index inside their
transaction, bump the user's epoch and store a snapshot in it; the copy
replaces the cached index once committed, and an index of an older epoch is
reloaded. Loading an index from its snapshot and the log, and writing a
snapshot, are checkpoints.py's.

`UserLog` is the protocol for one user; what the users of one store share
(the store, the cache of loaded indexes, the checkpoint policy, the index
locks and the order in which locks are taken) is `Logs` (logs.py); the
sessions' running sums are session_sums.py's.
"""

from __future__ import annotations

import logging
import threading
from collections.abc import Callable, Sequence
from dataclasses import replace
from typing import NamedTuple, TypeVar

import numpy as np

from ..contract.filters import Filter
from ..contract.values import new_id, parse_id
from ..embedders import FloatMatrix
from ..errors import DuplicateIdError, InvalidInputError, StoreUnavailableError, UnknownIdError
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
from .logs import Logs
from .session_sums import save_session_sums
from .user_index import LoadedIndex, SessionVectors, now_us

log = logging.getLogger("orlo_memory")

R = TypeVar("R")
T = TypeVar("T")

# How often a read ranks and reads again when another process wrote between
# its ranking and its rows; the last attempt's answer is taken as it is.
READ_ATTEMPTS = 3


class Entry(NamedTuple):
    """A turn to append, its values already checked; `created_us` None: now."""

    id: str
    explicit_id: bool
    text: str
    role: str
    metadata: str | None = None
    created_us: int | None = None
    new_topic: bool = False
    new_session: bool = False
    session_title: str | None = None
    alias: str | None = None


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
        """One write: forgets, then appends, in one transaction; then brings
        the cached index up to the new head. Returns the ids and the count forgotten."""
        store, uid = self._store, self._uid
        self._logs.loaded(uid)  # loaded before the write, so that it applies to it
        created_default = now_us()
        with store.transaction(uid):
            state = store.user_state(uid)
            if self._retried(entries):
                return [entry.id for entry in entries], 0
            gone = self._live(ids, aliases)
            if not entries and not gone:
                return [], 0
            seq = state.head_seq
            forgets = [
                ForgetRecord(seq=seq + 1 + n, key=turn.key, turn_id=turn.id)
                for n, turn in enumerate(gone)
            ]
            if forgets:
                store.forget_turns(uid, forgets, created_default)
            seq += len(forgets)
            records, opened, current, pending = _numbered(
                entries, matrix, state, seq, created_default
            )
            keys = store.append_turns(uid, records) if records else []
            save_session_sums(store, uid, opened, records, matrix, gone)
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
        if not self._applied(state, new_state.head_seq, gone, records, keys, matrix):
            return written, len(gone)
        if gone:
            self._after_forgets(new_state)
        else:
            self._logs.after_write(uid)
        return written, len(gone)

    def _applied(
        self,
        state: UserState,
        head_seq: int,
        gone: Sequence[StoredTurn],
        records: Sequence[TurnRecord],
        keys: Sequence[int],
        matrix: FloatMatrix,
    ) -> bool:
        """After a committed write from `state` to `head_seq`: the cached
        index takes its events, directly when it was at that state, else from
        the log. False when the store failed in between: the write stands, so
        that is not the caller's error (a retry could store it twice); the
        index is dropped and reloaded when next used."""
        logs, uid = self._logs, self._uid
        with logs.index_lock(uid):
            loaded = logs.cached(uid)
            if loaded is None:  # evicted meanwhile: the next use loads it
                return True
            if loaded.epoch == state.epoch and loaded.applied_seq == state.head_seq:
                for turn in gone:
                    loaded.apply_forget(turn.key, turn.session_id)
                loaded.apply_records(records, keys, matrix)
                loaded.applied_seq = head_seq
                logs.resized(uid)
                return True
            try:
                self.synced(loaded)
            except StoreUnavailableError as error:
                logs.drop(uid)
                log.warning("user %r: catching up after a write failed: %s", self._name, error)
                return False
            return True

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

    def _retried(self, entries: Sequence[Entry]) -> bool:
        """Inside the transaction: whether the batch is stored already (see
        `_stored_before`); DuplicateIdError when some of its ids are taken
        otherwise."""
        explicit = [entry.id for entry in entries if entry.explicit_id]
        taken = self._store.existing_turn_ids(self._uid, explicit) if explicit else []
        if not taken:
            return False
        if self._stored_before(entries, taken):
            return True
        raise DuplicateIdError(f"turn id already stored: {taken[0]}")

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

    def _after_forgets(self, state: UserState) -> None:
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
            self._logs.after_write(self._uid)

    def new_session(self, title: str | None) -> str:
        """Starts a session that the next turn opens; returns its id."""
        session_id = new_id()
        store = self._store
        with store.transaction(self._uid):
            state = store.user_state(self._uid)
            session = SessionRecord(
                id=session_id, title=title, created_us=now_us(), turn_count=0, vector_sum=None
            )
            store.save_sessions(self._uid, [session])
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
        self._logs.loaded(self._uid)
        self._logs.checkpoint_user(self._uid)

    def _restructure(self, *, rebuild: bool, full: bool) -> None:
        """Consolidates (or rebuilds) the user's index as of the head, in a
        new epoch: on a copy of the cached index (or a fresh one), inside the
        transaction that stores its snapshot; the copy is cached once
        committed. Reads meanwhile use the cached index, which stays valid
        for the epoch they read."""
        logs, store, uid = self._logs, self._store, self._uid
        dimension = logs.policy.dimension
        base = None
        if not rebuild and not (full and store.user_state(uid).forgotten_since_rebuild > 0):
            with logs.index_lock(uid):
                base = checkpoints.copy_of(logs.loaded(uid))
        with store.transaction(uid):
            state = store.user_state(uid)
            compact = rebuild or (full and state.forgotten_since_rebuild > 0)
            if compact:
                loaded = checkpoints.rebuild(store, uid, dimension)
            else:
                if base is None or base.epoch != state.epoch:
                    base = checkpoints.load(store, uid, dimension)
                loaded = base
                loaded.apply_events(store.events_after(uid, loaded.applied_seq))
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
        with logs.index_lock(uid):
            logs.install(uid, loaded)

    # -- reading ---------------------------------------------------------------

    def state(self) -> UserState:
        return self._store.user_state(self._uid)

    def reading(self) -> threading.RLock:
        """The lock a read holds while it uses the user's cached index."""
        return self._logs.index_lock(self._uid)

    def index(self) -> LoadedIndex:
        """The user's cached index (loaded when missing), perhaps behind the log."""
        return self._logs.loaded(self._uid)

    def synced(self, loaded: LoadedIndex | None = None) -> LoadedIndex:
        """The user's index caught up with the log head, or reloaded when
        another process moved the user to a new epoch."""
        logs, uid = self._logs, self._uid
        if loaded is None:
            loaded = logs.loaded(uid)
        state = self._store.user_state(uid)
        if state.epoch != loaded.epoch:
            logs.drop(uid)
            return logs.loaded(uid)
        if state.head_seq != loaded.applied_seq:
            loaded.apply_events(self._store.events_after(uid, loaded.applied_seq))
            logs.resized(uid)
        return loaded

    def at_one_head(
        self, read: Callable[[], tuple[LoadedIndex, Found[R], T]]
    ) -> tuple[Found[R], T]:
        """What `read()` ranks on the user's index and the rows it reads for
        that ranking, taken from one state of the log. `read` returns the
        index it ranked on, the rows (read with the store's head and epoch)
        and its ranking; when another process wrote in between, the index
        catches up and `read` runs again. After READ_ATTEMPTS the last answer
        stands: rows of turns forgotten since are missing (the ranking skips
        them), turns added since are not ranked yet."""
        for attempt in range(1, READ_ATTEMPTS + 1):
            loaded, found, ranked = read()
            current = found.head_seq == loaded.applied_seq and found.epoch == loaded.epoch
            if current or attempt == READ_ATTEMPTS:
                return found, ranked
            self.synced(loaded)
        raise AssertionError("unreachable")

    def session_vectors(self, session_id: str) -> tuple[LoadedIndex, SessionVectors]:
        """The user's index with the vectors of one session's live turns. They
        are cached only when read at the seq the index has applied (the index
        catches up to the head read with them first), so that every later
        event applied to the index reaches them."""
        loaded = self._logs.loaded(self._uid)
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
            self._logs.resized(self._uid)
        return loaded, vectors

    def _session_rows(self, session_id: str) -> Found[StoredTurn]:
        return self._store.read_turns(self._uid, By.SESSION, [session_id], embeddings=True)

    def turns(
        self, by: By, values: Sequence[str] = (), *, embeddings: bool = False
    ) -> Found[StoredTurn]:
        """The user's live turns selected `by` the values (see `Store.read_turns`)."""
        return self._store.read_turns(self._uid, by, values, embeddings=embeddings)

    def hit_rows(self, keys: Sequence[int], where: Filter | None = None) -> Found[HitRow]:
        """The rows behind search results (see `Store.hit_rows`)."""
        return self._store.hit_rows(self._uid, keys, where)

    def matching_vectors(self, where: Filter, limit: int) -> Found[tuple[int, bytes]] | None:
        """The embeddings of the turns matching `where`, when at most `limit`
        do (see `Store.matching_vectors`)."""
        return self._store.matching_vectors(self._uid, where, limit)

    def matching_sessions(self, where: Filter) -> set[str]:
        """The ids of the sessions with a turn matching `where`."""
        return self._store.matching_sessions(self._uid, where)

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
        where: Filter | None = None,
    ) -> list[tuple[int, float]]:
        """The user's turns (in the session and time span, and matching the
        filter, if given) that best match `terms` by words, as (key,
        relevance), best first."""
        return self._store.lexical_search(self._uid, terms, limit, session_id, span, where)

    def search_rows(
        self, keys: Sequence[int], around: Sequence[int], where: Filter | None = None
    ) -> Found[SearchRow]:
        """The rows of a search's candidates and of the neighbours of
        `around` (see `Store.search_rows`)."""
        return self._store.search_rows(self._uid, keys, around, where)

    def sessions(self, ids: Sequence[str] | None = None) -> list[SessionRecord]:
        return self._store.sessions(self._uid, ids)

    def taken_ids(self, ids: Sequence[str]) -> list[str]:
        return self._store.existing_turn_ids(self._uid, ids)

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
            opened[current] = SessionRecord(
                id=current,
                title=entry.session_title,
                created_us=created,
                turn_count=0,
                vector_sum=None,
            )
            pending = BOUNDARY_SESSION
        elif entry.new_topic:
            pending = max(pending, BOUNDARY_DOCUMENT)
        seq += 1
        record(
            TurnRecord(
                id=entry.id,
                seq=seq,
                session_id=current,
                boundary=pending,
                role=entry.role,
                text=entry.text,
                metadata=entry.metadata,
                created_us=created,
                alias=entry.alias,
                embedding=blob[row * width : (row + 1) * width],
            )
        )
        pending = BOUNDARY_NONE
    return records, opened, current, pending


def _as_turn_id(alias: str) -> str | None:
    try:
        return parse_id(alias)
    except InvalidInputError:
        return None
