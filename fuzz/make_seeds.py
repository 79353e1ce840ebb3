"""Writes the decoder fuzzer's seed corpus into fuzz/seeds/.

One small file of every shape the format allows: empty indexes, the worked
example, real conversations with and without routing weights and current
slots, each optional and odd field, and strange trees. Run with the module
installed: python fuzz/make_seeds.py
"""

import pathlib
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))

# Imported only now: the format helpers come from the path entry just added.
from orlo_kiv import KivIndex  # noqa: E402

import kiv_format as fmt  # noqa: E402
from kiv_format import Record, encode, make_id  # noqa: E402


def conversation(d, sessions, documents, chunks, boundary=None):
    index = KivIndex.cosine(d)
    for s in range(sessions):
        index.new_session()
        for doc in range(documents):
            index.new_document()
            for c in range(chunks):
                index.add([float((s + 2 * doc + 3 * c + i) % 5) - 2.0 for i in range(d)])
    if boundary:
        getattr(index, boundary)()
    return index.to_bytes()


def with_weights(data, d):
    return data[:-1] + b"\x01" + struct.pack(f"<{d}f", *[0.5 + i for i in range(d)])


R, S, D, C = make_id(1), make_id(2), make_id(3), make_id(4)
seeds = {
    "empty_d0": KivIndex.cosine(0).to_bytes(),
    "empty_d3": KivIndex.cosine(3).to_bytes(),
    "empty_d1536": KivIndex.cosine(1536).to_bytes(),
    "empty_no_weights_flag": KivIndex.cosine(3).to_bytes()[:-1],
    "worked_example_d2": fmt.four_containers(),
    "conversation_d3": conversation(3, 2, 2, 3),
    "conversation_d1_new_session": conversation(1, 3, 1, 2, "new_session"),
    "conversation_d4_new_document": conversation(4, 1, 3, 2, "new_document"),
    "conversation_d2_weights": with_weights(conversation(2, 2, 2, 2), 2),
    "chunks_d0": conversation(0, 1, 2, 3),
    "weights_then_trailing": with_weights(KivIndex.cosine(2).to_bytes(), 2) + b"tail",
    "sum_flag_2": encode(
        2,
        [
            Record(C, 3, centroid=(1.0, 2.0), sum_flag=2),
            Record(D, 2, children=[C], centroid=(1.0, 2.0), sum=(2.0, 4.0)),
        ],
    ),
    "repeated_id": encode(1, [Record(C, 3, centroid=(1.0,)), Record(C, 1, centroid=(2.0,))]),
    "cycle": encode(
        2,
        [
            Record(R, 0, children=[S], centroid=(1.0, 0.0)),
            Record(S, 1, children=[R, S], centroid=(0.0, 1.0)),
            Record(D, 2, children=[D], centroid=(1.0, 1.0), point_count=2**64 - 1),
        ],
        root=R,
        session=S,
        document=D,
    ),
    "dangling_and_wrong_levels": encode(
        2,
        [
            Record(R, 3, children=[make_id(9)] * 2, centroid=(1.0, 0.0)),
            Record(S, 0, centroid=(0.0, 1.0), sum=(0.0, 1.0)),
        ],
        root=S,
        session=R,
        document=make_id(8),
    ),
    # Documents nested eight deep, each with a chunk, the last one shared by
    # two sessions: deeper than the four levels and listed by two parents.
    "deep_and_shared": encode(
        1,
        [
            Record(R, 0, children=[S, make_id(5)], centroid=(1.0,)),
            Record(S, 1, children=[make_id(20)], centroid=(1.0,)),
            Record(make_id(5), 1, children=[make_id(27)], centroid=(1.0,)),
        ]
        + [
            Record(make_id(20 + i), 2, children=[make_id(40 + i), make_id(21 + i)], centroid=(1.0,))
            for i in range(8)
        ]
        + [Record(make_id(40 + i), 3, centroid=(float(i),), sum=(float(i),)) for i in range(8)],
        root=R,
        session=S,
        document=make_id(27),
    ),
    "invalid_level": encode(1, [Record(C, 4, centroid=(1.0,))]),
    "wrong_version": b"KIV\0\x02\0\0\0" + bytes(28),
}

out = ROOT / "fuzz" / "seeds"
out.mkdir(exist_ok=True)
for name, data in seeds.items():
    (out / f"{name}.kiv").write_bytes(data)
print(f"{len(seeds)} seeds in {out}")
