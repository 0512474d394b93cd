"""Builds the extension module veltn._veltn and bundles the libveltn it links against.

The library is built from the sources one directory up with CMake (only the shared library
target), copied into the package next to the extension, and found there at run time through an
$ORIGIN run path, so `import veltn` needs no environment variable. Set CMAKE_BUILD_PARALLEL_LEVEL
to change the number of compile jobs (2 by default).

The package's version is the library's, read from project(VERSION) in ../CMakeLists.txt. The
pybind11 headers come from the pybind11 package when it is importable (a build with isolation),
else from the system's include path (Debian's pybind11-dev, for --no-build-isolation).
"""
import os
import re
import shutil
import subprocess
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    found = re.search(r"^project\(veltn\s+VERSION\s+([0-9]+\.[0-9]+\.[0-9]+)", text, re.MULTILINE)
    if not found:
        raise RuntimeError(f"no project(veltn VERSION x.y.z) in {ROOT / 'CMakeLists.txt'}")
    return found.group(1)


def pybind11_includes():
    try:
        import pybind11
    except ImportError:
        return []
    return [pybind11.get_include()]


VERSION = project_version()
SONAME = "libveltn.so." + VERSION.split(".")[0]


class BuildWithLibrary(build_ext):
    def run(self):
        if not (ROOT / "include" / "veltn.h").is_file() or not (ROOT / "CMakeLists.txt").is_file():
            raise RuntimeError(f"the libveltn sources were not found in {ROOT}; install from a checkout")
        libdir = Path(self.build_temp).resolve() / "libveltn"
        cmake = shutil.which("cmake")
        if cmake is None:
            raise RuntimeError("cmake is needed to build libveltn (Debian: apt-get install cmake)")
        if not (libdir / "CMakeCache.txt").is_file():
            subprocess.run([cmake, "-S", str(ROOT), "-B", str(libdir), "-DCMAKE_BUILD_TYPE=Release",
                            "-DVELTN_BUILD_TESTS=OFF", "-DVELTN_BUILD_BENCH=OFF", "-DVELTN_BUILD_DRIVERS=OFF",
                            "-DVELTN_BUILD_OCTAVE=OFF"],
                           check=True)
        env = dict(os.environ)
        env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run([cmake, "--build", str(libdir), "--target", "veltn"], check=True, env=env)
        built = (libdir / SONAME).resolve()

        for ext in self.extensions:
            ext.include_dirs.extend(pybind11_includes())
            ext.include_dirs.append(str(ROOT / "include"))
            ext.include_dirs.append(str(libdir / "include"))  # the generated veltn_version.h
            ext.library_dirs.append(str(libdir))
        super().run()

        # The library goes next to the extension, under its soname, in every place the extension
        # was written to (the build tree for a wheel, the source tree for --inplace).
        targets = {Path(self.get_ext_fullpath(e.name)).parent for e in self.extensions}
        for target in targets:
            target.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(built, target / SONAME)


extension = Extension(
    "veltn._veltn",
    sources=["src/_veltn.cpp"],
    language="c++",
    libraries=["veltn"],
    runtime_library_dirs=["$ORIGIN"],
    extra_compile_args=["-std=c++17", "-O2", "-Wall", "-Wextra", "-fvisibility=hidden"],
)

setup(version=VERSION, ext_modules=[extension], cmdclass={"build_ext": BuildWithLibrary})
