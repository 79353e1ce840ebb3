"""Re-entrant calls made by Python code that runs during an argument conversion."""

import pytest

from orlo_kiv import KivConfig, KivIndex

E4 = [1.0, 0.0, 0.0, 0.0]


class CallingBack:
    """A sequence whose item access calls `action` once and then yields floats."""

    def __init__(self, action, swallow=False):
        self.action = action
        self.swallow = swallow
        self.seen = []

    def __len__(self):
        return 4

    def __getitem__(self, i):
        if i >= 4:
            raise IndexError
        if i == 0:
            try:
                self.seen.append(self.action())
            except RuntimeError as error:
                if not self.swallow:
                    raise
                self.seen.append(error)
        return 1.0


@pytest.mark.parametrize(
    "action, message",
    [
        (lambda i: i.stats(), "Already mutably borrowed"),
        (lambda i: len(i), "Already mutably borrowed"),
        (lambda i: repr(i), "Already mutably borrowed"),
        (lambda i: i.is_empty(), "Already mutably borrowed"),
        (lambda i: i.add(E4), "Already borrowed"),
        (lambda i: i.new_session(), "Already borrowed"),
        (lambda i: i.remove("0" * 32), "Already borrowed"),
        (lambda i: i.consolidate(), "Already borrowed"),
        (lambda i: i.consolidate_full(), "Already borrowed"),
    ],
)
def test_calls_during_add_meet_the_exclusive_borrow(index4, action, message):
    with pytest.raises(RuntimeError) as info:
        index4.add(CallingBack(lambda: action(index4)))
    assert info.value.args == (message,)
    assert len(index4) == 0  # the outer add changed nothing
    index4.add(E4)  # and the borrow was released
    assert len(index4) == 1


def test_swallowed_borrow_error_lets_the_outer_call_finish(index4):
    seq = CallingBack(lambda: index4.stats(), swallow=True)
    index4.add(seq)
    assert isinstance(seq.seen[0], RuntimeError)
    assert len(index4) == 1


def test_other_indexes_are_not_borrowed(index4):
    other = KivIndex.cosine(4)
    index4.add(CallingBack(lambda: other.add(E4)))
    assert len(index4) == 1 and len(other) == 1


def test_reads_may_run_during_a_query_conversion_but_changes_may_not(index4):
    index4.add(E4)
    seen = []

    class Reads:
        def __float__(self):
            seen.append(len(index4.near(E4, 1)))
            return 1.0

    class Writes:
        def __float__(self):
            index4.add(E4)
            return 1.0

    assert len(index4.near([Reads(), 0.0, 0.0, 0.0], 1)) == 1
    assert seen == [1]
    with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
        index4.near([Writes(), 0.0, 0.0, 0.0], 1)
    assert len(index4) == 1


def test_config_is_exclusively_borrowed_while_its_setter_converts():
    config = KivConfig()

    class Width:
        def __index__(self):
            return config.with_beam_width(1)

    with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
        config.with_beam_width(Width())

    class Sneaky:
        def __index__(self):
            KivIndex.with_config(4, config)
            return 7

    with pytest.raises(RuntimeError, match=r"^Already mutably borrowed$"):
        config.with_beam_width(Sneaky())
    assert (
        repr(config) == "KivConfig(beam_width=3, temporal_weight=0.00, propagation_threshold=0.000)"
    )


def test_failed_conversion_leaves_config_unchanged():
    config = KivConfig().with_beam_width(5)
    with pytest.raises(OverflowError):
        config.with_beam_width(-1)
    with pytest.raises(TypeError, match=r"^argument 'weight': must be real number, not str$"):
        config.with_temporal_weight("x")
    assert (
        repr(config) == "KivConfig(beam_width=5, temporal_weight=0.00, propagation_threshold=0.000)"
    )
