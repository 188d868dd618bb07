import copy
import math
import operator
import pickle
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from ovelin.algorithm.watchdog import WatchDog


def python_tick(ticks, MaxOut=0):
    """One call written out in Python: (new ticks, result)."""
    ticks = (ticks + 1) % int(MaxOut + 1)
    return ticks, operator.index(ticks)


def same(a, b):
    return type(a) is type(b) and a == b


@pytest.mark.parametrize("start, max_outs, expected", [
    (0, [3] * 10, [1, 2, 3, 0, 1, 2, 3, 0, 1, 2]),
    (0, [None] * 3, [0, 0, 0]),                   # the default MaxOut 0
    (7, [3], [0]),                                # a lower MaxOut wraps the next count at once
    (0, [-3] * 4, [-1, 0, -1, 0]),                # n = -2: the remainder takes the sign of n
    (0, [4.7] * 6, [1, 2, 3, 4, 0, 1]),           # n = int(5.7) = 5
    (0, [-2.5] * 2, [0, 0]),                      # n = int(-1.5) = -1
    (2 ** 63 - 2, [2 ** 63, 2 ** 63], [2 ** 63 - 1, 2 ** 63]),
    (-(2 ** 63), [2 ** 62, 9.3e18], [3, 4]),      # -2**63 + 1 = 3 - 2 * (2**62 + 1)
    (2 ** 70, [2 ** 80, 4], [2 ** 70 + 1, 1]),
])
def test_counts(start, max_outs, expected):
    dog = WatchDog()
    dog.ticks = start
    counts = [dog() if m is None else dog(m) for m in max_outs]
    assert counts == expected and all(type(c) is int for c in counts) and dog.ticks == expected[-1]


@pytest.mark.parametrize("start, max_out", [
    (0, np.int64(3)), (5, True), (5, Fraction(9, 2)), (5, Decimal("6.5")), (np.int64(5), 3), (np.uint8(250), 100),
    (True, 3), (2 ** 64, np.float64(1e20)), (-7, -(2 ** 70)),
])
def test_other_numbers_count_as_python_counts(start, max_out):
    dog, ticks = WatchDog(), start
    dog.ticks = start
    for _ in range(3):
        ticks, expected = python_tick(ticks, max_out)
        assert same(dog(MaxOut=max_out), expected) and same(dog.ticks, ticks)


@pytest.mark.parametrize("max_out, error, text", [
    (-1, ZeroDivisionError, "integer modulo by zero"),
    (-1.5, ZeroDivisionError, "integer modulo by zero"),
    (math.nan, ValueError, "cannot convert float NaN to integer"),
    (math.inf, OverflowError, "cannot convert float infinity to integer"),
    ("3", TypeError, 'can only concatenate str (not "int") to str'),
    (None, TypeError, "unsupported operand type(s) for +: 'NoneType' and 'int'"),
])
def test_refused_max_out_keeps_the_count(max_out, error, text):
    dog = WatchDog()
    dog(5), dog(5)
    with pytest.raises(error) as info:
        dog(max_out)
    assert str(info.value) == text and dog.ticks == 2


def test_a_count_that_is_no_integer_is_stored_then_refused():
    dog = WatchDog()
    dog.ticks = 2.5
    with pytest.raises(TypeError, match=r"^'float' object cannot be interpreted as an integer$"):
        dog(9)
    assert same(dog.ticks, 3.5)
    dog.ticks = 0
    assert dog(9) == 1


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, lambda b: pickle.loads(pickle.dumps(b))],
                         ids=["copy", "deepcopy", "pickle"])
@pytest.mark.parametrize("start", [0, 2 ** 65], ids=["64 bits", "beyond"])
def test_clones_continue_identically(clone, start):
    dog = WatchDog()
    dog.ticks, dog.tag = start, "heartbeat"
    dog(2 ** 70)
    twin = clone(dog)
    assert twin.tag == "heartbeat" and twin.ticks == dog.ticks
    assert [twin(5) for _ in range(7)] == [dog(5) for _ in range(7)]
