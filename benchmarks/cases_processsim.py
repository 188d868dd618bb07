"""Process simulator rows of the benchmark table: the MIMO call at growing
sizes and the step responses of a 10 x 10 model dictionary."""

import numpy as np


def model_dict(n_cv, n_mv):
    """Second-order continuous pairs with dead time, all gains and lags distinct."""
    return {f"CV{i}": {f"MV{j}": {"mode": "tf_s", "num_s": [1.0 + 0.1 * i], "den_s": [20.0 + j, 9.0, 1.0],
                                  "iodelay_s": 1 + (i + j) % 4} for j in range(n_mv)} for i in range(n_cv)}


class PyTfModel:
    """A pair model as a Python user writes it: one lfilter step per sample."""

    def __init__(self, num, den, delay=0):
        from scipy import signal

        self.lfilter = signal.lfilter
        self.num, self.den = np.pad(np.array(num, float), (delay, 0)), np.array(den, float)
        self.zi = [0.0] * (max(len(self.num), len(self.den)) - 1)

    def deltaU_sim(self, dU):
        y, self.zi = self.lfilter(self.num, self.den, [dU], zi=self.zi)
        return y[0]


class PyNoModel:
    def deltaU_sim(self, dU=0.0):
        return 0.0


def py_model(spec, Ts):
    from scipy import signal

    if not spec or spec.get("mode", "None") == "None":
        return PyNoModel()
    num, den, _ = signal.cont2discrete((np.array(spec["num_s"], float), np.array(spec["den_s"], float)), Ts)
    return PyTfModel(num[0], den, int(round(spec.get("iodelay_s", 0) / Ts)))


class PyMISO:
    def __init__(self, model_list, u_ini_list):
        self.model_list, self.u_ini_list = model_list, u_ini_list

    def one_step_sim(self, u_list):
        y = 0.0
        for m, u, u0 in zip(self.model_list, u_list, self.u_ini_list):
            y += m.deltaU_sim(u - u0)
        return y


class PyMIMOSim:
    def __init__(self, process_model_dict, ini_value_dict={}, Ts=1):
        import copy

        self.cv_list = list(process_model_dict)
        self.mv_list = list(dict.fromkeys(m for row in process_model_dict.values() for m in row))
        self.ini_value_dict = copy.deepcopy(ini_value_dict)
        self.yu_model_obj = {c: {m: py_model(process_model_dict[c].get(m, {}), Ts) for m in self.mv_list}
                             for c in self.cv_list}
        self._u_dict = {m: self.ini_value_dict.get(m, 0.0) for m in self.mv_list}
        self._y_dict = {c: self.ini_value_dict.get(c, 0.0) for c in self.cv_list}
        u_ini = [self.ini_value_dict.get(m, 0.0) for m in self.mv_list]
        self.cv_simulators = {c: PyMISO([self.yu_model_obj[c][m] for m in self.mv_list], u_ini)
                              for c in self.cv_list}

    def __call__(self, u_Value_Dict={}, v_Value_Dict={}):
        import copy

        for tag, value in u_Value_Dict.items():
            if tag in self._u_dict:
                self._u_dict[tag] = value
        for c, sim in self.cv_simulators.items():
            y0 = sim.one_step_sim(list(self._u_dict.values()))
            self._y_dict[c] = y0 + v_Value_Dict.get(c, 0.0) + self.ini_value_dict.get(c, 0.0)
        return copy.deepcopy(self._y_dict)


def py_get_model_stp(yu_model, Ts=1, length=300):
    cvs = list(yu_model)
    mvs = list(dict.fromkeys(m for row in yu_model.values() for m in row))
    result = {c: {m: [] for m in mvs} for c in cvs}
    for c in cvs:
        for m in mvs:
            sim = PyMIMOSim({c: {m: yu_model[c].get(m, {})}}, {c: 0.0, m: 0.0}, Ts)
            values = [sim({m: 1.0})[c] for _ in range(length)]
            result[c][m] = [] if max(values) - min(values) < 1e-6 else values
    return result


def cases(Case, floor):
    import call_floor

    from ovelin.algorithm.processsim import MIMOSim, get_model_stp, tfs_model

    def setup_for(n):
        def setup(ns):
            d = model_dict(n, n)
            ini = {**{f"CV{i}": 50.0 + i for i in range(n)}, **{f"MV{j}": 10.0 for j in range(n)}}
            sim, ref = MIMOSim(d, ini, 1), PyMIMOSim(d, ini, 1)
            u = {f"MV{j}": 11.0 + 0.5 * j for j in range(n)}
            for _ in range(50):
                sim(u)
                ref(u)
            # The floor knows its tags from the same model dictionary as the simulator.
            floor = call_floor.DictFloor(tuple(sim.mv_list), tuple(sim.cv_list))
            ns.update(sim=sim, ref=ref, u=u, floor=floor)
        return setup

    def setup_stp(ns):
        ns.update(d=model_dict(10, 10), get_model_stp=get_model_stp, py_get_model_stp=py_get_model_stp)

    def setup_model(ns):
        ns.update(m=tfs_model([1.0], [20.0, 9.0, 1.0], 3, 1), ref=py_model(model_dict(1, 1)["CV0"]["MV0"], 1),
                  floor=floor, du=0.25)

    rows = [Case("tfs_model.deltaU_sim (2nd order, dead time 3)", ours="m.deltaU_sim(du)",
                 floor="floor.method(du)", reference="ref.deltaU_sim(du)", setup=setup_model, number=200000)]
    rows += [Case(f"MIMOSim call {n}x{n} (per pair /{n * n})", ours="sim(u)", floor="floor(u)", reference="ref(u)",
                 setup=setup_for(n), number=number)
            for n, number in [(1, 200000), (5, 50000), (10, 20000), (20, 5000)]]
    rows.append(Case("get_model_stp 10x10, length 300", ours="get_model_stp(d, 1, 300)", floor=None,
                     reference="py_get_model_stp(d, 1, 300)", setup=setup_stp, number=10))
    return rows
