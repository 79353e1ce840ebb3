"""The seam between the memory and its stores: the roles a backend plays
(catalogue, turn log, snapshots, search, erasure, and the servers' tokens).

A backend owns its tables, their version and their migration, hides its own
limits (statement sizes, parameter counts) and raises only the memory's
exceptions (errors.py), mapped at one point of its module. Every change runs
inside `transaction(uid)`, which holds that user's write lock, so all
processes agree on one order of each user's events (records.py); a read sees
one consistent state of the store. All SQL of a backend stays in the
backend's own modules.

A store serves several threads at once: each call runs on a connection of
its own, a read never waits for a writer, and a transaction belongs to the
thread that opened it. Every wait (for a lock, a connection or a server) is
bounded by the store's timeout, past which the call raises
StoreUnavailableError; a call that failed left nothing behind that could be
applied later.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping, Sequence
from contextlib import AbstractContextManager
from typing import Protocol

from ..contract.filters import Filter
from .lexical import LexicalIndex
from .records import (
    By,
    Event,
    ForgetRecord,
    Found,
    HitRow,
    SearchRow,
    SessionRecord,
    SnapshotHeader,
    StoredSnapshot,
    StoredTurn,
    TurnRecord,
    UserState,
)
from .tokens import TokenStore


class Catalogue(Protocol):
    """The settings every process must agree on, and the users."""

    def close(self) -> None:
        """Releases the store's connections; later calls fail."""
        ...

    def read_settings(self) -> dict[str, str]:
        """The stored settings (the memory's dimension and embedder name)."""
        ...

    def write_settings(self, values: Mapping[str, str]) -> None:
        """Adds settings that are not yet stored; existing ones are kept."""
        ...

    def ensure_user(self, name: str, now_us: int) -> int:
        """The user's key, creating the user row when it is missing."""
        ...

    def user_names(self) -> list[str]:
        """Every user's name, oldest first."""
        ...


class TurnLog(Protocol):
    """Each user's log of turns, its state row and its sessions. The writing
    calls run inside `transaction(uid)`; the reading ones anywhere (inside a
    transaction they see its own writes)."""

    def transaction(self, uid: int, *, wait: bool = True) -> AbstractContextManager[None]:
        """One write transaction of the calling thread holding the user's
        write lock; commits on normal exit, rolls back when the block raises.
        The lock is waited for up to the store's timeout, or with `wait`
        False not at all; then StoreUnavailableError."""
        ...

    def user_state(self, uid: int) -> UserState:
        """The user's row: head seq, epoch, counts and boundary state."""
        ...

    def save_user_state(self, state: UserState) -> None:
        """Replaces the user's row (inside the transaction)."""
        ...

    def existing_turn_ids(self, uid: int, ids: Sequence[str]) -> list[str]:
        """Which of `ids` are taken by a turn of the user (live or forgotten):
        turn ids are unique per user."""
        ...

    def append_turns(self, uid: int, turns: Sequence[TurnRecord]) -> list[int]:
        """Appends ADD events (inside the transaction) and returns the turns'
        keys, in the order given."""
        ...

    def forget_turns(self, uid: int, forgets: Sequence[ForgetRecord], now_us: int) -> None:
        """Appends FORGET events of live turns (inside the transaction): their
        text, metadata, alias and embedding are deleted."""
        ...

    def sessions(self, uid: int, ids: Sequence[str] | None = None) -> list[SessionRecord]:
        """The user's sessions (all, or those among `ids`), newest first."""
        ...

    def save_sessions(self, uid: int, sessions: Sequence[SessionRecord]) -> None:
        """Stores new sessions and the turn counts and vector sums of existing
        ones (inside the transaction)."""
        ...

    def events_after(self, uid: int, seq: int, until: int | None = None) -> Iterator[Event]:
        """Every event with a seq above `seq` (and at most `until`), in seq order."""
        ...

    def read_turns(
        self,
        uid: int,
        by: By,
        values: Sequence[str] = (),
        *,
        embeddings: bool = False,
        offset: int = 0,
        limit: int | None = None,
    ) -> Found[StoredTurn]:
        """The user's live turns selected `by` the given values (any number of
        them), in seq order, with the head and epoch of the same state;
        `embeddings` reads their embeddings too. `offset` and `limit` page
        the selection: the first `offset` turns are skipped and at most
        `limit` returned (None: all the rest); a page past the end is empty.
        A session's turns, and its pages, are read through the session's
        own rows, at a cost that follows the session, not the user's log.
        Raises InvalidInputError for a negative offset or limit."""
        ...


class Snapshots(Protocol):
    """One index snapshot per user: a checkpoint of the user's log."""

    def write_snapshot(self, uid: int, header: SnapshotHeader, data: bytes) -> None:
        """Stores a snapshot (`KivIndex.to_bytes()`) inside the transaction,
        replacing the user's older one when it commits."""
        ...

    def read_snapshot(self, uid: int, *, data: bool = True) -> StoredSnapshot | None:
        """The user's snapshot with the head seq and epoch read with it, or
        None. Its bytes are as stored: the caller verifies them against the
        header's checksum. With `data` False only the header is read (the
        bytes are left empty)."""
        ...


class Search(LexicalIndex, Protocol):
    """What search reads besides the index: the lexical ranking (lexical.py)
    and the rows behind the results. A `where` is a checked filter
    (contract/filters.py), answered in the store's own query; each backend
    keeps a field index of its turns' metadata for it (filtering.py)."""

    def hit_rows(self, uid: int, keys: Sequence[int], where: Filter | None = None) -> Found[HitRow]:
        """The user's live turns among `keys` (any number of them) that match
        `where` (any, without one) as results need them, in no particular
        order, with the head and epoch of the same state: the path of every
        search, read in one statement where it can be."""
        ...

    def search_rows(
        self,
        uid: int,
        keys: Sequence[int],
        around: Sequence[int],
        where: Filter | None = None,
    ) -> Found[SearchRow]:
        """The user's live turns among `keys`, and the live turns just before
        and after each of `around` in its session (seq - 1 and seq + 1) that
        are not among `keys`, with their embeddings (the others' are None), in
        no particular order (a turn may come twice), with the head and epoch
        of the same state; with `where`, only the turns that match it."""
        ...

    def matching_vectors(
        self, uid: int, where: Filter, limit: int
    ) -> Found[tuple[int, bytes]] | None:
        """When at most `limit` of the user's live turns match `where`, each
        of them as (key, embedding), in no particular order, with the head
        and epoch of the same state; None when more match. Its cost follows
        the turns the store's indexes find for the filter (at most `limit` +
        1 read), not the user's log, where an index answers it."""
        ...

    def matching_sessions(self, uid: int, where: Filter) -> set[str]:
        """The ids of the user's sessions with a live turn matching `where`."""
        ...


class Erasure(Protocol):
    """Removing a person from the store."""

    def erase_user(self, name: str) -> int | None:
        """Erases the user called `name` and all that is theirs: turns with
        their embeddings and full-text entries, forgets, sessions, snapshot,
        the user's row, and their place in the servers' tokens (a token that
        reaches only this user is removed, one that reaches others too loses
        it, one for every user stays). One transaction holding the user's
        write lock: a crash leaves all of it or none. Returns the erased
        user's key, None when no user has that name. The key is never given
        to another user, so calls that still name it raise UnknownIdError.
        A backend removes what it can of the bytes, not only the rows (the
        SQLite one leaves none in its files); what stays is in its module."""
        ...


class Store(Catalogue, TurnLog, Snapshots, Search, TokenStore, Erasure, Protocol):
    """Everything a backend does for the memory layer."""
