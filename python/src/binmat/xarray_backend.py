"""binmat files in xarray: ``xarray.open_dataset(path_or_url, engine="binmat")``.

A file opens as a Dataset with one variable ``z`` over ``("x", "y")``: ``x`` runs along the rows and
``y`` along the columns, and the coordinate variables hold their coordinates. Opening reads the header
and the row coordinates (the header alone when ``x`` is dropped); values are read when used, by
whichever process computes them: whole rows, or for a narrow selection of long rows only the
columns selected. ``chunks={}`` gives dask chunks of whole rows, about 128 MiB each.

Besides local paths, any fsspec URL (``http(s)://``, ``memory://``, object stores whose fsspec
package is installed) or fsspec file opens with ranged reads of the bytes each chunk needs. A file
replaced or rewritten after it was opened raises ``binmat.FileChangedError`` rather than mix the
data of two files.
"""

from __future__ import annotations

import os
from typing import Any, Iterable, Optional

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from . import _binmat
from ._grid import DIMENSIONS_KEY, _check_order, _naming, _READ_ORDERS
from ._source import is_url, source_of

CHUNK_BYTES = 128 << 20  # the dask chunks chunks={} gives: whole rows, about this many bytes


class BinmatBackendArray(BackendArray):
    """The values of one file, read on demand. It holds where the file is and its header but no
    open file or map, so it pickles for dask's worker processes."""

    def __init__(self, source, h):
        self.source = source
        self.header = h
        self.shape = (h.rows, h.columns)
        self.dtype = np.dtype(np.float32)

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.BASIC, self._read
        )

    def _read(self, key):
        rows, columns = key
        h = self.header
        first, stop, step = (
            rows.indices(h.rows) if isinstance(rows, slice) else (rows, rows + 1, 1)
        )
        count = max(stop - first, 0)
        left, right, column_step = (
            columns.indices(h.columns) if isinstance(columns, slice) else (columns, columns + 1, 1)
        )
        width = len(range(left, right, column_step))
        span = (width - 1) * column_step + 1 if width else 0
        if count == 0 or width == 0:
            values = np.empty((len(range(first, stop, step)), width), np.float32)
        elif 2 * 4 * span <= h.row_bytes and h.row_bytes - 4 * span >= self.source.narrow_gap:
            with _naming(self.source.name):
                values = self.source.columns(h, first, count, left, span)
            values = values[::step, ::column_step]
        else:
            with _naming(self.source.name):
                values, _ = self.source.rows(h, first, count)
            values = values[::step, left:right:column_step]
        if not isinstance(columns, slice):
            values = values[:, 0]
        if not isinstance(rows, slice):
            values = values[0]
        return values


def _nothing_to_close():
    """The file is opened afresh for each read: nothing stays open to close."""


def open_binmat(
    filename_or_obj, byte_order="little", drop_variables=None, storage_options=None
) -> xr.Dataset:
    _check_order(byte_order, _READ_ORDERS)
    source = source_of(filename_or_obj, storage_options, "open_dataset()")
    drop = set([drop_variables] if isinstance(drop_variables, str) else drop_variables or ())
    # The row coordinates lie one in each row; without x, opening reads the header alone,
    # however large the file.
    with _naming(source.name):
        h, row_coordinates = source.header(byte_order, "x" not in drop)
    data = indexing.LazilyIndexedArray(BinmatBackendArray(source, h))
    variables = {}
    if "z" not in drop:
        rows_per_chunk = max(1, min(h.rows, CHUNK_BYTES // (4 * h.columns)))
        encoding = {
            "dtype": np.dtype(np.float32),
            "preferred_chunks": {"x": rows_per_chunk, "y": h.columns},
            "byte_order": h.byte_order,
            DIMENSIONS_KEY: ("x", "y"),
        }
        variables["z"] = xr.Variable(("x", "y"), data, encoding=encoding)
    coords = {}
    if "x" not in drop:
        coords["x"] = xr.Variable(("x",), row_coordinates, {"long_name": "row coordinate"})
    if "y" not in drop:
        coords["y"] = xr.Variable(
            ("y",), h.column_coordinates, {"long_name": "column coordinate"}
        )
    ds = xr.Dataset(variables, coords=coords, attrs={"byte_order": h.byte_order})
    ds.set_close(_nothing_to_close)
    return ds


class BinmatBackendEntrypoint(BackendEntrypoint):
    """Opens binary matrix files from a path, an fsspec URL or a file object.

    ``byte_order`` ("little", "big" or "detect") and ``storage_options`` (for fsspec) pass through.
    The keywords that xarray passes to every engine (``mask_and_scale``, ``decode_times``,
    ``decode_timedelta``, ``use_cftime``, ``concat_characters``, ``decode_coords``) are accepted
    and ignored: a binmat file holds plain float32 values and coordinates, with nothing to decode.
    """

    description = "Binary matrix files of float32 grids with row and column coordinates"
    url = "https://github.com/binmat/binmat/tree/main/python"
    open_dataset_parameters = (
        "filename_or_obj",
        "drop_variables",
        "byte_order",
        "storage_options",
        "mask_and_scale",
        "decode_times",
        "decode_timedelta",
        "use_cftime",
        "concat_characters",
        "decode_coords",
    )

    def open_dataset(
        self,
        filename_or_obj: Any,
        *,
        drop_variables: Optional[Iterable[str]] = None,
        byte_order: str = "little",
        storage_options: Optional[dict] = None,
        mask_and_scale: Any = None,
        decode_times: Any = None,
        decode_timedelta: Any = None,
        use_cftime: Any = None,
        concat_characters: Any = None,
        decode_coords: Any = None,
    ) -> xr.Dataset:
        return open_binmat(filename_or_obj, byte_order, drop_variables, storage_options)

    def guess_can_open(self, filename_or_obj) -> bool:
        # Only a local file laid out as a whole little-endian file with nothing left over: many
        # files of other kinds begin with four bytes that would pass for a column count, but few
        # have the length to match. A URL is opened only with engine="binmat".
        if not isinstance(filename_or_obj, (str, os.PathLike)) or is_url(filename_or_obj):
            return False
        path = os.fspath(filename_or_obj)
        return "\0" not in path and _binmat.whole_file(path)
