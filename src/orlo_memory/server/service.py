"""What both servers do with the library: find a caller's user, call the
memory, and turn its results into JSON values.

No ranking or storage here: every answer is a `UserMemory` call's, only
reshaped. A user is created by writing to it, never by reading, and a caller
sees a user it may not reach exactly as one that does not exist.
"""

from __future__ import annotations

import threading
from datetime import datetime
from typing import Any

from ..errors import InvalidInputError, UnknownIdError
from ..memory import Memory
from ..results import Hit, MemoryStats, SessionInfo, Turn
from ..user import UserMemory
from .access import Principal


def iso(moment: datetime) -> str:
    return moment.isoformat().replace("+00:00", "Z")


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
        _check_name(name)
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


def _check_name(name: str) -> None:
    if "\0" in name or not name.strip():
        raise InvalidInputError("a user name must be non-blank text without NUL characters")


def hit_json(hit: Hit) -> dict[str, Any]:
    return {
        "id": hit.id,
        "text": hit.text,
        "score": hit.score,
        "role": hit.role,
        "session": hit.session_id,
        "created_at": iso(hit.created_at),
        "metadata": hit.metadata,
        "vector_score": hit.vector_score,
        "vector_rank": hit.vector_rank,
        "lexical_rank": hit.lexical_rank,
    }


def turn_json(turn: Turn) -> dict[str, Any]:
    return {
        "id": turn.id,
        "text": turn.text,
        "role": turn.role,
        "session": turn.session_id,
        "created_at": iso(turn.created_at),
        "metadata": turn.metadata,
        "new_topic": turn.new_topic,
        "seq": turn.seq,
    }


def session_json(info: SessionInfo) -> dict[str, Any]:
    return {
        "id": info.id,
        "title": info.title,
        "created_at": iso(info.created_at),
        "turns": info.turn_count,
        "score": info.score,
    }


def stats_json(stats: MemoryStats) -> dict[str, Any]:
    return {
        "user": stats.user,
        "turns": stats.turns,
        "sessions": stats.sessions,
        "forgotten": stats.forgotten,
        "head_seq": stats.head_seq,
        "epoch": stats.epoch,
        "snapshot_seq": stats.snapshot_seq,
        "events_after_snapshot": stats.events_after_snapshot,
        "index_points": stats.index_points,
        "dimension": stats.dimension,
    }
