"""Index snapshots of the PostgreSQL backend: a header row in `snapshots` and
the bytes in parts in `snapshot_parts` (one bytea value is capped near 1 GB),
written in the checkpoint's transaction and read back in one snapshot of the
database, a bounded number of parts per statement. A part missing or moved
shows in the snapshot's size or checksum."""

from __future__ import annotations

from collections.abc import Sequence

from ..records import SnapshotHeader, StoredSnapshot
from .connection import Connection

_HEADER_COLUMNS = "seq, epoch, live_count, dimension, size, checksum, created_us"


def write_snapshot(
    conn: Connection, uid: int, header: SnapshotHeader, parts: Sequence[memoryview]
) -> None:
    """Replaces the user's snapshot (inside the user's write transaction)."""
    conn.execute("DELETE FROM orlo_memory.snapshot_parts WHERE uid = %s", (uid,))
    with (
        conn.cursor() as cursor,
        cursor.copy(
            "COPY orlo_memory.snapshot_parts (uid, part, data) FROM STDIN (FORMAT BINARY)"
        ) as copy,
    ):
        copy.set_types(["int8", "int4", "bytea"])
        for number, part in enumerate(parts):
            copy.write_row((uid, number, part))
    conn.execute(
        f"INSERT INTO orlo_memory.snapshots (uid, {_HEADER_COLUMNS}, parts)"
        " VALUES (%s, %s, %s, %s, %s, %s, %s, %s, %s)"
        " ON CONFLICT (uid) DO UPDATE SET seq = excluded.seq, epoch = excluded.epoch,"
        " live_count = excluded.live_count, dimension = excluded.dimension,"
        " size = excluded.size, checksum = excluded.checksum,"
        " created_us = excluded.created_us, parts = excluded.parts",
        (
            uid,
            header.seq,
            header.epoch,
            header.live_count,
            header.dimension,
            header.size,
            header.checksum,
            header.created_us,
            len(parts),
        ),
    )


def read_snapshot(conn: Connection, uid: int, data: bool, read_parts: int) -> StoredSnapshot | None:
    """The user's snapshot with the head (the caller makes the statements see
    one snapshot of the database when `data` is read), `read_parts` parts
    per statement: the client holds at most that much twice."""
    row = conn.execute(
        "SELECT s.seq, s.epoch, s.live_count, s.dimension, s.size, s.checksum, s.created_us,"
        " s.parts, u.head_seq, u.epoch FROM orlo_memory.snapshots s"
        " JOIN orlo_memory.users u ON u.uid = s.uid WHERE s.uid = %s",
        (uid,),
    ).fetchone()
    if row is None:
        return None
    seq, epoch, live_count, dimension, size, checksum, created_us, count, head_seq, head_epoch = row
    header = SnapshotHeader(
        seq=seq,
        epoch=epoch,
        live_count=live_count,
        dimension=dimension,
        size=size,
        checksum=checksum,
        created_us=created_us,
    )
    stored: list[bytes] = []
    if data:
        with conn.cursor(binary=True) as cursor:
            for first in range(0, int(count), read_parts):
                cursor.execute(
                    "SELECT data FROM orlo_memory.snapshot_parts"
                    " WHERE uid = %s AND part >= %s AND part < %s ORDER BY part",
                    (uid, first, first + read_parts),
                )
                stored.extend(part for (part,) in cursor)
    return StoredSnapshot(
        header=header, data=b"".join(stored), head_seq=int(head_seq), epoch=int(head_epoch)
    )
