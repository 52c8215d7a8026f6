"""Builds the extension tarnwick.bundle with CMake for the interpreter that runs pip.

The library, its HDF5, Blosc and libdeflate come from Debian's packages, found by the project's
CMakeLists.txt; this file only drives CMake and puts the built module into the wheel. The build
folder is build-pip/ (TARNWICK_BUILD_DIR chooses another, such as an existing build/, which is
then reused as it is configured).
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent


def version():
    text = (HERE / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(\w+ VERSION ([\d.]+)", text).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(os.environ.get("TARNWICK_BUILD_DIR", HERE / "build-pip")).resolve()
        if not (build / "CMakeCache.txt").exists():
            subprocess.run(["cmake", "-S", str(HERE), "-B", str(build), "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                            "-DTARNWICK_BUILD_TESTS=OFF", "-DTARNWICK_BUILD_BENCH=OFF",
                            f"-DPython3_EXECUTABLE={sys.executable}"], check=True)
        subprocess.run(["cmake", "--build", str(build), "-j", str(os.cpu_count() or 1), "--target", "tarnwick_python"],
                       check=True)
        built = sorted((build / "python" / "tarnwick").glob("bundle.*.so"))
        if not built:
            raise RuntimeError(f"the build left no tarnwick/bundle.*.so in {build / 'python'}")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[-1], target)


setup(version=version(), ext_modules=[Extension("tarnwick.bundle", sources=[])], cmdclass={"build_ext": CMakeBuild})
