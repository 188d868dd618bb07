"""Calls that must leave memory flat however often they are repeated.

One row per repeated call, grouped by module: each block's per-sample call, every getter
that returns new objects, copies and pickles, construction, and refused inputs. Each row
makes its block once and returns the call to repeat. tests/test_leaks.py repeats every row
some thousands of times; scripts/leakcheck (this file run as a program) a million times.

Memory is read after a warm-up and after the calls, both after a collection: the resident
size, the interpreter's allocated blocks (every object it did not free), and the bytes in
use on the C heap (where arrays and the blocks' own buffers live).
"""

import argparse
import atexit
import copy
import ctypes
import gc
import math
import os
import pickle
import shutil
import sys
import tempfile
import time

import numpy as np

from ovelin.algorithm import common, utilities
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
from ovelin.algorithm.testsignal import TestSignal
from ovelin.algorithm.triggers import RStrigger, TOFFtrigger, TONtrigger
from ovelin.algorithm.watchdog import WatchDog

CASES = {}  # module -> [(label, make)], make() returning the call to repeat
# Rows that cost some hundred microseconds a call (making, copying and pickling whole
# simulators) run this many times fewer calls, so that a run stays within the hour.
REDUCED = {}


def rows(module):
    def register(table):
        CASES[module] = table()
        return table
    return register


def refused(action, error):
    """A call that must raise `error`; any other outcome stops the run."""
    def call():
        try:
            action()
        except error:
            return
        raise AssertionError(f"not refused with {error.__name__}")
    return call


def lifecycle(make, state=True, reduced=1):
    """Construction, copies, pickles and the state protocol of the block `make()` returns.

    Each row makes its own block when it runs: a block made here would live in this
    table until the interpreter exits."""
    def on_new(action):
        return lambda: (lambda block: lambda: action(block))(make())

    out = [("new", lambda: make), ("copy.copy", on_new(copy.copy)), ("copy.deepcopy", on_new(copy.deepcopy)),
           ("pickle round trip", on_new(lambda block: pickle.loads(pickle.dumps(block)))),
           ("__reduce_ex__", on_new(lambda block: block.__reduce_ex__(2)))]
    if state:
        out += [("__getstate__", lambda: make().__getstate__),
                ("__setstate__", lambda: (lambda cls, s: lambda: cls.__new__(cls).__setstate__(s))(
                    *(lambda block: (type(block), block.__getstate__()))(make())))]
    name = type(make()).__name__
    REDUCED.update({f"{name} {label}": reduced for label, _ in out[:4]})
    return [(f"{name} {label}", factory) for label, factory in out]


def pins(block, **values):
    """The per-sample call of a pin-style block: set the pins, then call()."""
    def call():
        for name, value in values.items():
            setattr(block, name, value)
        block.call()
    return call


@rows("common")
def _():
    tree, arr, seq = {"a": {"b": 1.0, "c": {"d": 2.0}}, "e": 3.0}, np.zeros(8), [0.0] * 8
    return [
        ("c2d", lambda: lambda: common.c2d([1.0, 2.0], [5.0, 1.0], 2.0, 1.0)),
        ("c2d second order", lambda: lambda: common.c2d([1.0], [5.0, 6.0, 1.0], 0.5, 0.5)),
        ("dict2pairs", lambda: lambda: list(common.dict2pairs(tree))),
        ("pair2dict", lambda: lambda: common.pair2dict(("a.b.c", 1.0), {})),
        ("str2xpyp", lambda: lambda: common.str2xpyp("1,2,3#4,5,6")),
        ("dataStore array", lambda: lambda: common.dataStore(arr, 1.5)),
        ("dataStore list", lambda: lambda: common.dataStore(seq, 1.5)),
        ("current_time_str", lambda: common.current_time_str),
        ("c2d refused method", lambda: refused(lambda: common.c2d([1.0], [5.0, 1.0], 0.0, 1.0, "bad"), ValueError)),
        ("c2d refused Ts", lambda: refused(lambda: common.c2d([1.0], [1.0, 1.0], 0.0, -1.0), ValueError)),
        ("c2d refused numerator", lambda: refused(lambda: common.c2d(["a"], [1.0, 1.0], 0.0), (TypeError, ValueError))),
        ("dict2pairs refused", lambda: refused(lambda: common.dict2pairs(5), TypeError)),
        ("pair2dict refused", lambda: refused(lambda: common.pair2dict((1, 1.0), {}), AttributeError)),
        ("str2xpyp refused", lambda: refused(lambda: common.str2xpyp("a,b#c,d"), ValueError)),
        ("dataStore refused", lambda: refused(lambda: common.dataStore((1.0, 2.0), 1.0), TypeError)),
    ]


@rows("utilities")
def _():
    return [
        ("find_project_path", lambda: refused(lambda: utilities.find_project_path(".no-such-marker"), ValueError)),
        ("find_project_path refused", lambda: refused(lambda: utilities.find_project_path(b".git"), TypeError)),
        ("is_Vantelink_installed", lambda: utilities.is_Vantelink_installed),
        ("dataStore", lambda: (lambda a: lambda: utilities.dataStore(a, 1.5))(np.zeros(8))),
    ]


def pid_running():
    pid = PID(0.5)
    pid.setPIDParam(2.0, 20.0, 3.0, 7.0)
    pid.run(0, 50.0, 40.0, 30.0)
    return pid


@rows("pidcontrol")
def _():
    def block():
        return pid_running()
    return [
        ("PID.run", lambda: (lambda p: lambda: p.run(1, 50.0, 40.0, 30.0, 0.5))(block())),
        ("PID.run manual", lambda: (lambda p: lambda: p.run(0, 50.0, 40.0, 30.0))(block())),
        ("PID.PID_Auto", lambda: (lambda p: lambda: p.PID_Auto(50.0, 40.0))(block())),
        ("PID.setPIDParam", lambda: (lambda p: lambda: p.setPIDParam(2.0, 20.0, 3.0, 7.0))(block())),
        ("PID.getPIDParam", lambda: block().getPIDParam),
        ("PID.setOPHighLowLimit", lambda: (lambda p: lambda: p.setOPHighLowLimit(90.0, 10.0))(block())),
        ("PID.getOPHighLowLimit", lambda: block().getOPHighLowLimit),
        ("PID.getInnerSaveState", lambda: block().getInnerSaveState),
        ("PID._setInnerSaveState", lambda: (lambda p: lambda: p._setInnerSaveState(1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0))(
            block())),
        ("PID._resetPID", lambda: (lambda p: lambda: p._resetPID(50.0, 40.0, 30.0, 0.0))(block())),
        ("PID.getPIDForm", lambda: block().getPIDForm),
        ("PID._et1 get", lambda: (lambda p: lambda: p._et1)(block())),
        ("PID._KP set", lambda: (lambda p: lambda: setattr(p, "_KP", 2.5))(block())),
        *lifecycle(block),
        ("PID.run refused text", lambda: refused(lambda p=block(): p.run(1, "50", 40.0, 30.0), TypeError)),
        ("PID.run refused nan", lambda: refused(lambda p=block(): p.run(math.nan, 50.0, 40.0, 30.0), ValueError)),
        ("PID.run refused arity", lambda: refused(lambda p=block(): p.run(1, 50.0), TypeError)),
        ("PID.setPIDParam refused", lambda: refused(lambda p=block(): p.setPIDParam(2.0, "x"), TypeError)),
        ("PID._KP refused", lambda: refused(lambda p=block(): setattr(p, "_KP", 10 ** 400), OverflowError)),
        ("PID unknown attribute", lambda: refused(lambda p=block(): p.no_such_attribute, AttributeError)),
    ]


@rows("filters")
def _():
    def z():
        return zFilter([1.0, 0.3, -0.2], [2.0, -1.1, 0.3], 1.0, 2.0)

    def s():
        return sFilter([2.0, 1.0], [3.0, 4.0, 1.0], 0.5)
    samples = np.linspace(0.0, 1.0, 16)
    return [
        ("zFilter()", lambda: (lambda f: lambda: f(1.5))(z())),
        ("zFilter.run", lambda: (lambda f: lambda: f.run(1.5, 2.0))(z())),
        ("zFilter.run_multistep", lambda: (lambda f: lambda: f.run_multistep(samples))(z())),
        ("zFilter._zi get", lambda: (lambda f: lambda: f._zi)(z())),
        ("zFilter._zi set", lambda: (lambda f: lambda: setattr(f, "_zi", [0.5, 0.25]))(z())),
        *lifecycle(z),
        ("zFilter() refused", lambda: refused(lambda f=z(): f("1"), TypeError)),
        ("zFilter.run_multistep refused", lambda: refused(lambda f=z(): f.run_multistep([1.0, "a"]), ValueError)),
        ("zFilter._zi refused", lambda: refused(lambda f=z(): setattr(f, "_zi", [1.0, 2.0, 3.0]), ValueError)),
        ("sFilter()", lambda: (lambda f: lambda: f(1.5))(s())),
        ("sFilter.run_multistep", lambda: (lambda f: lambda: f.run_multistep([0.5, 1.0, 1.5]))(s())),
        ("sFilter._zfilter get", lambda: (lambda f: lambda: f._zfilter)(s())),
        *lifecycle(s),
        ("sFilter() refused", lambda: refused(lambda f=s(): f(10 ** 400), OverflowError)),
        ("sFilter._Ts refused", lambda: refused(lambda f=s(): setattr(f, "_Ts", 0), ValueError)),
        ("sFilter refused Ts", lambda: refused(lambda: sFilter(Ts=0), ValueError)),
    ]


@rows("leadlag")
def _():
    def block():
        return LDLAG(0.3, 7.0, 2, 0.0, 0.0)
    return [
        ("LDLAG()", lambda: (lambda b: lambda: b(1.5))(block())),
        ("LDLAG.multi_step", lambda: (lambda b: lambda: b.multi_step([0.5, 1.0, 1.5]))(block())),
        ("LDLAG.tao set", lambda: (lambda b: lambda: setattr(b, "tao", 6.0))(block())),
        ("LDLAG._b get", lambda: (lambda b: lambda: b._b)(block())),
        ("filter_stp", lambda: lambda: filter_stp(16, 3.0, 0.5)),
        *lifecycle(block),
        ("LDLAG() refused", lambda: refused(lambda b=block(): b("1"), TypeError)),
        ("LDLAG.tao refused", lambda: refused(lambda b=block(): setattr(b, "tao", -1.0), ValueError)),
        ("LDLAG.multi_step refused", lambda: refused(lambda b=block(): b.multi_step([]), IndexError)),
        ("LDLAG refused Ts", lambda: refused(lambda: LDLAG(Ts=0), ValueError)),
    ]


@rows("ratelimit")
def _():
    def block():
        return RateLimit(0.5, 2)
    return [
        ("RateLimit()", lambda: (lambda b: lambda: b(3.0, 30, -12))(block())),
        ("RateLimit.reset", lambda: (lambda b: lambda: b.reset(1.0))(block())),
        ("RateLimit.u_last get", lambda: (lambda b: lambda: b.u_last)(block())),
        *lifecycle(block),
        ("RateLimit() refused", lambda: refused(lambda b=block(): b(1.0, 60, "x"), TypeError)),
        ("RateLimit.reset refused", lambda: refused(lambda b=block(): b.reset("1"), TypeError)),
    ]


@rows("antiwindup")
def _():
    return [
        ("AntiWindupLimter()", lambda: (lambda b: lambda: b(120.0))(AntiWindupLimter())),
        ("AntiWindupLimter.run", lambda: (lambda b: lambda: b.run(50.0, 110, 5))(AntiWindupLimter())),
        *lifecycle(AntiWindupLimter),
        ("AntiWindupLimter() refused", lambda: refused(lambda b=AntiWindupLimter(): b("1"), TypeError)),
        ("AntiWindupLimter.run refused", lambda: refused(lambda b=AntiWindupLimter(): b.run(10 ** 400), OverflowError)),
    ]


@rows("watchdog")
def _():
    return [
        ("WatchDog()", lambda: (lambda b: lambda: b(9))(WatchDog())),
        ("WatchDog() beyond 64 bits", lambda: (lambda b: lambda: b(2 ** 70))(WatchDog())),
        *lifecycle(WatchDog),
        ("WatchDog() refused -1", lambda: refused(lambda b=WatchDog(): b(-1), ZeroDivisionError)),
        ("WatchDog() refused nan", lambda: refused(lambda b=WatchDog(): b(math.nan), ValueError)),
        ("WatchDog() refused text", lambda: refused(lambda b=WatchDog(): b("3"), TypeError)),
    ]


@rows("testsignal")
def _():
    def block():
        return TestSignal(5)
    return [
        ("TestSignal()", lambda: block().__call__),
        ("TestSignal(t)", lambda: (lambda b: lambda: b(123))(block())),
        ("TestSignal.get_ET", lambda: block().get_ET),
        ("TestSignal.set_ET", lambda: (lambda b: lambda: b.set_ET(12))(block())),
        ("TestSignal.set_amplitude", lambda: (lambda b: lambda: b.set_amplitude(2.0))(block())),
        ("TestSignal._rand_arr get", lambda: (lambda b: lambda: b._rand_arr)(block())),
        *lifecycle(block, reduced=20),
        ("TestSignal() refused", lambda: refused(lambda b=block(): b(5.0), IndexError)),
        ("TestSignal.set_ET refused", lambda: refused(lambda b=block(): b.set_ET("x"), ValueError)),
        ("TestSignal._rand_arr refused", lambda: refused(lambda b=block(): setattr(b, "_rand_arr", [2.0]), ValueError)),
    ]


MIMO_MODEL = {"CV1": {"MV1": {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7], "iodelay_z": 1},
                      "MV2": {"mode": "stp", "stp": [0.5, 1, 2]}},
              "CV2": {"MV2": {"mode": "tf_s", "num_s": [2], "den_s": [5, 1], "iodelay_s": 1}}}


def mimo():
    return MIMOSim(MIMO_MODEL, {"CV1": 10.0, "MV1": 15.0})


@rows("processsim")
def _():
    getters = ["get_input_data_dict", "get_output_data_dict", "get_all_data_dict", "get_cv_list", "get_mv_list",
               "get_model_dict", "get_process_tags"]
    properties = ["Ts", "process_model_dict", "cv_list", "mv_list", "ini_value_dict", "yu_model_obj",
                  "cv_simulators", "_u_dict", "_y_dict"]
    return [
        *[(f"{cls.__name__}.deltaU_sim", lambda cls=cls: (lambda m: lambda: m.deltaU_sim(0.5))(cls()))
          for cls in [no_model, tfz_model, tfs_model, stp_model, stpxy_model]],
        ("tfz_model.reset_zi", lambda: tfz_model().reset_zi),
        ("tfz_model.Gz_num get", lambda: (lambda m: lambda: m.Gz_num)(tfz_model())),
        ("tfz_model._zi get", lambda: (lambda m: lambda: m._zi)(tfz_model())),
        ("tfz_model._zi set", lambda: (lambda m: lambda: setattr(m, "_zi", [0.5, 0.25]))(tfz_model())),
        *lifecycle(lambda: tfz_model([1.0, 2.0], [1.0, -0.5], 2)),
        ("tfz_model.deltaU_sim refused", lambda: refused(lambda m=tfz_model(): m.deltaU_sim("1"), TypeError)),
        ("tfz_model refused delay", lambda: refused(lambda: tfz_model(delay=-1), ValueError)),
        ("MISOSimulator.one_step_sim", lambda: (lambda s: lambda: s.one_step_sim([1.0, 3.0]))(
            MISOSimulator([tfz_model(), stp_model()], [1.0, 2.0]))),
        ("MIMOSim()", lambda: (lambda s: lambda: s({"MV1": 16.0}, {"CV2": 0.5}))(mimo())),
        ("MIMOSim.reset", lambda: mimo().reset),
        *[(f"MIMOSim.{g}", lambda g=g: getattr(mimo(), g)) for g in getters],
        *[(f"MIMOSim.{p} get", lambda p=p: (lambda s: lambda: getattr(s, p))(mimo())) for p in properties],
        ("SISOSim()", lambda: (lambda s: lambda: s({"MV": 1.0}))(SISOSim(2.0, 5.0, 1))),
        ("get_model_tags", lambda: lambda: get_model_tags(MIMO_MODEL)),
        ("get_model_stp", lambda: lambda: get_model_stp(MIMO_MODEL, 1, 20)),
        *lifecycle(mimo, reduced=20),
        ("MIMOSim() refused text", lambda: refused(lambda s=mimo(): s({"MV1": 16.0, "MV2": "x"}), TypeError)),
        ("MIMOSim() refused overflow", lambda: refused(lambda s=mimo(): s({"MV2": 1.0, "MV1": 10 ** 400}),
                                                      OverflowError)),
        ("MIMOSim() refused pairs", lambda: refused(lambda s=mimo(): s([("MV1", 16.0)]), TypeError)),
        ("MIMOSim refused model", lambda: refused(lambda: MIMOSim({"CV": {"MV": {"mode": "tf_s"}}}),
                                                  (TypeError, KeyError))),
        ("get_model_tags refused", lambda: refused(lambda: get_model_tags(5), AttributeError)),
    ]


def lpv():
    plant = LPVPlantSim({"CV1": 10.0, "MV1": 15.0})
    plant.addPlant(1, 10.0, MIMO_MODEL, 1)
    plant.addPlant(2, 20.0, {"CV1": {"MV1": {"mode": "tf_s", "num_s": [3], "den_s": [4, 1], "iodelay_s": 1}},
                             "CV2": {"MV2": {"mode": "stp", "stp": [1, 2]}}}, 1)
    return plant


@rows("lpvplant")
def _():
    getters = ["get_input_data_dict", "get_output_data_dict", "get_all_data_dict", "get_plant_dict",
               "get_current_plant_weight_dict", "get_cv_list", "get_mv_list"]
    properties = ["plant_list", "ini_value_dict", "_working_value", "_u_dict", "_y_dict"]

    def add_del(plant):
        def call():
            plant.addPlant(3, 30.0, MIMO_MODEL, 1)
            plant.delPlant(3)
        return call
    return [
        ("LPVPlantSim()", lambda: (lambda p: lambda: p(15.0, {"MV1": 16.0}, {"CV2": 0.5}))(lpv())),
        ("LPVPlantSim.run", lambda: (lambda p: lambda: p.run(25.0, {"MV2": -1.0}))(lpv())),
        ("LPVPlantSim.addPlant and delPlant", lambda: add_del(lpv())),
        *[(f"LPVPlantSim.{g}", lambda g=g: getattr(lpv(), g)) for g in getters],
        *[(f"LPVPlantSim.{p} get", lambda p=p: (lambda s: lambda: getattr(s, p))(lpv())) for p in properties],
        *lifecycle(lpv, state=False, reduced=20),
        ("LPVPlantSim() refused text", lambda: refused(lambda p=lpv(): p(12.0, {"MV1": "16"}), TypeError)),
        ("LPVPlantSim() refused nan", lambda: refused(lambda p=lpv(): p(math.nan, {"MV1": 16.0}), ValueError)),
        ("LPVPlantSim.addPlant refused", lambda: refused(lambda p=lpv(): p.addPlant(3, 30.0, MIMO_MODEL, 1.0),
                                                         TypeError)),
        ("LPVPlantSim.delPlant refused", lambda: refused(lambda p=lpv(): p.delPlant(1.0), TypeError)),
    ]


@rows("softsensor")
def _():
    def sensor():
        block = SoftSensorBiasUpdate("SS", 3.0, 1e-3, 6, 1)
        block.run(1.0, 2.0, 100.0, 100.0)
        return block

    def alternating(block):
        state = [0]

        def call():
            state[0] ^= 1
            return block.run(1.0 + state[0], 2.0 + state[0], 100.0, 101.0)
        return call
    getters = ["get_name", "get_lab_data", "get_lab_time", "get_prd_data_at_labtime", "get_update_flag", "get_bias"]
    properties = ["_name", "_prd_data_list", "_prd_time_list", "_lab_data_list", "_fil", "_update_flag"]
    folder = tempfile.mkdtemp(prefix="ovelin-leaks-")
    atexit.register(shutil.rmtree, folder, True)

    def recorder():
        return LabDataRecorder("R", const_len=1, csv_dir=folder)
    return [
        ("SoftSensorBiasUpdate.run", lambda: alternating(sensor())),
        ("SoftSensorBiasUpdate._update_bias", lambda: (lambda b: lambda: b._update_bias(2.0, 100.0))(sensor())),
        *[(f"SoftSensorBiasUpdate.{g}", lambda g=g: getattr(sensor(), g)) for g in getters],
        *[(f"SoftSensorBiasUpdate.{p} get", lambda p=p: (lambda s: lambda: getattr(s, p))(sensor()))
          for p in properties],
        *lifecycle(sensor),
        ("SoftSensorBiasUpdate.run refused", lambda: refused(lambda b=sensor(): b.run(math.nan, 2.0, 3.0), ValueError)),
        ("SoftSensorBiasUpdate.run refused trigger", lambda: refused(
            lambda b=sensor(): b.run(1.0, 2.0, 3.0, update_trigger=True), TypeError)),
        ("LabDataRecorder.run", lambda: (lambda r: lambda: r.run(1.0, 1.7e9))(recorder())),
        ("LabDataRecorder._lab_data_list get", lambda: (lambda r: lambda: r._lab_data_list)(recorder())),
        ("LabDataRecorder._csv_file get", lambda: (lambda r: lambda: r._csv_file)(recorder())),
        *lifecycle(recorder),
        ("LabDataRecorder.run refused", lambda: refused(lambda r=recorder(): r.run(1.0, math.inf), ValueError)),
        ("LabDataRecorder.export_lab_data_csv refused", lambda: refused(
            lambda r=recorder(): r.export_lab_data_csv(1.0, 1e300), OverflowError)),
    ]


@rows("delay")
def _():
    return [
        ("Delay()", lambda: (lambda b: lambda: b(1.5, 3))(Delay(8))),
        ("Delay._cache get", lambda: (lambda b: [b(1.0), lambda: b._cache][1])(Delay(8))),
        *lifecycle(lambda: Delay(8)),
        ("Delay_Algorithm.call", lambda: pins(Delay_Algorithm(), Ut=1.5, nLag=3)),
        ("Delay_Algorithm.call list history", lambda: pins(Delay_Algorithm(), U_array=[1.0, 2.0, 3.0], Ut=1.5)),
        *lifecycle(Delay_Algorithm),
        ("Delay() refused", lambda: refused(lambda b=Delay(8): b(1.0, 1.5), TypeError)),
        ("Delay() unbounded refused", lambda: refused(lambda b=Delay(None): b(1.0), TypeError)),
        ("Delay_Algorithm.call refused", lambda: refused(pins(Delay_Algorithm(), Ut="x", nLag=2), ValueError)),
        ("Delay_Algorithm.call refused nLag", lambda: refused(pins(Delay_Algorithm(), nLag=-1), ValueError)),
    ]


@rows("triggers")
def _():
    def toggled(block, **fixed):
        state = [0]

        def call():
            state[0] ^= 1
            block.Ut = state[0]
            for name, value in fixed.items():
                setattr(block, name, value)
            block.call()
        return call
    return [
        ("RStrigger.call", lambda: pins(RStrigger(), S=1, R=0)),
        ("RStrigger.Q_array get", lambda: (lambda b: lambda: b.Q_array)(RStrigger())),
        ("TONtrigger.call", lambda: toggled(TONtrigger(), DT=3)),
        ("TOFFtrigger.call", lambda: toggled(TOFFtrigger(), DT=3)),
        ("TONtrigger.call list history", lambda: pins(TONtrigger(), Ut_array=[0, 0], Ut=1)),
        *[row for cls in [RStrigger, TONtrigger, TOFFtrigger] for row in lifecycle(cls)],
        ("RStrigger.call refused", lambda: refused(pins(RStrigger(), Q_array=np.zeros(0, bool), S=1), IndexError)),
        ("TONtrigger.call refused", lambda: refused(pins(TONtrigger(), Ut="x"), ValueError)),
        ("TOFFtrigger.call refused", lambda: refused(pins(TOFFtrigger(), Ut=2 ** 63), OverflowError)),
    ]


REDUCED.update({"LPVPlantSim.addPlant and delPlant": 20, "MIMOSim.get_model_dict": 20, "get_model_stp": 20})

_libc = ctypes.CDLL(None)


class _MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def heap_in_use():
    """Bytes in use on the C heap (glibc), or 0 where that cannot be read."""
    try:
        mallinfo2 = _libc.mallinfo2
    except AttributeError:
        return 0
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def snapshot():
    gc.collect()
    return resident(), sys.getallocatedblocks(), heap_in_use()


def measure(make, calls, warmup):
    """(before, after) snapshots around `calls` repetitions of the call `make()` returns, after `warmup` ones."""
    gc.freeze()  # the collections below then visit only what the calls made: much faster
    try:
        call = make()
        for _ in range(warmup):
            call()
        before = snapshot()
        for _ in range(calls):
            call()
        return before, snapshot()
    finally:
        gc.unfreeze()


# Growth that still counts as flat: allocator and cache noise, not per-call growth.
SLACK_BLOCKS = 256
SLACK_RESIDENT = 512 * 1024
SLACK_HEAP = 16 * 1024


def growth(before, after):
    """Resident bytes, allocated blocks and C heap bytes gained."""
    return tuple(b - a for a, b in zip(before, after))


def flat(before, after):
    rss, blocks, heap = growth(before, after)
    return rss <= SLACK_RESIDENT and blocks <= SLACK_BLOCKS and heap <= SLACK_HEAP


def all_cases(calls):
    """(module, label, make, calls) for every row."""
    return [(module, label, make, max(calls // REDUCED.get(label, 1), 1))
            for module, table in CASES.items() for label, make in table]


def main():
    parser = argparse.ArgumentParser(description="Repeats every call of the leak table and reports memory growth.")
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("-k", default="", help="only rows whose 'module: label' contains this text")
    args = parser.parse_args()
    warmup = min(max(args.calls // 20, 1000), 50_000)
    failed, started, totals = [], time.monotonic(), {}
    print(f"{args.calls} calls per row after {warmup} warm-up calls (a twentieth of both where marked /20)", flush=True)
    print(f"{'row':<62} {'RSS KiB before→after':>22} {'blocks before→after':>22} {'heap B Δ':>9} {'s':>6}")
    for module, label, make, calls in all_cases(args.calls):
        name = f"{module}: {label}"
        if args.k not in name:
            continue
        t0 = time.monotonic()
        before, after = measure(make, calls, warmup // REDUCED.get(label, 1))
        seconds = time.monotonic() - t0
        ok = flat(before, after)
        failed += [] if ok else [name]
        group = totals.setdefault(module, [0, 0, 0, 0, before, after])
        group[:4] = [group[0] + 1, max(group[1], after[0] - before[0]), max(group[2], after[1] - before[1]),
                     group[3] + seconds]
        group[5] = after
        name += f" /{REDUCED[label]}" if REDUCED.get(label, 1) > 1 else ""
        print(f"{name:<62} {before[0] // 1024:>10}→{after[0] // 1024:<11} {before[1]:>10}→{after[1]:<11} "
              f"{after[2] - before[2]:>9} {seconds:>6.1f}{'' if ok else '  GROWS'}", flush=True)
    print(f"\nper module: rows, largest RSS growth (KiB), largest block growth, seconds; "
          f"RSS at the first and last measurement (KiB)")
    for module, (count, rss, blocks, seconds, first, last) in totals.items():
        print(f"{module:<12} {count:>4} {rss // 1024:>8} {blocks:>8} {seconds:>8.1f}   {first[0] // 1024}→{last[0] // 1024}")
    print(f"\n{'FAILED: ' + ', '.join(failed) if failed else 'all flat'} ({time.monotonic() - started:.0f} s)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
