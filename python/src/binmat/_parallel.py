"""Writing a dask-backed grid from the workers that hold it, each block of rows where the layout
places it, without gathering the grid anywhere."""

from __future__ import annotations

import os
import stat
import warnings
from typing import Any, Hashable, Optional

import numpy as np

from . import _binmat
from ._grid import _WRITE_ORDERS, _check_order, _converted, _naming, _prepared, warn_rounded
from ._grid import write
from ._source import checked_path, is_url


def to_binmat(
    obj: Any,
    path,
    *,
    rows: Optional[Hashable] = None,
    columns: Optional[Hashable] = None,
    byte_order: str = "little",
    sync: bool = True,
) -> None:
    """Writes a 2-D ``xarray.DataArray`` (or a Dataset of one variable, or a dask array) to
    ``path`` from the processes that compute it, in parallel: each task writes its rows at their
    offsets and the client holds only the coordinates. ``rows=`` and ``columns=`` name the
    dimensions as for ``binmat.write``, whose file this one is byte for byte.

    The tasks write a hidden file beside the target, so ``path`` must lie on a file system that
    every worker sees under the same name (a URL is refused). The file takes the target's name,
    synced unless ``sync=False``, only once every block is written; on any failure nothing is
    left. An array that is not a dask array is written by ``binmat.write``.
    """
    _check_order(byte_order, _WRITE_ORDERS)
    if is_url(path):
        raise ValueError(
            "to_binmat writes through a file system that every worker sees under one path, "
            f"not a URL: {path}"
        )
    path = checked_path(path, "to_binmat()")
    values, row_coordinates, column_coordinates = _prepared(
        obj, None, None, rows, columns, lazy=True
    )
    if not hasattr(values, "dask"):
        write(path, values, row_coordinates, column_coordinates, byte_order, sync)
        return
    import dask.array as da

    if values.dtype.kind not in "biuf":
        raise TypeError(f"values must be real numbers, not {values.dtype}")
    values = values.rechunk({1: -1})  # whole rows in every block
    coordinates = da.from_array(row_coordinates, chunks=(values.chunks[0],))[:, None]
    try:
        existing = os.stat(path)
    except FileNotFoundError:
        existing = None
    if existing is not None and (not stat.S_ISREG(existing.st_mode) or existing.st_nlink > 1):
        # Opening a FIFO would wait for its reader; none of these can be replaced whole.
        raise ValueError(
            f"to_binmat writes a regular file, replaced whole, and {path!r} is a FIFO, a device "
            "or a file with other hard links: use binmat.write"
        )
    with _naming(path):
        out = _binmat.SharedOutput(path, column_coordinates, values.shape[0], byte_order, sync)
    try:
        counts = da.map_blocks(
            _write_block,
            values,
            coordinates,
            hidden=str(out.name),
            byte_order=byte_order,
            sync=bool(sync),
            dtype=np.int64,
            chunks=((1,) * len(values.chunks[0]), (1,)),
            meta=np.empty((0, 0), np.int64),
        ).compute()
        with _naming(path):
            out.commit()
    except BaseException:
        out.discard()
        raise
    warn_rounded(int(counts.sum()), "values")


def _write_block(values, coordinates, hidden, byte_order, sync, block_info=None):
    """One block of whole rows, written in place; how many of its integers float32 rounded."""
    first = block_info[0]["array-location"][0][0]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        converted, rounded = _converted(values, "values")
    _binmat.write_rows(
        hidden, first, np.ascontiguousarray(coordinates[:, 0], np.float32), converted, byte_order,
        sync,
    )
    return np.array([[rounded]], np.int64)
