"""A PID loop closed around a simulated first-order process with dead time.

The controller starts in manual, switches bumplessly to automatic, follows a
set-point step and rejects a load disturbance. Prints a compact table.
"""

from collections import deque
import math

from ovelin.algorithm.pidcontrol import PID

TS = 1.0  # seconds per sample
GAIN, TIME_CONSTANT, DEAD_TIME = 1.5, 20.0, 4  # process: K e^(-4s) / (20 s + 1)


class FirstOrderDeadTime:
    """y[k] = p*y[k-1] + K*(1-p)*u[k-d] + disturbance, around operating point 0."""

    def __init__(self, y0, u0):
        self.pole = math.exp(-TS / TIME_CONSTANT)
        self.y = y0
        self.u0, self.y0 = u0, y0
        self.pipeline = deque([u0] * DEAD_TIME, maxlen=DEAD_TIME)

    def step(self, u, disturbance=0.0):
        delayed = self.pipeline[0]
        self.pipeline.append(u)
        deviation = self.pole * (self.y - self.y0) + GAIN * (1 - self.pole) * (delayed - self.u0)
        self.y = self.y0 + deviation + disturbance
        return self.y


def main():
    pid = PID(TS=TS)
    pid.setPIDParam(KP=1.2, TI=22.0, TD=2.0, N=10.0)
    pid.setOPHighLowLimit(OP_HI=100.0, OP_LO=0.0)
    process = FirstOrderDeadTime(y0=45.0, u0=30.0)

    sp, op, pv = 45.0, 30.0, 45.0
    print(f"{'t[s]':>5} {'mode':>6} {'SP':>7} {'PV':>7} {'OP':>7}")
    for k in range(241):
        mode = 0 if k < 20 else 1  # manual first, then automatic
        if k == 40:
            sp = 55.0  # set-point step
        disturbance = -0.15 if k >= 140 else 0.0  # load disturbance
        op = pid.run(MODE=mode, SP=sp, PV=pv, TV=op)
        pv = process.step(op, disturbance)
        if k % 10 == 0:
            print(f"{k * TS:5.0f} {'AUTO' if mode == 1 else 'MAN':>6} {sp:7.2f} {pv:7.2f} {op:7.2f}")


if __name__ == "__main__":
    main()
