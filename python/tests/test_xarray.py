import os
import pickle

import dask.array as da
import numpy as np
import pytest
import xarray as xr
from distributed import Client, LocalCluster

import binmat
from binmat.xarray_backend import BinmatBackendEntrypoint


def small_grid(path, rows=5, columns=4, offset=0.0, byte_order="little"):
    values = np.arange(rows * columns, dtype=np.float32).reshape(rows, columns) + offset
    binmat.write(path, values, np.linspace(-1, 1, rows), np.geomspace(1, 100, columns),
                 byte_order=byte_order)
    return binmat.read(path, byte_order=byte_order)


def test_a_file_opens_as_z_over_x_and_y_with_the_titles(canonical):
    g = binmat.read(canonical / "binary3")
    ds = xr.open_dataset(canonical / "binary3", engine="binmat")
    assert list(ds.data_vars) == ["z"] and ds.z.dims == ("x", "y")
    assert ds.z.dtype == np.float32
    np.testing.assert_array_equal(ds.x, g.row_coordinates)
    np.testing.assert_array_equal(ds.y, g.column_coordinates)
    np.testing.assert_array_equal(ds.z, g.values)
    assert float(ds.z.sel(x=g.row_coordinates[15], y=g.column_coordinates[15])) == 1.0


def test_byte_order_passes_through(tmp_path):
    g = small_grid(tmp_path / "big", byte_order="big")
    for order in ("big", "detect"):
        ds = xr.open_dataset(tmp_path / "big", engine="binmat", byte_order=order)
        np.testing.assert_array_equal(ds.z, g.values)
    with pytest.raises(binmat.FormatError):
        xr.open_dataset(tmp_path / "big", engine="binmat")


def test_every_selection_reads_what_numpy_selects(tmp_path):
    v = small_grid(tmp_path / "g", rows=9, columns=7).values
    z = xr.open_dataset(tmp_path / "g", engine="binmat").z
    cases = [
        ((slice(None), slice(None)), v),
        ((3, slice(None)), v[3]),
        ((slice(2, 8, 3), 4), v[2:8:3, 4]),
        ((slice(None, None, -2), slice(1, 6, 2)), v[::-2, 1:6:2]),
        ((-1, -1), v[-1, -1]),
        ((slice(5, 2), slice(None)), v[5:2]),
        (([0, 8, 3], [6, 0]), v[[0, 8, 3]][:, [6, 0]]),  # xarray indexes each axis apart
    ]
    for key, expected in cases:
        np.testing.assert_array_equal(z[key].values, expected, err_msg=str(key))


def test_opening_reads_no_value(tmp_path):
    path = tmp_path / "g"
    small_grid(path)
    ds = xr.open_dataset(path, engine="binmat")
    h = binmat.header(path)
    with open(path, "r+b") as f:  # every value rewritten in place after opening
        for row in range(h.rows):
            f.seek(h.first_row_offset + row * h.row_bytes + 4)
            f.write(np.full(h.columns, 7, dtype="<f4").tobytes())
    # ...with its modification time put back, so that only the values tell what was read when.
    os.utime(path, ns=(h.modified, h.modified))
    assert (ds.z.values == 7).all()
    # Without the row titles, which lie one in each row, opening reads the header alone.
    bare = xr.open_dataset(path, engine="binmat", drop_variables="x")
    assert "x" not in bare.coords and bare.z.dims == ("x", "y")
    np.testing.assert_array_equal(bare.z.sel(y=h.column_coordinates[1]), 7)


def test_a_file_replaced_or_resized_after_opening_is_refused_not_mixed(tmp_path):
    path = tmp_path / "g"
    small_grid(path)
    for change in (lambda: small_grid(path, offset=100), lambda: path.open("ab").write(b"\0" * 8)):
        ds = xr.open_dataset(path, engine="binmat")
        change()
        with pytest.raises(binmat.FileChangedError, match="replaced or changed") as caught:
            ds.z.values
        assert caught.value.filename == str(path)
        small_grid(path)


def test_the_backend_claims_only_whole_files_and_says_why_it_refuses(canonical, tmp_path):
    entry = BinmatBackendEntrypoint()
    assert entry.guess_can_open(canonical / "binary1")
    assert xr.open_dataset(canonical / "binary1").z.shape == (31, 21)
    (tmp_path / "text").write_text("x,y,z\n1,2,3\n")
    (tmp_path / "stray").write_bytes((canonical / "binary1").read_bytes() + b"\0")
    (tmp_path / "cut").write_bytes((canonical / "binary1").read_bytes()[:100])
    for other in ("text", "stray", "cut", "missing"):
        assert not entry.guess_can_open(tmp_path / other), other
    assert not entry.guess_can_open(tmp_path)
    with pytest.raises(binmat.FormatError, match="row_cut_short at byte offset 88"):
        xr.open_dataset(tmp_path / "cut", engine="binmat")


def test_chunks_give_dask_arrays_of_the_same_values(canonical):
    g = binmat.read(canonical / "binary2")
    ds = xr.open_dataset(canonical / "binary2", engine="binmat", chunks={"x": 7, "y": 10})
    assert isinstance(ds.z.data, da.Array)
    assert ds.z.data.chunks == ((7, 7, 7, 7, 3), (10, 10, 10, 1))
    np.testing.assert_array_equal(ds.z.compute(), g.values)


def test_many_files_stack_along_a_new_dimension(tmp_path):
    paths = [tmp_path / f"t{k}" for k in range(3)]
    grids = [small_grid(p, offset=100.0 * k) for k, p in enumerate(paths)]
    ds = xr.open_mfdataset(paths, engine="binmat", combine="nested", concat_dim="t")
    assert ds.z.dims == ("t", "x", "y") and isinstance(ds.z.data, da.Array)
    np.testing.assert_array_equal(ds.z.values, np.stack([g.values for g in grids]))
    np.testing.assert_array_equal(ds.z.mean("t").values, grids[1].values)


def test_the_lazy_array_pickles_without_an_open_file(tmp_path):
    g = small_grid(tmp_path / "g")
    z = xr.open_dataset(tmp_path / "g", engine="binmat", chunks={}).z
    np.testing.assert_array_equal(pickle.loads(pickle.dumps(z)).values, g.values)


def test_a_cluster_of_worker_processes_computes_a_stack(tmp_path):
    # Each wait is bounded, so a cluster that cannot start fails the test instead of hanging it.
    paths = [tmp_path / f"t{k}" for k in range(4)]
    grids = [small_grid(p, rows=40, columns=30, offset=k) for k, p in enumerate(paths)]
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster, timeout=60) as client:
        ds = xr.open_mfdataset(paths, engine="binmat", combine="nested", concat_dim="t",
                               chunks={"x": 10})
        total = client.compute(ds.z.sum("t")).result(timeout=60)
        assert len(client.scheduler_info()["workers"]) == 2
    np.testing.assert_allclose(total.values, sum(g.values for g in grids))


def test_datasets_close_in_with_blocks_and_take_every_engines_keywords(tmp_path):
    paths = [tmp_path / f"t{k}" for k in range(2)]
    for p in paths:
        small_grid(p)
    keywords = dict(decode_times=False, mask_and_scale=True, decode_coords="all",
                    use_cftime=False, decode_timedelta=False, concat_characters=True)
    with xr.open_dataset(paths[0], engine="binmat", **keywords) as ds:
        assert ds.z.shape == (5, 4)
    with xr.open_mfdataset(paths, engine="binmat", combine="nested", concat_dim="t",
                           **keywords) as ds:
        assert ds.z.shape == (2, 5, 4)
    entry = BinmatBackendEntrypoint()
    assert entry.url.startswith("https://") and "ignored" in entry.__doc__


def test_chunks_of_their_own_are_blocks_of_whole_rows_of_about_128_mib(tmp_path):
    h = binmat.header(small_grid(tmp_path / "g", rows=40, columns=3) and tmp_path / "g")
    z = xr.open_dataset(tmp_path / "g", engine="binmat", chunks={}).z
    assert z.encoding["preferred_chunks"] == {"x": 40, "y": 3}
    assert z.data.chunks == ((40,), (3,)) and h.rows == 40
    # A grid far larger than a chunk, written sparse: the header is all that opening reads.
    columns = 1 << 15
    rows = 3 * (128 << 20) // (4 * columns) + 5
    with open(tmp_path / "large", "wb") as f:
        f.write(np.array([columns] + [0] * columns, "<f4").tobytes())
        f.truncate(4 * (columns + 1) * (rows + 1))
    z = xr.open_dataset(tmp_path / "large", engine="binmat", chunks={}, drop_variables="x").z
    per_chunk = (128 << 20) // (4 * columns)
    assert z.data.chunks[0] == (per_chunk,) * 3 + (5,) and z.data.chunks[1] == (columns,)


def test_narrow_columns_of_long_rows_read_only_their_bytes(tmp_path):
    values = np.arange(6 * 20000, dtype=np.float32).reshape(6, 20000)
    binmat.write(tmp_path / "wide", values)
    z = xr.open_dataset(tmp_path / "wide", engine="binmat").z
    before = os.stat(tmp_path / "wide").st_size
    np.testing.assert_array_equal(z[:, 10:20].values, values[:, 10:20])
    np.testing.assert_array_equal(z[1:5:2, 19990::3].values, values[1:5:2, 19990::3])
    np.testing.assert_array_equal(z[:, 7].values, values[:, 7])
    assert os.stat(tmp_path / "wide").st_size == before
