#!/usr/bin/env bash
# Installs what is missing, builds the library, the drivers and the tests, and runs the tests.
# Usage: scripts/test.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/sync-version.sh --check   # r/DESCRIPTION's copy of project(VERSION)
build=${1:-build}
shift || true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELTN_BUILD_TESTS=ON "$@"
cmake --build "$build" -j"$(nproc)"
# ctest includes the Octave tests of matlab/ (octave_binding) when mkoctfile was found.
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
scripts/test-r.sh "$build"

# The Python package: the README's install command in a fresh virtual environment, an import from
# outside the source tree, then its tests (pytest's exit 5, no tests collected, is not a failure).
venv="$(cd "$build" && pwd)/venv"
rm -rf "$venv"
"${PYTHON:-/usr/bin/python3}" -m venv --system-site-packages "$venv"
"$venv/bin/pip" install -q --no-build-isolation ./python
(cd "$build" && "$venv/bin/python" -c 'import veltn; print("veltn", veltn.__version__, "imports from", veltn.__file__)')
status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider python/tests || status=$?
if [ "$status" -ne 0 ] && [ "$status" -ne 5 ]; then exit "$status"; fi

# The README's other command sequences (the R route, pkg-config with an rpath, make_problem, fit.py).
scripts/test-readme.sh "$build"
