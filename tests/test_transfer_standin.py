"""Staged transfers and pooled device memory of the GEMM routes, through the stand-in driver.

The staged path (pinned chunks, asynchronous copies, row panels on three streams) must give the
blocking path's results bit for bit, on operands that cross chunk boundaries in every layout and
on products on both sides of the panel threshold; the device-memory cache must make repeated
calls allocation-free, stay under its cap and empty itself to satisfy an allocation the device
refuses. The stand-in runs queued work only when forced, so a missing wait shows up as a wrong
result or a reported hazard rather than passing by luck.
"""

from __future__ import annotations

import json

import pytest

import fakecuda

pytestmark = pytest.mark.skipif(fakecuda.real_driver_present(), reason="a real driver would be found first")

STAGING_ENTRIES = ("cuMemHostAlloc", "cuMemFreeHost", "cuMemcpyHtoDAsync", "cuMemcpyDtoHAsync", "cuStreamDestroy",
                   "cuStreamWaitEvent", "cuEventCreate", "cuEventRecord", "cuEventSynchronize", "cuEventDestroy")

# Each case is (name, callable); the child prints every result's bytes and what the driver saw.
CASES = r'''
import base64, gc
import numpy as np
import _vantblas as vb

def rand(*shape, seed=0):
    return np.random.default_rng(seed + sum(shape)).standard_normal(shape).astype(np.float32)

big = rand(3001, 2803, seed=1)
wide = rand(2048, 2048, seed=2)
cases = {
    # 1500 x 1400 floats: 8.4 MB, just over one 8 MiB chunk, not a multiple of it
    "chunk_tail": lambda: vb.gemm(big[:1500, :1400], rand(1400, 3)),
    "fortran": lambda: vb.gemm(np.asfortranarray(big[:1500, :1400]), rand(1400, 5)),
    "strided": lambda: vb.gemm(big[::2, ::2], rand(1402, 3)),
    "negative": lambda: vb.gemm(big[::-2, ::-2][:1200], rand(1402, 3)[::-1]),
    "zero_stride": lambda: vb.gemm(np.broadcast_to(rand(1, 2100), (1100, 2100)), rand(2100, 7)),
    # panel threshold: (k + n) x 4 x m bytes of row traffic against 16 MiB
    "below_panels": lambda: vb.gemm(wide[:1000], rand(2048, 3)),
    "panels_fp32": lambda: vb.gemm(wide, rand(2048, 3)),
    "panels_fp32_tail": lambda: vb.gemm(big[:2999, :2048], rand(2048, 5)),
    "panels_fp16": lambda: vb.gemm(wide, rand(2048, 16)),
    "panels_chain": lambda: vb.gemm_chain(wide, rand(2048, 8), rand(8, 3)),
    "small": lambda: vb.matmul(rand(7, 5), rand(5, 3)),
    "small_fp16": lambda: vb.gemm_fp16(rand(16, 32), rand(32, 48)),
}
out = {}
for name, fn in cases.items():
    before = len(fake.launches())
    c = fn()
    assert c.dtype == np.float32 and c.flags.c_contiguous
    out[name] = {"bits": base64.b64encode(c.tobytes()).decode(), "shape": list(c.shape),
                 "launches": len(fake.launches()) - before}
gc.collect()
state = {k: fake.stat(k) for k in ("pending_ops", "hazards", "bounds_violations", "live_pinned", "async_copies")}
print(json.dumps({"cases": out, "state": state, "async_calls": fake.calls("cuMemcpyHtoDAsync")}))
'''


def child(code, **kw):
    r = fakecuda.run(code, timeout=900, **kw).check()
    return json.loads(r.lines[-1])


def test_staged_products_equal_the_blocking_path_bit_for_bit():
    staged = child(CASES, env={"VANTBLAS_POOL_CACHE_BYTES": str(256 << 20)})
    blocking = child(CASES, hide=STAGING_ENTRIES)
    assert blocking["async_calls"] == 0 and blocking["state"]["live_pinned"] == 0
    assert staged["state"] == {"pending_ops": 0, "hazards": 0, "bounds_violations": 0, "live_pinned": 4,
                               "async_copies": staged["state"]["async_copies"]}
    for name, want in blocking["cases"].items():
        got = staged["cases"][name]
        assert got["shape"] == want["shape"] and got["bits"] == want["bits"], name
    launches = {name: c["launches"] for name, c in staged["cases"].items()}
    assert launches["below_panels"] == 1 and launches["small"] == 1
    assert launches["panels_fp32"] == 4 and launches["panels_fp32_tail"] == 4
    # The seed tensor-core kernels (the stand-in refuses the pipelined module by default) need A's
    # whole range before their launch: such a product is not cut.
    assert launches["panels_fp16"] == 1
    assert launches["panels_chain"] == 8
    assert all(c["launches"] in (1, 2) for c in blocking["cases"].values())


def test_device_memory_cache_reuses_stays_under_its_cap_and_empties_to_retry():
    cap = 96 << 10
    out = child("""
        import numpy as np
        import _vantblas as vb
        import cpu_refs
        def rand(*shape, seed=0):
            return np.random.default_rng(seed + sum(shape)).standard_normal(shape).astype(np.float32)
        a, b = rand(64, 48), rand(48, 32)
        first = vb.gemm(a, b)
        counts = lambda: {e: fake.calls(e) for e in ("cuMemAlloc", "cuMemFree", "cuMemHostAlloc")}
        before = counts()
        # New data of the same shape: cached blocks hold the last call's numbers, which must not leak in.
        a2, b2 = rand(64, 48, seed=5), rand(48, 32, seed=6)
        second = vb.gemm(a2, b2)
        repeat = {e: n - before[e] for e, n in counts().items()}
        fresh = vb.gemm(np.ascontiguousarray(a2), np.ascontiguousarray(b2))
        # Growing sizes: what stays allocated between calls is the cache, never above its cap.
        live = []
        for n in (16, 32, 48, 64, 96, 128, 160):
            vb.gemm(rand(n, n), rand(n, n))
            live.append(fake.live_bytes)
        # A refused allocation with blocks cached: they go back to the driver and the retry succeeds.
        fake.set_memory_limit(fake.live_bytes + 3 * 4 * 40 * 40 - 1)
        frees = fake.calls("cuMemFree")
        x, y = rand(40, 40), rand(40, 40)
        retried = vb.gemm(x, y)
        out = {"repeat": repeat, "same": second.tobytes() == fresh.tobytes(), "live": live,
               "trimmed": fake.calls("cuMemFree") - frees,
               "gpu_after_retry": not np.array_equal(retried, cpu_refs.gemm(x, y)),
               "close": bool(np.allclose(retried, x.astype(np.float64) @ y, atol=1e-2)),
               "pinned": fake.live_pinned, "streams": fake.live_streams, "events": fake.live_events}
        print(json.dumps(out))
    """, env={"VANTBLAS_POOL_CACHE_BYTES": str(cap)})
    assert out["repeat"] == {"cuMemAlloc": 0, "cuMemFree": 0, "cuMemHostAlloc": 0}
    assert out["same"]
    assert max(out["live"]) <= cap, out["live"]
    assert out["trimmed"] > 0 and out["gpu_after_retry"] and out["close"]
    # Bounded for the process: four 8 MiB chunks, the core's stream and two copy streams, the events.
    assert (out["pinned"], out["streams"], out["events"]) == (4, 3, 12)


def test_stand_in_runs_queued_work_only_when_forced_and_reports_early_reads():
    out = child("""
        import ctypes
        lib = ctypes.CDLL(os.environ["FAKECUDA_LIB"])
        P, U64, SZ = ctypes.c_void_p, ctypes.c_uint64, ctypes.c_size_t
        for name, args in {"cuInit": [ctypes.c_uint], "cuCtxCreate_v2": [P, ctypes.c_uint, ctypes.c_int],
                           "cuMemAlloc_v2": [P, SZ], "cuMemHostAlloc": [P, SZ, ctypes.c_uint],
                           "cuStreamCreate": [P, ctypes.c_uint], "cuEventCreate": [P, ctypes.c_uint],
                           "cuMemcpyHtoDAsync_v2": [U64, P, SZ, P], "cuMemcpyDtoHAsync_v2": [P, U64, SZ, P],
                           "cuEventRecord": [P, P], "cuStreamWaitEvent": [P, P, ctypes.c_uint],
                           "cuStreamSynchronize": [P], "cuEventSynchronize": [P]}.items():
            getattr(lib, name).argtypes = args
        def ok(status):
            assert status == 0, status
        ctx, dev, s1, s2, ev = P(), U64(), P(), P(), P()
        ok(lib.cuInit(0)); ok(lib.cuCtxCreate_v2(ctypes.byref(ctx), 0, 0))
        ok(lib.cuMemAlloc_v2(ctypes.byref(dev), 16))
        ok(lib.cuStreamCreate(ctypes.byref(s1), 1)); ok(lib.cuStreamCreate(ctypes.byref(s2), 1))
        ok(lib.cuEventCreate(ctypes.byref(ev), 2))
        pin_in, pin_out = P(), P()
        ok(lib.cuMemHostAlloc(ctypes.byref(pin_in), 16, 0)); ok(lib.cuMemHostAlloc(ctypes.byref(pin_out), 16, 0))
        src = (ctypes.c_float * 4).from_address(pin_in.value)
        dst = (ctypes.c_float * 4).from_address(pin_out.value)
        res = {}

        # 1. Upload on s1, download on s2 with no wait between them: the download runs first and
        # reads device memory the queued upload will still write.
        src[:] = [1, 2, 3, 4]
        ok(lib.cuMemcpyHtoDAsync_v2(dev.value, pin_in, 16, s1))
        ok(lib.cuMemcpyDtoHAsync_v2(pin_out, dev.value, 16, s2))
        res["before_sync"] = [x != x for x in dst]          # not written yet: NaN pattern
        ok(lib.cuStreamSynchronize(s2))
        res["unordered"] = list(dst)
        res["hazards_unordered"] = fake.stat("hazards")
        ok(lib.cuStreamSynchronize(s1))

        # 2. The same with the download ordered after the upload by an event: right, no hazard.
        src[:] = [5, 6, 7, 8]
        ok(lib.cuMemcpyHtoDAsync_v2(dev.value, pin_in, 16, s1))
        ok(lib.cuEventRecord(ev, s1))
        ok(lib.cuStreamWaitEvent(s2, ev, 0))
        ok(lib.cuMemcpyDtoHAsync_v2(pin_out, dev.value, 16, s2))
        ok(lib.cuStreamSynchronize(s2))                     # reaches the wait, which runs s1 first
        res["ordered"] = list(dst)
        res["hazards_ordered"] = fake.stat("hazards")

        # 3. A staging chunk refilled before its queued upload ran: the device gets the new bytes
        # and the change is reported.
        src[:] = [9, 9, 9, 9]
        ok(lib.cuMemcpyHtoDAsync_v2(dev.value, pin_in, 16, s1))
        src[:] = [0, 0, 0, 0]
        ok(lib.cuEventRecord(ev, s1))
        ok(lib.cuEventSynchronize(ev))
        res["reused"] = fake.read_f32(dev.value, 4)
        res["hazards_reused"] = fake.stat("hazards")
        res["pending"] = fake.pending_ops
        print(json.dumps(res))
    """)
    assert out["before_sync"] == [True] * 4
    assert out["unordered"] != [1, 2, 3, 4] and out["hazards_unordered"] == 1
    assert out["ordered"] == [5, 6, 7, 8] and out["hazards_ordered"] == 1
    assert out["reused"] == [0, 0, 0, 0] and out["hazards_reused"] == 2
    assert out["pending"] == 0


def test_pipelined_route_scales_each_row_panel_by_its_own_range():
    # Row panels of A at magnitudes far apart: each panel is converted with the power of two of its
    # own rows, so the small ones keep their precision; B is converted once, from the one range
    # gathered before the first product. Every kernel runs interpreted. (One multiprocessor: on
    # more, panels of 512 x 16 would be too few tiles to cut the product into.)
    out = child("""
        import numpy as np
        import _vantblas as vb
        import gemm_refs as R
        rng = np.random.default_rng(3)
        a = rng.standard_normal((2048, 2048)).astype(np.float32)
        a *= np.repeat(np.float32([1e-6, 1e4, 1.0, 3e-30]), 512)[:, None]
        b = rng.standard_normal((2048, 16)).astype(np.float32)
        vb.gemm(b[:16], b[:16])  # loads the kernel set (and runs its self-test) first
        before = len(fake.launches())
        c = vb.gemm(a, b)
        l = fake.launches()[before:]
        print(json.dumps({"kernels": [x["kernel"][9:] for x in l],
                          "close": [R.pipe_close(c[r:r + 512], a[r:r + 512], b) for r in range(0, 2048, 512)],
                          "hazards": fake.stat("hazards"), "reports": fake.stat("interpreter_reports")}))
    """, refuse=(), env={"FAKE_CUDA_SM_COUNT": "1"})
    # B is converted once, for the first panel; every panel converts its own rows of A.
    assert out["kernels"] == ["convert_scaled_f16"] * 2 + ["gemm_mma_pipe"] + ["convert_scaled_f16", "gemm_mma_pipe"] * 3
    assert out["close"] == [True] * 4
    assert out["hazards"] == 0 and out["reports"] == 0
