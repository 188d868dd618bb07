import copy
import math
import pickle
import time
from fractions import Fraction

import numpy as np
import pytest

from ovelin.algorithm import testsignal


def python_signal(table, ET, amp, t):
    """One call written out in Python over a NumPy table: the oracle for every kind of time."""
    P = 2 * ET
    pi = t // P
    ids = [pi % len(table), (pi + 1) % len(table), (pi + 2) % len(table)]
    sw0, sw1, sw2 = [int(P * table[i]) for i in ids]
    tp = t % P
    if tp < sw0:
        return (amp, sw0 - tp, P - tp, P - tp + sw1, 2 * P - tp, 2 * P - tp + sw2)
    return (-amp, P - tp, P - tp + sw1, 2 * P - tp, 2 * P - tp + sw2, 3 * P - tp)


def same(a, b):
    return len(a) == len(b) and all(type(x) is type(y) and x == y for x, y in zip(a, b))


def with_table(entries, ET=10):
    """A signal whose table is 0.5 everywhere but at the given entries."""
    signal, table = testsignal.TestSignal(0), np.full(10000, 0.5)
    for i, value in entries.items():
        table[i] = value
    signal._rand_arr = table
    signal._ET = ET  # the attribute, as set_ET refuses a period below 1
    return signal


@pytest.mark.parametrize("seed", [0, 1, 5, 2 ** 32 - 1, np.uint32(7)])
def test_table_is_the_one_the_process_wide_generator_draws(seed):
    kept = np.random.get_state()
    try:
        np.random.seed(seed)
        expected = np.random.randint(10, 91, 10000) / 100
    finally:
        np.random.set_state(kept)
    assert testsignal.TestSignal(SEED=seed)._rand_arr.tobytes() == expected.tobytes()


def test_the_process_wide_generator_is_left_alone():
    np.random.seed(123)
    testsignal.TestSignal(7), testsignal.TestSignal()
    drawn = np.random.random(3)
    np.random.seed(123)
    assert drawn.tolist() == np.random.random(3).tolist()
    a, b = testsignal.TestSignal(), testsignal.TestSignal()
    assert a._rand_arr.tolist() != b._rand_arr.tolist()  # unseeded: each from fresh entropy
    assert all(testsignal.TestSignal(3)(t) == testsignal.TestSignal(3)(t) for t in range(-500, 500, 7))


@pytest.mark.parametrize("seed, error, text", [
    (-1, ValueError, "Seed must be between 0 and 2**32 - 1"),
    (1.5, TypeError, "Cannot cast scalar from dtype('float64') to dtype('int64') according to the rule 'safe'"),
])
def test_seed_refused_as_numpy_refuses_it(seed, error, text):
    with pytest.raises(error) as info:
        testsignal.TestSignal(seed)
    assert str(info.value) == text


@pytest.mark.parametrize("entries, ET, t, expected", [
    ({0: 0.35, 1: 0.6, 2: 0.25}, 10, 0, (1.0, 7, 20, 32, 40, 45)),
    ({0: 0.35, 1: 0.6, 2: 0.25}, 10, 7, (-1.0, 13, 25, 33, 38, 53)),
    ({0: 0.35, 1: 0.6, 2: 0.25}, 10, 200003, (1.0, 4, 17, 29, 37, 42)),  # the table repeats every 10000 periods
    ({9999: 0.9, 0: 0.35, 1: 0.6}, 10, -1, (-1.0, 1, 8, 21, 33, 41)),   # period -1, at 19 s
    ({0: 0.4}, 1, 0, (-1.0, 2, 3, 4, 5, 6)),                             # switching at 0: the whole period is low
    ({0: 0.58}, 25, 27, (1.0, 1, 23, 48, 73, 98)),                       # 50 * 0.58 = 28.999999999999996
    ({0: 0.58}, 25, 28, (-1.0, 22, 47, 72, 97, 122)),
    ({0: 0.3, 1: 0.7}, -10, 5, (1.0, 5, -5, -11, -25, -39)),             # a negative period counts as Python counts
])
def test_levels_and_next_changes(entries, ET, t, expected):
    signal = with_table(entries, ET)
    assert same(signal(t), expected)
    assert same(signal(t), python_signal(signal._rand_arr, ET, 1.0, t))


def test_parameters():
    signal = testsignal.TestSignal(1)
    assert same((signal.get_ET(), signal.get_amplitude()), (10, 1.0))
    for given, stored in [(7.9, 7), ("12", 12), (True, 1), (2 ** 70, 2 ** 70)]:
        signal.set_ET(given)
        assert same((signal.get_ET(), signal._ET), (stored, stored))
    for given, shown in [(0, "0"), (0.5, "0"), (-3.5, "-3"), (-(2 ** 70), str(-(2 ** 70)))]:
        with pytest.raises(ValueError, match=f"^ET must be at least 1 second, not {shown}$"):
            signal.set_ET(given)
        assert signal.get_ET() == 2 ** 70
    signal.set_ET()
    assert signal.get_ET() == 10
    amp = np.float32(1.5)
    for given, stored in [(amp, amp), (2, 2), (-2, 0.0), (0, 0.0), (math.nan, 0.0)]:
        signal.set_amplitude(given)
        assert same((signal.get_amplitude(),), (stored,)) and signal._amp is signal.get_amplitude()
    high, low = with_table({0: 0.35}), with_table({0: 0.35})
    high.set_amplitude(-2), low.set_amplitude(amp=-2)
    assert math.copysign(1, high(0)[0]) == 1.0 and math.copysign(1, low(7)[0]) == -1.0  # 0.0 and -0.0
    signal.set_amplitude()
    assert same((signal.get_amplitude(),), (1.0,))


TIMES = [0, 1, -1, 19, 20, 123456, -987654, 2 ** 63 - 1, -(2 ** 63), 2 ** 64 + 5, -(10 ** 30), np.int64(1234),
         np.int32(-77), True, Fraction(41, 2), 7.0]


def outcome(call):
    """The result, or the kind and text of the error."""
    try:
        return call()
    except Exception as exc:
        return type(exc), str(exc)


@pytest.mark.parametrize("ET", [10, 1, 7, -3, 2 ** 59, 2 ** 59 + 1, -(2 ** 70), 2.5, np.int16(6)])
@pytest.mark.parametrize("amp", [1.0, 2, np.float32(1.5), Fraction(1, 3)])
def test_any_time_and_parameters_give_what_python_gives(ET, amp):
    signal = testsignal.TestSignal(11)
    signal._ET, signal._amp = ET, amp
    for t in TIMES:
        with np.errstate(all="ignore"):
            ours, expected = outcome(lambda: signal(t)), outcome(lambda: python_signal(signal._rand_arr, ET, amp, t))
        assert (ours == expected) if isinstance(ours[0], type) else same(ours, expected), (t, ours, expected)


@pytest.mark.parametrize("ET, t, error, text", [
    (0, 5, ZeroDivisionError, "integer division or modulo by zero"),
    (0, None, ZeroDivisionError, "integer division or modulo by zero"),
    (0, 5.0, ZeroDivisionError, "float floor division by zero"),
    (10, 5.0, IndexError, "only integers, slices (`:`), ellipsis (`...`), numpy.newaxis (`None`) and integer or "
                          "boolean arrays are valid indices"),
    (10, "5", TypeError, "unsupported operand type(s) for //: 'str' and 'int'"),
])
def test_refused_times(ET, t, error, text):
    signal = testsignal.TestSignal(2)
    signal._ET = ET
    with pytest.raises(error) as info:
        signal(t)
    assert str(info.value) == text


def test_no_time_means_the_wall_clock():
    signal = testsignal.TestSignal(4)
    before = int(time.time())
    level = signal()
    after = int(time.time())
    assert level in [signal(t) for t in range(before, after + 1)]
    assert signal(t=None) in [signal(t) for t in range(before, int(time.time()) + 1)]


def test_table_attribute():
    signal = testsignal.TestSignal(6)
    table = signal._rand_arr
    table[:] = 0.9  # a copy: the signal keeps its table
    assert signal._rand_arr.tolist() != table.tolist()
    for bad in [[], [0.5, 1.5], [-0.1], [math.nan], [[0.5]]]:
        with pytest.raises(ValueError):
            signal._rand_arr = bad
    signal._rand_arr = [0.5, 0.25]
    assert same(signal(25), (-1.0, 15, 25, 35, 40, 55))


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, lambda b: pickle.loads(pickle.dumps(b))],
                         ids=["copy", "deepcopy", "pickle"])
def test_clones_give_the_same_signal(clone):
    signal = testsignal.TestSignal(9)
    signal.set_ET(13), signal.set_amplitude(np.float32(2.5))
    signal.tag = "TS-1"
    before = pickle.dumps(signal)
    levels = [signal(t) for t in range(-300, 300, 11)]
    twin = clone(signal)
    assert pickle.dumps(signal) == before  # calls do not change the object
    assert twin.tag == "TS-1" and [twin(t) for t in range(-300, 300, 11)] == levels
