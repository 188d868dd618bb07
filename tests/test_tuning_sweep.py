"""examples/tuning_sweep.py: the same sweep on the process pool and on a Dask cluster."""

import importlib
import pathlib
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


@pytest.fixture(scope="module")
def sweep():
    # Imported by name, so that the pool's workers can unpickle its task function.
    sys.path.insert(0, str(EXAMPLES))
    try:
        yield importlib.import_module("tuning_sweep")
    finally:
        sys.path.remove(str(EXAMPLES))


def test_pool_and_dask_cluster_give_identical_results(sweep):
    distributed = pytest.importorskip("dask.distributed", reason="dask[distributed] is not installed")
    on_pool = sweep.sweep_on_pool(60, workers=2)
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            on_dask = sweep.sweep_on_dask(60, client)
    assert len(on_pool) == len(sweep.KP_GRID) * len(sweep.TI_GRID)
    assert on_dask == on_pool


def test_ranking_is_by_total_iae(sweep, capsys, tmp_path):
    sweep.main(["--samples", "60", "--workers", "2", "--plot", str(tmp_path / "best.png")])
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "20 tunings of the TT-OUT loop, 60 samples of 1 s each"
    totals = [float(line.split()[-1]) for line in lines[2:22]]
    assert totals == sorted(totals) and [line.split()[0] for line in lines[2:22]] == [str(r) for r in range(1, 21)]
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert lines[22] == "matplotlib is not installed: no plot"
        return
    assert (tmp_path / "best.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
