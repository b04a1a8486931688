# SPDX-License-Identifier: MIT
# The native part for pip: CMake builds the target conemask_python from the
# repository two levels up (the program's own sources and kernels) for the
# interpreter that runs this build, and its shared object goes into the wheel.
# The version is the repository's, from its VERSION file.
import os
import shutil
import subprocess
import sys

import pybind11
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext


SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def repository_version():
    with open(os.path.join(SOURCE, "VERSION"), encoding="ascii") as version:
        return version.readline().strip()


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        source = SOURCE
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        subprocess.run(["cmake", "-S", source, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        "-DBUILD_TESTING=OFF", "-DCONEMASK_HARDEN=ON", "-DCONEMASK_PYTHON=ON",
                        f"-DCONEMASK_PYTHON_EXECUTABLE={sys.executable}", f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"],
                       check=True)
        subprocess.run(["cmake", "--build", build, "--target", "conemask_python"], check=True)
        built = os.path.join(build, "site", "conemask", os.path.basename(self.get_ext_filename(ext.name)))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)


setup(version=repository_version(), ext_modules=[Extension("conemask._conemask", sources=[])], cmdclass={"build_ext": CMakeBuild})
