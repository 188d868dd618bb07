"""Watchdog and test signal rows of the benchmark table."""

import time

import numpy as np


class PythonWatchDog:
    """The watchdog as a Python user would write it."""

    def __init__(self):
        self.ticks = 0

    def __call__(self, MaxOut=0):
        self.ticks = (self.ticks + 1) % int(MaxOut + 1)
        return self.ticks


class PythonTestSignal:
    """The test signal as a Python user would write it, over a NumPy table."""

    def __init__(self, SEED=None):
        self._rand_arr = np.random.RandomState(SEED).randint(10, 91, 10000) / 100
        self._ET, self._amp = 10, 1.0

    def __call__(self, t=None):
        if t is None:
            t = int(time.time())
        P = 2 * self._ET
        pi = t // P
        n = len(self._rand_arr)
        sw0 = int(P * self._rand_arr[pi % n])
        sw1 = int(P * self._rand_arr[(pi + 1) % n])
        sw2 = int(P * self._rand_arr[(pi + 2) % n])
        tp = t % P
        if tp < sw0:
            return self._amp, sw0 - tp, P - tp, P - tp + sw1, 2 * P - tp, 2 * P - tp + sw2
        return -self._amp, P - tp, P - tp + sw1, 2 * P - tp, 2 * P - tp + sw2, 3 * P - tp


def cases(Case, floor):
    import call_floor

    from ovelin.algorithm.testsignal import TestSignal
    from ovelin.algorithm.watchdog import WatchDog

    def setup(ns):
        ns.update(floor=floor, tuple_floor=call_floor.TupleFloor(), wd=WatchDog(), py_wd=PythonWatchDog(),
                  sig=TestSignal(7), py_sig=PythonTestSignal(7), n=9, t=1_700_000_003)

    return [
        Case("WatchDog call", ours="wd(n)", floor="floor(n)", reference="py_wd(n)", setup=setup, number=200000),
        Case("TestSignal call", ours="sig(t)", floor="tuple_floor(t)", reference="py_sig(t)", setup=setup,
             number=200000),
    ]
