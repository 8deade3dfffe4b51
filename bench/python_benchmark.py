"""The Python package against numpy, measured side by side in one run.

Whole grids: binmat.read against numpy.fromfile + reshape of the same file, and binmat.write
against ndarray.tofile of the same bytes, for the square, wide and tall 64 MB grids: unsynced
(sync=False) against tofile, and synced (the default) against tofile into a new file that is
synced, renamed over the old one and its directory synced, as binmat.write does. Lazy opening:
binmat.read(mmap=True), binmat.header and xarray.open_dataset (with and without the row
coordinates) on a 1 GiB and a 1 MiB file, warm (read from the disk once before) and cold (the
file's pages dropped with posix_fadvise before each cold open), beside netCDF4's engine opening
the same grid. Parallel writing: binmat.to_binmat of a dask array from two worker processes
against computing it on the client and writing it with binmat.write.

Each figure is the best of several runs, the subject and its baseline taking turns so that both
meet the same noise. Run with the package installed:
    python bench/python_benchmark.py [--dir DIR] [--repeat N] [--scale S]
--scale S divides every size by S, for a quick check that the benchmark still runs.
"""

import argparse
import os
import tempfile
import time
from pathlib import Path

import numpy as np
import xarray as xr

import binmat

SHAPES = {"square": (4096, 4096), "wide": (64, 262144), "tall": (4_000_000, 3)}
LAZY_SIDES = {"1 MiB": 511, "1 GiB": 16383}  # square files of (side + 1)^2 floats


def best(repeat, *subjects):
    """Best time of each callable over `repeat` rounds, taking turns. Each starts with no dirty
    pages waiting, so that none pays for the writes of the one before."""
    times = [float("inf")] * len(subjects)
    for _ in range(repeat):
        for k, subject in enumerate(subjects):
            os.sync()
            start = time.perf_counter()
            subject()
            times[k] = min(times[k], time.perf_counter() - start)
    return times


def sample(rows, columns):
    rng = np.random.default_rng(1)
    values = rng.standard_normal((rows, columns), dtype=np.float32)
    return values, np.arange(rows, dtype=np.float32), np.arange(columns, dtype=np.float32)


def whole_grids(directory, repeat, scale):
    print(f"{'grid':8} {'read':>9} {'fromfile':>9} {'ratio':>6}   "
          f"{'write':>9} {'tofile':>9} {'ratio':>6}   {'+rename':>9} {'ratio':>6}   "
          f"{'synced':>9} {'tofile':>9} {'ratio':>6}")
    for name, (rows, columns) in SHAPES.items():
        if name == "wide":
            columns //= scale
        else:
            rows //= scale
            columns = columns if name == "tall" else columns // scale
        values, row_titles, column_titles = sample(rows, columns)
        path = directory / f"{name}.bm"
        binmat.write(path, values, row_titles, column_titles)
        stored = np.fromfile(path, dtype="<f4")  # the file's bytes, for tofile to write again
        same = directory / f"{name}.raw"
        stored.tofile(same)

        def read():
            binmat.read(path)

        def fromfile():
            np.fromfile(same, dtype=np.float32).reshape(rows + 1, columns + 1)

        def write():
            binmat.write(path, values, row_titles, column_titles, sync=False)

        def tofile():
            stored.tofile(same)

        # What binmat.write promises, done with numpy: a new file renamed over the old one.
        def tofile_renamed():
            stored.tofile(directory / "new.raw")
            os.rename(directory / "new.raw", same)

        def synced_write():
            binmat.write(path, values, row_titles, column_titles)

        # The same durably: synced, renamed over the old file, and the directory synced.
        def synced_tofile():
            with open(directory / "new.raw", "wb") as f:
                stored.tofile(f)
                f.flush()
                os.fdatasync(f.fileno())
            os.rename(directory / "new.raw", same)
            folder = os.open(directory, os.O_RDONLY)
            os.fsync(folder)
            os.close(folder)

        read_time, fromfile_time = best(repeat, read, fromfile)
        write_time, tofile_time, renamed_time = best(repeat, write, tofile, tofile_renamed)
        synced_time, synced_tofile_time = best(repeat, synced_write, synced_tofile)
        print(f"{name:8} {read_time * 1e3:7.1f}ms {fromfile_time * 1e3:7.1f}ms "
              f"{read_time / fromfile_time:6.2f}   {write_time * 1e3:7.1f}ms "
              f"{tofile_time * 1e3:7.1f}ms {write_time / tofile_time:6.2f}   "
              f"{renamed_time * 1e3:7.1f}ms {write_time / renamed_time:6.2f}   "
              f"{synced_time * 1e3:7.1f}ms {synced_tofile_time * 1e3:7.1f}ms "
              f"{synced_time / synced_tofile_time:6.2f}")
        path.unlink()
        same.unlink()


def drop_pages(path):
    """Drops the file's pages from the page cache, so that the next open reads the device."""
    os.sync()
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def lazy_opening(directory, repeat, scale):
    print(f"\n{'file':8} {'mmap read':>10} {'header':>10} {'open_dataset':>13} {'without x':>10} "
          f"{'netCDF4':>10}   {'cold open':>10} {'netCDF4':>10}")
    for label, side in LAZY_SIDES.items():
        side = max(side // scale, 1) if label == "1 GiB" else side
        path = directory / f"lazy-{side}.bm"
        with open(path, "wb") as f:
            head = np.arange(side + 1, dtype="<f4")
            head[0] = side  # the column count, then the coordinates 1..side
            head.tofile(f)
            row = np.ones(side + 1, dtype="<f4")
            for _ in range(side):
                row.tofile(f)
        nc = directory / f"lazy-{side}.nc"
        xr.Dataset({"z": (("x", "y"), np.ones((side, side), np.float32))},
                   coords={"x": np.arange(1, side + 1, dtype=np.float32),
                           "y": np.arange(1, side + 1, dtype=np.float32)}).to_netcdf(nc)

        # Warm as a file is that was read from the disk before: pages a writer just left behind
        # are laid out in the cache otherwise, and cost more to find (about 1.3x here).
        for file in (path, nc):
            drop_pages(file)
            with open(file, "rb") as f:
                while f.read(1 << 24):
                    pass

        def mapped():
            binmat.read(path, mmap=True)

        def header():
            binmat.header(path)

        def dataset():
            xr.open_dataset(path, engine="binmat").close()

        def dataset_without_x():
            xr.open_dataset(path, engine="binmat", drop_variables="x").close()

        def netcdf():
            xr.open_dataset(nc, engine="netcdf4").close()

        def cold(open_one, file):
            def opened():
                drop_pages(file)
                start = time.perf_counter()
                open_one()
                return time.perf_counter() - start
            return opened

        times = best(repeat, mapped, header, dataset, dataset_without_x, netcdf)
        colds = [min(cold(o, f)() for _ in range(repeat)) for o, f in ((dataset, path), (netcdf, nc))]
        size = path.stat().st_size
        print(f"{label:8} {times[0] * 1e3:8.2f}ms {times[1] * 1e3:8.2f}ms "
              f"{times[2] * 1e3:11.2f}ms {times[3] * 1e3:8.2f}ms {times[4] * 1e3:8.2f}ms   "
              f"{colds[0] * 1e3:8.2f}ms {colds[1] * 1e3:8.2f}ms   ({size / 2**20:.0f} MiB)")
        path.unlink()
        nc.unlink()


def parallel_writing(directory, repeat, scale):
    import dask.array as da
    from distributed import Client, LocalCluster

    rows, columns = SHAPES["square"]
    rows, columns = rows // scale, columns // scale
    print(f"\n{'grid':8} {'to_binmat':>10} {'compute+write':>14} {'ratio':>6}   (two worker processes)")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster):
        values = da.random.RandomState(1).standard_normal((rows, columns), chunks=(rows // 8, columns))
        values = values.astype(np.float32)

        def parallel():
            binmat.to_binmat(values, directory / "parallel.bm")

        def on_the_client():
            binmat.write(directory / "client.bm", values.compute())

        parallel_time, client_time = best(repeat, parallel, on_the_client)
        print(f"{'square':8} {parallel_time * 1e3:8.1f}ms {client_time * 1e3:12.1f}ms "
              f"{parallel_time / client_time:6.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dir", type=Path, default=Path(tempfile.gettempdir()))
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--scale", type=int, default=1)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        whole_grids(Path(directory), args.repeat, args.scale)
        lazy_opening(Path(directory), args.repeat, args.scale)
        parallel_writing(Path(directory), args.repeat, args.scale)


if __name__ == "__main__":
    main()
