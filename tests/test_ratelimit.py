import copy
import math
import pickle
from fractions import Fraction

import numpy as np
import pytest

from ovelin.algorithm.ratelimit import RateLimit

nan = math.nan


class PythonRateLimit:
    """The limiter written out in Python: the oracle for every kind of number."""

    def __init__(self, u_ini, Ts=1):
        self.u_last, self.Ts = float(u_ini), Ts

    def __call__(self, u_end, PRLimPerMin=60, NRLimPerMin=None):
        u_last = self.u_last
        rise = abs(PRLimPerMin / 60 * self.Ts)
        fall = -rise if NRLimPerMin is None else -abs(NRLimPerMin / 60 * self.Ts)
        d = u_end - u_last
        if d >= 0:
            u_out = u_last + rise if d > rise else u_end
        else:
            u_out = u_last + fall if d < fall else u_end
        self.u_last = u_out
        return float(u_out)


def same(a, b):
    return type(a) is type(b) and (a == b or (a != a and b != b))


@pytest.mark.parametrize("Ts, calls, expected", [
    (1, [(3,)] * 4 + [(0,)] * 3, [1.0, 2.0, 3.0, 3.0, 2.0, 1.0, 0.0]),
    (0.5, [(1, 12, -30)] * 2 + [(-1, 12, -30)] * 2, [0.1, 0.2, 0.2 - 0.25, 0.2 - 0.25 - 0.25]),
    (1, [(5, 0), (-5, 0)], [0.0, 0.0]),                       # no rate, no movement
    (1, [(5, -120), (-5, -120, 30)], [2.0, 1.5]),             # signs are ignored
    (1, [(0.0, 0, 0), (1.0,), (0.25,)], [0.0, 1.0, 0.25]),  # no change, or a change within reach, passes exactly
    (1, [(nan,), (5.0,), (9.0,)], [nan, 5.0, 6.0]),           # a NaN passes; the next target is taken as it is
])
def test_outputs(Ts, calls, expected):
    block = RateLimit(0, Ts)
    outputs = [block(*c) for c in calls]
    assert all(same(o, e) for o, e in zip(outputs, expected)), outputs


NUMBERS = [3, 2.5, 2 ** 60 + 1, -(2 ** 53) - 3, np.float32(0.7), np.float64(1.1), np.int64(7), Fraction(1, 3), True]


@pytest.mark.parametrize("Ts", [1, 0.5, np.float32(0.5), Fraction(1, 3), 2 ** 53 + 1, True])
def test_any_numbers_give_what_python_gives(Ts):
    rng = np.random.default_rng(3)
    block, oracle = RateLimit(0.25, Ts), PythonRateLimit(0.25, Ts)
    for _ in range(200):
        with np.errstate(all="ignore"):  # NumPy scalars may overflow: both sides then see the same infinity
            args = [NUMBERS[rng.integers(len(NUMBERS))] * rng.choice([1, -1, 100]) for _ in range(3)]
            args = args[:rng.integers(1, 4)]
            if len(args) == 3 and rng.random() < 0.3:
                args[2] = None
            assert same(block(*args), oracle(*args)), args
        assert same(block.u_last, oracle.u_last)


def test_attributes():
    ts = np.float32(0.5)
    block = RateLimit(u_ini=np.int8(2), Ts=ts)
    assert block.Ts is ts and same(block.u_last, 2.0)
    block.Ts = 6
    assert block(10) == 8.0 and same(block.u_last, 8.0)
    block.reset(u_ini=1)
    assert same(block.u_last, 1.0)
    target = np.float32(1.5)
    assert block(target) == 1.5 and block.u_last is target  # a reached target is kept as given
    block.u_last = Fraction(1, 2)
    assert block(2, 6) == 0.5 + 0.6 and type(block.u_last) is float


@pytest.mark.parametrize("call, error, text", [
    (lambda b: b(5, None), TypeError, "unsupported operand type(s) for /: 'NoneType' and 'int'"),
    (lambda b: b("5"), TypeError, "unsupported operand type(s) for -: 'str' and 'float'"),
    (lambda b: b(5, 60, "x"), TypeError, "unsupported operand type(s) for /: 'str' and 'int'"),
    (lambda b: b(), TypeError, "__call__() missing required argument 'u_end' (pos 1)"),
    (lambda b: b.reset("1"), TypeError, "must be real number, not str"),
    (lambda b: RateLimit(None), TypeError, "must be real number, not NoneType"),
])
def test_refusals(call, error, text):
    block = RateLimit(1.5)
    with pytest.raises(error) as info:
        call(block)
    assert str(info.value) == text and block.u_last == 1.5


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, lambda b: pickle.loads(pickle.dumps(b))],
                         ids=["copy", "deepcopy", "pickle"])
def test_clones_continue_identically(clone):
    block = RateLimit(0, Fraction(1, 2))
    block(np.float32(0.25))
    block.tag = "FIC-3"
    twin = clone(block)
    assert twin.tag == "FIC-3" and same(twin.u_last, block.u_last) and twin.Ts == block.Ts
    for target in [7, 0.125, -3]:
        assert same(twin(target, 30), block(target, 30))
