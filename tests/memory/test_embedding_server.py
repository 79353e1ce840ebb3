"""The OpenAI-compatible embedder against a real embedding server on loopback.

The server is infinity (`make embedding-server` installs it into an
environment of its own, build/embedding-server; ORLO_MEMORY_TEST_EMBEDDING_SERVER
may name another infinity_emb program) serving two models on its debug
engine, which needs no torch: each text's vector is 13 numbers equal to the
text's length, so the order of the rows can be checked. Skipped without it,
failed without it when ORLO_MEMORY_REQUIRE_EMBEDDING_SERVER=1."""

import os
import socket
import subprocess
import time
import urllib.request
from pathlib import Path

import numpy as np
import pytest

from orlo_memory.embedders import EmbeddingServerError, OpenAIEmbedder, Prompts

ROOT = Path(__file__).resolve().parents[2]
PROGRAM = ROOT / "build" / "embedding-server" / "bin" / "infinity_emb"
MODELS = ("debug-a", "debug-b")
DIMENSION = 13


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _program():
    program = Path(os.environ.get("ORLO_MEMORY_TEST_EMBEDDING_SERVER", PROGRAM))
    if not program.is_file():
        reason = f"no embedding server at {program} (make embedding-server installs one)"
        if os.environ.get("ORLO_MEMORY_REQUIRE_EMBEDDING_SERVER") == "1":
            pytest.fail(f"{reason} (ORLO_MEMORY_REQUIRE_EMBEDDING_SERVER=1)")
        pytest.skip(reason)
    return program


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    """The base URL of a running server (stopped after the module's tests)."""
    port = _free_port()
    models = [option for model in MODELS for option in ("--model-id", model)]
    command = [_program(), "v2", "--engine", "debugengine", *models, "--host", "127.0.0.1"]
    command += ["--port", str(port), "--url-prefix", "/v1", "--no-model-warmup"]
    # Offline, and no usage statistics sent anywhere.
    quiet = {"HF_HUB_OFFLINE": "1", "INFINITY_ANONYMOUS_USAGE_STATS": "0", "DO_NOT_TRACK": "1"}
    log = tmp_path_factory.mktemp("embedding-server") / "server.log"
    with open(log, "wb") as output:
        process = subprocess.Popen(
            command, stdout=output, stderr=subprocess.STDOUT, env={**os.environ, **quiet}
        )
    url = f"http://127.0.0.1:{port}/v1"
    try:
        deadline = time.monotonic() + 60
        while True:
            try:
                urllib.request.urlopen(url.removesuffix("/v1") + "/health", timeout=1).close()
                break
            except OSError:
                if process.poll() is not None or time.monotonic() > deadline:
                    pytest.fail(f"the embedding server did not start: {log.read_text()[-2000:]}")
                time.sleep(0.1)
        yield url
    finally:
        process.terminate()
        process.wait(timeout=30)


def test_texts_come_back_in_order_across_batches_with_each_sides_prompt(server):
    embedder = OpenAIEmbedder(server, MODELS[1], batch_size=2, prompts=Prompts("find: ", "doc "))
    assert (embedder.dimension, embedder.name) == (DIMENSION, "server:debug-b")
    texts = ["a", "abcdefg", "ab", "abcd", "abcdefghij"]
    rows = embedder.embed(texts)  # three requests
    assert rows.shape == (len(texts), DIMENSION)
    assert np.array_equal(rows[:, 0], [len("doc " + text) for text in texts])
    assert embedder.embed_query(["ab"])[0, 0] == len("find: ab")


@pytest.mark.parametrize(
    "where, model, dimension, message",
    [
        (
            "server",
            MODELS[0],
            384,
            "gives 13-dimensional vectors for model 'debug-a', expected 384",
        ),
        ("server", "missing", None, "does not serve model 'missing'"),
        ("no /v1", MODELS[0], None, "has no embeddings endpoint"),
        ("down", MODELS[0], None, "cannot reach the embedding server"),
    ],
    ids=["wrong dimension", "wrong model", "wrong URL", "server down"],
)
def test_failures_are_one_line_that_says_what_to_check(server, where, model, dimension, message):
    url = {
        "server": server,
        "no /v1": server.removesuffix("/v1"),
        "down": f"http://127.0.0.1:{_free_port()}/v1",
    }[where]
    embedder = OpenAIEmbedder(url, model, dimension=dimension, timeout=5)
    with pytest.raises(EmbeddingServerError, match=message) as raised:
        embedder.embed(["hello"])
    assert "\n" not in str(raised.value)
