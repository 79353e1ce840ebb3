"""Float vectors given as numpy arrays and array.array objects: read in place
when they are exact, one-dimensional, contiguous float32 or float64 arrays,
and always with the values that iterating them would give."""

import array
import math
import struct
import sys

import pytest

from orlo_kiv import KivIndex

np = pytest.importorskip("numpy")

# Values that round when narrowed to f32, subnormals and signed zeros.
VALUES = [0.1, -2.5, 1e-45, 1.0 / 3.0, 0.0, -0.0, 7.0, 1.2345678901, 1e-39, 6550.42]

MAKERS = {
    "float32": lambda v: np.array(v, dtype=np.float32),
    "float64": lambda v: np.array(v, dtype=np.float64),
    "little-endian float32": lambda v: np.array(v, dtype="<f4"),
    "big-endian float64": lambda v: np.array(v, dtype=">f8"),
    "strided": lambda v: np.array(v + v, dtype=np.float64)[::2],
    "float16": lambda v: np.array(v, dtype=np.float16),
    "int32": lambda v: np.array([round(x) for x in v], dtype=np.int32),
    "read-only": lambda v: np.frombuffer(np.array(v).tobytes()),
    "array f": lambda v: array.array("f", v),
    "array d": lambda v: array.array("d", v),
    "memoryview": lambda v: memoryview(array.array("d", v)),
}


def results(index, query, k=3):
    """Ids and exact score bits, so equal conversions compare equal."""
    return [(r.id, struct.pack("<f", r.score)) for r in index.near(query, k)]


@pytest.fixture(scope="module")
def index():
    ix = KivIndex.cosine(len(VALUES))
    for shift in range(4):
        ix.add(VALUES[shift:] + VALUES[:shift])
    return ix


@pytest.mark.parametrize("make", MAKERS.values(), ids=MAKERS.keys())
def test_queries_convert_as_iteration_would(index, make):
    for scale in (1.0, -3.0, 1e-3):
        vector = make([x * scale for x in VALUES])
        assert results(index, vector) == results(index, [float(x) for x in vector])


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_overflow_and_nan_convert_as_iteration_would(index, dtype):
    with np.errstate(over="ignore"):
        vector = np.array([1e39, -1e39, math.nan, *VALUES[3:]], dtype=dtype)
    got = results(index, vector, 4)
    assert got == results(index, [float(x) for x in vector], 4)
    assert all(math.isnan(struct.unpack("<f", score)[0]) for _, score in got)


@pytest.mark.parametrize("make", [MAKERS["float64"], MAKERS["array f"]])
def test_add_reads_buffers_too(make):
    by_list = KivIndex.cosine(len(VALUES))
    by_buffer = KivIndex.cosine(len(VALUES))
    for shift in range(3):
        row = [x * (shift + 1) for x in VALUES[shift:] + VALUES[:shift]]
        by_list.add_with_id(f"{shift:032x}", [float(x) for x in make(row)])
        by_buffer.add_with_id(f"{shift:032x}", make(row))
    for query in ([1.0] * len(VALUES), VALUES, VALUES[::-1]):
        assert results(by_list, query) == results(by_buffer, query)


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: np.float64(1.0), "'float64' object cannot be converted to 'Sequence'"),
        (lambda: np.array(1.0), "iteration over a 0-d array"),
        (lambda: np.array(["a", "b"]), "must be real number, not numpy.str_"),
    ],
)
def test_non_vectors_fail_as_iteration_would(make, message):
    with pytest.raises(TypeError) as error:
        KivIndex.cosine(2).near(make(), 1)
    assert str(error.value) == "argument 'query': " + message


def test_subclasses_are_iterated():
    class Zeros(np.ndarray):
        def __iter__(self):
            return iter([0.0] * len(self))

    class Halves(array.array):
        def __iter__(self):
            return iter([0.5] * len(self))

    ix = KivIndex.cosine(2)
    ix.add([1.0, 0.0])
    assert ix.near(np.array([1.0, 0.0]).view(Zeros), 1)[0].score == 0.0
    assert ix.near(Halves("d", [1.0, 0.0]), 1)[0].score == pytest.approx(math.sqrt(0.5))


def test_buffers_are_released_and_references_kept():
    ix = KivIndex.cosine(2)
    ix.add([1.0, 0.0])
    values = array.array("d", [1.0, 0.0])
    matrix = np.array([1.0, 0.0], dtype=np.float32)
    before = (sys.getrefcount(values), sys.getrefcount(matrix))
    for _ in range(100):
        ix.near(values, 1)
        ix.near(matrix, 1)
    assert (sys.getrefcount(values), sys.getrefcount(matrix)) == before
    values.append(2.0)  # raises BufferError while a buffer is still exported
    assert len(values) == 3


def test_wrong_lengths_fail_like_lists():
    ix = KivIndex.cosine(3)
    for vector in (np.zeros(2, dtype=np.float32), array.array("d", [0.0] * 4)):
        with pytest.raises(ValueError) as error:
            ix.near(vector, 1)
        assert str(error.value) == f"Dimensionality mismatch: expected 3, got {len(vector)}"
    assert ix.near(np.zeros(3), 1) == []
    assert KivIndex.cosine(0).near(np.zeros(0, dtype=np.float32), 1) == []
