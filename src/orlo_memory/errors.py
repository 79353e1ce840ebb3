"""The exceptions of the memory layer.

Every failure caused by the caller's input is an `InvalidInputError` (also a
ValueError) raised before anything is written, so the store is unchanged.
Every backend maps its own failures to these at one point, so a caller never
sees a sqlite3 or psycopg exception.
"""

from __future__ import annotations


class OrloMemoryError(Exception):
    """Base class of every error raised by orlo_memory."""


class ClosedError(OrloMemoryError):
    """The memory was closed; no further calls are possible."""


class InvalidInputError(OrloMemoryError, ValueError):
    """An argument is malformed: empty text, bad metadata, a bad id or mode..."""


class DimensionMismatchError(InvalidInputError):
    """An embedding's length differs from the memory's dimension."""


class DuplicateIdError(InvalidInputError):
    """A turn id given by the caller is already stored."""


class UnknownIdError(OrloMemoryError, LookupError):
    """A turn or session id names nothing stored for this user (or was forgotten)."""


class SettingsMismatchError(OrloMemoryError):
    """The database was created with other settings (dimension, embedder, schema)."""


class StoreError(OrloMemoryError):
    """The database failed the call for a reason of its own (a full disk, a
    damaged file, an error of the server); the message names the cause. What
    the call wrote is either fully stored or absent."""


class StoreUnavailableError(StoreError):
    """The database could not complete the call: the connection was lost, the
    server restarted or a lock wait timed out. The call may be retried; what
    it wrote is either fully stored or absent, and an add retried with the
    same turn ids is not stored twice."""
