"""Where the tests find the project's programs and files.

CTest passes BF_TEST and BINMAT_TOOL; run by hand, the tests look in the dev build.
"""

import os
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def _program(variable, default):
    path = Path(os.environ.get(variable, ROOT / "build" / "dev" / default))
    if not path.is_file():
        pytest.skip(f"{path} is not built: build the dev preset or set {variable}")
    return path


@pytest.fixture(scope="session")
def binmat_tool():
    return _program("BINMAT_TOOL", "binmat")


@pytest.fixture(scope="session")
def fuzz_inputs():
    """Every input the fuzzers keep: their seeds and the findings kept as regressions."""
    return sorted(p for p in (ROOT / "fuzz").glob("*/*/*") if p.is_file())


@pytest.fixture(scope="session")
def canonical(tmp_path_factory):
    """The directory holding binary1, binary2 and binary3 as the generator writes them."""
    generator = _program("BF_TEST", "bf_test")
    directory = tmp_path_factory.mktemp("canonical")
    subprocess.run([generator], cwd=directory, check=True, capture_output=True, timeout=60)
    return directory
