"""LPV plant row of the benchmark table: one call of a plant with five local
10 x 10 models, against the same plant written in plain Python over the plain
Python MIMO simulator of the process simulator rows."""

import copy

import numpy as np

from cases_processsim import PyMIMOSim, model_dict


class PyLocalPlant:
    def __init__(self):
        self.plant_id, self.working_point, self.plant, self.yu_model_tf, self.Ts = None, None, None, None, 1
        self.current_weight = 0.0


class PyLPVPlantSim:
    """The LPV plant as a Python user writes it."""

    def __init__(self, ini_value_dict={}):
        self.plant_list, self.ini_value_dict = [], copy.deepcopy(ini_value_dict)
        self._working_value, self._u_dict, self._y_dict = 0.0, {}, {}

    def addPlant(self, plant_id, working_point, yu_model_tf, Ts):
        self.plant_list = [p for p in self.plant_list if p.plant_id != plant_id]
        record = PyLocalPlant()
        record.plant_id, record.working_point, record.yu_model_tf, record.Ts = plant_id, working_point, yu_model_tf, Ts
        local_ini = copy.deepcopy(self.ini_value_dict)
        local_ini.update({cv: 0.0 for cv in yu_model_tf})
        record.plant = PyMIMOSim(yu_model_tf, ini_value_dict=local_ini, Ts=Ts)
        for key in record.plant._y_dict:
            self._y_dict.setdefault(key, self.ini_value_dict.get(key, 0.0))
        for key in record.plant._u_dict:
            self._u_dict.setdefault(key, self.ini_value_dict.get(key, 0.0))
        self.plant_list.insert(0, record)
        points = [p.working_point for p in self.plant_list]
        _, first = np.unique(points, return_index=True)
        self.plant_list = [self.plant_list[i] for i in first]

    def __call__(self, working_value, u_Value_Dict={}, v_Value_Dict={}):
        self._working_value = working_value
        self._u_dict.update({k: v for k, v in u_Value_Dict.items() if k in self._u_dict})
        xp = [p.working_point for p in self.plant_list]
        id_float = np.interp(self._working_value, xp, np.arange(len(xp)))
        id1, id2 = int(np.floor(id_float)), int(np.ceil(id_float))
        weight2 = max(min(id_float - id1, 1.0), 0.0)
        weight1 = 1.0 - weight2
        results = []
        for p in self.plant_list:
            results.append(p.plant(u_Value_Dict, v_Value_Dict))
            p.current_weight = 0.0
        if id1 == id2:
            self.plant_list[id1].current_weight = 1.0
            for key, value in results[id1].items():
                self._y_dict[key] = value + self.ini_value_dict.get(key, 0.0)
        else:
            self.plant_list[id1].current_weight, self.plant_list[id2].current_weight = weight1, weight2
            for key, value in results[id1].items():
                self._y_dict[key] = weight1 * value + weight2 * results[id2][key] + self.ini_value_dict.get(key, 0.0)
        return copy.deepcopy(self._y_dict)


def cases(Case, floor):
    import call_floor

    from ovelin.algorithm.lpvplant import LPVPlantSim
    from ovelin.algorithm.processsim import MIMOSim

    def setup(ns):
        ini = {**{f"CV{i}": 50.0 + i for i in range(10)}, **{f"MV{j}": 10.0 for j in range(10)}}
        plant, ref = LPVPlantSim(ini), PyLPVPlantSim(ini)
        for k in range(5):
            d = model_dict(10, 10)
            for row in d.values():
                for spec in row.values():
                    spec["num_s"] = [spec["num_s"][0] * (1.0 + 0.2 * k)]
            plant.addPlant(k, 10.0 * k, d, 1)
            ref.addPlant(k, 10.0 * k, d, 1)
        u = {f"MV{j}": 11.0 + 0.5 * j for j in range(10)}
        for k in range(20):  # the same plant: equal within rounding (the filters are computed differently)
            ours, theirs = plant(13.0 + k, u), ref(13.0 + k, u)
            assert list(ours) == list(theirs) and np.allclose(list(ours.values()), list(theirs.values()), 0, 1e-9)
        # The floor is one dict-in, dict-out call of the same tags (the working value aside).
        # One local plant on its own: the plant's cost in local simulator calls.
        sim = MIMOSim(d, {**ini, **{cv: 0.0 for cv in d}}, 1)
        ns.update(plant=plant, ref=ref, u=u, w=23.5, floor=call_floor.DictFloor(tuple(u), tuple(plant.get_cv_list())),
                  sim=sim)

    return [Case("LPVPlantSim call, 5 local 10x10 plants", ours="plant(w, u)", floor="floor(u)",
                 reference="ref(w, u)", setup=setup, number=5000),
            Case("LPVPlantSim call / MIMOSim 10x10 call", ours="plant(w, u)", floor="sim(u)",
                 reference="ref(w, u)", setup=setup, number=5000,
                 notes="(ours/floor: the plant's cost in 10x10 MIMOSim calls)")]
