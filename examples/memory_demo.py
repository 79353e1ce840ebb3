"""What orlo_memory is for, in one run (`make demo`).

Imports the sample conversation (examples/data/conversation.jsonl: three
months of one user's chats, 506 turns in 18 sessions) into a memory file,
embedded with the packaged all-MiniLM-L6-v2 model; asks it a few questions
by meaning (vector), by words (lexical) and by both (hybrid, the default),
showing each hit's place in the two rankings; ranks the conversations by
topic; then prints how to serve that file to an assistant over MCP and how to
browse it in the inspector page.

Needs the `embed` extra and the model package (`make install` sets them up).
Run: python examples/memory_demo.py [--db PATH]   (default: build/demo/memory.db)
"""

from __future__ import annotations

import argparse
import sys
import textwrap
import time
from pathlib import Path

from orlo_memory import Hit, Memory, read_turns
from orlo_memory.embedders import Embedder, MissingExtraError, open_embedder

ROOT = Path(__file__).resolve().parent.parent
CONVERSATION = ROOT / "examples" / "data" / "conversation.jsonl"
USER = "maya"
QUESTIONS = [
    "when are we flying to Lisbon and back?",
    "what is the dog's name?",
    "how much did the kitchen worktop cost?",
]
MODES = ("vector", "lexical", "hybrid")


def rank(place: int | None) -> str:
    return "-" if place is None else str(place)


def show(hits: list[Hit]) -> None:
    for hit in hits:
        text = textwrap.shorten(hit.text, 70, placeholder=" ...")
        print(
            f"    {hit.score:6.3f}  vector #{rank(hit.vector_rank):<3} "
            f"lexical #{rank(hit.lexical_rank):<3} {hit.role:<9} {text}"
        )


def load_model() -> Embedder:
    try:
        embedder = open_embedder()  # the packaged model on ONNX Runtime
    except MissingExtraError as error:
        sys.exit(f"the demo needs the embedding model: {error}")
    assert embedder is not None
    return embedder


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--db", default=str(ROOT / "build" / "demo" / "memory.db"))
    args = parser.parse_args()
    path = Path(args.db)
    path.parent.mkdir(parents=True, exist_ok=True)
    # A fresh file each run: the snapshot directory goes with it.
    for stale in (path, Path(f"{path}-wal"), Path(f"{path}-shm")):
        stale.unlink(missing_ok=True)
    for snapshot in Path(f"{path}-snapshots").glob("*"):
        snapshot.unlink()

    started = time.perf_counter()
    embedder = load_model()
    print(f"model all-MiniLM-L6-v2 loaded in {time.perf_counter() - started:.1f} s")
    turns = read_turns(CONVERSATION.read_text(encoding="utf-8").splitlines(), CONVERSATION.name)
    with Memory.open(path, embedder=embedder) as memory:
        user = memory.user(USER)
        started = time.perf_counter()
        user.add_many(turns, progress=False)
        stats = user.stats()
        print(
            f"imported {stats.turns} turns in {stats.sessions} sessions for {USER!r} "
            f"in {time.perf_counter() - started:.1f} s into {path}"
        )
        for question in QUESTIONS:
            print(f"\n{question!r}")
            for mode in MODES:
                print(f"  {mode}:")
                show(user.search(question, 3, mode=mode))
        print("\nconversations closest to 'home renovation':")
        for info in user.sessions("home renovation", k=3):
            print(f"    {info.score or 0.0:.3f}  {info.turn_count:>3} turns  {info.title}")

    shown = path.relative_to(Path.cwd()) if path.is_relative_to(Path.cwd()) else path
    scripts = Path(sys.executable).parent  # this environment's commands
    program = scripts.relative_to(Path.cwd()) if scripts.is_relative_to(Path.cwd()) else scripts
    print(
        f"""
Next steps (the `server` extra: pip install '.[server]'):
  an assistant's memory over MCP (stdio), e.g. in a desktop assistant's configuration:
    "mcpServers": {{"memory": {{"command": "orlo-memory",
                              "args": ["mcp", "{path}", "--user", "{USER}"]}}}}
  the HTTP API and the inspector page:
    {program}/orlo-memory serve {shown}     # then open http://127.0.0.1:8765/
  search from the command line:
    {program}/orlo-memory search {shown} "when is the flight?" --user {USER}"""
    )


if __name__ == "__main__":
    main()
