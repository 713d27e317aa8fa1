"""Every GEMM and conversion kernel of kernels/gemm/ on a real GPU, against float64 NumPy.

Each kernel is launched directly (launcher.py) with the parameter order and geometry its module
header documents, outputs poisoned with NaN bytes beforehand, so an unwritten element fails the
comparison. FP32 kernels must stay within a relative Frobenius error of 1e-5 of the float64
product; tensor-core kernels within 5e-3 of the float64 product of the FP16-rounded inputs.
"""

from __future__ import annotations

import numpy as np
import pytest

import gemm_refs as R
from launcher import Out, f32, require_device, u32

pytestmark = pytest.mark.gpu


def cdiv(a: int, b: int) -> int:
    return (a + b - 1) // b


def rel_error(got: np.ndarray, ref: np.ndarray) -> float:
    got = got.astype(np.float64)
    norm = np.linalg.norm(ref)
    if norm == 0.0:
        return float(np.linalg.norm(got))  # all-zero product: anything else (NaN included) fails
    return float(np.linalg.norm(got - ref) / norm)


def operands(m: int, k: int, n: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    return (rng.standard_normal((m, k)).astype(np.float32),
            rng.standard_normal((k, n)).astype(np.float32))


# -- FP32 kernels ----------------------------------------------------------------------------

# name: (module, entry, operand order, tile rows, tile cols, block, dynamic shared, has alpha/beta,
#        minimum compute capability, needs N % 4 == 0)
FP32 = {
    "small": ("gemm/small.ptx", "vantblas_gemm_small_16x16", "CAB", 16, 16, (16, 16), 2048, False, (7, 5), False),
    "basic": ("gemm/basic.ptx", "vantblas_gemm_64x64", "ABC", 64, 64, (16, 16), 4096, False, (7, 5), False),
    "shared": ("gemm/shared.ptx", "vantblas_gemm_shared_64x64", "ABC", 64, 64, (16, 16), 4096, False, (7, 5), False),
    "reg8x8": ("gemm/reg8x8.ptx", "vantblas_gemm_reg8x8", "ABC", 128, 128, (16, 16), 0, False, (7, 5), False),
    "v2": ("gemm/v2.ptx", "vantblas_gemm_v2", "ABC", 128, 128, (256,), 0, True, (8, 0), True),
    "v3": ("gemm/v2.ptx", "vantblas_gemm_v3", "ABC", 128, 128, (256,), 0, True, (8, 0), False),
    "small_optimized": ("gemm/v2.ptx", "vantblas_gemm_small_optimized", "CAB", 32, 32, (16, 16), 0, False, (8, 0), False),
    "small_v1": ("gemm/v1.ptx", "vantblas_gemm_small_v1", "ABC", 64, 64, (16, 16), 0, True, (8, 0), False),
    "medium_v1": ("gemm/v1.ptx", "vantblas_gemm_medium_v1", "ABC", 96, 96, (16, 16), 0, True, (8, 0), False),
}


def run_fp32(name, a, b, alpha=1.0, beta=0.0, c_init=None):
    module, entry, order, tm, tn, block, shared, scaled, cc, _ = FP32[name]
    dev = require_device(cc)
    m, k = a.shape
    n = b.shape[1]
    c = Out((m, n)) if c_init is None else Out((m, n), init=c_init)
    ops = {"A": a, "B": b, "C": c}
    params = [ops[x] for x in order] + [u32(m), u32(n), u32(k)]
    if scaled:
        params += [f32(alpha), f32(beta)]
    results = dev.run(module, entry, (cdiv(n, tn), cdiv(m, tm)), block, params, shared=shared)
    return results[order.index("C")]


EDGE_SIZES = [(1, 1, 1), (1, 1000, 1), (64, 1, 1), (63, 63, 63), (17, 33, 9), (65, 1, 3), (64, 64, 64),
              (33, 17, 17), (130, 70, 257)]
RANDOM_SIZES = [tuple(int(x) for x in np.random.default_rng(7 + i).integers(1, 300, 3)) for i in range(3)]


@pytest.mark.parametrize("name", sorted(FP32))
@pytest.mark.parametrize("m,n,k", EDGE_SIZES + RANDOM_SIZES)
def test_fp32_kernel_matches_float64(name, m, n, k):
    if FP32[name][-1]:
        n = cdiv(n, 4) * 4  # reads B and writes C in groups of four
    a, b = operands(m, k, n, seed=m * 7919 + n * 31 + k)
    got = run_fp32(name, a, b)
    assert got.shape == (m, n)
    assert rel_error(got, a.astype(np.float64) @ b.astype(np.float64)) < 1e-5


def test_small_kernel_single_element_is_exact():
    a = np.array([[3.0]], np.float32)
    b = np.array([[-0.5]], np.float32)
    assert run_fp32("small", a, b)[0, 0] == np.float32(-1.5)


@pytest.mark.parametrize("name", ["v2", "v3", "small_v1", "medium_v1"])
def test_alpha_beta_epilogue(name):
    m, n, k = 131, 132, 21
    a, b = operands(m, k, n, seed=5)
    c0 = np.random.default_rng(6).standard_normal((m, n)).astype(np.float32)
    got = run_fp32(name, a, b, alpha=2.0, beta=0.5, c_init=c0)
    ref = 2.0 * (a.astype(np.float64) @ b.astype(np.float64)) + 0.5 * c0
    assert rel_error(got, ref) < 1e-5
    # beta = 0 must not read C: a NaN-filled C would otherwise poison every element.
    got = run_fp32(name, a, b, alpha=1.0, beta=0.0)
    assert not np.isnan(got).any()


# -- batched kernel --------------------------------------------------------------------------

def run_batched(a, b, m, n, k, count, strides, grid_z, c_elems):
    dev = require_device((7, 5))
    sa, sb, sc = strides
    params = [Out((c_elems,)), a.ravel(), b.ravel(), u32(m), u32(n), u32(k), u32(count),
              u32(sa), u32(sb), u32(sc)]
    c, _, _ = dev.run("gemm/batched.ptx", "vantblas_gemm_batched", (cdiv(n, 16), cdiv(m, 16), grid_z), (16, 16),
                      params)
    return c


def test_batched_packed_members_and_extra_grid_z():
    m = n = k = 5
    rng = np.random.default_rng(11)
    a = rng.standard_normal((3, m, k)).astype(np.float32)
    b = rng.standard_normal((3, k, n)).astype(np.float32)
    # Room for five members but batch_count 3: blocks with z = 3, 4 must write nothing.
    c = run_batched(a, b, m, n, k, 3, (m * k, k * n, m * n), grid_z=5, c_elems=5 * m * n)
    for i in range(3):
        ref = a[i].astype(np.float64) @ b[i].astype(np.float64)
        assert rel_error(c[i * m * n:(i + 1) * m * n].reshape(m, n), ref) < 1e-5
    assert np.isnan(c[3 * m * n:]).all()


def test_batched_shared_a_and_gapped_c():
    m, n, k, count = 19, 23, 37, 2
    rng = np.random.default_rng(12)
    a = rng.standard_normal((m, k)).astype(np.float32)
    b = rng.standard_normal((count, k, n)).astype(np.float32)
    gap = m * n + 7
    c = run_batched(a, b, m, n, k, count, (0, k * n, gap), grid_z=count, c_elems=count * gap)
    for i in range(count):
        ref = a.astype(np.float64) @ b[i].astype(np.float64)
        assert rel_error(c[i * gap:i * gap + m * n].reshape(m, n), ref) < 1e-5
        assert np.isnan(c[i * gap + m * n:(i + 1) * gap]).all()


# -- tensor-core kernels ---------------------------------------------------------------------

# name: (module, entry, input dtype, tile rows, tile cols, threads, dynamic shared, min cc)
WMMA = {
    "opt_vec": ("gemm/wmma_opt.ptx", "vantblas_gemm_wmma_opt_vec", np.float32, 64, 64, 128, 0, (8, 0)),
    "opt_64": ("gemm/wmma_opt.ptx", "vantblas_gemm_wmma_opt_64", np.float32, 64, 64, 128, 0, (8, 0)),
    "opt_128": ("gemm/wmma_opt.ptx", "vantblas_gemm_wmma_opt_128", np.float32, 128, 128, 256, 0, (8, 0)),
    "max": ("gemm/wmma_max.ptx", "vantblas_gemm_wmma_max", np.float32, 128, 128, 256, 20480, (8, 0)),
    "max_f16": ("gemm/wmma_max.ptx", "vantblas_gemm_wmma_max_f16", np.float16, 128, 128, 256, 0, (8, 0)),
    "fp16_pure": ("gemm/fp16_pure.ptx", "vantblas_gemm_wmma_fp16_pure", np.float16, 64, 64, 128, 0, (8, 0)),
    "fp16_pure_large": ("gemm/fp16_pure.ptx", "vantblas_gemm_wmma_fp16_pure_large", np.float16, 128, 64, 256, 0,
                        (8, 0)),
    "wmma_v2": ("gemm/v2.ptx", "vantblas_gemm_wmma_v2", np.float16, 128, 128, 256, 0, (8, 0)),
}


def run_wmma(name, a, b):
    module, entry, dtype, tm, tn, threads, shared, cc = WMMA[name]
    dev = require_device(cc)
    m, k = a.shape
    n = b.shape[1]
    c, _, _ = dev.run(module, entry, (cdiv(n, tn), cdiv(m, tm)), (threads,),
                      [Out((m, n)), a.astype(dtype), b.astype(dtype), u32(m), u32(n), u32(k)], shared=shared)
    return c


def half_product(a, b):
    return a.astype(np.float16).astype(np.float64) @ b.astype(np.float16).astype(np.float64)


@pytest.mark.parametrize("name", sorted(WMMA))
@pytest.mark.parametrize("m,n,k", [(16, 16, 16), (16, 16, 48), (128, 128, 128), (256, 128, 64), (48, 80, 96),
                                   (144, 208, 272), (64, 192, 528)])
def test_wmma_kernel_matches_rounded_product(name, m, n, k):
    a, b = operands(m, k, n, seed=m + 3 * n + 5 * k)
    got = run_wmma(name, a, b)
    assert rel_error(got, half_product(a, b)) < 5e-3


@pytest.mark.parametrize("name", sorted(WMMA))
def test_wmma_kernel_with_empty_k_writes_zeros(name):
    got = run_wmma(name, np.zeros((32, 0), np.float32), np.zeros((0, 32), np.float32))
    assert (got == 0.0).all()


@pytest.mark.parametrize("name", ["opt_vec", "opt_64", "opt_128", "max"])
def test_staging_rounds_like_the_conversion_kernel(name):
    a = np.zeros((16, 16), np.float32)
    a[0, 0], a[1, 0], a[2, 0], a[3, 0] = 65510.0, 70000.0, 1.0 / 3.0, -65520.0
    b = np.zeros((16, 16), np.float32)
    b[0, 0] = 1.0
    got = run_wmma(name, a, b)
    assert got[0, 0] == 65504.0
    assert got[1, 0] == np.inf
    assert got[2, 0] == np.float32(np.float16(1.0 / 3.0))
    assert got[3, 0] == -np.inf


# -- the pipelined kernel: operands scaled into half range, product scaled back ---------------

def run_pipe(a, b):
    """The route of the engine, launched directly: each operand converted to half scaled by 2^s,
    the mma.sync product scaled back by 2^-(sa+sb) in two factors."""
    dev = require_device((8, 0))
    m, k = a.shape
    n = b.shape[1]

    def factors(e):
        return f32(2.0 ** int(e / 2)), f32(2.0 ** (e - int(e / 2)))

    def convert_scaled(x):
        s = R.half_scale_exponent(x)
        out, _ = dev.run("gemm/mma_pipe.ptx", "vantblas_convert_scaled_f16", (cdiv(x.size, 1024),), (256,),
                         [Out((x.size,), np.float16), np.ascontiguousarray(x).ravel(), u32(x.size), *factors(s)])
        return out.reshape(x.shape), s

    (ha, sa), (hb, sb) = convert_scaled(a), convert_scaled(b)
    c, _, _ = dev.run("gemm/mma_pipe.ptx", "vantblas_gemm_mma_pipe", (cdiv(m, 128), cdiv(n, 128)), (256,),
                      [Out((m, n)), ha, hb, u32(m), u32(n), u32(k), *factors(-(sa + sb))], shared=49152)
    return c, ha, hb


@pytest.mark.parametrize("m,n,k,mag_a,mag_b", [
    (16, 16, 16, 1.0, 1.0), (48, 272, 144, 1e-30, 1.0), (144, 48, 384, 1e-8, 1e-8), (272, 384, 48, 1e5, 1e5),
    (384, 144, 272, 1e30, 1e-30), (1040, 1168, 656, 1.0, 1.0)])
def test_pipelined_kernel_matches_the_scaled_half_product(m, n, k, mag_a, mag_b):
    a, b = operands(m, k, n, seed=m + 3 * n + 5 * k)
    a, b = a * np.float32(mag_a), b * np.float32(mag_b)
    c, ha, hb = run_pipe(a, b)
    # The conversions round exactly as NumPy does after the exact power-of-two scaling.
    assert np.array_equal(ha.astype(np.float64), R.scaled_halves(a)[0])
    assert np.array_equal(hb.astype(np.float64), R.scaled_halves(b)[0])
    assert np.isfinite(c).all() and R.pipe_close(c, a, b)


# -- conversion kernels ----------------------------------------------------------------------

def convert(entry, data, out_dtype, per_thread=1):
    dev = require_device((7, 5))
    n = data.size
    out, _ = dev.run("gemm/convert.ptx", entry, (cdiv(n, 256 * per_thread),), (256,),
                     [Out((n,), out_dtype), data, u32(n)])
    return out


SPECIALS = np.array([1.0 / 3.0, 100000.0, 65504.0, 65519.0, 65520.0, -65520.0, 6e-8, 2e-8, -0.0, np.inf,
                     -np.inf, np.nan, 1e-40], np.float32)


def same_halves(got: np.ndarray, data: np.ndarray) -> bool:
    """Bit-identical to NumPy's round-to-nearest-even, NaN for NaN (the payload may differ)."""
    want = data.astype(np.float16)
    nan = np.isnan(want)
    return (np.array_equal(np.isnan(got), nan)
            and np.array_equal(got[~nan].view(np.uint16), want[~nan].view(np.uint16)))


@pytest.mark.parametrize("n", [1, 13, 256, 257, 1000])
def test_f32_to_f16_rounds_to_nearest_even(n):
    data = np.concatenate([SPECIALS, np.random.default_rng(n).standard_normal(n) * 3000])[:n].astype(np.float32)
    got = convert("convert_f32_to_f16", data, np.float16)
    assert same_halves(got, data)


def test_f32_to_f16_known_patterns():
    got = convert("convert_f32_to_f16", np.array([1.0 / 3.0, 100000.0], np.float32), np.float16)
    assert got.view(np.uint16).tolist() == [0x3555, 0x7C00]


@pytest.mark.parametrize("n", [4, 256, 1028, 4096])
def test_f32_to_f16_vec4(n):
    data = np.concatenate([SPECIALS[:12], np.random.default_rng(n).standard_normal(n) * 100])[:n].astype(np.float32)
    got = convert("convert_f32_to_f16_vec4", data, np.float16, per_thread=4)
    assert same_halves(got, data)


@pytest.mark.parametrize("n", [1, 257, 65536])
def test_f16_to_f32_is_exact(n):
    bits = np.arange(n, dtype=np.uint32).astype(np.uint16)  # every pattern once for n = 65536
    data = bits.view(np.float16)
    got = convert("convert_f16_to_f32", data, np.float32)
    want = data.astype(np.float32)
    nan = np.isnan(want)
    assert np.array_equal(np.isnan(got), nan)
    assert np.array_equal(got[~nan].view(np.uint32), want[~nan].view(np.uint32))
