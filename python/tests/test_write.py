import os
import warnings

import numpy as np
import pytest
import xarray as xr

import binmat


@pytest.mark.parametrize("name", ["binary1", "binary2", "binary3"])
def test_writing_what_was_read_gives_the_generators_bytes(canonical, tmp_path, name):
    g = binmat.read(canonical / name)
    binmat.write(tmp_path / name, g.values, g.row_coordinates, g.column_coordinates)
    assert (tmp_path / name).read_bytes() == (canonical / name).read_bytes()


def test_missing_coordinates_are_the_indices(tmp_path):
    binmat.write(tmp_path / "g", np.arange(6, dtype=np.int16).reshape(2, 3))
    g = binmat.read(tmp_path / "g")
    np.testing.assert_array_equal(g.row_coordinates, [0, 1])
    np.testing.assert_array_equal(g.column_coordinates, [0, 1, 2])
    np.testing.assert_array_equal(g.values, [[0, 1, 2], [3, 4, 5]])


def test_float64_is_rounded_to_the_nearest_float32(tmp_path):
    largest = float(np.finfo(np.float32).max)
    values = np.array([[0.1, 1 / 3], [np.inf, np.nan], [-largest, largest * (1 + 2**-25)]])
    binmat.write(tmp_path / "g", values, row_coordinates=[0.1, 0.2, 0.3])
    g = binmat.read(tmp_path / "g")
    # Inside the range, and within half a step of its end, every value rounds as numpy rounds it.
    np.testing.assert_array_equal(g.values, values.astype(np.float32))
    assert g.values[2, 1] == np.float32(largest)
    np.testing.assert_array_equal(g.row_coordinates, np.float32([0.1, 0.2, 0.3]))


def test_grids_in_other_layouts_and_orders_are_written_row_by_row(tmp_path):
    values = np.arange(12, dtype=">f8").reshape(3, 4)
    for a in (np.asfortranarray(values), values[:, ::-1][:, ::-1], values.astype(">f4")):
        binmat.write(tmp_path / "g", a)
        np.testing.assert_array_equal(binmat.read(tmp_path / "g").values, values)


def test_a_data_array_brings_its_dimension_coordinates(tmp_path):
    a = xr.DataArray(
        np.ones((2, 3), dtype=np.float32),
        dims=("lat", "lon"),
        coords={"lat": [10.0, 20.0], "lon": [1.5, 2.5, 3.5]},
    )
    binmat.write(tmp_path / "g", a)
    g = binmat.read(tmp_path / "g")
    np.testing.assert_array_equal(g.row_coordinates, [10, 20])
    np.testing.assert_array_equal(g.column_coordinates, [1.5, 2.5, 3.5])
    binmat.write(tmp_path / "g", a.drop_vars("lon"))
    np.testing.assert_array_equal(binmat.read(tmp_path / "g").column_coordinates, [0, 1, 2])


class TestRefusals:
    cases = {
        "1-D values": (dict(values=np.ones(3)), ValueError, "2-D"),
        "3-D values": (dict(values=np.ones((2, 2, 2))), ValueError, "2-D"),
        "no rows": (dict(values=np.ones((0, 3))), ValueError, "empty"),
        "no columns": (dict(values=np.ones((3, 0))), ValueError, "empty"),
        "rows disagree": (dict(values=np.ones((2, 2)), row_coordinates=[1, 2, 3]), ValueError,
                          "row_coordinates"),
        "columns disagree": (dict(values=np.ones((2, 2)), column_coordinates=[[1, 2]]),
                             ValueError, "column_coordinates"),
        "value beyond float32": (dict(values=[[1.0, -1e39]]), ValueError, r"\(0, 1\).*float32"),
        "coordinate beyond float32": (dict(values=[[1.0]], column_coordinates=[4e38]),
                                      ValueError, "column_coordinates at 0"),
        # 2^29 columns: refused from the shape alone, so the broadcast array is never copied.
        "too many columns": (dict(values=np.broadcast_to(np.float32(0), (1, 2**29))),
                             ValueError, "536870912 columns"),
        "complex values": (dict(values=np.ones((1, 1), dtype=complex)), TypeError, "real"),
        "detect is for reading": (dict(values=[[1.0]], byte_order="detect"), ValueError,
                                  "byte_order"),
    }

    @pytest.mark.parametrize("case", sorted(cases))
    def test_nothing_is_written(self, tmp_path, case):
        arguments, error, message = self.cases[case]
        target = tmp_path / "g"
        target.write_bytes(b"kept")
        with pytest.raises(error, match=message):
            binmat.write(target, **arguments)
        assert target.read_bytes() == b"kept"
        assert os.listdir(tmp_path) == ["g"]

    def test_a_missing_directory_is_an_os_error(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            binmat.write(tmp_path / "missing" / "g", [[1.0]])


def test_masked_cells_are_stored_as_nan(tmp_path):
    data = np.ma.masked_array(np.arange(6.0).reshape(2, 3), mask=[[0, 1, 0], [0, 0, 1]])
    data.data[0, 1] = 1e300  # hidden: neither stored nor refused for its range
    binmat.write(tmp_path / "m", data, row_coordinates=np.ma.masked_array([1.0, 2.0], [0, 1]))
    g = binmat.read(tmp_path / "m")
    np.testing.assert_array_equal(g.values, [[0, np.nan, 2], [3, 4, np.nan]])
    np.testing.assert_array_equal(g.row_coordinates, [1, np.nan])


def test_dataarrays_are_stored_rows_by_the_dimension_that_holds_them(tmp_path, canonical):
    xr = pytest.importorskip("xarray")
    original = (canonical / "binary3").read_bytes()
    z = xr.open_dataset(canonical / "binary3", engine="binmat").z
    for read_back in (z, z.T, z.load().T, binmat.read(canonical / "binary3").to_xarray().T):
        binmat.write(tmp_path / "back", read_back)
        assert (tmp_path / "back").read_bytes() == original
    raster = xr.DataArray(np.arange(6.0).reshape(2, 3), dims=("y", "x"),
                          coords={"y": [10.0, 20.0], "x": [1.0, 2.0, 3.0]})
    for kwargs, shape, rows in (({}, (2, 3), [10, 20]), ({"rows": "x"}, (3, 2), [1, 2, 3]),
                                ({"columns": "y"}, (3, 2), [1, 2, 3]),
                                ({"rows": "y", "columns": "x"}, (2, 3), [10, 20])):
        binmat.write(tmp_path / "r", raster, **kwargs)
        g = binmat.read(tmp_path / "r")
        assert g.shape == shape and list(g.row_coordinates) == rows, kwargs
    with pytest.raises(ValueError, match="'t' is not a dimension"):
        binmat.write(tmp_path / "r", raster, rows="t")


def test_integers_that_float32_rounds_give_one_warning_with_their_count(tmp_path):
    with pytest.warns(RuntimeWarning, match="^3 integer values of values cannot be held") as w:
        binmat.write(tmp_path / "i", np.array([[2**24 + 1, 2**24, 2**31 - 1, -(2**25) - 1]]))
    assert len(w) == 1
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        binmat.write(tmp_path / "i", np.array([[2**24, -(2**24), 7]], np.int64))
        binmat.write(tmp_path / "i", np.array([[2**63 - 2**40]], np.int64))
        binmat.write(tmp_path / "i", np.array([[2**64 - 2**40]], np.uint64))


def test_bad_paths_raise_what_open_raises(tmp_path):
    for call in (lambda p: binmat.write(p, np.ones((1, 1))), binmat.read, binmat.header):
        with pytest.raises(ValueError, match="embedded null byte"):
            call(str(tmp_path / "a\0b"))
        with pytest.raises(TypeError, match="not int"):
            call(3) if call is not binmat.read else binmat.header(3)
    assert not list(tmp_path.iterdir())


def test_a_grid_is_an_array_to_numpy_without_a_copy(canonical):
    for g in (binmat.read(canonical / "binary3"), binmat.read(canonical / "binary3", mmap=True)):
        a = np.asarray(g)
        np.testing.assert_array_equal(a, g.values)
        assert np.shares_memory(a, g.values)
    assert np.asarray(g, dtype=np.float64).dtype == np.float64
