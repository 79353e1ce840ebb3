"""Erasing a user from the PostgreSQL backend.

One transaction, holding the user's write lock (so no write of that user
runs beside it), removes the user's turns (their embeddings and full-text
vectors are columns of the same rows, their GIN entries go with them),
forgets, sessions, snapshot and its parts, and the user's row, and takes the
user out of the servers' tokens: a crash leaves all of it or none. An
identity column never gives a key twice, so a process still holding the
erased user finds it gone rather than someone else's log.

What PostgreSQL keeps after the commit: the deleted rows stay in their pages
as dead tuples (and in the TOAST table and the indexes) until VACUUM, and
plain VACUUM only marks that space free: the bytes stay until new rows
overwrite them, or until VACUUM FULL rewrites the tables. The write-ahead log
holds the rows as written until its segments are recycled, and archived
segments, base backups and replicas keep their copies.
"""

from __future__ import annotations

import json
from functools import partial

from ...errors import StoreUnavailableError
from .connection import Connection, PostgresConnection

# How often the user is looked up again when, once its write lock is held,
# the name no longer has the key found before (erased, and created anew,
# meanwhile).
ATTEMPTS = 3

# The statements that remove the user's rows, the user's row last.
_DELETES = (
    "DELETE FROM orlo_memory.turn_fields WHERE uid = %s",
    "DELETE FROM orlo_memory.turns WHERE uid = %s",
    "DELETE FROM orlo_memory.forgets WHERE uid = %s",
    "DELETE FROM orlo_memory.sessions WHERE uid = %s",
    "DELETE FROM orlo_memory.snapshot_parts WHERE uid = %s",
    "DELETE FROM orlo_memory.snapshots WHERE uid = %s",
    "DELETE FROM orlo_memory.users WHERE uid = %s",
)


def erase_user(db: PostgresConnection, name: str) -> int | None:
    """Erases the user `name` (see the module's text); returns its key, or
    None when no user has that name."""
    for _ in range(ATTEMPTS):
        row = db.run(
            lambda c: c.execute(
                "SELECT uid FROM orlo_memory.users WHERE name = %s", (name,)
            ).fetchone()
        )
        if row is None:
            return None
        uid = int(row[0])
        with db.transaction(uid):
            if db.run(partial(_erase, uid=uid, name=name)):
                return uid
    raise StoreUnavailableError(f"user {name!r} was erased and created anew meanwhile; retry")


def _erase(conn: Connection, uid: int, name: str) -> bool:
    """Inside the user's write transaction: erases the user `uid` if it is
    still the one called `name` (False when it is not: erased meanwhile)."""
    row = conn.execute(
        "SELECT name FROM orlo_memory.users WHERE uid = %s FOR UPDATE", (uid,)
    ).fetchone()
    if row is None or row[0] != name:
        return False
    for statement in _DELETES:
        conn.execute(statement, (uid,))
    _leave_tokens(conn, name)
    return True


def _leave_tokens(conn: Connection, name: str) -> None:
    """Tokens that reach only `name` are removed, those that reach others too
    lose it; tokens for every user stay. The rows are locked as they are
    read, so two erases of different users (different write locks) that
    share a token do not undo each other's change."""
    rows = conn.execute(
        "SELECT id, users FROM orlo_memory.tokens WHERE users IS NOT NULL FOR UPDATE"
    ).fetchall()
    for token_id, users in rows:
        names = json.loads(users)
        if name not in names:
            continue
        kept = [user for user in names if user != name]
        if kept:
            conn.execute(
                "UPDATE orlo_memory.tokens SET users = %s WHERE id = %s",
                (json.dumps(kept), token_id),
            )
        else:
            conn.execute("DELETE FROM orlo_memory.tokens WHERE id = %s", (token_id,))
