"""Cost of `to_bytes`, `from_bytes`, `save` and `load` against numpy moving the
same number of bytes.

Builds an index of N chunks (default 100,000) at 1536 dimensions, grouped 50 to
a document and 50 documents to a session, then times each operation (best of
several runs) and prints its ratio to numpy: `tobytes` for `to_bytes`,
`frombuffer(...).copy()` for `from_bytes`, `tofile` for `save` and `fromfile`
for `load`. The ratios of save and load are measured in a memory-backed
directory (/dev/shm when there is one), where syncing costs nothing; the cost of
syncing to the disk under the working directory is reported on its own.

Usage: python bench/bench_persist.py [--chunks N] [--dims D] [--repeats R] [--disk-dir DIR]
"""

import argparse
import gc
import os
import pathlib
import struct
import tempfile
import time

import numpy as np

import orlo_kiv

FAN_OUT = 50


def ids(first, count):
    """`count` distinct non-zero 16-byte ids as a (count, 16) uint8 array."""
    numbers = np.arange(first, first + count, dtype=">u8")
    out = np.zeros((count, 16), dtype=np.uint8)
    out[:, 8:] = numbers.view(np.uint8).reshape(count, 8)
    out[:, 0] = 0x4B
    return out


def branch_records(level, own_ids, child_ids, d, rng):
    """Records of one level whose children are `child_ids`, FAN_OUT per parent."""
    parts = []
    for i, own in enumerate(own_ids):
        children = child_ids[i * FAN_OUT : (i + 1) * FAN_OUT]
        vector = rng.standard_normal(d, dtype=np.float32)
        parts.append(
            own.tobytes()
            + struct.pack("<BQI", level, 1_700_000_000_000, len(children))
            + children.tobytes()
            + struct.pack("<Q", len(children))
            + vector.tobytes()
            + b"\x01"
            + (vector * len(children)).tobytes()
        )
    return b"".join(parts)


def serialised_index(chunks, d, seed=11):
    """The bytes of an index of `chunks` chunks, built directly with numpy."""
    rng = np.random.default_rng(seed)
    record = np.dtype(
        [
            ("id", "V16"),
            ("level", "u1"),
            ("timestamp", "<u8"),
            ("children", "<u4"),
            ("points", "<u8"),
            ("centroid", "<f4", (d,)),
            ("has_sum", "u1"),
            ("sum", "<f4", (d,)),
        ]
    )
    chunk_ids = ids(1, chunks)
    records = np.zeros(chunks, dtype=record)
    records["id"] = chunk_ids.view("V16").reshape(chunks)
    records["level"] = 3
    records["timestamp"] = 1_700_000_000_000 + np.arange(chunks)
    records["points"] = 1
    records["has_sum"] = 1
    for start in range(0, chunks, 10_000):
        block = rng.standard_normal((min(10_000, chunks - start), d), dtype=np.float32)
        records["centroid"][start : start + len(block)] = block
        records["sum"][start : start + len(block)] = block
    documents = -(-chunks // FAN_OUT)
    sessions = -(-documents // FAN_OUT)
    document_ids = ids(10**9, documents)
    session_ids = ids(2 * 10**9, sessions)
    root_id = ids(3 * 10**9, 1)
    count = chunks + documents + sessions + 1
    header = b"KIV\0" + struct.pack("<IIQ", 1, d, count) + root_id.tobytes()
    trailer = session_ids[-1].tobytes() + document_ids[-1].tobytes() + b"\0"
    return b"".join(
        [
            header,
            branch_records(0, root_id, session_ids, d, rng),
            branch_records(1, session_ids, document_ids, d, rng),
            branch_records(2, document_ids, chunk_ids, d, rng),
            records.tobytes(),
            trailer,
        ]
    )


def best(function, repeats):
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def memory_directory():
    shm = pathlib.Path("/dev/shm")
    return tempfile.TemporaryDirectory(dir=shm if shm.is_dir() else None)


def write_and_sync(array, path):
    with open(path, "wb") as f:
        array.tofile(f)
        f.flush()
        os.fsync(f.fileno())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--chunks", type=int, default=100_000)
    parser.add_argument("--dims", type=int, default=1536)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--disk-dir", default=".", help="directory on disk for the sync timing")
    args = parser.parse_args()

    data = serialised_index(args.chunks, args.dims)
    size = len(data)
    raw = np.frombuffer(data, dtype=np.uint8).copy()
    index = orlo_kiv.KivIndex.from_bytes(data)
    assert len(index) == args.chunks

    rows = []

    def compare(name, ours, theirs):
        ours_time = best(ours, args.repeats)
        theirs_time = best(theirs, args.repeats)
        rows.append((name, ours_time, theirs_time))

    compare("to_bytes / tobytes", index.to_bytes, raw.tobytes)
    compare(
        "from_bytes / frombuffer().copy()",
        lambda: orlo_kiv.KivIndex.from_bytes(data),
        lambda: np.frombuffer(data, dtype=np.uint8).copy(),
    )
    with memory_directory() as directory:
        ours_path = os.path.join(directory, "index.kiv")
        numpy_path = os.path.join(directory, "array.bin")
        compare(
            "save / tofile (memory fs)",
            lambda: index.save(ours_path),
            lambda: raw.tofile(numpy_path),
        )
        compare(
            "load / fromfile (memory fs)",
            lambda: orlo_kiv.KivIndex.load(ours_path),
            lambda: np.fromfile(numpy_path, dtype=np.uint8),
        )
    with tempfile.TemporaryDirectory(dir=args.disk_dir) as directory:
        ours_path = os.path.join(directory, "index.kiv")
        numpy_path = os.path.join(directory, "array.bin")
        disk_save = best(lambda: index.save(ours_path), args.repeats)
        disk_write_sync = best(lambda: write_and_sync(raw, numpy_path), args.repeats)
        disk_write = best(lambda: raw.tofile(numpy_path), args.repeats)

    print(f"{args.chunks:,} chunks at {args.dims} dimensions: {size / 1e6:,.1f} MB serialised")
    print(f"{'operation':36} {'ours (s)':>9} {'numpy (s)':>10} {'ratio':>6}")
    for name, ours_time, theirs_time in rows:
        print(f"{name:36} {ours_time:9.3f} {theirs_time:10.3f} {ours_time / theirs_time:6.2f}")
    print()
    print(f"on disk ({os.path.abspath(args.disk_dir)}):")
    print(f"  save (write + fsync + rename + directory fsync)  {disk_save:7.3f} s")
    print(
        f"  numpy tofile + fsync                             {disk_write_sync:7.3f} s"
        f"   ratio {disk_save / disk_write_sync:.2f}"
    )
    print(f"  numpy tofile alone                               {disk_write:7.3f} s")
    print(
        f"  fsync share of a synced write                    {disk_write_sync - disk_write:7.3f} s"
    )


if __name__ == "__main__":
    main()
