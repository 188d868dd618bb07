"""PID loops closed around simulated plants.

1. A mixing tank simulated by `MIMOSim`: the hot and the cold feed valves
   (FV-HOT, FV-COLD) both move the outlet temperature TT-OUT and the outlet
   flow FT-OUT, each with its own dead time, so the two loops interact. The
   temperature loop follows a set-point step while the flow loop holds its
   set point, then the flow set point steps.
2. A heater simulated by `LPVPlantSim`: three local models identified at
   throughputs 20, 50 and 80 t/h (gain and lag fall as the throughput rises).
   The throughput, the working value, ramps from 20 to 80 t/h while one PID
   loop holds the heater outlet temperature TT-HTR with the fuel valve FV-FUEL.

Prints a summary per loop and, when matplotlib is installed, writes a PNG of
the set points, process values and controller outputs.

    python plant_loops.py [--samples N] [--plot PATH | --no-plot]
"""

import argparse
import pathlib

from ovelin.algorithm.lpvplant import LPVPlantSim
from ovelin.algorithm.pidcontrol import PID
from ovelin.algorithm.processsim import MIMOSim

TS = 1  # seconds per sample


def first_order(gain, lag, dead_time):
    return {"mode": "tf_s", "num_s": [gain], "den_s": [lag, 1.0], "iodelay_s": dead_time}


MIXER_MODEL = {
    "TT-OUT": {"FV-HOT": first_order(0.6, 30.0, 4.0), "FV-COLD": first_order(-0.4, 25.0, 6.0)},
    "FT-OUT": {"FV-HOT": first_order(0.5, 8.0, 2.0), "FV-COLD": first_order(0.7, 10.0, 1.0)},
}
MIXER_START = {"TT-OUT": 60.0, "FT-OUT": 40.0, "FV-HOT": 50.0, "FV-COLD": 40.0}

HEATER_START = {"TT-HTR": 350.0, "FV-FUEL": 45.0}
HEATER_MODELS = [  # (id, throughput in t/h, gain in K per %, lag in s, dead time in s)
    (1, 20.0, 3.0, 60.0, 8.0),
    (2, 50.0, 2.0, 40.0, 5.0),
    (3, 80.0, 1.2, 25.0, 3.0),
]


class Loop:
    """One PID loop and its history: set point, process value and output per sample."""

    def __init__(self, name, pv_tag, op_tag, sp, op, tuning):
        self.name, self.pv_tag, self.op_tag = name, pv_tag, op_tag
        self.pid = PID(TS=TS)
        self.pid.setPIDParam(*tuning)
        self.pid.setOPHighLowLimit(OP_HI=100.0, OP_LO=0.0)
        self.sp, self.op = sp, op
        self.history = {"SP": [], "PV": [], "OP": []}

    def step(self, pv, mode=1):
        self.op = self.pid.run(MODE=mode, SP=self.sp, PV=pv, TV=self.op)
        for key, value in (("SP", self.sp), ("PV", pv), ("OP", self.op)):
            self.history[key].append(value)
        return self.op

    def summary(self):
        errors = [abs(s - p) for s, p in zip(self.history["SP"], self.history["PV"])]
        return (f"{self.name:<14} SP {self.sp:7.2f}  PV {self.history['PV'][-1]:7.2f}  "
                f"OP {self.op:6.2f}  IAE {sum(errors) * TS:9.1f}")


def run_mixer(samples, process=None):
    """The two interacting loops of the mixing tank, in automatic from the start.

    `process` stands in for the tank's MIMOSim: anything called with the MVs that
    returns the CVs, with get_output_data_dict (examples/plant_over_opcua.py).
    """
    if process is None:
        process = MIMOSim(MIXER_MODEL, ini_value_dict=MIXER_START, Ts=TS)
    temperature = Loop("mixer TT-OUT", "TT-OUT", "FV-HOT", 60.0, MIXER_START["FV-HOT"], (2.0, 40.0, 0.0, 10.0))
    flow = Loop("mixer FT-OUT", "FT-OUT", "FV-COLD", 40.0, MIXER_START["FV-COLD"], (0.8, 12.0, 0.0, 10.0))
    pv = process.get_output_data_dict()
    for k in range(samples):
        temperature.sp = 65.0 if k >= samples // 10 else 60.0
        flow.sp = 45.0 if k >= samples // 2 else 40.0
        mvs = {loop.op_tag: loop.step(pv[loop.pv_tag]) for loop in (temperature, flow)}
        pv = process(mvs)
    return [temperature, flow]


def throughput(k, samples):
    """Working value: 20 t/h, a ramp to 80 t/h over the middle half, then 80 t/h."""
    start, end = samples // 4, 3 * samples // 4
    return 20.0 + 60.0 * min(max((k - start) / (end - start), 0.0), 1.0)


def run_heater(samples):
    """One temperature loop on a heater whose dynamics change with throughput."""
    heater = LPVPlantSim(HEATER_START)
    for plant_id, point, gain, lag, dead_time in HEATER_MODELS:
        heater.addPlant(plant_id, point, {"TT-HTR": {"FV-FUEL": first_order(gain, lag, dead_time)}}, TS)
    loop = Loop("heater TT-HTR", "TT-HTR", "FV-FUEL", 350.0, HEATER_START["FV-FUEL"], (1.0, 40.0, 0.0, 10.0))
    working, pv = [], HEATER_START["TT-HTR"]
    for k in range(samples):
        loop.sp = 370.0 if k >= samples // 10 else 350.0
        w = throughput(k, samples)
        # More throughput takes more heat: a load on the outlet temperature.
        load = -0.5 * (w - 20.0)
        pv = heater(w, {"FV-FUEL": loop.step(pv)}, {"TT-HTR": load})["TT-HTR"]
        working.append(w)
    return loop, working, heater.get_current_plant_weight_dict()


def plot(path, loops, working):
    """Set points and process values (left), outputs (right), one row per loop."""
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no plot")
        return None
    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    fig, axes = plt.subplots(len(loops), 2, figsize=(12, 3.2 * len(loops)), sharex=True, squeeze=False)
    for row, loop in zip(axes, loops):
        t = [k * TS for k in range(len(loop.history["PV"]))]
        row[0].plot(t, loop.history["SP"], "k--", label="SP")
        row[0].plot(t, loop.history["PV"], "tab:blue", label=f"PV {loop.pv_tag}")
        row[0].set_title(f"{loop.name}: set point and process value")
        row[1].plot(t, loop.history["OP"], "tab:orange", label=f"OP {loop.op_tag} [%]")
        row[1].set_title(f"{loop.name}: controller output")
        for ax in row:
            ax.grid(True, alpha=0.4)
            ax.legend(loc="best", fontsize=8)
    heater_axes = axes[-1][1].twinx()
    heater_axes.plot([k * TS for k in range(len(working))], working, "tab:green", label="throughput [t/h]")
    heater_axes.set_ylabel("throughput [t/h]", color="tab:green")
    for ax in axes[-1]:
        ax.set_xlabel("time [s]")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return path


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=900, help="samples per simulation (default 900)")
    parser.add_argument("--plot", type=pathlib.Path, default=pathlib.Path("plant_loops.png"),
                        help="where to write the PNG (default plant_loops.png in the current directory)")
    parser.add_argument("--no-plot", action="store_true", help="write no PNG")
    args = parser.parse_args(argv)

    mixer = run_mixer(args.samples)
    heater, working, weights = run_heater(args.samples)
    loops = [*mixer, heater]
    print(f"{args.samples} samples of {TS} s")
    for loop in loops:
        print(loop.summary())
    print("heater model weights at the end: " + ", ".join(f"{k}: {v:.2f}" for k, v in weights.items()))
    if not args.no_plot and plot(args.plot, loops, working):
        print(f"plot written to {args.plot}")


if __name__ == "__main__":
    main()
