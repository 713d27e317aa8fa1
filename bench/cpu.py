"""Speed of the CPU operations against NumPy and PyTorch, measured in one run.

    PYTHONPATH=build/<dir> python bench/cpu.py [--repeat N] [--native] [--quick]

Our figures come from the public module functions (``_vantblas.gemm`` and the rest; with no GPU
``gemm`` runs on the CPU). ``--native`` (or a missing module) measures the same C++ code through
the ctypes test library instead (tests/cpunative.py).

Everything is measured in a child process with the default thread counts, each callable in
blocks of back-to-back calls after a pause (so no library's spinning workers slow the next one),
several rounds, best time of each. OPENBLAS_CORETYPE and
OPENBLAS_L2_SIZE, set on some machines, make OpenBLAS pick slower kernels, so NumPy is measured
with both removed from the environment; when either is set here, NumPy is measured a second time
with them as they are and both figures are printed. Ratios are peer time / our time (above 1: we
are faster) and use the figures measured without those variables.

Ours is measured in both CPU arithmetics ("exact", the default, and "fused", see
``set_cpu_arithmetic``). The same child measures the machine's arithmetic peak on its widest
vectors (ctypes test library; needs a C++ compiler): separate multiplies and adds, and fused
multiply-adds, on one thread and on all threads. Each product's GFLOP/s is printed as a fraction
of the peak that applies to it: the all-thread multiply+add peak for the exact arithmetic, the
all-thread fused peak for the fused one.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
BLAS_VARS = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def inputs(quick):
    rng = np.random.default_rng(0)
    r = lambda *s: rng.standard_normal(s, dtype=np.float32)  # noqa: E731
    sizes = [256, 512, 1024] if quick else [256, 512, 1024, 2048]
    data = {f"gemm {n}": (r(n, n), r(n, n)) for n in sizes}
    data["gemm_batched 64x128x128"] = (r(64, 128, 128), r(64, 128, 128))
    data["attention 8x512x64"] = (r(8, 512, 64), r(8, 512, 64), r(8, 512, 64))
    data["fused_linear_gelu 1024"] = (r(1024, 1024), r(1024, 1024), r(1, 1024))
    n = 2048 if quick else 4096
    data[f"fused_rmsnorm {n}"] = (r(n, n), r(1, n))
    return data


# ---- measurements (in a child process, ours and the peers in separate blocks) -------------------------------

def numpy_ops():
    def gelu(y):
        return np.float32(0.5) * y * (np.float32(1) + np.tanh(np.float32(0.7978845) * (y + np.float32(0.044715) * y * y * y)))

    def softmax_attention(q, k, v):
        s = q @ k.transpose(0, 2, 1) * np.float32(1 / np.sqrt(q.shape[2]))
        s = np.exp(s - s.max(axis=2, keepdims=True))
        return (s / s.sum(axis=2, keepdims=True)) @ v

    def rms(x, w):
        return x / np.sqrt(np.mean(x * x, axis=1, keepdims=True) + np.float32(1e-6)) * w[0]

    return {
        "gemm": lambda a, b: np.matmul(a, b),
        "gemm_batched": lambda a, b: np.matmul(a, b),
        "attention": softmax_attention,
        "fused_linear_gelu": lambda x, w, b: gelu(x @ w.T + b[0]),
        "fused_rmsnorm": rms,
    }


def flops(name, arrs):
    """Floating-point operations of the products in one call (2 per multiply-add), or None."""
    op = name.split()[0]
    if op == "gemm":
        (m, k), n = arrs[0].shape, arrs[1].shape[1]
        return 2 * m * n * k
    if op == "gemm_batched":
        b, m, k = arrs[0].shape
        return 2 * b * m * k * arrs[1].shape[2]
    if op == "attention":
        b, s, d = arrs[0].shape
        return 4 * b * s * s * d
    if op == "fused_linear_gelu":
        return 2 * arrs[0].shape[0] * arrs[0].shape[1] * arrs[1].shape[0]
    return None


def native_lib():
    sys.path.insert(0, str(ROOT / "tests"))
    import cpunative

    return cpunative.load()


def our_ops(native):
    """(description, operations, function selecting the arithmetic)."""
    if not native:
        try:
            import _vantblas as vb

            return "module _vantblas", {
                "gemm": vb.gemm, "gemm_batched": vb.gemm_batched, "attention": vb.attention,
                "fused_linear_gelu": vb.fused_linear_gelu, "fused_rmsnorm": vb.fused_rmsnorm}, \
                vb.set_cpu_arithmetic
        except ImportError:
            pass
    lib = native_lib()
    return f"ctypes test library ({lib.active_isa()}, {lib.thread_count()} threads)", {
        "gemm": lib.gemm, "gemm_batched": lib.gemm_batched, "attention": lib.attention,
        "fused_linear_gelu": lib.linear_gelu, "fused_rmsnorm": lib.rmsnorm}, lib.arithmetic


def peaks(threads):
    """Arithmetic peaks in GFLOP/s: {"muladd" / "fma": {1: one thread, threads: all,
    "cpu": one thread per second of its CPU time}}, or None."""
    try:
        lib = native_lib()
    except Exception as e:  # no compiler: no peak figures
        return None, f"unavailable ({e.__class__.__name__})"
    out = {}
    for kind, fused in (("muladd", False), ("fma", True)):
        out[kind] = {}
        for t in sorted({1, threads}):
            runs = [lib.peak_gflops(fused, t) for _ in range(5)]  # best of a busy spell
            out[kind][t] = max(r[0] for r in runs)
            if t == 1:
                out[kind]["cpu"] = max(r[2] for r in runs)
    return out, f"{lib.peak_gflops(False, 1)[1] * 32}-bit vectors"


def one_thread_cpu(data, repeat):
    """Our products on one thread, timed by that thread's CPU time (what the kernels reach on a
    core, whatever else runs on the machine): {arithmetic: {name: seconds}} (ctypes library)."""
    try:
        lib = native_lib()
    except Exception:
        return None
    fns = {"gemm": lib.gemm, "gemm_batched": lib.gemm_batched, "attention": lib.attention,
           "fused_linear_gelu": lib.linear_gelu}
    out = {}
    lib.threads(1)
    try:
        for arith in ("exact", "fused"):
            lib.arithmetic(arith)
            out[arith] = {}
            for name, arrs in data.items():
                op = name.split()[0]
                if op not in fns:
                    continue
                best = float("inf")
                for _ in range(max(3, repeat // 3)):
                    t0 = time.thread_time()
                    fns[op](*arrs)
                    best = min(best, time.thread_time() - t0)
                out[arith][name] = best
    finally:
        lib.arithmetic("exact")
        lib.threads(0)
    return out


def in_blocks(fns, repeat, rounds=3, settle=0.25):
    """Best time of each callable. Each is timed in a block of back-to-back calls, never call by
    call in turn with another library: OpenBLAS and OpenMP workers keep spinning for a while
    after a call and would steal the cores from whoever runs next. A pause before each block
    lets the previous library's workers go idle; several rounds of blocks spread a busy spell
    of the machine over all of them."""
    best = {k: float("inf") for k in fns}
    for _ in range(rounds):
        for k, f in fns.items():
            time.sleep(settle)
            f()
            for _ in range(max(1, repeat // rounds)):
                t0 = time.perf_counter()
                f()
                best[k] = min(best[k], time.perf_counter() - t0)
    return best


def measure(args):
    data = inputs(args.quick)
    out = {"ours": {}, "ours_fused": {}, "numpy": {}, "torch": {}}
    try:
        import threadpoolctl

        out["blas"] = [{k: i.get(k) for k in ("internal_api", "version", "architecture", "num_threads")}
                       for i in threadpoolctl.threadpool_info() if i.get("user_api") == "blas"]
    except ImportError:
        out["blas"] = "threadpoolctl not installed"
    try:
        import torch
        import torch.nn.functional as F

        out["torch_threads"] = torch.get_num_threads()
    except ImportError:
        torch = None
    out["who"], ours, set_arithmetic = our_ops(args.native)
    threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    out["peak"], out["peak_unit"] = peaks(threads)
    out["threads"] = threads
    out["flops"] = {name: flops(name, arrs) for name, arrs in data.items()}
    peers = numpy_ops()

    def in_arithmetic(arith, f):
        def run():
            set_arithmetic(arith)
            try:
                return f()
            finally:
                set_arithmetic("exact")
        return run

    out["one_thread_cpu"] = one_thread_cpu(data, args.repeat)
    for name, arrs in data.items():
        op = name.split()[0]
        fns = {"ours": lambda: ours[op](*arrs), "numpy": lambda: peers[op](*arrs)}
        if out["flops"][name]:
            fns["ours_fused"] = in_arithmetic("fused", lambda: ours[op](*arrs))
        if torch is not None and op == "attention":
            tq, tk, tv = (torch.from_numpy(x) for x in arrs)

            def sdpa():
                with torch.no_grad():
                    return F.scaled_dot_product_attention(tq, tk, tv)
            fns["torch"] = sdpa
        for k, t in in_blocks(fns, args.repeat).items():
            out[k][name] = t
    print(json.dumps(out))


def measure_in_child(args, env):
    cmd = [sys.executable, __file__, "--measure", "--repeat", str(args.repeat)]
    cmd += (["--quick"] if args.quick else []) + (["--native"] if args.native else [])
    r = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if r.returncode:
        sys.exit(f"measuring failed:\n{r.stderr}")
    return json.loads(r.stdout.strip().splitlines()[-1])


# (operation, measure, minimum): measure "peak" is our GFLOP/s over the applicable all-thread
# peak, "numpy" / "torch" the peer's time over ours; "" the exact arithmetic, "fused" the fused one.
TARGETS = [
    ("gemm 256", "peak", "", 0.5), ("gemm 1024", "peak", "", 0.85), ("gemm 2048", "peak", "", 0.85),
    ("gemm 1024", "numpy", "fused", 0.9), ("gemm 2048", "numpy", "fused", 0.9),
    ("attention 8x512x64", "torch", "", 0.7), ("attention 8x512x64", "torch", "fused", 1.0),
    ("fused_linear_gelu 1024", "numpy", "", 0.9),
    ("fused_rmsnorm 4096", "numpy", "", 4.0), ("fused_rmsnorm 2048", "numpy", "", 4.0),
]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--native", action="store_true")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--measure", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.measure:
        return measure(args)

    clean_env = {k: v for k, v in os.environ.items() if k not in BLAS_VARS}
    set_vars = {k: os.environ[k] for k in BLAS_VARS if k in os.environ}
    res = measure_in_child(args, clean_env)
    as_set = measure_in_child(args, dict(os.environ)) if set_vars else None
    ours, numpy_t, torch_t = res["ours"], res["numpy"], res.get("torch") or {}

    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"ours: {res['who']}; CPUs available: {cpus}")
    print(f"NumPy {np.__version__} BLAS: {res['blas']}; torch threads: {res.get('torch_threads')}")
    print("NumPy figures quoted: measured with " + " and ".join(BLAS_VARS) + " unset"
          + (f" (also measured with {set_vars} as set here; BLAS then: {as_set['blas']})" if set_vars
             else " (neither is set here)"))
    peak, threads = res.get("peak"), res["threads"]
    if peak:
        print(f"peak GFLOP/s ({res['peak_unit']}): multiply+add {peak['muladd']['1']:.0f} on one thread, "
              f"{peak['muladd'][str(threads)]:.0f} on {threads}; fused multiply-add {peak['fma']['1']:.0f} "
              f"on one thread, {peak['fma'][str(threads)]:.0f} on {threads}")
    else:
        print(f"peak: {res.get('peak_unit')}")
    fused_t = res["ours_fused"]

    def frac(name, t, kind):
        f = res["flops"].get(name)
        return f / t / 1e9 / peak[kind][str(threads)] if f and peak and peak[kind][str(threads)] else None

    hdr = (f"{'operation':24} {'exact ms':>8} {'of peak':>7} {'fused ms':>8} {'of peak':>7} {'numpy ms':>8} "
           f"{'np/ex':>6} {'np/fu':>6} {'torch ms':>8} {'tc/ex':>6} {'tc/fu':>6}")
    print(hdr)
    print("-" * len(hdr))
    fmt = lambda v, w, p=2: f"{v:{w}.{p}f}" if v is not None else " " * w  # noqa: E731
    for name, t in ours.items():
        tn, tt, tf = numpy_t[name], torch_t.get(name), fused_t.get(name)
        print(f"{name:24} {fmt(t * 1e3, 8)} {fmt(frac(name, t, 'muladd'), 7)} "
              f"{fmt(tf * 1e3 if tf else None, 8)} {fmt(frac(name, tf, 'fma') if tf else None, 7)} "
              f"{fmt(tn * 1e3, 8)} {fmt(tn / t, 6)} {fmt(tn / tf if tf else None, 6)} "
              f"{fmt(tt * 1e3 if tt else None, 8)} {fmt(tt / t if tt else None, 6)} "
              f"{fmt(tt / tf if tt and tf else None, 6)}")
        if as_set:
            ts = as_set["numpy"][name]
            print(f"{'':24} numpy with {','.join(set_vars)} as set: {ts * 1e3:.2f} ms (np/exact {ts / t:.2f})")
    cpu1 = res.get("one_thread_cpu")
    if cpu1 and peak:
        print(f"one thread, timed by its CPU time (peak per CPU-second: multiply+add "
              f"{peak['muladd']['cpu']:.0f}, fused {peak['fma']['cpu']:.0f} GFLOP/s):")
        for name, t in cpu1["exact"].items():
            f, tf = res["flops"][name], cpu1["fused"][name]
            print(f"  {name:24} exact {f / t / 1e9:6.1f} GFLOP/s = {f / t / 1e9 / peak['muladd']['cpu']:.2f}"
                  f" of peak; fused {f / tf / 1e9:6.1f} = {f / tf / 1e9 / peak['fma']['cpu']:.2f}")
    print("goals:")
    for name, measure_, arith, need in TARGETS:
        if name not in ours:
            continue
        t = fused_t.get(name) if arith else ours[name]
        if t is None:
            continue
        if measure_ == "peak":
            got = frac(name, t, "fma" if arith else "muladd")
        else:
            peer = (torch_t if measure_ == "torch" else numpy_t).get(name)
            got = peer / t if peer else None
        what = f"{'of peak' if measure_ == 'peak' else measure_ + '/ours'} ({arith or 'exact'})"
        verdict = "no figure" if got is None else ("met" if got >= need else "MISSED")
        print(f"  {name:24} {what:22} >= {need}: {fmt(got, 4)} {verdict}")


if __name__ == "__main__":
    main()
