"""expf and tanhf computed on vectors give the C runtime's bits for every input the operations can
hand them: expf after the softmax's maximum is subtracted ([-inf, 0] and NaN), tanhf for every
float. Exhaustive on the widest path this machine has, a dense sample on the narrower ones; each
version's own first-use check must agree with the sweep."""

import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import cpu_refs as ref



def _sweep(lib, fn, ranges, stride, sets):
    """Splits the ranges into pieces swept on two threads (ctypes releases the interpreter lock)."""
    pieces = []
    for lo, hi in ranges:
        step = max(stride, ((hi - lo) // 64 // stride + 1) * stride)
        pieces += [(a, min(a + step - 1, hi)) for a in range(lo, hi + 1, step)]
    with ThreadPoolExecutor(2) as ex:
        results = list(ex.map(lambda p: lib.special_sweep(fn, p[0], p[1], stride, sets), pieces))
    bad = sum(n for n, _ in results)
    first = next((f for n, f in results if n), None)
    return bad, first


@pytest.mark.parametrize("fn,ranges", [
    ("expf", [(0x80000000, 0xFF800000), (0x7F800001, 0x7FFFFFFF), (0xFF800001, 0xFFFFFFFF)]),
    ("tanhf", [(0, 0xFFFFFFFF)]),
])
@pytest.mark.skipif(os.environ.get("VANT_SANITIZED") == "1",
                    reason="the ctypes library is not instrumented: the same run as the main stage")
def test_vector_version_matches_the_runtime_on_every_input(lib, fn, ranges):
    sets = lib.special_sets(fn)
    if not sets:
        pytest.skip(f"no vector {fn} on this machine's instruction sets")
    best = 1 << (sets.bit_length() - 1)
    bad, first = _sweep(lib, fn, ranges, 1, best)
    if not lib.special_checked_ok(fn) and lib.special_sets(fn) & best:
        # A runtime whose function the vector code does not reproduce: refused at first use, the
        # scalar function serves every element. The sweep must confirm there was a reason.
        assert bad, f"{fn}: the first-use check refused a version that matches everywhere"
        pytest.skip(f"{fn} of this C runtime is not the one the vector code reproduces")
    assert bad == 0, f"{fn}: {bad} results differ, first for input bits {first:#010x}"
    if sets & ~best:
        bad, first = _sweep(lib, fn, ranges, 61, sets & ~best)
        assert bad == 0, f"{fn} (narrower paths): {bad} differ, first {first:#010x}"


def test_operations_use_the_runtimes_functions_on_hard_inputs(lib):
    # Scores whose exponentials lie on both sides of float rounding boundaries, the underflow
    # edge, infinities and NaN; GELU arguments across every branch of tanhf.
    rng = np.random.default_rng(50)
    q = np.zeros((2, 40, 1), np.float32)
    q[:, :, 0] = 1.0
    k = np.zeros((2, 40, 1), np.float32)
    k[0, :, 0] = -np.geomspace(1e-7, 103.9, 40, dtype=np.float32)
    k[1, :, 0] = rng.uniform(-110, 0, 40).astype(np.float32)
    k[1, ::9, 0] = [-np.inf, np.nan, -87.2, -103.97, -104.0]
    v = rng.standard_normal((2, 40, 3)).astype(np.float32)
    y = np.concatenate([np.float32([0.0, -0.0, 1e-30, -3e-20, 1e-45, np.inf, -np.inf, np.nan, 9.0, 19.6]),
                        rng.standard_normal(400).astype(np.float32) * np.float32(6.0)])[None, :]
    eye = np.ones((1, 1), np.float32)
    for isa in lib.available_isas():
        lib.isa(isa)
        try:
            got, want = lib.attention(q, k, v, 1.0), ref.attention(q, k, v, 1.0)
            assert ref.same_bits(got, want), (isa, ref.mismatch(got, want))
            got, want = lib.linear_gelu(y.T.copy(), eye), ref.linear_gelu(y.T.copy(), eye)
            assert ref.same_bits(got, want), (isa, ref.mismatch(got, want))
        finally:
            lib.isa("auto")
