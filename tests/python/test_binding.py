"""How calls bind their arguments: the messages of every binding failure."""

import pytest

from orlo_kiv import KivConfig, KivIndex

Q = [0.0] * 4


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda i: i.near(Q), "KivIndex.near() missing 1 required positional argument: 'k'"),
        (
            lambda i: i.near(),
            "KivIndex.near() missing 2 required positional arguments: 'query' and 'k'",
        ),
        (lambda i: i.near(k=1), "KivIndex.near() missing 1 required positional argument: 'query'"),
        (
            lambda i: i.near_documents(),
            "KivIndex.near_documents() missing 3 required positional arguments: "
            "'session_id', 'query', and 'k'",
        ),
        (
            lambda i: i.near_in_document("0" * 32, k=2),
            "KivIndex.near_in_document() missing 1 required positional argument: 'query'",
        ),
        (
            lambda i: i.near(query=Q, k=3, x=1),
            "KivIndex.near() got an unexpected keyword argument 'x'",
        ),
        (lambda i: i.near(Q, 3, k=3), "KivIndex.near() got multiple values for argument 'k'"),
        (
            lambda i: i.near(Q, 3, 4),
            "KivIndex.near() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda i: i.near_sessions(Q, 1, 2),
            "KivIndex.near_sessions() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda i: i.near_in_document("0" * 32, Q),
            "KivIndex.near_in_document() missing 1 required positional argument: 'k'",
        ),
        (lambda i: i.add(Q, Q), "KivIndex.add() takes 1 positional arguments but 2 were given"),
        (lambda i: i.add(), "KivIndex.add() missing 1 required positional argument: 'embedding'"),
        (lambda i: i.add(vector=Q), "KivIndex.add() got an unexpected keyword argument 'vector'"),
        (
            lambda i: i.add_with_id(embedding=Q),
            "KivIndex.add_with_id() missing 1 required positional argument: 'id_hex'",
        ),
        (
            lambda i: i.remove(),
            "KivIndex.remove() missing 1 required positional argument: 'id_hex'",
        ),
        (
            lambda i: KivIndex.cosine(),
            "KivIndex.cosine() missing 1 required positional argument: 'dimensionality'",
        ),
        (
            lambda i: KivIndex.cosine(1, 2),
            "KivIndex.cosine() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda i: KivIndex.with_config(4),
            "KivIndex.with_config() missing 1 required positional argument: 'config'",
        ),
        (
            lambda i: KivIndex.load(),
            "KivIndex.load() missing 1 required positional argument: 'path'",
        ),
        (
            lambda i: KivIndex.from_bytes(data=b"", x=1),
            "KivIndex.from_bytes() got an unexpected keyword argument 'x'",
        ),
        (
            lambda i: i.save("a", "b"),
            "KivIndex.save() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda i: KivConfig(3),
            "KivConfig.__new__() takes 0 positional arguments but 1 was given",
        ),
        (
            lambda i: KivConfig(3, 4),
            "KivConfig.__new__() takes 0 positional arguments but 2 were given",
        ),
        (
            lambda i: KivConfig(beam_width=3),
            "KivConfig.__new__() got an unexpected keyword argument 'beam_width'",
        ),
        (
            lambda i: KivConfig().with_beam_width(),
            "KivConfig.with_beam_width() missing 1 required positional argument: 'width'",
        ),
        (
            lambda i: KivConfig().with_temporal_weight(wait=1),
            "KivConfig.with_temporal_weight() got an unexpected keyword argument 'wait'",
        ),
        (
            lambda i: KivConfig().with_propagation_threshold(1, threshold=2),
            "KivConfig.with_propagation_threshold() got multiple values for argument 'threshold'",
        ),
    ],
)
def test_binding_failures(index4, call, message):
    with pytest.raises(TypeError) as info:
        call(index4)
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_too_many_positionals_is_reported_before_keywords(index4):
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        index4.near(Q, 1, 2, bogus=1)


def test_unexpected_keyword_is_reported_before_missing_ones(index4):
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        index4.near_documents(bogus=1)


def test_keywords_bind_in_any_order(index4):
    index4.add_with_id(embedding=[1.0, 0.0, 0.0, 0.0], id_hex="ab" * 16)
    assert len(index4) == 1


def test_binding_precedes_conversion(index4):
    # The bad embedding is never looked at: binding fails first.
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'embedding'"):
        index4.add_with_id(id_hex=5)


def test_no_argument_methods_refuse_arguments(index4):
    with pytest.raises(TypeError, match="takes no arguments"):
        index4.stats(1)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: KivIndex.stats(5), "'int' object cannot be converted to 'KivIndex'"),
        (lambda: KivIndex.add(None, [1.0]), "'NoneType' object cannot be converted to 'KivIndex'"),
        (lambda: KivIndex.consolidate_full(5), "'int' object cannot be converted to 'KivIndex'"),
        (
            lambda: KivIndex.__dict__["remove"].__get__("x")("0" * 32),
            "'str' object cannot be converted to 'KivIndex'",
        ),
        (
            lambda: KivConfig.with_beam_width(KivIndex.cosine(1), 3),
            "'KivIndex' object cannot be converted to 'KivConfig'",
        ),
        # Binding comes first: a foreign receiver with missing arguments reports those.
        (
            lambda: KivIndex.near(5),
            "KivIndex.near() missing 2 required positional arguments: 'query' and 'k'",
        ),
        (lambda: KivIndex.stats(), "unbound method KivIndex.stats() needs an argument"),
        (
            lambda: KivIndex.stats(KivIndex.cosine(1), 2),
            "KivIndex.stats() takes no arguments (1 given)",
        ),
    ],
)
def test_unbound_calls_check_the_receiver(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_unbound_calls_with_a_real_receiver_work():
    index = KivIndex.cosine(2)
    KivIndex.add(index, embedding=[1.0, 0.0])
    assert KivIndex.stats(index).chunk_count == 1
    assert repr(KivIndex.add) == "<method 'add' of 'KivIndex' objects>"
    assert KivIndex.add.__qualname__ == "KivIndex.add"


def test_binding_errors_carry_no_context(index4):
    try:
        try:
            raise KeyError("unrelated")
        except KeyError:
            index4.near(Q)
    except TypeError as error:
        assert error.__cause__ is None
        assert error.__context__ is None
    else:
        pytest.fail("binding did not fail")
