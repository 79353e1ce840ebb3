"""A least-recently-used cache of loaded user indexes, bounded by bytes.

Entries report their own estimated size; the cache keeps each entry's size
as last reported and their running total, so that a change costs one entry's
report (`resized`) whatever the number of entries. After an insertion or a
growth the least recently used entries are evicted (never the one just used)
until the total fits the budget. Eviction calls `on_evict` first, which
queues an index that has events after its snapshot for a checkpoint. The
cache is not thread-safe by itself: its owner (logs.py) holds a lock around
every call.
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
        self._entries: OrderedDict[K, tuple[V, int]] = OrderedDict()
        self._total = 0

    def get(self, key: K) -> V | None:
        entry = self._entries.get(key)
        if entry is None:
            return None
        self._entries.move_to_end(key)
        return entry[0]

    def put(self, key: K, value: V) -> None:
        self.pop(key)
        size = value.memory_bytes()
        self._entries[key] = (value, size)
        self._total += size
        self.shrink()

    def resized(self, key: K) -> None:
        """Takes note of the entry's new size (it grew or shrank in place),
        then evicts others while the total exceeds the budget."""
        entry = self._entries.get(key)
        if entry is not None:
            size = entry[0].memory_bytes()
            self._entries[key] = (entry[0], size)
            self._total += size - entry[1]
        self.shrink()

    def pop(self, key: K) -> V | None:
        entry = self._entries.pop(key, None)
        if entry is None:
            return None
        self._total -= entry[1]
        return entry[0]

    def shrink(self) -> None:
        """Evicts least recently used entries until the rest fit the budget;
        the most recently used entry always stays."""
        while len(self._entries) > 1 and self._total > self._budget:
            key, (value, _) = next(iter(self._entries.items()))
            self._on_evict(key, value)
            self.pop(key)

    def total_bytes(self) -> int:
        return self._total

    def keys(self) -> list[K]:
        return list(self._entries)

    def items(self) -> Iterator[tuple[K, V]]:
        return iter([(key, value) for key, (value, _) in self._entries.items()])

    def clear(self) -> None:
        self._entries.clear()
        self._total = 0
