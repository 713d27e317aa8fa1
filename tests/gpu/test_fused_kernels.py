"""The attention, fused-operation and FP8 kernels on a real GPU against NumPy references.

Tolerances follow the approximate instructions each kernel uses: ex2/rcp/rsqrt/lg2.approx are
within a few ulp, tanh.approx within about 2^-11 relative, so only GELU gets a loose bound.
"""

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import fused_launcher  # noqa: E402
from fused_launcher import f32, u32  # noqa: E402

pytestmark = pytest.mark.gpu

RNG = np.random.default_rng(20261207)


@pytest.fixture(scope="module")
def dev():
    d = fused_launcher.open_device()
    if d is None:
        pytest.skip(fused_launcher.reason())
    return d


@pytest.fixture(scope="module")
def dev86(dev):
    if dev.compute_capability < (8, 6):
        pytest.skip("the generated modules target sm_86")
    return dev


def rand(*shape, scale=1.0):
    return (RNG.standard_normal(shape) * scale).astype(np.float32)


# ---- references -------------------------------------------------------------------------------

def attention_ref(q, k, v, scale, causal):
    s = np.einsum("bhqd,bhkd->bhqk", q.astype(np.float64), k.astype(np.float64)) * scale
    if causal:
        n = s.shape[-1]
        s = np.where(np.tril(np.ones((n, n), bool)), s, -np.inf)
    s -= s.max(axis=-1, keepdims=True)
    p = np.exp(s)
    p /= p.sum(axis=-1, keepdims=True)
    return p @ v.astype(np.float64)


def gelu_ref(y):
    y = y.astype(np.float64)
    return 0.5 * y * (1.0 + np.tanh(0.7978846 * (y + 0.044715 * y ** 3)))


def silu_ref(y):
    y = y.astype(np.float64)
    return y / (1.0 + np.exp(-y))


def fp8_decode_ref(codes):
    codes = np.asarray(codes, dtype=np.uint8).astype(np.int64)
    e = (codes >> 3) & 15
    m = (codes & 7) / 8.0
    v = np.where(e == 0, m * 2.0 ** -6, (1.0 + m) * np.exp2(e - 7.0))
    return np.where(codes & 0x80, -v, v)


def fp8_encode_ref(x, scale):
    """The encoder in float32 arithmetic with an exact base-2 logarithm."""
    v = np.clip(x.astype(np.float32) * np.float32(scale), np.float32(-448), np.float32(448))
    sign = (v < 0).astype(np.uint8)
    a = np.abs(v)
    with np.errstate(divide="ignore"):
        e = np.floor(np.log2(a.astype(np.float64)))
    e = np.where(a > 0, e, 0).astype(np.int64)
    biased = np.clip(e + 7, 0, 15)
    mant = ((a * np.exp2(7 - biased).astype(np.float32) - np.float32(1)) * np.float32(8)).astype(np.float64)
    m = np.clip(np.where(mant >= 0, np.floor(mant + 0.5), -np.floor(-mant + 0.5)), 0, 7).astype(np.uint8)
    code = (sign << 7) | (biased.astype(np.uint8) << 3) | m
    return np.where(a < np.float32(2.0 ** -9), sign << 7, code).astype(np.uint8)


# ---- attention --------------------------------------------------------------------------------

@pytest.mark.parametrize("s,d", [(1, 8), (37, 24), (128, 64), (200, 33)])
def test_unmasked_attention_matches_reference(dev, s, d):
    q, k, v = rand(2, 3, s, d), rand(2, 3, s, d), rand(2, 3, s, d)
    scale = 1.0 / np.sqrt(d)
    out = dev.attention(q, k, v, scale)
    np.testing.assert_allclose(out, attention_ref(q, k, v, scale, False), rtol=1e-4, atol=2e-5)


def test_attention_scores_beyond_the_exponent_range_stay_finite(dev, dev86):
    q, k, v = rand(1, 2, 40, 8, scale=10.0), rand(1, 2, 40, 8, scale=10.0), rand(1, 2, 40, 8)
    np.testing.assert_allclose(dev.attention(q, k, v, 1.0), attention_ref(q, k, v, 1.0, False), rtol=1e-4, atol=2e-5)
    for kernel in CAUSAL.values():
        out = kernel(dev86, q, k, v, 1.0)
        np.testing.assert_allclose(out, attention_ref(q, k, v, 1.0, True), rtol=1e-4, atol=2e-5)


def test_unmasked_attention_with_equal_scores_averages_v(dev):
    q = np.zeros((1, 2, 50, 16), np.float32)
    k, v = rand(1, 2, 50, 16), rand(1, 2, 50, 16)
    out = dev.attention(q, k, v, 0.25)
    expected = np.broadcast_to(v.astype(np.float64).mean(axis=2, keepdims=True), v.shape)
    np.testing.assert_allclose(out, expected, rtol=1e-5, atol=1e-6)


def _guarded_launch(dev, module, entry, grid, block, shape, params, shared=0):
    """Launches with O followed by a guard region; returns (O, guard) as written by the kernel."""
    n = int(np.prod(shape))
    o = dev.output((2 * n,), np.float32)
    try:
        dev.launch(module, entry, grid, block, [o] + params, shared=shared)
        full = dev.download(o)
    finally:
        dev.free_all()
    return full[:n].reshape(shape), full[n:]


def test_unmasked_attention_blocks_outside_the_tensor_write_nothing(dev):
    b, h, s, d = 1, 2, 5, 8
    q, k, v = rand(b, h, s, d), rand(b, h, s, d), rand(b, h, s, d)
    params = [dev.upload(q), dev.upload(k), dev.upload(v), u32(b), u32(h), u32(s), u32(d), f32(0.5)]
    out, guard = _guarded_launch(dev, "attention", "vantblas_fused_attention", (b * h + 2, s + 3), (128,),
                                 q.shape, params)
    np.testing.assert_allclose(out, attention_ref(q, k, v, 0.5, False), rtol=1e-4, atol=2e-5)
    assert np.isnan(guard).all()


def test_unmasked_attention_refuses_rows_longer_than_its_score_array(dev):
    q = rand(1, 1, 300, 4)
    params = [dev.upload(q), dev.upload(q), dev.upload(q), u32(1), u32(1), u32(300), u32(4), f32(0.5)]
    out, guard = _guarded_launch(dev, "attention", "vantblas_fused_attention", (1, 300), (128,), q.shape, params)
    assert np.isnan(out).all() and np.isnan(guard).all()


CAUSAL = {
    "f32": lambda dev, *a: dev.attention_f32(*a),
    "simple": lambda dev, *a: dev.attention_simple(*a),
    "multihead": lambda dev, *a: dev.multihead_attention(*a),
}


@pytest.mark.parametrize("kernel", CAUSAL)
@pytest.mark.parametrize("s", [1, 63, 130])
def test_causal_attention_matches_reference(dev86, kernel, s):
    d = 16 if kernel == "f32" else 40
    q, k, v = rand(2, 3, s, d), rand(2, 3, s, d), rand(2, 3, s, d)
    scale = 1.0 / np.sqrt(d)
    out = CAUSAL[kernel](dev86, q, k, v, scale)
    np.testing.assert_allclose(out, attention_ref(q, k, v, scale, True), rtol=1e-4, atol=2e-5)


@pytest.mark.parametrize("kernel", CAUSAL)
def test_causal_attention_first_query_sees_only_the_first_key(dev86, kernel):
    q, k, v = rand(2, 2, 20, 8, scale=3.0), rand(2, 2, 20, 8, scale=3.0), rand(2, 2, 20, 8)
    out = CAUSAL[kernel](dev86, q, k, v, 1.0)
    np.testing.assert_allclose(out[:, :, 0, :], v[:, :, 0, :], rtol=1e-6, atol=0)


@pytest.mark.parametrize("entry,grid,block,shared", [
    ("vantblas_fused_attention_simple", (9, 2), 64, 6 * 4),
    ("vantblas_multihead_attention", (9, 1, 2), 64, 6 * 4),
    ("vantblas_fused_attention_f32", (1, 2, 2), 64 * 8, 3 * 64 * 8 * 4),
])
def test_causal_attention_rows_past_the_sequence_write_nothing(dev86, entry, grid, block, shared):
    b, h, s, d = 2, 1, 6, 8
    q, k, v = rand(b, h, s, d), rand(b, h, s, d), rand(b, h, s, d)
    heads = [u32(b), u32(h)] if entry.endswith("multihead_attention") else [u32(b * h)]
    params = [dev86.upload(q), dev86.upload(k), dev86.upload(v)] + heads + [u32(s), u32(d), f32(0.5)]
    out, guard = _guarded_launch(dev86, "fused_attention", entry, grid, (block,), q.shape, params, shared=shared)
    np.testing.assert_allclose(out, attention_ref(q, k, v, 0.5, True), rtol=1e-4, atol=2e-5)
    assert np.isnan(guard).all()


# ---- fused element-wise and normalisation ----------------------------------------------------

LINEAR = {"gelu": ("linear_gelu", gelu_ref, 2e-3), "silu": ("linear_silu", silu_ref, 1e-4)}


@pytest.mark.parametrize("act", LINEAR)
@pytest.mark.parametrize("m,n,k", [(1, 1, 1), (37, 45, 67), (16, 33, 4)])
def test_linear_activation_matches_reference(dev86, act, m, n, k):
    name, ref, tol = LINEAR[act]
    x, w, bias = rand(m, k), rand(k, n, scale=0.3), rand(n)
    out = getattr(dev86, name)(x, w, bias)
    y = x.astype(np.float64) @ w.astype(np.float64) + bias
    np.testing.assert_allclose(out, ref(y), rtol=tol, atol=tol)


@pytest.mark.parametrize("act", LINEAR)
def test_linear_activation_of_zero_is_zero_and_k0_gives_the_bias_alone(dev86, act):
    name, ref, tol = LINEAR[act]
    fn = getattr(dev86, name)
    zero = fn(rand(3, 5), np.zeros((5, 7), np.float32), np.zeros(7, np.float32))
    np.testing.assert_array_equal(zero, np.zeros((3, 7), np.float32))
    bias = rand(7, scale=2.0)
    out = fn(np.zeros((4, 0), np.float32), np.zeros((0, 7), np.float32), bias)
    np.testing.assert_allclose(out, np.broadcast_to(ref(bias), (4, 7)), rtol=tol, atol=tol)


def test_swiglu_matches_reference_and_is_zero_at_zero(dev86):
    gate, up = rand(1000, scale=3.0), rand(1000)
    gate[:10] = 0.0
    out = dev86.swiglu(gate, up)
    np.testing.assert_allclose(out, silu_ref(gate) * up, rtol=1e-5, atol=1e-6)
    assert (out[:10] == 0).all()


@pytest.mark.parametrize("rows,hidden", [(1, 1), (5, 300), (3, 1024)])
def test_rmsnorm_matches_reference(dev86, rows, hidden):
    x, r, w = rand(rows, hidden), rand(rows, hidden), rand(hidden)
    out = dev86.rmsnorm_residual(x, r, w, 1e-5)
    h = x.astype(np.float64) + r
    expected = h / np.sqrt((h * h).mean(axis=1, keepdims=True) + 1e-5) * w
    np.testing.assert_allclose(out, expected, rtol=2e-5, atol=2e-5)


def test_rmsnorm_of_a_constant_row_is_one(dev86):
    x = np.full((3, 257), 0.75, np.float32)
    x[1] = 3.0
    x[2] = 1e-3
    out = dev86.rmsnorm_residual(x, np.zeros_like(x), np.ones(257, np.float32), 0.0)
    np.testing.assert_allclose(out, 1.0, rtol=1e-5)


@pytest.mark.parametrize("rows,hidden", [(1, 2), (5, 300), (2, 1024)])
def test_layernorm_matches_reference(dev86, rows, hidden):
    x, r, g, b = rand(rows, hidden, scale=2.0), rand(rows, hidden), rand(hidden), rand(hidden)
    out = dev86.layernorm_residual(x, r, g, b, 1e-5)
    h = x.astype(np.float64) + r
    mean = h.mean(axis=1, keepdims=True)
    var = ((h - mean) ** 2).mean(axis=1, keepdims=True)
    np.testing.assert_allclose(out, g * (h - mean) / np.sqrt(var + 1e-5) + b, rtol=5e-5, atol=5e-5)


def test_layernorm_of_a_constant_row_is_beta(dev86):
    x = np.full((2, 300), 1.5, np.float32)
    x[1] = -4.0
    g, b = rand(300), rand(300)
    out = dev86.layernorm_residual(x, np.zeros_like(x), g, b, 1e-5)
    np.testing.assert_allclose(out, np.broadcast_to(b, x.shape), atol=5e-4)


def test_residual_kernels_match_reference(dev86):
    x, r = rand(3, 130), rand(3, 130)
    bias = rand(130)
    np.testing.assert_allclose(dev86.bias_residual(x, bias, r), (x + bias) + r, rtol=1e-6, atol=1e-6)
    mask = (RNG.random(390) < 0.7).astype(np.float32)
    out = dev86.residual_dropout(x.ravel(), r.ravel(), mask, 1.0 / 0.7)
    np.testing.assert_allclose(out, x.ravel() * mask / 0.7 + r.ravel(), rtol=1e-5, atol=1e-6)


def test_attention_output_projection_matches_reference(dev86):
    batch, seq, hdim = 2, 5, 70
    x, w, bias, r = rand(batch * seq, hdim), rand(hdim, hdim, scale=0.2), rand(hdim), rand(batch * seq, hdim)
    out = dev86.attn_output(x, w, bias, r, batch, seq)
    np.testing.assert_allclose(out, x.astype(np.float64) @ w + bias + r, rtol=1e-4, atol=1e-4)


# ---- FP8 --------------------------------------------------------------------------------------

def test_fp8_decoding_of_edge_codes(dev86):
    codes = np.array([0x7E, 0x08, 0x04, 0x00, 0x80, 0xFE, 0x88, 0x7F, 0x38, 0x01], np.uint8)
    out = dev86.dequantize_fp8(codes, 1.0)
    np.testing.assert_array_equal(out, [448, 0.015625, 0.0078125, 0, 0, -448, -0.015625, 480, 1.0, 0.001953125])
    np.testing.assert_array_equal(out, fp8_decode_ref(codes).astype(np.float32))


def test_fp8_quantise_largest_magnitude_two(dev86):
    x = np.array([2.0, -1.0, 0.5, 1.0], np.float32)
    codes, scale = dev86.quantize_fp8(x)
    assert scale == 224.0
    assert codes[0] == 0x7E
    assert codes[1] & 0x80 and not codes[0] & 0x80
    back = dev86.dequantize_fp8(codes, scale)
    np.testing.assert_allclose(back, x, rtol=1e-6)


def test_fp8_quantise_all_zero_tensor(dev86):
    codes, scale = dev86.quantize_fp8(np.zeros(100, np.float32))
    assert scale == 1.0
    assert (codes == 0).all()


@pytest.mark.parametrize("n", [1, 300, 1024])
def test_fp8_quantise_matches_reference_encoder(dev86, n):
    x = rand(n, scale=5.0)
    codes, scale = dev86.quantize_fp8(x)
    np.testing.assert_allclose(scale, 448.0 / np.abs(x).max(), rtol=1e-6)
    expected = fp8_encode_ref(x, scale)
    # The kernel's logarithm is approximate: right at a power of two it may pick the neighbouring
    # exponent, which the reference (exact) does not.
    a = np.abs(x * np.float32(scale)).astype(np.float64)
    near_pow2 = np.abs(np.log2(np.maximum(a, 1e-30)) - np.round(np.log2(np.maximum(a, 1e-30)))) < 1e-5
    np.testing.assert_array_equal(codes[~near_pow2], expected[~near_pow2])
    assert ((codes >> 7) == (x < 0)).all()
    back = dev86.dequantize_fp8(codes, scale)
    np.testing.assert_allclose(back, fp8_decode_ref(codes) / scale, rtol=1e-6)


def test_fp8_amax_over_many_blocks(dev86):
    x = rand(5000)
    x[4321] = -17.5
    assert dev86.compute_fp8_amax(x, blocks=4) == 17.5
    assert dev86.compute_fp8_amax(np.zeros(10, np.float32), blocks=1) == 0.0


@pytest.mark.parametrize("kernel", ["gemm_fp8_simulated", "gemm_fp8_tiled"])
@pytest.mark.parametrize("m,n,k", [(45, 70, 50), (32, 32, 32), (3, 2, 1), (4, 5, 0)])
def test_fp8_gemm_matches_reference(dev86, kernel, m, n, k):
    a = RNG.integers(0, 256, (m, k), dtype=np.uint8)
    b = RNG.integers(0, 256, (k, n), dtype=np.uint8)
    sa, sb = 64.0, 112.0
    out = getattr(dev86, kernel)(a, b, sa, sb)
    expected = (fp8_decode_ref(a) / sa) @ (fp8_decode_ref(b) / sb)
    np.testing.assert_allclose(out, expected, rtol=1e-4, atol=1e-4 * max(1.0, np.abs(expected).max(initial=0)))


@pytest.mark.parametrize("m,n,k", [(45, 70, 50), (1, 1, 0)])
def test_fused_fp8_linear_matches_reference(dev86, m, n, k):
    x = rand(m, k)
    w = RNG.integers(0, 256, (k, n), dtype=np.uint8)
    bias = rand(n)
    out = dev86.fused_fp8_linear(x, w, bias, 200.0)
    expected = x.astype(np.float64) @ (fp8_decode_ref(w) / 200.0) + bias
    np.testing.assert_allclose(out, expected, rtol=1e-4, atol=1e-4)
