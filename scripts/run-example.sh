#!/usr/bin/env bash
# The main job: installs what is missing, builds the library, the five drivers and the C example,
# then runs every driver on a copy of the bundled example data in a temporary folder and shows
# what they printed and wrote, and runs examples/objective.c.
#
# examples/data holds config.txt, data.mat (40 x 3 inputs), specs.mat (40 x 1 targets), v0.mat
# (the 113 parameters) and d_v0.mat (113 x 3 directions) for grad_driver, hessian_driver,
# hv_driver and jv_driver. vj_driver needs one weight per objective term instead: examples/vj
# holds a 40 x 1 d_v0.mat of weights 1/40, saved as compressed Level 5 (the default of MATLAB
# and Octave's -v7), and with these weights its vJ is the gradient of the mean objective.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-example -DCMAKE_BUILD_TYPE=Release -DVELTN_BUILD_TESTS=OFF -DVELTN_BUILD_BENCH=OFF > /dev/null
cmake --build build-example -j"$(nproc)" \
  --target grad_driver hessian_driver hv_driver jv_driver vj_driver example_objective > /dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/data" "$work/vj"
cp examples/data/* "$work/data"/
cp examples/data/* "$work/vj"/
cp examples/vj/d_v0.mat "$work/vj"/

echo "== data directory $work/data, description: $(tail -n +2 "$work/data/config.txt")"
for prog in grad_driver hessian_driver hv_driver jv_driver; do
  echo "== $prog"
  NN_DATA_DIR="$work/data" "./build-example/drivers/$prog"
done
echo "== vj_driver (data directory $work/vj: the same files, d_v0.mat holding weights)"
NN_DATA_DIR="$work/vj" ./build-example/drivers/vj_driver

echo "== result files"
/usr/bin/python3 - "$work" <<'PY'
import sys, os
import numpy as np
import scipy.io
np.set_printoptions(precision=6, suppress=False, linewidth=100, threshold=12, edgeitems=3)
work = sys.argv[1]
def load(sub, name):
    return scipy.io.loadmat(os.path.join(work, sub, name + ".mat"))[name]
for sub, names in [("data", ["J", "t", "g", "H", "Hv", "res", "Jv"]), ("vj", ["res", "vJ"])]:
    for name in names:
        m = load(sub, name)
        shown = m.ravel()[:6] if m.size > 6 else m.ravel()
        print(f"{sub}/{name}.mat: {m.shape[0]} x {m.shape[1]}")
        print("   ", np.array2string(shown, prefix="    "), "..." if m.size > 6 else "")
g, vJ = load("data", "g").ravel(), load("vj", "vJ").ravel()
print(f"vJ with weights 1/40 against the gradient: largest difference {np.max(np.abs(vJ - g)):.3g}"
      f" (largest |g| {np.max(np.abs(g)):.3g})")
PY

echo "== examples/objective.c"
./build-example/example_objective
