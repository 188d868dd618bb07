"""Transfer-function filter rows of the benchmark table."""

import numpy as np


class PythonZFilter:
    """The deviation-form filter as a Python user would write it: SciPy's
    lfilter stepped one sample at a time with its state."""

    def __init__(self, Bz, Az, u_ini=None, y_ini=None):
        from scipy import signal

        self.lfilter = signal.lfilter
        self.Bz, self.Az = np.array(Bz, dtype=float), np.array(Az, dtype=float)
        self.u_ini, self.y_ini = u_ini, y_ini
        order = max(len(self.Az), len(self.Bz))
        self.zi = signal.lfiltic(self.Bz, self.Az, y=np.zeros(order), x=np.zeros(order))

    def __call__(self, Ut, y_ini=0.0):
        if self.u_ini is None:
            self.u_ini = Ut
        if self.y_ini is None:
            self.y_ini = y_ini
        y, self.zi = self.lfilter(self.Bz, self.Az, [Ut - self.u_ini], zi=self.zi)
        return y[0] + self.y_ini


def python_sfilter(Bs, As, Ts, u_ini=None, y_ini=None):
    from scipy import signal

    Bz, Az, _ = signal.cont2discrete((np.array(Bs, float), np.array(As, float)), Ts)
    return PythonZFilter(Bz[0], Az, u_ini, y_ini)


def cases(Case, floor):
    from scipy import signal

    from ovelin.algorithm.filters import sFilter, zFilter

    def setup_call(ns):
        ns.update(
            floor=floor, u=1.25, y0=0.5,
            zf=zFilter(), ref_z=PythonZFilter([0, 0.1], [1, -0.9]),
            sf=sFilter([1, 2], [3, 4, 1], 0.5), ref_s=python_sfilter([1, 2], [3, 4, 1], 0.5),
        )

    def setup_batch(ns):
        b, a = [0.0, 0.02, 0.015], [1.0, -1.6, 0.64]
        zf = zFilter(b, a, u_ini=0.0, y_ini=0.0)
        zi = signal.lfiltic(b, a, np.zeros(3), np.zeros(3))
        U = np.random.default_rng(0).normal(size=1_000_000)
        ns.update(zf=zf, signal=signal, b=np.array(b), a=np.array(a), zi=zi, U=U)

    return [
        Case("zFilter call", ours="zf(u, y0)", floor="floor(u, y0)", reference="ref_z(u, y0)",
             setup=setup_call, number=200000),
        Case("zFilter.run", ours="zf.run(u, y0)", floor="floor.method(u, y0)", reference="ref_z(u, y0)",
             setup=setup_call, number=200000),
        Case("sFilter call (2nd order)", ours="sf(u, y0)", floor="floor(u, y0)", reference="ref_s(u, y0)",
             setup=setup_call, number=200000),
        Case("zFilter.run_multistep 1e6 (vs lfilter)", ours="zf.run_multistep(U)", floor=None,
             reference="signal.lfilter(b, a, U, zi=zi)", setup=setup_batch, number=10,
             notes="second order, 1,000,000 samples"),
    ]
