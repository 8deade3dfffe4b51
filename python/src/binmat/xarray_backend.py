"""binmat files in xarray: ``xarray.open_dataset(path, engine="binmat")``.

A file opens as a Dataset with one variable ``z`` over ``("x", "y")``: ``x`` runs along the rows and
``y`` along the columns, and the coordinate variables hold their coordinates. Opening reads the header
and the row coordinates (the header alone when ``x`` is dropped); values are read when used, a block
of whole rows at a time, by whichever process computes them. A file replaced or rewritten after
it was opened raises ``binmat.FileChangedError`` rather than mix the data of two files.
"""

from __future__ import annotations

import os

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from . import _binmat
from ._grid import _header


class BinmatBackendArray(BackendArray):
    """The values of one file, read on demand. It holds the file's name and shape but no open
    file or map, so it pickles for dask's worker processes."""

    def __init__(self, path, h):
        self.path = path
        self.shape = (h.rows, h.columns)
        self.dtype = np.dtype(np.float32)
        self.byte_order = h.byte_order
        self.first_row_offset = h.first_row_offset
        # The file as it was opened: a read from a file replaced or rewritten since is refused
        # rather than mixed with what was read before. No device number: workers on other hosts
        # see the same file under another one.
        self.identity = (h.inode, h.file_size, h.modified)

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.BASIC, self._read
        )

    def _read(self, key):
        rows, columns = key
        first, stop, step = (
            rows.indices(self.shape[0]) if isinstance(rows, slice) else (rows, rows + 1, 1)
        )
        count = max(stop - first, 0)
        values, _ = _binmat.read_rows(
            self.path, self.byte_order, self.shape[0], self.shape[1], self.first_row_offset,
            *self.identity, first, count,
        )
        values = values[::step][:, columns]
        if not isinstance(rows, slice):
            values = values[0]
        return values


def open_binmat(path, byte_order="little", drop_variables=None):
    path = os.fspath(path)
    drop = set([drop_variables] if isinstance(drop_variables, str) else drop_variables or ())
    # The row coordinates lie one in each row, so reading them costs a read per row; without x,
    # opening reads the header alone, however large the file.
    h, row_coordinates = _header(path, byte_order, with_row_coordinates="x" not in drop)
    data = indexing.LazilyIndexedArray(BinmatBackendArray(path, h))
    variables = {}
    if "z" not in drop:
        variables["z"] = xr.Variable(("x", "y"), data, encoding={"dtype": np.dtype(np.float32)})
    coords = {}
    if "x" not in drop:
        coords["x"] = xr.Variable(("x",), row_coordinates, {"long_name": "row coordinate"})
    if "y" not in drop:
        coords["y"] = xr.Variable(
            ("y",), h.column_coordinates, {"long_name": "column coordinate"}
        )
    return xr.Dataset(variables, coords=coords, attrs={"byte_order": h.byte_order})


class BinmatBackendEntrypoint(BackendEntrypoint):
    """Opens binary matrix files; ``byte_order`` ("little", "big" or "detect") passes through."""

    description = "Binary matrix files of float32 grids with row and column coordinates"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "byte_order")

    def open_dataset(self, filename_or_obj, *, drop_variables=None, byte_order="little"):
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            raise TypeError(
                "the binmat engine opens files named by a path, not "
                f"{type(filename_or_obj).__name__}"
            )
        return open_binmat(filename_or_obj, byte_order, drop_variables)

    def guess_can_open(self, filename_or_obj):
        # Only what is laid out as a whole little-endian file with nothing left over: many files
        # of other kinds begin with four bytes that would pass for a column count, but few have
        # the length to match.
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            return False
        return _binmat.whole_file(os.fspath(filename_or_obj))
