"""Files that are not on a local disk: fsspec URLs and file objects, over HTTP on a cluster of
worker processes, and as Zarr reference sets."""

import fsspec
import numpy as np
import pytest
import xarray as xr
from distributed import Client, LocalCluster

import binmat


def grid(rows, columns, byte_order="little"):
    values = np.arange(rows * columns, dtype=np.float32).reshape(rows, columns) / 7
    return values, np.linspace(-5, 5, rows), np.arange(columns) * 0.25


def put(directory, name, rows, columns, byte_order="little"):
    values, x, y = grid(rows, columns)
    binmat.write(directory / name, values, x, y, byte_order=byte_order)
    return binmat.read(directory / name, byte_order=byte_order)


def test_memory_urls_and_file_objects_open_as_local_files_do(tmp_path, canonical):
    fs = fsspec.filesystem("memory")
    for name in ("binary1", "binary2", "binary3"):
        fs.pipe(f"/canonical/{name}", (canonical / name).read_bytes())
        local = xr.open_dataset(canonical / name, engine="binmat")
        remote = xr.open_dataset(f"memory://canonical/{name}", engine="binmat")
        xr.testing.assert_identical(local.load(), remote.load())
        with fsspec.open(f"memory://canonical/{name}", "rb") as f:
            xr.testing.assert_identical(local, xr.open_dataset(f, engine="binmat").load())
        with open(canonical / name, "rb") as f:
            xr.testing.assert_identical(local, xr.open_dataset(f, engine="binmat").load())
        np.testing.assert_array_equal(binmat.read(f"memory://canonical/{name}").values,
                                      local.z.values)
    big = put(tmp_path, "big", 6, 5, byte_order="big")
    fs.pipe("/big", (tmp_path / "big").read_bytes())
    ds = xr.open_dataset("memory://big", engine="binmat", byte_order="detect")
    np.testing.assert_array_equal(ds.z.values, big.values)


def test_a_remote_file_replaced_after_opening_is_refused(tmp_path):
    fs = fsspec.filesystem("memory")
    put(tmp_path, "g", 8, 4)
    fs.pipe("/replaced", (tmp_path / "g").read_bytes())
    ds = xr.open_dataset("memory://replaced", engine="binmat")
    fs.pipe("/replaced", (tmp_path / "g").read_bytes()[:-16])
    with pytest.raises(binmat.FileChangedError, match="replaced or changed"):
        ds.z.values


def test_http_reads_only_the_ranges_each_chunk_needs_on_worker_processes(http_server):
    directory, url, requests = http_server
    # Rows of 400 kB: a few columns of them are read as spans of their own.
    g = put(directory, "wide", 12, 100_000)
    size = (directory / "wide").stat().st_size
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster, timeout=60) as client:
        ds = xr.open_dataset(f"{url}/wide", engine="binmat", chunks={"x": 4})
        total = client.compute(ds.z.sum()).result(timeout=60)
        assert len(client.scheduler_info()["workers"]) == 2
        np.testing.assert_allclose(float(total), g.values.astype(np.float64).sum(), rtol=1e-6)
        requests.clear()
        narrow = client.compute(ds.z[:, 100:110]).result(timeout=60)
    np.testing.assert_array_equal(narrow.values, g.values[:, 100:110])
    ranges = [r for _, r in requests if r is not None]
    assert all(r is not None for _, r in requests), "a request fetched the whole file"
    assert ranges and all(stop - start <= 40 for start, stop in ranges)
    assert size > 2 * sum(stop - start for start, stop in ranges)


def test_opening_over_http_never_fetches_the_whole_file(http_server):
    directory, url, requests = http_server
    for name, rows, columns in (("short", 5000, 3), ("long", 40, 20000)):
        g = put(directory, name, rows, columns)
        requests.clear()
        ds = xr.open_dataset(f"{url}/{name}", engine="binmat")
        np.testing.assert_array_equal(ds.x.values, g.row_coordinates)
        np.testing.assert_array_equal(ds.z.isel(x=[0, -1]).values, g.values[[0, -1]])
        assert requests and all(r is not None for _, r in requests), name


def test_a_reference_set_lets_zarr_read_the_file_in_place(canonical, http_server):
    directory, url, _ = http_server
    put(directory, "big", 7, 3, byte_order="big")
    cases = [(canonical / n, "little") for n in ("binary1", "binary2", "binary3")]
    cases.append((f"{url}/big", "big"))
    for source, order in cases:
        expected = xr.open_dataset(source, engine="binmat", byte_order=order).load()
        refs = binmat.references(source, byte_order=order)
        assert refs["refs"]["z/.zarray"].count('"chunks": [1,') == 1
        ds = xr.open_dataset(
            "reference://",
            engine="zarr",
            backend_kwargs={"consolidated": False, "storage_options": {"fo": refs}},
        )
        np.testing.assert_array_equal(ds.z.values, expected.z.values)
        np.testing.assert_array_equal(ds.x.values, expected.x.values)
        np.testing.assert_array_equal(ds.y.values, expected.y.values)
