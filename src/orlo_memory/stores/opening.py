"""`open_store`: the one place that picks a backend from a path or URL."""

from __future__ import annotations

import os

from ..contract.values import MAX_WAIT_SECONDS, real_argument
from ..errors import OrloMemoryError
from .protocol import Store
from .sqlite import SqliteStore

_URL_SCHEMES = ("postgresql://", "postgres://")


def is_url(location: str) -> bool:
    """Whether `location` names a PostgreSQL database rather than a SQLite file."""
    return location.startswith(_URL_SCHEMES)


def open_store(
    location: str | os.PathLike[str],
    *,
    synchronous: str = "normal",
    busy_timeout: float = 60.0,
) -> Store:
    """The store at `location`: a SQLite file (created if missing; ":memory:"
    for a throw-away one) or a PostgreSQL database given as a "postgresql://"
    URL (needs the `postgres` extra). `synchronous` applies to SQLite only;
    `busy_timeout` bounds the waits for a lock or a connection."""
    where = os.fspath(location)
    busy_timeout = real_argument(busy_timeout, "busy_timeout", 0.0, MAX_WAIT_SECONDS)
    if is_url(where):
        try:  # psycopg is imported only when asked for
            from .postgres import PostgresStore
        except ImportError as error:
            raise OrloMemoryError(
                f"a PostgreSQL memory needs the postgres extra ({error.name or 'psycopg'} is "
                "missing): pip install 'orlo_kiv[postgres]'"
            ) from error
        return PostgresStore(where, timeout=busy_timeout)
    return SqliteStore(where, synchronous=synchronous, busy_timeout=busy_timeout)
