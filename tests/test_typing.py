"""The shipped type stubs: one per module, no catch-all attribute hook, and a type
checker accepts the examples and the README's code with them."""

import ast
import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

import ovelin.algorithm

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = pathlib.Path(ovelin.algorithm.__file__).parent
MODULES = ["common", "utilities", "pidcontrol", "filters", "leadlag", "delay", "ratelimit", "antiwindup",
           "triggers", "watchdog", "testsignal", "softsensor", "processsim", "lpvplant"]


@pytest.mark.parametrize("module", MODULES)
def test_stub_shipped_without_catch_all_getattr(module):
    # A __getattr__ in a stub would switch attribute checking off for every user.
    tree = ast.parse((PACKAGE / f"{module}.pyi").read_text(encoding="utf-8"))
    hooks = [node.name for node in ast.walk(tree) if isinstance(node, ast.FunctionDef) and node.name == "__getattr__"]
    assert hooks == []
    assert (PACKAGE / "py.typed").exists()


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_accepts_the_examples_and_the_readme(tmp_path):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    blocks = re.findall(r"^```python\n(.*?)^```", readme, re.S | re.M)
    for i, code in enumerate(blocks):
        (tmp_path / f"readme_block_{i}.py").write_text(code, encoding="utf-8")
    # A misspelt attribute must be caught: the stubs really are in use.
    (tmp_path / "misspelt.py").write_text("from ovelin.algorithm.pidcontrol import PID\nPID().setPIDParm()\n")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), "--ignore-missing-imports",
         *map(str, sorted((ROOT / "examples").glob("*.py"))), *map(str, sorted(tmp_path.glob("*.py")))],
        capture_output=True, text=True, cwd=tmp_path)
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and "misspelt.py:2" in errors[0] and "setPIDParm" in errors[0], done.stdout
