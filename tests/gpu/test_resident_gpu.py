"""Resident tensors, the weight-resident model and the chained GEMM on a real GPU."""

from __future__ import annotations

import numpy as np
import pytest

pytestmark = pytest.mark.gpu
F32 = np.float32


def rand(*shape, seed=0):
    return np.random.default_rng(seed).standard_normal(shape).astype(F32)


def rel_err(x, ref):
    ref = np.asarray(ref, np.float64)
    return float(np.linalg.norm(np.asarray(x, np.float64) - ref) / max(np.linalg.norm(ref), 1e-30))


@pytest.mark.parametrize("make", [
    lambda x: x,
    np.asfortranarray,
    lambda x: x[::-1, ::-1],
    lambda x: x[::2, 1::3],
])
def test_tensor_round_trip_is_exact(vb, make):
    arr = make(rand(40, 30))
    t = vb.VantTensor(arr)
    np.testing.assert_array_equal(t.cpu(), np.ascontiguousarray(arr))
    np.testing.assert_array_equal(t.cpu(), np.ascontiguousarray(arr))
    assert t.shape() == list(arr.shape) and t.device() == "cuda:0"


@pytest.mark.parametrize("m,k,n", [(1, 1, 1), (5, 7, 3), (63, 64, 65), (128, 96, 256), (300, 200, 100)])
def test_tensor_products_and_chains(vb, m, k, n):
    a, b, c = rand(m, k), rand(k, n, seed=1), rand(n, 9, seed=2)
    ta, tb, tc = vb.VantTensor(a), vb.VantTensor(b), vb.VantTensor(c)
    ab = a.astype(np.float64) @ b
    assert rel_err(ta.matmul(tb).cpu(), ab) < 1e-5
    assert rel_err(ta.matmul(tb).matmul(tc).cpu(), ab @ c) < 1e-5


def test_model_matches_two_numpy_products(vb):
    w1, w2, x = rand(64, 48), rand(48, 20, seed=1), rand(33, 64, seed=2)
    m = vb.VantBLASModel()
    m.set_weights(w1, w2)
    ref = (x.astype(np.float64) @ w1) @ w2
    assert rel_err(m.forward(x), ref) < 1e-5
    np.testing.assert_array_equal(m.forward_batch(x), m.forward(x))


@pytest.mark.parametrize("shapes", [((32, 64), (64, 48), (48, 16)), ((32, 64), (64, 48), (48, 10)),
                                    ((17, 5), (5, 9), (9, 3)), ((256, 512), (512, 128), (128, 64))])
def test_chain_against_two_gemms(vb, shapes):
    a, w1, w2 = (rand(*s, seed=i) for i, s in enumerate(shapes))
    chained = vb.gemm_chain(a, w1, w2)
    two = vb.gemm(vb.gemm(a, w1), w2)
    ref = (a.astype(np.float64) @ w1) @ w2
    assert rel_err(chained, ref) < 5e-3
    assert rel_err(chained, two) < 5e-3


def test_cuda_is_reported_available(vb):
    assert vb.is_cuda_available() is True
