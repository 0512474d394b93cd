#!/usr/bin/env bash
# Installs what is missing, builds the library and runs the bundled example.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVELTN_BUILD_TESTS=OFF -DVELTN_BUILD_BENCH=OFF > /dev/null
cmake --build build -j"$(nproc)" --target example_objective
./build/example_objective
