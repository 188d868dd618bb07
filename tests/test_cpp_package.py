"""The C++ core as an installed CMake package: examples/cpp, built against it
with find_package(ovelin), runs the loop of examples/pid_loop.py bit for bit, and
examples/cpp/heater prints the heater lines of the demo bit for bit."""

import os
import pathlib
import runpy
import shutil
import subprocess
import sys
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CMAKE = shutil.which("cmake")
CXX = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")

pytestmark = [
    pytest.mark.skipif(CMAKE is None, reason="cmake is not installed"),
    pytest.mark.skipif(CXX is None, reason="no C++ compiler (c++, g++ or clang++) found"),
    pytest.mark.skipif(not (ROOT / "core" / "CMakeLists.txt").is_file(), reason="the core sources are not here"),
]


def cmake(*args, cwd=None):
    done = subprocess.run([CMAKE, *map(str, args)], cwd=cwd, capture_output=True, text=True)
    assert done.returncode == 0, f"cmake {' '.join(map(str, args))} failed:\n{done.stdout}\n{done.stderr}"


def cmeel_prefix():
    """Where the cmeel-eigen package puts Eigen, when it is installed."""
    prefix = pathlib.Path(sysconfig.get_paths()["purelib"]) / "cmeel.prefix"
    return [prefix] if prefix.is_dir() else []


def installed_example(tmp_path_factory, folder, program):
    """An example program, built against the core installed into a temporary prefix."""
    tmp = tmp_path_factory.mktemp("cpp-package")
    build = ROOT / "build" / "core-tests"  # left configured and built by scripts/test
    if not (build / "CMakeCache.txt").is_file():
        build = ROOT / "build" / "core-package"
        cmake("-S", ROOT / "core", "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DOVELIN_BUILD_TESTS=OFF",
              f"-DPython_EXECUTABLE={sys.executable}", f"-DCMAKE_PREFIX_PATH={';'.join(map(str, cmeel_prefix()))}")
    cmake("--build", build, "--target", "ovelin_core")
    cmake("--install", build, "--prefix", tmp / "prefix")
    prefix_path = ";".join(map(str, [tmp / "prefix", *cmeel_prefix()]))
    cmake("-S", folder, "-B", tmp / "example", "-DCMAKE_BUILD_TYPE=Release",
          f"-DCMAKE_PREFIX_PATH={prefix_path}", f"-DCMAKE_CXX_COMPILER={CXX}")
    cmake("--build", tmp / "example")
    return tmp / "example" / program


@pytest.fixture(scope="module")
def pid_loop(tmp_path_factory):
    return installed_example(tmp_path_factory, ROOT / "examples" / "cpp", "pid_loop")


@pytest.fixture(scope="module")
def heater_loop(tmp_path_factory):
    return installed_example(tmp_path_factory, ROOT / "examples" / "cpp" / "heater", "heater_loop")


@pytest.mark.parametrize("args, exact", [([], False), (["--exact"], True)])
def test_example_program_prints_what_the_python_loop_prints(pid_loop, capsys, args, exact):
    runpy.run_path(str(ROOT / "examples" / "pid_loop.py"))["main"](exact=exact)
    expected = capsys.readouterr().out
    assert subprocess.run([pid_loop, *args], capture_output=True, text=True, check=True).stdout == expected


@pytest.mark.parametrize("samples", [900, 300])
def test_heater_program_prints_the_heater_lines_of_the_demo(heater_loop, capsys, samples):
    runpy.run_path(str(ROOT / "examples" / "plant_loops.py"))["main"]([f"--samples={samples}", "--no-plot"])
    expected = [line for line in capsys.readouterr().out.splitlines(keepends=True) if line.startswith("heater")]
    assert len(expected) == 2
    assert subprocess.run([heater_loop, str(samples)], capture_output=True, text=True, check=True).stdout == "".join(
        expected)
