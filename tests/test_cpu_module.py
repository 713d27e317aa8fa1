"""The public module's CPU operations give the bits of the plain sequential loops at sizes where
they run blocked and on several threads."""

import numpy as np
import pytest

import cpu_refs as ref
import cpunative


@pytest.fixture(scope="module")
def plain():
    try:
        return cpunative.load()
    except (OSError, RuntimeError) as e:
        pytest.skip(f"cannot build the CPU test library: {e}")


def _r(rng, *shape):
    return rng.standard_normal(shape).astype(np.float32)


def test_module_matches_plain_loops(vb, plain):
    rng = np.random.default_rng(30)
    a, b = _r(rng, 5, 70, 300), _r(rng, 5, 300, 90)
    assert ref.same_bits(vb.gemm_batched(a, b), plain.gemm_batched(a, b, plain=True))
    q, k, v = _r(rng, 2, 260, 48), _r(rng, 2, 261, 48), _r(rng, 2, 260, 50)
    assert ref.same_bits(vb.attention(q, k, v), plain.attention(q, k, v, plain=True))
    assert ref.same_bits(vb.fused_attention(q, k, v, scale=0.3), plain.attention(q, k, v, 0.3, plain=True))
    x, w, bias = _r(rng, 150, 270), _r(rng, 130, 270), _r(rng, 1, 130)
    assert ref.same_bits(vb.fused_linear_gelu(x, w, bias), plain.linear_gelu(x, w, bias, plain=True))
    xs = _r(rng, 300, 700)[::-1]
    assert ref.same_bits(vb.fused_rmsnorm(xs, xs[:1], eps=1e-5), plain.rmsnorm(xs, xs[:1], 1e-5, plain=True))


def test_module_gemm_fallback_matches_plain_loops(vb, no_gpu, plain):
    rng = np.random.default_rng(31)
    a, b = _r(rng, 301, 257), np.asfortranarray(_r(rng, 257, 199))
    assert ref.same_bits(vb.gemm(a, b), plain.gemm(a, b, plain=True))
