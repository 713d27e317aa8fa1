"""The compute capability 9.0 kernel on a real device: a correctness check (partial tiles, several
tiles a persistent block) and, unless --check-only, its speed next to the mma.sync kernel and the
vendor BLAS (torch, half inputs, float32 output) at 2048, 4096, 8192 and two skinny shapes.
Prints "skipped" and exits 0 on any device other than 9.0. --check-only is what the memory and
race checkers run (small, quick).

    python bench/wgmma_check.py [--check-only] [--runs N]
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

SHARED = 4 * 49152 + 1024
SHAPES = [(2048, 2048, 2048), (4096, 4096, 4096), (8192, 8192, 8192), (16384, 512, 4096), (512, 16384, 4096)]


def up(x, t):
    return (x + t - 1) // t * t


class Hopper:
    def __init__(self, dev):
        self.dev, self.ev = dev, G.Events(dev)
        lib = dev._lib
        vp, u64p, u32p = ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint64), ctypes.POINTER(ctypes.c_uint)
        lib.cuTensorMapEncodeTiled.argtypes = [vp, ctypes.c_int, ctypes.c_uint, vp, u64p, u64p, u32p, u32p,
                                               ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_int]
        lib.cuFuncSetAttribute.argtypes = [vp, ctypes.c_int, ctypes.c_int]
        lib.cuDeviceGetAttribute.restype = ctypes.c_int
        self.lib = lib
        self.fn = dev.function("gemm/wgmma_tma.ptx", "vantblas_gemm_wgmma_tma")
        self.pipe = dev.function("gemm/mma_pipe.ptx", "vantblas_gemm_mma_pipe")
        self.ev.check("cuFuncSetAttribute", lib.cuFuncSetAttribute(self.fn, 8, SHARED))
        sms = ctypes.c_int()
        self.ev.check("cuDeviceGetAttribute", lib.cuDeviceGetAttribute(ctypes.byref(sms), 16, dev._dev))
        self.sms = sms.value
        self.keep = []

    def tmap(self, ptr, rows, cols, box_rows):
        raw = ctypes.create_string_buffer(256)
        at = (ctypes.addressof(raw) + 127) // 128 * 128
        dims, strides = (ctypes.c_uint64 * 2)(cols, rows), (ctypes.c_uint64 * 1)(cols * 2)
        box, es = (ctypes.c_uint * 2)(64, box_rows), (ctypes.c_uint * 2)(1, 1)
        self.ev.check("cuTensorMapEncodeTiled", self.lib.cuTensorMapEncodeTiled(
            ctypes.c_void_p(at), 6, 2, ctypes.c_void_p(ptr), dims, strides, box, es, 0, 3, 2, 0))
        self.keep.append(raw)
        return ctypes.string_at(at, 128)

    def launch_args(self, c, ha, hb, m, n, k):
        """(grid, argv) of the wgmma kernel on padded half operands at ha (mp x kp), hb (kp x np)."""
        mp, np_, kp = up(m, 128), up(n, 256), up(k, 64)
        maps = [ctypes.create_string_buffer(self.tmap(ha, mp, kp, 128), 128),
                ctypes.create_string_buffer(self.tmap(hb, kp, np_, 64), 128)]
        holders = [ctypes.c_uint64(c), *maps, ctypes.c_uint32(m), ctypes.c_uint32(n), ctypes.c_uint32(k),
                   ctypes.c_float(1.0), ctypes.c_float(1.0)]
        self.keep.append(holders)
        argv = (ctypes.c_void_p * 8)(*[ctypes.cast(ctypes.byref(h), ctypes.c_void_p) for h in holders])
        grid = min((mp // 128) * (np_ // 256), self.sms)
        return grid, argv

    def run(self, a16, b16, grid=None):
        m, k = a16.shape
        n = b16.shape[1]
        pa = np.zeros((up(m, 128), up(k, 64)), np.float16)
        pa[:m, :k] = a16
        pb = np.zeros((up(k, 64), up(n, 256)), np.float16)
        pb[:k, :n] = b16
        ha, hb = self.ev.upload(pa), self.ev.upload(pb)
        c = self.dev._alloc(m * n * 4)
        try:
            g, argv = self.launch_args(c, ha, hb, m, n, k)
            self.ev.check("cuLaunchKernel", self.lib.cuLaunchKernel(self.fn, grid or g, 1, 1, 384, 1, 1, SHARED,
                                                                    None, argv, None))
            out = np.empty((m, n), np.float32)
            self.ev.check("cuMemcpyDtoH", self.lib.cuMemcpyDtoH_v2(out.ctypes.data_as(ctypes.c_void_p), c, out.nbytes))
            return out
        finally:
            for p in (ha, hb, c):
                self.ev.free(p)


def check(h):
    rng = np.random.default_rng(0)
    for (m, n, k), grid in [((400, 272, 208), 3), ((16, 16, 16), 1), ((1040, 784, 592), None)]:
        a = (rng.integers(-8, 9, (m, k)) / 8).astype(np.float16)
        b = (rng.integers(-8, 9, (k, n)) / 8).astype(np.float16)
        got = h.run(a, b, grid)
        want = a.astype(np.float64) @ b.astype(np.float64)
        ok = np.array_equal(got, want)
        print(f"check {m}x{n}x{k} grid {grid or 'SMs'}: {'exact' if ok else 'WRONG, max err %g' % np.abs(got - want).max()}")
        if not ok:
            return False
    return True


def bench(h, runs):
    torch = G.torch_setup()
    mm, mode = G.torch_half_matmul(torch) if torch else (None, "")
    print(f"{'M x N x K':>20} {'wgmma':>9} {'mma.sync':>9} {'torch ' + mode:>18} {'wgmma/torch':>12}")
    rng = np.random.default_rng(1)
    for m, n, k in SHAPES:
        a = rng.standard_normal((m, k), dtype=np.float32).astype(np.float16)
        b = rng.standard_normal((k, n), dtype=np.float32).astype(np.float16)
        pa = np.zeros((up(m, 128), up(k, 64)), np.float16)
        pa[:m, :k] = a
        pb = np.zeros((up(k, 64), up(n, 256)), np.float16)
        pb[:k, :n] = b
        ha, hb, ua, ub = h.ev.upload(pa), h.ev.upload(pb), h.ev.upload(a), h.ev.upload(b)
        c = h.dev._alloc(m * n * 4)
        try:
            grid, argv = h.launch_args(c, ha, hb, m, n, k)

            def launch_wg():
                h.ev.check("cuLaunchKernel", h.lib.cuLaunchKernel(h.fn, grid, 1, 1, 384, 1, 1, SHARED, None, argv, None))
            ms_wg = time_fn(h, launch_wg, runs)
            ms_pipe = h.ev.time_launches(h.pipe, (G.ceil_div(m, 128), G.ceil_div(n, 128), 1), (256, 1, 1), 49152,
                                         [("ptr", c), ("ptr", ua), ("ptr", ub), ("u32", m), ("u32", n), ("u32", k),
                                          ("f32", 1.0), ("f32", 1.0)], 3, runs)
            ms_torch = float("nan")
            if torch:
                ta, tb = torch.from_numpy(a).cuda(), torch.from_numpy(b).cuda()
                ms_torch = G.torch_time(torch, lambda: mm(ta, tb), 3, runs)
                h.ev.current()
        finally:
            for p in (ha, hb, ua, ub, c):
                h.ev.free(p)
        t = [G.tflops(m, n, k, ms) for ms in (ms_wg, ms_pipe, ms_torch)]
        print(f"{f'{m}x{n}x{k}':>20} {t[0]:9.1f} {t[1]:9.1f} {t[2]:18.1f} {t[0] / t[2]:12.2f}")


def time_fn(h, launch, runs):
    lib = h.lib
    for _ in range(3):
        launch()
    times = []
    for _ in range(runs):
        s, e = ctypes.c_void_p(), ctypes.c_void_p()
        h.ev.check("cuEventCreate", lib.cuEventCreate(ctypes.byref(s), 0))
        h.ev.check("cuEventCreate", lib.cuEventCreate(ctypes.byref(e), 0))
        lib.cuEventRecord(s, None)
        launch()
        lib.cuEventRecord(e, None)
        h.ev.check("cuEventSynchronize", lib.cuEventSynchronize(e))
        ms = ctypes.c_float()
        lib.cuEventElapsedTime(ctypes.byref(ms), s, e)
        times.append(ms.value)
        lib.cuEventDestroy_v2(s)
        lib.cuEventDestroy_v2(e)
    return sorted(times)[len(times) // 2]


def main(argv=None):
    p = argparse.ArgumentParser()
    p.add_argument("--check-only", action="store_true")
    p.add_argument("--runs", type=int, default=10)
    args = p.parse_args(argv)
    _, dev = G.load_launcher()
    if dev is None or dev.compute_capability != (9, 0):
        print(f"wgmma_check: skipped (needs compute capability 9.0, device: {dev and dev.compute_capability})")
        return 0
    h = Hopper(dev)
    if not check(h):
        return 1
    if not args.check_only:
        bench(h, args.runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
