"""Soft-sensor rows of the benchmark table: bias update and lab-data recorder."""

import bisect
import contextlib
import io
import math
import tempfile
import time
from collections import deque
from pathlib import Path

import numpy as np


class PythonBiasUpdate:
    """The bias update as a Python user would write it: bounded deques, NumPy
    for the stable-change test, the package's own sFilter for the output."""

    def __init__(self, name="softSensor", filter_tao=5.0, abs_threshold=1e-6, prd_len=28800, const_len=60):
        from ovelin.algorithm.filters import sFilter

        self._name = name
        self._prd_data_list = deque(maxlen=prd_len + 1)
        self._prd_time_list = deque(maxlen=prd_len + 1)
        self._lab_data_list = deque(maxlen=const_len + 2)
        self._bias = 0.0
        self._fil = sFilter([1], [filter_tao, 1], u_ini=0.0, y_ini=0.0) if filter_tao > 0 else None
        self._abs_threshold = abs_threshold
        self._update_flag = False
        self._current_lab_data = self._current_lab_time = self._prd_data_at_labtime = math.nan

    def _update_bias(self, lab_data, lab_time):
        unchanged_data = abs(lab_data - self._current_lab_data) < self._abs_threshold
        if unchanged_data and abs(lab_time - self._current_lab_time) < 0.1:
            print(self._name + ": Bias Update is not triggered, lab_data or lab_time is unchanged.")
            return
        if not self._prd_time_list[0] <= lab_time <= self._prd_time_list[-1]:
            return
        idx = bisect.bisect_right(self._prd_time_list, lab_time) - 1
        self._bias = lab_data - self._prd_data_list[idx]
        self._update_flag = True
        self._current_lab_data, self._current_lab_time = lab_data, lab_time
        self._prd_data_at_labtime = self._prd_data_list[idx]

    def run(self, prd_data, lab_data, lab_time, prd_time=None, update_trigger=None):
        for label, value in (("prd_data", prd_data), ("lab_data", lab_data), ("lab_time", lab_time),
                             ("prd_time", prd_time), ("update_trigger", update_trigger)):
            if value is not None and not math.isfinite(value):
                raise ValueError(f"{self._name} Bias Update: {label} is not finite!")
        if prd_time is None:
            prd_time = time.time()
        initial = not self._prd_data_list
        if initial:
            while len(self._lab_data_list) < self._lab_data_list.maxlen:
                self._lab_data_list.append(lab_data)
            k = 1
            while len(self._prd_data_list) < self._prd_data_list.maxlen:
                self._prd_data_list.append(prd_data)
                self._prd_time_list.appendleft(prd_time - k * 60)
                k += 1
        self._prd_data_list.append(prd_data)
        self._prd_time_list.append(prd_time)
        self._lab_data_list.append(lab_data)
        self._update_flag = False
        if initial:
            self._update_bias(lab_data, lab_time)
            print(self._name + ": Bias Update is triggered by the first data.")
        elif update_trigger is not None:
            if update_trigger > 0.5:
                self._update_bias(lab_data, lab_time)
        else:
            d = np.abs(np.diff(self._lab_data_list))
            if d[0] >= self._abs_threshold and np.all(d[1:] < 1e-6):
                self._update_bias(lab_data, lab_time)
        return self._fil(self._bias) if self._fil is not None else self._bias


class PythonLabDataRecorder:
    """The recorder as a Python user would write it."""

    def __init__(self, name="softSensor", abs_threshold=1e-6, const_len=60, csv_dir="./"):
        self._name = name
        self._lab_data_list = deque(maxlen=const_len + 2)
        self._abs_threshold = abs_threshold
        directory = Path(csv_dir).resolve()
        directory.mkdir(parents=True, exist_ok=True)
        self._csv_file = directory / f"{name}_Raw_LabData.csv"

    def run(self, lab_data, lab_time):
        if not math.isfinite(lab_data):
            raise ValueError(self._name + " LabDataRecorder: lab_data is not finite!")
        if not math.isfinite(lab_time):
            raise ValueError(self._name + " LabDataRecorder: lab_time is not finite!")
        while len(self._lab_data_list) < self._lab_data_list.maxlen:
            self._lab_data_list.append(lab_data)
        self._lab_data_list.append(lab_data)
        d = np.abs(np.diff(self._lab_data_list))
        if d[0] >= self._abs_threshold and np.all(d[1:] < 1e-6):
            self.export_lab_data_csv(lab_data, lab_time)
            return True
        return False

    def export_lab_data_csv(self, lab_data, lab_time):
        export = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime())
        lab = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(math.floor(lab_time)))
        existed = self._csv_file.exists()
        with open(self._csv_file, "a", encoding="utf-8", newline="\n") as f:
            if not existed:
                f.write("ExportTime,LabTime,LabData\n")
            f.write(f"{export},{lab},{lab_data!r}\n")


def cases(Case, floor):
    from ovelin.algorithm.softsensor import LabDataRecorder, SoftSensorBiasUpdate

    def setup_bias(prd_len):
        def setup(ns):
            sensor, ref = SoftSensorBiasUpdate(prd_len=prd_len), PythonBiasUpdate(prd_len=prd_len)
            with contextlib.redirect_stdout(io.StringIO()):  # the first call fills the histories
                for block in (sensor, ref):
                    block.run(10.0, 12.0, 1.7e9, 1.7e9)
            ns.update(sensor=sensor, ref=ref, floor=floor, p=10.5, lab=12.0, lt=1.7e9, pt=1.7e9 + 60, trig=0.0)

        return setup

    def setup_recorder(ns):
        folder = tempfile.TemporaryDirectory(prefix="ovelin-bench-")
        recorder, ref = LabDataRecorder("ours", csv_dir=folder.name), PythonLabDataRecorder("ref", csv_dir=folder.name)
        for block in (recorder, ref):
            block.run(12.0, 1.7e9)
        ns.update(folder=folder, recorder=recorder, ref=ref, floor=floor, lab=12.0, lt=1.7e9)

    run5, ref5 = "sensor.run(p, lab, lt, pt, None)", "ref.run(p, lab, lt, pt, None)"
    floor5 = "floor.method(p, lab, lt, pt, None)"
    return [
        Case("SoftSensorBiasUpdate.run", ours=run5, floor=floor5, reference=ref5, setup=setup_bias(28800),
             number=200000, notes="28,801 predictions, window 62, no update"),
        Case("SoftSensorBiasUpdate.run x10 history", ours=run5, floor=floor5, reference=ref5,
             setup=setup_bias(288000), number=200000, notes="288,001 predictions"),
        Case("SoftSensorBiasUpdate.run (trigger 0)", ours="sensor.run(p, lab, lt, pt, trig)",
             floor="floor.method(p, lab, lt, pt, trig)", reference="ref.run(p, lab, lt, pt, trig)",
             setup=setup_bias(28800), number=200000, notes="no stable-change test"),
        Case("LabDataRecorder.run (no row)", ours="recorder.run(lab, lt)", floor="floor.method(lab, lt)",
             reference="ref.run(lab, lt)", setup=setup_recorder, number=200000),
        Case("LabDataRecorder.export_lab_data_csv", ours="recorder.export_lab_data_csv(lab, lt)", floor=None,
             reference="ref.export_lab_data_csv(lab, lt)", setup=setup_recorder, number=2000,
             notes="one row appended to a file"),
    ]
