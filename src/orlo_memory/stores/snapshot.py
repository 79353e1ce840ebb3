"""Checksums of index snapshots, and cutting them into parts for backends.

A snapshot is `KivIndex.to_bytes()`; a backend that stores it in database
values cuts it into parts (databases cap a single value near 1 GB, a large
index exceeds that). The checksum is XXH3-128 of the data (the xxhash
package), with its length: a real hash, which any pattern of flipped bits
changes, and fast (about 0.1 s per GiB here, memory speed), so reopening a
large memory stays close to the cost of loading the index itself.

Snapshots written before carry "wsum64": a position-weighted and a plain sum
of the little-endian 64-bit words modulo 2**64. Those sums cannot see an
even number of flips of bit 63 across words, but any other single change;
such a snapshot is still read, verified by its own sums, until the next
checkpoint replaces it (so an upgrade costs no rebuild).
"""

from __future__ import annotations

import mmap

import numpy as np
import xxhash

from .records import SnapshotHeader

CHECKSUM_KIND = "xxh3-128"
LEGACY_KIND = "wsum64"
_MASK = (1 << 64) - 1
_BLOCK_WORDS = 1 << 18  # 2 MiB of words per numpy pass: stays in cache

Data = bytes | memoryview | mmap.mmap


class SnapshotError(Exception):
    """A stored snapshot that cannot be trusted (checksum, size or shape)."""


def part_checksum(data: Data) -> str:
    """The checksum of `data` as the header stores it after the kind."""
    return f"{xxhash.xxh3_128_intdigest(data):032x}:{len(data)}"


def legacy_checksum(data: Data) -> str:
    """The older "wsum64" checksum, for snapshots written before XXH3."""
    view = memoryview(data).cast("B")
    size = len(view)
    words = size // 8
    plain = 0
    weighted = 0
    if words:
        array = np.frombuffer(view, dtype="<u8", count=words)
        weights = np.arange(1, 2 * min(words, _BLOCK_WORDS), 2, dtype=np.uint64)
        for start in range(0, words, _BLOCK_WORDS):
            block = array[start : start + _BLOCK_WORDS]
            block_sum = int(block.sum(dtype=np.uint64))
            block_weighted = int((block * weights[: len(block)]).sum(dtype=np.uint64))
            plain = (plain + block_sum) & _MASK
            # Weights continue across blocks: w(start + i) = w(i) + 2 * start.
            weighted = (weighted + block_weighted + 2 * start * block_sum) & _MASK
    tail = bytes(view[words * 8 :]).ljust(8, b"\0")
    plain = (plain + int.from_bytes(tail, "little")) & _MASK
    weighted = (weighted + (2 * words + 1) * int.from_bytes(tail, "little")) & _MASK
    return f"{plain:016x}{weighted:016x}:{size}"


_CHECKSUMS = {CHECKSUM_KIND: part_checksum, LEGACY_KIND: legacy_checksum}


def split_parts(data: bytes, part_size: int) -> list[memoryview]:
    """Views of consecutive parts of `data` (no copies); at least one part."""
    view = memoryview(data)
    if len(view) <= part_size:
        return [view]
    return [view[start : start + part_size] for start in range(0, len(view), part_size)]


def snapshot_checksum(data: bytes | memoryview) -> str:
    """The header's checksum text: the kind, then the checksum of the data."""
    return f"{CHECKSUM_KIND} {part_checksum(data)}"


def verify(header: SnapshotHeader, data: bytes | mmap.mmap) -> None:
    """Raises SnapshotError unless `data` has the header's size and checksum
    (of either kind)."""
    kind, _, expected = header.checksum.partition(" ")
    checksum = _CHECKSUMS.get(kind)
    if checksum is None:
        raise SnapshotError(f"unknown checksum kind {kind!r}")
    if len(data) != header.size:
        raise SnapshotError(f"snapshot holds {len(data)} bytes, its header says {header.size}")
    if checksum(data) != expected:
        raise SnapshotError("snapshot fails its checksum")
