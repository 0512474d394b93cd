#!/usr/bin/python3
"""Memory growth with the row count: runs veltn_peak_memory for each case at two row counts and
prints how much the peak beyond the inputs and outputs grew between them. A call that reads X
and Y batch by batch grows by (almost) nothing; one that copies them grows by their size.

Usage: bench/memory/growth.py BUILD_DIR [--limit MIB] [CASE ...]
  CASE is NET:PRODUCT:K:ROWS1:ROWS2, for example L:grad:1:32768:262144 (the default list is
  velt_g on L from 32768 to 262144 rows, every product on M from 4096 to 65536 rows and the
  whole Jacobian on I from 1000 to 8000 rows).
Exit status 1 when a growth exceeds the limit (default 2 MiB).
"""
import argparse
import os
import re
import subprocess
import sys

DEFAULT_CASES = ["L:grad:1:32768:262144"] + [
    f"M:{p}:{k}:4096:65536"
    for p, k in (("compute", 1), ("residual", 1), ("obj", 1), ("objv", 1), ("grad", 1), ("hv", 1), ("hv", 8),
                 ("jv", 8), ("vj", 1), ("vj", 8), ("gnv", 8))
] + ["I:jac:1:1000:8000"]  # the Jacobian itself grows with the rows: I keeps it small


def beyond_mib(exe, net, product, k, rows):
    out = subprocess.run([exe, net, product, str(k), str(rows)], capture_output=True, text=True, check=True).stdout
    return float(re.search(r"beyond them (-?[\d.]+) MiB", out).group(1))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build")
    ap.add_argument("cases", nargs="*", default=DEFAULT_CASES)
    ap.add_argument("--limit", type=float, default=2.0, help="MiB of growth allowed")
    a = ap.parse_args()
    exe = os.path.join(a.build, "bench", "veltn_peak_memory")
    failed = False
    print(f"{'net':3} {'product':8} {'k':>3} {'rows':>15} {'beyond (MiB)':>17} {'growth':>7}")
    for case in a.cases:
        net, product, k, r1, r2 = case.split(":")
        m1, m2 = (beyond_mib(exe, net, product, int(k), int(r)) for r in (r1, r2))
        grew = m2 - m1
        flag = "" if grew < a.limit else "  over the limit"
        failed |= grew >= a.limit
        print(f"{net:3} {product:8} {k:>3} {r1:>7}->{r2:<7} {m1:>7.1f} -> {m2:<7.1f} {grew:>7.1f}{flag}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
