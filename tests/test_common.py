import math
import os
import re
import subprocess
import sys
import time

import numpy as np
import pytest
from scipy import signal

from ovelin.algorithm import common, utilities

helpers = pytest.mark.parametrize("mod", [common, utilities], ids=["common", "utilities"])


def random_stable_system(rng, order):
    poles = []
    while len(poles) < order:
        if order - len(poles) >= 2 and rng.random() < 0.5:
            re_, im = -10 ** rng.uniform(-2, 1), 10 ** rng.uniform(-2, 1)
            poles += [complex(re_, im), complex(re_, -im)]
        else:
            poles.append(-10 ** rng.uniform(-2, 1))
    den = np.real(np.poly(poles)) * rng.uniform(0.5, 5)
    num = rng.normal(size=rng.integers(1, order + 2))
    return num, den


class TestC2d:
    @helpers
    def test_worked_example(self, mod):
        num, den = mod.c2d([1], [10, 1], 2.4, 1)
        np.testing.assert_allclose(num, [0, 0, 0, 1 - math.exp(-0.1)], rtol=1e-14, atol=0)
        np.testing.assert_allclose(den, [1, -math.exp(-0.1)], rtol=1e-14)
        assert num.dtype == den.dtype == np.float64

    def test_agrees_with_scipy_on_random_systems(self):
        rng = np.random.default_rng(2024)
        for _ in range(240):
            order = int(rng.integers(1, 7))
            num, den = random_stable_system(rng, order)
            ts = 10 ** rng.uniform(-2, 2)
            bz, az = common.c2d(num, den, 0, ts)
            ref_b, ref_a, _ = signal.cont2discrete((np.trim_zeros(num, "f"), den), ts, method="zoh")
            scale = max(np.max(np.abs(ref_b)), 1.0)
            np.testing.assert_allclose(az, ref_a, rtol=1e-9, atol=1e-12)
            np.testing.assert_allclose(bz, ref_b[0], rtol=1e-8, atol=1e-10 * scale)

    @pytest.mark.parametrize("delay,zeros", [(2.5, 2), (3.5, 4), (0.5, 0), (0, 0), (1.49, 1)])
    def test_dead_time_rounds_ties_to_even(self, delay, zeros):
        num, _ = common.c2d([1], [1, 1], delay, 1)
        assert len(num) == zeros + 2
        assert np.all(num[:zeros] == 0) and num[zeros] == 0 and num[zeros + 1] != 0

    def test_trimmed_numerator_and_sample_time(self):
        a = common.c2d([0, 0, 1], [1, 1], 0, 1)
        b = common.c2d([1], [1, 1], 0, 1)
        np.testing.assert_array_equal(a[0], b[0])
        np.testing.assert_array_equal(a[1], b[1])
        num, den = common.c2d(Gs_num=[2.0], Gs_den=(4.0, 1.0), Gs_delay=6, Ts=2, method="zoh")
        assert len(num) == 3 + 2 and num[3] == 0.0
        np.testing.assert_allclose(num[4], 2 * (1 - math.exp(-0.5)), rtol=1e-14)

    @pytest.mark.parametrize("args,error,text", [
        (([0], [1, 1], 0, 1), IndexError, None),
        (([], [1, 1], 0, 1), IndexError, None),
        (([1, 2, 3], [1, 1], 0, 1), ValueError, "Improper transfer function"),
        (([1], [1, 1], -1, 1), ValueError, "negative dimensions are not allowed"),
        (([1], [1, 1], 0, 1, "foh"), ValueError, "foh"),
        (([1], [1, 1], math.nan, 1), ValueError, None),
        (([1], [1, 1], 0, 0), ZeroDivisionError, None),
        ((["a"], [1, 1], 0, 1), ValueError, None),
        (([1], [1, 1], "2", 1), TypeError, None),
    ])
    def test_failures(self, args, error, text):
        with pytest.raises(error, match=text):
            common.c2d(*args)


class TestDictPairs:
    @helpers
    def test_flatten(self, mod):
        d = {"1": {"2": {"3": {"4": 5}, "6": 7}, "8": 9}}
        assert list(mod.dict2pairs(d)) == [("1.2.3.4", 5), ("1.2.6", 7), ("1.8", 9)]
        assert list(mod.dict2pairs({"a": 1, "b": {"c": 2}})) == [("a", 1), ("b.c", 2)]
        assert list(mod.dict2pairs({1: {2: 3}})) == [("1.2", 3)]
        assert list(mod.dict2pairs({})) == [] and list(mod.dict2pairs({"a": {}})) == []
        assert list(mod.dict2pairs({"a": 1}, path="root")) == [("root.a", 1)]

    def test_values_are_not_copied_and_dict_subclasses_recurse(self):
        class Sub(dict):
            pass

        leaf = [1, 2]
        assert list(common.dict2pairs({"a": Sub(b=leaf)})) == [("a.b", leaf)]
        assert list(common.dict2pairs({"a": Sub(b=leaf)}))[0][1] is leaf

    def test_is_lazy_and_detects_size_change(self):
        d = {"a": 1, "b": 2, "c": 3}
        pairs = common.dict2pairs(d)
        assert next(pairs) == ("a", 1)
        d["z"] = 26
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            next(pairs)
        with pytest.raises(StopIteration):
            next(pairs)

    def test_argument_errors(self):
        with pytest.raises(TypeError, match=r"Argument 'd' has incorrect type \(expected dict, got list\)"):
            common.dict2pairs([])
        pairs = common.dict2pairs({"a": 1}, 5)  # failing only when consumed
        with pytest.raises(TypeError):
            next(pairs)

    def test_pair2dict(self):
        d = {"a": {"b": {"c": 0}}}
        assert common.pair2dict(("a.b", 1), d) is None
        assert d == {"a": {"b": 1}}
        d = {}
        common.pair2dict(("a.b.c", 1), d)
        utilities.pair2dict(("a.x", 2), d)
        assert d == {"a": {"b": {"c": 1}, "x": 2}}
        common.pair2dict(("a..b", 3), d)
        assert d["a"][""] == {"b": 3}
        common.pair2dict(("k", 4), d)
        assert d["k"] == 4

    def test_pair2dict_errors(self):
        with pytest.raises(TypeError, match=r"expected tuple, got list"):
            common.pair2dict(["a", 1], {})
        with pytest.raises(ValueError, match="too many values to unpack"):
            common.pair2dict(("a", 1, 2), {})
        d = {"a": {"b": 5}}
        with pytest.raises(TypeError, match=r"Argument 'd' has incorrect type \(expected dict, got int\)"):
            common.pair2dict(("a.b.c.d", 1), d)
        d = {"x": None}
        with pytest.raises(Exception):
            common.pair2dict(("x.y.z", 1), d)
        d = {}
        with pytest.raises(TypeError):
            common.pair2dict(("p.q", 1), {"p": 3})
        common.pair2dict(("p.q", 1), d)
        assert d == {"p": {"q": 1}}


class TestStr2xpyp:
    @pytest.mark.parametrize("text,expected", [
        ("3,30#1,10#2,20#", ([1.0, 2.0, 3.0], [10.0, 20.0, 30.0])),
        ("1,2,3#", ([1.0], [2.0])),
        ("#,#", ([], [])),
        ("", ([], [])),
        ("12", ([], [])),
        (" 1e1 , -2 #inf,1#-inf,0", ([-math.inf, 10.0, math.inf], [0.0, -2.0, 1.0])),
        ("2,1#1,5#2,2#2,3", ([1.0, 2.0, 2.0, 2.0], [5.0, 1.0, 2.0, 3.0])),  # equal x keep their order
    ])
    def test_parse(self, text, expected):
        assert utilities.str2xpyp(text) == expected

    @pytest.mark.parametrize("text", ["5,", ",5", "a,1", "1,b#2,2"])
    def test_bad_numbers(self, text):
        with pytest.raises(ValueError):
            common.str2xpyp(text)

    def test_exact_str(self):
        class S(str):
            pass

        with pytest.raises(TypeError, match=r"Argument 's' has incorrect type \(expected str, got S\)"):
            common.str2xpyp(S("1,2"))


class TestDataStore:
    def test_list_and_array(self):
        x = [1, 2, 3]
        assert common.dataStore(x, 9) is None
        assert x == [9, 1, 2]
        a = np.array([1.0, 2.0, 3.0, 4.0])
        utilities.dataStore(a, 9)
        np.testing.assert_array_equal(a, [9, 1, 2, 3])
        one = [5]
        common.dataStore(xArray=one, xt="x")
        assert one == ["x"]

    def test_references_are_kept_right(self):
        sentinel = object()
        x = [sentinel, 1, 2]
        before = sys.getrefcount(sentinel)
        for _ in range(3):
            common.dataStore(x, 0)
        assert x == [0, 0, 0] and sys.getrefcount(sentinel) == before - 1

    def test_empty_sequence(self):
        with pytest.raises(IndexError):
            common.dataStore([], 1)
        with pytest.raises(IndexError):
            common.dataStore(np.zeros(0), 1)


class TestEnvironment:
    @helpers
    def test_current_time_str(self, mod):
        text = mod.current_time_str()
        assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", text)
        assert abs(time.mktime(time.strptime(text, "%Y-%m-%d %H:%M:%S")) - time.time()) < 5

    def test_find_project_path(self, tmp_path):
        here = os.path.realpath(utilities.__file__)
        found = utilities.find_project_path("ovelin")
        assert here.startswith(found + os.sep) and os.path.exists(os.path.join(found, "ovelin"))
        assert utilities.find_project_path(matker=os.path.basename(here)) == os.path.dirname(here)
        with pytest.raises(ValueError, match="^Reached the root of the file system without finding the marker.$"):
            utilities.find_project_path("no-such-marker-7f3a")
        with pytest.raises(TypeError, match="Argument 'matker'"):
            utilities.find_project_path(None)

    def test_marker_only_at_root_is_not_found(self):
        # The root is never tested: a marker that exists only there is not found.
        assert os.path.exists("/proc") and not os.path.exists(os.path.join(os.path.dirname(utilities.__file__), "proc"))
        with pytest.raises(ValueError):
            utilities.find_project_path("proc")

    def test_vantelink_probe_does_not_import(self, tmp_path, monkeypatch):
        assert utilities.is_Vantelink_installed() is False
        pkg = tmp_path / "Vantelink"
        pkg.mkdir()
        (pkg / "__init__.py").write_text("raise RuntimeError('imported')\n")
        monkeypatch.syspath_prepend(str(tmp_path))
        assert utilities.is_Vantelink_installed() is True
        assert "Vantelink" not in sys.modules

    def test_utilities_loads_without_numpy(self):
        code = (
            "import sys; sys.modules['numpy'] = None; sys.modules['scipy'] = None\n"
            "from ovelin.algorithm import utilities as u\n"
            "x = [1, 2]; u.dataStore(x, 0); assert x == [0, 1]\n"
            "assert list(u.dict2pairs({'a': {'b': 1}})) == [('a.b', 1)]\n"
            "d = {}; u.pair2dict(('a.b', 1), d); assert d == {'a': {'b': 1}}\n"
            "try:\n    u.c2d([1], [1, 1], 0)\nexcept ImportError:\n    print('needs numpy')\n"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
        assert out.stdout.strip() == "needs numpy"
