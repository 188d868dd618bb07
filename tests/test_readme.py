"""The README's Python examples run as they stand."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
TEXT = README.read_text(encoding="utf-8")
# Each block padded with blank lines so that a traceback shows README's own line numbers.
BLOCKS = [
    "\n" * TEXT.count("\n", 0, match.start(1)) + match.group(1)
    for match in re.finditer(r"^```python\n(.*?)^```", TEXT, re.S | re.M)
]


def test_the_readme_has_an_example_per_module():
    modules = {
        "common", "utilities", "pidcontrol", "filters", "leadlag", "delay", "ratelimit",
        "antiwindup", "triggers", "watchdog", "testsignal", "softsensor", "processsim", "lpvplant",
    }
    imported = set(re.findall(r"from ovelin\.algorithm\.(\w+) import", "".join(BLOCKS)))
    assert modules <= imported


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(code, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    exec(compile(code, str(README), "exec"), {"__name__": "readme_example"})
