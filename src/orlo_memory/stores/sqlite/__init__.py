"""The SQLite backend: one database file and a folder of snapshot files beside it."""

from .store import SqliteStore

__all__ = ["SqliteStore"]
