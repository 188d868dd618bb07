"""Dead-time rows of the benchmark table."""

from collections import deque

import numpy as np


class PythonDelay:
    """The callable dead time as a Python user would write it, over a bounded deque."""

    def __init__(self, max_cache=10000):
        self._cache = deque(maxlen=max_cache)

    def __call__(self, Ut, nLag=1):
        if not self._cache:
            if Ut is None:
                raise ValueError("Ut is None and cache is empty.")
            self._cache.extend([Ut] * self._cache.maxlen)
        self._cache.appendleft(Ut)
        if 0 <= nLag < self._cache.maxlen:
            return self._cache[nLag]
        raise ValueError(f"nLag must be between 0 and {self._cache.maxlen - 1}, but got {nLag}.")


def data_store(x_array, xt):
    x_array[1:] = x_array[:-1]
    x_array[0] = xt


class PythonDelayAlgorithm:
    """The pin-style dead time over a NumPy history."""

    Ut, Yt, nLag = 0, 0, 1

    def __init__(self):
        self.U_array = np.array([], dtype=np.float64)

    def call(self):
        if len(self.U_array) == 0:
            self.U_array = np.array([self.Ut], dtype=np.float64)
        if self.nLag > len(self.U_array) - 1:
            copies = np.full(self.nLag + 1 - len(self.U_array), self.U_array[-1])
            self.U_array = np.hstack((self.U_array, copies)).astype(np.float64)
        data_store(self.U_array, self.Ut)
        self.Yt = self.U_array[self.nLag]


def cases(Case, floor):
    from ovelin.algorithm.delay import Delay, Delay_Algorithm

    def setup(ns):
        d, py = Delay(), PythonDelay()
        d(0.0)
        py(0.0)
        a, pa = Delay_Algorithm(), PythonDelayAlgorithm()
        for block in (a, pa):
            block.Ut, block.nLag = 1.5, 10
            block.call()
        ns.update(d=d, py=py, a=a, pa=pa, floor=floor, u=1.0)

    return [
        Case("Delay call (vs deque)", ours="d(u, 1)", floor="floor(u, 1)", reference="py(u, 1)", setup=setup,
             number=200000),
        Case("Delay_Algorithm.call (vs NumPy)", ours="a.call()", floor="floor.method()", reference="pa.call()",
             setup=setup, number=200000, notes="pins read from and written to the instance"),
    ]
