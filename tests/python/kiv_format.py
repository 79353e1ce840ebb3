"""Test helpers that write and split the binary index format by hand.

They are an independent statement of the layout: tests build unusual files
with them and compare the module's output against them field by field.
"""

import struct
from dataclasses import dataclass, field

MAGIC = b"KIV\x00"
ZERO_ID = bytes(16)
HEADER = struct.Struct("<4sIIQ16s")
LEVELS = {"global": 0, "session": 1, "document": 2, "chunk": 3}


def make_id(n):
    """A recognisable non-zero 16-byte id."""
    return bytes([n]) * 16


@dataclass
class Record:
    id: bytes
    level: int
    timestamp_ms: int = 0
    children: list = field(default_factory=list)
    point_count: int = 0
    centroid: tuple = ()
    sum: tuple = None
    sum_flag: int = None  # overrides the flag byte (the sum is then not written)

    def encode(self):
        out = bytearray(self.id)
        out += struct.pack("<BQI", self.level, self.timestamp_ms, len(self.children))
        for child in self.children:
            out += child
        out += struct.pack("<Q", self.point_count)
        out += struct.pack(f"<{len(self.centroid)}f", *self.centroid)
        if self.sum_flag is not None:
            out.append(self.sum_flag)
        elif self.sum is None:
            out.append(0)
        else:
            out.append(1)
            out += struct.pack(f"<{len(self.sum)}f", *self.sum)
        return bytes(out)


def encode(
    dimensionality,
    records,
    root=None,
    session=None,
    document=None,
    weights=None,
    count=None,
    trailing=b"",
):
    """A whole file; `count` overrides the record count in the header."""
    out = bytearray(
        HEADER.pack(
            MAGIC, 1, dimensionality, len(records) if count is None else count, root or ZERO_ID
        )
    )
    for record in records:
        out += record.encode()
    out += (session or ZERO_ID) + (document or ZERO_ID)
    if weights is None:
        out.append(0)
    else:
        out.append(1)
        out += struct.pack(f"<{len(weights)}f", *weights)
    return bytes(out) + trailing


@dataclass
class Decoded:
    dimensionality: int
    root: bytes
    records: list  # raw bytes of each record, in file order
    session: bytes
    document: bytes
    weights: bytes  # None when the flag is not 1


def split(data):
    """Splits well-formed data into header fields, raw records and trailer."""
    magic, version, d, count, root = HEADER.unpack_from(data, 0)
    assert magic == MAGIC and version == 1
    pos = HEADER.size
    records = []
    for _ in range(count):
        start = pos
        (child_count,) = struct.unpack_from("<I", data, pos + 25)
        pos += 29 + 16 * child_count + 8 + 4 * d
        flag = data[pos]
        pos += 1 + (4 * d if flag == 1 else 0)
        records.append(data[start:pos])
    session, document = data[pos : pos + 16], data[pos + 16 : pos + 32]
    pos += 32
    weights = None
    if pos < len(data) and data[pos] == 1:
        weights = data[pos + 1 : pos + 1 + 4 * d]
    return Decoded(d, root, records, session, document, weights)


def same_content(a, b):
    """Equal header, trailer and multiset of records; record order may differ."""
    x, y = split(a), split(b)
    return (x.dimensionality, x.root, sorted(x.records), x.session, x.document, x.weights) == (
        y.dimensionality,
        y.root,
        sorted(y.records),
        y.session,
        y.document,
        y.weights,
    )


def four_containers(d=2):
    """One root, session, document and chunk, all with sums: the layout's worked example."""
    root, session, document, chunk = make_id(1), make_id(2), make_id(3), make_id(4)
    vector = tuple(float(i + 3) for i in range(d))
    records = [
        Record(root, 0, 1_700_000_000_000, [session], 1, vector, vector),
        Record(session, 1, 1_700_000_000_001, [document], 1, vector, vector),
        Record(document, 2, 1_700_000_000_002, [chunk], 1, vector, vector),
        Record(chunk, 3, 1_700_000_000_003, [], 1, vector, vector),
    ]
    return encode(d, records, root=root, session=session, document=document)


def parse(data):
    """Decodes well-formed data: (header fields, {id: Record}, session, document)."""
    decoded = split(data)
    d = decoded.dimensionality
    records = {}
    for raw in decoded.records:
        level, timestamp, child_count = struct.unpack_from("<BQI", raw, 16)
        pos = 29
        children = [raw[pos + 16 * i : pos + 16 * (i + 1)] for i in range(child_count)]
        pos += 16 * child_count
        (point_count,) = struct.unpack_from("<Q", raw, pos)
        centroid = struct.unpack_from(f"<{d}f", raw, pos + 8)
        pos += 8 + 4 * d
        total = struct.unpack_from(f"<{d}f", raw, pos + 1) if raw[pos] == 1 else None
        records[raw[:16]] = Record(
            raw[:16], level, timestamp, children, point_count, centroid, total
        )
    return decoded, records
