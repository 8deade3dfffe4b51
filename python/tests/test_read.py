import errno
import io
import os
import threading

import numpy as np
import pytest

import binmat

SHAPES = {"binary1": (31, 21), "binary2": (31, 31), "binary3": (31, 31)}
CENTRE_COLUMN = {"binary1": 10, "binary2": 15, "binary3": 15}


def little(*floats):
    return np.array(floats, dtype="<f4").tobytes()


@pytest.mark.parametrize("name", sorted(SHAPES))
def test_canonical_files_have_their_shapes_titles_and_single_peak(canonical, name):
    g = binmat.read(canonical / name)
    assert g.values.shape == SHAPES[name]
    assert g.row_coordinates.shape == (SHAPES[name][0],)
    assert g.column_coordinates.shape == (SHAPES[name][1],)
    assert g.row_coordinates[0] == -3.0
    assert g.column_coordinates[0] == {"binary1": -2.0}.get(name, -3.0)
    peaks = np.argwhere(g.values == 1.0).tolist()
    assert peaks == [[15, CENTRE_COLUMN[name]]]
    assert g.byte_order == "little"


def test_canonical_files_first_values(canonical):
    assert binmat.read(canonical / "binary1").values[0, 0] == np.float32(1.0 / 14.0)
    assert binmat.read(canonical / "binary2").values[0, 0] == np.float32(np.sin(18.0) / 18.0)
    assert binmat.read(canonical / "binary3").values[0, 0] == pytest.approx(-0.000147082, abs=1e-9)
    # The titles carry the rounding that accumulated as the generator stepped along.
    titles = binmat.read(canonical / "binary1").column_coordinates[:3]
    assert titles.tobytes() == bytes.fromhex("000000c0 6666e6bf ccccccbf")


def test_every_kind_of_source_reads_the_same_grid(canonical):
    path = canonical / "binary2"
    expected = binmat.read(str(path))
    data = path.read_bytes()
    with open(path, "rb") as f:
        from_file = binmat.read(f)
    for g in (
        binmat.read(path),
        from_file,
        binmat.read(io.BytesIO(data)),
        binmat.read(data),
        binmat.read(bytearray(data)),
        binmat.read(memoryview(data)),
        binmat.read(np.frombuffer(data, dtype=np.uint8)),
    ):
        np.testing.assert_array_equal(g.values, expected.values)
        np.testing.assert_array_equal(g.row_coordinates, expected.row_coordinates)
        np.testing.assert_array_equal(g.column_coordinates, expected.column_coordinates)


@pytest.mark.parametrize("order", ["little", "detect"])
def test_a_pipe_named_by_a_path_is_read_to_its_end(canonical, tmp_path, order):
    data = (canonical / "binary2").read_bytes()
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    feeder = threading.Thread(target=pipe.write_bytes, args=(data,))
    feeder.start()
    try:
        g = binmat.read(pipe, byte_order=order)
    finally:
        feeder.join(timeout=30)
    np.testing.assert_array_equal(g.values, binmat.read(data).values)


def test_sources_it_cannot_read_are_type_errors(canonical):
    with open(canonical / "binary1", "r", encoding="latin-1") as text:
        with pytest.raises(TypeError, match="binary mode"):
            binmat.read(text)
    with pytest.raises(TypeError):
        binmat.read(12)
    with pytest.raises(TypeError, match="path"):
        binmat.read(io.BytesIO(b""), mmap=True)
    with pytest.raises(ValueError, match="byte_order"):
        binmat.read(canonical / "binary1", byte_order="middle")


def test_arrays_are_float32_contiguous_writable_and_their_own(canonical):
    data = (canonical / "binary1").read_bytes()
    for g in (binmat.read(canonical / "binary1"), binmat.read(data)):
        for a in (g.values, g.row_coordinates, g.column_coordinates):
            assert a.dtype == np.float32
            assert a.flags.c_contiguous and a.flags.writeable
            assert not isinstance(a.base, np.ndarray), "a view of some larger array"


def test_refused_bytes_name_the_defect_and_its_offset():
    cases = {
        b"": ("no_column_count", 0),
        little(0.75): ("bad_column_count", 0),
        little(-5): ("bad_column_count", 0),
        little(float("nan")): ("bad_column_count", 0),
        little(3, 0, 1): ("titles_cut_short", 12),
        little(2, 0, 1): ("no_complete_row", 12),
        little(2, 0, 1, 5, 6, 7, 9): ("row_cut_short", 24),
    }
    for data, (problem, offset) in cases.items():
        with pytest.raises(binmat.FormatError) as caught:
            binmat.read(data)
        assert (caught.value.problem, caught.value.offset) == (problem, offset), data
        assert problem in str(caught.value) and str(offset) in str(caught.value)
        assert isinstance(caught.value, ValueError)


def test_stray_bytes_after_the_last_row_are_left_and_reported(tmp_path):
    path = tmp_path / "stray"
    path.write_bytes(little(2, 0, 1, 5, 6, 7) + b"\x01\x02")
    np.testing.assert_array_equal(binmat.read(path).values, [[6, 7]])
    h = binmat.header(path)
    assert (h.rows, h.columns, h.stray, h.first_row_offset, h.row_bytes) == (1, 2, 2, 12, 12)


def test_io_failures_are_os_errors_with_errno_and_file_name(tmp_path):
    with pytest.raises(FileNotFoundError) as caught:
        binmat.read(tmp_path / "missing")
    assert caught.value.errno == errno.ENOENT
    assert caught.value.filename == str(tmp_path / "missing")
    with pytest.raises(IsADirectoryError) as caught:
        binmat.header(tmp_path)
    assert caught.value.filename == str(tmp_path)


def test_big_endian_files_read_in_their_order_and_are_detected(canonical, tmp_path):
    g = binmat.read(canonical / "binary3")
    path = tmp_path / "big"
    binmat.write(path, g.values, g.row_coordinates, g.column_coordinates, byte_order="big")
    raw = path.read_bytes()
    assert raw[:4] == np.array([31], dtype=">f4").tobytes()
    for order in ("big", "detect"):
        back = binmat.read(path, byte_order=order)
        assert back.byte_order == "big"
        assert back.values.tobytes() == g.values.tobytes()
        assert back.row_coordinates.tobytes() == g.row_coordinates.tobytes()
    assert binmat.header(path, byte_order="detect").byte_order == "big"
    with pytest.raises(binmat.FormatError):
        binmat.read(path)


class TestMapped:
    def test_views_the_file_in_its_own_order_read_only(self, canonical, tmp_path):
        expected = binmat.read(canonical / "binary3")
        path = tmp_path / "big"
        binmat.write(path, expected.values, expected.row_coordinates,
                     expected.column_coordinates, byte_order="big")
        for source in (canonical / "binary3", path):
            g = binmat.read(source, byte_order="detect", mmap=True)
            np.testing.assert_array_equal(g.values, expected.values)
            np.testing.assert_array_equal(g.row_coordinates, expected.row_coordinates)
            np.testing.assert_array_equal(g.column_coordinates, expected.column_coordinates)
            assert not g.values.flags.writeable
            with pytest.raises(ValueError):
                g.values[0, 0] = 1

    def test_reads_values_only_when_used(self, tmp_path):
        path = tmp_path / "grid"
        binmat.write(path, np.zeros((3, 2), dtype=np.float32))
        g = binmat.read(path, mmap=True)
        with open(path, "r+b") as f:  # the last value of the middle row, rewritten in place
            f.seek(12 + 12 + 8)
            f.write(little(42.0))
        assert g.values[1, 1] == 42.0

    def test_header_and_map_of_a_huge_file_read_only_its_header(self, tmp_path):
        # 16384 columns and 2^22 rows: 256 GiB, of which only the header has blocks on disk.
        path = tmp_path / "huge"
        columns = 16384
        with open(path, "wb") as f:
            f.write(little(columns, *range(columns)))
            f.truncate((columns + 1) * 4 * (2**22 + 1))
        h = binmat.header(path)
        assert (h.rows, h.columns, h.stray) == (2**22, columns, 0)
        g = binmat.read(path, mmap=True)
        assert g.values.shape == (2**22, columns)
        assert g.column_coordinates[-1] == columns - 1
        assert g.values[2**21, 5] == 0.0
