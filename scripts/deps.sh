#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the examples need, when missing.
# `scripts/deps.sh fuzz` adds what the fuzz targets need (clang with its runtimes and OpenMP);
# `scripts/deps.sh tsan` the same for the ThreadSanitizer job (clang's TSan runtime, LLVM's
# OpenMP runtime and its TSan tool libarcher, all in these packages).
set -euo pipefail
packages=(g++ make cmake pkg-config libopenblas-dev libgtest-dev libbenchmark-dev python3 python3-numpy python3-scipy)
# The R package and its tests.
packages+=(r-base-dev r-cran-testthat r-cran-numderiv r-cran-sandwich)
# The Python package: its build, a fresh virtual environment, its tests and its example's plot.
packages+=(python3-dev python3-venv python3-setuptools python3-wheel python3-pytest python3-matplotlib pybind11-dev)
# MPI for libveltn_mpi and its tests (Open MPI runtime and headers).
packages+=(libopenmpi-dev openmpi-bin)
# The drivers read Level 5 and v7.3 MAT-files through libmatio (built with zlib and HDF5).
packages+=(libmatio-dev zlib1g-dev)
# The MATLAB/Octave binding (matlab/): Octave and its MEX headers and mkoctfile.
packages+=(octave liboctave-dev)
case "${1:-}" in fuzz | tsan) packages+=(clang libclang-rt-14-dev libomp-14-dev) ;; esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
