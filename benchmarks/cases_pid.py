"""PID controller rows of the benchmark table."""


class PythonPID:
    """The velocity-form PID as a Python user would write it."""

    def __init__(self, TS=1.0):
        self.TS, self.KP, self.TI, self.TD, self.N = TS, 1.0, 60.0, 0.0, 10.0
        self.OP_HI, self.OP_LO = 100.0, 0.0
        self.ini = True

    def reset(self, SP, PV, TV, FF):
        self.et1 = self.et2 = SP - PV
        self.OP1, self.FF1, self.dOPD1 = TV, FF, 0.0
        self.ini = False
        self.save = {"OP": TV, "OPcal": TV, "dOP": 0.0, "dOP_P": 0.0, "dOP_I": 0.0, "dOP_D": 0.0, "dFF": 0.0}

    def run(self, MODE, SP, PV, TV, FF=0.0):
        if self.ini:
            self.reset(SP, PV, TV, FF)
        if round(MODE) == 1:
            return self.auto(SP, PV, FF)
        OP = min(max(TV, self.OP_LO), self.OP_HI)
        self.reset(SP, PV, TV, FF)
        return OP

    def auto(self, SP, PV, FF=0.0):
        et = SP - PV
        det = et - self.et1
        ddet = et - 2 * self.et1 + self.et2
        dP = self.KP * det
        dI = self.KP * self.TS / self.TI * et if self.TI > 0 else 0.0
        if self.TD > 0:
            tao = self.TD / self.N
            dD = (tao * self.dOPD1 + self.KP * self.TD * ddet) / max(tao + self.TS, 1e-6)
        else:
            dD = 0.0
        dFF = FF - self.FF1
        dOP = dP + dI + dD + dFF
        OPcal = self.OP1 + dOP
        OP = min(max(OPcal, self.OP_LO), self.OP_HI)
        self.save = {"OP": OP, "OPcal": OPcal, "dOP": dOP, "dOP_P": dP, "dOP_I": dI, "dOP_D": dD, "dFF": dFF}
        self.et2, self.et1, self.OP1, self.FF1, self.dOPD1 = self.et1, et, OP, FF, dD
        return OP


def cases(Case, floor):
    from ovelin.algorithm.pidcontrol import PID

    def setup(ns):
        pid = PID()
        pid.setPIDParam(2.0, 30.0, 1.0, 10.0)
        ref = PythonPID()
        ref.KP, ref.TI, ref.TD = 2.0, 30.0, 1.0
        ns.update(pid=pid, ref=ref, floor=floor, mode=1.0, sp=50.0, pv=40.0, tv=30.0, ff=0.0)

    return [
        Case(
            "PID.run (automatic)",
            ours="pid.run(mode, sp, pv, tv, ff)",
            floor="floor.method(mode, sp, pv, tv, ff)",
            reference="ref.run(mode, sp, pv, tv, ff)",
            setup=setup,
            number=200000,
        ),
    ]
