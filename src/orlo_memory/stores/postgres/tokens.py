"""The PostgreSQL backend's table of the servers' bearer tokens
(`TokenStore`, stores/tokens.py). A token's `users` is stored as a JSON array
of names, NULL for every user."""

from __future__ import annotations

import json
from typing import Any

from ..tokens import TokenRecord
from .connection import Connection

_COLUMNS = "id, name, digest, users, created_us"


def _record(row: tuple[Any, ...]) -> TokenRecord:
    token_id, name, digest, users, created_us = row
    return TokenRecord(
        id=str(token_id),
        name=str(name),
        digest=str(digest),
        users=None if users is None else tuple(json.loads(users)),
        created_us=int(created_us),
    )


def add_token(conn: Connection, token: TokenRecord) -> None:
    users = None if token.users is None else json.dumps(list(token.users))
    conn.execute(
        f"INSERT INTO orlo_memory.tokens ({_COLUMNS}) VALUES (%s, %s, %s, %s, %s)",
        (token.id, token.name, token.digest, users, token.created_us),
    )


def find_token(conn: Connection, token_id: str) -> TokenRecord | None:
    row = conn.execute(
        f"SELECT {_COLUMNS} FROM orlo_memory.tokens WHERE id = %s", (token_id,)
    ).fetchone()
    return None if row is None else _record(row)


def list_tokens(conn: Connection) -> list[TokenRecord]:
    rows = conn.execute(
        f"SELECT {_COLUMNS} FROM orlo_memory.tokens ORDER BY created_us, id"
    ).fetchall()
    return [_record(row) for row in rows]


def remove_token(conn: Connection, token_id: str) -> bool:
    return conn.execute("DELETE FROM orlo_memory.tokens WHERE id = %s", (token_id,)).rowcount > 0


def has_tokens(conn: Connection) -> bool:
    return conn.execute("SELECT 1 FROM orlo_memory.tokens LIMIT 1").fetchone() is not None
