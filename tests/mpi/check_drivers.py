"""grad_driver, hv_driver and hessian_driver under mpirun with 1, 2 and 3 ranks write the same
results as the plain run on the same data directory (within 1e-12 of the largest entry), and
rank 0 alone prints.

Usage: check_drivers.py WORK BINDIR MPIRUN...
Exit status 77 (skipped) when scipy is missing.
"""
import os
import shutil
import subprocess
import sys

try:
    import numpy as np
    import scipy.io
except ImportError:
    print("scipy is missing: skipped")
    sys.exit(77)

work, bindir, mpirun = sys.argv[1], sys.argv[2], sys.argv[3:]

# 77 rows (not a multiple of the 32-row batch); 2 rows leave the third rank empty.
PROBLEMS = [("rows77", "8 2 3 2 32 8 16 8 softplus sum_log_dnorm_fat", 77),
            ("rows2", "3 1 3 1 16 3 8 8 softplus sum", 2)]
DRIVERS = {"grad_driver": ["g", "J"], "hv_driver": ["g", "Hv", "J"], "hessian_driver": ["g", "H", "J"]}

failures = []


def run(cmd, data_dir):
    env = dict(os.environ, NN_DATA_DIR=data_dir)
    return subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=120)


def load(data_dir, name):
    return np.asarray(scipy.io.loadmat(os.path.join(data_dir, name + ".mat"))[name], dtype=float)


shutil.rmtree(work, ignore_errors=True)
for tag, description, rows in PROBLEMS:
    source = os.path.join(work, tag)
    made = subprocess.run([os.path.join(bindir, "make_problem"), source, description, str(rows), "3", "5"],
                          capture_output=True, text=True)
    if made.returncode != 0:
        sys.exit("make_problem failed: " + made.stderr)
    for driver, results in DRIVERS.items():
        exe = os.path.join(bindir, driver)
        plain_dir = os.path.join(work, f"{tag}-{driver}-plain")
        shutil.copytree(source, plain_dir)
        plain = run([exe], plain_dir)
        if plain.returncode != 0:
            sys.exit(f"{driver} on {tag} failed without mpirun: {plain.stderr}")
        for n in (1, 2, 3):
            where = f"{driver} on {tag}, {n} ranks"
            ranks_dir = os.path.join(work, f"{tag}-{driver}-{n}")
            shutil.copytree(source, ranks_dir)
            try:
                out = run(mpirun + ["-n", str(n), exe], ranks_dir)
            except subprocess.TimeoutExpired:
                failures.append(where + ": timed out")
                continue
            if out.returncode != 0:
                failures.append(f"{where}: exit status {out.returncode}: {out.stderr.strip()}")
                continue
            # Rank 0 alone prints: the same lines as the plain run, apart from the seconds.
            got = [line.split(",")[0] for line in out.stdout.splitlines()]
            want = [line.split(",")[0] for line in plain.stdout.splitlines()]
            if got != want:
                failures.append(f"{where}: printed {got}, expected {want}")
            for name in results + ["t"]:
                if not os.path.exists(os.path.join(ranks_dir, name + ".mat")):
                    failures.append(f"{where}: {name}.mat missing")
            for name in results:
                a, b = load(ranks_dir, name), load(plain_dir, name)
                if a.shape != b.shape:
                    failures.append(f"{where}: {name} is {a.shape}, expected {b.shape}")
                    continue
                err, scale = np.max(np.abs(a - b)), np.max(np.abs(b))
                if not err <= 1e-12 * scale:
                    failures.append(f"{where}: {name} differs by {err:.3g} (largest entry {scale:.3g})")
            print(f"{where}: ok" if not failures or not failures[-1].startswith(where) else f"{where}: FAILED")

for f in failures:
    print(f)
sys.exit(1 if failures else 0)
