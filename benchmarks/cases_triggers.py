"""Trigger rows of the benchmark table."""

import numpy as np


def data_store(x_array, xt):
    x_array[1:] = x_array[:-1]
    x_array[0] = xt


class PythonRS:
    """The set/reset flip-flop as a Python user would write it."""

    S, R, Q, nQ = 0, 0, False, True

    def __init__(self):
        self.Q_array = np.array([False])

    def call(self):
        if self.S and not self.R:
            self.Q = True
        elif self.R:
            self.Q = False
        else:
            self.Q = self.Q_array[0]
        data_store(self.Q_array, self.Q)
        self.nQ = not self.Q


class PythonTON:
    """The on-delay timer over a NumPy history of the last two inputs."""

    Ut, DT, ET, Yt = 0, 3, 0, 0

    def __init__(self):
        self.Ut_array = np.array([0, 0], dtype=np.int64)

    def call(self):
        data_store(self.Ut_array, self.Ut)
        if self.Ut_array[0] == 0:
            self.ET = self.DT
        if self.ET < self.DT and self.ET > 0:
            self.ET = self.ET - 1
        if self.Ut_array[0] > self.Ut_array[1]:
            self.ET = self.DT - 1
        self.Yt = 0 if self.ET > 0 else 1


class PythonTOFF(PythonTON):
    def call(self):
        data_store(self.Ut_array, self.Ut)
        if self.Ut_array[0] > 0:
            self.ET = self.DT
        if self.ET < self.DT and self.ET > 0:
            self.ET = self.ET - 1
        if self.Ut_array[0] < self.Ut_array[1]:
            self.ET = self.DT - 1
        self.Yt = 1 if self.ET > 0 else 0


def cases(Case, floor):
    from ovelin.algorithm.triggers import RStrigger, TOFFtrigger, TONtrigger

    def setup(ns):
        blocks = {"rs": RStrigger(), "py_rs": PythonRS(), "ton": TONtrigger(), "py_ton": PythonTON(),
                  "toff": TOFFtrigger(), "py_toff": PythonTOFF()}
        for name, block in blocks.items():
            if "rs" in name:
                block.S = 1
            else:
                block.Ut = 1
            block.call()
        ns.update(blocks, floor=floor)

    notes = "pins read from and written to the instance"
    return [
        Case(f"{name}.call (vs NumPy)", ours=f"{ours}.call()", floor="floor.method()", reference=f"py_{ours}.call()",
             setup=setup, number=200000, notes=notes)
        for name, ours in [("RStrigger", "rs"), ("TONtrigger", "ton"), ("TOFFtrigger", "toff")]
    ]
