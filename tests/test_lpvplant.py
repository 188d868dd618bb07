import copy
import math
import pickle

import numpy as np
import pytest

from hostile_values import Hostile
from ovelin.algorithm.lpvplant import LPVLocalPlant, LPVPlantSim
from ovelin.algorithm.processsim import MIMOSim

INI = {"CV1": 100.0, "MV1": 50.0, "MV2": 10.0}


def gains(k1, k2=0.0, cv="CV1"):
    """CV = k1 * dMV1 + k2 * dMV2, without dynamics."""
    return {cv: {"MV1": {"mode": "tf_z", "num_z": [k1], "den_z": [1]},
                 "MV2": {"mode": "tf_z", "num_z": [k2], "den_z": [1]}}}


def plant(*models):
    """Local models given as (id, working point, model dictionary)."""
    p = LPVPlantSim(INI)
    for plant_id, point, yu in models:
        p.addPlant(plant_id, point, yu, 1)
    return p


def two_models():
    return plant((1, 10.0, gains(1.0)), (2, 20.0, gains(3.0)))


@pytest.mark.parametrize("working_value, weights, cv", [
    (12.5, {1: 0.75, 2: 0.25}, 100.0 + 0.75 * 2.0 + 0.25 * 6.0),
    (5.0, {1: 1.0, 2: 0.0}, 102.0),
    (25.0, {1: 0.0, 2: 1.0}, 106.0),
    (20.0, {1: 0.0, 2: 1.0}, 106.0),
    (10.0, {1: 1.0, 2: 0.0}, 102.0),
])
def test_neighbours_are_blended_by_working_value(working_value, weights, cv):
    p = two_models()
    assert p(working_value, {"MV1": 52.0}) == {"CV1": cv}
    assert p.get_current_plant_weight_dict() == weights
    assert p._working_value == working_value


def test_one_model_takes_every_working_value():
    p = plant((7, 3.0, gains(2.0)))
    assert [p.run(w, {"MV1": 51.0})["CV1"] for w in (-1e9, 3.0, 1e9)] == [102.0] * 3
    assert p.get_current_plant_weight_dict() == {7: 1.0}


def test_models_run_in_deviation_form_from_the_operating_point():
    p = LPVPlantSim({"CV1": 100.0, "MV1": 50.0})
    p.addPlant(1, 0.0, {"CV1": {"MV1": {"mode": "tf_z", "num_z": [0, 1], "den_z": [1]}}}, 1)  # one sample late
    local = p.plant_list[0].plant
    assert isinstance(local, MIMOSim)
    assert local.ini_value_dict == {"CV1": 0.0, "MV1": 50.0}
    assert [p(0.0, {"MV1": 53.0}, {"CV1": 0.5}), p(0.0)] == [{"CV1": 100.5}, {"CV1": 103.0}]
    # A model added later starts from the operating point; the others go on.
    p.addPlant(2, 1.0, {"CV1": {"MV1": {"mode": "tf_z", "num_z": [0, 1], "den_z": [1]}}}, 1)
    assert p(0.5) == {"CV1": 100.0 + 0.5 * 3.0 + 0.5 * 0.0}


def test_disturbance_reaches_the_blend_once():
    assert two_models()(12.5, {}, {"CV1": 4.0, "CV9": 1.0}) == {"CV1": 104.0}


@pytest.mark.parametrize("adds, order, ids", [
    ([(1, 20.0), (2, 10.0), (3, 15.0)], [10.0, 15.0, 20.0], [2, 3, 1]),
    ([(1, 10.0), (2, 10.0)], [10.0], [2]),                      # same working point: the newer one stays
    ([(1, 10.0), (2, 20.0), (1, 30.0)], [20.0, 30.0], [2, 1]),  # same id: replaced
])
def test_models_are_ordered_and_replaced(adds, order, ids):
    p = plant(*[(i, w, gains(1.0)) for i, w in adds])
    assert [r.working_point for r in p.plant_list] == order
    assert list(p.get_plant_dict()) == ids
    assert list(p.get_plant_dict().values()) == p.plant_list
    p(0.0)
    assert list(p.get_current_plant_weight_dict()) == ids


def test_deleting_keeps_the_tags_and_ignores_unknown_ids():
    p = plant((1, 10.0, gains(1.0)), (2, 20.0, gains(1.0, cv="CV2")))
    p.delPlant(5)
    assert list(p.get_plant_dict()) == [1, 2]
    p.delPlant(2)
    assert list(p.get_plant_dict()) == [1]
    assert (p.get_cv_list(), p.get_mv_list()) == (["CV1", "CV2"], ["MV1", "MV2"])
    assert p(15.0, {"MV1": 51.0, "MV7": 1.0}) == {"CV1": 101.0, "CV2": 0.0}
    assert p.get_all_data_dict() == {"MV1": 51.0, "MV2": 10.0, "CV1": 101.0, "CV2": 0.0}


def test_local_plant_record_defaults():
    r = LPVLocalPlant()
    assert (r.plant_id, r.working_point, r.plant, r.yu_model_tf, r.Ts, r.current_weight) == (
        None, None, None, None, 1, 0.0)


def snapshot(p):
    return pickle.dumps(p)


# (plant, action, error, message): the plant is unchanged afterwards.
@pytest.mark.parametrize("make, action, error, message", [
    (two_models, lambda p: p(12.5, {"MV1": 51.0, "MV2": "x"}), TypeError, "input of 'MV2' must be a number, not 'str'"),
    (two_models, lambda p: p(12.5, {"MV1": 51.0}, {"CV1": None}), TypeError,
     "disturbance of 'CV1' must be a number, not 'NoneType'"),
    (two_models, lambda p: p(math.nan, {"MV1": 51.0}), ValueError, "working_value must not be NaN"),
    (lambda: plant((1, 1.0, gains(1.0))), lambda p: p(math.nan), ValueError, "working_value must not be NaN"),
    (LPVPlantSim, lambda p: p(1.0), ValueError, "the plant has no local model"),
    (two_models, lambda p: p.addPlant(1, 5.0, {"CV1": {"MV1": {"mode": "nope"}}}, 1), AssertionError, ""),
    (two_models, lambda p: p.addPlant(3, math.nan, gains(1.0), 1), ValueError, "working_point must not be NaN"),
    (two_models, lambda p: p.addPlant(True, 5.0, gains(1.0), 1), TypeError,
     "Argument 'plant_id' has incorrect type (expected int, got bool)"),
    (two_models, lambda p: p.addPlant(3, 5.0, [], 1), TypeError,
     "Argument 'yu_model_tf' has incorrect type (expected dict, got list)"),
    (two_models, lambda p: p.addPlant(3, 5.0, gains(1.0), 1.0), TypeError,
     "Argument 'Ts' has incorrect type (expected int, got float)"),
    (two_models, lambda p: p.addPlant(3, "5", gains(1.0), 1), TypeError, "must be real number, not str"),
    (lambda: LPVPlantSim({"CV1": "hot"}), lambda p: p.addPlant(3, 5.0, gains(1.0), 1), TypeError,
     "initial value of 'CV1' must be a number, not 'str'"),
    (two_models, lambda p: p.delPlant("1"), TypeError, "Argument 'plant_id' has incorrect type (expected int, got str)"),
    (two_models, lambda p: p(12.5, [("MV1", 1.0)]), TypeError,
     "Argument 'u_Value_Dict' has incorrect type (expected dict, got list)"),
])
def test_refusals_change_nothing(make, action, error, message):
    p = make()
    p(12.5, {"MV1": 51.0}) if p.plant_list else None
    before, weights = snapshot(p), p.get_current_plant_weight_dict()
    with pytest.raises(error) as info:
        action(p)
    assert str(info.value) == message
    assert snapshot(p) == before and p.get_current_plant_weight_dict() == weights


def test_neighbours_without_the_same_outputs_fail_before_anything_changes():
    p = plant((1, 10.0, gains(1.0)), (2, 20.0, gains(1.0, cv="CV2")))
    p(5.0, {"MV1": 52.0})
    before, weights = snapshot(p), p.get_current_plant_weight_dict()
    with pytest.raises(KeyError) as info:
        p(12.5, {"MV1": 53.0})
    assert info.value.args == ("CV1",)
    assert snapshot(p) == before and p.get_current_plant_weight_dict() == weights


def test_plant_list_is_the_plants_own_list():
    p = two_models()
    records = p.plant_list
    assert p.plant_list is records
    p.addPlant(3, 30.0, gains(5.0), 1)
    p.delPlant(1)
    assert [r.plant_id for r in records] == [2, 3] and p.plant_list is records
    records.pop()  # a caller's change is what the next call uses
    assert p(25.0, {"MV1": 51.0}) == {"CV1": 103.0} and p.get_current_plant_weight_dict() == {2: 1.0}
    extra = LPVLocalPlant()
    extra.plant_id, extra.working_point = 7, 5.0
    extra.plant = MIMOSim(gains(2.0), {"CV1": 0.0, "MV1": 50.0, "MV2": 10.0}, 1)
    records.insert(0, extra)
    assert p(5.0, {"MV1": 51.0}) == {"CV1": 102.0} and p.get_current_plant_weight_dict() == {7: 1.0, 2: 0.0}
    records.append(records[0])
    p._sort_plant_list_by_working_point()
    assert [r.plant_id for r in records] == [7, 2]


def test_inputs_are_kept_as_given():
    p = two_models()
    value = np.float32(52.5)
    p(12.5, {"MV1": value, "MV2": 11})
    assert p._u_dict["MV1"] is value and type(p._u_dict["MV2"]) is int
    assert p.get_input_data_dict() == {"MV1": 52.5, "MV2": 11}
    assert p.plant_list[0].plant._u_dict["MV1"] is value


ACTIONS = {
    "call again": lambda p: p(15.0, {"MV1": 49.0}, {"CV1": 1.0}),
    "add a plant": lambda p: p.addPlant(9, 15.0, gains(2.0, cv="CV3"), 1),
    "replace a plant": lambda p: p.addPlant(1, 12.0, gains(4.0), 1),
    "delete a plant": lambda p: p.delPlant(1),
    "clear plant_list": lambda p: p.plant_list.clear(),
    "reorder plant_list": lambda p: p.plant_list.reverse(),
    "set a record's plant": lambda p: setattr(p.plant_list[0], "plant", MIMOSim(gains(1.0))),
    "replace __dict__": lambda p: setattr(p, "__dict__", {"x": 1}),
}
PLACES = {
    "working value": lambda p, h: p(h, {"MV1": 51.0}),
    "input value": lambda p, h: p(12.5, {"MV1": h}),
    "input key": lambda p, h: p(12.5, {h: 1.0, "MV1": 51.0}),
    "disturbance value": lambda p, h: p(12.5, {}, {"CV1": h}),
    "disturbance key": lambda p, h: p(12.5, {}, {Hostile(h.action, "CV1"): 1.0}),
    "model tag": lambda p, h: p.addPlant(5, 17.0, {"CV1": {h: {"mode": "tf_z", "num_z": [1], "den_z": [1]}}}, 1),
    "working point": lambda p, h: p.addPlant(5, h, gains(1.0), 1),
    "record working point": lambda p, h: setattr(p.plant_list[0], "working_point", h),
}


@pytest.mark.parametrize("action", ACTIONS)
@pytest.mark.parametrize("place", PLACES)
def test_reentrant_values_either_work_or_raise(place, action):
    p = plant((1, 10.0, gains(1.0)), (2, 20.0, gains(3.0)))
    p(12.5, {"MV1": 51.0})
    hostile = Hostile(lambda: ACTIONS[action](p))
    try:
        PLACES[place](p, hostile)
    except Exception:
        pass
    try:
        outputs = p(12.5, {"MV1": 51.5})
    except (KeyError, ValueError):  # the plant left by the action may hold no model
        return
    assert all(math.isfinite(v) for v in outputs.values())
    assert copy.deepcopy(p)(13.0) == p(13.0)


@pytest.mark.parametrize("branch", [copy.copy, copy.deepcopy, lambda p: pickle.loads(pickle.dumps(p))],
                         ids=["copy", "deepcopy", "pickle"])
def test_a_branch_continues_like_the_original(branch):
    p = plant((1, 10.0, {"CV1": {"MV1": {"mode": "tf_s", "num_s": [2], "den_s": [5, 1], "iodelay_s": 2}}}),
              (2, 20.0, {"CV1": {"MV1": {"mode": "tf_s", "num_s": [1], "den_s": [9, 1]}}}))
    for k in range(4):
        p(10.0 + 3 * k, {"MV1": 50.0 + k})
    twin = branch(p)
    assert twin.plant_list[0].plant is not p.plant_list[0].plant
    samples = [(11.0 + k, {"MV1": 49.0 - k}, {"CV1": 0.1 * k}) for k in range(6)]
    assert [twin(*s) for s in samples] == [p(*s) for s in samples]
    assert twin.get_current_plant_weight_dict() == p.get_current_plant_weight_dict()


def test_plot_of_an_unknown_id_does_nothing():
    assert two_models().plot_model_stp(9) is None


def test_a_record_without_a_simulator_is_refused_before_any_model_steps():
    p = two_models()
    p.plant_list[1].plant = "not a simulator"
    before = pickle.dumps(p.plant_list[0].plant)
    with pytest.raises(TypeError) as info:
        p(12.5, {"MV1": 51.0})
    assert str(info.value) == "local plant 2 must hold an initialised MIMOSim, not 'str'"
    assert pickle.dumps(p.plant_list[0].plant) == before and p.get_input_data_dict()["MV1"] == 50.0


class CollidingTag:
    """A new CV tag that collides with CV1; its n-th comparison adds another plant."""

    def __init__(self, n, action):
        self.n, self.action, self.calls = n, action, 0

    def __hash__(self):
        return hash("CV1")

    def __eq__(self, other):
        self.calls += 1
        if self.calls == self.n:
            self.action()
        return False


def test_tags_added_while_a_tag_is_added_keep_the_index_whole():
    refused = 0
    for n in range(1, 12):  # every comparison the addition makes
        p = plant((1, 10.0, gains(1.0)))
        tag = CollidingTag(n, lambda: p.addPlant(9, 15.0, gains(2.0, cv="CV3"), 1))
        try:
            p.addPlant(5, 17.0, gains(1.0, cv=tag), 1)
        except RuntimeError as e:
            assert str(e) == "tags cannot be added while a tag is being added"
            refused += 1
            continue
        tag.n = 0  # the checks below compare tags too
        assert list(p._y_dict) == p.get_cv_list()
        assert p(17.0, {}, {tag: 5.0})[tag] == 5.0  # the tag's own position, not another tag's
    assert refused
