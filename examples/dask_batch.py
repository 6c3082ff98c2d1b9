"""Convert many transport streams to MP4 on a Dask cluster.

    python examples/dask_batch.py OUTDIR IN.ts [IN.ts ...] [--scheduler ADDRESS]

Without --scheduler a LocalCluster on this machine does the work; with it,
the workers of that cluster do, and every worker must see the input and
output paths (a shared file system). Needs the dask extra:
pip install 'morvex[dask]'.
"""

from __future__ import annotations

import argparse
import os
from pathlib import Path

import dask.bag as db
from distributed import Client, LocalCluster

import morvex


def convert_file(source: str, outdir: str) -> tuple[str, int]:
    """Runs on a worker: one TS file to OUTDIR/NAME.mp4, written to a
    temporary name first. Returns the output path and its size."""
    data = Path(source).read_bytes()
    mp4 = morvex.convert_ts_to_mp4(data, report=None)  # no report in the workers' output
    target = Path(outdir) / (Path(source).stem + ".mp4")
    temporary = target.with_name(f".{target.name}.{os.getpid()}.part")
    temporary.write_bytes(mp4)
    os.replace(temporary, target)
    return str(target), len(mp4)


def convert_all(sources: list[str], outdir: str, client: Client) -> list[tuple[str, int]]:
    """Maps convert_file over the sources, one partition per file so that
    the scheduler spreads them over all workers."""
    bag = db.from_sequence(sources, npartitions=max(1, len(sources)))
    return bag.map(convert_file, outdir).compute(scheduler=client.get)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("outdir")
    p.add_argument("sources", nargs="+")
    p.add_argument("--scheduler", help="address of a running Dask scheduler")
    args = p.parse_args()
    os.makedirs(args.outdir, exist_ok=True)
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        client = Client(LocalCluster(n_workers=2, threads_per_worker=2))
    with client:
        for path, size in convert_all(args.sources, args.outdir, client):
            print(f"{path}: {size / 1e6:.1f} MB")


if __name__ == "__main__":
    main()
