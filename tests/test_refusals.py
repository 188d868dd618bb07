"""A refused input changes nothing: the block pickles to the same bytes and continues like an untouched twin."""

import copy
import math
import pickle

import numpy as np
import pytest

from ovelin.algorithm import common, testsignal
from ovelin.algorithm.antiwindup import AntiWindupLimter
from ovelin.algorithm.delay import Delay, Delay_Algorithm
from ovelin.algorithm.filters import sFilter, zFilter
from ovelin.algorithm.leadlag import LDLAG
from ovelin.algorithm.lpvplant import LPVPlantSim
from ovelin.algorithm.pidcontrol import PID
from ovelin.algorithm.processsim import MIMOSim, tfz_model
from ovelin.algorithm.ratelimit import RateLimit
from ovelin.algorithm.watchdog import WatchDog
from ovelin.algorithm.softsensor import LabDataRecorder, SoftSensorBiasUpdate
from ovelin.algorithm.triggers import RStrigger, TOFFtrigger, TONtrigger

pytestmark = pytest.mark.isolated
nan, inf = math.nan, math.inf


class Refused(Exception):
    pass


class NoFloat:
    def __float__(self):
        raise Refused("no float value")

    def __repr__(self):
        return "NoFloat()"


class NoBool:
    def __bool__(self):
        raise Refused("no truth value")


class NoInt:
    def __int__(self):
        raise Refused("no integer value")


def fed(block, *samples):
    for u in samples:
        block(*u) if isinstance(u, tuple) else block(u)
    return block


def pid_running():
    pid = PID(TS=0.5)
    pid.setPIDParam(2, 20.0, 3.0, 7.0)
    for k in range(5):
        pid.run(1 if k else 0, 50, 40 + k, 30, 0.1 * k)
    return pid


def ldlag_outputs(b):
    out = [b(1.0), b(2.0)]
    b.tao = 1.0
    return out + [b(3.0), *b.multi_step([0.5, 1.0]).tolist(), b.alpha, b.tao]


def soft_sensor_outputs(b, t=100.0):
    return [b.run(1.0 + k, 2.0 + (k > 1), t, t + k) for k in range(4)] + [
        b.get_bias(), b.get_update_flag(), list(b._prd_time_list), list(b._lab_data_list)]


def recorder_outputs(b):
    return [b.run(v, 1.7e9) for v in (1.0, 2.0, 2.0, 2.0)] + [list(b._lab_data_list)]


def ran(block, outputs, *args):
    outputs(block, *args)
    return block


@pytest.fixture(autouse=True)
def in_tmp_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # where recorders write by default
def attempt(action):
    """The result of an action, or the error it raised, so that refusals can be compared too."""
    try:
        return action()
    except Exception as exc:
        return type(exc), str(exc)


def assigned(block, **attributes):
    for name, value in attributes.items():
        setattr(block, name, value)
    return block


def with_pins(block, **pins):
    assigned(block, **pins).call()
    return block


def pin_outputs(pin, samples, outputs, history):
    """Feeds `samples` into `pin`; the outputs and the history after each call."""
    def run(b):
        out = []
        for u in samples:
            setattr(b, pin, u)
            out += [attempt(b.call), [getattr(b, o) for o in outputs], attempt(lambda: list(getattr(b, history)))]
        return out
    return run


def timer_conditions(cls):
    return {"fresh": cls, "counting": lambda: with_pins(with_pins(cls(), Ut=1), Ut=1),
            "short history": lambda: assigned(cls(), Ut_array=np.zeros(1, np.int64)),
            "list history": lambda: with_pins(cls(), Ut_array=[0, 0], Ut=1)}


# Blocks in several conditions, by class name; a later module adds its blocks here, with its rows below.
CONDITIONS = {
    "PID": {"fresh": PID, "running": pid_running},
    "zFilter": {"fresh": lambda: zFilter([1, 0.3, -0.2], [2, -1.1, 0.3]),
                "running": lambda: fed(zFilter([1, 0.3], [2, -1.1, 0.3], 1, 2), 1.5, 3.0, -2.0)},
    "sFilter": {"fresh": lambda: sFilter([2, 1], [3, 4, 1], 0.5), "running": lambda: fed(sFilter(), 1.5, 3.0)},
    "LDLAG": {"fresh": LDLAG, "at operating point": lambda: LDLAG(0.5, 5.0, 1, 0.0, 0.0),
              "running": lambda: fed(LDLAG(0.3, 7.0, 2), 1.0, 4.0)},
    "RateLimit": {"fresh": lambda: RateLimit(0.5, 2), "running": lambda: fed(RateLimit(1, 0.5), 3.0, np.float32(2.5))},
    "AntiWindupLimter": {"fresh": AntiWindupLimter, "running": lambda: fed(AntiWindupLimter(), 90, 110)},
    "WatchDog": {"fresh": WatchDog, "running": lambda: fed(WatchDog(), 9, 9),
                 "beyond 64 bits": lambda: fed(WatchDog(), 2 ** 70, 2 ** 70)},
    "TestSignal": {"seeded": lambda: testsignal.TestSignal(5)},
    "SoftSensorBiasUpdate": {
        "fresh": lambda: SoftSensorBiasUpdate("SS", 3.0, prd_len=6, const_len=1),
        "running": lambda: ran(SoftSensorBiasUpdate("SS", 3.0, 1e-3, 6, 1), soft_sensor_outputs, 50.0)},
    "LabDataRecorder": {"fresh": lambda: LabDataRecorder("R", const_len=1),  # writes into the test's folder
                        "running": lambda: ran(LabDataRecorder("R", const_len=1), recorder_outputs)},
    "Delay": {"fresh": lambda: Delay(3), "running": lambda: fed(Delay(3), 1.0, "two"), "unbounded": lambda: Delay(None)},
    "Delay_Algorithm": {"fresh": Delay_Algorithm, "running": lambda: with_pins(Delay_Algorithm(), Ut=1.0, nLag=2),
                        "list history": lambda: with_pins(Delay_Algorithm(), U_array=[1.0, 2.0], Ut=3.0),
                        "text history": lambda: assigned(Delay_Algorithm(), U_array=["x"])},
    "RStrigger": {"fresh": RStrigger, "set": lambda: with_pins(RStrigger(), S=1),
                  "empty history": lambda: assigned(RStrigger(), Q_array=np.zeros(0, bool))},
    "TONtrigger": timer_conditions(TONtrigger),
    "TOFFtrigger": timer_conditions(TOFFtrigger),
}
MIMO_MODEL = {"CV1": {"MV1": {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7], "iodelay_z": 1},
                      "MV2": {"mode": "stp", "stp": [0.5, 1, 2]}},
              "CV2": {"MV2": {"mode": "tf_s", "num_s": [2], "den_s": [5, 1], "iodelay_s": 1}}}
CONDITIONS["MIMOSim"] = {
    "fresh": lambda: MIMOSim(MIMO_MODEL, {"CV1": 10, "MV1": 15}),
    "running": lambda: fed(MIMOSim(MIMO_MODEL, {"CV1": 10, "MV1": 15}), {"MV1": 16}, {"MV2": -1}, {})}
CONDITIONS["tfz_model"] = {"fresh": tfz_model,
                           "running": lambda: [m := tfz_model([1, 2], [1, -0.5], 2), m.deltaU_sim(1.5)][0]}


def mimo_outputs(b):
    out = [b({"MV1": 17.0}), b(), b({}, {"CV2": 3.0}), b.get_all_data_dict()]
    b.reset()
    return out + [b(), [m._zi for row in b.yu_model_obj.values() for m in row.values() if hasattr(m, "_zi")]]


LPV_INI = {"CV1": 10.0, "MV1": 15.0}


def lpv_plant(running):
    plant = LPVPlantSim(LPV_INI)
    plant.addPlant(1, 10.0, MIMO_MODEL, 1)
    plant.addPlant(2, 20.0, {"CV1": {"MV1": {"mode": "tf_s", "num_s": [3], "den_s": [4, 1], "iodelay_s": 1}},
                             "CV2": {"MV2": {"mode": "stp", "stp": [1, 2]}}}, 1)
    return fed(plant, *[(w, {"MV1": 16.0, "MV2": -1.0}) for w in (12.0, 18.0)]) if running else plant


CONDITIONS["LPVPlantSim"] = {"fresh": lambda: lpv_plant(False), "running": lambda: lpv_plant(True)}


# The outputs that follow, which must equal those of the untouched twin.
OUTPUTS = {
    "PID": lambda b: [b.run(1, 50, 41 + k, 30, 0.1 * k) for k in range(3)] + [
        b.getInnerSaveState(), b.getPIDParam(), b.getOPHighLowLimit()],
    "zFilter": lambda b: [b(1.0), b.run(2.0, 5.0), *b.run_multistep([0.5, -3.0]).tolist(), b._u_ini, b._y_ini],
    "sFilter": lambda b: [b(1.0), b.run(2.0, 5.0), *b.run_multistep([0.5, -3.0]).tolist()],
    "LDLAG": ldlag_outputs,
    "RateLimit": lambda b: [b(2.0), b(-1, 30, None), b(7, 12, -6), b.u_last, b.Ts],
    "AntiWindupLimter": lambda b: [b(95), b.run(120, 110, 5), b(0), b._u0, b._y0],
    "WatchDog": lambda b: [b(3), b(2 ** 70), b.ticks],
    "TestSignal": lambda b: [b(t) for t in (0, 7, -1, 123456, 2 ** 70)] + [b.get_ET(), b.get_amplitude()],
    "MIMOSim": mimo_outputs,
    "tfz_model": lambda b: [b.deltaU_sim(2.0), b.deltaU_sim(-1.0), b._zi],
    "SoftSensorBiasUpdate": soft_sensor_outputs,
    "LabDataRecorder": recorder_outputs,
    "LPVPlantSim": lambda b: [b(15.0, {"MV1": 17.0}), b.run(25.0, {}, {"CV2": 1.0}), b(5.0),
                              b.get_current_plant_weight_dict(), b.get_all_data_dict(), b._working_value],
    "Delay": lambda b: [attempt(lambda: b(1.0)), attempt(lambda: b(2.0, 2)), attempt(lambda: b(None, 0)), list(b._cache)],
    "Delay_Algorithm": pin_outputs("Ut", [4.0, 5.0, "6"], ["Yt", "nLag"], "U_array"),
    "RStrigger": pin_outputs("S", [0, 1, 0], ["Q", "nQ", "R"], "Q_array"),
    "TONtrigger": pin_outputs("Ut", [0, 1, 1, 1, 5], ["Yt", "ET", "DT"], "Ut_array"),
    "TOFFtrigger": pin_outputs("Ut", [1, 0, 0, 0, -2], ["Yt", "ET", "DT"], "Ut_array"),
}


def assign(name, value):
    return f"{name} = {value!r}", lambda b: setattr(b, name, value)


def call(name, *args, **kwargs):
    shown = ", ".join([repr(a) for a in args] + [f"{k}={v!r}" for k, v in kwargs.items()])
    return f"{name}({shown})", lambda b: getattr(b, name)(*args, **kwargs)


def call_with(**pins):
    """call() of a pin-style block with these pins; the pins are put back afterwards, so that
    what remains is what the refused call left."""
    def action(b):
        saved = {k: vars(b)[k] for k in pins if k in vars(b)}
        try:
            with_pins(b, **pins)
        finally:
            for k in pins:
                setattr(b, k, saved[k]) if k in saved else delattr(b, k)
    return "call() with " + ", ".join(f"{k}={v!r}" for k, v in pins.items()), action


PID_FLOATS = ["_TS", "_KP", "_TI", "_TD", "_N", "_OP_HI", "_OP_LO", "_et1", "_et2", "_OP1", "_FF1", "_dOPD1"]
FILTER_CALLS = [(call("__call__", "1"), TypeError), (call("__call__", NoFloat()), Refused),
                (call("__call__", 10 ** 400), OverflowError), (call("run", 1.0, "0"), TypeError),
                (call("run", 1.0, y_ini=NoFloat()), Refused), (call("run"), TypeError)]
# (class name, (text, action), expected error, conditions it applies to or None for all)
ROWS = [
    *[("PID", assign(a, v), e, None) for a in PID_FLOATS for v, e in [("x", TypeError), (NoFloat(), Refused),
                                                                      (10 ** 400, OverflowError)]],
    ("PID", call("run", 1, "50", 40, 30), TypeError, None),
    ("PID", call("run", 1, 50, 40, 30, NoFloat()), Refused, None),
    ("PID", call("run", 1, 10 ** 400, 40, 30), OverflowError, None),
    ("PID", call("run", 1, 50, 40), TypeError, None),
    ("PID", call("run", nan, 50, 40, 30), ValueError, {"running"}),
    ("PID", call("run", -inf, 50, 40, 30), OverflowError, {"running"}),
    ("PID", call("PID_Auto", 50, "40"), TypeError, None),
    ("PID", call("PID_Auto", 50, 40, FF=NoFloat()), Refused, None),
    ("PID", call("setPIDParam", 2.0, "x"), TypeError, None),
    ("PID", call("setPIDParam", NoFloat()), Refused, None),
    ("PID", call("setPIDParam", TD=10 ** 400), OverflowError, None),
    *[("PID", call("setPIDParam", **{p: None}), TypeError, None) for p in ["KP", "TI", "TD", "N"]],
    *[("PID", assign(a, None), TypeError, None) for a in ["_TS", "_KP", "_TI", "_TD", "_N"]],
    ("PID", call("setOPHighLowLimit", 10 ** 400, 0), OverflowError, None),
    ("PID", call("setOPHighLowLimit", "1", 0), TypeError, None),
    ("PID", call("setOPHighLowLimit", 50, NoFloat()), Refused, None),
    ("PID", call("_resetPID", 50, 40, "30", 0), TypeError, None),
    ("PID", call("_resetPID", 50, 40, 30), TypeError, None),
    ("PID", call("_setInnerSaveState", 1, 2, 3), TypeError, None),
    *[("PID", call(m, 1), TypeError, None) for m in ["getPIDParam", "getOPHighLowLimit", "getPIDForm"]],
    ("PID", call("getInnerSaveState", 1), TypeError, {"running"}),
    ("PID", call("__init__", "x"), TypeError, None),
    *[("zFilter", c, e, None) for c, e in FILTER_CALLS],
    ("zFilter", call("run_multistep", ["a"]), ValueError, None),
    ("zFilter", call("run_multistep", [object()]), TypeError, None),
    ("zFilter", call("run_multistep", [1.0, NoFloat()]), Refused, None),
    ("zFilter", call("run_multistep", [1.0, 10 ** 400]), OverflowError, None),
    ("zFilter", call("run_multistep", np.zeros((2, 2))), ValueError, None),
    ("zFilter", call("run_multistep", [1.0], "0"), TypeError, None),
    ("zFilter", call("run_multistep", []), IndexError, {"fresh"}),
    ("zFilter", assign("_zi", [1.0, 2.0, 3.0]), ValueError, None),
    ("zFilter", assign("_zi", [[1.0, 2.0]]), ValueError, None),
    ("zFilter", assign("_zi", ["a", "b"]), ValueError, None),
    ("zFilter", assign("_u_ini", "1"), TypeError, None),
    ("zFilter", assign("_y_ini", 10 ** 400), OverflowError, None),
    ("zFilter", call("__init__", Az=[0, 1]), (TypeError, ValueError), None),
    *[("sFilter", c, e, None) for c, e in FILTER_CALLS],
    *[("sFilter", call("run_multistep", v), TypeError, None) for v in [(1.0,), np.ones(2), None]],
    ("sFilter", call("run_multistep", ["a"]), ValueError, None),
    ("sFilter", call("run_multistep", []), IndexError, {"fresh"}),
    *[("sFilter", assign("_Ts", v), ValueError, None) for v in [0, -1, nan, inf, -inf]],
    ("sFilter", assign("_Ts", "1"), TypeError, None),
    # A new filter per use: one held by the table would outlive the module at exit.
    ("sFilter", ("_zfilter = zFilter()", lambda b: setattr(b, "_zfilter", zFilter())), AttributeError, None),
    ("sFilter", call("__init__", Ts=0), (TypeError, ValueError), None),
    ("LDLAG", call("__call__", "1"), TypeError, None),
    ("LDLAG", call("__call__", NoFloat()), Refused, None),
    ("LDLAG", call("__call__", 10 ** 400), OverflowError, None),
    ("LDLAG", call("multi_step", ["a"]), ValueError, None),
    ("LDLAG", call("multi_step", [1.0, NoFloat()]), Refused, None),
    ("LDLAG", call("multi_step", []), IndexError, None),
    *[("LDLAG", assign(p, v), e, None) for p in ["alpha", "tao"] for v, e in [
        ("0.5", TypeError), (np.int64(1), TypeError), (None, TypeError), (-1, ValueError), (-0.5, ValueError),
        (nan, ValueError), (inf, ValueError), (10 ** 400, OverflowError)]],
    *[("LDLAG", assign(p, "x"), TypeError, None) for p in ["_alpha", "_tao", "_u_ini", "_y_ini"]],
    *[("LDLAG", assign("_Ts", v), ValueError, None) for v in [0, -1]],
    *[("LDLAG", assign("_Ts", v), (TypeError, ValueError), None) for v in [nan, inf]],
    ("LDLAG", assign("_zi", [1.0, 2.0]), ValueError, {"at operating point", "running"}),
    ("LDLAG", call("_modify_param", 1), TypeError, None),
    ("LDLAG", call("__init__", Ts=0.5), TypeError, None),
    *[("RateLimit", call("__call__", *a), TypeError, None)
      for a in [(1.0, None), ("1",), (1.0, 60, "x"), (NoFloat(),), ()]],
    ("RateLimit", call("__call__", 10 ** 400), OverflowError, None),
    ("RateLimit", call("reset", NoFloat()), Refused, None),
    ("RateLimit", call("reset", "1"), TypeError, None),
    ("AntiWindupLimter", call("__call__", "1"), TypeError, None),
    ("AntiWindupLimter", call("__call__", NoFloat()), Refused, None),
    ("AntiWindupLimter", call("run", 10 ** 400), OverflowError, None),
    ("AntiWindupLimter", call("run", 1.0, "a"), TypeError, None),
    ("AntiWindupLimter", call("__call__", 1.0, LO=None), TypeError, None),
    ("WatchDog", call("__call__", -1), ZeroDivisionError, None),
    ("WatchDog", call("__call__", nan), ValueError, None),
    ("WatchDog", call("__call__", inf), OverflowError, None),
    ("WatchDog", call("__call__", "3"), TypeError, None),
    ("WatchDog", call("__call__", 1, 2), TypeError, None),
    ("TestSignal", call("__call__", 5.0), IndexError, None),
    ("TestSignal", call("__call__", "5"), TypeError, None),
    ("TestSignal", call("set_ET", "x"), ValueError, None),
    ("TestSignal", call("set_ET", nan), ValueError, None),
    ("TestSignal", call("set_ET", None), TypeError, None),
    ("TestSignal", call("set_amplitude", "x"), TypeError, None),
    *[("TestSignal", assign("_rand_arr", v), ValueError, None) for v in [[], [2.0], [nan], "x", [[0.5]]]],
    *[("MIMOSim", call("__call__", *args), e, None) for args, e in [
        (({"MV1": "16"},), TypeError), (({"MV1": NoFloat()},), Refused), (({"MV1": 16.0, "MV2": "x"},), TypeError),
        (({"MV2": 1.0, "MV1": 10 ** 400},), OverflowError), (({"MV1": 16.0}, {"CV2": None}), TypeError),
        (({"MV1": 16.0}, {"CV1": 1.0, "CV2": NoFloat()}), Refused), (([("MV1", 16.0)],), TypeError),
        (({"MV1": 16.0}, [("CV1", 1.0)]), TypeError), (({}, {}, {}), TypeError)]],
    ("MIMOSim", call("__call__", u_Value_Dict={"MV1": 1.0}, w={}), TypeError, None),
    *[("MIMOSim", call(m, 1), TypeError, None) for m in ["reset", "get_input_data_dict", "get_model_dict"]],
    ("MIMOSim", call("plot_model_stp", 300.0), TypeError, None),
    ("MIMOSim", assign("cv_list", ["CV9"]), AttributeError, None),
    ("MIMOSim", call("__init__", {"CV": {"MV": {"mode": "tf_s"}}}), (TypeError, KeyError), None),
    *[("LPVPlantSim", call("__call__", *args), e, None) for args, e in [
        ((12.0, {"MV1": "16"}), TypeError), ((12.0, {"MV1": 16.0, "MV2": NoFloat()}), Refused),
        ((12.0, {"MV2": 1.0, "MV1": 10 ** 400}), OverflowError), ((12.0, {}, {"CV1": 1.0, "CV2": None}), TypeError),
        ((nan, {"MV1": 16.0}), ValueError), (("12",), TypeError), ((12.0, [("MV1", 1.0)]), TypeError)]],
    ("LPVPlantSim", call("run", NoFloat()), Refused, None),
    ("LPVPlantSim", call("addPlant", 1, 30.0, {"CV1": {"MV1": {"mode": "tf_s"}}}, 1), KeyError, None),
    ("LPVPlantSim", call("addPlant", 3, 30.0, MIMO_MODEL, 1.0), TypeError, None),
    ("LPVPlantSim", call("addPlant", 3, NoFloat(), MIMO_MODEL, 1), Refused, None),
    ("LPVPlantSim", call("delPlant", 1.0), TypeError, None),
    ("LPVPlantSim", assign("plant_list", []), AttributeError, None),
    ("tfz_model", call("deltaU_sim", "1"), TypeError, None),
    ("tfz_model", call("deltaU_sim", NoFloat()), Refused, None),
    ("tfz_model", call("deltaU_sim"), TypeError, None),
    ("tfz_model", assign("_zi", [1.0] * 5), ValueError, None),
    ("tfz_model", assign("_zi", ["a", "b"]), ValueError, None),
    *[("SoftSensorBiasUpdate", call("run", *a, **k), e, None) for a, k, e in [
        ((1.0, 2.0, 3.0, 4), {}, TypeError), ((1.0, 2.0, 3.0), {"update_trigger": True}, TypeError),
        ((NoFloat(), 2.0, 3.0), {}, Refused), ((1.0, 2.0, 10 ** 400), {}, OverflowError), ((1.0, 2.0), {}, TypeError),
        ((nan, 2.0, 3.0), {}, ValueError), ((1.0, inf, 3.0), {}, ValueError), ((1.0, 2.0, -inf), {}, ValueError),
        ((1.0, 2.0, 3.0, nan), {}, ValueError), ((1.0, 2.0, 3.0), {"update_trigger": inf}, ValueError)]],
    ("SoftSensorBiasUpdate", call("_update_bias", "1", 2.0), TypeError, None),
    ("SoftSensorBiasUpdate", call("_update_bias", 1.0, 2.0), IndexError, {"fresh"}),
    *[("SoftSensorBiasUpdate", assign(a, "x"), TypeError, None) for a in ["_bias", "_abs_threshold"]],
    *[("SoftSensorBiasUpdate", assign(a, None), AttributeError, None) for a in ["_fil", "_prd_data_list"]],
    ("SoftSensorBiasUpdate", call("__init__", 1), TypeError, None),
    *[("LabDataRecorder", call("run", *a), e, None) for a, e in [
        (("1", 0.0), TypeError), ((1.0, NoFloat()), Refused), ((1.0,), TypeError), ((nan, 0.0), ValueError),
        ((1.0, inf), ValueError)]],
    *[("LabDataRecorder", call("export_lab_data_csv", 1.0, t), e, None) for t, e in [
        ("0", TypeError), (nan, ValueError), (inf, OverflowError), (1e300, OverflowError)]],
    ("LabDataRecorder", assign("_abs_threshold", "x"), TypeError, None),
    ("LabDataRecorder", assign("_csv_file", "elsewhere.csv"), AttributeError, None),
    ("LabDataRecorder", call("__init__", "R", 1e-6, 1, "a\0b"), (TypeError, ValueError), None),
    *[("Delay", call("__call__", *a), TypeError, None) for a in [(1.0, 1.5), (1.0, "1"), (), (1.0, 1, 2)]],
    ("Delay", call("__call__", None), ValueError, {"fresh", "unbounded"}),
    ("Delay", call("__call__", 1.0), TypeError, {"unbounded"}),
    ("Delay", call("__init__", 5), TypeError, None),
    *[("Delay_Algorithm", call_with(**p), e, None) for p, e in [
        ({"nLag": -1}, ValueError), ({"nLag": 1.5}, TypeError), ({"nLag": None}, TypeError),
        ({"nLag": 10 ** 400}, ValueError), ({"nLag": 2 ** 62}, ValueError)]],
    *[("Delay_Algorithm", call_with(Ut=v, nLag=2), e, {"fresh", "running"}) for v, e in [
        ("x", ValueError), (NoFloat(), Refused), (1j, TypeError), ([1.0], ValueError)]],
    ("Delay_Algorithm", call("call"), ValueError, {"text history"}),
    ("Delay_Algorithm", call("call", 1), TypeError, None),
    *[("RStrigger", call_with(**{p: NoBool()}), Refused, {"fresh", "set"}) for p in ["S", "R"]],
    ("RStrigger", call_with(S=0, R=0), IndexError, {"empty history"}),
    ("RStrigger", call_with(S=1), IndexError, {"empty history"}),
    *[(cls, c, e, {"fresh", "counting", "list history"}) for cls in ["TONtrigger", "TOFFtrigger"] for c, e in [
        (call_with(DT=None), TypeError), (call_with(Ut=1j), TypeError), (call("call", 1), TypeError)]],
    *[(cls, call_with(Ut=v), e, {"fresh", "counting"}) for cls in ["TONtrigger", "TOFFtrigger"] for v, e in [
        ("x", ValueError), (nan, ValueError), (-inf, OverflowError), (2 ** 63, OverflowError), (None, TypeError),
        (NoInt(), Refused)]],
    *[(cls, call("call"), IndexError, {"short history"}) for cls in ["TONtrigger", "TOFFtrigger"]],
    ("TONtrigger", call_with(ET="x"), TypeError, {"counting", "list history"}),
]
CASES = [pytest.param(cls, cond, text, action, error, id=f"{cls} {cond}: {text}")
         for cls, (text, action), error, only in ROWS for cond in CONDITIONS[cls] if only is None or cond in only]
NAMED_BY_SETTERS = (TypeError, ValueError, OverflowError)
FIXED_TEXTS = {"Expected a non-negative value."}  # the lead-lag parameters' documented refusal stands as it is


@pytest.mark.parametrize("cls, condition, text, action, error", CASES)
def test_refused_input_changes_nothing(cls, condition, text, action, error):
    block = CONDITIONS[cls][condition]()
    twin, before = copy.deepcopy(block), pickle.dumps(block)
    with pytest.raises(error) as refusal:
        action(block)
    if " = " in text and refusal.type in NAMED_BY_SETTERS and str(refusal.value) not in FIXED_TEXTS:  # a refused property value names the property
        assert text.split(" = ")[0].lstrip("_") in str(refusal.value)
    assert pickle.dumps(block) == before
    assert OUTPUTS[cls](block) == OUTPUTS[cls](twin)


@pytest.mark.parametrize("make, error", [
    (lambda: LDLAG(tao=inf), ValueError), (lambda: LDLAG(alpha=inf), ValueError),
    (lambda: LDLAG(Ts=0), ValueError), (lambda: LDLAG(Ts=-1), ValueError),
    (lambda: sFilter(Ts=0), ValueError), (lambda: sFilter(Ts=-1), ValueError), (lambda: sFilter(Ts=nan), ValueError),
    (lambda: sFilter(Ts=inf), ValueError), (lambda: PID(10 ** 400), OverflowError),
    (lambda: common.c2d([1], [1, 1], 0, -1), ValueError), (lambda: common.c2d([1], [1, 1], 0, nan), ValueError),
    (lambda: common.c2d([1], [1, 1], 0, inf), ValueError), (lambda: common.c2d([1], [1, 1], 2.0, 0), ZeroDivisionError),
], ids=["LDLAG tao inf", "LDLAG alpha inf", "LDLAG Ts 0", "LDLAG Ts -1", "sFilter Ts 0", "sFilter Ts -1",
        "sFilter Ts nan", "sFilter Ts inf", "PID TS 10**400", "c2d Ts -1", "c2d Ts nan", "c2d Ts inf",
        "c2d delay over Ts 0"])
def test_construction_refuses(make, error):
    with pytest.raises(error):
        make()


def test_refused_nan_parameter_keeps_the_lead_lag_working():
    block = LDLAG(0.5, 5.0, 1, 0.0, 0.0)
    with pytest.raises(ValueError, match=r"^alpha must be a finite number$"):
        block.alpha = nan
    assert block.alpha == 0.5
    block.tao = 1.0
    assert block.tao == 1.0 and block(1.0) == LDLAG(0.5, 1.0, 1, 0.0, 0.0)(1.0)
