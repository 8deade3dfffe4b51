"""Reading and writing whole grids, and reading a file's header."""

from __future__ import annotations

import contextlib
import os
import sys
import warnings
from dataclasses import dataclass
from typing import Any, Hashable, Optional

import numpy as np

from . import _binmat
from ._source import checked_path, is_url, source_of

_READ_ORDERS = ("little", "big", "detect")
# In a variable's encoding: the dimensions that hold a binmat file's rows and columns, so that a
# grid read and transposed is written back as it was read.
DIMENSIONS_KEY = "binmat_dimensions"
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
    def shape(self) -> tuple:
        return self.values.shape

    def __array__(self, dtype=None):
        return self.values if dtype is None else self.values.astype(dtype, copy=False)

    @property
    def __array_interface__(self) -> dict:
        # The values' own memory, a mapped file's included: numpy takes it without a copy.
        return self.values.__array_interface__

    def to_xarray(self):
        """The grid as an ``xarray.DataArray`` named ``z`` over ``("x", "y")``."""
        import xarray as xr

        z = xr.DataArray(
            self.values,
            dims=("x", "y"),
            coords={"x": self.row_coordinates, "y": self.column_coordinates},
            name="z",
        )
        z.encoding[DIMENSIONS_KEY] = ("x", "y")
        return z

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


def header(path, byte_order: str = "little", storage_options: Optional[dict] = None) -> Header:
    """Reads the header of the file at ``path`` (or an fsspec URL) and measures its rows without
    reading values.

    Raises ``FormatError`` for a file that ``read`` would refuse.
    """
    return _header(path, byte_order, False, storage_options)[0]


def _header(path, byte_order, with_row_coordinates, storage_options=None):
    """The header, and with `with_row_coordinates` the row coordinates too (else None)."""
    _check_order(byte_order, _READ_ORDERS)
    if not (_is_path(path) or is_url(path)):
        raise TypeError(f"header() reads a file named by a path, not {type(path).__name__}")
    source = source_of(path, storage_options, "header()")
    with _naming(source.name):
        return source.header(byte_order, with_row_coordinates)


def read(
    source, byte_order: str = "little", mmap: bool = False, storage_options: Optional[dict] = None
) -> Grid:
    """Reads a grid from a path, an fsspec URL, a binary file object or a bytes-like object.

    ``byte_order`` is "little", "big" or "detect". The arrays own their memory. With ``mmap=True``
    (paths only) ``values`` and ``row_coordinates`` are read-only views of the mapped file in its
    own byte order, and no value is read until used. ``storage_options`` go to fsspec for URLs.
    """
    _check_order(byte_order, _READ_ORDERS)
    if mmap:
        if not _is_path(source):
            raise TypeError("mmap=True maps a file named by a path")
        return _mapped(checked_path(source, "read()"), byte_order)
    if is_url(source):
        import fsspec

        with fsspec.open(source, "rb", **(storage_options or {})) as f:
            data = f.read()
        values, rows, columns, order = _binmat.read_bytes(memoryview(data), byte_order)
    elif _is_path(source):
        path = checked_path(source, "read()")
        with _naming(path):
            values, rows, columns, order = _binmat.read_path(path, byte_order)
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
    """data as a float32 C-contiguous array (see _converted), with one warning for integers that
    float32 rounds."""
    converted, rounded = _converted(data, what)
    warn_rounded(rounded, what)
    return converted


def warn_rounded(rounded, what):
    if rounded:
        warnings.warn(
            f"{rounded} integer {'value' if rounded == 1 else 'values'} of {what} "
            "cannot be held exactly by float32 (integers beyond 2^24 = 16777216 in "
            "magnitude) and were rounded",
            RuntimeWarning,
            stacklevel=4,
        )


def _converted(data, what):
    """data as a float32 C-contiguous array, and how many of its integers float32 rounds: masked
    cells become NaN, and finite numbers beyond the float32 range are refused."""
    a = data if isinstance(data, np.ma.MaskedArray) else np.asarray(data)
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{what} must be real numbers, not {a.dtype}")
    if isinstance(a, np.ma.MaskedArray):
        mask = np.ma.getmaskarray(a)
        a = np.asarray(a.data)
    else:
        mask = None
    if a.dtype == np.float32:
        converted = np.array(a, dtype=np.float32, order="C", copy=mask is not None)
    else:
        with np.errstate(over="ignore"):
            converted = np.ascontiguousarray(a, dtype=np.float32)
    if mask is not None:
        converted[mask] = np.nan
        kept = ~mask
    else:
        kept = None
    if a.dtype.kind == "f" and a.dtype.itemsize > 4:
        overflowed = np.isinf(converted) & np.isfinite(a)
        if kept is not None:
            overflowed &= kept
        if overflowed.any():
            where = tuple(int(i) for i in np.argwhere(overflowed)[0])
            place = where[0] if len(where) == 1 else where
            raise ValueError(
                f"{what} at {place} is {a[where]!r}, beyond the float32 range "
                "(largest magnitude 3.4028235e+38)"
            )
    rounded = 0
    if a.dtype.kind in "iu" and a.dtype.itemsize > 2:
        rounded = _rounded_integers(a, converted, kept)
    return converted, rounded


def _rounded_integers(a, converted, kept):
    """How many of the integers `a` their float32 conversion does not hold exactly."""
    candidates = (a > 1 << 24) | (a < -(1 << 24))
    if kept is not None:
        candidates &= kept
    if not candidates.any():
        return 0
    big = a[candidates]
    as_float = converted[candidates].astype(np.float64)
    # A float at or past the type's end rounds an integer the type holds: inexact for certain.
    end = 2.0 ** (8 * a.dtype.itemsize - (1 if a.dtype.kind == "i" else 0))
    beyond = as_float >= end
    with np.errstate(invalid="ignore"):
        back = np.where(beyond, 0, as_float).astype(a.dtype)
    return int(np.count_nonzero(beyond | (back != big)))


def _coordinates_of(array, dimension):
    if dimension in array.coords:
        return array.coords[dimension].values
    return None


def _grid_of(values, rows, columns):
    """From an xarray object: the values as rows by columns, and the coordinates of each."""
    xr = sys.modules.get("xarray")
    if xr is None or not isinstance(values, (xr.DataArray, xr.Dataset)):
        if rows is not None or columns is not None:
            raise TypeError("rows= and columns= name the dimensions of an xarray.DataArray")
        return values, None, None
    if isinstance(values, xr.Dataset):
        names = list(values.data_vars)
        if len(names) != 1:
            raise ValueError(
                f"the Dataset holds {len(names)} variables ({', '.join(map(str, names))}): "
                "write one of them, ds[name]"
            )
        values = values[names[0]]
    if values.ndim != 2:
        raise ValueError(f"values must be 2-D (rows by columns), not {values.ndim}-D")
    dims = tuple(values.dims)
    if rows is None and columns is None:
        stored = values.encoding.get(DIMENSIONS_KEY)
        if stored is not None and set(stored) == set(dims):
            rows, columns = stored
        else:
            rows, columns = dims
    elif rows is None:
        rows = next(d for d in dims if d != columns) if columns in dims else None
    elif columns is None:
        columns = next(d for d in dims if d != rows) if rows in dims else None
    for name, given in (("rows", rows), ("columns", columns)):
        if given not in dims:
            raise ValueError(f"{name}={given!r} is not a dimension of the DataArray {dims}")
    if rows == columns:
        raise ValueError(f"rows and columns name the same dimension {rows!r}")
    values = values.transpose(rows, columns)
    return values, _coordinates_of(values, rows), _coordinates_of(values, columns)


def _prepared(values, row_coordinates, column_coordinates, rows=None, columns=None, lazy=False):
    """Everything write() checks before a byte is written: the values rows by columns (a dask
    array stays one when `lazy`), and both coordinate arrays as float32."""
    values, from_rows, from_columns = _grid_of(values, rows, columns)
    row_coordinates = from_rows if row_coordinates is None else row_coordinates
    column_coordinates = from_columns if column_coordinates is None else column_coordinates
    if hasattr(values, "dims"):  # a DataArray, rows by columns now
        values = values.data if lazy else values.values
    if not (lazy and hasattr(values, "dask")) and not isinstance(values, np.ma.MaskedArray):
        values = np.asarray(values)
    if values.ndim != 2:
        raise ValueError(f"values must be 2-D (rows by columns), not {values.ndim}-D")
    n_rows, n_columns = values.shape
    if n_rows == 0 or n_columns == 0:
        raise ValueError(
            f"an empty grid ({n_rows} x {n_columns}) cannot be written: a file holds at least "
            "one row and one column"
        )
    if not _binmat.storable_column_count(n_columns):
        raise ValueError(
            f"{n_columns} columns cannot be stored: the count is kept as a float, which must "
            "hold it exactly and below 2^29"
        )
    coordinates = []
    for given, n, what in (
        (row_coordinates, n_rows, "row_coordinates"),
        (column_coordinates, n_columns, "column_coordinates"),
    ):
        if given is None:
            coordinates.append(np.arange(n, dtype=np.float32))
            continue
        given = given if isinstance(given, np.ma.MaskedArray) else np.asarray(given)
        if given.shape != (n,):
            raise ValueError(f"{what} has shape {given.shape}, but the values need ({n},)")
        coordinates.append(_float32(given, what))
    return values, coordinates[0], coordinates[1]


def write(
    path,
    values,
    row_coordinates=None,
    column_coordinates=None,
    byte_order: str = "little",
    sync: bool = True,
    *,
    rows: Optional[Hashable] = None,
    columns: Optional[Hashable] = None,
) -> None:
    """Writes a grid to ``path``, which appears only once complete.

    ``values`` is any 2-D array-like, rows by columns (masked cells are stored as NaN), or a 2-D
    ``xarray.DataArray`` whose dimension coordinates become the row and column coordinates.
    ``rows=`` and ``columns=`` name the DataArray's dimensions that hold the rows and the columns;
    without them, a DataArray read from a binmat file keeps its own dimensions' roles however it
    was transposed, and any other is taken by position (a GIS raster's ``(y, x)`` stores ``y`` as
    the rows). Missing coordinates are the indices 0..n-1. Values are stored as float32: a finite
    value beyond the float32 range, shapes that disagree, an empty grid and a column count that a
    float cannot hold exactly raise ``ValueError`` before anything is written, and integers that
    float32 rounds give one ``RuntimeWarning`` with their count.

    A regular file is replaced atomically, keeping its mode, owner and extended attributes, and
    with ``sync=True`` (the default) it is on the disk when ``write`` returns; ``sync=False`` is
    faster, for scratch files. A FIFO, a device or a file with other hard links is written in
    place rather than replaced.
    """
    _check_order(byte_order, _WRITE_ORDERS)
    if not _is_path(path):
        raise TypeError(f"write() writes a file named by a path, not {type(path).__name__}")
    path = checked_path(path, "write()")
    values, row_coordinates, column_coordinates = _prepared(
        values, row_coordinates, column_coordinates, rows, columns
    )
    values = _float32(values, "values")
    with _naming(path):
        _binmat.write_path(path, values, row_coordinates, column_coordinates, byte_order, bool(sync))
