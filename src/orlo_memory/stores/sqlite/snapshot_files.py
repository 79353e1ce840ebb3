"""Index snapshots of the SQLite backend: a row in `snapshots` per user, the
bytes in a file beside the database.

Files live in `<database>-snapshots/`, named after the user, epoch and seq
they hold and recorded in the `snapshots` row that the checkpoint
transaction writes: reading a large snapshot from a file costs a fraction of
reading it from SQLite's overflow pages, and a torn or lost file is caught
by the checksum (the log stays the truth). A checkpoint removes the file it
replaces once it commits, and the file it wrote if it rolls back; files left
by a crash are removed when the store is next opened. A ":memory:" database
keeps its snapshots in memory.
"""

from __future__ import annotations

import errno
import mmap
import os
import stat
from contextlib import suppress
from dataclasses import replace

from ..records import SnapshotHeader, StoredSnapshot
from .connection import SqliteConnection

SUFFIX = ".kiv"
_HEADER_COLUMNS = "seq, epoch, live_count, dimension, size, checksum, created_us"


class SnapshotFiles:
    """The snapshots of one database (`folder` None: kept in memory)."""

    def __init__(self, db: SqliteConnection, folder: str | None) -> None:
        self._db = db
        self._folder = folder
        self._in_memory: dict[int, bytes] = {}

    @staticmethod
    def file_name(uid: int, header: SnapshotHeader) -> str:
        """The name of the file that holds the user's snapshot of `header`."""
        return f"u{uid}-e{header.epoch}-s{header.seq}{SUFFIX}"

    def write(self, uid: int, header: SnapshotHeader, data: bytes) -> None:
        """Stores the snapshot inside the open write transaction; the file it
        replaces goes when that commits, the file written when it rolls back."""
        file = None
        if self._folder is None:
            self._db.on_commit(lambda: self._in_memory.__setitem__(uid, data))
        else:
            row = self._db.conn.execute(
                "SELECT file FROM snapshots WHERE uid = ?", (uid,)
            ).fetchone()
            current = None if row is None else row[0]
            file = self.file_name(uid, header)
            path = os.path.join(self._folder, file)
            _write_file(path, data)
            if current != file:
                self._db.on_rollback(lambda: _remove(path))
                if current is not None:
                    old = os.path.join(self._folder, current)
                    self._db.on_commit(lambda: _remove(old))
        self._db.conn.execute(
            f"INSERT OR REPLACE INTO snapshots (uid, {_HEADER_COLUMNS}, file)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (
                uid,
                header.seq,
                header.epoch,
                header.live_count,
                header.dimension,
                header.size,
                header.checksum,
                header.created_us,
                file,
            ),
        )

    def remove(self, uid: int) -> None:
        """Removes the user's snapshot inside the open write transaction: its
        row now, its file (or bytes kept in memory) once that commits."""
        row = self._db.conn.execute("SELECT file FROM snapshots WHERE uid = ?", (uid,)).fetchone()
        self._db.conn.execute("DELETE FROM snapshots WHERE uid = ?", (uid,))
        if self._folder is not None and row is not None and row[0] is not None:
            path = os.path.join(self._folder, row[0])
            self._db.on_commit(lambda: _remove(path))
        else:
            self._db.on_commit(lambda: self._forget_in_memory(uid))

    def _forget_in_memory(self, uid: int) -> None:
        self._in_memory.pop(uid, None)

    def remove_strays(self) -> None:
        """Removes the snapshot files that no row names: written by a
        checkpoint that a crash cut off (called under the write lock, so no
        other checkpoint is writing one now). What cannot be removed stays."""
        if self._folder is None or not os.path.isdir(self._folder):
            return
        named = {file for (file,) in self._db.conn.execute("SELECT file FROM snapshots")}
        with suppress(OSError), os.scandir(self._folder) as entries:
            for entry in entries:
                if entry.name not in named:
                    _remove(entry.path)

    def read(self, uid: int, *, data: bool = True) -> StoredSnapshot | None:
        """The user's snapshot with the head read in the same state, or None."""
        # A checkpoint of another process may replace the file between reading
        # the row and opening it: read the row again then.
        for _ in range(3):
            with self._db.read():
                row = self._db.conn.execute(
                    f"SELECT {_HEADER_COLUMNS}, file FROM snapshots WHERE uid = ?", (uid,)
                ).fetchone()
                head = self._db.conn.execute(
                    "SELECT head_seq, epoch FROM users WHERE uid = ?", (uid,)
                ).fetchone()
            if row is None or head is None:
                return None
            seq, epoch, live_count, dimension, size, checksum, created_us, file = row
            header = SnapshotHeader(
                seq=seq,
                epoch=epoch,
                live_count=live_count,
                dimension=dimension,
                size=size,
                checksum=checksum,
                created_us=created_us,
            )
            empty = StoredSnapshot(header=header, data=b"", head_seq=head[0], epoch=head[1])
            if not data:
                return empty
            if file is None or self._folder is None:
                return replace(empty, data=self._in_memory.get(uid, b""))
            path = os.path.join(self._folder, file)
            try:
                return _mapped_snapshot(path, empty)
            except FileNotFoundError:
                continue
            except OSError as error:
                # A directory, a loop of links, a file this account cannot
                # read: like a damaged snapshot, never the caller's failure.
                return replace(empty, problem=f"cannot read {path!r}: {error.strerror or error}")
        return empty


def _write_file(path: str, data: bytes) -> None:
    """Writes `data` under a temporary name, then renames it into place, so a
    snapshot file never has its final name before it is complete. No fsync:
    the checksum catches a file that a power loss tore."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    temporary = path + ".tmp"
    try:
        # Non-blocking: a FIFO found under the name fails at once (no reader)
        # instead of waiting for one; a regular file is unaffected.
        flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NONBLOCK | os.O_CLOEXEC
        with os.fdopen(os.open(temporary, flags, 0o666), "wb") as stream:
            stream.write(data)
        os.replace(temporary, path)
    except BaseException:
        _remove(temporary)
        raise


def _remove(path: str) -> None:
    """Removes a snapshot file if it can: a file left behind costs only space
    (the next open tries again), and a commit must not fail over it."""
    with suppress(OSError):
        os.remove(path)


def _mapped_snapshot(path: str, empty: StoredSnapshot) -> StoredSnapshot:
    """The snapshot file, mapped rather than read: checking a large snapshot
    then costs no copy, and the index loads from the same open file (through
    /proc/self/fd, so a checkpoint that replaces the file meanwhile cannot
    swap the bytes checked for others). Raises OSError for anything but a
    regular file, opened without blocking (a FIFO would wait for a writer).
    `empty` is the snapshot as read without its bytes."""
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    stream = os.fdopen(descriptor, "rb")
    try:
        status = os.fstat(stream.fileno())
        if not stat.S_ISREG(status.st_mode):
            raise OSError(errno.EINVAL, "not a regular file", path)
        size = status.st_size
        if size == 0:  # an empty file cannot be mapped; it fails its checks anyway
            return replace(empty, source=stream)
        flags = mmap.MAP_SHARED | getattr(mmap, "MAP_POPULATE", 0)
        data = mmap.mmap(stream.fileno(), size, flags=flags, prot=mmap.PROT_READ)
        through_fd = f"/proc/self/fd/{stream.fileno()}"
        loadable = through_fd if os.path.exists(through_fd) else None
        return replace(empty, data=data, path=loadable, source=stream)
    except BaseException:
        stream.close()
        raise
