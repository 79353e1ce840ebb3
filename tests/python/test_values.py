"""KivConfig, KivStats and the result classes: construction, attributes, texts."""

import pytest

from orlo_kiv import DocumentSummary, KivConfig, KivIndex, KivStats, SearchResult, SessionSummary

DEFAULT = "KivConfig(beam_width=3, temporal_weight=0.00, propagation_threshold=0.000)"


def test_default_config_text():
    config = KivConfig()
    assert repr(config) == DEFAULT
    assert str(config) == DEFAULT


def test_setters_change_the_object_in_place_and_chain():
    config = KivConfig()
    assert config.with_beam_width(8) is config
    assert (
        repr(config) == "KivConfig(beam_width=8, temporal_weight=0.00, propagation_threshold=0.000)"
    )
    chained = KivConfig().with_beam_width(5).with_temporal_weight(0.25)
    assert (
        repr(chained)
        == "KivConfig(beam_width=5, temporal_weight=0.25, propagation_threshold=0.000)"
    )
    assert repr(KivConfig().with_beam_width(width=0)) == DEFAULT.replace("=3,", "=0,")


@pytest.mark.parametrize(
    "weight, text",
    [
        (1, "1.00"),
        (0.125, "0.12"),  # an exact tie: to even
        (0.375, "0.38"),  # an exact tie: to even
        (0.005, "0.00"),  # the nearest f32 lies just below 0.005
        (-0.0, "-0.00"),
        (-1e-50, "-0.00"),  # narrows to negative zero
        (1e-50, "0.00"),
        (-0.25, "-0.25"),
        (1e30, "1000000015047466219876688855040.00"),
        (1e39, "inf"),  # beyond the f32 range
        (-1e39, "-inf"),
        (float("inf"), "inf"),
        (float("nan"), "NaN"),
        (-float("nan"), "NaN"),
    ],
)
def test_temporal_weight_text(weight, text):
    config = KivConfig().with_temporal_weight(weight)
    assert (
        repr(config)
        == f"KivConfig(beam_width=3, temporal_weight={text}, propagation_threshold=0.000)"
    )


@pytest.mark.parametrize(
    "threshold, text",
    [
        (0.0005, "0.001"),
        (0.0625, "0.062"),
        (2, "2.000"),
        (-3.5, "-3.500"),
        (3.4028234663852886e38, "340282346638528859811704183484516925440.000"),
    ],
)
def test_propagation_threshold_text(threshold, text):
    config = KivConfig().with_propagation_threshold(threshold)
    assert repr(config).endswith(f"propagation_threshold={text})")


def test_large_beam_width_text():
    config = KivConfig().with_beam_width(2**64 - 1)
    assert repr(config).startswith("KivConfig(beam_width=18446744073709551615,")


def test_config_has_no_readable_settings():
    with pytest.raises(AttributeError):
        _ = KivConfig().beam_width


def test_index_keeps_a_copy_of_the_config():
    config = KivConfig().with_beam_width(1)
    index = KivIndex.with_config(2, config)
    config.with_beam_width(10)
    assert repr(config).startswith("KivConfig(beam_width=10,")
    index.add([1.0, 0.0])
    assert len(index) == 1


def test_stats_of_a_fresh_index():
    stats = KivIndex.cosine(3).stats()
    assert repr(stats) == "KivStats(points=0, sessions=0, documents=0, chunks=0)"
    assert str(stats) == repr(stats)
    assert (
        stats.global_count,
        stats.session_count,
        stats.document_count,
        stats.chunk_count,
        stats.total_points,
    ) == (0, 0, 0, 0, 0)


def test_stats_attributes_are_read_only_snapshots():
    index = KivIndex.cosine(1)
    index.add([1.0])
    stats = index.stats()
    index.add([2.0])
    assert stats.chunk_count == 1 and index.stats().chunk_count == 2
    with pytest.raises(AttributeError):
        stats.chunk_count = 5
    with pytest.raises(AttributeError):
        del stats.total_points
    assert stats.chunk_count == 1


@pytest.mark.parametrize(
    "cls, attributes",
    [
        (
            KivStats,
            {
                "global_count": "",
                "session_count": "",
                "document_count": "",
                "chunk_count": "",
                "total_points": "Total number of indexed points",
            },
        ),
        (SearchResult, {"id": "The ID as a hex string", "score": "The similarity/distance score"}),
        (SessionSummary, {"id": "", "score": "", "chunk_count": "", "timestamp_ms": ""}),
        (DocumentSummary, {"id": "", "score": "", "chunk_count": ""}),
    ],
)
def test_attribute_docstrings(cls, attributes):
    documented = {
        name: value.__doc__ for name, value in vars(cls).items() if not name.startswith("__")
    }
    assert documented == attributes
    assert list(documented) == list(attributes)


def test_classes_compare_by_identity():
    a, b = KivConfig(), KivConfig()
    assert a != b and a == a
    assert hash(a) != hash(b)
