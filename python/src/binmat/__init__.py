"""Binary matrix files: a grid of float32 values with the coordinates of its rows and columns.

>>> import binmat
>>> g = binmat.read("binary1")
>>> g.values.shape, g.row_coordinates[:2], g.column_coordinates[:2]

``binmat.write`` stores any 2-D array, and ``xarray.open_dataset(path, engine="binmat")`` opens a
file lazily as a Dataset with one variable ``z`` over ``("x", "y")``.
"""

from ._errors import FileChangedError, FormatError
from ._grid import Grid, Header, header, read, write

__all__ = ["FileChangedError", "FormatError", "Grid", "Header", "header", "read", "write"]
__version__ = "1.0.0"
