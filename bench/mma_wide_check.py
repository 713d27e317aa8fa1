"""The 128 x 256 mma.sync kernel on a real device: a correctness check (partial tiles in M, N and K,
the grid folded into z, more than 16 row tiles in the grouped order) and, unless --check-only, its
speed next to the 128 x 128 pipelined kernel and the vendor BLAS (torch, half inputs, float32
output) at 4096 and 8192 (--sizes). Both mma.sync kernels are launched here directly on half
operands, so a 9.0 device times them too (the engine would serve it with wgmma). Prints "skipped"
and exits 0 without a device of compute capability 8.0 or later.

    python bench/mma_wide_check.py [--check-only] [--sizes 4096 8192] [--runs N]
"""

from __future__ import annotations

import argparse
import ctypes
import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT))
import gemm_gpu as G  # noqa: E402

WIDE_SHARED, PIPE_SHARED = 98304, 49152
MAX_DYNAMIC_SHARED = 8  # CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES
MULTIPROCESSORS = 16    # CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT


def grid(m, n, cols, fold=None):
    """The kernels' grid: M tiles on x, N tiles on y folded into z past 65535 (or past `fold`)."""
    t = G.ceil_div(n, cols)
    y = min(t, fold or 65535)
    return (G.ceil_div(m, 128), y, G.ceil_div(t, y))


class Kernels:
    def __init__(self, dev):
        self.dev, self.ev = dev, G.Events(dev)
        lib = dev._lib
        lib.cuFuncSetAttribute.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
        lib.cuDeviceGetAttribute.restype = ctypes.c_int
        self.lib = lib
        self.wide = dev.function("gemm/mma_wide.ptx", "vantblas_gemm_mma_wide")
        self.pipe = dev.function("gemm/mma_pipe.ptx", "vantblas_gemm_mma_pipe")
        self.ev.check("cuFuncSetAttribute", lib.cuFuncSetAttribute(self.wide, MAX_DYNAMIC_SHARED, WIDE_SHARED))
        sms = ctypes.c_int()
        self.ev.check("cuDeviceGetAttribute", lib.cuDeviceGetAttribute(ctypes.byref(sms), MULTIPROCESSORS, dev._dev))
        self.sms = sms.value

    @staticmethod
    def params(c, ha, hb, m, n, k, f1=1.0, f2=1.0):
        return [("ptr", c), ("ptr", ha), ("ptr", hb), ("u32", m), ("u32", n), ("u32", k), ("f32", f1), ("f32", f2)]

    def launch(self, wide, g, params):
        holders = [{"ptr": ctypes.c_uint64, "u32": ctypes.c_uint32, "f32": ctypes.c_float}[t](v) for t, v in params]
        argv = (ctypes.c_void_p * 8)(*[ctypes.cast(ctypes.byref(h), ctypes.c_void_p) for h in holders])
        fn, shared = (self.wide, WIDE_SHARED) if wide else (self.pipe, PIPE_SHARED)
        self.ev.check("cuLaunchKernel", self.lib.cuLaunchKernel(fn, *g, 256, 1, 1, shared, None, argv, None))


def check(h):
    """Eighths in [-1, 1]: every sum exact in float32, so the result must equal the float64 product."""
    rng = np.random.default_rng(0)
    cases = [((272, 784, 208), None), ((272, 784, 208), 2), ((16, 16, 16), None), ((2192, 528, 48), None),
             ((1040, 1040, 592), None)]
    for (m, n, k), fold in cases:
        a = (rng.integers(-8, 9, (m, k)) / 8).astype(np.float16)
        b = (rng.integers(-8, 9, (k, n)) / 8).astype(np.float16)
        ha, hb = h.ev.upload(a), h.ev.upload(b)
        c = h.ev.upload(np.full((m, n), np.nan, np.float32))
        try:
            g = grid(m, n, 256, fold)
            h.launch(True, g, h.params(c, ha, hb, m, n, k, 0.5, 4.0))
            got = np.empty((m, n), np.float32)
            h.ev.check("cuMemcpyDtoH", h.lib.cuMemcpyDtoH_v2(got.ctypes.data_as(ctypes.c_void_p), c, got.nbytes))
        finally:
            for p in (ha, hb, c):
                h.ev.free(p)
        want = (a.astype(np.float64) @ b.astype(np.float64)) * 2.0
        ok = np.array_equal(got, want)
        print(f"check {m}x{n}x{k} grid {g}: {'exact' if ok else 'WRONG, max err %g' % np.nanmax(np.abs(got - want))}")
        if not ok:
            return False
    return True


def bench(h, sizes, runs):
    torch = G.torch_setup()
    mm, mode = G.torch_half_matmul(torch) if torch else (None, "")
    print(f"{h.sms} multiprocessors; TFLOPS")
    print(f"{'M x N x K':>18} {'128x256':>9} {'128x128':>9} {'torch ' + mode:>18} {'wide/128':>9} {'wide/torch':>11}")
    rng = np.random.default_rng(1)
    for s in sizes:
        m = n = k = s
        a = rng.standard_normal((m, k), dtype=np.float32).astype(np.float16)
        b = rng.standard_normal((k, n), dtype=np.float32).astype(np.float16)
        ha, hb = h.ev.upload(a), h.ev.upload(b)
        c = h.dev._alloc(m * n * 4)
        try:
            p = h.params(c, ha, hb, m, n, k)
            ms_wide = h.ev.time_launches(h.wide, grid(m, n, 256), (256, 1, 1), WIDE_SHARED, p, 3, runs)
            ms_pipe = h.ev.time_launches(h.pipe, grid(m, n, 128), (256, 1, 1), PIPE_SHARED, p, 3, runs)
            ms_torch = float("nan")
            if torch:
                ta, tb = torch.from_numpy(a).cuda(), torch.from_numpy(b).cuda()
                ms_torch = G.torch_time(torch, lambda: mm(ta, tb), 3, runs)
                del ta, tb
                h.ev.current()
        finally:
            for ptr in (ha, hb, c):
                h.ev.free(ptr)
        t = [G.tflops(m, n, k, ms) for ms in (ms_wide, ms_pipe, ms_torch)]
        print(f"{f'{m}x{n}x{k}':>18} {t[0]:9.1f} {t[1]:9.1f} {t[2]:18.1f} {t[0] / t[1]:9.2f} {t[0] / t[2]:11.2f}")


def main(argv=None):
    p = argparse.ArgumentParser()
    p.add_argument("--check-only", action="store_true")
    p.add_argument("--sizes", type=int, nargs="+", default=[4096, 8192])
    p.add_argument("--runs", type=int, default=10)
    args = p.parse_args(argv)
    _, dev = G.load_launcher()
    if dev is None or dev.compute_capability < (8, 0):
        print(f"mma_wide_check: skipped (needs compute capability 8.0 or later, device: "
              f"{dev and dev.compute_capability})")
        return 0
    h = Kernels(dev)
    if not check(h):
        return 1
    if not args.check_only:
        bench(h, args.sizes, args.runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
