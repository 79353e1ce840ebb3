"""Cost of `KivIndex.add` from a Python list, against merely converting the list.

Prints, for 384 and 1536 dimensions, the time per add and its ratio to
`array.array('f', the_list)` on the same lists (the conversion any caller pays),
then the resident memory per stored chunk after 100,000 adds (documents of 50
chunks, as the fill limit makes them) as a ratio to the raw embedding. Each
case runs in a fresh process: a process that has just freed another index
would hand its memory to the next one and hide the page faults that a growing
index pays. Memory is the growth of that process's anonymous resident memory
while the index is built.

Usage: python bench/bench_add.py [--adds N]
"""

import argparse
import array
import gc
import random
import subprocess
import sys
import time

import orlo_kiv

POOL = 64  # distinct lists cycled through, so the inputs are not one hot object


def anonymous_resident_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no RssAnon in /proc/self/status")


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


def memory_child(dim, adds):
    """Run in a fresh process: build the index, print the growth per chunk."""
    pool = make_pool(dim)
    gc.collect()
    before = anonymous_resident_bytes()
    index = orlo_kiv.KivIndex.cosine(dim)
    for i in range(adds):
        index.add(pool[i % POOL])
    after = anonymous_resident_bytes()
    assert len(index) == adds
    print((after - before) / adds)


def timing_child(dim, calls):
    """Run in a fresh process: print the add and conversion times per call."""
    add, convert = time_case(dim, calls)
    print(add, convert)


def in_fresh_process(role, dim, count):
    command = [sys.executable, __file__, role, str(dim), str(count)]
    output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return [float(word) for word in output.split()]


CHILDREN = {"--memory-child": memory_child, "--timing-child": timing_child}


def main():
    if len(sys.argv) == 4 and sys.argv[1] in CHILDREN:
        CHILDREN[sys.argv[1]](int(sys.argv[2]), int(sys.argv[3]))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--adds", type=int, default=100_000)
    parser.add_argument("--calls", type=int, default=2_000)
    args = parser.parse_args()

    print(f"{'dims':>6} {'add (us)':>10} {'array(f) (us)':>14} {'add/convert':>12}")
    for dim in (384, 1536):
        add, convert = in_fresh_process("--timing-child", dim, args.calls)
        print(f"{dim:>6} {add * 1e6:>10.2f} {convert * 1e6:>14.2f} {add / convert:>12.3f}")

    print()
    print(f"{'dims':>6} {'adds':>9} {'bytes/chunk':>12} {'raw bytes':>10} {'ratio':>7}")
    for dim in (384, 1536):
        (per_chunk,) = in_fresh_process("--memory-child", dim, args.adds)
        raw = 4 * dim
        print(f"{dim:>6} {args.adds:>9,} {per_chunk:>12.0f} {raw:>10} {per_chunk / raw:>7.3f}")


if __name__ == "__main__":
    main()
