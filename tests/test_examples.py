import pathlib
import runpy

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def test_demo_loop_settles_at_set_point(capsys):
    runpy.run_path(str(EXAMPLES / "pid_loop.py"), run_name="__main__")
    rows = [line.split() for line in capsys.readouterr().out.splitlines()[1:]]
    assert rows[0] == ["0", "MAN", "45.00", "45.00", "30.00"]
    last = rows[-1]
    assert last[1] == "AUTO" and abs(float(last[3]) - 55.0) < 0.1
