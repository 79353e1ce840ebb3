"""Checksums of index snapshots, and cutting them into parts for backends.

A snapshot is `KivIndex.to_bytes()`; a backend that stores it in database
values cuts it into parts (databases cap a single value near 1 GB, a large
index exceeds that). The checksum is a position-weighted sum of the data's
little-endian 64-bit words modulo 2**64 (odd weights, so changing any single
word changes it, and moved words almost always do), a plain sum, and the
length. numpy computes it at memory speed, about twice as fast as zlib.crc32
here, which keeps reopening a large memory close to the cost of loading the
index itself.
"""

from __future__ import annotations

import mmap

import numpy as np

from .records import SnapshotHeader

CHECKSUM_KIND = "wsum64"
_MASK = (1 << 64) - 1
_BLOCK_WORDS = 1 << 18  # 2 MiB of words per numpy pass: stays in cache


class SnapshotError(Exception):
    """A stored snapshot that cannot be trusted (checksum, size or shape)."""


def part_checksum(data: bytes | memoryview | mmap.mmap) -> str:
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
    """Raises SnapshotError unless `data` has the header's size and checksum."""
    kind, _, expected = header.checksum.partition(" ")
    if kind != CHECKSUM_KIND:
        raise SnapshotError(f"unknown checksum kind {kind!r}")
    if len(data) != header.size:
        raise SnapshotError(f"snapshot holds {len(data)} bytes, its header says {header.size}")
    if part_checksum(data) != expected:
        raise SnapshotError("snapshot fails its checksum")
