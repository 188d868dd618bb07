import copy
import math
import pickle
from fractions import Fraction

import numpy as np
import pytest

from ovelin.algorithm.antiwindup import AntiWindupLimter

nan, inf = math.nan, math.inf


class PythonAntiWindup:
    """The limiter written out in Python: the oracle for every kind of limit."""

    def __init__(self):
        self._u0 = self._y0 = None

    def __call__(self, u, HI=100, LO=0):
        u = float(u)
        if u != u:
            return u
        if self._u0 is None:
            self._u0 = u
        if self._y0 is None:
            self._y0 = min(max(u, LO), HI)
        y = min(max(self._y0 + (u - self._u0), LO), HI)
        self._u0, self._y0 = u, y
        return y


def same(a, b):
    return type(a) is type(b) and (a == b or (a != a and b != b))


@pytest.mark.parametrize("inputs, expected", [
    ([90, 110, 120, 115, 105, 95], [90.0, 100, 100, 95.0, 85.0, 75.0]),  # a plain clamp: 90, 100, 100, 100, 100, 95
    ([150, 140], [100.0, 90.0]),   # 100 + 0.0 is not beyond the limit
    ([-5, -5, 3], [0.0, 0.0, 8.0]),
    ([nan, 50, 50], [nan, 50.0, 50.0]),  # a NaN sample leaves no history
    ([90, 110, nan, 95, nan, 80], [90.0, 100, nan, 85.0, nan, 70.0]),  # ... and the next one continues
    ([inf, 50], [nan, nan]),
])
def test_outputs(inputs, expected):
    block = AntiWindupLimter()
    outputs = [block(u) for u in inputs]
    assert all(same(o, e) for o, e in zip(outputs, expected)), outputs


def test_a_limit_that_applies_is_returned_and_kept_as_given():
    block, hi = AntiWindupLimter(), np.float32(40.5)
    assert block(30, hi) == 30.0
    assert block(50, HI=hi) is hi and block._y0 is hi
    assert block.run(u=45, HI=hi, LO=-1) == np.float32(35.5) and block._u0 == 45.0


def test_call_and_run_share_the_history():
    block, oracle = AntiWindupLimter(), PythonAntiWindup()
    for k, u in enumerate([10, 130, 95, 20, -40, 5]):
        step = block.run if k % 2 else block
        assert same(step(u, 100, 0), oracle(u, 100, 0))


LIMITS = [(100, 0), (50.5, -2.5), (0, 100), (nan, 0), (100, nan), (2 ** 60, -(2 ** 60)), (Fraction(7, 2), 0),
          (np.float32(60.1), np.float32(0.3)), (np.int64(80), np.int8(5)), (True, False)]


def test_any_limits_give_what_python_gives():
    rng = np.random.default_rng(8)
    block, oracle = AntiWindupLimter(), PythonAntiWindup()
    for k in range(300):
        hi, lo = LIMITS[rng.integers(len(LIMITS))]
        u = float(rng.choice([rng.normal() * 80, 1e300]))
        if k % 50 == 0:
            block._u0 = block._y0 = oracle._u0 = oracle._y0 = None  # starts afresh
        with np.errstate(all="ignore"):
            assert same(block(u, hi, lo), oracle(u, hi, lo)), (u, hi, lo)
        assert same(block._u0, oracle._u0) and same(block._y0, oracle._y0)


def test_history_attributes():
    block = AntiWindupLimter()
    assert block._u0 is None and block._y0 is None
    block._u0, block._y0 = 10, Fraction(1, 2)
    assert block(12) == 2.5 and same(block._y0, 2.5)
    block._y0 = None  # restarts the output from the input, limited; the input's change still counts
    assert same(block(70), 100) and block(60) == 90.0


@pytest.mark.parametrize("call, text", [
    (lambda b: b("1"), "must be real number, not str"),
    (lambda b: b(1.0, HI="a"), "'<' not supported between instances of 'str' and 'float'"),
    (lambda b: b(1.0, LO=None), "'>' not supported between instances of 'NoneType' and 'float'"),
])
def test_refusals_keep_the_history(call, text):
    block = AntiWindupLimter()
    with pytest.raises(TypeError) as info:
        call(block)
    assert str(info.value) == text and block._u0 is None and block._y0 is None


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, lambda b: pickle.loads(pickle.dumps(b))],
                         ids=["copy", "deepcopy", "pickle"])
def test_clones_continue_identically(clone):
    block = AntiWindupLimter()
    block(90), block(110)
    block.tag = "LIC-2"
    twin = clone(block)
    assert twin.tag == "LIC-2" and same(twin._y0, 100) and same(twin._u0, 110.0)
    for u in [120, 80, 10, -30]:
        assert same(twin(u), block(u))
