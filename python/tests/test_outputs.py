"""What binmat.write does to each kind of path it is given: it replaces a regular file whole and
keeps its attributes, writes in place what cannot be replaced, and refuses with open()'s errors."""

import os
import stat
import threading

import numpy as np
import pytest

import binmat

VALUES = np.arange(6, dtype=np.float32).reshape(2, 3)


def expected_bytes(tmp_path):
    binmat.write(tmp_path / "expected", VALUES, sync=False)
    return (tmp_path / "expected").read_bytes()


def reading(path, into):
    """Reads what arrives at a FIFO or a pipe's read end on a thread of its own."""

    def read():
        with open(path, "rb") as f:
            into.append(f.read())

    t = threading.Thread(target=read)
    t.start()
    return t


def test_a_regular_file_is_replaced_whole_keeping_its_mode_and_attributes(tmp_path):
    target = tmp_path / "data"
    target.write_bytes(b"old")
    target.chmod(0o640)
    try:
        os.setxattr(target, "user.note", b"kept")
        attributes = True
    except OSError:
        attributes = False
    (tmp_path / "link").symlink_to("data")
    before = target.stat().st_ino
    binmat.write(tmp_path / "link", VALUES)
    assert target.read_bytes() == expected_bytes(tmp_path)
    assert target.stat().st_ino != before and (tmp_path / "link").is_symlink()
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    if attributes:
        assert os.getxattr(target, "user.note") == b"kept"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["data", "expected", "link"]


def test_what_cannot_be_replaced_is_written_in_place(tmp_path):
    expected = expected_bytes(tmp_path)
    # A file with another name.
    (tmp_path / "one").write_bytes(b"old")
    os.link(tmp_path / "one", tmp_path / "two")
    binmat.write(tmp_path / "one", VALUES)
    assert (tmp_path / "two").read_bytes() == expected
    # A FIFO, which stays one.
    os.mkfifo(tmp_path / "fifo")
    got = []
    reader = reading(tmp_path / "fifo", got)
    binmat.write(tmp_path / "fifo", VALUES)
    reader.join()
    assert got == [expected] and stat.S_ISFIFO((tmp_path / "fifo").stat().st_mode)
    # A descriptor of this process, through /proc/self/fd: written through, left open.
    read_end, write_end = os.pipe()
    got = []
    reader = reading(read_end, got)
    binmat.write(f"/proc/self/fd/{write_end}", VALUES)
    os.close(write_end)
    reader.join()
    assert got == [expected]
    # A null device of our own, where this process may make one.
    try:
        os.mknod(tmp_path / "null", 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    except PermissionError:
        return
    binmat.write(tmp_path / "null", VALUES, sync=False)
    assert stat.S_ISCHR((tmp_path / "null").stat().st_mode)


@pytest.mark.parametrize(
    "name, error",
    [
        ("sub", IsADirectoryError),
        ("missing/x", FileNotFoundError),
        ("loop", OSError),
    ],
)
def test_a_path_that_cannot_be_written_raises_opens_error_and_changes_nothing(
    tmp_path, name, error
):
    (tmp_path / "sub").mkdir()
    (tmp_path / "loop").symlink_to("loop")
    with pytest.raises(error) as caught:
        binmat.write(tmp_path / name, VALUES)
    assert caught.value.filename == str(tmp_path / name)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["loop", "sub"]


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not bind root")
def test_an_unwritable_directory_or_file_raises_permission_error(tmp_path):
    (tmp_path / "locked").mkdir(mode=0o500)
    (tmp_path / "read_only").write_bytes(b"old")
    (tmp_path / "read_only").chmod(0o400)
    for name in ("locked/x", "read_only"):
        with pytest.raises(PermissionError):
            binmat.write(tmp_path / name, VALUES)
    assert (tmp_path / "read_only").read_bytes() == b"old"
    (tmp_path / "locked").chmod(0o700)
