import os

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
