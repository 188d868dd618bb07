import copy
import math
import pickle
from collections import deque

import numpy as np
import pytest

from ovelin.algorithm.delay import Delay, Delay_Algorithm


def delayed(block, samples):
    """Calls the Delay with each (Ut, nLag) pair or bare Ut."""
    return [block(*s) if isinstance(s, tuple) else block(s) for s in samples]


def run_pins(block, samples, nLag=None):
    if nLag is not None:
        block.nLag = nLag
    out = []
    for u in samples:
        block.Ut = u
        assert block.call() is None
        out.append(block.Yt)
    return out


class TestDelay:
    @pytest.mark.parametrize("max_cache, samples, expected", [
        (10000, [5.0, 6.0, 7.0], [5.0, 5.0, 6.0]),
        (10000, [(5.0, 0)], [5.0]),
        (10000, [(5.0, 9999)], [5.0]),
        (10000, [1.0, None, 2.0], [1.0, 1.0, None]),
        (3, [(1, 2), (2, 2), (3, 2), (4, 2), (5, 0), (6, True)], [1, 1, 1, 2, 5, 5]),
    ], ids=["default lag", "no lag", "longest lag on first call", "None is a sample", "ring wraps"])
    def test_worked_values(self, max_cache, samples, expected):
        assert delayed(Delay(max_cache), samples) == expected

    def test_returns_the_objects_themselves(self):
        first, d = ["sample"], Delay(2)
        assert d(first) is first and d(object(), 1) is first
        cache = d._cache
        assert type(cache) is deque and cache.maxlen == 2 and cache[1] is first
        cache.clear()  # a snapshot: the block keeps its history
        assert len(d._cache) == 2

    @pytest.mark.parametrize("make, samples, error, message, cache", [
        (Delay, [None], ValueError, "Ut is None and cache is empty.", []),
        (Delay, [(1.0, 10000)], ValueError, "nLag must be between 0 and 9999, but got 10000.", None),
        (lambda: Delay(3), [(1.0, 3)], ValueError, "nLag must be between 0 and 2, but got 3.", [1.0] * 3),
        (lambda: Delay(3), [(1.0, np.int64(-1))], ValueError, "nLag must be between 0 and 2, but got -1.", [1.0] * 3),
        (lambda: Delay(3), [(1.0, 1.5)], TypeError, "'float' object cannot be interpreted as an integer", []),
        (lambda: Delay(None), [1.0], TypeError, "can't multiply sequence by non-int of type 'NoneType'", []),
        (lambda: Delay(0), [(1.0, 0)], ValueError, "nLag must be between 0 and -1, but got 0.", []),
    ], ids=["None first", "default length", "past the end", "negative", "non-integer lag", "unbounded", "keeps nothing"])
    def test_refusals(self, make, samples, error, message, cache):
        d = make()
        with pytest.raises(error) as info:
            delayed(d, samples)
        assert str(info.value) == message
        if cache is not None:
            assert list(d._cache) == cache

    @pytest.mark.parametrize("max_cache, error, message", [
        (-1, ValueError, "maxlen must be non-negative"),
        (2.0, TypeError, "'float' object cannot be interpreted as an integer"),
        (2 ** 64, OverflowError, "Python int too large to convert to C ssize_t"),
    ])
    def test_construction_refuses(self, max_cache, error, message):
        with pytest.raises(error, match=f"^{message}$"):
            Delay(max_cache)


class TestDelayAlgorithm:
    def test_pins_have_class_level_defaults(self):
        d = Delay_Algorithm()
        assert (Delay_Algorithm.Ut, Delay_Algorithm.Yt, Delay_Algorithm.nLag) == (0, 0, 1)
        assert (d.Ut, d.Yt, d.nLag, vars(d)) == (0, 0, 1, {})
        assert d.U_array.dtype == np.float64 and d.U_array.shape == (0,)

    def test_worked_values(self):
        d = Delay_Algorithm()
        assert run_pins(d, [2]) == [2.0] and d.U_array.tolist() == [2.0, 2.0]  # the first sample fills it
        d = Delay_Algorithm()
        assert run_pins(d, [1, 2, 3]) == [1.0, 1.0, 2.0] and d.U_array.tolist() == [3.0, 2.0]
        assert type(d.Yt) is float
        old = d.U_array
        assert run_pins(d, [4, 5, 6, 7, 8], nLag=4) == [2.0, 2.0, 2.0, 3.0, 4.0]
        assert old.tolist() == [3.0, 2.0]  # lengthened into a new array
        assert run_pins(d, [9.5], nLag=0) == [9.5] and d.U_array.tolist() == [9.5, 8, 7, 6, 5]

    @pytest.mark.parametrize("ut, stored", [(None, math.nan), ("1.5", 1.5), (True, 1.0), (np.float32(0.5), 0.5)])
    def test_samples_are_converted_as_the_array_converts(self, ut, stored):
        d = Delay_Algorithm()
        run_pins(d, [ut], nLag=0)
        assert d.U_array.tolist() == pytest.approx([stored], nan_ok=True)

    def test_another_sequence_is_pushed_as_it_is(self):
        d, sample = Delay_Algorithm(), object()
        d.U_array = [1.0, 2.0, 3.0]
        run_pins(d, [sample], nLag=1)
        assert d.U_array == [sample, 1.0, 2.0] and d.Yt == 1.0
        d.U_array = [4.0]
        assert run_pins(d, [5.0], nLag=2) == [4.0] and d.U_array.tolist() == [5.0, 4.0, 4.0]

    @pytest.mark.parametrize("pins, error, message", [
        ({"nLag": -1}, ValueError, "nLag must be 0 or more, but got -1."),
        ({"nLag": 1.0}, TypeError, "'float' object cannot be interpreted as an integer"),
        ({"nLag": 2 ** 62}, ValueError, "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size."),
        ({"Ut": "x"}, ValueError, "could not convert string to float: 'x'"),
    ])
    def test_refusals(self, pins, error, message):
        d = Delay_Algorithm()
        run_pins(d, [1.0, 2.0])
        for name, value in pins.items():
            setattr(d, name, value)
        with pytest.raises(error) as info:
            d.call()
        assert str(info.value) == message
        assert d.U_array.tolist() == [2.0, 1.0] and d.Yt == 1.0


# Read at the oldest sample kept (lag 3 of 4), so a restore that fills the
# history from the wrong end shows.
@pytest.mark.parametrize("make, step", [
    (lambda: Delay(4), lambda b, u: b(u, 3)),
    (Delay_Algorithm, lambda b, u: run_pins(b, [u], nLag=3)[0]),
])
@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy, lambda b: pickle.loads(pickle.dumps(b))],
                         ids=["copy", "deepcopy", "pickle"])
def test_copies_continue_on_their_own(make, step, duplicate):
    block = make()
    for u in [1.0, 2.0, 3.0]:
        step(block, u)
    twin = duplicate(block)
    assert [step(twin, u) for u in [4.0, 5.0, 6.0]] == [1.0, 2.0, 3.0]
    assert [step(block, u) for u in [7.0, 8.0]] == [1.0, 2.0]
