"""Builds the extension with the project's own CMake build, from the library's targets.

Given BINMAT_CMAKE_BUILD_DIR, a configured build of the whole project (the test command's), the
extension that build makes is used; otherwise the library and the extension alone are built in
setuptools' temporary directory.
"""
import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

root = Path(__file__).resolve().parent.parent


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        if not (root / "CMakeLists.txt").is_file() or not (root / "include" / "binmat").is_dir():
            raise SystemExit(
                f"binmat's C++ sources are not at {root}: build the package from a clone, "
                "with `pip install ./python` run from its top directory"
            )
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        target.parent.mkdir(parents=True, exist_ok=True)
        build = os.environ.get("BINMAT_CMAKE_BUILD_DIR")
        if build:
            subprocess.run(["cmake", "--build", build, "--target", "binmat_python"], check=True)
            built = Path(build) / "python"
        else:
            built = Path(self.build_temp).resolve() / "cmake"
            subprocess.run(
                [
                    "cmake", "-S", str(root), "-B", str(built), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython_EXECUTABLE={sys.executable}",
                    "-DBINMAT_BUILD_PROGRAMS=OFF", "-DBINMAT_BUILD_TESTS=OFF",
                    "-DBINMAT_BUILD_BENCHMARKS=OFF", "-DBINMAT_INSTALL=OFF",
                    "-DBINMAT_TEST_PYTHON=OFF", "-DBINMAT_BUILD_PYTHON=ON",
                    f"-DBINMAT_PYTHON_OUTPUT_DIR={built / 'python'}",
                ],
                check=True,
            )
            subprocess.run(["cmake", "--build", str(built), "--target", "binmat_python"], check=True)
            built = built / "python"
        (module,) = built.glob("_binmat*.so")
        shutil.copyfile(module, target)


setup(
    package_dir={"": "src"},
    packages=["binmat"],
    package_data={"binmat": ["py.typed"]},
    ext_modules=[CMakeExtension("binmat._binmat")],
    cmdclass={"build_ext": CMakeBuild},
)
