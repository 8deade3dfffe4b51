"""Binary matrix files: a grid of float32 values with the coordinates of its rows and columns.

>>> import binmat
>>> g = binmat.read("binary1")
>>> g.values.shape, g.row_coordinates[:2], g.column_coordinates[:2]

``binmat.write`` stores any 2-D array, ``binmat.to_binmat`` a dask-backed one from the workers that
hold it, and ``xarray.open_dataset(path_or_url, engine="binmat")`` opens a file lazily as a
Dataset with one variable ``z`` over ``("x", "y")``. ``binmat.references`` describes a file for
Zarr readers.
"""

from ._errors import FileChangedError, FormatError
from ._grid import Grid, Header, header, read, write
from ._parallel import to_binmat
from ._references import references

__all__ = [
    "FileChangedError",
    "FormatError",
    "Grid",
    "Header",
    "header",
    "read",
    "references",
    "to_binmat",
    "write",
]
__version__ = "1.0.0"
