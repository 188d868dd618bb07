"""Rate limiter and anti-windup limiter rows of the benchmark table."""


class PythonRateLimit:
    """The rate limiter as a Python user would write it."""

    def __init__(self, u_ini, Ts=1):
        self.u_last, self.Ts = float(u_ini), Ts

    def __call__(self, u_end, PRLimPerMin=60, NRLimPerMin=None):
        rise = abs(PRLimPerMin / 60 * self.Ts)
        fall = -rise if NRLimPerMin is None else -abs(NRLimPerMin / 60 * self.Ts)
        d = u_end - self.u_last
        if d >= 0:
            self.u_last = self.u_last + rise if d > rise else u_end
        else:
            self.u_last = self.u_last + fall if d < fall else u_end
        return float(self.u_last)


class PythonAntiWindup:
    """The anti-windup limiter as a Python user would write it."""

    def __init__(self):
        self._u0 = self._y0 = None

    def __call__(self, u, HI=100, LO=0):
        if self._u0 is None:
            self._u0 = u
        if self._y0 is None:
            self._y0 = min(max(u, LO), HI)
        y = min(max(self._y0 + (u - self._u0), LO), HI)
        self._u0, self._y0 = u, y
        return y

    run = __call__


def cases(Case, floor):
    from ovelin.algorithm.antiwindup import AntiWindupLimter
    from ovelin.algorithm.ratelimit import RateLimit

    def setup(ns):
        rl, py_rl = RateLimit(0.0, 0.5), PythonRateLimit(0.0, 0.5)
        aw, py_aw = AntiWindupLimter(), PythonAntiWindup()
        for block in (aw, py_aw):
            block(40.0)
        ns.update(floor=floor, rl=rl, py_rl=py_rl, aw=aw, py_aw=py_aw, u=1.25, up=30.0, down=-60.0, hi=80.0, lo=5.0)

    return [
        Case("RateLimit call (target)", ours="rl(u)", floor="floor(u)", reference="py_rl(u)", setup=setup,
             number=200000),
        Case("RateLimit call (target, rates)", ours="rl(u, up, down)", floor="floor(u, up, down)",
             reference="py_rl(u, up, down)", setup=setup, number=200000),
        Case("AntiWindupLimter call", ours="aw(u, hi, lo)", floor="floor(u, hi, lo)", reference="py_aw(u, hi, lo)",
             setup=setup, number=200000),
        Case("AntiWindupLimter.run", ours="aw.run(u, hi, lo)", floor="floor.method(u, hi, lo)",
             reference="py_aw.run(u, hi, lo)", setup=setup, number=200000),
    ]
