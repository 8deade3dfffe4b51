"""A binmat file as a Zarr reference set, for readers of Zarr that know nothing of this format."""

from __future__ import annotations

import base64
import json
import os
from typing import Optional

import numpy as np

from ._grid import _READ_ORDERS, _check_order, _naming
from ._source import LocalSource, is_url, source_of


def references(source, byte_order: str = "little", storage_options: Optional[dict] = None) -> dict:
    """The file at a path or fsspec URL as a Zarr (version 2) reference set, in the form that
    fsspec's ``reference://`` file system reads: each row's values are one chunk of 1 x N at their
    byte offset in the file, the coordinates are inline, and the byte order is in the dtype. So

        refs = binmat.references("https://example.org/grid.bm")
        xr.open_dataset("reference://", engine="zarr",
                        backend_kwargs={"consolidated": False, "storage_options": {"fo": refs}})

    reads the file where it lies, a row at a time, without this package. Reading it costs what
    reading the row coordinates costs (see ``open_dataset``).
    """
    _check_order(byte_order, _READ_ORDERS)
    src = source_of(source, storage_options, "references()")
    with _naming(src.name):
        h, row_coordinates = src.header(byte_order, True)
    target = os.path.abspath(src.path) if isinstance(src, LocalSource) else source
    if not isinstance(target, str):
        raise TypeError("references() takes a path or a URL that a reader can open again")
    dtype = "<f4" if h.byte_order == "little" else ">f4"

    def array(shape, chunks, dtype, dimensions, attributes=None):
        meta = {
            "chunks": list(chunks),
            "compressor": None,
            "dtype": dtype,
            "fill_value": None,
            "filters": None,
            "order": "C",
            "shape": list(shape),
            "zarr_format": 2,
        }
        return json.dumps(meta), json.dumps({"_ARRAY_DIMENSIONS": dimensions, **(attributes or {})})

    def inline(values):
        return "base64:" + base64.b64encode(np.asarray(values, "<f4").tobytes()).decode("ascii")

    refs = {
        ".zgroup": json.dumps({"zarr_format": 2}),
        ".zattrs": json.dumps({"byte_order": h.byte_order}),
    }
    refs["z/.zarray"], refs["z/.zattrs"] = array(
        (h.rows, h.columns), (1, h.columns), dtype, ["x", "y"]
    )
    refs["x/.zarray"], refs["x/.zattrs"] = array(
        (h.rows,), (h.rows,), "<f4", ["x"], {"long_name": "row coordinate"}
    )
    refs["x/0"] = inline(row_coordinates)
    refs["y/.zarray"], refs["y/.zattrs"] = array(
        (h.columns,), (h.columns,), "<f4", ["y"], {"long_name": "column coordinate"}
    )
    refs["y/0"] = inline(h.column_coordinates)
    values = 4 * h.columns
    for i in range(h.rows):
        refs[f"z/{i}.0"] = [target, h.first_row_offset + i * h.row_bytes + 4, values]
    return {"version": 1, "refs": refs}
