"""Just enough of protocol buffers' wire format to write an ONNX model.

The BERT graph of bert_graph.py is written at load time as bytes, so the
runtime needs neither the `onnx` package nor a model file of its own: a
message is a list of (field number, value) pairs, encoded here the way
protobuf encodes the matching ONNX field types.
"""

from __future__ import annotations

import struct
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

# onnx.proto's TensorProto.DataType values used by the graphs here.
FLOAT = 1
INT64 = 7

# AttributeProto.AttributeType
_ATTRIBUTE_FLOAT = 1
_ATTRIBUTE_INT = 2
_ATTRIBUTE_STRING = 3
_ATTRIBUTE_INTS = 7


def _varint(value: int) -> bytes:
    value &= (1 << 64) - 1  # a negative int64 is sent as its two's complement
    out = bytearray()
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def _key(field: int, wire_type: int) -> bytes:
    return _varint(field << 3 | wire_type)


def integer(field: int, value: int) -> bytes:
    return _key(field, 0) + _varint(value)


def length_delimited(field: int, payload: bytes | str) -> bytes:
    data = payload.encode() if isinstance(payload, str) else payload
    return _key(field, 2) + _varint(len(data)) + data


def float32(field: int, value: float) -> bytes:
    return _key(field, 5) + struct.pack("<f", value)


def message(field: int, parts: Iterable[bytes]) -> bytes:
    return length_delimited(field, b"".join(parts))


@dataclass(frozen=True)
class Attribute:
    """A node attribute: an int, a float, a string or a list of ints."""

    name: str
    value: int | float | str | tuple[int, ...]

    def encode(self) -> bytes:
        parts = [length_delimited(1, self.name)]
        value = self.value
        if isinstance(value, bool | int):
            parts += [integer(3, int(value)), integer(20, _ATTRIBUTE_INT)]
        elif isinstance(value, float):
            parts += [float32(2, value), integer(20, _ATTRIBUTE_FLOAT)]
        elif isinstance(value, str):
            parts += [length_delimited(4, value), integer(20, _ATTRIBUTE_STRING)]
        else:
            parts += [integer(8, item) for item in value]
            parts.append(integer(20, _ATTRIBUTE_INTS))
        return b"".join(parts)


def node(
    op_type: str,
    inputs: Sequence[str],
    outputs: Sequence[str],
    attributes: Sequence[Attribute] = (),
    *,
    domain: str = "",
) -> bytes:
    """A NodeProto (GraphProto field 1)."""
    parts = [length_delimited(1, name) for name in inputs]
    parts += [length_delimited(2, name) for name in outputs]
    parts += [length_delimited(3, outputs[0]), length_delimited(4, op_type)]
    parts += [message(5, [attribute.encode()]) for attribute in attributes]
    if domain:
        parts.append(length_delimited(7, domain))
    return message(1, parts)


def constant_tensor(name: str, data_type: int, dims: Sequence[int], raw: bytes) -> bytes:
    """An initializer holding its data (GraphProto field 5)."""
    parts = [integer(1, dim) for dim in dims]
    parts += [integer(2, data_type), length_delimited(8, name), length_delimited(9, raw)]
    return message(5, parts)


def external_tensor(
    name: str, data_type: int, dims: Sequence[int], location: str, offset: int, length: int
) -> bytes:
    """An initializer whose data the runtime reads from `location` (a file
    beside the model) at `offset` (GraphProto field 5)."""
    entries = {"location": location, "offset": str(offset), "length": str(length)}
    parts = [integer(1, dim) for dim in dims]
    parts += [integer(2, data_type), length_delimited(8, name)]
    parts += [
        message(13, [length_delimited(1, key), length_delimited(2, value)])
        for key, value in entries.items()
    ]
    parts.append(integer(14, 1))  # data_location: EXTERNAL
    return message(5, parts)


def value_info(field: int, name: str, data_type: int, dims: Sequence[int | str]) -> bytes:
    """A graph input (field 11) or output (field 12): a tensor whose
    dimensions are numbers or named free dimensions."""
    shape = [
        message(1, [integer(1, dim) if isinstance(dim, int) else length_delimited(2, dim)])
        for dim in dims
    ]
    tensor_type = message(1, [integer(1, data_type), message(2, shape)])
    return message(field, [length_delimited(1, name), message(2, [tensor_type])])


def model(graph: Sequence[bytes], opsets: dict[str, int], *, ir_version: int = 8) -> bytes:
    """A ModelProto around a graph's encoded fields."""
    parts = [integer(1, ir_version), length_delimited(2, "orlo_memory")]
    parts += [
        message(8, [length_delimited(1, domain), integer(2, version)])
        for domain, version in opsets.items()
    ]
    parts.append(message(7, [length_delimited(2, "encoder"), *graph]))
    return b"".join(parts)
