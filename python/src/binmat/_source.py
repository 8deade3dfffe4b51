"""Where a file's bytes come from: a local path, an fsspec URL or file, or an open file object.

Each source reads a header, the row coordinates and blocks of rows or of columns, and refuses to
read on from a file that was replaced or changed since its header was read. Local and fsspec
sources pickle, so that dask's workers read for themselves; each opens the file anew.
"""

from __future__ import annotations

import errno
import os
import re
import threading
from typing import Any

import numpy as np

from . import _binmat
from ._errors import FileChangedError

_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*(::[A-Za-z][A-Za-z0-9+.-]*)*://")
_ROW_COORDINATE_BLOCK = 16 << 20  # bytes of short rows fetched at a time for their coordinates


def checked_path(path: Any, what: str) -> str:
    """A local path as open() takes it: TypeError for what is not one, ValueError for a NUL."""
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"{what} takes a path (str or os.PathLike), not {type(path).__name__}")
    path = os.fsdecode(os.fspath(path))
    if "\0" in path:
        raise ValueError("embedded null byte")
    return path


def is_url(source: Any) -> bool:
    return isinstance(source, str) and _URL.match(source) is not None


def source_of(source: Any, storage_options: dict | None = None, what: str = "open") -> Any:
    """The source that reads `source`: a path, an fsspec URL, an fsspec OpenFile or file, or a
    binary file object with seek and read."""
    if is_url(source):
        import fsspec

        fs, path = fsspec.core.url_to_fs(source, **(storage_options or {}))
        return FsspecSource(fs, path, source)
    if isinstance(source, (str, os.PathLike)):
        return LocalSource(checked_path(source, what))
    if hasattr(source, "fs") and hasattr(source, "path"):  # fsspec's OpenFile and files
        return FsspecSource(source.fs, source.path, getattr(source, "full_name", source.path))
    if hasattr(source, "read") and hasattr(source, "seek"):
        return FileObjectSource(source)
    raise TypeError(
        f"{what} takes a path, an fsspec URL or a binary file object, not {type(source).__name__}"
    )


def _fields(h):
    return _binmat.FileFields(
        h.byte_order, h.rows, h.columns, h.first_row_offset, h.inode, h.file_size, h.modified
    )


class LocalSource:
    """A file on a local or shared file system, read by the library where its rows lie."""

    # A narrower selection than this leaves of each row is read whole: below a few pages the
    # system reads the rest anyway.
    narrow_gap = 16 << 10

    def __init__(self, path: str):
        self.path = path
        self.name = path

    def header(self, byte_order, with_row_coordinates):
        from ._grid import Header

        fields = _binmat.header(self.path, byte_order, with_row_coordinates)
        row_coordinates = fields.pop("row_coordinates", None)
        return Header(**fields), row_coordinates

    def rows(self, h, first, count):
        return _binmat.read_rows(self.path, _fields(h), first, count)

    def columns(self, h, first, count, first_column, width):
        return _binmat.read_columns(self.path, _fields(h), first, count, first_column, width)


class _ByteSource:
    """A source that fetches byte ranges; the header is parsed and rows decoded by the library."""

    def _identity(self):
        raise NotImplementedError

    def _fetch(self, start, stop) -> bytes:
        raise NotImplementedError

    def _fetch_many(self, starts, stops) -> list:
        return [self._fetch(a, b) for a, b in zip(starts, stops)]

    def header(self, byte_order, with_row_coordinates):
        from ._grid import Header

        identity = self._identity()
        length = identity[0]
        four = self._fetch(0, min(4, length))
        orders = ("little", "big") if byte_order == "detect" else (byte_order,)
        need = max(_binmat.head_bytes(four, length, o) for o in orders) if len(four) == 4 else 4
        head = four if need <= len(four) else self._fetch(0, min(need, length))
        fields = _binmat.parse_header(head, length, byte_order)
        self.identity = identity
        h = Header(**fields)
        return h, (self._row_coordinates(h) if with_row_coordinates else None)

    def _changed(self):
        return FileChangedError(
            errno.ESTALE, "the file was replaced or changed since it was opened", self.name
        )

    def _check(self):
        if self._identity() != self.identity:
            raise self._changed()

    def _row_coordinates(self, h):
        if h.rows == 0:
            return np.empty(0, np.float32)
        if h.row_bytes >= self.narrow_gap:
            # One small range for each row: the rows are long enough that fetching them costs more.
            starts = [h.first_row_offset + i * h.row_bytes for i in range(h.rows)]
            pieces = self._fetch_many(starts, [s + 4 for s in starts])
            return np.frombuffer(b"".join(pieces), h.stored_dtype).astype(np.float32)
        per_block = max(1, _ROW_COORDINATE_BLOCK // h.row_bytes)
        coordinates = np.empty(h.rows, np.float32)
        for first in range(0, h.rows, per_block):
            count = min(per_block, h.rows - first)
            start = h.first_row_offset + first * h.row_bytes
            block = self._fetch(start, start + count * h.row_bytes)
            self._whole(block, count * h.row_bytes)
            rows = np.frombuffer(block, h.stored_dtype).reshape(count, h.columns + 1)
            coordinates[first : first + count] = rows[:, 0]
        return coordinates

    def _whole(self, block, expected):
        if len(block) != expected:
            raise self._changed()

    def rows(self, h, first, count):
        self._check()
        start = h.first_row_offset + first * h.row_bytes
        block = self._fetch(start, start + count * h.row_bytes) if count else b""
        self._whole(block, count * h.row_bytes)
        return _binmat.decode_rows(block, h.columns, h.byte_order)

    def columns(self, h, first, count, first_column, width):
        self._check()
        starts = [
            h.first_row_offset + (first + i) * h.row_bytes + 4 * (first_column + 1)
            for i in range(count)
        ]
        pieces = self._fetch_many(starts, [s + 4 * width for s in starts])
        block = b"".join(pieces)
        self._whole(block, count * 4 * width)
        return np.frombuffer(block, h.stored_dtype).astype(np.float32).reshape(count, width)


class FsspecSource(_ByteSource):
    """A file behind an fsspec file system (HTTP, object stores, memory): every read is a ranged
    request for the bytes it needs, never the whole file."""

    # Each narrow piece is a request of its own: worth it only for long rows.
    narrow_gap = 256 << 10

    def __init__(self, fs, path, name):
        self.fs = fs
        self.path = path
        self.name = name

    def _identity(self):
        info = self.fs.info(self.path)
        tag = None
        for key in ("ETag", "etag", "mtime", "LastModified", "last_modified", "created"):
            if info.get(key) is not None:
                tag = str(info[key])
                break
        size = info.get("size")
        if size is None:
            raise OSError(f"{self.name}: the file system does not tell the file's size")
        return (int(size), tag)

    def _fetch(self, start, stop):
        return self.fs.cat_file(self.path, start=start, end=stop)

    def _fetch_many(self, starts, stops):
        if not starts:
            return []
        return self.fs.cat_ranges([self.path] * len(starts), starts, stops)


class FileObjectSource(_ByteSource):
    """A binary file object the caller opened: read in this process only, one read at a time."""

    narrow_gap = 16 << 10

    def __init__(self, f):
        self.f = f
        self.name = getattr(f, "name", repr(f))
        self.lock = threading.Lock()

    def __reduce__(self):
        raise TypeError(
            "an open file object cannot be sent to another process: give dask workers a path "
            "or an fsspec URL"
        )

    def _identity(self):
        with self.lock:
            return (self.f.seek(0, os.SEEK_END), None)

    def _fetch(self, start, stop):
        with self.lock:
            self.f.seek(start)
            data = self.f.read(stop - start)
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError("the file object must be opened in binary mode ('rb')")
        return bytes(data)
