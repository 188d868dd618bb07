"""Typical uses of every module with the types a script relies on, for the type checker.

tests/test_typing.py runs mypy over this file; it is not run by pytest."""

import numpy as np

from ovelin.algorithm import common, utilities
from ovelin.algorithm.antiwindup import AntiWindupLimter
from ovelin.algorithm.delay import Delay, Delay_Algorithm
from ovelin.algorithm.filters import sFilter, zFilter
from ovelin.algorithm.leadlag import LDLAG, filter_stp
from ovelin.algorithm.lpvplant import LPVPlantSim
from ovelin.algorithm.pidcontrol import PID
from ovelin.algorithm.processsim import MIMOSim, get_model_stp, tfs_model
from ovelin.algorithm.ratelimit import RateLimit
from ovelin.algorithm.softsensor import LabDataRecorder, SoftSensorBiasUpdate
from ovelin.algorithm.testsignal import TestSignal
from ovelin.algorithm.triggers import TONtrigger
from ovelin.algorithm.watchdog import WatchDog

num, den = common.c2d([1.0], [20.0, 1.0], 4.0, 1.0)
path: str = utilities.find_project_path()
pid = PID(TS=1.0)
pid.setPIDParam(KP=1.2, TI=22.0)
op: float = pid.run(1, 50.0, 45.0, 30.0)
process = zFilter(num, den, u_ini=30.0, y_ini=45.0)
pv: float = process(op) + sFilter([1], [5, 1], 1)(op)
outputs: np.ndarray = process.run_multistep([1.0, 2.0])
lead_lag = LDLAG(alpha=2.0, tao=5.0)
lead_lag.tao = 4
filtered: float = lead_lag(pv)
response: np.ndarray = filter_stp(10, 5.0, 2.0)
limited: float = RateLimit(0.0)(10.0) + AntiWindupLimter()(pv, 100, 0)
late = Delay()(pv, 3)
pins = Delay_Algorithm()
pins.Ut, pins.nLag = 2.5, 2
pins.call()
timer = TONtrigger()
timer.Ut = 1
timer.call()
count: int = WatchDog()(3)
signal = TestSignal(SEED=7)
now = signal(1_700_000_000)[0]
model = {"TIC": {"FIC": {"mode": "tf_s", "num_s": [1.0], "den_s": [20.0, 9.0, 1.0], "iodelay_s": 2}}}
sim = MIMOSim(model, {"TIC": 50.0, "FIC": 10.0}, 1)
cvs: dict[str, float] = sim({"FIC": 11.0})
steps: dict[str, dict[str, list[float]]] = get_model_stp(model, 1, 50)
zi: list[float] = tfs_model([1.0], [5.0, 1.0], 1, 1)._zi
plant = LPVPlantSim({"TIC": 50.0, "FIC": 10.0})
plant.addPlant(1, 20.0, model, 1)
blended: dict[str, float] = plant(20.0, {"FIC": 11.0})
bias: float = SoftSensorBiasUpdate("AI-1").run(1.0, 1.1, 0.0)
recorded: bool = LabDataRecorder("AI-1", csv_dir="/tmp").run(1.0, 0.0)
