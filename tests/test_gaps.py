import math

import numpy as np
import pytest
from scipy import signal

from ovelin.algorithm.filters import zFilter
from ovelin.algorithm.pidcontrol import PID

nan, inf = math.nan, math.inf


def at_rest(b, a):
    order = max(len(a), len(b))
    return signal.lfiltic(b, a, np.zeros(order), np.zeros(order))


@pytest.mark.parametrize("order", [1, 2, 5, 9])
def test_long_batches_match_lfilter_bit_for_bit(order):
    rng = np.random.default_rng(order)
    a = np.poly(rng.uniform(-0.9, 0.9, order)) * rng.uniform(0.5, 3.0)
    b = rng.normal(size=order + 1)
    u = rng.normal(size=5000) * 10
    f = zFilter(b, a, 0.0, 0.0)
    zi = at_rest(b, a)
    for part in (u, u[::-1]):  # the second batch continues from the state the first one left
        expected, zi = signal.lfilter(b, a, part, zi=zi)
        assert f.run_multistep(part).tobytes() == expected.tobytes()
        assert f._zi.tobytes() == zi.tobytes()


@pytest.mark.parametrize("b, a, u, expected", [
    ([0.5, 0.5], [1.0], [1, nan, 1, 1, 1], [0.5, nan, nan, 1.0, 1.0]),
    ([0.5, 0.5], [1.0], [1, inf, 1, -inf, 1], [0.5, inf, inf, -inf, -inf]),
    ([1.0, 0.5, 0.25], [1.0, -0.5], [1, nan, 1, 1, 1], None),
    ([1.0, 0.5, 0.25], [2.0, -0.5], [1, inf, 1, -inf, 1], None),
    ([0.2, 0.3, 0.1, 0.4], [1.0, 0.25, -0.1], [-inf, 1, 2, 3, nan, 4], None),
])
def test_non_finite_samples_follow_lfilter(b, a, u, expected):
    ref, zf = signal.lfilter(b, a, u, zi=at_rest(b, a))
    if expected is not None:
        np.testing.assert_array_equal(ref, expected)
    single, batch = zFilter(b, a, 0.0, 0.0), zFilter(b, a, 0.0, 0.0)
    np.testing.assert_array_equal([single(x) for x in u], ref)
    np.testing.assert_array_equal(batch.run_multistep(u), ref)
    for f in (single, batch):
        np.testing.assert_array_equal(f._zi, zf)


def expected_auto(kp, ti, td, n, ts, state, sp, pv, ff, hi=100.0, lo=0.0):
    """One automatic sample, term by term, from the previous errors, output, feedforward and derivative."""
    et1, et2, op1, ff1, d1 = state
    et = sp - pv
    dp = kp * (et - et1)
    di = kp * ts / ti * et
    tao = td / n
    dd = (tao * d1 + kp * td * (et - 2 * et1 + et2)) / max(tao + ts, 1e-6)
    dff = ff - ff1
    dop = dp + di + dd + dff
    return dict(OP=min(max(op1 + dop, lo), hi), OPcal=op1 + dop, dOP=dop, dOP_P=dp, dOP_I=di, dOP_D=dd, dFF=dff)


@pytest.mark.parametrize("prepare, state", [
    (lambda p: p._resetPID(50, 40, 30, 2), (10.0, 10.0, 30.0, 2.0, 0.0)),
    (lambda p: p._resetPID(SP=-5, PV=7.5, TV=130, FF=0), (-12.5, -12.5, 130.0, 0.0, 0.0)),
    (lambda p: (p.run(0, 50, 40, 30, 2), p._setInnerSaveState(1, 2, 3, 4, 5, 6, 7)), (10.0, 10.0, 30.0, 2.0, 0.0)),
], ids=["reset", "reset by keyword", "save state set"])
def test_automatic_sample_reports_its_own_save_state(prepare, state):
    pid = PID(TS=0.5)
    pid.setPIDParam(2.0, 20.0, 3.0, 6.0)
    prepare(pid)
    expected = expected_auto(2.0, 20.0, 3.0, 6.0, 0.5, state, 52, 41, 3.5)
    assert pid.PID_Auto(52, 41, 3.5) == expected["OP"]
    assert pid.getInnerSaveState() == expected
    assert (pid._OP_save, pid._dOP_D_save, pid._dFF_save) == (expected["OP"], expected["dOP_D"], expected["dFF"])
    following = expected_auto(2.0, 20.0, 3.0, 6.0, 0.5, (11.0, state[0], expected["OP"], 3.5, expected["dOP_D"]),
                              52, 44, 3.5)
    assert pid.run(1, 52, 44, 0, 3.5) == following["OP"] and pid.getInnerSaveState() == following
