import copy
import pickle

import numpy as np
import pytest

from ovelin.algorithm.triggers import RStrigger, TOFFtrigger, TONtrigger


def run(block, inputs, **pins):
    """Feeds Ut; returns the (Yt, ET) pairs after each call."""
    for name, value in pins.items():
        setattr(block, name, value)
    out = []
    for u in inputs:
        block.Ut = u
        assert block.call() is None
        out.append((block.Yt, block.ET))
    return out


@pytest.mark.parametrize("cls, pins", [
    (RStrigger, {"S": 0, "R": 0, "Q": False, "nQ": True}),
    (TONtrigger, {"Ut": 0, "DT": 3, "ET": 0, "Yt": 0}),
    (TOFFtrigger, {"Ut": 0, "DT": 3, "ET": 0, "Yt": 0}),
])
def test_pins_have_class_level_defaults(cls, pins):
    block = cls()
    assert {n: getattr(cls, n) for n in pins} == {n: getattr(block, n) for n in pins} == pins
    assert vars(block) == {}
    history = block.Q_array if cls is RStrigger else block.Ut_array
    assert history.dtype == (bool if cls is RStrigger else np.int64) and not history.any()


def test_set_reset_with_reset_winning():
    r, out = RStrigger(), []
    for s, reset in [(0, 0), (1, 0), (0, 0), (1, 1), (0, 0), ("on", None), ([], [0])]:
        r.S, r.R = s, reset
        r.call()
        out.append((r.Q, r.nQ, r.Q_array.tolist()))
        assert type(r.Q) is bool and type(r.nQ) is bool
    assert out == [(False, True, [False]), (True, False, [True]), (True, False, [True]), (False, True, [False]),
                   (False, True, [False]), (True, False, [True]), (False, True, [False])]


@pytest.mark.parametrize("cls, inputs, expected", [
    (TONtrigger, [0, 1, 1, 1, 1, 0], [(0, 3), (0, 2), (0, 1), (1, 0), (1, 0), (0, 3)]),
    (TOFFtrigger, [0, 1, 1, 0, 0, 0, 0], [(0, 0), (1, 3), (1, 3), (1, 2), (1, 1), (0, 0), (0, 0)]),
])
def test_timers_count_calls(cls, inputs, expected):
    assert run(cls(), inputs) == expected


@pytest.mark.parametrize("ut, stored, after", [(0.7, 0, (0, 3)), (-1.5, -1, (1, 0)), (True, 1, (0, 2)),
                                               ("12", 12, (0, 2)), (np.float64(2.9), 2, (0, 2)),
                                               (np.int64(-4), -4, (1, 0))])
def test_input_is_converted_as_the_integer_array_converts(ut, stored, after):
    t = TONtrigger()
    assert run(t, [ut]) == [after] and t.Ut_array.tolist() == [stored, 0]


def test_untouched_count_is_not_written():
    t = TOFFtrigger()
    t.call()
    assert vars(t) == {"Yt": 0}


@pytest.mark.parametrize("cls, inputs, expected", [
    (TONtrigger, [1, 1, 1, 1], [(0, 1.5), (0, 0.5), (1, -0.5), (1, -0.5)]),
    (TOFFtrigger, [1, 0, 0, 0], [(1, 2.5), (1, 1.5), (1, 0.5), (0, -0.5)]),
])
def test_fractional_delay_follows_the_same_rules(cls, inputs, expected):
    assert run(cls(), inputs, DT=2.5) == expected


def test_another_sequence_keeps_its_elements():
    t, r = TONtrigger(), RStrigger()
    t.Ut_array, r.Q_array = [0, 0], ["held"]
    assert run(t, [0.5, 1]) == [(0, 2), (0, 2)] and t.Ut_array == [1, 0.5]
    r.call()
    assert (r.Q, r.nQ, r.Q_array) == ("held", False, ["held"])


def test_class_and_subclass_pins_are_honoured():
    class Fixed(TONtrigger):
        DT = property(lambda self: 1)

    assert run(Fixed(), [1]) == [(1, 0)]
    t = TONtrigger()
    run(t, [1])
    try:
        TONtrigger.DT = 5
        assert run(t, [0]) == [(0, 5)]
    finally:
        TONtrigger.DT = 3
    assert run(t, [0]) == [(0, 3)]


@pytest.mark.parametrize("history, pins, error, message", [
    (None, {"Ut": "x"}, ValueError, "invalid literal for int() with base 10: 'x'"),
    (None, {"Ut": float("nan")}, ValueError, "cannot convert float NaN to integer"),
    (None, {"Ut": 2 ** 63}, OverflowError, "Python int too large to convert to C long"),
    (None, {"Ut": 1, "DT": None}, TypeError, "'<' not supported between instances of 'int' and 'NoneType'"),
    (np.zeros(1, np.int64), {"Ut": 1}, IndexError, "index 1 is out of bounds for axis 0 with size 1"),
    (np.zeros(2, np.int64)[::-1], {"Ut": 1}, ValueError, "assignment destination is read-only"),
])
def test_refused_input_leaves_the_timer_as_it_was(history, pins, error, message):
    t = TONtrigger()
    run(t, [1])
    if history is not None:
        history.flags.writeable = history.shape == (1,)
        t.Ut_array = history
    before = t.Ut_array.copy()
    with pytest.raises(error) as info:
        run(t, [pins.pop("Ut")], **pins)
    assert str(info.value) == message
    assert (t.Yt, t.ET) == (0, 2) and t.Ut_array.tolist() == before.tolist()


@pytest.mark.parametrize("cls", [RStrigger, TONtrigger, TOFFtrigger])
@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy, lambda b: pickle.loads(pickle.dumps(b))],
                         ids=["copy", "deepcopy", "pickle"])
def test_copies_continue_on_their_own(cls, duplicate):
    def step(block, u):
        block.S = block.Ut = u
        block.R = 1 - u
        block.call()
        return block.Q if cls is RStrigger else (block.Yt, block.ET)

    block = cls()
    for u in [1, 1]:
        step(block, u)
    twin = duplicate(block)
    twin_out = [step(twin, u) for u in [0, 0, 1]]
    assert [step(block, u) for u in [0, 0, 1]] == twin_out
    assert type(twin) is cls and vars(twin) == vars(block)
