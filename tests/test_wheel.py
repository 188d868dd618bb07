"""The wheel: built from this tree, installed in a fresh virtual environment
that has only NumPy and the test tools, it passes the test suite there (the
tests of the optional extras skip themselves)."""

import glob
import importlib.metadata
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD_REQUIREMENTS = ("scikit-build-core", "nanobind", "cmeel-eigen")
TEST_REQUIREMENTS = ("numpy", "pytest", "scipy", "hypothesis")
NOT_HERE = ("test_wheel.py", "test_cpp_package.py")  # they need the source tree


def installed(name):
    try:
        return importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return None


pytestmark = [
    pytest.mark.wheel,
    pytest.mark.skipif(not (ROOT / "pyproject.toml").is_file(), reason="the package sources are not here"),
    pytest.mark.skipif(not all(map(installed, BUILD_REQUIREMENTS)),
                       reason=f"the build requirements ({', '.join(BUILD_REQUIREMENTS)}) are not installed"),
    pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake is not installed"),
]


def run(*args, cwd):
    # Without PYTHONPATH, so that nothing of the source tree can be imported.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    done = subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True, text=True)
    assert done.returncode == 0, f"{' '.join(map(str, args))} failed:\n{done.stdout[-8000:]}\n{done.stderr[-8000:]}"
    return done.stdout


def python_313():
    """CPython 3.13: OVELIN_PYTHON313, python3.13 on the PATH, or pyenv's."""
    candidates = [os.environ.get("OVELIN_PYTHON313"), shutil.which("python3.13")]
    try:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
        candidates += sorted(glob.glob(f"{root}/versions/3.13.*/bin/python3.13"), reverse=True)
    except OSError:
        pass
    for candidate in filter(None, candidates):
        done = subprocess.run([candidate, "-c", "import sys; print(sys.version_info[:2] == (3, 13))"],
                              capture_output=True, text=True)
        if done.stdout.strip() == "True":
            return candidate
    return None


def build_wheel(interpreter, dist):
    """The wheel for `interpreter`; another interpreter than this one builds in an environment of its own,
    kept in build/ so that a second run only rebuilds what changed."""
    if interpreter == sys.executable:
        builder, build_dir = sys.executable, ROOT / "build" / "wheel"  # the tree scripts/setup uses
    else:
        tag = run(interpreter, "-c", "import sys; print(f'{sys.version_info[0]}.{sys.version_info[1]}')", cwd=ROOT)
        env, build_dir = ROOT / "build" / f"venv-{tag.strip()}", ROOT / "build" / f"wheel-{tag.strip()}"
        builder = env / "bin" / "python"
        if not builder.exists():
            run(interpreter, "-m", "venv", env, cwd=ROOT)
        requirements = [f"{name}=={installed(name)}" for name in (*BUILD_REQUIREMENTS, "numpy")]
        run(builder, "-m", "pip", "install", "-q", "--disable-pip-version-check", *requirements, cwd=ROOT)
    run(builder, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q",
        f"-Cbuild-dir={build_dir}", "-w", dist, ROOT, cwd=ROOT)
    (wheel,) = dist.glob("*.whl")
    return wheel


@pytest.mark.parametrize("version", ["3.12", "3.13"])
def test_wheel_passes_the_tests_in_a_fresh_environment(tmp_path, version):
    interpreter = sys.executable if version == "3.12" else python_313()
    if interpreter is None:
        if os.environ.get("CI") == "true":
            pytest.fail("CPython 3.13 is not installed (set OVELIN_PYTHON313 to its path)")
        pytest.skip("CPython 3.13 is not installed (set OVELIN_PYTHON313 to its path)")
    wheel = build_wheel(interpreter, tmp_path / "dist")

    venv = tmp_path / "venv"
    run(interpreter, "-m", "venv", "--without-pip", venv, cwd=tmp_path)
    python = venv / "bin" / "python"
    # The versions of this environment, so that pip takes them from its cache.
    pins = [f"{name}=={installed(name)}" if installed(name) else name for name in TEST_REQUIREMENTS]
    run(sys.executable, "-m", "pip", "--python", python, "install", "-q", wheel, *pins, cwd=tmp_path)

    source = tmp_path / "source"
    # What the tests read besides the package: the plain-Python references, the examples and the README.
    for folder in ("tests", "examples", "benchmarks"):
        shutil.copytree(ROOT / folder, source / folder, ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(ROOT / "README.md", source / "README.md")
    where = run(python, "-c", "import ovelin.algorithm.pidcontrol as m; print(m.__file__)", cwd=source)
    assert pathlib.Path(where.strip()).is_relative_to(venv)

    out = run(python, "-m", "pytest", "-q", "-ra", "-p", "no:cacheprovider", "tests",
              *(f"--ignore=tests/{name}" for name in NOT_HERE), cwd=source)
    summary = out.splitlines()[-1]
    assert " passed" in summary and "failed" not in summary and "error" not in summary, out[-4000:]
    skipped = [line for line in out.splitlines() if line.startswith("SKIPPED")]
    assert any("matplotlib" in line for line in skipped), out[-4000:]
    assert any("dask" in line for line in skipped), out[-4000:]
    assert any("asyncua" in line for line in skipped), out[-4000:]  # the plant server's tests, without the opcua extra
