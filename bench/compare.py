#!/usr/bin/python3
"""Runs libveltn's benchmark suite next to its peers on the four reference networks and prints
one table of ratios from that one run:

    ours / torch   PyTorch, float64, 1 thread, fastest of its methods; below 1 means we are faster
    ours / adolc   ADOL-C (tapes recorded once, fastest driver), S, I and M only
    ours / bound   how far we are from what the machine allows (1 = at the bound)

With the product jac (the whole Jacobian; M at 512 rows, as the peer's --rows 512) it also
prints the Jacobian's own bound, nout x velt_g + writing its bytes with std::fill, both on the
same rows in the same run, and the identity-velt_Jv route it replaces; with gnv, velt_GNv
against velt_Jv + velt_vJ_vec and against velt_Hv with the same count of directions.

Every time is a minimum: ours is the fastest of --repeats repetitions of the suite (each the
mean over at least --min-time seconds of calls); each PyTorch network and product runs
--peer-repeats times (separate processes) and the table takes the fastest repetition of the
fastest method; ADOL-C's is the fastest repetition of its fastest driver in its own script
(../shared/peer-bench/adolc/run.sh, used when present). A shared machine only ever slows a run
down, so the minimum is the figure closest to what each side can do.

The bound of a product is a lower estimate of its time on one core:
    matrix-product work (the peer's FLOP count of the product, or the same count from our own
    model of it when the peer does not run) at the rate of one large DGEMM (1024^3,
    single-threaded BLAS) measured in this run, before and after the suite (the better)
  + transcendental elementwise work (exp, log, atan per activation and norm element, their
    count times the passes the product makes) at the rate of the library's own vector routines,
    measured in this run (bench/veltn_kernel_rates, before and after the suite, the better).

With --before BUILD, that build's suite (an earlier version) runs interleaved with ours, one
repetition each in turn, and its minima form a "before" column.
The 2-thread bound is half the 1-thread one.

Usage: bench/compare.py BUILD_DIR [--peer DIR] [--no-adolc] [--nets S,I,M,L] [--products obj,grad,...]
       [--min-time SECONDS] [--peer-repeats N] [--json OUT] [--plot PNG]
Needs Debian's python3-torch for PyTorch, libadolc-dev for ADOL-C (its script installs it) and
python3-matplotlib for --plot.
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
# Nanoseconds per element of the library's vector routines (exp, log, atan), measured in the run
# by bench/veltn_kernel_rates (the best of its samples before and after the suite).
NS = {}


def kernel_rates(build):
    """ns per element of the library's own exp, log and atan on a cached array."""
    out = subprocess.run([os.path.join(build, "bench", "veltn_kernel_rates")], capture_output=True, text=True,
                         check=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def flop_model(net, rows, product, k):
    """The peer's FLOP count of a product (2 per multiply-add of every matrix product), used when
    the peer does not run."""
    s = net["sizes"]
    shapes = [(s[l], s[l + 1]) for l in range(len(s) - 1)] + [(net["niter"] * s[-1], net["numout"])]
    F = 2 * rows * (sum(r * c for r, c in shapes[:-1]) * net["niter"] + shapes[-1][0] * shapes[-1][1])
    if product == "obj":
        return F
    if product == "grad":
        return 3 * F
    if product in ("hv", "hess"):
        return 3 * F * (1 + 2 * k)
    if product in ("jv", "vj"):
        return F * (1 + 2 * k)
    return None


def npar(net):
    s = net["sizes"]
    shapes = [(s[l], s[l + 1]) for l in range(len(s) - 1)] + [(net["niter"] * s[-1], net["numout"])]
    return sum(c + r * c for r, c in shapes)


def loadavg():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "?"


def parse(description):
    t = description.split()
    numin, numout, nlayers, niter = (int(x) for x in t[:4])
    sizes = [int(x) for x in t[5:5 + nlayers]]
    return dict(numin=numin, numout=numout, niter=niter, sizes=sizes, act=t[5 + nlayers], norm=t[6 + nlayers])


LARGE_DGEMM = "1024x1024x1024:NN"


def dgemm_rate(dgemm_peak):
    """Best rate (GFLOP/s) of a large single-threaded DGEMM: what one core's BLAS can do."""
    out = subprocess.run([dgemm_peak, LARGE_DGEMM], capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        r = json.loads(line)
        if r.get("mode") == "blas1":
            return r["gflops_best"]
    raise RuntimeError("dgemm_peak printed no single-thread rate")


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


# Rows of the Jacobian benchmarks where they differ from the network's (bench_suite.cpp).
JAC_ROWS = {"M": 512}
# Products of the peer script; the others are ours only.
PEER_PRODUCTS = ("obj", "grad", "hv", "hess", "jv", "vj", "jac")
# Our benchmarks that the Jacobian's comparison needs besides jac itself.
JAC_PARTS = ("jacgrad", "jacfill", "jacid")


def run_ours(build, nets, products, min_time, repeats, best=None):
    """Our time per call: the fastest of `repeats` repetitions, each the mean over the calls of
    at least min_time seconds; the same rule as the peers' minimum. With best, the minima are
    taken together with the times already in it."""
    exe = os.path.join(build, "bench", "veltn_bench")
    if "jac" in products:
        products = list(products) + [p for p in JAC_PARTS if p not in products]
    pattern = "^(" + "|".join(products) + ")/(" + "|".join(nets) + ")/"
    out = subprocess.run([exe, f"--benchmark_filter={pattern}", "--benchmark_format=json",
                          f"--benchmark_min_time={min_time}", f"--benchmark_repetitions={repeats}"],
                         capture_output=True, text=True, check=True).stdout
    ours = best if best is not None else {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type", "iteration") != "iteration":
            continue  # the mean, median and spread Google Benchmark adds over the repetitions
        m = re.match(r"(\w+)/(\w)/threads:(\d)(?:/[km]:(\d+))?", b["name"])
        product, net, threads, k = m.group(1), m.group(2), int(m.group(3)), int(m.group(4) or 0)
        if product == "jac":
            k = parse(NETS[net][0])["numout"]  # one reverse sweep per output, the peer's k
        ms = b["real_time"] * {"ms": 1.0, "us": 1e-3, "ns": 1e-6, "s": 1e3}[b["time_unit"]]
        key = (product, net, threads, k)
        ours[key] = min(ours.get(key, ms), ms)
    return ours


def run_peer(peer, nets, products, timeout, repeats):
    """Fastest repetition of the fastest method per (product, net, k), over `repeats` runs, and
    the peer's FLOP count. One peer process per network, product and repetition, so that one
    that fails (or runs out of memory) costs only its own rows."""
    script = os.path.join(peer, "torch_anchor.py")
    best, flops = {}, {}
    for rep in range(repeats):
        for net in nets:
            for product in (p for p in products if p in PEER_PRODUCTS):
                cmd = ["/usr/bin/python3", script, net, product, "1", "--k", "1,8,64", "--jv-k", "1,8", "--m", "1,8"]
                if product == "jac" and net in JAC_ROWS:
                    cmd += ["--rows", str(JAC_ROWS[net])]
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
                    if "min_ms" not in r:
                        continue
                    key = (r["product"], r["net"], 0 if r["product"] == "hess" else (r.get("k") or 0))
                    if key not in best or r["min_ms"] < best[key]:
                        best[key] = r["min_ms"]
                        flops[key] = r.get("flops")
    return best, flops


# ADOL-C's product names -> ours (product, k).
ADOLC_PRODUCTS = {"J": ("obj", 0), "grad": ("grad", 0), "Hv1": ("hv", 1), "Hv8": ("hv", 8), "Jv8": ("jv", 8),
                  "vJ8": ("vj", 8), "Hfull": ("hess", 0)}


def run_adolc(peer, nets, work):
    """Fastest repetition of ADOL-C's fastest driver per (product, net, k), from its own script
    (which builds this checkout's HEAD for its own side-by-side figures; we use only its ADOL-C
    times). Empty when the script is absent or fails."""
    script = os.path.join(peer, "adolc", "run.sh")
    nets = "".join(n for n in nets if n in "SIM")
    if not os.path.exists(script) or not nets:
        return {}
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    # The script compiles its benchmark against the checkout's header, which includes the
    # version header configured into the build tree: point the compiler at it.
    include = os.path.join(work, "veltn-build", "include")
    env = dict(os.environ, MAIN=root, WORK=work, OUT=work, NETS=nets,
               CPLUS_INCLUDE_PATH=include + os.pathsep + os.environ.get("CPLUS_INCLUDE_PATH", ""))
    try:
        subprocess.run(["sh", script], env=env, capture_output=True, text=True, check=True)
    except (subprocess.CalledProcessError, OSError) as e:
        print(f"ADOL-C peer skipped: {e}", file=sys.stderr)
        return {}
    best = {}
    with open(os.path.join(work, "results.jsonl")) as f:
        for line in f:
            try:
                r = json.loads(line)
            except ValueError:
                continue
            if r.get("side") != "adolc" or r.get("product") not in ADOLC_PRODUCTS:
                continue
            product, k = ADOLC_PRODUCTS[r["product"]]
            key = (product, r["net"], k)
            best[key] = min(best.get(key, float("inf")), r["min_ms"])
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build")
    ap.add_argument("--peer", default=os.path.join(os.path.dirname(__file__), "..", "..", "shared", "peer-bench"))
    ap.add_argument("--nets", default="S,I,M,L")
    ap.add_argument("--products", default="obj,grad,hv,hess,jv,vj,jac,gnv")
    ap.add_argument("--min-time", default="0.3")
    ap.add_argument("--json", default=None)
    ap.add_argument("--plot", default=None)
    ap.add_argument("--peer-timeout", type=float, default=600, help="seconds for one peer network and product")
    ap.add_argument("--peer-repeats", type=int, default=3, help="PyTorch runs per network and product")
    ap.add_argument("--repeats", type=int, default=3, help="repetitions of our suite (the fastest counts)")
    ap.add_argument("--no-adolc", action="store_true", help="leave out the ADOL-C column")
    ap.add_argument("--adolc-work", default="/tmp/veltn-compare-adolc")
    ap.add_argument("--before", default=None,
                    help="another build (an earlier version) whose suite runs interleaved with ours, one "
                         "repetition each in turn; its minima form a 'before' column")
    ap.add_argument("--no-peer", action="store_true", help="leave out PyTorch (its FLOP counts are then ours)")
    a = ap.parse_args()
    nets, products = a.nets.split(","), a.products.split(",")

    dgemm_peak = f"/tmp/veltn_dgemm_peak.{os.getpid()}"
    subprocess.run(["g++", "-O2", "-fopenmp", "-x", "c++", os.path.join(a.peer, "dgemm_peak.c"), "-o", dgemm_peak,
                    "-lopenblas"], check=True)
    load_start = loadavg()
    rate_before = dgemm_rate(dgemm_peak)
    rates = [kernel_rates(a.build)]
    print("measuring: libveltn ...", file=sys.stderr)
    ours, before = {}, {}
    if a.before:
        # A, B, A, B ...: both sides see the same machine, each keeps its minimum.
        for _ in range(int(a.repeats)):
            run_ours(a.build, nets, products, a.min_time, 1, ours)
            run_ours(a.before, nets, products, a.min_time, 1, before)
    else:
        ours = run_ours(a.build, nets, products, a.min_time, a.repeats)
    rate = max(rate_before, dgemm_rate(dgemm_peak))
    rates.append(kernel_rates(a.build))
    for f in ("exp", "log", "atan"):
        NS[f] = min(r[f] for r in rates)
    peer, flops = {}, {}
    torch_found = subprocess.run(["/usr/bin/python3", "-c", "import torch"], capture_output=True).returncode == 0
    if not a.no_peer and torch_found:
        print("measuring: PyTorch ...", file=sys.stderr)
        peer, flops = run_peer(a.peer, nets, products, a.peer_timeout, a.peer_repeats)
    elif not a.no_peer:
        print("PyTorch not installed: no peer column; FLOP counts from our own model", file=sys.stderr)
    load_end = loadavg()
    adolc = {}
    if not a.no_adolc:
        print("measuring: ADOL-C ...", file=sys.stderr)
        adolc = run_adolc(a.peer, nets, a.adolc_work)

    if not peer:
        print("PyTorch gave no times (is python3-torch installed?): the torch columns are empty", file=sys.stderr)
    rows = []
    for (product, net, threads, k), ms in sorted(((key, ms) for key, ms in ours.items() if key[0] not in JAC_PARTS), key=lambda kv: (products.index(kv[0][0]),
                                                                               nets.index(kv[0][1]), kv[0][3],
                                                                               kv[0][2])):
        pk = (product, net, k)
        bound = None
        spec = parse(NETS[net][0])
        fl = None
        if product in ELEMENTWISE_PRODUCTS:  # jac and gnv have their own comparison (print_jacobian)
            fl = flops.get(pk) or flop_model(spec, NETS[net][1], product, npar(spec) if product == "hess" else k)
        if fl:
            bound = fl / (rate * 1e9) * 1e3 + elementwise_ns(spec, NETS[net][1], product, max(k, 1)) * 1e-6
            bound /= threads
        rows.append(dict(product=product, net=net, threads=threads, k=k, ours_ms=ms, peer_ms=peer.get(pk),
                         adolc_ms=adolc.get(pk), bound_ms=bound, before_ms=before.get((product, net, threads, k))))

    def ratio(a, b):
        return f"{a / b:.2f}" if b else "-"

    def num(x):
        return float("nan") if x is None else x

    print(f"{'product':8} {'net':3} {'k/m':>4} {'thr':>3} {'before ms':>10} {'ours ms':>10} {'ours/before':>11} "
          f"{'torch ms':>10} {'ours/torch':>10} "
          f"{'adolc ms':>10} {'ours/adolc':>10} {'bound ms':>9} {'ours/bound':>10}")
    for r in rows:
        print(f"{r['product']:8} {r['net']:3} {r['k'] or '':>4} {r['threads']:>3} {num(r['before_ms']):>10.3f} "
              f"{r['ours_ms']:>10.3f} {ratio(r['ours_ms'], r['before_ms']):>11} "
              f"{num(r['peer_ms']):>10.3f} {ratio(r['ours_ms'], r['peer_ms']):>10} "
              f"{num(r['adolc_ms']):>10.3f} {ratio(r['ours_ms'], r['adolc_ms']):>10} "
              f"{num(r['bound_ms']):>9.3f} {ratio(r['ours_ms'], r['bound_ms']):>10}")
    print_jacobian(ours, nets)
    print(f"DGEMM rate used for the bound: {rate:.1f} GFLOP/s (1 thread, {LARGE_DGEMM.split(':')[0]}, best sample; "
          f"{rate_before:.1f} before the suite)")
    print(f"vector kernels used for the bound (ns per element, best of the run, tier {rates[0]['tier']}): "
          f"exp {NS['exp']:.3f}, log {NS['log']:.3f}, atan {NS['atan']:.3f}")
    print(f"load average: {load_start} at the start, {load_end} at the end")
    if a.json:
        with open(a.json, "w") as f:
            json.dump(rows, f, indent=1)
    if a.plot:
        plot(rows, a.plot)


ELEMENTWISE_PRODUCTS = ("obj", "grad", "hv", "hess", "jv", "vj")


def print_jacobian(ours, nets):
    """The Jacobian against its own bound and the route it replaces, and the Gauss-Newton product
    against the products it composes, from this run."""
    lines = []
    for net in nets:
        numout = parse(NETS[net][0])["numout"] if net in NETS else 0
        for threads in (1, 2):
            jac = ours.get(("jac", net, threads, numout))
            grad = ours.get(("jacgrad", net, threads, 0))
            fill = ours.get(("jacfill", net, threads, 0))
            ident = ours.get(("jacid", net, threads, 0))
            if jac and grad and fill:
                bound = numout * grad + fill
                line = (f"jac {net} ({JAC_ROWS.get(net, NETS[net][1])} rows) thr {threads}: {jac:.3f} ms; "
                        f"{numout} x velt_g {grad:.3f} + fill {fill:.3f} = {bound:.3f} ms, "
                        f"ratio {jac / bound:.2f} (at most 1.5)")
                if ident:
                    line += f"; identity velt_Jv {ident:.1f} ms, {ident / jac:.0f}x slower (at least 100)"
                lines.append(line)
            for k in (8,):
                gnv = ours.get(("gnv", net, threads, k))
                jv, vj, hv = (ours.get((p, net, threads, k)) for p in ("jv", "vj", "hv"))
                if gnv and jv and vj:
                    line = (f"gnv {net} k={k} thr {threads}: {gnv:.3f} ms; velt_Jv + velt_vJ_vec {jv + vj:.3f} ms, "
                            f"ratio {gnv / (jv + vj):.2f} (at most 1.1)")
                    if hv:
                        line += f"; velt_Hv {hv:.3f} ms, ratio {gnv / hv:.2f} (below 1)"
                    lines.append(line)
    for line in lines:
        print(line)


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
