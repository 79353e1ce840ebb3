"""Building a user's index from the log, and checkpointing it.

A snapshot is a checkpoint of the log up to its seq: loading a user's index
is the newest snapshot plus the events after it, checked against each other,
or, when the snapshot fails any check, a rebuild from the whole log (with a
logged warning: the log is the truth). When to checkpoint, and the locking
around it, are the logs' (log.py, logs.py).
"""

from __future__ import annotations

import logging

import numpy as np

import orlo_kiv

from ..stores.protocol import Store
from ..stores.records import EventKind, SnapshotHeader, StoredSnapshot
from ..stores.snapshot import SnapshotError, snapshot_checksum, verify
from .user_index import LoadedIndex, new_index, now_us

log = logging.getLogger("orlo_memory")


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
                loaded.apply_add(event.key, boundary, event.session_id, vector)
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
    epoch = store.user_state(uid).epoch
    loaded = rebuild(store, uid, dimension)
    loaded.epoch = epoch
    return loaded


def _from_snapshot(store: Store, uid: int, dimension: int, stored: StoredSnapshot) -> LoadedIndex:
    header = stored.header
    if stored.problem is not None:
        raise SnapshotError(stored.problem)
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
            index = orlo_kiv.KivIndex.from_bytes(data if isinstance(data, bytes) else bytes(data))
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
    added_in_tail = {e.key for e in events if e.kind == EventKind.ADD}
    expected = header.live_count
    for event in events:
        if event.kind == EventKind.ADD:
            expected += event.embedding is not None
        elif event.key not in added_in_tail:
            expected -= 1
    loaded.apply_events(events)
    if loaded.points != expected:
        raise SnapshotError(
            f"snapshot and log disagree: {loaded.points} turns after replay, the log has {expected}"
        )
    return loaded


def snapshot_of(loaded: LoadedIndex) -> tuple[SnapshotHeader, bytes]:
    """The snapshot of `loaded` as it stands: its header and bytes."""
    data = loaded.index.to_bytes()
    header = SnapshotHeader(
        seq=loaded.applied_seq,
        epoch=loaded.epoch,
        live_count=loaded.points,
        dimension=loaded.dimension,
        size=len(data),
        checksum=snapshot_checksum(data),
        created_us=now_us(),
    )
    return header, data


def write_checkpoint(store: Store, uid: int, loaded: LoadedIndex) -> None:
    """Stores a snapshot of `loaded` (synced to the head by the caller, inside
    the user's write transaction), replacing the older one."""
    header, data = snapshot_of(loaded)
    store.write_snapshot(uid, header, data)
    loaded.snapshot_seq = loaded.applied_seq


def copy_of(loaded: LoadedIndex) -> LoadedIndex:
    """A copy of `loaded` at the same seq and epoch (through its bytes, as a
    reload would give), without its sessions' cached vectors."""
    copy = LoadedIndex(orlo_kiv.KivIndex.from_bytes(loaded.index.to_bytes()), loaded.dimension)
    copy.applied_seq = loaded.applied_seq
    copy.epoch = loaded.epoch
    copy.snapshot_seq = loaded.snapshot_seq
    return copy
