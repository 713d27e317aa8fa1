"""The fused kernels run on the CPU: the CUDA sources through the stand-in driver's executors,
the hand-written attention PTX through the PTX interpreter (tools/ptx_interp).

The gpu tests of tests/gpu/test_fused_kernels.py run here against the stand-in, whose executors
compile the same sources as plain C++ with one host thread per GPU thread (real barriers and
shuffles, exact functions for the approximate instructions), and once more with the stand-in
running the modules' PTX through the interpreter, so the kernels' own instructions are checked
too (ptxas and the gpu tests on a device check the rest).
"""

import os
import re
import subprocess
import sys

import numpy as np
import pytest

import fakecuda
from ptxinterp import Kernel, Memory

GPU_TESTS = fakecuda.TESTS_DIR / "gpu" / "test_fused_kernels.py"

# The largest causal cases cost minutes of host threads on a small machine; the smaller cases
# of the same kernels stay in.
DESELECT = "not (matches_reference and 130) and not 63-simple"


@pytest.mark.parametrize("interpret", ["none", "all"])
def test_kernel_sources_pass_the_gpu_tests_on_the_cpu(interpret):
    """With "all", the stand-in runs the modules' PTX through the interpreter instead of the
    executors (fast enough for every case)."""
    env = dict(os.environ)
    env["LD_LIBRARY_PATH"] = str(fakecuda.library_path().parent) + (
        os.pathsep + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else "")
    env["VANT_FUSED_KERNELS_ON_STANDIN"] = "1"
    env["FAKE_CUDA_INTERPRET"] = interpret
    env.pop("PYTEST_ADDOPTS", None)
    select = ["-k", DESELECT] if interpret == "none" else []
    r = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(GPU_TESTS), *select],
                       cwd=fakecuda.REPO, env=env, capture_output=True, text=True, timeout=1200)
    summary = r.stdout.strip().splitlines()[-1] if r.stdout.strip() else ""
    assert r.returncode == 0, r.stdout[-6000:] + r.stderr[-3000:]
    passed = re.search(r"(\d+) passed", summary)
    assert passed and int(passed.group(1)) >= 50 and "skipped" not in summary, summary


# ---- the hand-written attention PTX, run by the interpreter -----------------------------------

RNG = np.random.default_rng(7)


@pytest.fixture(scope="module")
def attention_kernel():
    return Kernel((fakecuda.REPO / "kernels" / "fused" / "attention.ptx").read_text(), "vantblas_fused_attention")


def attention_ref(q, k, v, scale):
    s = np.einsum("bhqd,bhkd->bhqk", q.astype(np.float64), k.astype(np.float64)) * scale
    p = np.exp(s - s.max(axis=-1, keepdims=True))
    return (p / p.sum(axis=-1, keepdims=True)) @ v.astype(np.float64)


def run_attention(kernel, q, k, v, scale, grid=None, block=128):
    """(O, guard): O as written, then as many elements after it that nothing may write."""
    mem = Memory()
    b, h, s, d = q.shape
    o = mem.alloc(2 * q.nbytes)
    kernel.launch(mem, grid or (b * h, s), (block,), [o, mem.put(q), mem.put(k), mem.put(v), b, h, s, d, scale])
    full = mem.get(o, (2 * q.size,))
    return full[:q.size].reshape(q.shape), full[q.size:]


@pytest.mark.parametrize("shape,block", [((1, 2, 5, 8), 128), ((1, 1, 40, 3), 32)])
def test_attention_ptx_matches_reference(attention_kernel, shape, block):
    q, k, v = (RNG.standard_normal(shape).astype(np.float32) for _ in range(3))
    out, guard = run_attention(attention_kernel, q, k, v, 0.5, block=block)
    np.testing.assert_allclose(out, attention_ref(q, k, v, 0.5), rtol=1e-5, atol=1e-6)
    assert np.isnan(guard).all()


def test_attention_ptx_survives_scores_beyond_the_exponent_range(attention_kernel):
    q, k, v = (RNG.standard_normal((1, 1, 6, 4)).astype(np.float32) for _ in range(3))
    out, _ = run_attention(attention_kernel, q * 30, k * 30, v, 1.0)
    np.testing.assert_allclose(out, attention_ref(q * 30, k * 30, v, 1.0), rtol=1e-5, atol=1e-6)


def test_attention_ptx_with_equal_scores_averages_v(attention_kernel):
    q = np.zeros((1, 1, 6, 4), np.float32)
    k, v = (RNG.standard_normal(q.shape).astype(np.float32) for _ in range(2))
    out, _ = run_attention(attention_kernel, q, k, v, 1.0)
    np.testing.assert_allclose(out, np.broadcast_to(v.mean(axis=2, keepdims=True), v.shape), rtol=1e-6, atol=1e-7)


def test_attention_ptx_blocks_outside_the_tensor_write_nothing(attention_kernel):
    q, k, v = (RNG.standard_normal((2, 1, 3, 4)).astype(np.float32) for _ in range(3))
    out, guard = run_attention(attention_kernel, q, k, v, 0.5, grid=(3, 5), block=32)
    np.testing.assert_allclose(out, attention_ref(q, k, v, 0.5), rtol=1e-5, atol=1e-6)
    assert np.isnan(guard).all()


def test_attention_ptx_refuses_rows_longer_than_its_score_array(attention_kernel):
    q = RNG.standard_normal((1, 1, 300, 1)).astype(np.float32)
    out, guard = run_attention(attention_kernel, q, q, q, 0.5, grid=(1, 3), block=32)
    assert np.isnan(out).all() and np.isnan(guard).all()
