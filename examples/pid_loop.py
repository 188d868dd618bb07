"""A PID loop closed around a simulated first-order process with dead time.

The process K e^(-4s) / (20 s + 1) is discretised once with `c2d` and run as a
`zFilter` around its operating point. The controller starts in manual,
switches bumplessly to automatic, follows a set-point step and rejects a load
disturbance. Prints a compact table (--exact: every sample, all digits).
"""

import sys

from ovelin.algorithm.common import c2d
from ovelin.algorithm.filters import zFilter
from ovelin.algorithm.pidcontrol import PID

TS = 1.0  # seconds per sample
GAIN, TIME_CONSTANT, DEAD_TIME = 1.5, 20.0, 4.0
OP_START, PV_START = 30.0, 45.0


def loop():
    """Yields (k, mode, SP, PV, OP) for every sample."""
    pid = PID(TS=TS)
    pid.setPIDParam(KP=1.2, TI=22.0, TD=2.0, N=10.0)
    pid.setOPHighLowLimit(OP_HI=100.0, OP_LO=0.0)
    bz, az = c2d([GAIN], [TIME_CONSTANT, 1.0], DEAD_TIME, TS)
    process = zFilter(bz, az, u_ini=OP_START, y_ini=PV_START)

    sp, op, pv = PV_START, OP_START, PV_START
    for k in range(241):
        mode = 0 if k < 20 else 1  # manual first, then automatic
        if k == 40:
            sp = 55.0  # set-point step
        load = -3.0 if k >= 140 else 0.0  # load disturbance on the process output
        op = pid.run(MODE=mode, SP=sp, PV=pv, TV=op)
        pv = process(op) + load
        yield k, mode, sp, pv, op


def main(exact=False):
    """A table every 10 samples; exact: every sample with all digits (as examples/cpp prints it)."""
    if not exact:
        print(f"{'t[s]':>5} {'mode':>6} {'SP':>7} {'PV':>7} {'OP':>7}")
    for k, mode, sp, pv, op in loop():
        if exact:
            print(f"{k} {mode} {sp:.17g} {pv:.17g} {op:.17g}")
        elif k % 10 == 0:
            print(f"{k * TS:5.0f} {'AUTO' if mode == 1 else 'MAN':>6} {sp:7.2f} {pv:7.2f} {op:7.2f}")


if __name__ == "__main__":
    main(exact="--exact" in sys.argv[1:])
