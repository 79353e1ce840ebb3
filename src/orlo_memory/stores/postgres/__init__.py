"""The PostgreSQL backend (extra `postgres`): psycopg is imported with this package."""

from .store import PostgresStore

__all__ = ["PostgresStore"]
