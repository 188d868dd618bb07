"""Lead-lag filter rows of the benchmark table."""

import math


class PythonLeadLag:
    """The lead-lag filter as a Python user would write it."""

    def __init__(self, alpha=0.0, tao=5.0, Ts=1):
        self.p = math.exp(-Ts / tao)
        self.alpha = alpha
        self.u1 = self.y1 = None

    def __call__(self, u):
        if self.u1 is None:
            self.u1 = self.y1 = u
        y = self.p * self.y1 + self.alpha * u + (1 - self.alpha - self.p) * self.u1
        self.u1, self.y1 = u, y
        return y


class ScipyLeadLag:
    """The same filter sample by sample through scipy.signal."""

    def __init__(self, alpha=0.0, tao=5.0, Ts=1):
        from scipy import signal

        self.signal = signal
        num, self.a, _ = signal.cont2discrete(([alpha * tao, 1.0], [tao, 1.0]), dt=Ts)
        self.b = num[0]
        self.zi = None

    def __call__(self, u):
        if self.zi is None:
            self.zi = self.signal.lfiltic(self.b, self.a, [u], [u])
        y, self.zi = self.signal.lfilter(self.b, self.a, [u], zi=self.zi)
        return y[0]


def cases(Case, floor):
    from ovelin.algorithm.leadlag import LDLAG, filter_stp

    def setup(ns):
        import numpy as np
        from scipy import signal

        f = LDLAG(alpha=0.5, tao=5.0)
        f(0.0)
        py = PythonLeadLag(alpha=0.5, tao=5.0)
        py(0.0)
        sp = ScipyLeadLag(alpha=0.5, tao=5.0)
        sp(0.0)
        batch = np.random.default_rng(1).normal(size=1000)
        ns.update(f=f, py=py, sp=sp, floor=floor, filter_stp=filter_stp, u=1.0, np=np, signal=signal, batch=batch,
                  b=sp.b, a=sp.a, zi=signal.lfiltic(sp.b, sp.a, [0.0], [0.0]))

    return [
        Case("LDLAG call (vs plain Python)", ours="f(u)", floor="floor(u)", reference="py(u)",
             setup=setup, number=200000),
        Case("LDLAG call (vs scipy lfilter)", ours="f(u)", floor="floor(u)", reference="sp(u)",
             setup=setup, number=200000),
        Case("LDLAG.multi_step 1000 (vs lfilter)", ours="f.multi_step(batch)", floor=None,
             reference="signal.lfilter(b, a, batch, zi=zi)", setup=setup, number=20000),
        Case("filter_stp 1000 (vs NumPy)", ours="filter_stp(1000, 5.0, 0.5)", floor=None,
             reference="0.0 + (1.0 - 0.0) * (1 - (1 - 0.5) * np.exp((-1 / 5.0) * np.arange(1000)))", setup=setup, number=20000),
    ]
