"""Erasing a user: the store removes the user and all that is theirs in one
transaction (stores/protocol.py, `Erasure`), then the memory drops the
user's cached index.

The user's key is never given again, so a `UserMemory` that still holds it,
in this process or another, raises UnknownIdError on its next call (its
writes never bring the user back), and an index of it cached by another
process is dropped when that process next checkpoints. `Memory.user(name)`
afterwards gives a new, empty user of that name.
"""

from __future__ import annotations

from .logs import Logs


def erase_user(logs: Logs, name: str) -> bool:
    """Erases the user `name` (a checked name) from the store and the cache;
    False when no user has that name."""
    uid = logs.store.erase_user(name)
    if uid is None:
        return False
    logs.drop(uid)
    return True
