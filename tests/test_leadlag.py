import copy
import math
import pickle
import re
import warnings

import numpy as np
import pytest
from scipy import signal

from ovelin.algorithm.leadlag import LDLAG, filter_stp, positive_parameter_property

FLOAT_OR_INT = "(<class 'float'>, <class 'int'>)"


class ScipyLeadLag:
    """The filter written directly with scipy.signal, as the oracle."""

    def __init__(self, alpha=0.0, tao=5.0, Ts=1, u=None, y=None):
        self.alpha, self.tao, self.Ts, self.u, self.y = float(alpha), float(tao), Ts, u, y
        self.rebuild()

    def rebuild(self):
        if self.tao == 0:
            self.b, self.a = np.array([1.0]), np.array([1.0])
        else:
            with warnings.catch_warnings():  # the leading zero of a pure lag's numerator
                warnings.simplefilter("ignore", signal.BadCoefficients)
                num, self.a, _ = signal.cont2discrete(([self.alpha * self.tao, 1.0], [self.tao, 1.0]), dt=self.Ts)
            self.b = num[0] if self.alpha > 0 else num[0][1:]
        self.zi = None if self.u is None or self.y is None else signal.lfiltic(self.b, self.a, [self.y], [self.u])

    def __call__(self, u):
        if self.zi is None:
            self.zi = signal.lfiltic(self.b, self.a, [u], [u])
        y, self.zi = signal.lfilter(self.b, self.a, [u], zi=self.zi)
        self.u, self.y = u, y[0]
        return y[0]


class TestDocumentedCases:
    @pytest.mark.parametrize("alpha,expected", [(0.5, [0.0, 0.5, 0.590635, 0.664840]),
                                                (0, [0.0, 0.181269, 0.329680, 0.451188])])
    def test_unit_step(self, alpha, expected):
        f, ref = LDLAG(alpha=alpha, tao=5, Ts=1), ScipyLeadLag(alpha, 5)
        out = [f(u) for u in [0.0, 1.0, 1.0, 1.0]]
        assert out == pytest.approx(expected, abs=5e-7)
        assert out == pytest.approx([ref(u) for u in [0.0, 1.0, 1.0, 1.0]], rel=1e-14, abs=0)
        assert type(out[1]) is float and f._u_ini == 1.0 and f._y_ini == out[-1]

    @pytest.mark.parametrize("alpha", [0.0, 0.5, 3.0, -2.0])
    def test_zero_time_constant_passes_input_through(self, alpha):
        f = LDLAG(alpha=alpha, tao=0)
        assert [f(u) for u in [7.3, -1.0, 1e300]] == [7.3, -1.0, 1e300]
        assert f._zi.shape == (0,) and list(f._b) == list(f._a) == [1.0]

    def test_first_call_starts_at_rest(self):
        # The rest state is formed as the scipy route forms it, rounding included.
        assert LDLAG(alpha=0.0)(7.3) == ScipyLeadLag(0.0)(7.3) == 7.3
        assert LDLAG(alpha=0.5)(7.3) == ScipyLeadLag(0.5)(7.3) == 7.299999999999999

    def test_bumpless_parameter_change_in_steady_state(self):
        f = LDLAG(alpha=0, tao=5)
        f(1.0)
        f.alpha = 0.5
        assert f(1.0) == 1.0
        f.tao = 12
        assert f(1.0) == 1.0 and f._tao == 12 and type(f._tao) is int

    def test_multi_step_matches_single_calls(self):
        single = LDLAG(alpha=0.5, tao=5)
        expected = [single(u) for u in [0, 1, 1, 1]]
        batch = LDLAG(alpha=0.5, tao=5)
        out = batch.multi_step([0, 1, 1, 1])
        assert out.dtype == np.float64 and out.tolist() == expected
        assert batch.__getstate__() == single.__getstate__()

    def test_filter_stp(self):
        t = np.arange(5)
        assert filter_stp(5, 2.0, 0.25).tolist() == pytest.approx(1 - 0.75 * np.exp(-t / 2), rel=1e-15, abs=0)
        assert filter_stp(5, 2.0, 0.25)[0] == 0.25
        assert filter_stp(3, 0, 0.25, 1, 3).tolist() == [3.0, 3.0, 3.0]
        assert filter_stp(N=2, tao=-1.0, alpha=0, r1=-1, r2=2).tolist() == [2.0, 2.0]
        assert filter_stp(0, 1.0, 0).shape == (0,) and filter_stp(-3, 1.0, 0).shape == (0,)
        with pytest.raises(ValueError, match="negative dimensions are not allowed"):
            filter_stp(-1, 0.0, 0)
        rng = np.random.default_rng(5)
        for _ in range(50):
            n, tao, alpha, r1, r2 = int(rng.integers(1, 300)), rng.uniform(0.1, 50), rng.uniform(0, 3), *rng.normal(size=2)
            expected = r1 + (r2 - r1) * (1 - (1 - alpha) * np.exp((-1 / tao) * np.arange(n)))
            assert filter_stp(n, tao, alpha, r1, r2) == pytest.approx(expected, rel=1e-15, abs=1e-15 * abs(r2 - r1))
        for args, given in [((5.0, 1.0, 0.0), "float"), ((True, 1.0, 0.0), "bool")]:
            with pytest.raises(TypeError, match=fr"^Argument 'N' has incorrect type \(expected int, got {given}\)$"):
                filter_stp(*args)
        with pytest.raises(TypeError, match="must be real number, not str"):
            filter_stp(3, "1", 0.0)


class TestConstruction:
    def test_defaults_and_stored_objects(self):
        f = LDLAG()
        assert (f._alpha, f._tao, f._Ts, f._u_ini, f._y_ini, f._zi) == (0.0, 5.0, 1, None, None, None)
        assert f._a.tolist() == [1.0, -math.exp(-0.2)] and f._b.tolist() == [1 - math.exp(-0.2)]
        u0, y0 = np.float32(2.5), 3
        g = LDLAG(alpha=np.float32(0.5), tao=True, Ts=2, u_ini=u0, y_ini=y0)
        assert type(g._alpha) is float and g._tao == 1.0 and g._u_ini is u0 and g._y_ini is y0
        ref = ScipyLeadLag(0.5, 1.0, 2, 2.5, 3)
        assert g._zi.tolist() == pytest.approx(ref.zi.tolist(), rel=1e-14)
        assert g(1.0) == pytest.approx(ref(1.0), rel=1e-14)
        assert LDLAG(u_ini=1.0)._zi is None

    @pytest.mark.parametrize("ts,given", [(0.5, "float"), (True, "bool"), (None, "NoneType"),
                                          (np.int64(1), "numpy.int64")])
    def test_ts_must_be_exactly_int(self, ts, given):
        with pytest.raises(TypeError, match=fr"^Argument 'Ts' has incorrect type \(expected int, got {given}\)$"):
            LDLAG(Ts=ts)

    @pytest.mark.parametrize("kwargs", [dict(alpha="0.5"), dict(tao=None), dict(u_ini="1", y_ini=1.0)])
    def test_non_numeric_arguments(self, kwargs):
        with pytest.raises(TypeError):
            LDLAG(**kwargs)

    @pytest.mark.parametrize("alpha,tao,text", [
        (0.0, -1.0, "Expected a non-negative value."), (1.0, -5, "Expected a non-negative value."),
        (-0.1, 5.0, "Expected a non-negative value."), (0.0, math.nan, "tao must be a finite number"),
        (math.nan, 1.0, "alpha must be a finite number"), (0.0, math.inf, "tao must be a finite number"),
    ])
    def test_no_filter_for_negative_or_non_finite_parameters(self, alpha, tao, text):
        with pytest.raises(ValueError) as refused:
            LDLAG(alpha, tao)
        assert str(refused.value) == text


class TestSamples:
    def test_agrees_with_scipy_through_parameter_changes(self):
        rng = np.random.default_rng(11)
        for _ in range(40):
            draw = lambda: float(rng.choice([0.0, rng.uniform(0, 3)]))  # noqa: E731
            alpha, tao, ts = draw(), float(rng.uniform(0.1, 50)), int(rng.integers(1, 10))
            start = dict(u=rng.normal(), y=rng.normal()) if rng.random() < 0.5 else {}
            f = LDLAG(alpha, tao, ts, start.get("u"), start.get("y"))
            ref = ScipyLeadLag(alpha, tao, ts, **start)
            for _ in range(60):
                if rng.random() < 0.1:
                    ref.alpha, ref.tao = f.alpha, f.tao = draw(), float(rng.choice([0.0, rng.uniform(0.1, 50)]))
                    ref.rebuild()
                if rng.random() < 0.2:
                    u = rng.normal(size=int(rng.integers(1, 5))) * 10
                    assert f.multi_step(u) == pytest.approx([ref(x) for x in u], rel=1e-12, abs=1e-12)
                else:
                    u = float(rng.normal() * 10)
                    assert f(u) == pytest.approx(ref(u), rel=1e-12, abs=1e-12)

    def test_argument_handling(self):
        a, b = LDLAG(alpha=0.5), LDLAG(alpha=0.5)
        assert a(u=np.float32(2)) == b(2) and a(True) == b(1.0)
        for call, message in [(lambda: a(), r"missing required argument 'u' \(pos 1\)"),
                              (lambda: a(1, 2), r"takes at most 1 arguments \(2 given\)"),
                              (lambda: a(x=1), "unexpected keyword argument 'x'"),
                              (lambda: a("1"), "must be real number, not str"),
                              (lambda: a(None), "must be real number, not NoneType")]:
            with pytest.raises(TypeError, match=message):
                call()
        assert a.__getstate__() == b.__getstate__()

    @pytest.mark.parametrize("empty,text", [([], "list index out of range"), ((), "tuple index out of range"),
                                            (np.array([]), "index 0 is out of bounds for axis 0 with size 0")])
    def test_multi_step_empty_changes_nothing(self, empty, text):
        f = LDLAG(alpha=0.5)
        with pytest.raises(IndexError, match=text):
            f.multi_step(empty)
        f(2.0)
        before = f.__getstate__()
        with pytest.raises(IndexError):
            f.multi_step(empty)
        assert f.__getstate__() == before

    def test_multi_step_inputs(self):
        u = np.arange(12.0)[::2]
        ref = LDLAG(alpha=0.3, tao=2.0)
        expected = [ref(x) for x in u]
        assert LDLAG(alpha=0.3, tao=2.0).multi_step(u).tolist() == expected
        assert LDLAG(alpha=0.3, tao=2.0).multi_step(u.astype(np.int32).tolist()).tolist() == expected
        assert u.tolist() == list(range(0, 12, 2))
        with pytest.raises(ValueError):
            LDLAG().multi_step(["a"])


class TestParameterProperties:
    def test_on_a_plain_class(self):
        class Block:
            gain = positive_parameter_property("gain", int)

            def __init__(self):
                self._gain, self.calls = 2, 0

            def _modify_param(self):
                self.calls += 1

        b = Block()
        assert isinstance(Block.gain, property) and b.gain == 2
        b.gain = True
        assert b._gain is True and b.calls == 1
        b.gain = 1  # equal to True: nothing happens
        assert b._gain is True and b.calls == 1
        for value, error, text in [(1.5, TypeError, "gain must be a <class 'int'>"),
                                   (-1, ValueError, "Expected a non-negative value."),
                                   ("-1", TypeError, "gain must be a <class 'int'>")]:
            with pytest.raises(error, match=f"^{text}$"):
                b.gain = value
        assert b._gain is True and b.calls == 1
        del b._gain
        with pytest.raises(AttributeError, match="_gain"):
            b.gain = 3

    @pytest.mark.parametrize("value,ok", [(1, True), (np.float64(0.25), True), (True, True),
                                          (np.int64(1), False), (np.float32(0.5), False), (None, False)])
    def test_ldlag_types(self, value, ok):
        f = LDLAG()
        if ok:
            f.alpha = value
            assert f._alpha is value and f.alpha is value
        else:
            with pytest.raises(TypeError, match=f"^{re.escape('alpha must be a ' + FLOAT_OR_INT)}$"):
                f.alpha = value

    def test_a_failed_construction_leaves_no_usable_block(self):
        class Failing(LDLAG):
            def _modify_param(self):
                self.seen = self(1.0)  # the block works while the hook runs
                raise RuntimeError("refused")

        block = Failing.__new__(Failing)
        with pytest.raises(RuntimeError, match="^refused$"):
            block.__init__()
        assert block.seen == 1.0
        with pytest.raises(TypeError, match="^'Failing' object is not initialized$"):
            block(1.0)

    def test_errors_and_equal_values_change_nothing(self):
        class Spy(LDLAG):
            def _modify_param(self):
                self.rebuilds = getattr(self, "rebuilds", 0) + 1
                super()._modify_param()

        f = Spy(alpha=0.5, tao=5, u_ini=1.0, y_ini=2.0)
        assert f.rebuilds == 1
        f(3.0)
        before = f.__getstate__()
        for name, value, error in [("tao", -1, ValueError), ("alpha", -0.5, ValueError), ("alpha", "0.5", TypeError)]:
            with pytest.raises(error):
                setattr(f, name, value)
        f.alpha, f.tao = 0.5, 5  # equal values
        assert f.__getstate__() == before and f.rebuilds == 1 and type(f._tao) is float
        with pytest.raises(ValueError, match="tao must be a finite number"):
            f.tao = math.nan  # refused before it is stored: nothing changes
        assert f.rebuilds == 1 and f.__getstate__() == before
        f.tao = 4
        assert f.rebuilds == 2 and f._zi.tolist() == ScipyLeadLag(0.5, 4, 1, 3.0, f._y_ini).zi.tolist()

    def test_direct_writes_apply_at_the_next_rebuild(self):
        f = LDLAG(alpha=0.5, tao=5)
        f(1.0)
        b = f._b.tolist()
        f._Ts, f._alpha = 2, 0
        assert f._b.tolist() == b
        f._modify_param()
        assert f._b.tolist() == pytest.approx([1 - math.exp(-0.4)], rel=1e-15) and f._zi is not None
        f._zi = None
        assert f(4.0) == 4.0
        f._u_ini, f._y_ini = 0.0, None
        f._modify_param()
        assert f._zi is None


class TestLifecycle:
    @pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, lambda f: pickle.loads(pickle.dumps(f))],
                             ids=["copy", "deepcopy", "pickle"])
    @pytest.mark.parametrize("history", ["fresh", "running", "changed", "direct"])
    def test_clone_continues_bit_identically(self, clone, history):
        f = LDLAG(alpha=0.3, tao=7.0, Ts=2)
        f.tag = "FY-101"
        if history != "fresh":
            f.multi_step(np.linspace(0, 5, 9))
        if history == "changed":
            f.alpha, f.tao = 0, 3
        if history == "direct":
            f._Ts, f._u_ini = 5, np.float32(0.5)
        g = clone(f)
        assert g.__getstate__() == f.__getstate__() and g.tag == "FY-101"
        u = np.random.default_rng(3).normal(size=20)
        assert [g(x) for x in u] == [f(x) for x in u]
        g.alpha = 0.9
        assert f(1.0) != g(1.0) and f._alpha != 0.9
