"""Builds the extension denoisers._core through CMake, which stays the one
description of how the C++ compiles: this step configures the source tree
for the running interpreter and builds the target denoisers_core."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        tree = Path(self.build_temp).resolve() / "cmake"
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(tree), "-DCMAKE_BUILD_TYPE=Release",
             "-DDENOISERS_TESTS=OFF", f"-DDENOISERS_PYTHON={sys.executable}"],
            check=True, stdout=subprocess.DEVNULL)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", str(tree), "--target", "denoisers_core", "-j", jobs],
                       check=True)
        built = sorted((tree / "python").glob("_core*.so"))
        if not built:
            raise RuntimeError(f"CMake built no extension in {tree / 'python'} "
                               "(is pybind11-dev installed?)")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    ext_modules=[Extension("denoisers._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # Out of build/, which is the CMake release tree.
    options={"build": {"build_base": "build-python"}},
)
