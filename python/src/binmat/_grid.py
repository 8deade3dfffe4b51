"""Reading and writing whole grids, and reading a file's header."""

from __future__ import annotations

import contextlib
import os
import sys
from dataclasses import dataclass

import numpy as np

from . import _binmat

_READ_ORDERS = ("little", "big", "detect")
_WRITE_ORDERS = ("little", "big")


@dataclass(eq=False)
class Grid:
    """A grid: ``values`` (rows by columns) with ``row_coordinates`` (x) and
    ``column_coordinates`` (y), read in ``byte_order``."""

    values: np.ndarray
    row_coordinates: np.ndarray
    column_coordinates: np.ndarray
    byte_order: str = "little"

    @property
    def shape(self):
        return self.values.shape

    def to_xarray(self):
        """The grid as an ``xarray.DataArray`` named ``z`` over ``("x", "y")``."""
        import xarray as xr

        return xr.DataArray(
            self.values,
            dims=("x", "y"),
            coords={"x": self.row_coordinates, "y": self.column_coordinates},
            name="z",
        )

    def __repr__(self):
        rows, columns = self.values.shape
        return f"<binmat.Grid {rows} x {columns}, {self.byte_order}-endian>"


@dataclass(frozen=True, eq=False)
class Header:
    """Everything about a file but its values."""

    rows: int
    columns: int
    column_coordinates: np.ndarray
    stray: int  # bytes after the last complete row (0 to 3)
    byte_order: str
    first_row_offset: int
    length: int  # the file's size in bytes
    # The file as it was read, to notice it replaced or rewritten since: inode, size and
    # modification time in nanoseconds (0 for a stream).
    inode: int = 0
    file_size: int = 0
    modified: int = 0

    @property
    def shape(self):
        return (self.rows, self.columns)

    @property
    def row_bytes(self):
        """Bytes in each row: its coordinate and its values."""
        return 4 * (self.columns + 1)

    @property
    def stored_dtype(self):
        """The floats as the file holds them, in its byte order."""
        return np.dtype("<f4" if self.byte_order == "little" else ">f4")

    def __repr__(self):
        return (
            f"<binmat.Header {self.rows} x {self.columns}, {self.byte_order}-endian, "
            f"{self.stray} stray bytes>"
        )


def _check_order(byte_order, allowed):
    if byte_order not in allowed:
        names = ", ".join(f'"{name}"' for name in allowed)
        raise ValueError(f"byte_order must be one of {names}, not {byte_order!r}")


def _is_path(source):
    return isinstance(source, (str, os.PathLike))


@contextlib.contextmanager
def _naming(path):
    """Puts the file's name on an OSError that arrives without one."""
    try:
        yield
    except OSError as e:
        if e.filename is not None or e.errno is None:
            raise
        raise OSError(e.errno, e.strerror, os.fspath(path)) from None


def header(path, byte_order="little") -> Header:
    """Reads the header of the file at ``path`` and measures its rows without reading values.

    Raises ``FormatError`` for a file that ``read`` would refuse.
    """
    return _header(path, byte_order, with_row_coordinates=False)[0]


def _header(path, byte_order, with_row_coordinates):
    """The header, and with `with_row_coordinates` the row coordinates too (else None)."""
    _check_order(byte_order, _READ_ORDERS)
    if not _is_path(path):
        raise TypeError(f"header() reads a file named by a path, not {type(path).__name__}")
    with _naming(path):
        fields = _binmat.header(os.fspath(path), byte_order, with_row_coordinates)
    row_coordinates = fields.pop("row_coordinates", None)
    return Header(**fields), row_coordinates


def read(source, byte_order="little", mmap=False) -> Grid:
    """Reads a grid from a path, a binary file object or a bytes-like object.

    ``byte_order`` is "little", "big" or "detect". The arrays own their memory. With ``mmap=True``
    (paths only) ``values`` and ``row_coordinates`` are read-only views of the mapped file in its
    own byte order, and no value is read until used.
    """
    _check_order(byte_order, _READ_ORDERS)
    if mmap:
        if not _is_path(source):
            raise TypeError("mmap=True maps a file named by a path")
        return _mapped(source, byte_order)
    if _is_path(source):
        with _naming(source):
            values, rows, columns, order = _binmat.read_path(os.fspath(source), byte_order)
    else:
        values, rows, columns, order = _binmat.read_bytes(_bytes_of(source), byte_order)
    return Grid(values, rows, columns, order)


def _bytes_of(source):
    if hasattr(source, "read"):
        data = source.read()
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError("the file object must be opened in binary mode ('rb')")
        source = data
    try:
        view = memoryview(source)
    except TypeError:
        raise TypeError(
            "read() takes a path, a binary file object or a bytes-like object, "
            f"not {type(source).__name__}"
        ) from None
    if not view.c_contiguous:
        raise ValueError("the bytes to read must be contiguous")
    return view.cast("B")


def _mapped(path, byte_order):
    h = header(path, byte_order)
    rows = np.memmap(
        path, dtype=h.stored_dtype, mode="r", offset=h.first_row_offset, shape=(h.rows, h.columns + 1)
    )
    return Grid(rows[:, 1:], rows[:, 0], h.column_coordinates, h.byte_order)


def _float32(data, what):
    """data as a float32 C-contiguous array, refusing finite numbers that float32 cannot hold."""
    a = np.asarray(data)
    if a.dtype == np.float32:
        return np.ascontiguousarray(a, dtype=np.float32)
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{what} must be real numbers, not {a.dtype}")
    with np.errstate(over="ignore"):
        converted = np.ascontiguousarray(a, dtype=np.float32)
    if a.dtype.kind == "f" and a.dtype.itemsize > 4:
        overflowed = np.isinf(converted) & np.isfinite(a)
        if overflowed.any():
            where = tuple(int(i) for i in np.argwhere(overflowed)[0])
            place = where[0] if len(where) == 1 else where
            raise ValueError(
                f"{what} at {place} is {a[where]!r}, beyond the float32 range "
                "(largest magnitude 3.4028235e+38)"
            )
    return converted


def _coordinates_of(array, dimension):
    if dimension in array.coords:
        return array.coords[dimension].values
    return None


def write(
    path, values, row_coordinates=None, column_coordinates=None, byte_order="little", sync=True
):
    """Writes a grid to ``path``, which appears only once complete.

    ``values`` is any 2-D array-like, rows by columns, or a 2-D ``xarray.DataArray`` whose
    dimension coordinates become the row and column coordinates. Missing coordinates are the indices 0..n-1. Values
    are stored as float32; a finite value beyond the float32 range, shapes that disagree, an empty
    grid and a column count that a float cannot hold exactly raise ``ValueError`` before anything
    is written.

    A regular file is replaced atomically, keeping its mode, owner and extended attributes, and
    with ``sync=True`` (the default) it is on the disk when ``write`` returns; ``sync=False`` is
    faster, for scratch files. A FIFO, a device or a file with other hard links is written in
    place rather than replaced.
    """
    _check_order(byte_order, _WRITE_ORDERS)
    if not _is_path(path):
        raise TypeError(f"write() writes a file named by a path, not {type(path).__name__}")
    xr = sys.modules.get("xarray")
    if xr is not None and isinstance(values, xr.DataArray):
        if values.ndim == 2:
            first, second = values.dims
            if row_coordinates is None:
                row_coordinates = _coordinates_of(values, first)
            if column_coordinates is None:
                column_coordinates = _coordinates_of(values, second)
        values = values.values
    values = np.asarray(values)
    if values.ndim != 2:
        raise ValueError(f"values must be 2-D (rows by columns), not {values.ndim}-D")
    rows, columns = values.shape
    if rows == 0 or columns == 0:
        raise ValueError(
            f"an empty grid ({rows} x {columns}) cannot be written: a file holds at least "
            "one row and one column"
        )
    if not _binmat.storable_column_count(columns):
        raise ValueError(
            f"{columns} columns cannot be stored: the count is kept as a float, which must "
            "hold it exactly and below 2^29"
        )
    coordinates = []
    for given, n, what in (
        (row_coordinates, rows, "row_coordinates"),
        (column_coordinates, columns, "column_coordinates"),
    ):
        if given is None:
            coordinates.append(np.arange(n, dtype=np.float32))
            continue
        given = np.asarray(given)
        if given.shape != (n,):
            raise ValueError(f"{what} has shape {given.shape}, but the values need ({n},)")
        coordinates.append(_float32(given, what))
    values = _float32(values, "values")
    with _naming(path):
        _binmat.write_path(os.fspath(path), values, *coordinates, byte_order, bool(sync))
