"""Stored turns and sessions as the API returns them."""

from __future__ import annotations

import json

from ..contract.results import SessionInfo, Turn
from ..contract.values import from_us
from ..stores.records import BOUNDARY_DOCUMENT, SessionRecord, StoredTurn


def stored_to_turn(stored: StoredTurn) -> Turn:
    return Turn(
        id=stored.id,
        text=stored.text,
        role=stored.role,
        session_id=stored.session_id,
        created_at=from_us(stored.created_us),
        metadata=json.loads(stored.metadata) if stored.metadata else {},
        new_topic=stored.boundary == BOUNDARY_DOCUMENT,
        seq=stored.seq,
    )


def session_info(record: SessionRecord, score: float | None = None) -> SessionInfo:
    return SessionInfo(
        id=record.id,
        title=record.title,
        created_at=from_us(record.created_us),
        turn_count=record.turn_count,
        score=score,
    )
