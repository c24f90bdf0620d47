"""The sweep on a process pool and on a loopback Dask cluster, and the charts."""

from __future__ import annotations

import csv
import signal
from pathlib import Path
from typing import Any, Iterator

import pytest

from tavex_backtest import cli

SAMPLE = str(Path(__file__).resolve().parents[2] / "data" / "min1_sample.csv")
GRID = ["fast=5:30:5", "slow=30:60:15"]  # 18 combinations; fast=30 slow=30 raises


@pytest.fixture
def deadline() -> Iterator[None]:
    """Fails a test that hangs (a cluster that never comes up) instead of waiting forever."""
    def expire(*_: Any) -> None:
        raise TimeoutError("the local Dask cluster took too long")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(240)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


def test_pool_and_dask_cluster_make_the_same_table(
        tmp_path: Path, capsys: pytest.CaptureFixture[str], deadline: None) -> None:
    distributed = pytest.importorskip("distributed")
    pool_csv, dask_csv = tmp_path / "pool.csv", tmp_path / "dask.csv"
    argv = [SAMPLE, "--no-progress", "--sweep", *GRID, "--sort", "net"]
    assert cli.main([*argv, "--workers", "2", "--csv", str(pool_csv)]) == 1
    err = capsys.readouterr().err
    assert "failed: fast=30 slow=30: ValueError: need 0 < fast < slow" in err

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster:
        assert cli.main([*argv, "--dask", cluster.scheduler_address, "--csv",
                         str(dask_csv)]) == 1
    out, err = capsys.readouterr()
    assert f"on Dask at {cluster.scheduler_address}, 2 workers" in out
    assert "failed: fast=30 slow=30" in err

    table = pool_csv.read_text(encoding="utf-8")
    assert dask_csv.read_text(encoding="utf-8") == table
    rows = list(csv.DictReader(table.splitlines()))
    ran = [r for r in rows if not r["error"]]
    assert len(ran) == 17 and rows[-1]["error"] == "ValueError: need 0 < fast < slow"
    net = [float(r["net"]) for r in ran]
    assert net == sorted(net, reverse=True)
    # Each run is a whole back-test: its fees and fills are its own.
    assert len({(r["fees"], r["fills"]) for r in ran}) == 17
    assert all(float(r["return"]) == pytest.approx(float(r["net"]) / 100_000) for r in ran)


@pytest.mark.parametrize("extra", [
    pytest.param([], id="run"),
    pytest.param(["--sweep", "fast=10,20,30", "slow=40,60", "--workers", "1",
                  "--sort", "max_drawdown"], id="heat-map"),
])
def test_chart_is_a_drawn_png(tmp_path: Path, capsys: pytest.CaptureFixture[str],
                              extra: list[str]) -> None:
    image = pytest.importorskip("PIL.Image")
    pytest.importorskip("matplotlib")
    png = tmp_path / "chart.png"
    assert cli.main([SAMPLE, "--no-progress", "--chart", str(png), *extra]) == 0
    capsys.readouterr()
    assert 10_000 < png.stat().st_size < 150_000
    with image.open(png) as picture:
        assert picture.format == "PNG" and picture.width >= 300 and picture.height >= 200
        rgb = picture.convert("RGB")
        colors = rgb.getcolors(maxcolors=1 << 16) or []
    inked = sum(n for n, c in colors if c != (255, 255, 255))
    assert inked > rgb.width * rgb.height // 10 and len(colors) > 50
    if not extra:  # fills marked both ways, in colors nothing else uses
        present = {c for _, c in colors}
        assert {(0x1A, 0x98, 0x50), (0xD7, 0x30, 0x27)} <= present
