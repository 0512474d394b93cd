#!/usr/bin/python3
"""Runs libveltn's benchmark suite next to the peer (PyTorch, float64, 1 thread) on the four
reference networks and prints one table of ratios from that one run:

    ours / peer    below 1 means we are faster
    ours / bound   how far we are from what the machine allows (1 = at the bound)

The bound of a product is a lower estimate of its time on one core:
    matrix-product work (the peer's FLOP count of the product) at the DGEMM rate this machine
    reaches on the network's 32-row batch shapes (measured here with the peer's dgemm_peak)
  + transcendental elementwise work (exp, log, atan per activation and norm element, their
    count times the passes the product makes) at the rate of the vectorised routines.
The 2-thread bound is half the 1-thread one.

Usage: bench/compare.py BUILD_DIR [--peer DIR] [--nets S,I,M,L] [--products obj,grad,...]
       [--min-time SECONDS] [--json OUT] [--plot PNG]
Needs Debian's python3-torch for the peer and python3-matplotlib for --plot.
"""
import argparse
import json
import os
import re
import subprocess
import sys

NETS = {
    # name: (description, rows)
    "S": ("3 1 3 1 16 3 8 8 softplus sum", 100),
    "I": ("8 2 3 2 32 8 16 8 softplus sum_log_dnorm_fat", 1000),
    "M": ("16 4 3 1 32 16 64 64 softplus sum_log_dnorm_fat", 4096),
    "L": ("64 8 4 1 32 64 256 256 256 atan sum_log_dnorm_fat", 32768),
}
# Nanoseconds per element of the vectorised routines on this machine class (exp, log, atan), for
# the tier the library picks on this CPU: eight lanes with AVX-512, four with AVX2.
NS_BY_TIER = {"avx512": {"exp": 0.65, "log": 0.73, "atan": 0.68}, "avx2": {"exp": 0.74, "log": 1.05, "atan": 1.07}}


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


NS = NS_BY_TIER["avx512" if {"avx512f", "avx512dq"} <= cpu_flags() else "avx2"]
BATCH = 32


def parse(description):
    t = description.split()
    numin, numout, nlayers, niter = (int(x) for x in t[:4])
    sizes = [int(x) for x in t[5:5 + nlayers]]
    return dict(numin=numin, numout=numout, niter=niter, sizes=sizes, act=t[5 + nlayers], norm=t[6 + nlayers])


def layer_shapes(net):
    """(K, N) of every layer product of one forward pass, hidden runs included."""
    s = net["sizes"]
    shapes = [(s[l], s[l + 1]) for l in range(len(s) - 1)] * net["niter"]
    shapes.append((net["niter"] * s[-1], net["numout"]))
    return shapes


def dgemm_rate(dgemm_peak, shapes):
    """FLOP-weighted rate (GFLOP/s, 1 thread) of the forward and adjoint products at 32 rows."""
    args = []
    for K, N in set(shapes):
        args += [f"{BATCH}x{K}x{N}:NN", f"{BATCH}x{N}x{K}:NT", f"{K}x{BATCH}x{N}:TN"]
    out = subprocess.run([dgemm_peak] + args, capture_output=True, text=True, check=True).stdout
    rate = {}
    for line in out.splitlines():
        r = json.loads(line)
        if r.get("mode") == "blas1":
            rate[(r["shape"], r["op"])] = r["gflops_median"]
    flops = seconds = 0.0
    for K, N in shapes:
        for shape, op in ((f"{BATCH}x{K}x{N}", "NN"), (f"{BATCH}x{N}x{K}", "NT"), (f"{K}x{BATCH}x{N}", "TN")):
            f = 2.0 * BATCH * K * N
            flops += f
            seconds += f / (rate[(shape, op)] * 1e9)
    return flops / seconds / 1e9


def elementwise_ns(net, rows, product, k):
    """Transcendental elementwise time (ns) of one call, by the passes the product makes."""
    s = net["sizes"]
    acts = rows * (net["niter"] * sum(s[1:]) + net["numout"])
    terms = rows * net["numout"]
    act_fwd = NS["atan"] if net["act"] == "atan" else NS["exp"] + NS["log"]
    act_adj = 0.0 if net["act"] == "atan" else NS["exp"]
    norm_fwd = NS["exp"] + NS["log"] if net["norm"] == "sum_log_dnorm_fat" else 0.0
    norm_adj = 2 * NS["exp"] if net["norm"] == "sum_log_dnorm_fat" else 0.0
    forward = acts * act_fwd + terms * norm_fwd
    reverse = acts * act_adj + terms * norm_adj
    if product in ("obj", "jv"):
        return forward
    if product == "vj":
        return forward + k * reverse
    return forward + reverse  # grad, hv, hess: one forward and one reverse sweep of values


def run_ours(build, nets, products, min_time):
    exe = os.path.join(build, "bench", "veltn_bench")
    pattern = "^(" + "|".join(products) + ")/(" + "|".join(nets) + ")/"
    out = subprocess.run([exe, f"--benchmark_filter={pattern}", "--benchmark_format=json",
                          f"--benchmark_min_time={min_time}"], capture_output=True, text=True, check=True).stdout
    ours = {}
    for b in json.loads(out)["benchmarks"]:
        m = re.match(r"(\w+)/(\w)/threads:(\d)(?:/[km]:(\d+))?", b["name"])
        product, net, threads, k = m.group(1), m.group(2), int(m.group(3)), int(m.group(4) or 0)
        ms = b["real_time"] * {"ms": 1.0, "us": 1e-3, "ns": 1e-6, "s": 1e3}[b["time_unit"]]
        ours[(product, net, threads, k)] = ms
    return ours


def run_peer(peer, nets, products, timeout):
    """Best (fastest method) median per (product, net, k) and the peer's FLOP count, one peer
    process per network and product so that one that fails (or runs out of memory) costs only
    its own rows."""
    script = os.path.join(peer, "torch_anchor.py")
    best, flops = {}, {}
    for net in nets:
        for product in products:
            cmd = ["/usr/bin/python3", script, net, product, "1", "--k", "1,8,64", "--jv-k", "1,8", "--m", "1,8"]
            if net == "L":
                cmd += ["--k", "1", "--jv-k", "1", "--m", "1", "--min-reps", "2"]
            try:
                out = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout).stdout
            except subprocess.TimeoutExpired as e:
                out = (e.stdout or b"").decode() if isinstance(e.stdout, bytes) else (e.stdout or "")
                print(f"peer {net} {product}: stopped after {timeout} s", file=sys.stderr)
            for line in out.splitlines():
                try:
                    r = json.loads(line)
                except ValueError:
                    continue
                if "median_ms" not in r:
                    continue
                key = (r["product"], r["net"], 0 if r["product"] == "hess" else (r.get("k") or 0))
                if key not in best or r["median_ms"] < best[key]:
                    best[key] = r["median_ms"]
                    flops[key] = r.get("flops")
    return best, flops


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build")
    ap.add_argument("--peer", default=os.path.join(os.path.dirname(__file__), "..", "..", "shared", "peer-bench"))
    ap.add_argument("--nets", default="S,I,M,L")
    ap.add_argument("--products", default="obj,grad,hv,hess,jv,vj")
    ap.add_argument("--min-time", default="0.3")
    ap.add_argument("--json", default=None)
    ap.add_argument("--plot", default=None)
    ap.add_argument("--peer-timeout", type=float, default=600, help="seconds for one peer network and product")
    a = ap.parse_args()
    nets, products = a.nets.split(","), a.products.split(",")

    dgemm_peak = "/tmp/veltn_dgemm_peak"
    subprocess.run(["g++", "-O2", "-fopenmp", "-x", "c++", os.path.join(a.peer, "dgemm_peak.c"), "-o", dgemm_peak,
                    "-lopenblas"], check=True)
    print("measuring: libveltn ...", file=sys.stderr)
    ours = run_ours(a.build, nets, products, a.min_time)
    print("measuring: peer ...", file=sys.stderr)
    peer, flops = run_peer(a.peer, nets, products, a.peer_timeout)
    rates = {n: dgemm_rate(dgemm_peak, layer_shapes(parse(NETS[n][0]))) for n in nets}

    rows = []
    for (product, net, threads, k), ms in sorted(ours.items(), key=lambda kv: (products.index(kv[0][0]),
                                                                               nets.index(kv[0][1]), kv[0][3],
                                                                               kv[0][2])):
        pk = (product, net, k)
        p_ms = peer.get(pk)
        bound = None
        if flops.get(pk):
            bound = flops[pk] / (rates[net] * 1e9) * 1e3 + elementwise_ns(parse(NETS[net][0]), NETS[net][1], product,
                                                                         max(k, 1)) * 1e-6
            bound /= threads
        rows.append(dict(product=product, net=net, threads=threads, k=k, ours_ms=ms, peer_ms=p_ms, bound_ms=bound))

    print(f"{'product':8} {'net':3} {'k/m':>4} {'thr':>3} {'ours ms':>10} {'peer ms':>10} {'ours/peer':>9} "
          f"{'bound ms':>9} {'ours/bound':>10}")
    for r in rows:
        ratio = f"{r['ours_ms'] / r['peer_ms']:.2f}" if r["peer_ms"] else "-"
        bratio = f"{r['ours_ms'] / r['bound_ms']:.2f}" if r["bound_ms"] else "-"
        print(f"{r['product']:8} {r['net']:3} {r['k'] or '':>4} {r['threads']:>3} {r['ours_ms']:>10.3f} "
              f"{(r['peer_ms'] or float('nan')):>10.3f} {ratio:>9} {(r['bound_ms'] or float('nan')):>9.3f} {bratio:>10}")
    print("DGEMM rate used for the bound (GFLOP/s, 1 thread, 32-row batch shapes): " +
          ", ".join(f"{n} {rates[n]:.1f}" for n in nets))
    if a.json:
        with open(a.json, "w") as f:
            json.dump(rows, f, indent=1)
    if a.plot:
        plot(rows, a.plot)


def plot(rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    hv = [r for r in rows if r["product"] == "hv" and r["net"] == "M"]
    fig, ax = plt.subplots(figsize=(6, 4))
    for threads, style in ((1, "o-"), (2, "s-")):
        pts = sorted((r["k"], r["ours_ms"]) for r in hv if r["threads"] == threads)
        if pts:
            ax.plot([p[0] for p in pts], [p[1] for p in pts], style, label=f"libveltn, {threads} thread(s)")
    pts = sorted((r["k"], r["peer_ms"]) for r in hv if r["threads"] == 1 and r["peer_ms"])
    if pts:
        ax.plot([p[0] for p in pts], [p[1] for p in pts], "^--", label="PyTorch float64, 1 thread (best method)")
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    ax.set_xlabel("directions k")
    ax.set_ylabel("time per call (ms)")
    ax.set_title("velt_Hv on M (16 4 3 1 32 16 64 64, 4096 rows)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)


if __name__ == "__main__":
    main()
