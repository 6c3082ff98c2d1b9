"""examples/dask_batch.py: convert_ts_to_mp4 mapped over files with a
dask.bag on a small in-process LocalCluster. Skipped without dask on a
developer machine; CI installs the dask extra."""

import importlib.util
from pathlib import Path

import av
import pytest

import morvex
from toolkit import FIXTURES, require

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "dask_batch.py"


@pytest.fixture(scope="module")
def example():
    require("dask.bag")
    require("distributed")
    module_spec = importlib.util.spec_from_file_location("dask_batch", EXAMPLE)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def test_dask_batch_converts_every_file(example, tmp_path):
    from distributed import Client, LocalCluster

    # The H.264 recordings (hevc.ts is a stream of a kind the module refuses).
    sources = sorted(s for s in FIXTURES.glob("*.ts") if s.name != "hevc.ts")
    with LocalCluster(processes=False, n_workers=1, threads_per_worker=2, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        results = example.convert_all([str(s) for s in sources], str(tmp_path), client)
    assert sorted(Path(p).name for p, _ in results) == sorted(s.stem + ".mp4" for s in sources)
    for source in sources:
        out = tmp_path / (source.stem + ".mp4")
        assert out.read_bytes() == morvex.convert_ts_to_mp4(source.read_bytes())
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []
    with av.open(str(tmp_path / "bframes_48k_stereo.mp4")) as container:
        assert sum(1 for _ in container.decode(video=0)) == 50
