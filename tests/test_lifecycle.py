import copy
import gc
import math
import pickle
import sys
import weakref

import pytest

from ovelin.algorithm import testsignal
from ovelin.algorithm.antiwindup import AntiWindupLimter
from ovelin.algorithm.delay import Delay, Delay_Algorithm
from ovelin.algorithm.filters import sFilter, zFilter
from ovelin.algorithm.leadlag import LDLAG
from ovelin.algorithm.lpvplant import LPVLocalPlant, LPVPlantSim
from ovelin.algorithm.pidcontrol import PID
from ovelin.algorithm.processsim import MIMOSim, MISOSimulator, SISOSim, tfz_model
from ovelin.algorithm.ratelimit import RateLimit
from ovelin.algorithm.watchdog import WatchDog
from ovelin.algorithm.softsensor import LabDataRecorder, SoftSensorBiasUpdate
from ovelin.algorithm.triggers import RStrigger, TOFFtrigger, TONtrigger

pytestmark = pytest.mark.isolated
CPP_NAMES = ("std::", "bad_cast", "nanobind::")


class Floaty:
    def __float__(self):
        return 1.0


class NoFloat:
    def __float__(self):
        raise ArithmeticError("no float value")


def running_pid():
    pid = PID(TS=0.5)
    pid.setPIDParam(2, 20.0, 3.0, 7.0)
    pid.tag = "TIC-7"
    for k in range(6):
        pid.run(1 if k > 1 else 0, 50, 40 + k, 30, 0.1 * k)
    return pid


def fed(block, samples=(1.0, 2.5, -1.0)):
    for u in samples:
        block(u)
    return block


def sensor_fed(block):
    for k, lab in enumerate([4.0, 4.0, 5.0, 5.0]):
        block.run(1.0 + k, lab, 2.0, 2.0 + k)
    return block


def recorder_fed(block):
    for lab in [1.0, 1.0, 2.0]:
        block.run(lab, 5.0)
    return block


@pytest.fixture(autouse=True)
def in_tmp_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # where recorders write by default


def pins_set(block, call=True, **pins):
    for name, value in pins.items():
        setattr(block, name, value)
    if call:
        block.call()
    return block


BLOCKS = {
    "PID": PID, "PID running": running_pid,
    "zFilter": lambda: zFilter([1, 0.3, -0.2], [2, -1.1, 0.3]),
    "zFilter running": lambda: fed(zFilter([1, 0.3, -0.2], [2, -1.1, 0.3], 1, 2)),
    "sFilter": lambda: sFilter([2, 1], [3, 4, 1], 0.5), "sFilter running": lambda: fed(sFilter([2, 1], [3, 4, 1], 0.5)),
    "LDLAG": lambda: LDLAG(0.3, 7.0, 2), "LDLAG running": lambda: fed(LDLAG(0.3, 7.0, 2, 0.0, 1.0)),
    "RateLimit": lambda: RateLimit(0.5, 2), "RateLimit running": lambda: fed(RateLimit(0.5, 2)),
    "AntiWindupLimter": AntiWindupLimter, "AntiWindupLimter running": lambda: fed(AntiWindupLimter()),
    "WatchDog": WatchDog, "WatchDog beyond 64 bits": lambda: fed(WatchDog(), (2 ** 70, 2 ** 70)),
    "TestSignal": lambda: testsignal.TestSignal(1),
    "SoftSensorBiasUpdate": lambda: SoftSensorBiasUpdate("SS", 3.0, prd_len=3, const_len=1),
    "SoftSensorBiasUpdate running": lambda: sensor_fed(SoftSensorBiasUpdate("SS", 3.0, prd_len=3, const_len=1)),
    "LabDataRecorder": lambda: LabDataRecorder("R", const_len=1),
    "LabDataRecorder running": lambda: recorder_fed(LabDataRecorder("R", const_len=1)),
    "Delay": lambda: Delay(3), "Delay running": lambda: fed(Delay(3)),
    "Delay_Algorithm": Delay_Algorithm, "Delay_Algorithm running": lambda: pins_set(Delay_Algorithm(), Ut=2.5, nLag=2),
    "RStrigger": RStrigger, "TONtrigger": TONtrigger, "TOFFtrigger running": lambda: pins_set(TOFFtrigger(), Ut=1),
}
MIMO_MODEL = {"T1": {"F1": {"mode": "tf_s", "num_s": [2], "den_s": [5, 1], "iodelay_s": 2}, "F2": {}},
              "T2": {"F2": {"mode": "stp", "stp": [1, 2]}}}
BLOCKS.update({
    "MIMOSim": lambda: MIMOSim(MIMO_MODEL, {"T1": 5, "F1": 1}),
    "MIMOSim running": lambda: fed(MIMOSim(MIMO_MODEL, {"T1": 5}), [{"F1": 1.0}, {"F2": 3.0}]),
    "SISOSim running": lambda: fed(SISOSim(2, 5, 1), [{"MV": 1.0}]),
    "MISOSimulator": lambda: MISOSimulator([tfz_model()], [1.0]),
    "tfz_model running": lambda: [m := tfz_model(), m.deltaU_sim(2.0)][0],
})
SAMPLE = {PID: lambda b: b.run(1, 55, 41.5, 0, 0.2), zFilter: lambda b: b(1.5), sFilter: lambda b: b(1.5),
          LDLAG: lambda b: b(1.5), RateLimit: lambda b: b(1.5), AntiWindupLimter: lambda b: b(1.5),
          WatchDog: lambda b: b(3), testsignal.TestSignal: lambda b: b(12345)}
METHOD = {PID: lambda b: b.getPIDParam(), zFilter: lambda b: b.run_multistep([1.0]),
          sFilter: lambda b: b.run_multistep([1.0]), LDLAG: lambda b: b.multi_step([1.0]),
          RateLimit: lambda b: b.reset(1.0), AntiWindupLimter: lambda b: b.run(1.0), WatchDog: lambda b: b.ticks,
          testsignal.TestSignal: lambda b: b.get_ET()}
BLOCK_TYPES = (PID, zFilter, sFilter, LDLAG, RateLimit, AntiWindupLimter, WatchDog, testsignal.TestSignal)
SAMPLE.update({MIMOSim: lambda b: b({"F1": 1.5}), SISOSim: lambda b: b({"MV": 1.5}),
               MISOSimulator: lambda b: b.one_step_sim([1.5]), tfz_model: lambda b: b.deltaU_sim(1.5)})
METHOD.update({MIMOSim: lambda b: b.get_all_data_dict(), SISOSim: lambda b: b.get_all_data_dict(),
               MISOSimulator: lambda b: b.one_step_sim([1.0]), tfz_model: lambda b: b.reset_zi()})
BLOCK_TYPES += (MIMOSim, SISOSim, MISOSimulator, tfz_model)
SAMPLE.update({SoftSensorBiasUpdate: lambda b: b.run(1.0, 2.0, 9.0, 9.0), LabDataRecorder: lambda b: b.run(2.0, 9.0)})
METHOD.update({SoftSensorBiasUpdate: lambda b: b.get_bias(), LabDataRecorder: lambda b: b.export_lab_data_csv(1.0, 2.0)})
BLOCK_TYPES += (SoftSensorBiasUpdate, LabDataRecorder)
def lpv_plant(samples=()):
    plant = LPVPlantSim({"T1": 5.0, "F1": 1.0})
    plant.addPlant(1, 0.0, MIMO_MODEL, 1)
    plant.addPlant(2, 1.0, {"T1": {"F1": {"mode": "tf_z", "num_z": [0, 1], "den_z": [1, -0.5]}}, "T2": {}}, 1)
    for w in samples:
        plant(w, {"F1": 2.0, "F2": 1.0})
    return plant


BLOCKS.update({"LPVPlantSim": lpv_plant, "LPVPlantSim running": lambda: lpv_plant((0.3, 0.8)),
               "LPVLocalPlant": lambda: lpv_plant((0.5,)).plant_list[1]})
SAMPLE.update({LPVPlantSim: lambda b: b(0.4, {"F1": 1.5}), LPVLocalPlant: lambda b: b.plant({"F1": 1.5})})
METHOD.update({LPVPlantSim: lambda b: b.get_current_plant_weight_dict(), LPVLocalPlant: lambda b: b.current_weight})
BLOCK_TYPES += (LPVPlantSim, LPVLocalPlant)


SAMPLE.update({Delay: lambda b: b(1.5),
               **{cls: lambda b: b.call() for cls in [Delay_Algorithm, RStrigger, TONtrigger, TOFFtrigger]}})
METHOD.update({Delay: lambda b: b._cache, Delay_Algorithm: lambda b: b.U_array, RStrigger: lambda b: b.Q_array,
               TONtrigger: lambda b: b.Ut_array, TOFFtrigger: lambda b: b.Ut_array})
BLOCK_TYPES += (Delay, Delay_Algorithm, RStrigger, TONtrigger, TOFFtrigger)
USES = {"call": lambda b: SAMPLE[type(b)](b), "method": lambda b: METHOD[type(b)](b), "copy": copy.copy,
        "deepcopy": copy.deepcopy, "pickle": pickle.dumps, "__getstate__": lambda b: b.__getstate__()}


def pid_saved(s):
    pid = PID()
    pid._setInnerSaveState(s, s, s, s, s, s, s)
    return pid


def sfilter_inner(s):
    block = sFilter()
    block._zfilter.owner = s  # reached only through the inner filter that the block holds
    return block


def holding(block, **attributes):
    for name, value in attributes.items():
        setattr(block, name, value)
    return block


class Keep(Floaty):
    """Holds an object and is kept as itself by deep copies, so a simulator's copied dictionaries reach it."""

    def __init__(self, held):
        self.held = held

    def __deepcopy__(self, memo):
        return self


def lpv_local_simulator(s):
    plant = LPVPlantSim()
    plant.addPlant(1, 0.0, {"CV": {"MV": {}}}, 1)
    plant.plant_list[0].plant.owner = s  # reached only through the local simulator the plant holds
    return plant


def simulator_model(s):
    sim = MIMOSim({"CV": {"MV": {"mode": "tf_z", "num_z": [1], "den_z": [1, -0.5]}}})
    sim.yu_model_obj["CV"]["MV"].owner = s  # reached only through a model object the simulator holds
    return sim


def sensor_filter(s):
    block = SoftSensorBiasUpdate()
    block._fil.owner = s  # reached only through the filter that the block holds
    return block


@pytest.mark.parametrize("hold, held", [
    (lambda s: MIMOSim({"CV": {"MV": {"mode": "tf_s", "num_s": [1], "den_s": [2, 1]}}}, {}, s), lambda b: [b.Ts]),
    (lambda s: MIMOSim({"CV": {"MV": {}}}, {"MV": Keep(s)}),
     lambda b: [b.ini_value_dict["MV"].held]),
    (lambda s: MIMOSim({"CV": {"MV": {"note": Keep(s)}}}), lambda b: [b.process_model_dict["CV"]["MV"]["note"].held]),
    (simulator_model, lambda b: [b.cv_simulators["CV"].model_list[0].owner]),
    (lambda s: MISOSimulator([tfz_model()], [s]), lambda b: [b.u_ini_list[0]]),
    (lambda s: LPVPlantSim({"MV": Keep(s)}), lambda b: [b.ini_value_dict["MV"].held]),
    (lpv_local_simulator, lambda b: [b.plant_list[0].plant.owner]),
    (lambda s: holding(LPVLocalPlant(), plant_id=s, plant=s, yu_model_tf=s, Ts=s),
     lambda b: [b.plant_id, b.plant, b.yu_model_tf, b.Ts]),
    (lambda s: PID(TS=s), lambda b: [b._TS]),
    (pid_saved, lambda b: [b._OP_save, b._dFF_save, *b.getInnerSaveState().values()]),
    (lambda s: zFilter(u_ini=s, y_ini=s), lambda b: [b._u_ini, b._y_ini]),
    (lambda s: LDLAG(0.5, 5.0, 1, s, s), lambda b: [b._u_ini, b._y_ini]),
    (sfilter_inner, lambda b: [b._zfilter.owner]),
    (lambda s: holding(RateLimit(0, Ts=s), u_last=s), lambda b: [b.Ts, b.u_last]),
    (lambda s: holding(AntiWindupLimter(), _u0=s, _y0=s), lambda b: [b._u0, b._y0]),
    (lambda s: holding(WatchDog(), ticks=s), lambda b: [b.ticks]),
    (lambda s: holding(testsignal.TestSignal(1), _ET=s, _amp=s), lambda b: [b._ET, b._amp, b.get_amplitude()]),
    (sensor_filter, lambda b: [b._fil.owner]),
    (lambda s: fed(Delay(2), [s]), lambda b: list(b._cache)),
    (lambda s: pins_set(TONtrigger(), call=False, Ut_array=s), lambda b: [b.Ut_array]),
    (lambda s: pins_set(Delay_Algorithm(), call=False, U_array=s, Ut=s), lambda b: [b.U_array, b.Ut]),
], ids=["MIMOSim Ts", "MIMOSim initial values", "MIMOSim model dictionary", "MIMOSim model object",
        "MISOSimulator initial values", "LPVPlantSim initial values", "LPVPlantSim local simulator",
        "LPVLocalPlant fields", "PID TS", "PID save state", "zFilter operating point", "LDLAG operating point", "sFilter inner zFilter",
        "RateLimit Ts and output", "AntiWindupLimter history", "WatchDog ticks",
        "TestSignal half period and amplitude", "SoftSensorBiasUpdate filter",
        "Delay samples", "trigger history", "pin-style history and pin"])
def test_cycles_through_held_objects_are_collected(hold, held):
    sentinel, collected = Floaty(), []
    weakref.finalize(sentinel, collected.append, True)
    block = hold(sentinel)
    assert all(v is sentinel for v in held(block))
    sentinel.block, block.sentinel = block, sentinel
    del sentinel, block
    gc.collect()
    assert collected


def paths(state, prefix=()):
    """Index paths of every element of a state, nested tuples included."""
    for i, item in enumerate(state):
        yield prefix + (i,)
        if isinstance(item, tuple):
            yield from paths(item, prefix + (i,))


def at(state, path):
    for i in path:
        state = state[i]
    return state


def replaced(state, path, value):
    items = list(state)
    items[path[0]] = value if len(path) == 1 else replaced(state[path[0]], path[1:], value)
    return tuple(items)


def bad_states(state):
    yield "a list", list(state)
    yield "a dict", dict(enumerate(state))
    yield "one item short", state[:-1]
    yield "one item long", state + (None,)
    yield "empty", ()
    if isinstance(state[0], int):
        yield "unknown format number", (state[0] + 1,) + state[1:]
    for path in paths(state):
        old = at(state, path)
        for label, value in [("None", None), ("a str", "x"), ("10**400", 10 ** 400), ("NaN", math.nan),
                             ("no float value", NoFloat()), ("a list", [1.0]),
                             ("a wrong-length tuple", old[:-1] if isinstance(old, tuple) and old else (1.0, 2.0, 3.0))]:
            yield f"item {path} {label}", replaced(state, path, value)


@pytest.mark.parametrize("name", BLOCKS)
def test_restore_is_all_or_nothing(name):
    block = BLOCKS[name]()
    cls, state, problems = type(block), block.__reduce_ex__(2)[2], []
    for label, bad in bad_states(state):
        print("restoring", label, flush=True)  # names the culprit if the process dies
        blank = cls.__new__(cls)
        try:
            blank.__setstate__(bad)
        except (TypeError, ValueError) as exc:
            if not str(exc) or any(n in str(exc) for n in CPP_NAMES):
                problems.append(f"{label}: refused with {exc!r}")
            for use_name, use in USES.items():
                try:
                    use(blank)
                    problems.append(f"{label}: {use_name} works after a refused state")
                except TypeError:
                    pass
                except Exception as exc:
                    problems.append(f"{label}: {use_name} after a refused state raised {exc!r}")
        except Exception as exc:
            problems.append(f"{label}: refused with {exc!r}")
        else:  # accepted: a block that can be copied, pickled and called (its values may still be refused)
            try:
                for b in (blank, pickle.loads(pickle.dumps(blank)), copy.deepcopy(blank)):
                    try:
                        SAMPLE[cls](b)
                    except (TypeError, ValueError, ArithmeticError, AttributeError, IndexError) as exc:
                        assert not any(n in str(exc) for n in CPP_NAMES)
            except Exception as exc:
                problems.append(f"{label}: accepted, then {exc!r}")
    assert not problems, "\n".join(problems)


class CollidesWithMine:
    """A saved attribute name that collides with the instance's own 'mine' and cannot be compared."""

    def __hash__(self):
        return hash("mine")

    def __eq__(self, other):
        raise RuntimeError("no merge")


@pytest.mark.parametrize("name", BLOCKS)
def test_restore_whose_attributes_cannot_merge_changes_nothing(name):
    block = BLOCKS[name]()
    cls, state = type(block), block.__reduce_ex__(2)[2]
    blank = cls.__new__(cls)
    blank.mine = 0
    with pytest.raises(RuntimeError, match="^no merge$"):
        blank.__setstate__(state[:-1] + ({"added": 1, CollidesWithMine(): 2},))
    assert vars(blank) == {"mine": 0}
    with pytest.raises(TypeError):
        SAMPLE[cls](blank)


def package_objects():
    gc.collect()
    return sum(type(o) in BLOCK_TYPES for o in gc.get_objects())


@pytest.mark.parametrize("name", BLOCKS)
def test_refused_state_releases_what_it_held(name):
    block = BLOCKS[name]()
    cls, state, leaks = type(block), block.__getstate__(), []
    where = [i for i, item in enumerate(state) if isinstance(item, dict)]
    objects = package_objects()
    for path in paths(state):
        held = NoFloat()
        bad = replaced(state, path, held)
        for i in where:
            bad = bad if path[0] == i else replaced(bad, (i,), {"tag": held})
        before = sys.getrefcount(held)
        for _ in range(20):
            try:
                cls.__new__(cls).__setstate__(bad)
            except (TypeError, ValueError):
                pass
        if sys.getrefcount(held) != before:
            leaks.append(f"item {path}: {sys.getrefcount(held) - before} references kept")
    leaked = package_objects() - objects
    assert not leaks and leaked <= 0, (leaks, f"{leaked} blocks left behind")


class Reinitialising:
    """An argument whose conversion (to a float, an index or a deep copy) first initialises the block being built."""

    def __init__(self, block, *args, **kwargs):
        self.reinit = lambda: block.__init__(*args, **kwargs)

    def _run(self):
        reinit, self.reinit = self.reinit, lambda: None
        reinit()

    def __float__(self):
        self._run()
        return 1.0

    def __index__(self):
        self._run()
        return 1

    def __deepcopy__(self, memo):
        self._run()
        return 1.0


# the constructor's arguments with the hostile one (x), then the inner constructor's arguments
REINIT = [
    (PID, lambda x: (x,), (0.5,)), (RateLimit, lambda x: (x,), (2.5,)), (LDLAG, lambda x: (x,), (0.3,)),
    (zFilter, lambda x: ([x], [1]), ([2], [1])), (sFilter, lambda x: ([1], [5, 1], x), ([2], [3, 1])),
    (SISOSim, lambda x: (x, 5.0), (2.0, 5.0)), (tfz_model, lambda x: ([0, x],), ([0, 2],)),
    (LPVPlantSim, lambda x: ({"T": x},), ({"T": 2.0},)),
    (SoftSensorBiasUpdate, lambda x: ("outer", x), ("inner",)),
    (LabDataRecorder, lambda x: ("outer", x), ("inner",)),
]


@pytest.mark.parametrize("cls, outer, inner", REINIT, ids=[row[0].__name__ for row in REINIT])
def test_initialisation_during_initialisation_is_refused(cls, outer, inner):
    block = cls.__new__(cls)
    with pytest.raises(TypeError, match=f"^'{cls.__name__}' object is already initialized$"):
        block.__init__(*outer(Reinitialising(block, *inner)))
    # The block is the one the inner call built, whole.
    assert pickle.dumps(block.__getstate__()[1:-1]) == pickle.dumps(cls(*inner).__getstate__()[1:-1])


@pytest.mark.parametrize("cls", BLOCK_TYPES)
@pytest.mark.parametrize("use", [copy.copy, copy.deepcopy, pickle.dumps, lambda b: b.__reduce_ex__(2),
                                 lambda b: b.__getstate__()], ids=["copy", "deepcopy", "pickle", "reduce", "getstate"])
def test_uninitialised_instance_cannot_be_copied_or_pickled(cls, use):
    with pytest.raises(TypeError):
        use(cls.__new__(cls))


@pytest.mark.parametrize("cls, name, args", [
    (PID, "getInnerSaveState", ()), (PID, "__getstate__", ()), (PID, "_et1", ()),
    (zFilter, "run_multistep", ([1.0],)), (zFilter, "__getstate__", ()), (zFilter, "_zi", ()),
    (sFilter, "run_multistep", ([1.0],)), (sFilter, "__getstate__", ()), (sFilter, "_zfilter", ()),
    (LDLAG, "multi_step", ([1.0],)), (LDLAG, "__getstate__", ()), (LDLAG, "_alpha", ()),
    (RateLimit, "reset", (1.0,)), (RateLimit, "__getstate__", ()), (RateLimit, "u_last", ()),
    (AntiWindupLimter, "__getstate__", ()), (AntiWindupLimter, "_y0", ()),
    (WatchDog, "__getstate__", ()), (WatchDog, "ticks", ()),
    (testsignal.TestSignal, "set_ET", (5,)), (testsignal.TestSignal, "__getstate__", ()),
    (testsignal.TestSignal, "_rand_arr", ()),
    (MIMOSim, "reset", ()), (MIMOSim, "__getstate__", ()), (MIMOSim, "_u_dict", ()),
    (tfz_model, "reset_zi", ()), (tfz_model, "_zi", ()),
    (SoftSensorBiasUpdate, "_update_bias", (1.0, 2.0)), (SoftSensorBiasUpdate, "__getstate__", ()),
    (SoftSensorBiasUpdate, "_prd_data_list", ()), (LabDataRecorder, "export_lab_data_csv", (1.0, 2.0)),
    (LabDataRecorder, "__getstate__", ()), (LabDataRecorder, "_csv_file", ()),
    (LPVPlantSim, "addPlant", (1, 0.0, {}, 1)), (LPVPlantSim, "get_cv_list", ()), (LPVPlantSim, "__getstate__", ()),
    (LPVPlantSim, "plant_list", ()), (LPVLocalPlant, "plant", ()), (LPVLocalPlant, "__getstate__", ()),
    (Delay, "__getstate__", ()), (Delay, "_cache", ()), (Delay_Algorithm, "U_array", ()), (RStrigger, "Q_array", ()),
    (TONtrigger, "Ut_array", ()), (TOFFtrigger, "__getstate__", ()),
])
def test_wrong_self_is_refused_in_descriptor_wording(cls, name, args):
    raw = vars(cls)[name]
    calls = [raw.__get__, raw.fget] if isinstance(raw, property) else [getattr(cls, name)]
    wording = f"descriptor '{name}' for '{cls.__name__}' objects doesn't apply to a "
    for call in calls:
        with pytest.raises(TypeError) as info:
            call(1.0, *args)
        assert str(info.value) == wording + "'float' object"
        with pytest.raises(TypeError, match=f"^{wording}"):
            call(PID() if cls is not PID else LDLAG(), *args)
