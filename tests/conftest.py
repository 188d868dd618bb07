import faulthandler
import os
import signal
import traceback

import pytest
from hypothesis import HealthCheck, settings


def pytest_addoption(parser):
    parser.addoption("--wheel", action="store_true",
                     help="also run the tests marked wheel (build the wheel, run the suite against it: minutes)")


def pytest_configure(config):
    config.addinivalue_line("markers", "isolated: run the test in a forked child, so that a crash fails only this test")
    config.addinivalue_line("markers", "wheel: slow packaging test, run only with --wheel")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--wheel"):
        return
    skip = pytest.mark.skip(reason="runs the whole suite again against the built wheel (minutes): pytest --wheel")
    for item in items:
        if item.get_closest_marker("wheel"):
            item.add_marker(skip)


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    if pyfuncitem.get_closest_marker("isolated") is None:
        return None
    args = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        faulthandler.disable()
        try:
            pyfuncitem.obj(**args)
            report = b""
        except BaseException:
            report = traceback.format_exc().encode() or b"failed"
        with os.fdopen(write, "wb") as pipe:
            pipe.write(report)
        os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        report = pipe.read().decode()
    status = os.waitpid(pid, 0)[1]
    if os.WIFSIGNALED(status):
        pytest.fail(f"crashed with {signal.Signals(os.WTERMSIG(status)).name}", pytrace=False)
    if report:
        pytest.fail(report, pytrace=False)
    return True


# Property tests: a quick, deterministic profile by default; OVELIN_PROPERTY_PROFILE=long runs thousands of examples.
settings.register_profile("quick", max_examples=20, derandomize=True, database=None, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
settings.register_profile("long", max_examples=2000, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
settings.load_profile(os.environ.get("OVELIN_PROPERTY_PROFILE", "quick"))
