import pathlib
import runpy

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def test_demo_loop_settles_at_set_point(capsys):
    runpy.run_path(str(EXAMPLES / "pid_loop.py"), run_name="__main__")
    rows = [line.split() for line in capsys.readouterr().out.splitlines()[1:]]
    assert rows[0] == ["0", "MAN", "45.00", "45.00", "30.00"]
    last = rows[-1]
    assert last[1] == "AUTO" and abs(float(last[3]) - 55.0) < 0.1


def test_plant_loops_demo_reaches_its_set_points_and_writes_its_plot(capsys, tmp_path):
    demo = runpy.run_path(str(EXAMPLES / "plant_loops.py"))
    png = tmp_path / "loops.png"
    demo["main"](["--samples", "300", "--plot", str(png)])
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "300 samples of 1 s"
    for line in lines[1:4]:
        fields = line.split()
        assert abs(float(fields[3]) - float(fields[5])) < 2.5, line  # PV near SP
    assert lines[4] == "heater model weights at the end: 1: 0.00, 2: 0.00, 3: 1.00"
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_plant_over_opcua_prints_the_demos_mixer_figures(capsys, monkeypatch):
    pytest.importorskip("asyncua", reason="asyncua (the opcua extra) is not installed")
    monkeypatch.syspath_prepend(str(EXAMPLES))  # the example imports the demo's definitions
    demo = runpy.run_path(str(EXAMPLES / "plant_loops.py"))
    runpy.run_path(str(EXAMPLES / "plant_over_opcua.py"))["main"](["--samples", "300"])
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("300 samples of 1 s, over OPC UA at opc.tcp://127.0.0.1:")
    assert lines[1:] == [loop.summary() for loop in demo["run_mixer"](300)]
