"""The SQLite backend's table of the servers' bearer tokens (`TokenStore`,
stores/tokens.py). A token's `users` is stored as a JSON array of names,
NULL for every user."""

from __future__ import annotations

import json
from typing import Any

from ..tokens import TokenRecord
from .connection import SqliteConnection

_COLUMNS = "id, name, digest, users, created_us"


def _record(row: tuple[Any, ...]) -> TokenRecord:
    token_id, name, digest, users, created_us = row
    return TokenRecord(
        id=token_id,
        name=name,
        digest=digest,
        users=None if users is None else tuple(json.loads(users)),
        created_us=int(created_us),
    )


def add_token(db: SqliteConnection, token: TokenRecord) -> None:
    users = None if token.users is None else json.dumps(list(token.users))
    with db.write():
        db.conn.execute(
            f"INSERT INTO tokens ({_COLUMNS}) VALUES (?, ?, ?, ?, ?)",
            (token.id, token.name, token.digest, users, token.created_us),
        )


def find_token(db: SqliteConnection, token_id: str) -> TokenRecord | None:
    row = db.conn.execute(f"SELECT {_COLUMNS} FROM tokens WHERE id = ?", (token_id,)).fetchone()
    return None if row is None else _record(row)


def list_tokens(db: SqliteConnection) -> list[TokenRecord]:
    rows = db.conn.execute(f"SELECT {_COLUMNS} FROM tokens ORDER BY created_us, id").fetchall()
    return [_record(row) for row in rows]


def remove_token(db: SqliteConnection, token_id: str) -> bool:
    with db.write():
        cursor = db.conn.execute("DELETE FROM tokens WHERE id = ?", (token_id,))
    return cursor.rowcount > 0


def has_tokens(db: SqliteConnection) -> bool:
    return db.conn.execute("SELECT 1 FROM tokens LIMIT 1").fetchone() is not None
