"""The GEMM engine on a real GPU through the public module: loading lines, every route against its
reference, and the FP16 route's tolerance. Single-precision kernels accumulate with fused
multiply-adds in increasing k, so their results are compared bit for bit."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

TESTS = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TESTS))

import gemm_refs as R  # noqa: E402

pytestmark = pytest.mark.gpu


@pytest.fixture(scope="module")
def vb():
    return pytest.importorskip("_vantblas")


def rand(shape, seed):
    return np.random.default_rng(seed).standard_normal(shape).astype(np.float32)


def compute_capability():
    import ctypes

    cuda = ctypes.CDLL("libcuda.so.1")
    cuda.cuInit(0)
    major, minor = ctypes.c_int(), ctypes.c_int()
    cuda.cuDeviceGetAttribute(ctypes.byref(major), 75, 0)
    cuda.cuDeviceGetAttribute(ctypes.byref(minor), 76, 0)
    return major.value, minor.value


def test_first_gemm_loads_the_kernel_set_with_its_lines():
    code = ("import numpy as np, _vantblas\n"
            "a = np.ones((64, 64), np.float32)\n"
            "c = _vantblas.gemm(a, a)\n"
            "assert (c == 64).all(), c\n")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    lines = [l for l in r.stdout.splitlines() if l.startswith("[VantBLAS] ")]
    assert lines[-1] == "[VantBLAS] \u2705 All kernels loaded successfully"
    if compute_capability() >= (8, 6):
        assert not [l for l in lines if "Warning" in l], lines
        assert "[VantBLAS] \U0001f525 Fused Ops loaded: 6/6 kernels" in lines


@pytest.mark.parametrize("m, k, n", [(1, 1, 1), (63, 63, 63), (5, 17, 7), (64, 63, 64), (65, 3, 1),
                                     (100, 37, 70), (1, 1, 1000), (300, 9, 257)])
def test_fp32_routes_are_bit_exact(vb, m, k, n):
    a, b = rand((m, k), m), rand((k, n), n)
    assert R.same_bits(vb.gemm(a, b), R.fma_ref(a, b))


def test_v2_sized_products(vb):
    # One non-zero per row of A: every path rounds each output once, so the check is exact
    # without a slow reference; a dense product checks the tiling against float64.
    m, k, n = 2050, 2048, 2052
    a = np.zeros((m, k), np.float32)
    rng = np.random.default_rng(7)
    a[np.arange(m), rng.integers(0, k, m)] = rng.standard_normal(m).astype(np.float32)
    b = rand((k, n), 8)
    ref = a.sum(axis=1, dtype=np.float32)[:, None] * b[np.argmax(a != 0, axis=1)]
    assert R.same_bits(vb.gemm(a, b), ref)
    a = rand((m, k), 9)
    c = vb.gemm(a, b)
    exact = a.astype(np.float64) @ b.astype(np.float64)
    bound = k * 2.0 ** -23 * (np.abs(a).astype(np.float64) @ np.abs(b).astype(np.float64))
    assert np.all(np.abs(c - exact) <= bound)


@pytest.mark.parametrize("m, k, n", [(16, 16, 16), (64, 64, 64), (256, 64, 128), (32, 48, 16), (1024, 512, 256),
                                     (512, 8192, 512)])   # few tiles: split along K
def test_fp16_route_within_half_precision_rounding(vb, m, k, n):
    if compute_capability() < (8, 0):
        pytest.skip("no tensor-core kernels below compute capability 8.0")
    a, b = rand((m, k), m + 1), rand((k, n), n + 1)
    c = vb.gemm(a, b)
    ha = a.astype(np.float16).astype(np.float64)
    hb = b.astype(np.float16).astype(np.float64)
    exact = ha @ hb
    # Tensor cores accumulate in float32 but need not round each partial sum to nearest.
    bound = k * 2.0 ** -21 * (np.abs(ha) @ np.abs(hb)) + 1e-30
    assert np.all(np.abs(c - exact) <= bound)
    # Not the single-precision result: the operands really were rounded to half.
    assert not np.array_equal(c, R.fma_ref(a, b))


@pytest.mark.parametrize("m, k, n", [(500, 16383, 500), (30, 4099, 50)])
def test_fp32_products_of_few_tiles_over_a_long_k(vb, m, k, n):
    # Split along K where the device has the multiprocessors for it: within the float32 error
    # bound of the product, and the same bits on every run.
    a, b = rand((m, k), 3), rand((k, n), 4)
    c = vb.gemm(a, b)
    exact = a.astype(np.float64) @ b.astype(np.float64)
    bound = k * 2.0 ** -23 * (np.abs(a).astype(np.float64) @ np.abs(b).astype(np.float64))
    assert np.all(np.abs(c - exact) <= bound)
    assert R.same_bits(vb.gemm(a, b), c)


def test_layouts_and_entry_points_agree(vb):
    a, b = rand((70, 33), 1), rand((33, 45), 2)
    c = vb.gemm(a, b)
    assert R.same_bits(vb.gemm(np.asfortranarray(a), b), c)
    assert R.same_bits(vb.matmul(a, np.asfortranarray(b)), c)
    big = rand((140, 66), 3)
    assert R.same_bits(vb.gemm(big[::2, ::2], b), R.fma_ref(big[::2, ::2], b))
    assert R.same_bits(vb.gemm_fp16(a, b), c)
    assert R.same_bits(vb.matmul_fp16(a, b), c)
