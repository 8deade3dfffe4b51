"""GDAL's own programs and Python bindings against the driver in the build tree.

CTest passes GDAL_DRIVER_PATH (the build's gdalplugins), BF_TEST and BINMAT_TOOL; the driver is
never installed for the tests.
"""

import os
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PLUGINS = Path(os.environ.get("GDAL_DRIVER_PATH", ROOT / "build" / "dev" / "gdalplugins"))


def _program(variable, default):
    path = Path(os.environ.get(variable, ROOT / "build" / "dev" / default))
    if not path.is_file():
        pytest.skip(f"{path} is not built: build the dev preset or set {variable}")
    return path


@pytest.fixture(scope="session")
def binmat_tool():
    return _program("BINMAT_TOOL", "binmat")


@pytest.fixture(scope="session")
def canonical(tmp_path_factory):
    """A directory holding binary1, binary2 and binary3 as the generator writes them."""
    directory = tmp_path_factory.mktemp("canonical")
    subprocess.run([_program("BF_TEST", "bf_test")], cwd=directory, check=True, timeout=60)
    return directory


def gdal(*args, plugins=True, cwd=None, check=True):
    """Runs one of GDAL's programs, with the driver or without it (an empty plugin directory)."""
    env = dict(os.environ)
    env["GDAL_DRIVER_PATH"] = str(PLUGINS) if plugins else str(ROOT / "gdal" / "tests")
    return subprocess.run(
        [str(a) for a in args], cwd=cwd, env=env, check=check, capture_output=True, text=True,
        timeout=120,
    )
