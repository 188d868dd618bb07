"""Shared-helper rows of the benchmark table."""


def cases(Case, floor):
    from ovelin.algorithm import common

    def setup(ns):
        from scipy import signal

        ns.update(common=common, signal=signal, num=[1.0, 2.0], den=[2.0, 3.0, 4.0, 1.0], delay=3.0, ts=0.5)

    return [
        Case(
            "c2d third order (vs cont2discrete)",
            ours="common.c2d(num, den, delay, ts)",
            floor=None,
            reference="signal.cont2discrete((num, den), ts, method='zoh')",
            setup=setup,
            number=2000,
        ),
    ]
