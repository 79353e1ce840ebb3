"""Turns found by a caller's own names (aliases): the LangChain store keeps its
documents as turns and lets its callers name them by ids of their choosing,
which need not be turn ids. A turn stored with an alias answers to it; a turn
without one answers to its own id. Storing under an alias that a live turn
answers to replaces that turn in the same transaction.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from ..contract.results import Turn
from ..contract.turns import NewTurn
from .logs import guarded
from .turns import stored_to_turn
from .user import UserMemory


class AliasedUserMemory(UserMemory):
    """A user's memory that also stores, finds and forgets turns by alias."""

    @classmethod
    def of(cls, user: UserMemory) -> AliasedUserMemory:
        """The same user's memory, with the calls by alias."""
        return cls(user._logs, user._embedder, user.name, user._uid)

    @guarded
    def add_aliased(
        self, turns: Sequence[NewTurn], aliases: Sequence[str], *, embeddings: Any, role: str
    ) -> list[str]:
        """Stores `turns` (the i-th answering to aliases[i]) in place of the
        live turns that answer to those aliases, in one transaction."""
        entries = [
            entry._replace(alias=alias)
            for entry, alias in zip(self._entries(turns, role), aliases, strict=True)
        ]
        matrix = self._embeddings(turns, entries, embeddings, False)
        return self._log.append(entries, matrix, replacing_aliases=aliases)

    @guarded
    def forget_aliased(self, aliases: Sequence[str]) -> int:
        """Forgets the live turns answering to `aliases`; returns how many."""
        return self._log.forget(aliases=aliases) if aliases else 0

    @guarded
    def get_aliased(self, aliases: Sequence[str]) -> dict[str, Turn]:
        """The newest live turn answering to each alias (those that have one)."""
        found = self._log.by_alias(aliases)
        return {alias: stored_to_turn(turns[-1]) for alias, turns in found.items()}
