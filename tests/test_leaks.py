"""Many thousands of calls, on success and on error paths, keep the process's memory flat and
every argument's reference count unchanged."""

from __future__ import annotations

import gc
import os
import sys

import numpy as np
import pytest

F32 = np.float32

pytestmark = pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def calls(vb):
    a = np.random.default_rng(0).standard_normal((8, 8)).astype(F32)
    t3 = a.reshape(1, 8, 8)
    wrong = np.ones((3, 3), F32)
    small = np.ones((1, 1, 1), F32)
    args = [a, t3, wrong, small]

    def expect(exc, fn, *xs, **kw):
        try:
            fn(*xs, **kw)
        except exc:
            return
        except BaseException as e:  # PanicException
            if exc is BaseException:
                return
            raise e
        raise AssertionError("no error")

    def run_once():
        vb.gemm(a, a)
        vb.gemm_fp16(a, a.T)
        expect(RuntimeError, vb.matmul, a, wrong)
        expect(TypeError, vb.gemm, a, [1.0])
        expect(TypeError, vb.gemm, a)
        vb.gemm_batched(t3, t3)
        expect(BaseException, vb.gemm_batched, t3, small)
        vb.attention(t3, t3, t3)
        vb.fused_attention(t3, t3, t3, 0.5)
        expect(BaseException, vb.attention, t3, small, small)
        vb.fused_linear_gelu(a, a, a)
        expect(BaseException, vb.fused_linear_gelu, a, wrong)
        vb.fused_rmsnorm(a, a, 1e-5)
        expect(TypeError, vb.fused_rmsnorm, a, a, "x")
        vb.benchmark("gemm_fp32", 4096)
        expect(RuntimeError, vb.benchmark, "x")
        vb.get_device_info()
        vb.is_cuda_available()
        s = vb.VantBLAS("a", "b")
        s.set_precision("c")
        s.info()
        expect(TypeError, s.set_kernel, None)
        expect(RuntimeError, vb.gemm_chain, a, a, a)
        expect(RuntimeError, vb.VantTensor, a)
        m = vb.VantBLASModel()
        expect(RuntimeError, m.forward, a)

    return args, run_once


def test_memory_and_refcounts_stay_flat(vb, no_gpu):
    args, run_once = calls(vb)
    for _ in range(500):
        run_once()
    gc.collect()
    refs = [sys.getrefcount(x) for x in args]
    start = rss_bytes()
    for _ in range(5000):
        run_once()
    gc.collect()
    grown = rss_bytes() - start
    assert [sys.getrefcount(x) for x in args] == refs
    if os.environ.get("VANT_SANITIZED") != "1":  # AddressSanitizer quarantines freed memory
        assert grown < 4 * 1024 * 1024, f"resident memory grew by {grown} bytes"
