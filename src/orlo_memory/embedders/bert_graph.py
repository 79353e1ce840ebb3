"""The ONNX graph of a BERT encoder whose weights stay in its safetensors file.

A sentence-transformers directory of a BERT model holds config.json and
model.safetensors; `bert_graph` writes the encoder's graph (embeddings, the
layers, pooling, L2 normalisation) in standard operators, with every weight
an external initializer that points into model.safetensors at its offset, so
ONNX Runtime reads the weights straight from the file: no torch, no export
step, nothing written to disk, and the torch model's arithmetic in float32.
(ONNX Runtime's fused attention and layer-normalisation operators measured
no faster here, and need the weights transposed at every load.)
"""

from __future__ import annotations

import json
import math
import struct
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from . import onnx_proto as proto
from .base import UnsupportedModelError

WEIGHTS_FILE = "model.safetensors"
_POOLINGS = ("mean", "cls")
# What a padding token's attention score gets added, as transformers does.
FLOAT32_LOWEST = -3.4028234663852886e38


def _tensor_index(path: Path) -> tuple[dict[str, Any], int]:
    """The safetensors header (name -> dtype, shape, offsets) and where the data starts."""
    with open(path, "rb") as file:
        (size,) = struct.unpack("<Q", file.read(8))
        header: dict[str, Any] = json.loads(file.read(size))
    header.pop("__metadata__", None)
    return header, 8 + size


def _config(directory: Path) -> dict[str, Any]:
    config: dict[str, Any] = json.loads((directory / "config.json").read_text("utf-8"))
    unsupported = {
        "model_type": config.get("model_type") == "bert",
        "hidden_act": config.get("hidden_act", "gelu") == "gelu",
        "position_embedding_type": config.get("position_embedding_type", "absolute") == "absolute",
    }
    for key, fits in unsupported.items():
        if not fits:
            raise UnsupportedModelError(f"{key} {config.get(key)!r} is not a plain BERT encoder")
    return config


def weights_file(directory: Path) -> Path:
    """The model's weights, symbolic links resolved (a Hugging Face cache
    links model.safetensors to a blob elsewhere): ONNX Runtime reads external
    data only from the folder it is told, not through a link out of it."""
    return (directory / WEIGHTS_FILE).resolve()


class _Graph:
    """Collects nodes and initializers; names each node's output after it."""

    def __init__(self, weights: Path, prefix: str) -> None:
        self.parts: list[bytes] = []
        self._index, self._data_start = _tensor_index(weights)
        self._location = weights.name
        self._prefix = prefix
        self._count = 0
        self._constants: set[str] = set()

    def weight(self, name: str) -> str:
        entry = self._index.get(self._prefix + name)
        if entry is None or entry["dtype"] != "F32":
            raise UnsupportedModelError(f"{WEIGHTS_FILE} has no float32 tensor {name!r}")
        start, end = entry["data_offsets"]
        offset, length = self._data_start + start, end - start
        shape = entry["shape"]
        self.parts.append(
            proto.external_tensor(name, proto.FLOAT, shape, self._location, offset, length)
        )
        return name

    def has(self, name: str) -> bool:
        return name in self._index

    def constant(self, name: str, values: Sequence[int] | int | float) -> str:
        """A float or int64 scalar, or a 1-D int64 tensor (named once)."""
        if name in self._constants:
            return name
        self._constants.add(name)
        if isinstance(values, float):
            tensor = proto.constant_tensor(name, proto.FLOAT, [], struct.pack("<f", values))
        elif isinstance(values, int):
            tensor = proto.constant_tensor(name, proto.INT64, [], struct.pack("<q", values))
        else:
            raw = struct.pack(f"<{len(values)}q", *values)
            tensor = proto.constant_tensor(name, proto.INT64, [len(values)], raw)
        self.parts.append(tensor)
        return name

    def op(self, op_type: str, *inputs: str, output: str = "", **attributes: Any) -> str:
        self._count += 1
        output = output or f"{op_type.lower()}_{self._count}"
        listed = [proto.Attribute(key, value) for key, value in attributes.items()]
        self.parts.append(proto.node(op_type, inputs, [output], listed))
        return output

    def dense(self, x: str, name: str) -> str:
        """x @ W.T + b: torch's Linear, its weight taken as stored ([out, in])."""
        weight, bias = self.weight(name + ".weight"), self.weight(name + ".bias")
        return self.op("Gemm", x, weight, bias, transB=1)

    def layer_norm(self, x: str, name: str, epsilon: float) -> str:
        scale, bias = self.weight(name + ".weight"), self.weight(name + ".bias")
        return self.op("LayerNormalization", x, scale, bias, axis=-1, epsilon=epsilon)


def _attention(
    g: _Graph, x: str, layer: str, heads_shape: str, flat_shape: str, mask: str, scale: str
) -> str:
    """Self-attention on the flattened tokens x [tokens, hidden]."""

    def heads(name: str, perm: tuple[int, ...]) -> str:
        projected = g.dense(x, f"{layer}.attention.self.{name}")
        return g.op("Transpose", g.op("Reshape", projected, heads_shape), perm=perm)

    query = heads("query", (0, 2, 1, 3))  # [batch, heads, seq, head size]
    key = heads("key", (0, 2, 3, 1))  # [batch, heads, head size, seq]
    value = heads("value", (0, 2, 1, 3))
    scores = g.op("Add", g.op("Mul", g.op("MatMul", query, key), scale), mask)
    context = g.op("MatMul", g.op("Softmax", scores, axis=-1), value)
    merged = g.op("Reshape", g.op("Transpose", context, perm=(0, 2, 1, 3)), flat_shape)
    return g.dense(merged, f"{layer}.attention.output.dense")


def _gelu(g: _Graph, x: str) -> str:
    """BERT's exact GELU, x * (1 + erf(x / sqrt 2)) / 2 (ONNX Runtime fuses it)."""
    erf = g.op("Erf", g.op("Div", x, g.constant("sqrt2", math.sqrt(2.0))))
    return g.op("Mul", g.op("Mul", x, g.op("Add", erf, g.constant("one", 1.0))), "half")


def _encoder(g: _Graph, config: dict[str, Any]) -> str:
    """The last hidden states as [batch, seq, hidden]."""
    hidden = int(config["hidden_size"])
    heads = int(config["num_attention_heads"])
    epsilon = float(config.get("layer_norm_eps", 1e-12))
    g.constant("half", 0.5)
    batch_seq = g.op("Shape", "input_ids")
    sequence = g.op("Gather", batch_seq, g.constant("one_index", 1), axis=0)
    positions = g.op("Range", g.constant("zero", 0), sequence, g.constant("step", 1))
    embedded = g.op(
        "Add",
        g.op(
            "Add",
            g.op("Gather", g.weight("embeddings.word_embeddings.weight"), "input_ids"),
            g.op("Gather", g.weight("embeddings.token_type_embeddings.weight"), "token_type_ids"),
        ),
        g.op("Gather", g.weight("embeddings.position_embeddings.weight"), positions),
    )
    x = g.layer_norm(embedded, "embeddings.LayerNorm", epsilon)
    flat_shape = g.constant("flat_shape", [-1, hidden])
    heads_shape = g.op("Concat", batch_seq, g.constant("heads", [heads, hidden // heads]), axis=0)
    x = g.op("Reshape", x, flat_shape)
    # 0 where a token is attended to, a large negative number where it is padding.
    float_mask = g.op("Cast", "attention_mask", to=proto.FLOAT)
    inverted = g.op("Sub", g.constant("one_mask", 1.0), float_mask)
    mask = g.op(
        "Unsqueeze",
        g.op("Mul", inverted, g.constant("masked", FLOAT32_LOWEST)),
        g.constant("mask_axes", [1, 2]),
    )
    scale = g.constant("scale", 1.0 / math.sqrt(hidden // heads))
    for number in range(int(config["num_hidden_layers"])):
        layer = f"encoder.layer.{number}"
        attended = _attention(g, x, layer, heads_shape, flat_shape, mask, scale)
        x = g.layer_norm(g.op("Add", attended, x), f"{layer}.attention.output.LayerNorm", epsilon)
        inner = _gelu(g, g.dense(x, f"{layer}.intermediate.dense"))
        out = g.dense(inner, f"{layer}.output.dense")
        x = g.layer_norm(g.op("Add", out, x), f"{layer}.output.LayerNorm", epsilon)
    shape = g.op("Concat", batch_seq, g.constant("hidden", [hidden]), axis=0)
    return g.op("Reshape", x, shape)


def _pool(g: _Graph, states: str, pooling: str, normalize: bool) -> str:
    if pooling == "cls":
        pooled = g.op("Gather", states, g.constant("first", 0), axis=1)
    else:
        weights = g.op(
            "Unsqueeze", g.op("Cast", "attention_mask", to=proto.FLOAT), g.constant("last", [-1])
        )
        axis = g.constant("token_axis", [1])
        summed = g.op("ReduceSum", g.op("Mul", states, weights), axis, keepdims=0)
        count = g.op("Max", g.op("ReduceSum", weights, axis, keepdims=0), g.constant("tiny", 1e-9))
        pooled = g.op("Div", summed, count)
    if normalize:
        norm = g.op("ReduceL2", pooled, g.constant("vector_axis", [-1]), keepdims=1)
        pooled = g.op("Div", pooled, g.op("Max", norm, g.constant("norm_floor", 1e-12)))
    return pooled


def bert_graph(directory: Path, *, pooling: str, normalize: bool) -> bytes:
    """The model as ONNX bytes (inputs input_ids, attention_mask and
    token_type_ids, int64 [batch, seq]; output "embedding", float32 [batch,
    hidden]). Its weights are external data in `weights_file(directory)`,
    so the session must be told that file's folder. Raises
    UnsupportedModelError for anything but a float32 BERT."""
    if pooling not in _POOLINGS:
        raise UnsupportedModelError(f"{pooling} pooling is not supported")
    config = _config(directory)
    g = _Graph(weights_file(directory), "")
    # Checkpoints saved from BertForMaskedLM and the like prefix the encoder's names.
    if g.has("bert.embeddings.word_embeddings.weight"):
        g = _Graph(weights_file(directory), "bert.")
    states = _encoder(g, config)
    g.op("Identity", _pool(g, states, pooling, normalize), output="embedding")
    hidden = int(config["hidden_size"])
    inputs = [
        proto.value_info(11, name, proto.INT64, ["batch", "sequence"])
        for name in ("input_ids", "attention_mask", "token_type_ids")
    ]
    output = proto.value_info(12, "embedding", proto.FLOAT, ["batch", hidden])
    return proto.model([*g.parts, *inputs, output], {"": 18})
