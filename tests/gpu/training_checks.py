"""Checks of the training kernels against NumPy references, each a function of a launcher device.

They run on a real GPU (tests/gpu/test_training_kernels.py) and in a child process on the
stand-in driver (tests/test_runtime_training_kernels.py), whose CPU executors follow the kernels'
arithmetic. The references repeat the kernels' rounding steps in float32, so most results are
compared bit for bit.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

from training_launcher import Out, f32, u32  # noqa: E402

F = np.float32
EXP_COEFFS = [F(c) for c in ("0.5", "0.16666667", "0.041666668", "0.008333334", "0.0013888889",
                              "0.0001984127", "2.4801588e-05", "2.7557319e-06", "2.755732e-07")]


def bounded_exp(x, mx):
    d = np.fmin(np.fmax((x - mx).astype(F), F(-87.0)), F(0.0))
    t = d * F(0.25)
    p = t + F(1.0)
    w = t
    for c in EXP_COEFFS:
        w = w * t
        p = p + w * c
    p = p * p
    p = p * p
    return np.fmax(p, F(5.9604645e-08))


def ref_softmax(x):
    mx = x.max(axis=-1, keepdims=True)
    e = bounded_exp(x, mx)
    s = np.zeros(x.shape[:-1] + (1,), dtype=F)
    for j in range(x.shape[-1]):
        s = s + e[..., j:j + 1]
    return e / s


def trunc_s32(v):
    return np.trunc(v).astype(np.int64)


def rng(seed):
    return np.random.default_rng(seed)


def assert_bits(actual, expected):
    actual = np.asarray(actual, dtype=F)
    expected = np.asarray(expected, dtype=F).reshape(actual.shape)
    bad = actual.view(np.uint32) != expected.view(np.uint32)
    assert not bad.any(), f"{bad.sum()} elements differ, first at {np.argwhere(bad)[0]}: " \
                          f"{actual[bad][0]!r} vs {expected[bad][0]!r}"


CHECKS = {}


def check(fn):
    CHECKS[fn.__name__] = fn
    return fn


@check
def matmul_random_and_empty_inner(dev):
    r = rng(1)
    m, n, k = 37, 29, 53
    a = r.standard_normal((m, k)).astype(F)
    b = r.standard_normal((k, n)).astype(F)
    grid = ((n + 15) // 16, (m + 15) // 16)
    (c, _, _) = dev.run("matmul.ptx", "matmul_kernel", grid, (16, 16),
                        [Out(m * n), a, b, u32(m), u32(n), u32(k)])
    np.testing.assert_allclose(c.reshape(m, n), a.astype(np.float64) @ b, rtol=1e-5, atol=1e-5)
    (c, _, _) = dev.run("matmul.ptx", "matmul_kernel", (1, 1), (8, 8),
                        [Out(6), np.zeros(1, F), np.zeros(1, F), u32(2), u32(3), u32(0)])
    assert_bits(c, np.zeros(6, F))


@check
def softmax_maximum_gives_one(dev):
    # A one-element row is the maximum itself: exp gives exactly 1.0, so the output is 1.0.
    x = np.array([[7.5], [-3.0]], dtype=F)
    (out, _) = dev.run("softmax.ptx", "softmax_kernel", (2,), (32,), [Out(2), x, u32(1), u32(2), u32(1)])
    assert_bits(out, [1.0, 1.0])
    # Two equal maxima share the row evenly, and a far smaller element is clamped, not zero.
    x = np.array([4.0, 4.0, -500.0], dtype=F)
    (out, _) = dev.run("softmax.ptx", "softmax_kernel", (1,), (1,), [Out(3), x, u32(1), u32(1), u32(3)])
    assert_bits(out, ref_softmax(x[None, :])[0])
    assert out[2] > 0.0


@check
def softmax_random(dev):
    r = rng(2)
    batch, seq, hidden = 3, 4, 33
    x = (r.standard_normal((batch, seq, hidden)) * 6).astype(F)
    (out, _) = dev.run("softmax.ptx", "softmax_kernel", (batch * seq,), (64,),
                       [Out(x.size), x, u32(batch), u32(seq), u32(hidden)])
    assert_bits(out, ref_softmax(x))
    np.testing.assert_allclose(out.reshape(batch, seq, hidden).sum(-1), 1.0, rtol=1e-5)


@check
def adamw_random(dev):
    r = rng(3)
    n = 1000
    p = r.standard_normal(n).astype(F)
    g = r.standard_normal(n).astype(F)
    m = (r.standard_normal(n) * 0.1).astype(F)
    v = np.abs(r.standard_normal(n) * 0.01).astype(F)
    lr, b1, b2, eps, wd, step = F(1e-3), F(0.9), F(0.999), F(1e-8), F(0.01), 3
    b1p, b2p = F(b1 ** step), F(b2 ** step)
    outs = dev.run("adamw.ptx", "adamw_kernel", ((n + 255) // 256,), (256,),
                   [p, g, m, v, f32(lr), f32(b1), f32(b2), f32(b1p), f32(b2p), f32(eps), f32(wd), u32(n)])
    m2 = b1 * m + (F(1) - b1) * g
    v2 = b2 * v + (F(1) - b2) * (g * g)
    mhat = m2 / (F(1) - b1p)
    vhat = v2 / (F(1) - b2p)
    update = mhat / (np.sqrt(vhat) + eps) + wd * p
    assert_bits(outs[0], p - lr * update)
    assert_bits(outs[1], g)
    assert_bits(outs[2], m2)
    assert_bits(outs[3], v2)


@check
def one_hot_truncates_and_ignores_out_of_range(dev):
    targets = np.array([2.9, -1.0, 0.0, 4.0, 3.99, -0.5], dtype=F)
    vocab = 4
    (out, _) = dev.run("one_hot.ptx", "one_hot_kernel", (2,), (4,),
                       [Out(targets.size * vocab), targets, u32(targets.size), u32(vocab)])
    expected = np.zeros((targets.size, vocab), F)
    expected[0, 2] = expected[2, 0] = expected[4, 3] = expected[5, 0] = 1.0  # -0.5 truncates to 0
    assert_bits(out, expected)


@check
def one_hot_chunk_leaves_other_columns(dev):
    targets = np.array([3.0, 0.0, 4.7, 5.0], dtype=F)
    vocab, start, end = 6, 2, 5
    (out, _) = dev.run("one_hot_chunk.ptx", "one_hot_chunk_kernel", (1,), (32,),
                       [Out(targets.size * vocab, fill=7.0), targets, u32(targets.size), u32(vocab),
                        u32(start), u32(end)])
    expected = np.full((targets.size, vocab), 7.0, F)
    expected[:, start:end] = 0.0
    expected[0, 3] = expected[2, 4] = 1.0
    assert_bits(out, expected)


@check
def cross_entropy_backward_random(dev):
    r = rng(4)
    rows, vocab = 5, 37
    logits = (r.standard_normal((rows, vocab)) * 4).astype(F)
    targets = np.array([0, 36, 5.6, -1, 12], dtype=F)
    scale = F(1.0 / rows)
    (d, _, _) = dev.run("cross_entropy_backward.ptx", "cross_entropy_backward_kernel", (rows,), (32,),
                        [Out(logits.size), logits, targets, u32(rows), u32(vocab), f32(scale)])
    probs = ref_softmax(logits)
    hot = np.zeros_like(probs)
    for i, t in enumerate(trunc_s32(targets)):
        if 0 <= t < vocab:
            hot[i, t] = 1.0
    assert_bits(d, (probs - hot) * scale)
    # The maximum's exponential is exactly 1: a row of equal logits gives 1/vocab everywhere.
    flat = np.zeros((1, 4), F)
    (d, _, _) = dev.run("cross_entropy_backward.ptx", "cross_entropy_backward_kernel", (1,), (1,),
                        [Out(4), flat, np.array([1.0], F), u32(1), u32(4), f32(1.0)])
    assert_bits(d, [0.25, -0.75, 0.25, 0.25])


@check
def reduce_sum_rows(dev):
    (out, _) = dev.run("reduce_sum.ptx", "reduce_sum_kernel", (1,), (8,),
                       [Out(5), np.zeros(1, F), u32(0), u32(5)])
    assert_bits(out, np.zeros(5, F))
    r = rng(5)
    rows, cols = 17, 300
    x = r.standard_normal((rows, cols)).astype(F)
    (out, _) = dev.run("reduce_sum.ptx", "reduce_sum_kernel", ((cols + 127) // 128,), (128,),
                       [Out(cols), x, u32(rows), u32(cols)])
    acc = np.zeros(cols, F)
    for i in range(rows):
        acc = acc + x[i]
    assert_bits(out, acc)


@check
def embedding_gathers_rows(dev):
    r = rng(6)
    vocab, dim = 10, 7
    weight = r.standard_normal((vocab, dim)).astype(F)
    ids = np.array([3.7, 0.0, 9.0, 3.0, 1.2], dtype=F)
    n = ids.size * dim
    (out, _, _) = dev.run("embedding.ptx", "embedding_kernel", ((n + 31) // 32,), (32,),
                          [Out(n), weight, ids, u32(ids.size), u32(dim)])
    assert_bits(out, weight[ids.astype(np.int64)])


@check
def transpose_small_and_random(dev):
    a = np.array([[1, 2, 3], [4, 5, 6]], dtype=F)
    (b, _) = dev.run("transpose.ptx", "transpose_2d_kernel", (1,), (32,), [Out(6), a, u32(2), u32(3)])
    assert_bits(b, [[1, 4], [2, 5], [3, 6]])
    r = rng(7)
    a = r.standard_normal((37, 53)).astype(F)
    (b, _) = dev.run("transpose.ptx", "transpose_2d_kernel", ((a.size + 255) // 256,), (256,),
                     [Out(a.size), a, u32(37), u32(53)])
    assert_bits(b, a.T)
