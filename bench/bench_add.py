"""Cost of `KivIndex.add` from a Python list, against merely converting the list.

Prints, for 384 and 1536 dimensions, the time per add and its ratio to
`array.array('f', the_list)` on the same lists (the conversion any caller pays),
then the resident memory per stored chunk after 100,000 adds at 1536 dimensions
as a ratio to the raw embedding (6,144 bytes).

Usage: python bench/bench_add.py [--adds N]
"""

import argparse
import array
import gc
import os
import random
import time

import orlo_kiv

POOL = 64  # distinct lists cycled through, so the inputs are not one hot object


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def make_pool(dim, seed=7):
    rng = random.Random(seed)
    return [[rng.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(POOL)]


def best_per_call(function, pool, calls, repeats=5):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for i in range(calls):
            function(pool[i % POOL])
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def time_case(dim, calls):
    pool = make_pool(dim)
    convert = best_per_call(lambda v: array.array("f", v), pool, calls)
    index = orlo_kiv.KivIndex.cosine(dim)
    add = best_per_call(index.add, pool, calls)
    return add, convert


def memory_case(dim, adds):
    pool = make_pool(dim)
    gc.collect()
    before = resident_bytes()
    index = orlo_kiv.KivIndex.cosine(dim)
    for i in range(adds):
        index.add(pool[i % POOL])
    after = resident_bytes()
    assert len(index) == adds
    return (after - before) / adds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--adds", type=int, default=100_000)
    parser.add_argument("--calls", type=int, default=2_000)
    args = parser.parse_args()

    # Memory first: freed heap from the timing runs would otherwise be reused
    # by the measured index and hide part of its cost.
    per_chunk = memory_case(1536, args.adds)

    print(f"{'dims':>6} {'add (us)':>10} {'array(f) (us)':>14} {'add/convert':>12}")
    for dim in (384, 1536):
        add, convert = time_case(dim, args.calls)
        print(f"{dim:>6} {add * 1e6:>10.2f} {convert * 1e6:>14.2f} {add / convert:>12.3f}")

    print()
    print(f"{'adds':>8} {'bytes/chunk':>12} {'raw bytes':>10} {'ratio':>7}")
    print(f"{args.adds:>8} {per_chunk:>12.0f} {6144:>10} {per_chunk / 6144:>7.3f}")


if __name__ == "__main__":
    main()
