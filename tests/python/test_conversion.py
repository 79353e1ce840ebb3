"""Conversion of argument values: float lists, integers, text, ids, configs."""

import array
import sys

import pytest

from orlo_kiv import KivConfig, KivIndex

E4 = [1.0, 0.0, 0.0, 0.0]


class Seq:
    """A minimal sequence: __len__ and __getitem__ only."""

    def __init__(self, items, length=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __index__(self):
        return 1


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "value",
    [
        [1.0, 0.0, 0.0, 0.0],
        (1.0, 0.0, 0.0, 0.0),
        [1, 0, 0, 0],
        [True, False, 0, 0],
        range(4),
        b"\x01\x00\x00\x00",
        array.array("f", E4),
        array.array("d", E4),
        Seq(E4),
        Seq(E4, length=2**60),  # a lying length is only a hint
        [Floaty(1.0), Indexy(), 0, 0.0],
    ],
    ids=[
        "list",
        "tuple",
        "ints",
        "bools",
        "range",
        "bytes",
        "array-f",
        "array-d",
        "sequence",
        "lying-len",
        "protocols",
    ],
)
def test_accepted_float_sequences(index4, value):
    index4.add(value)
    assert len(index4) == 1


def test_numpy_arrays_are_sequences(index4):
    np = pytest.importorskip("numpy")
    index4.add(np.array(E4, dtype=np.float32))
    index4.add(np.array(E4, dtype=np.float64))
    index4.add(np.arange(4))
    assert len(index4) == 3


@pytest.mark.parametrize(
    "value, message",
    [
        ("0.1, 0.2", "argument 'embedding': Can't extract `str` to `Vec`"),
        (StrSub("abcd"), "argument 'embedding': Can't extract `str` to `Vec`"),
        ({0.1, 0.2}, "argument 'embedding': 'set' object cannot be converted to 'Sequence'"),
        (frozenset(), "argument 'embedding': 'frozenset' object cannot be converted to 'Sequence'"),
        ({"a": 1.0}, "argument 'embedding': 'dict' object cannot be converted to 'Sequence'"),
        (
            (x for x in E4),
            "argument 'embedding': 'generator' object cannot be converted to 'Sequence'",
        ),
        (4, "argument 'embedding': 'int' object cannot be converted to 'Sequence'"),
        (None, "argument 'embedding': 'NoneType' object cannot be converted to 'Sequence'"),
        ([0.1, "x", 0.0, 0.0], "argument 'embedding': must be real number, not str"),
        ([0.1, None, 0.0, 0.0], "argument 'embedding': must be real number, not NoneType"),
    ],
)
def test_refused_float_sequences(index4, value, message):
    with pytest.raises(TypeError) as info:
        index4.add(value)
    assert str(info.value) == message
    assert len(index4) == 0


def test_nested_type_names_are_qualified(index4):
    class Outer:
        class Inner:
            pass

    with pytest.raises(
        TypeError,
        match=r"'test_nested_type_names_are_qualified.<locals>.Outer.Inner' "
        r"object cannot be converted to 'Sequence'",
    ):
        index4.add(Outer.Inner())


def test_item_errors_of_other_types_pass_unchanged(index4):
    class Bad:
        def __float__(self):
            raise ValueError("no float for you")

    class MyTypeError(TypeError):
        pass

    class Worse:
        def __float__(self):
            raise MyTypeError("subclass")

    with pytest.raises(ValueError, match=r"^no float for you$"):
        index4.add([Bad(), 0, 0, 0])
    with pytest.raises(MyTypeError, match=r"^subclass$"):
        index4.add([Worse(), 0, 0, 0])
    with pytest.raises(OverflowError):
        index4.add([10**400, 0, 0, 0])


def test_prefixed_type_error_keeps_the_cause(index4):
    cause = KeyError("root cause")

    class Caused:
        def __float__(self):
            raise TypeError("inner") from cause

    with pytest.raises(TypeError) as info:
        index4.add([Caused(), 0, 0, 0])
    assert str(info.value) == "argument 'embedding': inner"
    assert info.value.__cause__ is cause


def test_iterator_errors_end_the_conversion(index4):
    class Failing(Seq):
        def __getitem__(self, i):
            if i == 2:
                raise RuntimeError("iteration broke")
            return 0.0

    with pytest.raises(RuntimeError, match=r"^iteration broke$"):
        index4.add(Failing(E4))
    assert len(index4) == 0


def test_length_errors_are_ignored(index4):
    class NoLength(Seq):
        def __len__(self):
            raise ValueError("no length")

    index4.add(NoLength(E4))
    assert len(index4) == 1


@pytest.mark.parametrize("kind", [list, type("ListSub", (list,), {})])
def test_list_changed_during_conversion_reads_like_iteration(index4, kind):
    values = kind()

    class Shrinker:
        def __float__(self):
            del values[2:]
            return 1.0

    values.extend([0.5, Shrinker(), 0.0, 0.0])
    with pytest.raises(ValueError, match=r"^Dimensionality mismatch: expected 4, got 2$"):
        index4.add(values)


def test_conversion_keeps_reference_counts(index4):
    item = 0.25
    embedding = [item, item, 1.5, Floaty(2.0)]
    before_item = sys.getrefcount(item)
    before_list = sys.getrefcount(embedding)
    for _ in range(100):
        index4.add(embedding)
        index4.add(tuple(embedding))
        with pytest.raises(ValueError):
            index4.add(embedding[:3])
    assert sys.getrefcount(item) == before_item
    assert sys.getrefcount(embedding) == before_list


@pytest.mark.parametrize(
    "value, error, message",
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, None),
        (
            2.0,
            TypeError,
            "argument 'dimensionality': 'float' object cannot be interpreted as an integer",
        ),
        (
            "4",
            TypeError,
            "argument 'dimensionality': 'str' object cannot be interpreted as an integer",
        ),
        (
            None,
            TypeError,
            "argument 'dimensionality': 'NoneType' object cannot be interpreted as an integer",
        ),
    ],
)
def test_unsigned_integer_conversion_errors(value, error, message):
    with pytest.raises(error) as info:
        KivIndex.cosine(value)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    else:
        assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "value, converted", [(0, 0), (2**64 - 1, 2**64 - 1), (True, 1), (Indexy(), 1)]
)
def test_unsigned_integers_accepted(value, converted):
    index = KivIndex.cosine(value)
    # The length check reports the dimensionality the index took.
    with pytest.raises(ValueError) as info:
        index.add([0.0] * 5)
    assert info.value.args == (f"Dimensionality mismatch: expected {converted}, got 5",)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda i: i.near("0.1, 0.2", 1), "argument 'query': Can't extract `str` to `Vec`"),
        (
            lambda i: i.near(E4, 2.0),
            "argument 'k': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda i: i.near_documents(5, E4, 1),
            "argument 'session_id': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda i: i.near_in_document(None, E4, 1),
            "argument 'doc_id': 'NoneType' object cannot be converted to 'PyString'",
        ),
    ],
)
def test_query_conversion_errors_name_the_parameter(index4, call, message):
    with pytest.raises(TypeError) as info:
        call(index4)
    assert str(info.value) == message


def test_zero_dimensional_index_accepts_only_empty_vectors():
    index = KivIndex.cosine(0)
    index.add([])
    with pytest.raises(ValueError, match=r"^Dimensionality mismatch: expected 0, got 1$"):
        index.add([1.0])
    assert len(index) == 1


@pytest.mark.parametrize(
    "value, message",
    [
        (5, "argument 'id_hex': 'int' object cannot be converted to 'PyString'"),
        (b"0" * 32, "argument 'id_hex': 'bytes' object cannot be converted to 'PyString'"),
        (None, "argument 'id_hex': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_text_conversion_errors(index4, value, message):
    with pytest.raises(TypeError) as info:
        index4.remove(value)
    assert str(info.value) == message


def test_unencodable_text_raises_unicode_error(index4):
    with pytest.raises(UnicodeEncodeError):
        index4.remove("\ud800" * 32)


@pytest.mark.parametrize(
    "text, message",
    [
        ("abc", "ID must be 32 hex characters, got 3"),
        ("0" * 31, "ID must be 32 hex characters, got 31"),
        ("0" * 33, "ID must be 32 hex characters, got 33"),
        ("é" * 32, "ID must be 32 hex characters, got 64"),
        ("00000g" + "0" * 26, "Invalid hex character: g"),
        ("0" * 30 + "0-", "Invalid hex character: -"),
        ("é" * 16, "Invalid hex character: Ã"),
        ("g" + "0" * 30 + "z", "Invalid hex character: g"),
    ],
)
def test_id_parse_errors(index4, text, message):
    with pytest.raises(ValueError) as info:
        index4.remove(text)
    assert info.value.args == (message,)


def test_ids_of_either_case_are_accepted(index4):
    index4.add_with_id("ABCDEF" + "0" * 26, E4)
    assert len(index4) == 1
    index4.remove("abcdef" + "0" * 26)
    assert len(index4) == 0
    index4.remove(StrSub("1" * 32))  # absent: not an error


def test_embedding_is_converted_before_the_id_is_parsed(index4):
    with pytest.raises(TypeError, match=r"^argument 'embedding': Can't extract `str` to `Vec`$"):
        index4.add_with_id("zz" + "0" * 30, "bad")
    with pytest.raises(ValueError, match=r"^Invalid hex character: z$"):
        index4.add_with_id("zz" + "0" * 30, E4)
    with pytest.raises(TypeError, match=r"^argument 'id_hex': 'int' object"):
        index4.add_with_id(7, "bad")


def test_config_argument_must_be_a_config():
    with pytest.raises(TypeError) as info:
        KivIndex.with_config(4, 5)
    assert str(info.value) == "argument 'config': 'int' object cannot be converted to 'KivConfig'"
    with pytest.raises(TypeError, match=r"^argument 'dimensionality': "):
        KivIndex.with_config(-1.5, 5)
    with pytest.raises(OverflowError):
        KivIndex.with_config(-1, KivConfig())
