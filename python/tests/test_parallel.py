"""Writing a dask-backed grid from the workers, each block where the layout places it."""

import os

import dask.array as da
import numpy as np
import pytest
import xarray as xr
from distributed import Client, LocalCluster

import binmat


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster, timeout=60) as c:
        yield c


def lazy_grid(rows=300, columns=17, chunks=(41, 5), dtype=np.float64):
    values = da.arange(rows * columns, chunks=rows * columns // 7, dtype=dtype)
    values = values.reshape(rows, columns).rechunk(chunks) / 3
    return xr.DataArray(values, dims=("lat", "lon"),
                        coords={"lat": np.linspace(-90, 90, rows), "lon": np.arange(columns) * 2.5})


def test_workers_write_the_bytes_that_write_gives(client, tmp_path):
    for order in ("little", "big"):
        grid = lazy_grid()
        binmat.to_binmat(grid, tmp_path / "parallel", byte_order=order)
        binmat.write(tmp_path / "whole", grid.compute(), byte_order=order)
        assert (tmp_path / "parallel").read_bytes() == (tmp_path / "whole").read_bytes()
    # Dimensions named as write names them; a replaced file keeps its mode.
    os.chmod(tmp_path / "parallel", 0o640)
    binmat.to_binmat(lazy_grid().to_dataset(name="t2m"), tmp_path / "parallel", rows="lon")
    binmat.write(tmp_path / "whole", lazy_grid().compute(), rows="lon")
    assert (tmp_path / "parallel").read_bytes() == (tmp_path / "whole").read_bytes()
    assert os.stat(tmp_path / "parallel").st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["parallel", "whole"]


def fails_on_a_worker(block):
    if block.min() > 1000:
        raise RuntimeError("this block cannot be made")
    return block


def test_a_failing_worker_leaves_nothing_and_the_target_as_it_was(client, tmp_path):
    binmat.write(tmp_path / "kept", np.ones((2, 2)))
    before = (tmp_path / "kept").read_bytes()
    grid = lazy_grid().copy(data=lazy_grid().data.map_blocks(fails_on_a_worker))
    with pytest.raises(RuntimeError, match="cannot be made"):
        binmat.to_binmat(grid, tmp_path / "kept")
    overflowing = lazy_grid(dtype=np.float64) * 1e300
    with pytest.raises(ValueError, match="beyond the float32 range"):
        binmat.to_binmat(overflowing, tmp_path / "kept")
    assert (tmp_path / "kept").read_bytes() == before
    assert [p.name for p in tmp_path.iterdir()] == ["kept"]


def test_what_workers_cannot_share_is_refused_before_anything_is_written(tmp_path):
    with pytest.raises(ValueError, match="not a URL"):
        binmat.to_binmat(lazy_grid(), "memory://grid")
    os.mkfifo(tmp_path / "fifo")
    with pytest.raises(ValueError, match="FIFO, a device or a file with other hard links"):
        binmat.to_binmat(lazy_grid(), tmp_path / "fifo")
    with pytest.warns(RuntimeWarning, match="^1 integer value of values"):
        binmat.to_binmat(xr.DataArray(da.from_array(np.array([[2**24 + 1, 3]]))), tmp_path / "i")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fifo", "i"]
