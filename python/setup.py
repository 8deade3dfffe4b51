"""Builds the extension from the library's own sources, which lie beside this directory."""
from pathlib import Path

from pybind11.setup_helpers import Pybind11Extension
from setuptools import setup

root = Path(__file__).resolve().parent.parent
library = ["src/layout.cpp", "src/grid_reader.cpp", "src/grid_writer.cpp", "src/output_file.cpp"]
missing = [name for name in library if not (root / name).is_file()]
if missing:
    raise SystemExit(
        f"binmat's C++ sources are not at {root}: build the package from a clone, "
        "with `pip install ./python` run from its top directory"
    )

setup(
    package_dir={"": "src"},
    packages=["binmat"],
    ext_modules=[
        Pybind11Extension(
            "binmat._binmat",
            # Relative paths, which setuptools requires; the build runs here.
            ["src/binmat/_binmat.cpp", *[f"../{name}" for name in library]],
            include_dirs=["../include"],
            cxx_std=20,
            extra_compile_args=["-Wall", "-Wextra", "-Wpedantic", "-Wconversion"],
        )
    ],
)
