import copy
import fractions
import pickle
import threading

import numpy as np
import pytest
from scipy import signal

from ovelin.algorithm.filters import sFilter, zFilter

CLONES = [copy.copy, copy.deepcopy, lambda f: pickle.loads(pickle.dumps(f))]


def reference(b, a, u, u_ini, y_ini):
    """Outputs and final state of the filter at rest around (u_ini, y_ini), by SciPy."""
    order = max(len(a), len(b))
    zi = signal.lfiltic(b, a, np.zeros(order), np.zeros(order))
    y, zf = signal.lfilter(b, a, np.asarray(u, float) - u_ini, zi=zi)
    return y + y_ini, zf


def random_filter(rng):
    b = rng.normal(size=rng.integers(1, 7))
    poles = rng.uniform(-0.95, 0.95, rng.integers(0, 7))
    return b, np.atleast_1d(np.poly(poles)) * rng.uniform(0.3, 4.0)


def state(block):
    f = getattr(block, "_zfilter", block)
    return f._zi.tolist(), f._u_ini, f._y_ini


class TestEdgeCases:
    def test_documented_sequences(self):
        f = zFilter(u_ini=0, y_ini=0)
        assert [f(1.0) for _ in range(5)] == pytest.approx([0.0, 0.1, 0.19, 0.271, 0.3439], abs=1e-15)
        s = sFilter(u_ini=0, y_ini=0)
        out = [s(1.0) for _ in range(4)]
        assert out[0] == 0.0 and out == pytest.approx([0.0, 0.181269, 0.329680, 0.451188], abs=5e-7)
        assert zFilter(u_ini=2, y_ini=10)(2.0) == 10.0

    def test_operating_points_from_first_call(self):
        f = zFilter()
        assert f(3.0) == 0.0 and f._u_ini == 3.0 and f._y_ini == 0.0 and type(f._u_ini) is float
        for block in (zFilter(), sFilter()):
            assert block(5, 7) == 7 and block(5, y_ini=100) == 7

    def test_pure_gain_and_state_lengths(self):
        gain = zFilter(Bz=[2], Az=[4], u_ini=1, y_ini=3)
        assert gain._zi.shape == (0,) and gain(5.0) == 5.0 and gain.run_multistep([1, 3]).tolist() == [3.0, 4.0]
        assert zFilter([1, 2, 3, 4], [1, 0.5])._zi.shape == (3,)
        assert zFilter([1], [1, 0.5, 0.2])._zi.shape == (2,)


class TestConstruction:
    def test_attributes(self):
        bz = np.array([0.0, 0.5])
        u, y = 2, np.float32(1.5)
        f = zFilter(bz, (2, -1), u, y)
        assert f._Bz is not bz and f._Bz.dtype == np.float64 and f._Az.tolist() == [2.0, -1.0]
        assert f._u_ini is u and f._y_ini is y and f._zi.tolist() == [0.0]
        bz[1] = 9.0
        f._Az = [1, 0]
        assert [f(4.0), f(4.0)] == [1.5, 2.0]  # the coefficients were copied at construction
        s = sFilter()
        assert s._Bs.tolist() == [1.0] and s._As.tolist() == [5.0, 1.0] and type(s._Ts) is int
        assert type(s._zfilter) is zFilter and s._zfilter._u_ini is None
        s.note = "smoothing"
        assert s.note == "smoothing"
        with pytest.raises(AttributeError, match="no_such"):
            s.no_such

    @pytest.mark.parametrize("make, error, text", [
        (lambda: zFilter(Az=[0, 1]), ValueError, "First `a` filter coefficient must be non-zero"),
        (lambda: zFilter(Az=[]), ValueError, "at least one `a`"),
        (lambda: zFilter(Bz=["x"]), ValueError, "could not convert"),
        (lambda: zFilter(Bz=[[1, 2], [3, 4]]), ValueError, "one-dimensional"),
        (lambda: zFilter(Az=[1, object()]), TypeError, "float"),
        (lambda: zFilter(u_ini="1"), TypeError, "must be real number, not str"),
        (lambda: sFilter(Bs=[1, 2, 3], As=[1, 1]), ValueError, "Improper transfer function"),
        (lambda: sFilter(Ts=None), TypeError, "NoneType"),
    ])
    def test_invalid(self, make, error, text):
        with pytest.raises(error, match=text):
            make()

    def test_zoh_matches_scipy(self):
        rng = np.random.default_rng(7)
        for _ in range(200):
            den = np.atleast_1d(np.poly(-1 / rng.uniform(0.1, 10, rng.integers(0, 6)))) * rng.uniform(0.5, 3)
            num = rng.normal(size=rng.integers(1, len(den) + 1))
            ts = rng.uniform(0.05, 2)
            bz, az, _ = signal.cont2discrete((num, den), ts)
            inner = sFilter(list(num), den, ts)._zfilter
            np.testing.assert_allclose(inner._Bz, bz[0], rtol=1e-10, atol=1e-12)
            np.testing.assert_allclose(inner._Az, az, rtol=1e-10, atol=1e-12)


class TestFiltering:
    def test_agrees_with_lfilter_across_splits(self):
        rng = np.random.default_rng(3)
        for _ in range(300):
            b, a = random_filter(rng)
            u = rng.normal(size=rng.integers(1, 120)) * 10
            u_ini, y_ini = rng.normal(), rng.normal()
            expected, zf = reference(b, a, u, u_ini, y_ini)
            f = zFilter(list(b), a, u_ini, y_ini)
            cut = sorted(rng.integers(0, len(u) + 1, 2))
            got = np.concatenate([
                [f(x) for x in u[: cut[0]]],
                f.run_multistep(u[cut[0]: cut[1]]),
                [f.run(Ut=x) for x in u[cut[1]:]],
            ])
            if len(a) > 1:
                assert got.tolist() == expected.tolist() and f._zi.tolist() == zf.tolist()
            else:  # SciPy convolves FIR filters, summing in another order
                np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-12)
                np.testing.assert_allclose(f._zi, zf, rtol=1e-12, atol=1e-12)

    def test_multistep_equals_single_calls(self):
        for cls in (zFilter, sFilter):
            single, batch = cls(), cls()
            assert batch.run_multistep([1, 2, 3]).tolist() == [single(1), single(2), single(3)]
            assert state(batch) == state(single)

    def test_inputs_accepted(self):
        f = zFilter()
        got = [*f.run_multistep(np.arange(6)[::2]), *f.run_multistep((4,), 9), f.run(fractions.Fraction(1, 2), True)]
        assert got == reference([0, 0.1], [1, -0.9], [0, 2, 4, 4, 0.5], 0, 0)[0].tolist()
        assert sFilter().run_multistep(U_arr=[1.0, 2.0], y_ini=4).tolist()[0] == 4.0

    def test_empty_sequence(self):
        for f in (zFilter(), sFilter()):
            with pytest.raises(IndexError):
                f.run_multistep([])
            assert state(f) == ([0.0], None, None)
            f.run_multistep([1.0, 2.0])
            before = state(f)
            out = f.run_multistep([], 5.0)
            assert out.dtype == np.float64 and out.shape == (0,) and state(f) == before

    @pytest.mark.parametrize("cls", [zFilter, sFilter])
    @pytest.mark.parametrize("call, error", [
        (lambda f: f("1"), "must be real number, not str"),
        (lambda f: f.run(1.0, y_ini=None), "must be real number, not NoneType"),
        (lambda f: f(1.0, [0]), "must be real number, not list"),
        (lambda f: f(), "missing required argument 'Ut'"),
        (lambda f: f.run(1, 2, 3), "takes at most 2 arguments"),
        (lambda f: f(1, u=2), "unexpected keyword argument 'u'"),
        (lambda f: f.run_multistep([1.0], "0"), "must be real number, not str"),
    ])
    def test_argument_errors_change_nothing(self, cls, call, error):
        f, twin = cls(u_ini=1), cls(u_ini=1)
        f(2.0), twin(2.0)
        with pytest.raises(TypeError, match=error):
            call(f)
        assert [f(x) for x in (3, 4)] == [twin(x) for x in (3, 4)]

    @pytest.mark.parametrize("value", [np.zeros(2), (1.0,), type("L", (list,), {})([1.0]), None])
    def test_sfilter_sequence_must_be_list(self, value):
        name = "numpy.ndarray" if isinstance(value, np.ndarray) else type(value).__name__
        with pytest.raises(TypeError, match=rf"^Argument 'U_arr' has incorrect type \(expected list, got {name}\)$"):
            sFilter().run_multistep(value)
        assert sFilter()._zfilter._u_ini is None


class TestStateAttributes:
    def test_writable_state(self):
        f = zFilter(Bz=[1, 0.5, 0.25], Az=[1, -0.5])
        f._zi = [1.0, 2.0]
        f._u_ini, f._y_ini = 0, 1
        assert f(0.0) == 2.0 and f._zi.tolist() == [2.5, 0.0]
        f._u_ini = None
        assert f(7.0) == 3.5 and f._u_ini == 7.0
        with pytest.raises(ValueError):
            f._zi = [1.0]
        with pytest.raises(TypeError):
            f._y_ini = "1"
        assert f._y_ini == 1


class TestLifecycle:
    @pytest.mark.parametrize("clone", CLONES)
    @pytest.mark.parametrize("cls, args", [(zFilter, ([1, 0.3, -0.2], [2, -1.1, 0.3])), (sFilter, ([2, 1], [3, 4, 1], 0.5))])
    def test_clones_continue_identically(self, clone, cls, args):
        fresh, original = clone(cls(*args)), cls(*args)
        assert getattr(fresh, "_zfilter", fresh)._u_ini is None
        assert [fresh(x, 3) for x in (1.5, 2, 4)] == [original(x, 3) for x in (1.5, 2, 4)]
        f = cls(*args, u_ini=1, y_ini=2)
        f.tag = "FY-3"
        f.run_multistep([3.0, -1.0, 4.0])
        twin = clone(f)
        assert twin is not f and twin.tag == "FY-3"
        inner = getattr(twin, "_zfilter", twin)
        assert type(inner._u_ini) is int and inner is not getattr(f, "_zfilter", f)
        u = np.sin(np.arange(40.0))
        assert [twin(x) for x in u] == [f(x) for x in u]
        assert twin.run_multistep(list(u)).tolist() == f.run_multistep(list(u)).tolist()

    def test_uninitialised_instance(self):
        for cls in (zFilter, sFilter):
            with pytest.raises(TypeError):
                cls.__new__(cls)(1.0)


@pytest.mark.parametrize("make", [lambda: zFilter([0.5, 0.2], [1.0, -0.7], 0.0, 0.0),
                                  lambda: sFilter([1.0], [5.0, 1.0], 1, 0.0, 0.0)], ids=["zFilter", "sFilter"])
def test_a_long_batch_keeps_other_threads_out(make):
    """While a batch runs without the interpreter lock, other threads' uses of the filter are refused, and the
    batches compute exactly what they compute undisturbed."""
    block, alone, u = make(), make(), list(np.linspace(0.0, 1.0, 1 << 16))
    inner = block if isinstance(block, zFilter) else block._zfilter
    uses = [lambda: copy.deepcopy(block), lambda: pickle.dumps(block), lambda: inner._zi,
            lambda: setattr(inner, "_y_ini", 0.0)]
    refused, stop = [], threading.Event()

    def hammer():
        while not stop.is_set():
            for use in uses:
                try:
                    use()
                except RuntimeError as error:
                    refused.append(str(error))

    threads = [threading.Thread(target=hammer) for _ in range(2)]
    for thread in threads:
        thread.start()
    try:
        results = [block.run_multistep(u).tolist() for _ in range(10)]
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    assert results == [alone.run_multistep(u).tolist() for _ in range(10)]
    assert refused and set(refused) == {f"'{type(inner).__name__}' object is in use by another thread"}
