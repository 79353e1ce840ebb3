"""The exceptions of the memory layer.

Every failure caused by the caller's input is an `InvalidInputError` (also a
ValueError) raised before anything is written, so the store is unchanged.
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


class StoreUnavailableError(OrloMemoryError):
    """The database could not complete the call: the connection was lost, the
    server restarted or a lock wait timed out. The call may be retried; what
    it wrote is either fully stored or absent, and an add retried with the
    same turn ids is not stored twice."""
