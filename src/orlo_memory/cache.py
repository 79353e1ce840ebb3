"""A least-recently-used cache of loaded user indexes, bounded by bytes.

Entries report their own estimated size; after an insertion or a growth the
least recently used entries are evicted (never the one just used) until the
total fits the budget. Eviction calls `on_evict` first, which checkpoints an
index that has events after its snapshot.
"""

from __future__ import annotations

from collections import OrderedDict
from collections.abc import Callable, Iterator
from typing import Generic, Protocol, TypeVar


class Sized(Protocol):
    def memory_bytes(self) -> int: ...


K = TypeVar("K")
V = TypeVar("V", bound=Sized)


class LruCache(Generic[K, V]):
    def __init__(self, budget_bytes: int, on_evict: Callable[[K, V], None]) -> None:
        self._budget = budget_bytes
        self._on_evict = on_evict
        self._entries: OrderedDict[K, V] = OrderedDict()

    def get(self, key: K) -> V | None:
        value = self._entries.get(key)
        if value is not None:
            self._entries.move_to_end(key)
        return value

    def put(self, key: K, value: V) -> None:
        self._entries[key] = value
        self._entries.move_to_end(key)
        self.shrink()

    def pop(self, key: K) -> V | None:
        return self._entries.pop(key, None)

    def shrink(self) -> None:
        """Evicts least recently used entries until the rest fit the budget;
        the most recently used entry always stays."""
        while len(self._entries) > 1 and self.total_bytes() > self._budget:
            key, value = next(iter(self._entries.items()))
            self._on_evict(key, value)
            self._entries.pop(key, None)

    def total_bytes(self) -> int:
        return sum(value.memory_bytes() for value in self._entries.values())

    def keys(self) -> list[K]:
        return list(self._entries)

    def items(self) -> Iterator[tuple[K, V]]:
        return iter(list(self._entries.items()))

    def clear(self) -> None:
        self._entries.clear()
