"""The sessions' running sums: each session keeps its live turn count and the
sum of its live turns' normalised embeddings (float64), updated by every
write in the write's own transaction. `sessions(query)` ranks the sessions
none of whose turns is a search candidate by the cosine to that sum's
direction, without reading their turns.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import replace

import numpy as np

from ..embedders import FloatMatrix
from ..stores.protocol import Store
from ..stores.records import SessionRecord, StoredTurn, TurnRecord

SESSION_SUM_DTYPE = "<f8"

# A session's change in one write: turns gained (or lost, negative) and the
# sum of their normalised embeddings (subtracted for the lost).
Changes = dict[str, tuple[int, np.ndarray]]


def save_session_sums(
    store: Store,
    uid: int,
    opened: dict[str, SessionRecord],
    records: Sequence[TurnRecord],
    matrix: FloatMatrix,
    gone: Sequence[StoredTurn],
) -> None:
    """Inside a write's transaction: stores the sessions `opened` by the
    write and the counts and sums of every session that gained turns
    (`records`, their embeddings the rows of `matrix`) or lost them (`gone`,
    read with their embeddings)."""
    changes: Changes = {}
    _sum_by_session(changes, [record.session_id for record in records], matrix, 1)
    if gone:
        vectors = np.frombuffer(b"".join(turn.embedding or b"" for turn in gone), dtype="<f4")
        lost = vectors.reshape(len(gone), matrix.shape[1])
        _sum_by_session(changes, [turn.session_id for turn in gone], lost, -1)
    known = [session_id for session_id in changes if session_id not in opened]
    sessions = {s.id: s for s in store.sessions(uid, known)} if known else {}
    sessions.update(opened)
    updated = []
    for session_id, (count, total) in changes.items():
        session = sessions.get(session_id)
        if session is None:
            continue
        if session.vector_sum is not None:
            total = total + np.frombuffer(session.vector_sum, dtype=SESSION_SUM_DTYPE)
        count += session.turn_count
        blob = total.astype(SESSION_SUM_DTYPE).tobytes() if count > 0 else None
        updated.append(replace(session, turn_count=count, vector_sum=blob))
    store.save_sessions(uid, updated)


def mean_direction_cosine(record: SessionRecord, unit: FloatMatrix) -> float | None:
    """The cosine of the session's mean turn direction to the unit vector
    `unit`, or None when it has no live turn."""
    if record.vector_sum is None or record.turn_count <= 0:
        return None
    total = np.frombuffer(record.vector_sum, dtype=SESSION_SUM_DTYPE)
    norm = float(np.linalg.norm(total))
    return float(total @ unit) / norm if norm > 0.0 else None


def _sum_by_session(
    changes: Changes, session_ids: Sequence[str], matrix: FloatMatrix, sign: int
) -> None:
    """Adds (sign 1) or subtracts (sign -1) each row's normalised embedding
    to its session's entry of `changes`."""
    if not session_ids:
        return
    norms = np.sqrt(np.einsum("ij,ij->i", matrix, matrix))
    scale = np.divide(1.0, norms, out=np.zeros_like(norms), where=norms > 0)
    start = 0
    # Rows come in runs of one session: sum each run.
    for row in range(1, len(session_ids) + 1):
        if row == len(session_ids) or session_ids[row] != session_ids[start]:
            session_id = session_ids[start]
            count, total = changes.get(session_id, (0, np.zeros(matrix.shape[1], np.float64)))
            # scale @ rows: the sum of the normalised rows.
            total += sign * (scale[start:row] @ matrix[start:row])
            changes[session_id] = (count + sign * (row - start), total)
            start = row
