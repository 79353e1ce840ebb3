"""Erasing a user from the SQLite backend, so that no byte of their texts
stays in the database's files.

One write transaction removes the user's turns, embeddings, full-text
entries, forgets, sessions, snapshot row and user row, and their place in the
servers' tokens; a crash leaves all of it or none. Removing rows is not
removing bytes, so the transaction and the steps after it also:

- run with `secure_delete` on: SQLite overwrites with zeros the space that a
  deleted row, or a page put on the free list, held;
- take each turn out of the full-text table with FTS5's 'delete' command.
  The table is contentless, so its segments hold the words themselves, and a
  'delete' only records the deletion in a newer segment: 'optimize' then
  merges every segment into one without the deleted entries. It rewrites the
  whole full-text index, so its cost follows the database, not the user;
- after the commit, VACUUM: older writes made without `secure_delete` leave
  copies behind (a turn forgotten earlier had its text cleared in place;
  cells move when pages split), which only rewriting the file removes. It
  too costs time in proportion to the whole file;
- then checkpoint the write-ahead log into the file and truncate it: its
  frames still hold the pages as they were.

The snapshot file goes once the transaction commits. A crash after the
commit leaves a snapshot file that no row names, which the next open removes
(`SnapshotFiles.remove_strays`), and the SCRUB_PENDING mark in `meta`, which
makes the next open VACUUM and checkpoint (`scrub_if_pending`); the mark is
cleared only once the log was truncated.

SQLite gives a new row the key after the largest one in the table; the
largest key erased is kept in `meta` (ERASED_UID) so that NEXT_UID never
gives an erased user's key to another user (a process still holding the
erased user would otherwise read and write the new one's log).
"""

from __future__ import annotations

import json
import logging
import sqlite3
from collections.abc import Callable

from ...errors import OrloMemoryError
from .connection import SqliteConnection

log = logging.getLogger("orlo_memory")

ERASED_UID = "erased_uid"
SCRUB_PENDING = "scrub_pending"
# The keys of `meta` that are the store's own bookkeeping, not settings.
BOOKKEEPING = (ERASED_UID, SCRUB_PENDING)

# The key a new user gets, past every key in use and every key erased (its
# one parameter is ERASED_UID).
NEXT_UID = (
    "(SELECT max(coalesce((SELECT max(uid) FROM users), 0),"
    " coalesce((SELECT CAST(value AS INTEGER) FROM meta WHERE key = ?), 0)) + 1)"
)

# The 'delete' command of a contentless table needs the values each row was
# indexed with (as `append_turns` indexed them).
_FULL_TEXT_DELETE = (
    "INSERT INTO turns_fts (turns_fts, rowid, text, scope)"
    " SELECT 'delete', row, text, 'u' || uid || ' s' || session_id"
    " FROM turns WHERE uid = ? AND text IS NOT NULL"
)
# The statements that remove the user's rows, in order: the embeddings are
# found through the turns, so they go first.
_DELETES = (
    "DELETE FROM turn_fields WHERE uid = ?",
    "DELETE FROM embeddings WHERE row IN (SELECT row FROM turns WHERE uid = ?)",
    "DELETE FROM turns WHERE uid = ?",
    "DELETE FROM forgets WHERE uid = ?",
    "DELETE FROM sessions WHERE uid = ?",
    "DELETE FROM users WHERE uid = ?",
)
_MARK = (
    "INSERT INTO meta (key, value) VALUES (?, ?) ON CONFLICT (key) DO UPDATE"
    " SET value = max(CAST(value AS INTEGER), CAST(excluded.value AS INTEGER))"
)


def erase_user(
    db: SqliteConnection, name: str, remove_snapshot: Callable[[int], None]
) -> int | None:
    """Erases the user `name` (see the module's text); returns its key, or
    None when no user has that name. `remove_snapshot` removes the user's
    snapshot inside the transaction (its file once that commits)."""
    conn = db.conn
    secure = int(conn.execute("PRAGMA secure_delete").fetchone()[0])
    conn.execute("PRAGMA secure_delete = ON")
    try:
        with db.write():
            row = conn.execute("SELECT uid FROM users WHERE name = ?", (name,)).fetchone()
            if row is None:
                return None
            uid = int(row[0])
            conn.execute(_FULL_TEXT_DELETE, (uid,))
            conn.execute("INSERT INTO turns_fts (turns_fts) VALUES ('optimize')")
            for statement in _DELETES:
                conn.execute(statement, (uid,))
            remove_snapshot(uid)
            _leave_tokens(conn, name)
            conn.executemany(_MARK, [(ERASED_UID, str(uid)), (SCRUB_PENDING, "1")])
    finally:
        # A pragma takes no parameters: the value is SQLite's own number.
        conn.execute(f"PRAGMA secure_delete = {secure:d}")
    scrub(db)
    return uid


def _leave_tokens(conn: sqlite3.Connection, name: str) -> None:
    """Inside the transaction: tokens that reach only `name` are removed,
    those that reach others too lose it; tokens for every user stay."""
    rows = conn.execute("SELECT id, users FROM tokens WHERE users IS NOT NULL").fetchall()
    for token_id, users in rows:
        names = json.loads(users)
        if name not in names:
            continue
        kept = [user for user in names if user != name]
        if kept:
            conn.execute("UPDATE tokens SET users = ? WHERE id = ?", (json.dumps(kept), token_id))
        else:
            conn.execute("DELETE FROM tokens WHERE id = ?", (token_id,))


def scrub(db: SqliteConnection) -> None:
    """After an erase has committed: rewrites the file (VACUUM, through a
    temporary file rather than memory, which a large file would exhaust),
    checkpoints the write-ahead log into it and truncates the log, then
    clears SCRUB_PENDING. The erase stands whatever happens here: a failure
    is logged and the next open tries again."""
    conn = db.conn
    temp_store = int(conn.execute("PRAGMA temp_store").fetchone()[0])
    try:
        conn.execute("PRAGMA temp_store = FILE")
        try:
            conn.execute("VACUUM")
        finally:
            conn.execute(f"PRAGMA temp_store = {temp_store:d}")
        busy = conn.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchone()[0]
        if busy:
            log.warning(
                "%r: other connections kept reading, so the write-ahead log still holds"
                " an erased user's pages; the next open (or erase) truncates it",
                db.path,
            )
            return
        with db.write():
            conn.execute("DELETE FROM meta WHERE key = ?", (SCRUB_PENDING,))
    except (sqlite3.Error, OSError, OrloMemoryError) as error:  # the last from `db.write()`
        log.warning(
            "%r: cleaning up after erasing a user failed (%s); the next open retries",
            db.path,
            error,
        )


def scrub_if_pending(db: SqliteConnection) -> None:
    """At open: finishes the cleanup of an erase that a crash (or readers)
    cut off."""
    pending = db.conn.execute("SELECT 1 FROM meta WHERE key = ?", (SCRUB_PENDING,)).fetchone()
    if pending is not None:
        scrub(db)
