"""Framing and checksums of index snapshots stored in parts.

A snapshot is `KivIndex.to_bytes()` cut into parts of at most `part_size`
bytes (databases cap a single value near 1 GB; a large index exceeds that).
Each part gets a checksum: a position-weighted sum of its little-endian 64-bit
words modulo 2**64 (odd weights, so changing any single word changes it, and
moved words almost always do), plus its length. numpy computes it at memory
speed, about twice as fast as zlib.crc32 here, which keeps reopening a large
memory close to the cost of loading the index itself.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

from .store import SnapshotHeader

CHECKSUM_KIND = "wsum64"
_MASK = (1 << 64) - 1
_BLOCK_WORDS = 1 << 18  # 2 MiB of words per numpy pass: stays in cache


class SnapshotError(Exception):
    """A stored snapshot that cannot be trusted (checksum, size or shape)."""


def part_checksum(data: bytes | memoryview) -> str:
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


def checksum_field(parts: Sequence[bytes | memoryview]) -> str:
    """The header's checksum text: the kind, then one checksum per part."""
    return " ".join([CHECKSUM_KIND, *(part_checksum(part) for part in parts)])


def verified_bytes(header: SnapshotHeader, parts: Sequence[bytes]) -> bytes:
    """The snapshot's bytes, after checking every part against the header.

    Raises SnapshotError when a part is missing, has the wrong size or fails
    its checksum."""
    fields = header.checksum.split(" ")
    if fields[0] != CHECKSUM_KIND:
        raise SnapshotError(f"unknown checksum kind {fields[0]!r}")
    expected = fields[1:]
    if len(parts) != header.part_count or len(expected) != header.part_count:
        raise SnapshotError(
            f"snapshot has {len(parts)} parts and {len(expected)} checksums, "
            f"expected {header.part_count}"
        )
    if sum(len(part) for part in parts) != header.size:
        raise SnapshotError("snapshot size differs from its header")
    for number, (part, checksum) in enumerate(zip(parts, expected, strict=True)):
        if part_checksum(part) != checksum:
            raise SnapshotError(f"snapshot part {number} fails its checksum")
    return parts[0] if len(parts) == 1 else b"".join(parts)
