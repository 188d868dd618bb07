"""Every failure text and informational line of the package, word for word: one row per text (a text used by
several blocks has one row per block that composes it)."""

import contextlib
import io
import os

import pytest

from ovelin.algorithm import common, utilities
from ovelin.algorithm.delay import Delay, Delay_Algorithm
from ovelin.algorithm.leadlag import LDLAG, filter_stp, positive_parameter_property
from ovelin.algorithm.lpvplant import LPVPlantSim
from ovelin.algorithm.pidcontrol import PID
from ovelin.algorithm.processsim import MIMOSim
from ovelin.algorithm.softsensor import LabDataRecorder, SoftSensorBiasUpdate

PRINTED = "printed"  # the text is one line on standard output, not an error


def printed(*steps):
    """What the last step prints, the earlier steps having prepared the block."""
    *prepare, last = steps
    for step in prepare:
        step()
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        last()
    return out.getvalue()


def consumed_while_growing():
    d = {"a": 1, "b": 2}
    pairs = common.dict2pairs(d)
    next(pairs)
    d["c"] = 3
    next(pairs)


def assigned(block, **attributes):
    for name, value in attributes.items():
        setattr(block, name, value)
    return block


class Gain:
    gain = positive_parameter_property("gain", int)


SENSOR_RUN = (1.0, 2.0, 100.0, 100.0)


def unchanged_sample():
    sensor = SoftSensorBiasUpdate("SS", prd_len=5)
    return printed(lambda: sensor.run(*SENSOR_RUN), lambda: sensor.run(1.0, 2.0, 100.0, 101.0, 1.0))
def beyond_memory(what, count):
    """The refusal of a size no memory here could hold, with this machine's memory in it."""
    def amount(size):
        unit = 0
        while size >= 1024 and unit < 6:
            size, unit = size / 1024, unit + 1
        return f"{size:.0f} bytes" if unit == 0 else f"{size:.1f} {['', 'KiB', 'MiB', 'GiB', 'TiB', 'PiB', 'EiB'][unit]}"
    machine = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    return f"{what} needs {count} values ({amount(count * 8)}), more memory than this machine has ({amount(machine)})"


CASES = [  # (text, how it is triggered, exception type or PRINTED)
    (beyond_memory("the history of max_cache samples", 2 ** 45), lambda: Delay(2 ** 45)(1.0), MemoryError),
    (beyond_memory("the array", 2 ** 45), lambda: filter_stp(2 ** 45, 1.0, 1.0), MemoryError),
    (beyond_memory("the history of nLag + 1 samples", 2 ** 45 + 1),
     lambda: assigned(Delay_Algorithm(), nLag=2 ** 45).call(), MemoryError),
    ("Reached the root of the file system without finding the marker.",
     lambda: utilities.find_project_path("no-such-marker-7f3a"), ValueError),
    ("dictionary changed size during iteration", consumed_while_growing, RuntimeError),
    ("Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!",
     lambda: printed(lambda: PID().setOPHighLowLimit(0, 100)), PRINTED),
    ("alpha must be a (<class 'float'>, <class 'int'>)", lambda: assigned(LDLAG(), alpha="0.5"), TypeError),
    ("gain must be a <class 'int'>", lambda: assigned(Gain(), gain=1.5), TypeError),
    ("Expected a non-negative value.", lambda: assigned(LDLAG(), tao=-1), ValueError),
    ("Ut is None and cache is empty.", lambda: Delay()(None), ValueError),
    ("nLag must be between 0 and 2, but got 3.", lambda: Delay(3)(1.0, 3), ValueError),
    ("Argument 'pair' has incorrect type (expected tuple, got list)", lambda: common.pair2dict(["a", 1], {}),
     TypeError),
    ("Argument 'name' has incorrect type (expected str, got int)", lambda: SoftSensorBiasUpdate(1), TypeError),
    ("Argument 'update_trigger' has incorrect type (expected float, got bool)",
     lambda: SoftSensorBiasUpdate().run(1.0, 2.0, 3.0, None, True), TypeError),
    ("Argument 'const_len' has incorrect type (expected int, got bool)", lambda: LabDataRecorder(const_len=True),
     TypeError),
    ("Argument 'Ts' has incorrect type (expected int, got float)", lambda: LPVPlantSim().addPlant(1, 1.0, {}, 1.0),
     TypeError),
    *[(f"SS Bias Update: {name} is not finite!", lambda args=args: SoftSensorBiasUpdate("SS").run(*args), ValueError)
      for name, args in [("prd_data", (float("nan"), 2.0, 3.0)), ("lab_data", (1.0, float("inf"), 3.0)),
                         ("lab_time", (1.0, 2.0, -float("inf"))), ("prd_time", (1.0, 2.0, 3.0, float("nan"))),
                         ("update_trigger", (1.0, 2.0, 3.0, 4.0, float("inf")))]],
    ("SS: Bias Update is triggered by the first data.",
     lambda: printed(lambda: SoftSensorBiasUpdate("SS").run(*SENSOR_RUN)), PRINTED),
    ("SS: Bias Update is not triggered, lab_data or lab_time is unchanged.",
     unchanged_sample, PRINTED),
    ("", lambda: MIMOSim({"CV": {"MV": {"mode": "tf"}}}), AssertionError),  # an unknown mode: no message
    *[(f"R LabDataRecorder: {name} is not finite!", lambda args=args: LabDataRecorder("R").run(*args), ValueError)
      for name, args in [("lab_data", (float("nan"), 3.0)), ("lab_time", (1.0, float("inf")))]],
]


@pytest.fixture(autouse=True)
def in_tmp_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # where recorders would write


@pytest.mark.parametrize("text, action, kind", CASES, ids=[text or "no message" for text, _, _ in CASES])
def test_the_text_is_exact(text, action, kind):
    if kind == PRINTED:
        assert action() == text + "\n"
    else:
        with pytest.raises(kind) as info:
            action()
        assert str(info.value) == text
