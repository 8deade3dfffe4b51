"""binmat convert against numpy's and xarray's own readers and writers."""

import subprocess

import numpy as np
import pytest
import xarray

import binmat


def convert(tool, *args):
    result = subprocess.run([str(tool), "convert", *map(str, args)], capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result


@pytest.mark.parametrize("dtype", ["<f4", ">f4", "<f8", ">f8", "<i2", ">u4"])
@pytest.mark.parametrize("fortran", [False, True])
def test_np_save_in_either_byte_order_and_layout_reads_as_the_same_grid(
        binmat_tool, tmp_path, dtype, fortran):
    values = (np.arange(12).reshape(3, 4) * 3 - 7).astype(dtype)
    if fortran:
        values = np.asfortranarray(values)
    np.save(tmp_path / "a.npy", values)
    np.save(tmp_path / "x.npy", np.array([0.5, 1.5, 2.5]))
    convert(binmat_tool, tmp_path / "a.npy", tmp_path / "a", "--x", tmp_path / "x.npy")
    grid = binmat.read(tmp_path / "a")
    np.testing.assert_array_equal(grid.values, values.astype(np.float32))
    np.testing.assert_array_equal(grid.row_coordinates, [0.5, 1.5, 2.5])
    np.testing.assert_array_equal(grid.column_coordinates, [0, 1, 2, 3])


def test_npy_output_is_what_np_load_reads(binmat_tool, canonical, tmp_path):
    convert(binmat_tool, canonical / "binary3", tmp_path / "z.npy",
            "--x", tmp_path / "x.npy", "--y", tmp_path / "y.npy")
    grid = binmat.read(canonical / "binary3")
    loaded = np.load(tmp_path / "z.npy")
    assert loaded.dtype == np.float32 and loaded.flags.c_contiguous
    np.testing.assert_array_equal(loaded, grid.values)
    np.testing.assert_array_equal(np.load(tmp_path / "x.npy"), grid.row_coordinates)
    np.testing.assert_array_equal(np.load(tmp_path / "y.npy"), grid.column_coordinates)


def test_float64_that_loses_precision_is_rounded_with_a_warning(binmat_tool, tmp_path):
    np.save(tmp_path / "d.npy", np.array([[0.1, 0.5]]))
    result = convert(binmat_tool, tmp_path / "d.npy", tmp_path / "d")
    assert "1 of 2 values changed when rounded from float64 to single precision" in result.stderr
    np.testing.assert_array_equal(binmat.read(tmp_path / "d").values, [[np.float32(0.1), 0.5]])


def test_netcdf_output_opens_in_xarray_with_its_coordinates_and_nan(binmat_tool, tmp_path):
    values = np.array([[1, np.nan, 3], [np.inf, -np.inf, 6]], dtype=np.float32)
    binmat.write(tmp_path / "g", values, [10, 20], [0.5, 1, 2])
    convert(binmat_tool, tmp_path / "g", tmp_path / "g.nc", "--units", "K")
    with xarray.open_dataset(tmp_path / "g.nc", engine="netcdf4") as ds:
        assert ds["z"].dims == ("x", "y")
        assert ds["z"].attrs["units"] == "K"
        np.testing.assert_array_equal(ds["z"].values, values)
        np.testing.assert_array_equal(ds["x"].values, [10, 20])
        np.testing.assert_array_equal(ds["y"].values, [0.5, 1, 2])


def test_netcdf_written_by_xarray_comes_in_with_its_fill_and_float64_coordinates(
        binmat_tool, tmp_path):
    ds = xarray.Dataset(
        {"t": (("lat", "lon"), np.array([[1.0, np.nan], [3.0, 4.0]], dtype=np.float32))},
        coords={"lat": [10.0, 20.0], "lon": [100.0, 110.0]})
    ds.to_netcdf(tmp_path / "x.nc", engine="netcdf4")
    convert(binmat_tool, tmp_path / "x.nc", tmp_path / "x", "--to", "binmat")
    grid = binmat.read(tmp_path / "x")
    np.testing.assert_array_equal(grid.values, ds["t"].values)
    np.testing.assert_array_equal(grid.row_coordinates, [10, 20])
    np.testing.assert_array_equal(grid.column_coordinates, [100, 110])


def test_netcdf_compressed_and_packed_by_xarray_is_unpacked(binmat_tool, tmp_path):
    t = np.array([[280.25, np.nan, 281.5], [279.0, 282.75, 283.0]])
    ds = xarray.Dataset({"t": (("lat", "lon"), t)},
                        coords={"lat": [50.0, 51.0], "lon": [0.0, 0.5, 1.0]})
    encoding = {"t": {"dtype": "int16", "scale_factor": 0.25, "add_offset": 280.0,
                      "_FillValue": -32768, "zlib": True, "chunksizes": (1, 2)}}
    ds.to_netcdf(tmp_path / "p.nc", engine="netcdf4", encoding=encoding)
    result = convert(binmat_tool, tmp_path / "p.nc", tmp_path / "p", "--to", "binmat")
    assert result.stderr == ""
    grid = binmat.read(tmp_path / "p")
    np.testing.assert_array_equal(grid.values, t.astype(np.float32))
    np.testing.assert_array_equal(grid.column_coordinates, [0, 0.5, 1])
