"""What the data commands print: with --json the memory's shared JSON shapes,
one object per line; otherwise one line per result, for reading."""

from __future__ import annotations

import json
import sys
from collections.abc import Sequence
from typing import Any

from ...contract.results import Hit, MemoryStats, SessionInfo
from ...contract.shapes import hit_json, session_json, stats_json

# What the internal words in `stats` mean, printed under the counts.
STATS_LEGEND = (
    "head seq: events in the user's log; epoch: how often its index was rebuilt;\n"
    "snapshot seq: the last event its saved index holds"
)


def _print_json(entry: Any) -> None:
    print(json.dumps(entry, ensure_ascii=False))


def print_hits(hits: Sequence[Hit], as_json: bool) -> None:
    for rank, hit in enumerate(hits, start=1):
        if as_json:
            _print_json(hit_json(hit))
        else:
            when = hit.created_at.strftime("%Y-%m-%d %H:%M")
            text = " ".join(hit.text.split())
            session = hit.session_id[:8]
            print(f"{rank:>2}. {hit.score:.4f}  {when}  {hit.role:<9}  {session}  {text}")
    if not hits and not as_json:
        print("no matching turns", file=sys.stderr)


def print_sessions(found: Sequence[SessionInfo], as_json: bool) -> None:
    for info in found:
        if as_json:
            _print_json(session_json(info))
        else:
            score = "" if info.score is None else f"{info.score:.4f}  "
            when = info.created_at.strftime("%Y-%m-%d %H:%M")
            title = info.title or "(untitled)"
            print(f"{score}{info.id}  {when}  {info.turn_count:>5} turns  {title}")
    if not found and not as_json:
        print("no sessions", file=sys.stderr)


def print_stats(rows: Sequence[MemoryStats], as_json: bool) -> None:
    for stats in rows:
        entry = stats_json(stats)
        if as_json:
            _print_json(entry)
        else:
            print(f"user {stats.user!r}")
            for key, value in entry.items():
                if key != "user":
                    print(f"  {key.replace('_', ' ')}: {value}")
    if as_json:
        return
    if rows:
        print(STATS_LEGEND)
    else:
        print("no users yet", file=sys.stderr)
