"""VantTensor, VantBLASModel and gemm_chain in a process without any CUDA driver."""

from __future__ import annotations

import numpy as np
import pytest

F32 = np.float32
CORE_MISSING = "Failed to get CUDA core: cuInit failed: cuInit failed with error: 801"
CHAIN_NEEDS_CUDA = "gemm_chain requires CUDA. Please use two separate gemm() calls for CPU fallback."


@pytest.fixture(autouse=True)
def _only_without_driver(no_gpu):
    pass


def test_tensor_constructor_reports_the_missing_driver_every_time(vb):
    for _ in range(3):
        with pytest.raises(RuntimeError) as info:
            vb.VantTensor(np.ones((3, 4), F32))
        assert str(info.value) == CORE_MISSING


def test_tensor_argument_errors_come_first(vb):
    with pytest.raises(TypeError, match="^argument 'data': 'ndarray' object cannot be converted to 'PyArray<T, D>'$"):
        vb.VantTensor(np.ones((3, 4)), device="nope")
    with pytest.raises(TypeError, match="^argument 'data': 'list'"):
        vb.VantTensor([[1.0]])
    with pytest.raises(TypeError, match="^argument 'data': 'ndarray'"):
        vb.VantTensor(np.ones((1, 2, 3), F32))
    for device in ["CUDA", "cuda:0", "gpu", ""]:
        with pytest.raises(RuntimeError, match="^Only 'cuda' device is supported$"):
            vb.VantTensor(np.ones((3, 4), F32), device)
    with pytest.raises(TypeError, match="^argument 'device': 'NoneType' object cannot be converted to 'PyString'$"):
        vb.VantTensor(np.ones((3, 4), F32), device=None)


def test_model_without_driver(vb):
    model = vb.VantBLASModel()
    with pytest.raises(RuntimeError, match=r"^Weights not set! Call set_weights\(\) first\.$"):
        model.forward(np.ones((2, 4), F32))
    with pytest.raises(RuntimeError, match=r"^Shape mismatch: W2\[6,3\] should be \[8,3\]$"):
        model.set_weights(np.ones((4, 8), F32), np.ones((6, 3), F32))
    with pytest.raises(RuntimeError) as info:
        model.set_weights(np.ones((4, 8), F32), np.ones((8, 3), F32))
    assert str(info.value) == CORE_MISSING
    with pytest.raises(RuntimeError, match=r"^Weights not set!"):
        model.forward_batch(np.ones((2, 4), F32))
    with pytest.raises(TypeError, match="^argument 'x_batch': 'list'"):
        model.forward_batch([1])
    with pytest.raises(TypeError, match="^argument 'w2': 'ndarray'"):
        model.set_weights(np.ones((4, 8), F32), np.ones(8, F32))


def test_chain_without_driver(vb):
    a, w1, w2 = np.ones((4, 5), F32), np.ones((5, 6), F32), np.ones((6, 3), F32)
    with pytest.raises(RuntimeError) as info:
        vb.gemm_chain(a, w1, w2)
    assert str(info.value) == CHAIN_NEEDS_CUDA
    with pytest.raises(RuntimeError, match=r"^Shape mismatch: A\[4,5\] x B\[6,7\]$"):
        vb.gemm_chain(a, np.ones((6, 7), F32), w2)
    with pytest.raises(RuntimeError) as info:
        vb.gemm_chain(a, w1, np.ones((7, 8), F32))
    assert str(info.value) == CHAIN_NEEDS_CUDA
