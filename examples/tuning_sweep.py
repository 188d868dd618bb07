"""Sweeps PID tunings of a loop on a simulated mixing tank and ranks them by IAE.

The process is a `MIMOSim` of two interacting pairs with dead time: the hot
and the cold feed valves (FV-HOT, FV-COLD) both move the outlet temperature
TT-OUT and the outlet flow FT-OUT. The temperature loop (TT-OUT by FV-HOT)
is tuned over a grid of KP and TI while the flow loop (FT-OUT by FV-COLD)
keeps its tuning; the temperature set point steps, then the flow set point.
Each tuning is ranked by the integrated absolute error of both loops, since
an aggressive temperature loop also upsets the flow.

Every tuning is one task: a plain function and its arguments, among them the
simulator itself (the blocks pickle, so each task starts from a copy of the
same process). The tasks run on the standard library's process pool, or on a
Dask cluster with --dask ADDRESS (e.g. tcp://scheduler:8786; install the
`cluster` extra). The workers need ovelin.algorithm, not this file.

Prints the ranking and, when matplotlib is installed, writes a PNG of the
best three tunings.

    python tuning_sweep.py [--samples N] [--workers N | --dask ADDRESS] [--plot PATH | --no-plot]
"""

import argparse
import concurrent.futures
import itertools
import multiprocessing
import pathlib
import sys

from ovelin.algorithm.pidcontrol import PID
from ovelin.algorithm.processsim import MIMOSim

TS = 1  # seconds per sample
KP_GRID = (0.5, 1.0, 2.0, 4.0, 8.0)
TI_GRID = (10.0, 20.0, 40.0, 80.0)
FLOW_TUNING = (0.8, 12.0, 0.0, 10.0)  # KP, TI, TD, N of the flow loop


def first_order(gain, lag, dead_time):
    return {"mode": "tf_s", "num_s": [gain], "den_s": [lag, 1.0], "iodelay_s": dead_time}


MIXER_MODEL = {
    "TT-OUT": {"FV-HOT": first_order(0.6, 30.0, 4.0), "FV-COLD": first_order(-0.4, 25.0, 6.0)},
    "FT-OUT": {"FV-HOT": first_order(0.5, 8.0, 2.0), "FV-COLD": first_order(0.7, 10.0, 1.0)},
}
MIXER_START = {"TT-OUT": 60.0, "FT-OUT": 40.0, "FV-HOT": 50.0, "FV-COLD": 40.0}
LOOPS = (("TT-OUT", "FV-HOT"), ("FT-OUT", "FV-COLD"))  # (PV tag, OP tag)


def set_points(k, samples):
    return {"TT-OUT": 65.0 if k >= samples // 10 else 60.0, "FT-OUT": 45.0 if k >= samples // 2 else 40.0}


def simulate(process, kp, ti, samples):
    """One task: both loops closed around `process` with the temperature loop
    at KP = kp, TI = ti. Returns (kp, ti, IAE per loop, the temperature
    loop's SP, PV and OP per sample)."""
    pids = []
    for tuning in ((kp, ti, 0.0, 10.0), FLOW_TUNING):
        pid = PID(TS=TS)
        pid.setPIDParam(*tuning)
        pid.setOPHighLowLimit(OP_HI=100.0, OP_LO=0.0)
        pids.append(pid)
    pv = process.get_output_data_dict()
    op = {op_tag: MIXER_START[op_tag] for _, op_tag in LOOPS}
    iae = [0.0, 0.0]
    history = ([], [], [])
    for k in range(samples):
        sp = set_points(k, samples)
        for i, (pid, (pv_tag, op_tag)) in enumerate(zip(pids, LOOPS)):
            op[op_tag] = pid.run(MODE=1, SP=sp[pv_tag], PV=pv[pv_tag], TV=op[op_tag])
            iae[i] += abs(sp[pv_tag] - pv[pv_tag]) * TS
        for series, value in zip(history, (sp["TT-OUT"], pv["TT-OUT"], op["FV-HOT"])):
            series.append(value)
        pv = process(op)
    return kp, ti, tuple(iae), history


def tasks(samples):
    """The arguments of every task: one simulator, KP and TI of the grid."""
    process = MIMOSim(MIXER_MODEL, ini_value_dict=MIXER_START, Ts=TS)
    grid = list(itertools.product(KP_GRID, TI_GRID))
    return [process] * len(grid), [kp for kp, _ in grid], [ti for _, ti in grid], [samples] * len(grid)


def sweep_on_pool(samples, workers=None):
    """All tasks on a local process pool (one worker per core by default).
    Workers start from a fork server: forking a process that runs threads
    (as a Dask client does) is unsafe."""
    context = multiprocessing.get_context("forkserver")
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
        return list(pool.map(simulate, *tasks(samples)))


def sweep_on_dask(samples, client):
    """All tasks on the Dask cluster of `client`. This module travels with
    the tasks by value, so the workers need not have it."""
    import cloudpickle

    module = sys.modules[simulate.__module__]
    if module.__name__ != "__main__":
        cloudpickle.register_pickle_by_value(module)
    return client.gather(client.map(simulate, *tasks(samples), pure=False))


def ranked(results):
    """Best first: the smallest total IAE (ties by KP, then TI)."""
    return sorted(results, key=lambda r: (sum(r[2]), r[0], r[1]))


def print_ranking(results):
    print(f"{'rank':>4} {'KP':>5} {'TI':>6} {'IAE TT':>9} {'IAE FT':>9} {'IAE':>9}")
    for rank, (kp, ti, iae, _) in enumerate(results, 1):
        print(f"{rank:4d} {kp:5.2f} {ti:6.1f} {iae[0]:9.1f} {iae[1]:9.1f} {sum(iae):9.1f}")


def plot(path, best):
    """The temperature loop under the best tunings: SP and PV (top), OP (bottom)."""
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no plot")
        return None
    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(10, 7), sharex=True)
    t = [k * TS for k in range(len(best[0][3][0]))]
    top.plot(t, best[0][3][0], "k--", label="SP TT-OUT")
    for rank, (kp, ti, iae, (_, pv, op)) in enumerate(best, 1):
        label = f"#{rank} KP {kp:g}, TI {ti:g} s (IAE {sum(iae):.0f})"
        top.plot(t, pv, label=label)
        bottom.plot(t, op, label=label)
    top.set_title("TT-OUT: set point and process value")
    bottom.set_title("FV-HOT: controller output [%]")
    bottom.set_xlabel("time [s]")
    for ax in (top, bottom):
        ax.grid(True, alpha=0.4)
        ax.legend(loc="best", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return path


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=600, help="samples per simulation (default 600)")
    parser.add_argument("--workers", type=int, default=None, help="process pool size (default: one per core)")
    parser.add_argument("--dask", metavar="ADDRESS", help="run the tasks on this Dask scheduler instead")
    parser.add_argument("--plot", type=pathlib.Path, default=pathlib.Path("tuning_sweep.png"),
                        help="where to write the PNG (default tuning_sweep.png in the current directory)")
    parser.add_argument("--no-plot", action="store_true", help="write no PNG")
    args = parser.parse_args(argv)

    if args.dask:
        from dask.distributed import Client

        with Client(args.dask) as client:
            results = ranked(sweep_on_dask(args.samples, client))
    else:
        results = ranked(sweep_on_pool(args.samples, args.workers))
    print(f"{len(results)} tunings of the TT-OUT loop, {args.samples} samples of {TS} s each")
    print_ranking(results)
    if not args.no_plot and plot(args.plot, results[:3]):
        print(f"plot written to {args.plot}")


if __name__ == "__main__":
    main()
