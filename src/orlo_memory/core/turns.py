"""A stored turn as the API returns it."""

from __future__ import annotations

import json

from ..contract.results import Turn
from ..contract.values import from_us
from ..stores.records import BOUNDARY_DOCUMENT, StoredTurn


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
