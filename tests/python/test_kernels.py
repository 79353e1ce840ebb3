"""The portable vector kernels, forced with ORLO_KIV_PORTABLE_KERNELS=1 at import.

Machines without AVX2 or AVX-512 run the portable loops; forcing them here
covers those machines on any processor and lets results be compared across
kernel variants. The variants sum in different orders, so scores agree to a
tolerance, not bit for bit.
"""

import json
import os
import pathlib
import subprocess
import sys

import pytest

from conftest import run_python

HERE = pathlib.Path(__file__).resolve().parent
PORTABLE = {**os.environ, "ORLO_KIV_PORTABLE_KERNELS": "1"}
DISPATCHED = {k: v for k, v in os.environ.items() if k != "ORLO_KIV_PORTABLE_KERNELS"}
TOLERANCE = 1e-5

# Rankings of every query method over a fixed tree. k covers every chunk, so
# every container is searched and the rankings do not depend on the beam.
#
# The probe: a chunk of one large value followed by 31 values whose squares
# are each below half a unit in the last place of the large square. Summed in
# index order, as the portable loops do, each small square is lost and the
# norm is exactly 4096, so the probe scores exactly 1.0 against the first axis;
# summed in vector lanes, the small squares add up first and the score drops
# below 1.0.
RANKINGS = """
    import json, random
    from orlo_kiv import KivConfig, KivIndex

    DIM, SESSIONS, DOCUMENTS, CHUNKS = 37, 3, 4, 9
    rng = random.Random(11)

    def vector():
        return [rng.gauss(0.0, 1.0) for _ in range(DIM)]

    index = KivIndex.with_config(DIM, KivConfig().with_beam_width(2))
    serial = 0
    for _ in range(SESSIONS):
        index.new_session()
        for _ in range(DOCUMENTS):
            index.new_document()
            for _ in range(CHUNKS):
                serial += 1
                index.add_with_id(f"{serial:032x}", vector())
    everything = SESSIONS * DOCUMENTS * CHUNKS

    # Sessions and documents get fresh ids in each process: name them by the
    # smallest chunk id beneath them.
    any_query = [1.0] * DIM

    def document_name(document_id):
        return min(r.id for r in index.near_in_document(document_id, any_query, CHUNKS))

    def session_name(session_id):
        documents = index.near_documents(session_id, any_query, DOCUMENTS)
        return min(document_name(d.id) for d in documents)

    def ranked(results, name=lambda i: i):
        return [(name(r.id), r.score) for r in results]

    out = {"near": [], "sessions": [], "documents": [], "in_document": []}
    for _ in range(8):
        query = vector()
        out["near"].append(ranked(index.near(query, everything)))
        sessions = index.near_sessions(query, SESSIONS)
        out["sessions"].append(ranked(sessions, session_name))
        documents = index.near_documents(sessions[0].id, query, DOCUMENTS)
        out["documents"].append(ranked(documents, document_name))
        out["in_document"].append(ranked(index.near_in_document(documents[0].id, query, CHUNKS)))

    probe = KivIndex.cosine(32)
    probe.add([4096.0] + [0.75**0.5] * 31)
    out["probe"] = probe.near([1.0] + [0.0] * 31, 1)[0].score
    print(json.dumps(out))
"""


def rankings(env):
    result = run_python(RANKINGS, env=env)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def assert_same_ranking(portable, dispatched):
    assert len(portable) == len(dispatched)
    scores = [score for _, score in portable]
    for rank, ((id_p, score_p), (id_d, score_d)) in enumerate(
        zip(portable, dispatched, strict=True)
    ):
        assert score_p == pytest.approx(score_d, abs=TOLERANCE)
        # Ids may change places only where scores tie within the tolerance.
        neighbours = scores[max(rank - 1, 0) : rank + 2]
        tied = sum(abs(score_p - s) <= 2 * TOLERANCE for s in neighbours) > 1
        assert id_p == id_d or tied


def test_portable_kernels_rank_like_the_dispatched_ones():
    portable = rankings(PORTABLE)
    dispatched = rankings(DISPATCHED)
    assert portable["probe"] == 1.0  # the portable loops really ran
    for method in ("near", "sessions", "documents", "in_document"):
        for p, d in zip(portable[method], dispatched[method], strict=True):
            assert_same_ranking(p, d)


def test_query_tests_pass_with_the_portable_kernels():
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_queries.py"],
        cwd=HERE,
        env=PORTABLE,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
