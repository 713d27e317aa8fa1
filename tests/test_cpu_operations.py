"""Behaviour of the CPU computations as a user sees it (no driver in the process): the GEMM
entry points' fallback, gemm_batched, attention and the fused operations."""

from __future__ import annotations

import ctypes
import ctypes.util

import numpy as np
import pytest

F32 = np.float32
GEMMS = ["gemm", "matmul", "matmul_fp16", "gemm_fp16"]

libm = ctypes.CDLL(ctypes.util.find_library("m"))
libm.expf.restype = libm.tanhf.restype = libm.sqrtf.restype = ctypes.c_float
libm.expf.argtypes = libm.tanhf.argtypes = libm.sqrtf.argtypes = [ctypes.c_float]
expf = np.vectorize(lambda x: F32(libm.expf(float(x))), otypes=[F32])
tanhf = np.vectorize(lambda x: F32(libm.tanhf(float(x))), otypes=[F32])


def rand(*shape, seed=0):
    return np.random.default_rng(seed).standard_normal(shape).astype(F32)


def seq_matmul(a, b):
    """Float32 products added one k at a time onto +0.0: the defined order."""
    acc = np.zeros((a.shape[0], b.shape[1]), F32)
    for k in range(a.shape[1]):
        acc = acc + np.multiply.outer(a[:, k], b[k, :]).astype(F32)
    return acc


@pytest.fixture(params=GEMMS)
def gemm_fn(request, vb, no_gpu):
    return getattr(vb, request.param)


class TestGemmFallback:
    def test_small_exact_example(self, gemm_fn):
        a = np.array([[1, 2], [3, 4]], F32)
        b = np.array([[5, 6], [7, 8]], F32)
        c = gemm_fn(a, b)
        assert c.dtype == F32
        np.testing.assert_array_equal(c, [[19, 22], [43, 50]])

    def test_shape_mismatch(self, gemm_fn):
        with pytest.raises(RuntimeError, match=r"^Shape mismatch: A\[2,3\] x B\[4,5\]$"):
            gemm_fn(np.ones((2, 3), F32), np.ones((4, 5), F32))

    def test_empty_and_zero_inner_size(self, gemm_fn):
        c = gemm_fn(np.ones((0, 4), F32), np.ones((4, 3), F32))
        assert c.shape == (0, 3) and c.dtype == F32
        z = gemm_fn(np.ones((3, 0), F32), np.ones((0, 2), F32))
        assert z.shape == (3, 2)
        np.testing.assert_array_equal(z, np.zeros((3, 2), F32))
        assert not np.signbit(z).any()

    @pytest.mark.parametrize("m,k,n", [(1, 1, 1), (7, 13, 5), (16, 16, 16), (33, 65, 17)])
    def test_bit_exact_against_sequential_order(self, gemm_fn, m, k, n):
        a, b = rand(m, k, seed=m), rand(k, n, seed=n)
        np.testing.assert_array_equal(gemm_fn(a, b), seq_matmul(a, b))

    def test_negative_zero_products_sum_to_positive_zero(self, gemm_fn):
        a = np.array([[-0.0, -0.0]], F32)
        b = np.array([[1.0], [1.0]], F32)
        c = gemm_fn(a, b)
        assert c[0, 0] == 0 and not np.signbit(c[0, 0])

    def test_nan_and_inf_propagate(self, gemm_fn):
        a = np.array([[np.inf, 1.0], [np.nan, 0.0]], F32)
        b = np.array([[0.0, 1.0], [1.0, 1.0]], F32)
        c = gemm_fn(a, b)
        assert np.isnan(c[0, 0]) and c[0, 1] == np.inf and np.isnan(c[1]).all()


class TestBatched:
    def test_shapes_and_values(self, vb):
        a, b = rand(2, 3, 4), rand(2, 4, 5, seed=1)
        c = vb.gemm_batched(a, b)
        assert c.shape == (2, 3, 5)
        for p in range(2):
            np.testing.assert_array_equal(c[p], seq_matmul(a[p], b[p]))

    def test_larger_b_is_read_only_where_needed(self, vb):
        a, b = rand(2, 3, 4), rand(3, 6, 5, seed=2)
        c = vb.gemm_batched(a, b)
        for p in range(2):
            np.testing.assert_array_equal(c[p], seq_matmul(a[p], b[p, :4]))

    @pytest.mark.parametrize("bshape", [(1, 4, 5), (2, 3, 5)])
    def test_too_small_b_panics(self, vb, bshape):
        with pytest.raises(BaseException) as info:
            vb.gemm_batched(rand(2, 3, 4), rand(*bshape))
        assert type(info.value).__name__ == "PanicException"
        assert str(info.value) == "ndarray: index out of bounds"

    def test_empty_batches_do_not_read_b(self, vb):
        c = vb.gemm_batched(np.ones((0, 3, 4), F32), np.ones((0, 0, 7), F32))
        assert c.shape == (0, 3, 7)
        c = vb.gemm_batched(np.ones((2, 3, 0), F32), np.ones((2, 0, 2), F32))
        assert c.shape == (2, 3, 2)
        np.testing.assert_array_equal(c, 0)
        with pytest.raises(BaseException, match="index out of bounds"):  # too few batches even with K = 0
            vb.gemm_batched(np.ones((2, 3, 0), F32), np.ones((1, 0, 2), F32))

    def test_strided_views(self, vb):
        a = rand(4, 6, 8)[::2, ::-1, 1::2]
        b = np.asfortranarray(rand(2, 4, 3, seed=3))
        np.testing.assert_array_equal(vb.gemm_batched(a, b), vb.gemm_batched(a.copy(), b.copy()))


def attention_reference(q, k, v, scale):
    B, S, D = q.shape
    out = np.zeros((B, S, D), F32)
    for bi in range(B):
        for i in range(S):
            s = np.zeros(S, F32)
            for d in range(D):
                s = s + (q[bi, i, d] * k[bi, :S, d]).astype(F32)
            s = (s * F32(scale)).astype(F32)
            mx = F32(-np.inf)
            for x in s:
                if x > mx:
                    mx = x
            e = expf((s - mx).astype(F32))
            t = F32(0.0)
            for x in e:
                t = F32(t + x)
            p = (e / t).astype(F32)
            acc = np.zeros(D, F32)
            for j in range(S):
                acc = acc + (p[j] * v[bi, j, :D]).astype(F32)
            out[bi, i] = acc
    return out


class TestAttention:
    def test_alias_and_reference(self, vb):
        q, k, v = rand(2, 5, 3), rand(2, 5, 3, seed=1), rand(2, 5, 3, seed=2)
        out = vb.fused_attention(q, k, v)
        np.testing.assert_array_equal(vb.attention(q, k, v), out)
        scale = F32(1.0) / np.sqrt(F32(3.0))
        np.testing.assert_array_equal(out, attention_reference(q, k, v, scale))

    def test_single_key_returns_v(self, vb):
        q = rand(1, 1, 4)
        np.testing.assert_array_equal(vb.attention(q, q, q), q)

    def test_explicit_scale(self, vb):
        q, k, v = rand(1, 4, 2), rand(1, 4, 2, seed=1), rand(1, 4, 2, seed=2)
        assert not np.array_equal(vb.attention(q, k, v, 1.0), vb.attention(q, k, v))
        np.testing.assert_array_equal(vb.attention(q, k, v, 2), vb.attention(q, k, v, 2.0))
        np.testing.assert_array_equal(vb.attention(q, k, v, scale=None), vb.attention(q, k, v))

    def test_longer_k_is_accepted_and_shorter_k_panics(self, vb):
        q = rand(1, 2, 4)
        k = rand(1, 3, 4, seed=1)
        np.testing.assert_array_equal(vb.attention(q, k, k), vb.attention(q, k[:, :2], k[:, :2]))
        with pytest.raises(BaseException) as info:
            vb.attention(q, k[:, :1], k)
        assert type(info.value).__name__ == "PanicException"
        assert str(info.value) == "ndarray: index out of bounds"

    def test_empty_shapes(self, vb):
        junk = np.ones((1, 1, 1), F32)
        assert vb.attention(np.ones((0, 5, 4), F32), junk, junk).shape == (0, 5, 4)
        assert vb.attention(np.ones((2, 0, 4), F32), junk, junk).shape == (2, 0, 4)
        assert vb.attention(np.ones((2, 3, 0), F32), junk, junk).shape == (2, 3, 0)

    def test_large_equal_scores_give_uniform_weights(self, vb):
        q = np.full((1, 3, 1), 1000.0, F32)
        k = np.ones((1, 3, 1), F32)
        v = np.array([[[1.0], [2.0], [3.0]]], F32)
        out = vb.attention(q, k, v)
        assert np.isfinite(out).all()
        np.testing.assert_allclose(out[0, :, 0], 2.0, rtol=1e-6)

    def test_infinite_maximum_gives_nan(self, vb):
        q = np.array([[[np.inf]]], F32)
        out = vb.attention(q, np.ones((1, 1, 1), F32), np.ones((1, 1, 1), F32), 1.0)
        assert np.isnan(out).all()


def gelu_reference(y):
    y = y.astype(F32)
    u = ((y * y).astype(F32) * y).astype(F32) * F32(0.044715)
    u = (u.astype(F32) + y).astype(F32)
    u = (u * F32(0.7978845)).astype(F32)
    h = (y * F32(0.5)).astype(F32)
    return ((tanhf(u) + F32(1.0)).astype(F32) * h).astype(F32)


class TestFusedLinearGelu:
    def test_against_reference(self, vb):
        x, w = rand(2, 3), rand(4, 3, seed=1)
        y = seq_matmul(x, w.T.copy())
        np.testing.assert_array_equal(vb.fused_linear_gelu(x, w), gelu_reference(y))

    def test_bias_first_row_and_extra_weight_columns(self, vb):
        x, w, bias = rand(2, 3), rand(4, 5, seed=1), rand(3, 4, seed=2)
        y = seq_matmul(x, w[:, :3].T.copy())
        expected = gelu_reference((bias[0] + y).astype(F32))
        np.testing.assert_array_equal(vb.fused_linear_gelu(x, w, bias), expected)

    def test_gelu_points(self, vb):
        x = np.array([[0.0], [20.0]], F32)
        y = vb.fused_linear_gelu(x, np.ones((1, 1), F32))
        assert y[0, 0] == 0 and y[1, 0] == 20.0

    def test_zero_k_gives_gelu_of_bias(self, vb):
        bias = rand(1, 4)
        y = vb.fused_linear_gelu(np.ones((2, 0), F32), np.ones((4, 0), F32), bias)
        np.testing.assert_array_equal(y, np.vstack([gelu_reference(bias[0])] * 2))

    @pytest.mark.parametrize("w,bias", [((4, 2), None), ((4, 3), (1, 3)), ((4, 3), (0, 4))])
    def test_too_small_operands_panic(self, vb, w, bias):
        args = [rand(2, 3), rand(*w)] + ([np.ones(bias, F32)] if bias else [])
        with pytest.raises(BaseException) as info:
            vb.fused_linear_gelu(*args)
        assert type(info.value).__name__ == "PanicException"

    def test_one_dimensional_bias_is_refused(self, vb):
        with pytest.raises(TypeError, match="^argument 'bias': 'ndarray'"):
            vb.fused_linear_gelu(rand(2, 3), rand(4, 3), np.ones(4, F32))


class TestRmsNorm:
    def test_row_example(self, vb):
        x = np.array([[3.0, 4.0]], F32)
        w = np.ones((1, 2), F32)
        y0 = vb.fused_rmsnorm(x, w, eps=0.0)
        r0 = F32(libm.sqrtf(12.5))
        np.testing.assert_array_equal(y0, [[F32(3) / r0, F32(4) / r0]])
        r = F32(libm.sqrtf(float(F32(F32(12.5) + F32(1e-6)))))
        np.testing.assert_array_equal(vb.fused_rmsnorm(x, w), [[F32(3) / r, F32(4) / r]])
        np.testing.assert_array_equal(vb.fused_rmsnorm(x, w, None), vb.fused_rmsnorm(x, w))

    def test_zero_row_with_zero_eps_is_nan(self, vb):
        assert np.isnan(vb.fused_rmsnorm(np.zeros((1, 3), F32), np.ones((1, 3), F32), 0.0)).all()

    def test_weight_shapes(self, vb):
        with pytest.raises(BaseException) as info:
            vb.fused_rmsnorm(rand(2, 3), np.ones((0, 3), F32))
        assert type(info.value).__name__ == "PanicException"
        assert vb.fused_rmsnorm(np.ones((0, 3), F32), np.ones((0, 3), F32)).shape == (0, 3)
        with pytest.raises(BaseException):
            vb.fused_rmsnorm(rand(2, 3), np.ones((1, 2), F32))
