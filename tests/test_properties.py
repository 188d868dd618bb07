"""Properties over every block, model and simulator, each one parametrised over a table of block adapters:
a branched block continues bit-identically, per-sample and batch calls split freely, a refused input leaves
the block like its untouched twin, and every block and helper agrees with a plain-Python model.

The hypothesis profile comes from OVELIN_PROPERTY_PROFILE (quick by default, long for thousands of examples)."""

import contextlib
import copy
import io
import math
import pathlib
import pickle
import struct
import sys
import tempfile
import warnings
from typing import Callable, NamedTuple

import numpy as np
import pytest
from hypothesis import given, strategies as st
from scipy import signal

from ovelin.algorithm import common, testsignal, utilities
from ovelin.algorithm.antiwindup import AntiWindupLimter
from ovelin.algorithm.delay import Delay, Delay_Algorithm
from ovelin.algorithm.filters import sFilter, zFilter
from ovelin.algorithm.leadlag import LDLAG, filter_stp
from ovelin.algorithm.lpvplant import LPVPlantSim
from ovelin.algorithm.pidcontrol import PID
from ovelin.algorithm.processsim import (MIMOSim, MISOSimulator, SISOSim, get_model_stp, get_model_tags, no_model,
                                         stp_model, stpxy_model, tfs_model, tfz_model)
from ovelin.algorithm.ratelimit import RateLimit
from ovelin.algorithm.softsensor import LabDataRecorder, SoftSensorBiasUpdate

from ovelin.algorithm.triggers import RStrigger, TOFFtrigger, TONtrigger
from ovelin.algorithm.watchdog import WatchDog
from test_antiwindup import PythonAntiWindup
from test_leadlag import ScipyLeadLag
from test_refusals import ROWS, NoFloat, Refused, attempt, call

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "benchmarks"))
from cases_delay import PythonDelay, PythonDelayAlgorithm, data_store  # noqa: E402
from cases_filters import python_sfilter  # noqa: E402
from cases_limiters import PythonRateLimit  # noqa: E402
from cases_lpvplant import PyLPVPlantSim  # noqa: E402
from cases_pid import PythonPID  # noqa: E402
from cases_processsim import PyMIMOSim, PyMISO, PyNoModel, py_get_model_stp  # noqa: E402
from cases_signals import PythonTestSignal, PythonWatchDog  # noqa: E402
from cases_softsensor import PythonBiasUpdate, PythonLabDataRecorder  # noqa: E402
from cases_triggers import PythonRS, PythonTOFF, PythonTON  # noqa: E402

TMP = tempfile.TemporaryDirectory(prefix="ovelin-properties-")  # recorders write here, one folder per recorder
F = st.floats(-100, 100)
FX = st.one_of(F, F, F, st.sampled_from([math.nan, math.inf, -math.inf]))  # where non-finite samples are valid
NONZERO = st.one_of(st.floats(0.1, 10), st.floats(-10, -0.1))
COPIERS = {"copy": copy.copy, "deepcopy": copy.deepcopy, "pickle": lambda b: pickle.loads(pickle.dumps(b))}


# ---------------------------------------------------------------- plain-Python models not already in the benchmarks
class TDF2:
    """The transposed direct-form II filter step exactly as defined, in deviation form as zFilter runs it and
    fed deviations directly as a pair model is."""

    def __init__(self, b, a, u_ini=None, y_ini=None):
        n = max(len(a), len(b))
        a0 = float(a[0])
        self.b = [float(v) / a0 for v in b] + [0.0] * (n - len(b))
        self.a = [float(v) / a0 for v in a] + [0.0] * (n - len(a))
        self.fir = len(a) == 1  # no feedback terms at all, as lfilter convolves: a NaN output stays out of the state
        self._zi, self.u_ini, self.y_ini = [0.0] * (n - 1), u_ini, y_ini

    def deltaU_sim(self, x):
        b, a, z = self.b, self.a, self._zi
        y = b[0] * x + z[0] if z else b[0] * x
        for i in range(len(z) - 1):
            z[i] = b[i + 1] * x + z[i + 1] if self.fir else b[i + 1] * x + z[i + 1] - a[i + 1] * y
        if z:
            z[-1] = b[-1] * x if self.fir else b[-1] * x - a[-1] * y
        return y

    def __call__(self, Ut, y_ini=0.0):
        self.u_ini = Ut if self.u_ini is None else self.u_ini
        self.y_ini = y_ini if self.y_ini is None else self.y_ini
        return self.deltaU_sim(Ut - self.u_ini) + self.y_ini


def pair_model(num, den, delay=0):
    return TDF2([0.0] * delay + list(num), den)


def step_response_model(stp):
    return pair_model(np.diff(stp, prepend=0.0).tolist(), [1.0])


def zoh(num, den, delay, Ts):
    """A continuous pair with dead time, discretised by SciPy and delayed by whole samples (ties to even)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", signal.BadCoefficients)
        bz, az, _ = signal.cont2discrete((np.trim_zeros(np.array(num, float), "f"), np.array(den, float)), Ts)
    return [0.0] * round(delay / Ts) + bz[0].tolist(), az.tolist()


class RefPID(PythonPID):
    def __init__(self, TS, KP, TI, TD, N, hi, lo):
        super().__init__(TS)
        self.KP, self.TI, self.TD, self.N, self.OP_HI, self.OP_LO = KP, max(TI, 0.0), max(TD, 0.0), max(N, 1e-6), hi, lo

    def getInnerSaveState(self):
        return self.save


def dict_pairs(d, path=""):
    for k, v in d.items():
        key = str(k) if path == "" else f"{path}.{k}"
        yield from dict_pairs(v, key) if isinstance(v, dict) else [(key, v)]


def pair_into(pair, d):
    key, value = pair
    *parts, last = key.split(".")
    for part in parts:
        d = d.setdefault(part, {})
        if not isinstance(d, dict):
            raise TypeError(part)
    d[last] = value


def filled(put, pairs):
    """The dictionary that the pairs build, with the kind of error of each pair that fails."""
    d = {}
    return d, [kind(lambda: put(pr, d)) for pr in pairs]


def kind(action):
    """The result of an action, or the type of the error it raised."""
    try:
        return action()
    except Exception as exc:
        return type(exc)


def points(s):
    xy = [(float(a.split(",")[0]), float(a.split(",")[1])) for a in s.split("#") if "," in a and len(a) > 1]
    order = np.argsort([x for x, _ in xy])
    return [xy[i][0] for i in order], [xy[i][1] for i in order]


# ---------------------------------------------------------------- comparisons
def bits(x, any_nan=False):
    """Outputs as comparable data: floats by their bytes, so that NaN equals NaN and -0.0 differs from 0.0
    (with any_nan, NaNs of either sign alike: IEEE arithmetic leaves a NaN's sign open)."""
    if isinstance(x, dict):
        return [(k, bits(v, any_nan)) for k, v in x.items()]
    if isinstance(x, (list, tuple, np.ndarray)) or type(x).__name__ == "deque":
        return [bits(v, any_nan) for v in x]
    if isinstance(x, (float, np.floating)):
        return b"nan" if any_nan and x != x else struct.pack("<d", x)
    return type(x).__name__, x


def same(a, b, tol=0.0):
    """NaN-aware equality of nested outputs; floats within a relative and absolute tol where SciPy is the oracle."""
    if isinstance(a, dict):
        return isinstance(b, dict) and list(a) == list(b) and all(same(a[k], b[k], tol) for k in a)
    if isinstance(a, (list, tuple, np.ndarray)):
        return len(a) == len(b) and all(same(x, y, tol) for x, y in zip(a, b))
    if isinstance(a, (float, np.floating)) or isinstance(b, (float, np.floating)):
        a, b = float(a), float(b)
        return a == b or (a != a and b != b) or abs(a - b) <= tol * (1 + abs(a) + abs(b))
    return bool(a == b)


def printed(action):
    """The result of an action together with what it printed."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = action()
    return result, out.getvalue()


# ---------------------------------------------------------------- the adapters
class Block(NamedTuple):
    params: st.SearchStrategy          # what the constructor is given
    make: Callable                     # params -> block
    sample: Callable                   # params -> strategy of one valid input
    step: Callable                     # (block, input) -> outputs; also run on the plain-Python model
    ref: Callable                      # params -> plain-Python model
    tol: float = 0.0                   # 0: exact; else SciPy is the oracle
    ref_step: Callable | None = None   # where the model is stepped otherwise
    batch: Callable | None = None      # (block, inputs) -> outputs of one batch call
    batch_sample: Callable | None = None
    prepare: Callable = list           # turns drawn inputs into the input sequence (times that increase)
    final: Callable = lambda b: None   # outputs after the sequence (files written)
    copiers: tuple = tuple(COPIERS)
    refusals: str = ""                 # the class whose refusal rows apply, if not the block's own


def stable_den():
    return st.tuples(st.lists(st.floats(-0.95, 0.95), max_size=3), st.floats(0.3, 4)).map(
        lambda pa: (np.atleast_1d(np.poly(pa[0])) * pa[1]).tolist())


def continuous_den(max_order=3):
    return st.tuples(st.lists(st.floats(0.05, 5), min_size=1, max_size=max_order), st.floats(0.3, 4)).map(
        lambda pa: (np.poly([-p for p in pa[0]]) * pa[1]).tolist())


def numerator(extra):
    return st.tuples(NONZERO, st.lists(F, max_size=extra)).map(lambda t: [t[0], *t[1]])


OPEN = st.one_of(st.none(), F)
TF_S = st.builds(lambda g, den, d: {"mode": "tf_s", "num_s": [g], "den_s": den, "iodelay_s": d},
                 NONZERO, continuous_den(2), st.floats(0, 4))
PAIR = st.one_of(TF_S, TF_S, st.just({"mode": "None"}), st.just({}), st.none())
CVS, MVS = ["CV1", "CV2"], ["MV1", "MV2"]
MODEL_DICT = st.fixed_dictionaries({c: st.fixed_dictionaries({m: PAIR for m in MVS}) for c in CVS}).map(
    lambda d: {c: {m: s for m, s in row.items() if s is not None} for c, row in d.items()})
INI = st.dictionaries(st.sampled_from(CVS + MVS + ["other"]), F)
U_VALUES, V_VALUES = st.dictionaries(st.sampled_from(MVS + ["MV9"]), F), st.dictionaries(st.sampled_from(CVS), F)


def ldlag_step(b, x):
    if isinstance(x, tuple):
        setattr(b, *x)
        return b.alpha, b.tao
    return b(x)


def ldlag_ref_step(r, x):
    if isinstance(x, tuple):
        if getattr(r, x[0]) != x[1]:
            setattr(r, *x)
            r.rebuild()
        return r.alpha, r.tao
    return r(x)


def pin_step(outputs, history, *pins):
    def step(b, x):
        for pin, value in zip(pins, x):
            setattr(b, pin, value)
        b.call()
        return [getattr(b, o) for o in outputs] + [list(getattr(b, history))]
    return step


def seeded_signal(p):
    seed, et, amp = p
    b = testsignal.TestSignal(seed)
    b.set_ET(et)
    b.set_amplitude(amp)
    return b


def signal_model(p):
    r = PythonTestSignal(0)
    r._rand_arr, r._ET, r._amp = np.array(testsignal.TestSignal(p[0])._rand_arr), p[1], p[2] if p[2] > 0 else 0.0
    return r


def sensor_times(xs):
    t, out = 1.7e9, []
    for prd, lab, back, dt, trigger in xs:
        t += dt
        out.append((prd, lab, t - 30.0 * back, t, trigger))
    return out


def sensor_step(b, x):
    out, text = printed(lambda: b.run(*x))
    return (out, text, b._bias, b._update_flag, b._current_lab_data, b._current_lab_time, b._prd_data_at_labtime,
            list(b._prd_time_list), list(b._lab_data_list))


def recorder_rows(b):
    if not pathlib.Path(b._csv_file).exists():
        return []
    return [line.split(",", 1)[1] for line in pathlib.Path(b._csv_file).read_text(encoding="utf-8").splitlines()[1:]]


def lpv(cls, p):
    ini, plants = p
    plant = cls(ini)
    for k, (wp, model, ts) in enumerate(plants):
        plant.addPlant(k + 1, wp, model, ts)
    return plant


def lpv_step(b, x):
    return b(*x), {p.plant_id: p.current_weight for p in b.plant_list}


def siso_ref(p):
    gain, tao, delay, ts, integral = p
    den = [tao, 1.0, 0.0] if integral else [tao, 1.0]
    return PyMIMOSim({"CV": {"MV": {"mode": "tf_s", "num_s": [gain], "den_s": den, "iodelay_s": delay}}},
                     {"CV": 0.0, "MV": 0.0}, ts)


def limits(lo_hi):
    return max(lo_hi), min(lo_hi)


TFZ_PARAMS = st.tuples(st.lists(F, min_size=1, max_size=4), stable_den(), st.integers(0, 3))
BLOCKS = {
    "PID": Block(
        st.tuples(st.floats(0.05, 10), st.floats(-5, 5), st.floats(-10, 100), st.floats(-1, 10), st.floats(-1, 20),
                  st.tuples(F, F).map(limits)).map(lambda p: (*p[:5], *p[5])),
        lambda p: [pid := PID(p[0]), pid.setPIDParam(*p[1:5]), pid.setOPHighLowLimit(*p[5:])][0],
        lambda p: st.tuples(st.sampled_from([0, 1, 1, 1, 1, 2, 0.5, 1.4, 1.5, -1]), FX, F, FX, F),
        lambda b, x: (b.run(*x), b.getInnerSaveState()), lambda p: RefPID(*p)),
    "zFilter": Block(
        st.tuples(st.lists(F, min_size=1, max_size=4), stable_den(), OPEN, OPEN),
        lambda p: zFilter(*p), lambda p: st.tuples(FX, F), lambda b, x: b(*x), lambda p: TDF2(*p),
        batch=lambda b, xs: b.run_multistep([u for u, _ in xs], xs[0][1]).tolist()),
    "sFilter": Block(
        st.tuples(numerator(2), continuous_den(), st.floats(0.1, 5), OPEN, OPEN)
        .filter(lambda p: len(p[0]) <= len(p[1])),
        lambda p: sFilter(*p), lambda p: st.tuples(F, F), lambda b, x: b(*x), lambda p: python_sfilter(*p), 1e-9,
        batch=lambda b, xs: b.run_multistep([u for u, _ in xs], xs[0][1]).tolist()),
    "LDLAG": Block(
        st.tuples(st.one_of(st.just(0.0), st.floats(0, 3)), st.one_of(st.just(0.0), st.floats(0.1, 30)),
                  st.integers(1, 5), OPEN, OPEN),
        lambda p: LDLAG(*p), lambda p: st.one_of(F, F, F, st.tuples(st.sampled_from(["alpha", "tao"]),
                                                                    st.one_of(st.floats(0.1, 20), st.integers(0, 3)))),
        ldlag_step, lambda p: ScipyLeadLag(*p), 1e-9, ldlag_ref_step,
        batch=lambda b, xs: b.multi_step(np.array(xs)).tolist(), batch_sample=lambda p: F),
    "Delay": Block(
        st.integers(1, 12), Delay,
        lambda p: st.tuples(st.one_of(FX, F, st.text(max_size=2), st.none()), st.integers(0, p - 1)),
        lambda b, x: b(*x), PythonDelay),
    "Delay_Algorithm": Block(
        st.none(), lambda p: Delay_Algorithm(), lambda p: st.tuples(FX, st.integers(0, 8)),
        pin_step(["Yt"], "U_array", "Ut", "nLag"), lambda p: PythonDelayAlgorithm()),
    "RateLimit": Block(
        st.tuples(st.one_of(F, st.integers(-5, 5)), st.one_of(st.integers(1, 5), st.floats(0.1, 5))),
        lambda p: RateLimit(*p),  # whole steps on whole targets meet the limits exactly
        lambda p: st.tuples(st.one_of(FX, st.integers(-9, 9)), st.one_of(F, st.sampled_from([0, 60, -60, 120])),
                            st.one_of(st.none(), F, st.sampled_from([60, -120]))), lambda b, x: (b(*x), b.u_last),
        lambda p: PythonRateLimit(*p)),
    "AntiWindupLimter": Block(
        st.none(), lambda p: AntiWindupLimter(),
        lambda p: st.tuples(FX, *[st.one_of(st.integers(-100, 100), F)] * 2),
        lambda b, x: (b(*x) if x[0] < 0 else b.run(*x), b._u0, b._y0), lambda p: PythonAntiWindup(),
        ref_step=lambda r, x: (r(*x), r._u0, r._y0)),
    "RStrigger": Block(
        st.none(), lambda p: RStrigger(), lambda p: st.tuples(*[st.sampled_from([0, 1, 2, True, False, 0.0, -1])] * 2),
        pin_step(["Q", "nQ"], "Q_array", "S", "R"), lambda p: PythonRS()),
    **{name: Block(
        st.none(), lambda p, cls=cls: cls(),
        lambda p: st.tuples(st.one_of(st.integers(-2, 3), st.sampled_from([0.7, -1.5, 1.5, True])),
                            st.sampled_from([3, 3, 3, 3, 0, 1, 5])),
        pin_step(["Yt", "ET"], "Ut_array", "Ut", "DT"), lambda p, ref=ref: ref())
       for name, cls, ref in [("TONtrigger", TONtrigger, PythonTON), ("TOFFtrigger", TOFFtrigger, PythonTOFF)]},
    "WatchDog": Block(
        st.none(), lambda p: WatchDog(), lambda p: st.one_of(st.integers(-5, 12).filter(lambda m: m != -1),
                                                             st.floats(0, 10)),
        lambda b, x: (b(x), b.ticks), lambda p: PythonWatchDog()),
    "TestSignal": Block(
        st.tuples(st.integers(0, 2 ** 32 - 1), st.integers(1, 40), F), seeded_signal,
        lambda p: st.integers(-10 ** 7, 10 ** 10), lambda b, t: b(t), signal_model),
    "SoftSensorBiasUpdate": Block(
        st.tuples(st.sampled_from(["SS", "soft sensor"]), st.sampled_from([0.0, -1.0, 1.0, 5.0, 30.0]),
                  st.sampled_from([1e-6, 0.5]), st.integers(1, 8), st.integers(0, 3)),
        lambda p: SoftSensorBiasUpdate(*p),
        lambda p: st.tuples(F, st.sampled_from([1.0, 1.0, 2.0, 2.4, 5.0]), st.integers(-2, 10),
                            st.sampled_from([0.5, 1.0, 60.0, 61.0]),
                            st.one_of(st.none(), st.none(), st.sampled_from([0.0, 0.5, 0.51, 1.0]))),
        sensor_step, lambda p: PythonBiasUpdate(*p), prepare=sensor_times),
    "LabDataRecorder": Block(
        st.tuples(st.sampled_from([1e-6, 0.5]), st.integers(0, 3)),
        lambda p: LabDataRecorder("R", *p, tempfile.mkdtemp(dir=TMP.name)),
        lambda p: st.tuples(st.sampled_from([1.0, 2.0, 2.4, 1e-5, 1.5e16]), st.floats(1e9, 2e9)),
        lambda b, x: (b.run(*x), list(b._lab_data_list)),
        lambda p: PythonLabDataRecorder("R", *p, tempfile.mkdtemp(dir=TMP.name)), final=recorder_rows),
    "tfz_model": Block(TFZ_PARAMS, lambda p: tfz_model(*p), lambda p: FX, lambda b, x: (b.deltaU_sim(x), list(b._zi)),
                       lambda p: pair_model(*p)),
    "tfs_model": Block(
        st.tuples(numerator(1), continuous_den(), st.floats(0, 5),
                  st.floats(0.2, 3)).filter(lambda p: len(p[0]) <= len(p[1])),
        lambda p: tfs_model(*p), lambda p: F, lambda b, x: (b.deltaU_sim(x), list(b._zi)),
        lambda p: pair_model(*zoh(*p)), 1e-9, refusals="tfz_model"),
    "stp_model": Block(st.lists(F, min_size=1, max_size=6), stp_model, lambda p: F,
                       lambda b, x: (b.deltaU_sim(x), list(b._zi)), step_response_model, refusals="tfz_model"),
    "stpxy_model": Block(
        st.lists(st.integers(0, 8), min_size=1, max_size=4, unique=True).flatmap(
            lambda x: st.tuples(st.just(sorted(x)), st.lists(F, min_size=len(x), max_size=len(x)))),
        lambda p: stpxy_model(*p), lambda p: F, lambda b, x: (b.deltaU_sim(x), list(b._zi)),
        lambda p: step_response_model(np.interp(np.arange(p[0][-1] + 1), *p)), refusals="tfz_model"),
    "no_model": Block(st.none(), lambda p: no_model(), lambda p: F, lambda b, x: b.deltaU_sim(x),
                      lambda p: PyNoModel(), refusals="no_model"),
    "MISOSimulator": Block(
        st.lists(st.tuples(TFZ_PARAMS, F), min_size=1, max_size=3),
        lambda p: MISOSimulator([tfz_model(*m) for m, _ in p], [u for _, u in p]),
        lambda p: st.lists(F, min_size=len(p), max_size=len(p)),
        lambda b, x: (b.one_step_sim(x), [list(m._zi) for m in b.model_list]),
        lambda p: PyMISO([pair_model(*m) for m, _ in p], [u for _, u in p]),
        copiers=("deepcopy", "pickle")),  # a shallow copy shares the caller's models, as the list is kept as given
    "MIMOSim": Block(
        st.tuples(MODEL_DICT, INI, st.sampled_from([1, 2, 0.5])), lambda p: MIMOSim(*p),
        lambda p: st.tuples(U_VALUES, V_VALUES),
        lambda b, x: (b(*x), dict(b._u_dict)), lambda p: PyMIMOSim(*p), 1e-8),
    "SISOSim": Block(
        st.tuples(NONZERO, st.floats(0.5, 20), st.floats(0, 5), st.sampled_from([1, 2, 0.5]), st.sampled_from([0, 1])),
        lambda p: SISOSim(*p), lambda p: st.tuples(F, st.dictionaries(st.just("CV"), F)),
        lambda b, x: b({"MV": x[0]}, x[1]), siso_ref, 1e-8, refusals="MIMOSim"),
    "LPVPlantSim": Block(
        st.tuples(INI, st.lists(st.tuples(st.floats(-50, 50), MODEL_DICT, st.integers(1, 2)), min_size=1, max_size=3,
                                unique_by=lambda t: t[0])),
        lambda p: lpv(LPVPlantSim, p), lambda p: st.tuples(st.floats(-60, 60), U_VALUES, V_VALUES),
        lpv_step, lambda p: lpv(PyLPVPlantSim, p), 1e-8),
}
EXTRA_REFUSALS = {  # blocks that the refusal table does not name
    "no_model": [(call("deltaU_sim", "1"), TypeError), (call("deltaU_sim", NoFloat()), Refused),
                 (call("deltaU_sim", 1.0, 2.0), TypeError)],
    "MISOSimulator": [(call("one_step_sim", [1.0, "x"]), TypeError), (call("one_step_sim", [NoFloat()]), Refused),
                      (call("one_step_sim", 5), TypeError), (call("one_step_sim", [1.0, 10 ** 400]), OverflowError)],
}
# (action, error, whether it is refused from a fresh block too): a PID that has not run yet initialises itself
# from the samples of a call whose mode then fails, as its first call does.
REFUSALS = {name: [(*row, True) for row in EXTRA_REFUSALS.get(name, [])] or [
    (action, error, only is None or "fresh" in only) for cls, action, error, only in ROWS
    if cls == (blk.refusals or name)] for name, blk in BLOCKS.items()}


def draw_run(data, blk, sample=None, max_size=12):
    p = data.draw(blk.params, label="params")
    xs = blk.prepare(data.draw(st.lists((sample or blk.sample)(p), max_size=max_size), label="inputs"))
    return p, xs


def stepped(blk, b, xs, step=None):
    return [attempt(lambda: (step or blk.step)(b, x)) for x in xs]


@pytest.mark.parametrize("name", [(n, c) for n, blk in BLOCKS.items() for c in blk.copiers],
                         ids=lambda nc: "-".join(nc))
@given(data=st.data())
def test_a_branched_block_continues_bit_identically(name, data):
    blk = BLOCKS[name[0]]
    p, xs = draw_run(data, blk)
    cut = data.draw(st.integers(0, len(xs)), label="branch after")
    block = blk.make(p)
    stepped(blk, block, xs[:cut])
    twin = COPIERS[name[1]](block)
    assert twin is not block and type(twin) is type(block)
    assert bits(stepped(blk, twin, xs[cut:])) == bits(stepped(blk, block, xs[cut:]))


@pytest.mark.parametrize("name", [n for n, blk in BLOCKS.items() if blk.batch])
@given(data=st.data())
def test_per_sample_and_batch_calls_split_freely(name, data):
    blk = BLOCKS[name]
    p, xs = draw_run(data, blk, blk.batch_sample, max_size=20)
    cuts = sorted({0, len(xs), *data.draw(st.lists(st.integers(0, len(xs)), max_size=4), label="cuts")})
    segments = [(xs[a:b], data.draw(st.booleans(), label="batch")) for a, b in zip(cuts, cuts[1:])]
    whole, split = blk.make(p), blk.make(p)
    got = [y for seg, batch in segments
           for y in (blk.batch(split, seg) if batch else [blk.step(split, x) for x in seg])]
    assert bits(got, True) == bits([blk.step(whole, x) for x in xs], True)  # a batch may sum a NaN otherwise
    assert bits(stepped(blk, split, xs[:3]), True) == bits(stepped(blk, whole, xs[:3]), True)  # the same state


@pytest.mark.filterwarnings("ignore:nanobind. attempted to initialize an already-initialized instance")
@pytest.mark.parametrize("name", list(BLOCKS))
@given(data=st.data())
def test_a_refused_input_leaves_the_block_like_its_untouched_twin(name, data):
    """Refusals from the refusal table, interleaved at random; a row that this block in this state does not
    refuse (the table's rows name their own shapes and states) is given to the twin as well."""
    blk = BLOCKS[name]
    p, xs = draw_run(data, blk)
    bad = data.draw(st.lists(st.tuples(st.integers(0, len(xs)), st.sampled_from(REFUSALS[name])).filter(
        lambda r: r[0] or r[1][2]), min_size=1, max_size=4), label="refusals")
    block, twin = blk.make(p), blk.make(p)
    for k in range(len(xs) + 1):
        for (text, action), error, _ in [row for at, row in bad if at == k]:
            try:
                action(block)
            except error:
                pass
            except Exception as exc:  # not a refusal in this state (a Delay pushes before it checks nLag)
                assert attempt(lambda: action(twin)) == (type(exc), str(exc)), text
            else:
                action(twin)
        assert bits(stepped(blk, block, xs[k:k + 1])) == bits(stepped(blk, twin, xs[k:k + 1])), bad


@pytest.mark.parametrize("name", list(BLOCKS))
@given(data=st.data())
def test_every_block_agrees_with_its_plain_python_model(name, data):
    blk = BLOCKS[name]
    p, xs = draw_run(data, blk)
    block, model = blk.make(p), blk.ref(p)
    got, expected = stepped(blk, block, xs), stepped(blk, model, xs, blk.ref_step)
    assert same(got, expected, blk.tol), (got, expected)
    assert same(blk.final(block), blk.final(model))


def c2d_ref(num, den, delay, Ts):
    return [np.array(v) for v in zoh(num, den, delay, Ts)]


def store(x_array, xt, fn):
    fn(x_array, xt)
    return x_array


KEYS = st.text("ab.", max_size=3)


def nested(inner):
    return st.dictionaries(st.one_of(st.text("ab", max_size=2), st.integers(0, 3)), inner, max_size=3)


NESTED = st.recursive(st.one_of(F, st.text(max_size=2)), nested, max_leaves=8)
POINTS = st.lists(st.tuples(st.integers(-50, 50), F), max_size=5, unique_by=lambda t: t[0]).map(
    lambda pts: "#".join(f"{x},{y!r}" for x, y in pts) + ("#" if len(pts) % 2 else ""))
FUNCTIONS = {  # name: (arguments, the library function by module, the plain-Python model, tolerance)
    "c2d": (st.tuples(numerator(1), continuous_den(), st.floats(0, 6),
                      st.floats(0.05, 5)).filter(lambda a: len(a[0]) <= len(a[1])),
            lambda m: m.c2d, c2d_ref, 1e-8),
    "dict2pairs": (st.tuples(st.dictionaries(st.text("ab", max_size=2), NESTED, max_size=3)),
                   lambda m: lambda d: list(m.dict2pairs(d)), lambda d: list(dict_pairs(d)), 0.0),
    "pair2dict": (st.tuples(st.lists(st.tuples(KEYS, F), max_size=5)),
                  lambda m: lambda pairs: filled(m.pair2dict, pairs), lambda pairs: filled(pair_into, pairs), 0.0),
    "str2xpyp": (st.tuples(POINTS), lambda m: m.str2xpyp, points, 0.0),
    "dataStore": (st.tuples(st.lists(F, min_size=1, max_size=5), F),
                  lambda m: lambda a, x: store(list(a), x, m.dataStore), lambda a, x: store(list(a), x, data_store),
                  0.0),
    "filter_stp": (st.tuples(st.integers(1, 30), st.one_of(st.just(0.0), st.floats(-1, 0), st.floats(0.05, 20)),
                             st.floats(0, 3), F, F),
                   lambda m: filter_stp,
                   lambda n, tao, alpha, r1, r2: r1 + (r2 - r1) * (
                       np.ones(n) if tao <= 0 else 1 - (1 - alpha) * np.exp((-1 / tao) * np.arange(n))), 1e-13),
    "get_model_tags": (st.tuples(st.dictionaries(st.text("CV", max_size=2), st.dictionaries(
        st.text("MV", max_size=2), st.none(), max_size=3), max_size=3)), lambda m: get_model_tags,
        lambda d: (list(d), list(dict.fromkeys(mv for row in d.values() for mv in row))), 0.0),
    "get_model_stp": (st.tuples(MODEL_DICT, st.integers(1, 2), st.integers(1, 40)), lambda m: get_model_stp,
                      py_get_model_stp, 1e-8),
}
SHARED = {"c2d", "dict2pairs", "pair2dict", "str2xpyp", "dataStore"}


@pytest.mark.parametrize("name, module", [(n, m) for n in FUNCTIONS for m in ([common, utilities] if n in SHARED
                                                                              else [None])],
                         ids=lambda v: getattr(v, "__name__", str(v)).rsplit(".", 1)[-1])
@given(data=st.data())
def test_every_helper_agrees_with_its_plain_python_model(name, module, data):
    args, function, model, tol = FUNCTIONS[name]
    a = data.draw(args, label="arguments")
    assert same(kind(lambda: function(module)(*a)), kind(lambda: model(*a)), tol)
