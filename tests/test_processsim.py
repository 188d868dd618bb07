import copy
import math
import pickle
import threading

import numpy as np
import pytest
from scipy import signal

from hostile_values import Hostile
from ovelin.algorithm import processsim as ps
from ovelin.algorithm.processsim import (MIMOSim, MISOSimulator, SISOSim, get_model_stp, get_model_tags, model,
                                         no_model, plot_model_stp, stp_model, stpxy_model, tfs_model, tfz_model)

TFZ = {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7]}


def lfilter_steps(b, a, inputs):
    """The oracle: one lfilter step per sample, carrying the state; returns (outputs, final state)."""
    zi, out = np.zeros(max(len(a), len(b)) - 1), []
    for u in inputs:
        y, zi = signal.lfilter(b, a, [u], zi=zi)
        out.append(y[0])
    return out, zi.tolist()


@pytest.mark.parametrize("make, inputs, expected", [
    (tfz_model, [1] * 6, [0, 1, 3, 5.3, 7.35, 8.815]),
    (lambda: tfz_model(delay=2), [1] * 6, [0, 0, 0, 1, 3, 5.3]),
    (tfs_model, [1] * 3, [1 - math.exp(-k / 5) for k in range(3)]),
    (lambda: stp_model([0.5, 1, 2]), [2] * 5, [1, 2, 4, 4, 4]),
    (lambda: stp_model([0.5, 1, 2]), [2, 0, 0, 0, 0], [1, 1, 2, 0, 0]),
    (stpxy_model, [1] * 6, [10, 10, 20, 30, 30, 30]),
    (no_model, [5] * 3, [0.0] * 3),
], ids=["tfz", "tfz delay", "tfs", "stp", "stp pulse", "stpxy", "no_model"])
def test_model_outputs(make, inputs, expected):
    m = make()
    assert [m.deltaU_sim(u) for u in inputs] == pytest.approx(expected, abs=1e-12)


def test_filter_models_step_exactly_like_lfilter():
    rng = np.random.default_rng(3)
    for order in range(1, 6):
        b, a = rng.normal(size=order + 1), np.r_[1.7, rng.normal(scale=0.2, size=order)]
        m, u = tfz_model(b.tolist(), a.tolist(), 2), rng.normal(size=40)
        assert ([m.deltaU_sim(x) for x in u], m._zi) == lfilter_steps(np.r_[0, 0, b], a, u)


def test_model_attributes_and_reset():
    m = tfz_model([1, 2], [1, -0.5, 0.1], delay=1)
    assert m.Gz_num.tolist() == [0.0, 1.0, 2.0] and m.Gz_den.tolist() == [1.0, -0.5, 0.1]
    assert m.Gz_num.dtype == np.float64 and m._zi == [0.0, 0.0]
    m.deltaU_sim(1.0)
    m.deltaU_sim(1.0)
    zi = signal.lfilter([0, 1, 2], [1, -0.5, 0.1], [1.0, 1.0], zi=[0.0, 0.0])[1]
    assert m._zi == zi.tolist()
    m.reset_zi()
    assert m._zi == [0.0, 0.0] and m.deltaU_sim(0.0) == 0.0
    assert stp_model([1, 3, 6]).Gz_num.tolist() == [1, 2, 3] and stp_model().Gz_den.tolist() == [1.0]
    gz = tfs_model([2], [10, 1], 2.4, 1)
    assert gz.Gz_num == pytest.approx([0, 0, 0, 2 * (1 - math.exp(-0.1))]) and gz.Gz_den[1] == pytest.approx(
        -math.exp(-0.1))


def test_class_tree_and_abstract_base():
    assert issubclass(tfs_model, tfz_model) and issubclass(stp_model, tfz_model)
    assert issubclass(stpxy_model, stp_model) and issubclass(no_model, model) and issubclass(tfz_model, model)
    with pytest.raises(TypeError, match="^Can't instantiate abstract class model without an implementation for "
                                        "abstract method 'deltaU_sim'$"):
        model()

    class Twice(model):
        def deltaU_sim(self, dU):
            return 2 * dU

    miso = MISOSimulator([Twice(), tfz_model(), no_model()], [1.0, 0.0, 0.0])
    assert miso.one_step_sim([4, 1, 7]) == 6.0 and miso.one_step_sim([4, 1, 7]) == 7.0
    with pytest.raises(TypeError):
        type("NoStep", (model,), {})()


def test_refused_model_input_changes_nothing():
    m = tfz_model()
    m.deltaU_sim(1.0)
    before = m._zi
    with pytest.raises(TypeError):
        m.deltaU_sim("1")
    assert m._zi == before


def built(spec, Ts=1):
    sim = MIMOSim({"CV": {"MV": spec}}, {}, Ts)
    return sim.yu_model_obj["CV"]["MV"]


@pytest.mark.parametrize("spec, cls", [
    ({}, no_model),
    ({"mode": "None", "num_z": [1]}, no_model),
    ({"num_z": [1]}, no_model),
    (TFZ, tfz_model),
    ({"mode": "tf_s", "num_s": [1], "den_s": [5, 1]}, tfs_model),
    ({"mode": "stp", "stp": [1, 2, 3]}, stp_model),
    ({"mode": "stpxy", "x": [0, 2], "y": [1, 1]}, stpxy_model),
])
def test_pair_model_classes(spec, cls):
    assert type(built(spec)) is cls


@pytest.mark.parametrize("mark, impulse", [(1, [1, 1]), ("yes", [1, 1]), (True, [1, 1]),
                                           (0, [1, 0]), (False, [1, 0]), (None, [1, 0]), ("", [1, 0])])
def test_integral_mark_is_read_for_its_truth(mark, impulse):
    assert built({"mode": "stp", "stp": [1, 1], "IntegralMark": mark}).Gz_num.tolist() == impulse


@pytest.mark.parametrize("spec, error, args", [
    ({"mode": "tf_s", "num_s": [1]}, KeyError, ("den_s",)),
    ({"mode": "tf_s", "den_s": [1, 1]}, KeyError, ("num_s",)),
    ({"mode": "tf_z", "num_z": [1]}, KeyError, ("den_z",)),
    ({"mode": "tf_z", "den_z": [1]}, KeyError, ("num_z",)),
    ({"mode": "stp"}, KeyError, ("stp",)),
    ({"mode": "stpxy", "y": [1]}, KeyError, ("x",)),
    ({"mode": "stpxy", "x": [1]}, KeyError, ("y",)),
    ({"mode": "tf_x"}, AssertionError, ()),
    ({"mode": None}, AssertionError, ()),
    ({"mode": "stpxy", "x": [1, 2], "y": [1]}, AssertionError, ()),
    ({**TFZ, "iodelay_z": -1}, ValueError, ("index can't contain negative values",)),
    ({**TFZ, "iodelay_z": 1.0}, TypeError, ("`pad_width` must be of integral type.",)),
    ({"mode": "tf_s", "num_s": [0], "den_s": [1, 1]}, IndexError, ("index 0 is out of bounds for axis 0 with size 0",)),
    ({"mode": "tf_s", "num_s": [1, 1, 1], "den_s": [1, 1]}, ValueError,
     ("Improper transfer function. `num` is longer than `den`.",)),
    ({"mode": "tf_s", "num_s": [1], "den_s": [1, 1], "iodelay_s": -2}, ValueError,
     ("negative dimensions are not allowed",)),
    ({"mode": "tf_z", "num_z": [1], "den_z": [0, 1]}, ValueError, ("First `a` filter coefficient must be non-zero.",)),
])
def test_pair_model_failures(spec, error, args):
    with pytest.raises(error) as info:
        built(spec)
    assert info.value.args == args


def test_model_tags():
    d = {"CV1": {"MV1": TFZ, "MV2": {}}, "CV2": {"MV2": {}, "MV3": {}}}
    assert get_model_tags(d) == (["CV1", "CV2"], ["MV1", "MV2", "MV3"])
    assert MIMOSim(d).get_process_tags() == ["CV1", "CV2", "MV1", "MV2", "MV3"]
    with pytest.raises(AttributeError, match="^'list' object has no attribute 'keys'$"):
        get_model_tags({"CV1": []})
    with pytest.raises(TypeError):
        get_model_tags(d, 1)


def tfz_sim():
    return MIMOSim({"CV": {"MV": TFZ}, "CV2": {}}, {"CV": 10, "MV": 15, "other": 1}, 1)


def test_simulator_runs_around_its_operating_point():
    sim = tfz_sim()
    assert sim.get_output_data_dict() == {"CV": 10.0, "CV2": 0.0} and sim.get_input_data_dict() == {"MV": 15.0}
    assert [sim({"MV": 16})["CV"] for _ in range(3)] == [10, 11, 13]
    assert sim()["CV"] == pytest.approx(15.3)  # held inputs still advance the models
    assert sim({"unknown": 1}, {"CV": 100, "CV2": 5}) == pytest.approx({"CV": 117.35, "CV2": 5.0})
    assert sim()["CV"] == pytest.approx(18.815)  # the disturbance lasted one sample
    assert sim.get_input_data_dict() == {"MV": 16.0} and sim._u_dict == {"MV": 16.0}
    assert sim.get_all_data_dict() == {"MV": 16.0, **sim._y_dict}


def test_getters_share_nothing_with_the_simulator():
    spec = {"CV": {"MV": copy.deepcopy(TFZ)}}
    ini = {"MV": 1.0}
    sim = MIMOSim(spec, ini)
    spec["CV"]["MV"]["num_z"].append(9)
    ini["MV"] = 7
    for getter in ["get_input_data_dict", "get_output_data_dict", "get_all_data_dict", "get_cv_list",
                   "get_mv_list", "get_model_dict", "get_process_tags"]:
        got = getattr(sim, getter)()
        got.clear()
    sim.get_model_dict()["CV"]["MV"]["num_z"].append(5)
    assert sim.get_model_dict() == {"CV": {"MV": TFZ}} and sim.ini_value_dict == {"MV": 1.0}
    assert sim.get_cv_list() == ["CV"] and sim.get_input_data_dict() == {"MV": 1.0}


def test_reset_keeps_the_models_state():
    sim, fresh = tfz_sim(), tfz_sim()
    for _ in range(3):
        sim({"MV": 20})
    sim.reset()
    assert sim._u_dict == {"MV": 15.0} and sim._y_dict == {"CV": 10.0, "CV2": 0.0}
    assert sim({"MV": 15})["CV"] != fresh({"MV": 15})["CV"]
    assert sim.cv_simulators["CV"].model_list[0] is sim.yu_model_obj["CV"]["MV"]
    assert sim.cv_simulators["CV"].u_ini_list == [15.0] and type(sim.cv_simulators["CV"].u_ini_list[0]) is float


def test_models_inside_a_simulator_show_the_live_state():
    sim = tfz_sim()
    sim({"MV": 16})
    sim({"MV": 16})
    m = sim.yu_model_obj["CV"]["MV"]
    assert m._zi == lfilter_steps([0, 1, 0.5], [1, -1.5, 0.7], [1.0, 1.0])[1]
    m.deltaU_sim(1.0)  # stepping the model object steps the simulator's pair
    assert sim({"MV": 16}) == {"CV": 10 + lfilter_steps([0, 1, 0.5], [1, -1.5, 0.7], [1.0] * 4)[0][-1], "CV2": 0.0}


@pytest.mark.parametrize("branch", [copy.copy, copy.deepcopy, lambda s: pickle.loads(pickle.dumps(s))],
                         ids=["copy", "deepcopy", "pickle"])
@pytest.mark.parametrize("make", [
    lambda: MIMOSim({"T1": {"F1": {"mode": "tf_s", "num_s": [2], "den_s": [30, 11, 1], "iodelay_s": 3},
                            "F2": {"mode": "stp", "stp": [0.1, 0.4, 0.6]}},
                     "T2": {"F2": TFZ, "F3": {"mode": "stpxy", "x": [1, 4], "y": [1, 2], "IntegralMark": 1}}},
                    {"T1": 50, "F1": 3}, 2),
    lambda: SISOSim(2, 5, 3, 1, 1),
], ids=["MIMOSim", "SISOSim"])
def test_a_branched_simulator_continues_like_the_original(make, branch):
    sim, rng = make(), np.random.default_rng(7)
    tags = sim.get_mv_list()
    for _ in range(6):
        sim({t: rng.normal() for t in tags})
    twin = branch(sim)
    assert type(twin) is type(sim) and twin.get_all_data_dict() == sim.get_all_data_dict()
    inputs = [{t: rng.normal() for t in tags} for _ in range(20)]
    assert [twin(u) for u in inputs] == [sim(u) for u in inputs]
    twin_models = [m for row in twin.yu_model_obj.values() for m in row.values()]
    assert all(a is b for a, b in zip(twin_models, [m for s in twin.cv_simulators.values() for m in s.model_list]))
    assert not {id(m) for m in twin_models} & {id(m) for row in sim.yu_model_obj.values() for m in row.values()}
    twin.reset()
    assert [twin() for _ in range(5)] != [sim() for _ in range(5)]  # the branches share no state


@pytest.mark.parametrize("make", [tfz_model, tfs_model, stp_model, stpxy_model, no_model])
def test_models_copy_and_pickle_with_their_state(make):
    m = make()
    m.deltaU_sim(1.0)
    twins = [copy.deepcopy(m), pickle.loads(pickle.dumps(m))]
    assert all(type(t) is type(m) for t in twins)
    outputs = [[t.deltaU_sim(2.0) for _ in range(4)] for t in twins]
    assert outputs[0] == outputs[1]
    assert outputs[0] == [m.deltaU_sim(2.0) for _ in range(4)]


@pytest.mark.parametrize("gain, expected", [
    (2, [0, 2 * (1 - math.exp(-0.2)), 2 * (1 - math.exp(-0.4))]),
    (0, [0.0, 0.0, 0.0]),  # a pair without effect: the CV keeps its initial value
    (0.0, [0.0, 0.0, 0.0]),
])
def test_siso(gain, expected):
    sim = SISOSim(gain=gain, tao=5)
    assert [sim({"MV": 1})["CV"] for _ in range(3)] == pytest.approx(expected)
    assert isinstance(sim, MIMOSim) and sim.get_model_dict()["CV"]["MV"]["num_s"] == [0, gain]


def test_inputs_and_sample_time_are_kept_as_given():
    sim = MIMOSim({"CV": {"MV3": TFZ}}, {"MV3": 2}, 1)
    assert type(sim._u_dict["MV3"]) is int
    value = np.float32(3.5)
    sim({"MV3": 3})
    assert type(sim._u_dict["MV3"]) is int and sim._u_dict == sim.get_input_data_dict() == {"MV3": 3}
    sim({"MV3": value})
    assert sim._u_dict["MV3"] is value and sim.get_input_data_dict()["MV3"] == value
    assert sim.get_all_data_dict()["MV3"] == value
    sim.Ts = 2
    assert sim.Ts == 2 and pickle.loads(pickle.dumps(sim))._u_dict["MV3"] == value


BIG = "the pair model cannot be held in memory: its dead time or step response has too many samples"
STEPS = "step responses of this length cannot be held in memory"


@pytest.mark.parametrize("make, text", [
    (lambda: tfz_model([1], [1], 2**62), BIG),
    (lambda: tfz_model([1], [1], 2**45), BIG),
    (lambda: tfz_model([1], [1], 2**70), BIG),
    (lambda: tfs_model([1], [5, 1], 2.0**62, 1), BIG),
    (lambda: tfs_model([1], [5, 1], 2.0**45, 1), BIG),
    (lambda: stpxy_model([0, 2**45], [0, 1]), BIG),
    (lambda: MIMOSim({"CV": {"MV": {**TFZ, "iodelay_z": 2**45}}}), BIG),
    (lambda: get_model_stp({"CV": {"MV": TFZ}}, 1, 2**62), STEPS),
    (lambda: get_model_stp({"CV": {"MV": TFZ}}, 1, 2**45), STEPS),
    (lambda: get_model_stp({"CV": {"MV": TFZ}}, 1, 2**70), STEPS),
])
def test_sizes_beyond_memory_are_refused_in_the_librarys_words(make, text):
    with pytest.raises(MemoryError) as info:
        make()
    assert str(info.value) == text


MIMO = {"CV1": {"MV1": TFZ, "MV2": {"mode": "stp", "stp": [1, 2]}}, "CV2": {"MV2": TFZ}}
ACTIONS = {
    "call again": lambda s: s({"MV1": 2.0, "MV2": 3.0}, {"CV1": 1.0}),
    "reset": lambda s: s.reset(),
    "replace __dict__": lambda s: setattr(s, "__dict__", {"x": 1}),
    "restore": lambda s: s.__setstate__(MIMOSim(MIMO).__getstate__()),
    "step a model": lambda s: s.yu_model_obj["CV1"]["MV1"].deltaU_sim(5.0),
    "set _zi": lambda s: setattr(s.yu_model_obj["CV1"]["MV1"], "_zi", [0.5, 0.5]),
}
PLACES = {
    "input value": lambda s, h: s({"MV1": h}),
    "input key": lambda s, h: s({h: 1.0, "MV1": 2.0}),
    "disturbance value": lambda s, h: s({}, {"CV1": h}),
    "disturbance key": lambda s, h: s({}, {Hostile(h.action, "CV1"): 1.0}),
    "model tag": lambda s, h: MIMOSim({"CV1": {h: TFZ}}, {h: 1.0}),
    "model delay": lambda s, h: MIMOSim({"CV1": {"MV1": {**TFZ, "iodelay_z": h}}}),
    "initial value": lambda s, h: MIMOSim(MIMO, {"MV1": h}),
    "step response length": lambda s, h: get_model_stp({"CV1": {"MV1": {**TFZ, "num_z": [h]}}}, 1, 5),
    "model input": lambda s, h: s.yu_model_obj["CV1"]["MV1"].deltaU_sim(h),
}


@pytest.mark.parametrize("action", ACTIONS)
@pytest.mark.parametrize("place", PLACES)
def test_reentrant_values_either_work_or_raise(place, action):
    sim = MIMOSim(MIMO, {"CV1": 1.0, "MV1": 0.5})
    sim({"MV1": 1.0})
    hostile = Hostile(lambda: ACTIONS[action](sim))
    try:
        PLACES[place](sim, hostile)
    except Exception:
        pass
    outputs = sim({"MV1": 1.5, "MV2": 0.5})
    assert list(outputs) == ["CV1", "CV2"] and all(math.isfinite(v) for v in outputs.values())
    assert pickle.loads(pickle.dumps(sim))() == sim()


@pytest.mark.parametrize("make, error, text", [
    (lambda: MIMOSim([]), TypeError, "Argument 'process_model_dict' has incorrect type (expected dict, got list)"),
    (lambda: MIMOSim(type("D", (dict,), {})()), TypeError,
     "Argument 'process_model_dict' has incorrect type (expected dict, got D)"),
    (lambda: MIMOSim({"CV": {"MV": TFZ}}, {"MV": "15"}), TypeError, "must be real number, not str"),
    (lambda: tfz_sim()([("MV", 1)]), TypeError, "Argument 'u_Value_Dict' has incorrect type (expected dict, got list)"),
    (lambda: tfz_sim()({"MV": "x"}), TypeError, "'MV': must be real number, not str"),
    (lambda: tfz_sim()({}, {"CV": None}), TypeError, "'CV': must be real number, not NoneType"),
])
def test_simulator_refusals(make, error, text):
    with pytest.raises(error) as info:
        make()
    assert str(info.value) == text


def test_step_responses():
    d = {"CV1": {"MV1": TFZ, "MV2": {"mode": "None"}}, "CV2": {"MV2": {"mode": "stp", "stp": [2, 2, 2]},
                                                             "MV3": {"mode": "stp", "stp": [0, 1e-6]}},
         "CV3": {"MV3": {"mode": "stp", "stp": [0, 0.999e-6]}}}
    assert get_model_stp(d, 1, 5) == {
        "CV1": {"MV1": pytest.approx([0.0, 1.0, 3.0, 5.3, 7.35]), "MV2": [], "MV3": []},
        "CV2": {"MV1": [], "MV2": [], "MV3": [0.0, 1e-6, 1e-6, 1e-6, 1e-6]},
        "CV3": {"MV1": [], "MV2": [], "MV3": []}}
    single = MIMOSim({"CV1": {"MV1": TFZ}}, {}, 1)
    assert get_model_stp(d, length=300)["CV1"]["MV1"] == [single({"MV1": 1.0})["CV1"] for _ in range(300)]


@pytest.mark.parametrize("call, error, text", [
    (lambda: get_model_stp({}, 0.5), TypeError, "Argument 'Ts' has incorrect type (expected int, got float)"),
    (lambda: get_model_stp({}, True), TypeError, "Argument 'Ts' has incorrect type (expected int, got bool)"),
    (lambda: get_model_stp({}, 1, 5.0), TypeError, "Argument 'length' has incorrect type (expected int, got float)"),
    (lambda: get_model_stp([]), TypeError, "Argument 'yu_model' has incorrect type (expected dict, got list)"),
    (lambda: get_model_stp({"C": {"M": TFZ}}, 1, 0), ValueError, "max() arg is an empty sequence"),
    (lambda: plot_model_stp({}, 1, 2.0), TypeError, "Argument 'plotLen' has incorrect type (expected int, got float)"),
    (lambda: SISOSim(1, 5, Ts=0.5).plot_model_stp(), TypeError,
     "Argument 'Ts' has incorrect type (expected int, got float)"),
])
def test_step_response_refusals(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == text


def test_step_responses_run_in_parallel_threads():
    d = {f"C{i}": {f"M{j}": {"mode": "tf_s", "num_s": [1], "den_s": [20, 1], "iodelay_s": j} for j in range(4)}
         for i in range(4)}
    expected, results = get_model_stp(d, 1, 2000), []
    threads = [threading.Thread(target=lambda: results.append(get_model_stp(d, 1, 2000))) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 4


@pytest.fixture
def shown(monkeypatch):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    figures = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: figures.append(plt.gcf()))
    yield figures
    plt.close("all")


def test_plot_layout(shown):
    MIMOSim({"CV1": {"MV1": TFZ}, "CV2": {"MV2": {"mode": "stp", "stp": [1, 2]}}}).plot_model_stp(10)
    (fig,) = shown
    import matplotlib.pyplot as plt
    assert list(fig.get_size_inches()) == [10, 10] and fig.get_facecolor() == (1, 1, 1, 1)
    assert plt.rcParams["font.sans-serif"] == ["SimHei"] and plt.rcParams["axes.unicode_minus"] is False
    axes = fig.get_axes()
    assert [a.get_title() for a in axes] == ["CV1-MV1", "CV1-MV2", "CV2-MV1", "CV2-MV2"]
    assert [a.title.get_fontsize() for a in axes] == [11] * 4
    assert [len(a.lines[0].get_xdata()) for a in axes] == [10, 0, 0, 10]
    assert [a.get_subplotspec().num1 for a in axes] == [0, 1, 2, 3]
    for a, visible in zip(axes, [True, False, False, True]):
        assert a.xaxis._major_tick_kw.get("gridOn") and a.xaxis._major_tick_kw["label1On"] is visible
        assert a.yaxis._major_tick_kw["label1On"] is visible
        if visible:
            assert a.xaxis._major_tick_kw["labelsize"] == 15


def test_plot_without_the_plotting_library_does_nothing(monkeypatch, shown):
    import importlib.util
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None)
    assert plot_model_stp({"CV": {"MV": {"mode": "bad"}}}) is None and not shown
