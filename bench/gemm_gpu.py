"""GPU GEMM benchmark: every kernel path of the engine timed device-resident with CUDA events, next
to torch.matmul on the same device, plus gemm() NumPy-to-NumPy next to the equivalent PyTorch
path. Prints TFLOPS and the ratio to PyTorch; exits cleanly (status 0) without a GPU.

    python bench/gemm_gpu.py [--sizes 1024 2048 4096 8192] [--skinny MxNxK ...] [--runs N]
                             [--budget SECONDS]

Kernel timings launch the PTX texts under kernels/ through the ctypes launcher of tests/gpu on
the device's primary context: fresh random operands per size, a few warm-up launches, then the
median of many launches, each bracketed by its own pair of events. Peers:
- FP32 kernels (shared, V2): torch.matmul in float32 with TF32 disabled;
- tensor-core kernels (OptVec, WMMA max: FP32 operands rounded to half while staging; MMA pipe:
  the pipelined mma.sync kernel on half operands converted beforehand, as the engine's route
  converts them once per product): torch.matmul of float16 operands with float32 output where
  this PyTorch offers it (else float16 output, marked in the table);
- split-K (--split shapes: few tiles over a long K): the shared and MMA pipe kernels unsplit next
  to their k-slice variants followed by the slice sum (both launches in one timing), sliced as the
  engine plans it for this device, against both peers;
- gemm() end to end (NumPy arrays in, a new NumPy array out) at --e2e-sizes: against
  `torch.from_numpy(a).cuda() @ torch.from_numpy(b).cuda()` then `.cpu().numpy()` (pageable host
  memory, as a user writes it) and against the same product from page-locked tensors;
- gemm_chain() NumPy to NumPy, a chain of eight VantTensor.matmul calls and a two-layer
  VantBLASModel.forward against the same work in PyTorch (weights resident where ours are).

    python bench/gemm_gpu.py [--sizes ...] [--skinny MxNxK ...] [--split MxNxK ...]
                             [--e2e-sizes 1024 4096 8192] [--resident-size 4096]
"""

from __future__ import annotations

import argparse
import ctypes
import statistics
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "gpu"))


def load_launcher():
    try:
        import launcher
    except ImportError as e:  # the launcher ships with the tests
        print(f"gemm_gpu: cannot import the ctypes launcher ({e}); skipped")
        return None, None
    dev = launcher.open_device()
    return launcher, dev


class Events:
    """CUDA event timing on the launcher's context and the default stream."""

    def __init__(self, dev):
        self.dev = dev
        lib = dev._lib
        vp = ctypes.c_void_p
        for name, args in {"cuEventCreate": [vp, ctypes.c_uint], "cuEventRecord": [vp, vp],
                           "cuEventSynchronize": [vp], "cuEventElapsedTime": [vp, vp, vp],
                           "cuEventDestroy_v2": [vp], "cuMemcpyHtoD_v2": [ctypes.c_uint64, vp, ctypes.c_size_t],
                           "cuMemFree_v2": [ctypes.c_uint64], "cuLaunchKernel": None,
                           "cuCtxSetCurrent": [vp], "cuMemGetInfo_v2": [vp, vp]}.items():
            fn = getattr(lib, name)
            if args is not None:
                fn.argtypes = args
            fn.restype = ctypes.c_int
        self.lib = lib

    def check(self, name, status):
        if status != 0:
            raise RuntimeError(f"{name} failed with CUDA status {status}")

    def current(self):
        self.check("cuCtxSetCurrent", self.lib.cuCtxSetCurrent(self.dev._ctx))

    def free_bytes(self):
        free, total = ctypes.c_size_t(), ctypes.c_size_t()
        self.check("cuMemGetInfo", self.lib.cuMemGetInfo_v2(ctypes.byref(free), ctypes.byref(total)))
        return free.value

    def upload(self, array):
        array = np.ascontiguousarray(array)
        ptr = self.dev._alloc(array.nbytes)
        self.check("cuMemcpyHtoD", self.lib.cuMemcpyHtoD_v2(ptr, array.ctypes.data_as(ctypes.c_void_p),
                                                             array.nbytes))
        return ptr

    def free(self, ptr):
        self.lib.cuMemFree_v2(ptr)

    def multiprocessors(self):
        count = ctypes.c_int()
        status = self.lib.cuDeviceGetAttribute(ctypes.byref(count), 16, self.dev._dev)
        return count.value if status == 0 and count.value > 0 else 1

    def time_launches(self, fn, grid, block, shared, params, warmup, runs):
        """Median milliseconds of `runs` launches after `warmup` ones."""
        return self.time_sequence([(fn, grid, block, shared, params)], warmup, runs)

    def time_sequence(self, launches, warmup, runs):
        """Median milliseconds of `runs` issues of the launches (fn, grid, block, shared, params),
        one after another between one pair of events, after `warmup` issues."""
        prepared = []
        for fn, grid, block, shared, params in launches:
            holders = [{"ptr": ctypes.c_uint64, "u32": ctypes.c_uint32, "f32": ctypes.c_float}[kind](value)
                       for kind, value in params]
            argv = (ctypes.c_void_p * len(holders))(*[ctypes.cast(ctypes.byref(h), ctypes.c_void_p) for h in holders])
            prepared.append((fn, grid, block, shared, holders, argv))

        def launch():
            for fn, grid, block, shared, _, argv in prepared:
                self.check("cuLaunchKernel", self.lib.cuLaunchKernel(fn, *grid, *block, shared, None, argv, None))

        events = []
        try:
            for _ in range(warmup):
                launch()
            for _ in range(runs):
                start, end = ctypes.c_void_p(), ctypes.c_void_p()
                self.check("cuEventCreate", self.lib.cuEventCreate(ctypes.byref(start), 0))
                self.check("cuEventCreate", self.lib.cuEventCreate(ctypes.byref(end), 0))
                events.append((start, end))
                self.check("cuEventRecord", self.lib.cuEventRecord(start, None))
                launch()
                self.check("cuEventRecord", self.lib.cuEventRecord(end, None))
            times = []
            for start, end in events:
                self.check("cuEventSynchronize", self.lib.cuEventSynchronize(end))
                ms = ctypes.c_float()
                self.check("cuEventElapsedTime", self.lib.cuEventElapsedTime(ctypes.byref(ms), start, end))
                times.append(ms.value)
            return statistics.median(times)
        finally:
            for start, end in events:
                self.lib.cuEventDestroy_v2(start)
                self.lib.cuEventDestroy_v2(end)


def ceil_div(x, t):
    return (x + t - 1) // t


# (label, module, entry, parameter order, tile, block, dynamic shared bytes, minimum compute capability).
# Order "cab" / "abc"; "+" appends two f32 parameters (alpha, beta for V2; the two scale-back
# factors, here 1, for the MMA pipe); "h" reads half operands. Grids put N tiles on x and M tiles
# on y, except the MMA pipe ("x=M").
PATHS = [
    ("shared (FP32)", "gemm/shared.ptx", "vantblas_gemm_shared_64x64", "abc", 64, (16, 16, 1), 4096, (7, 5)),
    ("V2 (FP32)", "gemm/v2.ptx", "vantblas_gemm_v2", "abc+", 128, (256, 1, 1), 0, (8, 0)),
    ("OptVec (TC)", "gemm/wmma_opt.ptx", "vantblas_gemm_wmma_opt_vec", "cab", 64, (128, 1, 1), 0, (8, 0)),
    ("WMMA max (TC)", "gemm/wmma_max.ptx", "vantblas_gemm_wmma_max", "cab", 128, (256, 1, 1), 20480, (8, 0)),
    ("MMA pipe (TC)", "gemm/mma_pipe.ptx", "vantblas_gemm_mma_pipe", "cab+h x=M", 128, (256, 1, 1), 49152, (8, 0)),
]


def plan_split_k(m, n, k, tile, step, sms):
    """(slices, k per slice) as src/engine/paths.hpp plans them: split while the tiles fill at most
    half the multiprocessors and K holds two slices of 256; about two blocks a multiprocessor, at
    most 16 slices, none shorter than 256, a whole number of k steps each."""
    if m == 0 or n == 0 or k < 512:
        return 1, k
    tiles = ceil_div(m, tile) * ceil_div(n, tile)
    if tiles * 2 > sms:
        return 1, k
    slices = min(ceil_div(2 * sms, tiles), 16, k // 256)
    if slices < 2:
        return 1, k
    length = ceil_div(ceil_div(k, slices), step) * step
    return ceil_div(k, length), length


# Split variants: (label, module, split entry, tile, k step, block, shared, minimum compute capability).
SPLITS = [
    ("shared split (FP32)", "gemm/shared.ptx", "vantblas_gemm_shared_split", 64, 8, (16, 16, 1), 4096, (7, 5)),
    ("MMA split (TC)", "gemm/mma_pipe.ptx", "vantblas_gemm_mma_split", 128, 32, (256, 1, 1), 49152, (8, 0)),
]


def tflops(m, n=None, k=None, ms=None):
    n = m if n is None else n
    k = m if k is None else k
    return 2.0 * m * n * k / (ms * 1e-3) / 1e12 if ms and ms > 0 else float("nan")


def parse_shape(text):
    m, n, k = (int(x) for x in text.lower().split("x"))
    return m, n, k


def torch_setup():
    try:
        import torch
    except ImportError:
        return None
    if not torch.cuda.is_available():
        return None
    torch.backends.cuda.matmul.allow_tf32 = False
    torch.backends.cudnn.allow_tf32 = False
    return torch


def torch_half_matmul(torch):
    """float16 x float16 -> float32 where this PyTorch can, else float16 output (flagged)."""
    a = torch.ones((16, 16), device="cuda", dtype=torch.float16)
    try:
        torch.mm(a, a, out_dtype=torch.float32)
        return (lambda x, y: torch.mm(x, y, out_dtype=torch.float32)), "fp16->fp32"
    except (TypeError, RuntimeError):
        return (lambda x, y: torch.matmul(x, y)), "fp16->fp16"


def torch_time(torch, fn, warmup, runs):
    for _ in range(warmup):
        fn()
    pairs = []
    for _ in range(runs):
        s, e = torch.cuda.Event(enable_timing=True), torch.cuda.Event(enable_timing=True)
        s.record()
        fn()
        e.record()
        pairs.append((s, e))
    torch.cuda.synchronize()
    return statistics.median(s.elapsed_time(e) for s, e in pairs)


def wall_median(fn, runs):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append((time.perf_counter() - t0) * 1e3)
    return statistics.median(times)


def end_to_end_rows(torch, ev, rng, n, rows):
    """gemm() NumPy to NumPy (gather, upload, product, download into a new array) against what a
    PyTorch user writes, `torch.from_numpy(a).cuda() @ torch.from_numpy(b).cuda()` then
    `.cpu().numpy()` (pageable host memory), and against PyTorch with page-locked host tensors
    prepared outside the timing (copies with non_blocking=True, the result into a pinned tensor).
    FP32 products on both sides (TF32 off); the module takes its tensor-core route at these sizes."""
    try:
        import _vantblas
    except ImportError as e:
        print(f"gemm_gpu: _vantblas not importable ({e}); end-to-end skipped")
        return
    a = rng.standard_normal((n, n), dtype=np.float32)
    b = rng.standard_normal((n, n), dtype=np.float32)
    runs = 7 if n <= 2048 else 5 if n <= 4096 else 3
    flops = 2.0 * n ** 3
    peer_pageable = peer_pinned = None
    if torch is not None:
        ev.current()

        def torch_pageable():
            return (torch.from_numpy(a).cuda() @ torch.from_numpy(b).cuda()).cpu().numpy()

        pa, pb = torch.from_numpy(a).pin_memory(), torch.from_numpy(b).pin_memory()
        pc = torch.empty((n, n), dtype=torch.float32).pin_memory()

        def torch_pinned():
            c = pa.cuda(non_blocking=True) @ pb.cuda(non_blocking=True)
            pc.copy_(c, non_blocking=True)
            torch.cuda.synchronize()
            return pc.numpy()

        torch_pageable()
        torch_pinned()
        ms_pageable = wall_median(torch_pageable, runs)
        ms_pinned = wall_median(torch_pinned, runs)
        peer_pageable = flops / (ms_pageable * 1e-3) / 1e12
        peer_pinned = flops / (ms_pinned * 1e-3) / 1e12
        rows.append((n, "torch e2e pageable", ms_pageable, peer_pageable, None, None))
        rows.append((n, "torch e2e pinned", ms_pinned, peer_pinned, None, None))
        del pa, pb, pc
        torch.cuda.empty_cache()
    _vantblas.gemm(a[:64, :64], b[:64, :64])  # loads the kernel set outside the timing
    _vantblas.gemm(a, b)                      # fills the device-memory cache and the staging
    ms = wall_median(lambda: _vantblas.gemm(a, b), runs)
    t = flops / (ms * 1e-3) / 1e12
    rows.append((n, "gemm() vs pageable", ms, t, peer_pageable, t / peer_pageable if peer_pageable else None))
    rows.append((n, "gemm() vs pinned", ms, t, peer_pinned, t / peer_pinned if peer_pinned else None))


def resident_rows(torch, rng, n, rows):
    """Resident objects against the same work on PyTorch tensors kept on the device: a chain of
    eight VantTensor.matmul calls (read back once at the end) and a two-layer model forward pass
    from host input to host output. Both sides use FP32 products (TF32 off)."""
    try:
        import _vantblas
    except ImportError as e:
        print(f"resident objects: _vantblas not importable ({e}); skipped")
        return
    a = rng.standard_normal((n, n), dtype=np.float32) / np.float32(np.sqrt(n))
    ws = [rng.standard_normal((n, n), dtype=np.float32) / np.float32(np.sqrt(n)) for _ in range(2)]
    flops_chain = 8 * 2.0 * n ** 3
    flops_model = 2 * 2.0 * n ** 3

    ta = _vantblas.VantTensor(a)
    tw = _vantblas.VantTensor(ws[0])

    def ours_chain():
        t = ta
        for _ in range(8):
            t = t.matmul(tw)
        return t.cpu()

    model = _vantblas.VantBLASModel()
    model.set_weights(ws[0], ws[1])
    ours_chain()
    model.forward(a)
    _vantblas.gemm_chain(a, ws[0], ws[1])
    ms_chain = wall_median(ours_chain, 3)
    ms_model = wall_median(lambda: model.forward(a), 3)
    ms_gemm_chain = wall_median(lambda: _vantblas.gemm_chain(a, ws[0], ws[1]), 3)

    peer_chain = peer_model = peer_gemm_chain = None
    if torch is not None:
        xa = torch.from_numpy(a).cuda()
        w1 = torch.from_numpy(ws[0]).cuda()
        w2 = torch.from_numpy(ws[1]).cuda()

        def torch_chain():
            t = xa
            for _ in range(8):
                t = torch.matmul(t, w1)
            return t.cpu().numpy()

        def torch_model():
            x = torch.from_numpy(a).cuda()
            return torch.matmul(torch.matmul(x, w1), w2).cpu().numpy()

        def torch_gemm_chain():  # all three operands from the host, as gemm_chain takes them
            x, y, z = (torch.from_numpy(v).cuda() for v in (a, ws[0], ws[1]))
            return torch.matmul(torch.matmul(x, y), z).cpu().numpy()

        torch_chain()
        torch_model()
        torch_gemm_chain()
        peer_chain = flops_chain / (wall_median(torch_chain, 3) * 1e-3) / 1e12
        peer_model = flops_model / (wall_median(torch_model, 3) * 1e-3) / 1e12
        peer_gemm_chain = flops_model / (wall_median(torch_gemm_chain, 3) * 1e-3) / 1e12
    t_chain = flops_chain / (ms_chain * 1e-3) / 1e12
    t_model = flops_model / (ms_model * 1e-3) / 1e12
    rows.append((n, "VantTensor x8 chain", ms_chain, t_chain, peer_chain,
                 t_chain / peer_chain if peer_chain else None))
    rows.append((n, "VantBLASModel fwd", ms_model, t_model, peer_model,
                 t_model / peer_model if peer_model else None))
    t_gemm_chain = flops_model / (ms_gemm_chain * 1e-3) / 1e12
    rows.append((n, "gemm_chain() e2e", ms_gemm_chain, t_gemm_chain, peer_gemm_chain,
                 t_gemm_chain / peer_gemm_chain if peer_gemm_chain else None))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[1024, 2048, 4096, 8192])
    ap.add_argument("--skinny", type=parse_shape, nargs="*", default=[(256, 8192, 8192), (8192, 8192, 256)],
                    help="extra M x N x K shapes, tensor-core paths and their peer only")
    ap.add_argument("--split", type=parse_shape, nargs="*", default=[(512, 512, 16384), (256, 1024, 8192),
                                                                     (1024, 128, 32768)],
                    help="few-tile M x N x K shapes: unsplit and split-K kernels of both routes")
    ap.add_argument("--e2e-sizes", type=int, nargs="+", default=[1024, 4096, 8192],
                    help="sizes of the NumPy-to-NumPy gemm() comparison")
    ap.add_argument("--runs", type=int, default=0, help="timed launches per path (default: by size)")
    ap.add_argument("--budget", type=float, default=240.0, help="seconds; larger sizes are skipped past it")
    ap.add_argument("--resident-size", type=int, default=4096,
                    help="size of the VantTensor chain and of the model (batch, in, hidden, out)")
    args = ap.parse_args(argv)
    started = time.monotonic()

    launcher, dev = load_launcher()
    if dev is None:
        print("gemm_gpu: no usable NVIDIA GPU and driver; skipped")
        return 0
    ev = Events(dev)
    cc = dev.compute_capability
    torch = torch_setup()
    if torch is None:
        print("gemm_gpu: PyTorch with CUDA not available; peers not measured")
    half_mm, half_kind = torch_half_matmul(torch) if torch else (None, "")
    print(f"device compute capability {cc[0]}.{cc[1]}; PyTorch "
          f"{torch.__version__ if torch else 'absent'} (TF32 off; tensor-core peer {half_kind or 'n/a'})")

    rng = np.random.default_rng(12345)
    rows = []  # (size, path, ms, tflops, peer tflops, ratio)
    # NumPy to NumPy first: the figure users see, measured before the budget can run out.
    for n in args.e2e_sizes:
        if time.monotonic() - started > args.budget:
            print(f"end to end {n}: skipped (time budget spent)")
            continue
        ev.current()
        if ev.free_bytes() < 8 * 4 * n * n:
            print(f"end to end {n}: skipped (not enough device memory)")
            continue
        end_to_end_rows(torch, ev, rng, n, rows)

    sms = ev.multiprocessors()
    shapes = sorted([(n, n, n, "square") for n in args.sizes] + [tuple(s) + ("skinny",) for s in args.skinny] +
                    [tuple(s) + ("split",) for s in args.split], key=lambda s: s[0] * s[1] * s[2])
    for shape in shapes:
        m, n, k, kind = shape
        square = kind == "square"
        label_size = str(n) if square else f"{m}x{n}x{k}"
        if time.monotonic() - started > args.budget:
            print(f"size {label_size}: skipped (time budget spent)")
            continue
        ev.current()
        if ev.free_bytes() < 3 * 4 * (m * k + k * n + m * n):
            print(f"size {label_size}: skipped (not enough device memory)")
            continue
        work = m * n * k
        runs = args.runs or (30 if work <= 2048 ** 3 else 10 if work <= 4096 ** 3 else 5)
        warmup = 3 if work <= 4096 ** 3 else 1
        a = rng.standard_normal((m, k), dtype=np.float32)
        b = rng.standard_normal((k, n), dtype=np.float32)

        peer_f32 = peer_f16 = None
        if torch is not None:
            ta = torch.from_numpy(a).cuda()
            tb = torch.from_numpy(b).cuda()
            if kind != "skinny":
                ms32 = torch_time(torch, lambda: torch.matmul(ta, tb), warmup, runs)
                peer_f32 = tflops(m, n, k, ms32)
                rows.append((label_size, "torch fp32", ms32, peer_f32, None, None))
            ha, hb = ta.half(), tb.half()
            ms16 = torch_time(torch, lambda: half_mm(ha, hb), warmup, runs)
            peer_f16 = tflops(m, n, k, ms16)
            rows.append((label_size, f"torch {half_kind}", ms16, peer_f16, None, None))
            del ta, tb, ha, hb
            torch.cuda.empty_cache()

        ev.current()
        A, B = ev.upload(a), ev.upload(b)
        HA, HB = ev.upload(a.astype(np.float16)), ev.upload(b.astype(np.float16))
        C = ev.upload(np.zeros((m, n), np.float32))
        try:
            for label, module, entry, order, tile, block, shared, min_cc in PATHS:
                if kind == "skinny" and "TC" not in label or kind == "split" and "V2" in label:
                    continue
                if cc < min_cc:
                    rows.append((label_size, label, None, None, None, None))
                    continue
                fn = dev.function(module, entry)
                if "x=M" in order:
                    grid = (ceil_div(m, tile), ceil_div(n, tile), 1)
                else:
                    grid = (ceil_div(n, tile), ceil_div(m, tile), 1)
                half = "h" in order
                ptrs = {"a": HA if half else A, "b": HB if half else B, "c": C}
                params = [("ptr", ptrs[ch]) for ch in order.split()[0].rstrip("+h")] + \
                    [("u32", m), ("u32", n), ("u32", k)]
                if "+" in order:
                    params += [("f32", 1.0), ("f32", 0.0 if entry == "vantblas_gemm_v2" else 1.0)]
                ms = ev.time_launches(fn, grid, block, shared, params, warmup, runs)
                peer = peer_f16 if "TC" in label else peer_f32
                t = tflops(m, n, k, ms)
                rows.append((label_size, label, ms, t, peer, t / peer if peer else None))
            for label, module, entry, tile, step, block, shared, min_cc in SPLITS if kind == "split" else []:
                slices, k_slice = plan_split_k(m, n, k, tile, step, sms)
                if cc < min_cc or slices < 2:
                    rows.append((label_size, label, None, None, None, None))
                    continue
                P = ev.upload(np.zeros(slices * m * n, np.float32))
                try:
                    if "TC" in label:
                        split = (dev.function(module, entry), (ceil_div(m, tile), ceil_div(n, tile), slices), block,
                                 shared, [("ptr", P), ("ptr", HA), ("ptr", HB), ("u32", m), ("u32", n), ("u32", k),
                                          ("u32", k_slice)])
                    else:
                        split = (dev.function(module, entry), (ceil_div(n, tile), ceil_div(m, tile), slices), block,
                                 shared, [("ptr", A), ("ptr", B), ("ptr", P), ("u32", m), ("u32", n), ("u32", k),
                                          ("u32", k_slice)])
                    total = (dev.function("gemm/shared.ptx", "vantblas_splitk_reduce"), (ceil_div(m * n, 256), 1, 1),
                             (256, 1, 1), 0, [("ptr", C), ("ptr", P), ("u32", m * n), ("u32", slices),
                                              ("f32", 1.0), ("f32", 1.0)])
                    ms = ev.time_sequence([split, total], warmup, runs)
                finally:
                    ev.free(P)
                peer = peer_f16 if "TC" in label else peer_f32
                t = tflops(m, n, k, ms)
                name, route = label.rsplit(" ", 1)
                rows.append((label_size, f"{name} x{slices} {route}", ms, t, peer, t / peer if peer else None))
        finally:
            for p in (A, B, HA, HB, C):
                ev.free(p)

    if time.monotonic() - started <= args.budget:
        resident_rows(torch, rng, args.resident_size, rows)
    else:
        print("resident objects: skipped (time budget spent)")

    print()
    print(f"{'size':>14}  {'path':<20} {'ms':>9} {'TFLOPS':>8} {'peer':>8} {'ratio':>6}")
    # ratio: our TFLOPS / the peer's (above 1: we are faster)
    for n, label, ms, t, peer, ratio in rows:
        fmt = lambda v, pattern: format(v, pattern) if v is not None else "-"
        print(f"{n:>14}  {label:<20} {fmt(ms, '9.3f'):>9} {fmt(t, '8.2f'):>8} {fmt(peer, '8.2f'):>8} "
              f"{fmt(ratio, '6.2f'):>6}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
