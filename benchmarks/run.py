"""Per-call cost of the blocks, as ratios measured side by side in one run.

For each block: our cost per call against (a) the call floor, a no-op compiled
call taking the same arguments, and (b) a plain Python/NumPy/SciPy version of
the same block. Prints a table; it is not a test and never fails on a ratio.

    .venv/bin/python benchmarks/run.py [name-filter]
"""

from __future__ import annotations

import importlib
import pathlib
import subprocess
import sys
import sysconfig
import timeit
from dataclasses import dataclass, field

HERE = pathlib.Path(__file__).resolve().parent
BUILD = HERE.parent / "build" / "bench"

# Case modules, one per block family; each defines CASES.
CASE_MODULES = ["cases_pid", "cases_filters", "cases_leadlag", "cases_common", "cases_limiters", "cases_signals", "cases_processsim", "cases_softsensor", "cases_lpvplant", "cases_delay", "cases_triggers",
                "cases_plantserver"]


@dataclass
class Case:
    """One row: three statements run in one namespace.

    `ours` calls the block, `floor` the no-op compiled call with the same
    arguments (or None where a floor means nothing, e.g. batch work), and
    `reference` the plain Python version. `setup(ns)` fills the namespace.
    """

    name: str
    ours: str
    floor: str | None
    reference: str
    setup: object
    number: int = 20000
    notes: str = ""
    namespace: dict = field(default_factory=dict)


def build_call_floor():
    """Compiles the call floor extension next to the build tree, once."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = BUILD / f"call_floor{suffix}"
    source = HERE / "call_floor.c"
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        BUILD.mkdir(parents=True, exist_ok=True)
        include = sysconfig.get_paths()["include"]
        subprocess.run(
            ["cc", "-O2", "-shared", "-fPIC", f"-I{include}", str(source), "-o", str(target)],
            check=True,
        )
    sys.path.insert(0, str(BUILD))
    return importlib.import_module("call_floor")


def best_per_call(stmt: str, namespace: dict, number: int, repeat: int) -> float:
    timer = timeit.Timer(stmt, globals=namespace)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def measure(case: Case, repeat: int = 7) -> tuple[float, float | None, float]:
    """Seconds per call of ours, floor and reference, interleaved."""
    ns = case.namespace
    case.setup(ns)
    ours, floor, ref = [], [], []
    for _ in range(repeat):
        ours.append(best_per_call(case.ours, ns, case.number, 3))
        if case.floor:
            floor.append(best_per_call(case.floor, ns, case.number, 3))
        ref.append(best_per_call(case.reference, ns, max(1, case.number // 10), 3))
    return min(ours), (min(floor) if floor else None), min(ref)


def main(argv: list[str]) -> None:
    sys.path.insert(0, str(HERE))
    floor_module = build_call_floor()
    pattern = argv[1] if len(argv) > 1 else ""
    cases = []
    for module_name in CASE_MODULES:
        module = importlib.import_module(module_name)
        cases.extend(module.cases(Case, floor_module.Floor()))
    header = f"{'block':38} {'ours':>10} {'floor':>10} {'python':>11} {'ours/floor':>10} {'python/ours':>11}"
    print(header)
    print("-" * len(header))
    for case in cases:
        if pattern not in case.name:
            continue
        ours, floor, ref = measure(case)
        floor_text = f"{floor * 1e9:8.1f}ns" if floor else f"{'-':>10}"
        ratio_text = f"{ours / floor:10.2f}" if floor else f"{'-':>10}"
        print(
            f"{case.name:38} {ours * 1e9:8.1f}ns {floor_text} {ref * 1e9:9.1f}ns "
            f"{ratio_text} {ref / ours:11.1f}" + (f"  {case.notes}" if case.notes else "")
        )


if __name__ == "__main__":
    main(sys.argv)
