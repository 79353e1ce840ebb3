"""What both servers do with the library: find a caller's user, call the
memory, and turn its results into JSON values.

No ranking or storage here: every answer is a `UserMemory` call's, only
reshaped. A user is created by writing to it, never by reading, and a caller
sees a user it may not reach exactly as one that does not exist.
"""

from __future__ import annotations

import threading

from ...core.memory import Memory
from ...core.user import UserMemory
from ...errors import UnknownIdError
from .access import Principal


class Users:
    """The users of one memory as callers may reach them (thread-safe)."""

    def __init__(self, memory: Memory) -> None:
        self.memory = memory
        self._known: set[str] = set()
        self._lock = threading.Lock()

    def existing(self, principal: Principal, name: str) -> UserMemory:
        """The user `name`; UnknownIdError when it does not exist or the
        caller may not reach it (the same answer, so nothing is revealed)."""
        if principal.allows(name) and self._exists(name):
            return self.memory.user(name)
        raise UnknownIdError(f"no user {name!r}")

    def writable(self, principal: Principal, name: str) -> UserMemory:
        """The user `name`, created when missing; UnknownIdError when the
        caller may not reach it."""
        if not principal.allows(name):
            raise UnknownIdError(f"no user {name!r}")
        user = self.memory.user(name)
        with self._lock:
            self._known.add(name)
        return user

    def visible(self, principal: Principal) -> list[str]:
        return principal.visible(self.memory.users())

    def _exists(self, name: str) -> bool:
        # Users are never deleted: a name seen once stays valid, and only a
        # miss asks the store (another process may have created the user).
        with self._lock:
            if name in self._known:
                return True
        names = self.memory.users()
        with self._lock:
            self._known.update(names)
            return name in self._known
