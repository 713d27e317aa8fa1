"""Bit-exact results of the fast CPU paths.

Every path (each instruction set the machine has, one or several threads) must give the bits of
an independent NumPy reference that follows the stated order of operations, and of the plain
sequential loops, whatever the layout of the operands.
"""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import cpu_refs as ref
import cpunative

EDGES = [1, 2, 15, 16, 17, 63, 64, 65, 127, 129]



def _combos():
    isas = ["baseline", "avx2", "avx512", "avx2-12x16"]
    return [(i, t) for i in isas for t in (1, 3)]


@pytest.fixture(params=_combos(), ids=lambda p: f"{p[0]}-{p[1]}t")
def cpu(lib, request):
    isa, threads = request.param
    if not lib.isa(isa):
        pytest.skip(f"{isa} not available here")
    lib.threads(threads)
    yield lib
    lib.isa("auto")
    lib.threads(0)


# ---- operand layouts with identical values ------------------------------------------------------

def as_layout(arr, kind):
    arr = np.asarray(arr, np.float32)
    if kind == "c":
        return np.ascontiguousarray(arr)
    if kind == "f":
        return np.asfortranarray(arr)
    if kind == "neg":  # every stride negative
        flip = tuple(slice(None, None, -1) for _ in range(arr.ndim))
        return arr[flip].copy()[flip]
    if kind == "gap":  # row and element gaps
        buf = np.full(tuple(2 * s + 1 for s in arr.shape), np.nan, np.float32)
        sl = tuple(slice(1, None, 2) for _ in range(arr.ndim))
        buf[sl] = arr
        return buf[sl]
    if kind == "odd":  # 5-byte element stride, unaligned: a field of a structured array
        s = np.zeros(arr.shape, dtype=[("pad", "u1"), ("v", "<f4")])
        s["v"] = arr
        return s["v"]
    raise ValueError(kind)


LAYOUTS = ["c", "f", "neg", "gap", "odd"]


def rand(rng, shape, special=0.0):
    x = rng.standard_normal(shape).astype(np.float32)
    if special:
        mask = rng.random(shape) < special
        picks = rng.choice(np.array([np.nan, np.inf, -np.inf, -0.0, 0.0, 1e30, -1e-40], np.float32),
                           size=int(mask.sum()))
        x[mask] = picks
    return x


def check(got, want, what):
    assert ref.same_bits(got, want), f"{what}: {ref.mismatch(got, want)}"


# ---- GEMM ---------------------------------------------------------------------------------------

def test_gemm_edges_and_layouts(cpu):
    rng = np.random.default_rng(1)
    cases = [(m, n, k) for m in (1, 17, 65) for n in (2, 16, 63, 129) for k in (1, 15, 64)]
    cases += [(127, 129, 7), (64, 64, 65), (3, 5, 300), (7, 33, 513), (129, 131, 17), (2, 4200, 3)]
    for idx, (m, n, k) in enumerate(cases):
        a, b = rand(rng, (m, k)), rand(rng, (k, n))
        la, lb = LAYOUTS[idx % 5], LAYOUTS[(idx * 3 + 1) % 5]
        got = cpu.gemm(as_layout(a, la), as_layout(b, lb))
        check(got, ref.gemm(a, b), f"gemm {m}x{k}@{k}x{n} {la}/{lb}")


def test_gemm_matches_plain_loops_on_large_blocked_shapes(cpu):
    rng = np.random.default_rng(2)
    for m, n, k in [(250, 263, 301), (97, 530, 260), (400, 40, 40), (30, 50, 1100)]:
        a, b = rand(rng, (m, k)), rand(rng, (k, n))
        a_l, b_l = as_layout(a, "f"), as_layout(b, "odd")
        check(cpu.gemm(a_l, b_l), cpu.gemm(a, b, plain=True), f"gemm {m}x{k}@{k}x{n}")


def test_gemm_special_values(cpu):
    rng = np.random.default_rng(3)
    for m, n, k in [(17, 19, 31), (65, 33, 260), (6, 16, 5)]:
        a, b = rand(rng, (m, k), 0.08), rand(rng, (k, n), 0.08)
        check(cpu.gemm(a, b), ref.gemm(a, b), f"gemm specials {m}x{k}@{k}x{n}")
        check(cpu.gemm(a, b), cpu.gemm(a, b, plain=True), "gemm specials vs plain")


def test_negative_zero_products_sum_to_positive_zero(cpu):
    a = np.full((7, 9), -0.0, np.float32)
    b = np.ones((9, 18), np.float32)
    c = cpu.gemm(a, b)
    assert not np.signbit(c).any()
    # A single product of -0.0 also gives +0.0: the accumulator starts at +0.0.
    c1 = cpu.gemm(np.array([[-1.0]], np.float32), np.array([[0.0]], np.float32))
    assert c1[0, 0] == 0 and not np.signbit(c1[0, 0])


def test_gemm_order_is_sequential_not_pairwise(cpu):
    # Left to right, each 1 after 1e8 is lost and the one after -1e8 survives: 1.0. Pairwise or
    # reassociated sums give 0 or 8.
    a = np.array([[1e8, 1.0, -1e8, 1.0] * 8], np.float32)
    b = np.ones((32, 20), np.float32)
    got = cpu.gemm(a, b)
    check(got, ref.gemm(a, b), "sequential sum")
    assert got[0, 0] == np.float32(1.0)


def test_gemm_zero_stride_operands(cpu):
    rng = np.random.default_rng(4)
    row = rand(rng, (1, 40))
    a = np.broadcast_to(row, (70, 40))
    b = np.broadcast_to(rand(rng, (40, 1)), (40, 33))
    check(cpu.gemm(a, b), ref.gemm(np.array(a), np.array(b)), "broadcast operands")


def test_gemm_empty_and_zero_depth(cpu):
    assert cpu.gemm(np.zeros((0, 4), np.float32), np.zeros((4, 3), np.float32)).shape == (0, 3)
    c = cpu.gemm(np.zeros((3, 0), np.float32), np.zeros((0, 2), np.float32))
    assert c.shape == (3, 2) and not c.any() and not np.signbit(c).any()


# ---- batched ------------------------------------------------------------------------------------

def test_batched_matches_reference(cpu):
    rng = np.random.default_rng(5)
    for idx, (bt, m, k, n) in enumerate([(1, 1, 1, 1), (2, 17, 15, 65), (5, 16, 63, 17),
                                          (3, 64, 129, 2), (2, 129, 40, 64)]):
        a, b = rand(rng, (bt, m, k), 0.02), rand(rng, (bt + idx % 2, k + idx, n))
        la, lb = LAYOUTS[idx % 5], LAYOUTS[(idx + 2) % 5]
        got = cpu.gemm_batched(as_layout(a, la), as_layout(b, lb))
        check(got, ref.gemm_batched(a, b), f"batched {(bt, m, k, n)} {la}/{lb}")


def test_batched_many_small_products_against_plain(cpu):
    rng = np.random.default_rng(6)
    a, b = rand(rng, (9, 33, 47)), rand(rng, (9, 47, 50))
    check(cpu.gemm_batched(a, b), cpu.gemm_batched(a, b, plain=True), "batched 9")


def test_batched_faults_and_oversized_b(cpu):
    a = np.ones((2, 3, 4), np.float32)
    with pytest.raises(cpunative.IndexFault):
        cpu.gemm_batched(a, np.ones((1, 4, 5), np.float32))
    with pytest.raises(cpunative.IndexFault):
        cpu.gemm_batched(a, np.ones((2, 3, 5), np.float32))
    # Too few batches is a fault even with nothing to sum.
    with pytest.raises(cpunative.IndexFault):
        cpu.gemm_batched(np.ones((2, 3, 0), np.float32), np.ones((1, 0, 5), np.float32))
    big = np.arange(3 * 6 * 5, dtype=np.float32).reshape(3, 6, 5)
    got = cpu.gemm_batched(a, big)
    check(got, ref.gemm_batched(a, big[:2, :4]), "oversized b")
    assert cpu.gemm_batched(np.ones((0, 3, 4), np.float32), np.ones((0, 1, 5), np.float32)).shape == (0, 3, 5)


# ---- attention ----------------------------------------------------------------------------------

def test_attention_matches_reference(cpu, lib):
    rng = np.random.default_rng(7)
    cases = [(1, 1, 1), (2, 17, 15), (1, 65, 16), (2, 70, 33), (1, 129, 2), (1, 3, 64)]
    for idx, (B, S, D) in enumerate(cases):
        q, k, v = rand(rng, (B, S, D)), rand(rng, (B, S + 1, D + 2)), rand(rng, (B + 1, S, D))
        scale = lib.dll.vc_default_scale(D) if idx % 2 else 0.37
        lay = LAYOUTS[idx % 5]
        got = cpu.attention(as_layout(q, lay), as_layout(k, LAYOUTS[(idx + 1) % 5]),
                            as_layout(v, LAYOUTS[(idx + 3) % 5]), scale)
        check(got, ref.attention(q, k, v, scale), f"attention {(B, S, D)} {lay}")


def test_attention_long_rows_against_plain(cpu):
    rng = np.random.default_rng(8)
    q, k, v = (rand(rng, (2, 300, 40)) for _ in range(3))
    check(cpu.attention(q, k, v, 0.2), cpu.attention(q, k, v, 0.2, plain=True), "attention 300")


def test_attention_special_scores(cpu):
    rng = np.random.default_rng(9)
    q, k, v = rand(rng, (2, 20, 8), 0.05), rand(rng, (2, 20, 8), 0.05), rand(rng, (2, 20, 8))
    check(cpu.attention(q, k, v, 1.0), ref.attention(q, k, v, 1.0), "attention specials")
    # Large equal scores: the maximum is subtracted first, so the weights stay uniform and finite.
    big = np.full((1, 4, 2), 1000.0, np.float32)
    vals = np.arange(8, dtype=np.float32).reshape(1, 4, 2)
    out = cpu.attention(big, big, vals, 1.0)
    assert np.isfinite(out).all()
    check(out, ref.attention(big, big, vals, 1.0), "attention large scores")


def test_attention_faults(cpu):
    q = np.ones((1, 2, 4), np.float32)
    ok = np.ones((1, 3, 4), np.float32)
    for bad in (np.ones((1, 1, 4), np.float32), np.ones((1, 2, 3), np.float32), np.ones((0, 2, 4), np.float32)):
        with pytest.raises(cpunative.IndexFault):
            cpu.attention(q, bad, ok, 1.0)
        with pytest.raises(cpunative.IndexFault):
            cpu.attention(q, ok, bad, 1.0)
    # No features: k and v are never read.
    out = cpu.attention(np.ones((2, 3, 0), np.float32), np.ones((1, 1, 1), np.float32),
                        np.ones((1, 1, 1), np.float32), 1.0)
    assert out.shape == (2, 3, 0)


# ---- fused linear + GELU ------------------------------------------------------------------------

def test_linear_gelu_matches_reference(cpu):
    rng = np.random.default_rng(10)
    cases = [(1, 1, 1), (2, 3, 4), (17, 15, 65), (64, 63, 16), (33, 129, 40), (5, 300, 7)]
    for idx, (n, k, o) in enumerate(cases):
        x, w = rand(rng, (n, k), 0.02), rand(rng, (o, k + idx % 3))
        bias = rand(rng, (1 + idx % 2, o + idx % 2)) if idx % 3 else None
        lay = LAYOUTS[idx % 5]
        got = cpu.linear_gelu(as_layout(x, lay), as_layout(w, LAYOUTS[(idx + 2) % 5]),
                              None if bias is None else as_layout(bias, LAYOUTS[(idx + 4) % 5]))
        check(got, ref.linear_gelu(x, w, bias), f"linear_gelu {(n, k, o)} {lay}")


def test_linear_gelu_large_against_plain(cpu):
    rng = np.random.default_rng(11)
    for n, k, o in [(130, 270, 90), (40, 700, 50)]:  # the second over two k-blocks
        x, w, bias = rand(rng, (n, k)), rand(rng, (o, k)), rand(rng, (1, o))
        check(cpu.linear_gelu(x, w, bias), cpu.linear_gelu(x, w, bias, plain=True), f"linear_gelu {n, k, o}")


def test_linear_gelu_zero_depth_and_faults(cpu):
    bias = np.array([[0.5, -1.0, 3.0, 0.0]], np.float32)
    got = cpu.linear_gelu(np.zeros((2, 0), np.float32), np.zeros((4, 0), np.float32), bias)
    check(got, np.repeat(ref.gelu(bias), 2, axis=0), "gelu of bias")
    x = np.ones((2, 3), np.float32)
    with pytest.raises(cpunative.IndexFault):
        cpu.linear_gelu(x, np.ones((4, 2), np.float32))
    with pytest.raises(cpunative.IndexFault):
        cpu.linear_gelu(x, np.ones((4, 3), np.float32), np.ones((1, 3), np.float32))
    with pytest.raises(cpunative.IndexFault):
        cpu.linear_gelu(x, np.ones((4, 3), np.float32), np.ones((0, 4), np.float32))


# ---- RMSNorm ------------------------------------------------------------------------------------

def test_rmsnorm_matches_reference(cpu):
    rng = np.random.default_rng(12)
    cases = [(1, 1), (3, 2), (8, 17), (9, 64), (17, 129), (65, 5), (127, 300)]
    for idx, (r, c) in enumerate(cases):
        x = rand(rng, (r, c), 0.01 if idx % 2 else 0.0)
        w = rand(rng, (1 + idx % 2, c + idx % 3))
        eps = [1e-6, 0.0, 0.5][idx % 3]
        got = cpu.rmsnorm(as_layout(x, LAYOUTS[idx % 5]), as_layout(w, LAYOUTS[(idx + 1) % 5]), eps)
        check(got, ref.rmsnorm(x, w, eps), f"rmsnorm {(r, c)} eps={eps}")


def test_rmsnorm_values_and_faults(cpu):
    got = cpu.rmsnorm(np.array([[3.0, 4.0]], np.float32), np.ones((1, 2), np.float32), 0.0)
    want = np.array([3, 4], np.float32) / np.sqrt(np.float32(12.5))
    check(got[0], want, "3-4 row")
    zero = cpu.rmsnorm(np.zeros((9, 3), np.float32), np.ones((1, 3), np.float32), 0.0)
    assert np.isnan(zero).all()
    with pytest.raises(cpunative.IndexFault):
        cpu.rmsnorm(np.ones((2, 3), np.float32), np.ones((0, 3), np.float32), 1e-6)
    with pytest.raises(cpunative.IndexFault):
        cpu.rmsnorm(np.ones((2, 3), np.float32), np.ones((1, 2), np.float32), 1e-6)
    assert cpu.rmsnorm(np.ones((0, 3), np.float32), np.ones((0, 3), np.float32), 1e-6).shape == (0, 3)


def test_rmsnorm_large_against_plain(cpu):
    rng = np.random.default_rng(13)
    x, w = rand(rng, (203, 1100)), rand(rng, (1, 1100))
    check(cpu.rmsnorm(x, w, 1e-6), cpu.rmsnorm(x, w, 1e-6, plain=True), "rmsnorm large")
