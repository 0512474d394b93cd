#!/usr/bin/env bash
# The main job: installs what is missing, builds the library and the drivers, then runs
# grad_driver and hv_driver on a copy of the bundled example data directory in a temporary
# folder and shows what they printed and wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-example -DCMAKE_BUILD_TYPE=Release -DVELTN_BUILD_TESTS=OFF -DVELTN_BUILD_BENCH=OFF > /dev/null
cmake --build build-example -j"$(nproc)" --target grad_driver hv_driver example_objective > /dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp examples/data/* "$work"/
export NN_DATA_DIR="$work"

echo "== data directory $work, description: $(tail -n +2 "$work/config.txt")"
echo "== grad_driver"
./build-example/drivers/grad_driver
echo "== hv_driver"
./build-example/drivers/hv_driver
echo "== result files"
/usr/bin/python3 - "$work" <<'PY'
import sys, os
import numpy as np
import scipy.io
np.set_printoptions(precision=6, suppress=False, linewidth=100, threshold=12, edgeitems=3)
d = sys.argv[1]
for name in ["J", "t", "g", "Hv"]:
    m = scipy.io.loadmat(os.path.join(d, name + ".mat"))[name]
    print(f"{name}.mat: {m.shape[0]} x {m.shape[1]}")
    print("   ", np.array2string(m.ravel()[:6] if m.size > 6 else m.ravel(), prefix="    "),
          "..." if m.size > 6 else "")
PY
