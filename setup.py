"""The build step pyproject.toml's setuptools runs: libvantrel built with CMake into the package.

    python/vantrel/*.py  ───────────────────────────────┐
    cmake (Release, only the target vantrel_capi) ─► libvantrel.so.1 ─► <wheel>/vantrel/
                                                     _library.py: LIBRARY = "libvantrel.so.1"

CMake needs what the programs need to configure (scripts/packages.sh: g++, cmake, pkgconf,
libsndfile1-dev, libsoxr-dev); the library then needs libsoxr at run time. CMAKE_ARGS in the
environment is passed on to CMake (e.g. -DCMAKE_CXX_COMPILER_LAUNCHER=ccache). The wheel holds a
compiled library, so it is tagged for this platform.
"""
import os
import shlex
import shutil
import subprocess
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

ROOT = Path(__file__).resolve().parent
LIBRARY = "libvantrel.so.1"


class BuildWithLibrary(build_py):
    """build_py, then libvantrel built and placed beside the module's files."""

    def run(self) -> None:
        super().run()
        temp = Path(self.get_finalized_command("build").build_temp).resolve() / "cmake"
        jobs = str(os.cpu_count() or 1)
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(temp), "-DCMAKE_BUILD_TYPE=Release",
                        "-DVANTREL_TESTS=OFF", "-DVANTREL_PACKAGE=OFF",
                        *shlex.split(os.environ.get("CMAKE_ARGS", ""))], check=True)
        subprocess.run(["cmake", "--build", str(temp), "--target", "vantrel_capi", "-j", jobs],
                       check=True)
        package = Path(self.build_lib) / "vantrel"
        shutil.copyfile((temp / "capi" / LIBRARY).resolve(), package / LIBRARY)
        (package / "_library.py").write_text(
            "# Written by setup.py: the C library the module loads, relative to this folder.\n"
            f'LIBRARY = "{LIBRARY}"\n')


class PlatformDistribution(Distribution):
    def has_ext_modules(self) -> bool:  # a compiled library inside: a platform wheel
        return True


setup(cmdclass={"build_py": BuildWithLibrary}, distclass=PlatformDistribution,
      options={"build": {"build_base": "build-python"}})
