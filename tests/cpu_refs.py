"""Independent NumPy references for the CPU arithmetic, following the stated order of operations.

Sums are built as float32 products followed by ``np.cumsum`` (a sequential accumulation) after a
leading +0.0 term; expf and tanhf come from the C library through ctypes, since NumPy's float32
exp and tanh are its own approximations.
"""

from __future__ import annotations

import ctypes
import ctypes.util

import numpy as np

_libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
_libm.expf.argtypes = [ctypes.c_float]
_libm.expf.restype = ctypes.c_float
_libm.tanhf.argtypes = [ctypes.c_float]
_libm.tanhf.restype = ctypes.c_float

f32 = np.float32


def libm_map(fn, x):
    flat = np.asarray(x, np.float32).ravel()
    out = np.fromiter((fn(float(v)) for v in flat), np.float32, count=flat.size)
    return out.reshape(np.shape(x))


def seq_sum(terms, axis):
    """Float32 sum along ``axis`` from +0.0, one rounded add per term, in index order."""
    terms = np.moveaxis(np.asarray(terms, np.float32), axis, -1)
    zero = np.zeros(terms.shape[:-1] + (1,), np.float32)
    return np.cumsum(np.concatenate([zero, terms], axis=-1), axis=-1, dtype=np.float32)[..., -1]


def gemm(a, b):
    with np.errstate(all="ignore"):
        return seq_sum(a[:, :, None] * b[None, :, :], axis=1)


def gemm_batched(a, b):
    k = a.shape[2]
    return np.stack([gemm(a[p], b[p, :k]) for p in range(a.shape[0])]) if a.shape[0] else \
        np.zeros((0, a.shape[1], b.shape[2]), np.float32)


def gelu(y):
    with np.errstate(all="ignore"):
        u = ((y * y) * y) * f32(0.044715)
        u = u + y
        u = u * f32(0.7978845)
        h = y * f32(0.5)
        return (libm_map(_libm.tanhf, u) + f32(1.0)) * h


def linear_gelu(x, w, bias=None):
    k = x.shape[1]
    y = gemm(x, np.ascontiguousarray(w[:, :k].T))
    if bias is not None:
        y = bias[0, : w.shape[0]][None, :] + y
    return gelu(y)


def rmsnorm(x, w, eps):
    c = x.shape[1]
    with np.errstate(all="ignore"):
        s = seq_sum(x * x, axis=1)
        rms = np.sqrt(s / f32(c) + f32(eps))
        return (x / rms[:, None]) * w[0, :c][None, :]


def attention(q, k, v, scale):
    B, S, D = q.shape
    out = np.zeros((B, S, D), np.float32)
    scale = f32(scale)
    with np.errstate(all="ignore"):
        for b in range(B):
            scores = gemm(q[b], np.ascontiguousarray(k[b, :S, :D].T)) * scale
            for i in range(S):
                s = scores[i]
                finite = s[~np.isnan(s)]
                m = finite.max() if finite.size else f32(-np.inf)
                e = libm_map(_libm.expf, s - m)
                t = seq_sum(e, axis=0)
                p = e / t
                out[b, i] = seq_sum(p[:, None] * v[b, :S, :D], axis=0)
    return out


def same_bits(x, y):
    """Equal as float32 bit patterns, except that any NaN matches any NaN."""
    x = np.asarray(x, np.float32)
    y = np.asarray(y, np.float32)
    if x.shape != y.shape:
        return False
    nx, ny = np.isnan(x), np.isnan(y)
    if not np.array_equal(nx, ny):
        return False
    return np.array_equal(x.view(np.uint32)[~nx], y.view(np.uint32)[~ny])


def mismatch(x, y):
    """Short description of the first difference (for assertion messages)."""
    x = np.asarray(x, np.float32)
    y = np.asarray(y, np.float32)
    if x.shape != y.shape:
        return f"shape {x.shape} != {y.shape}"
    bad = ~((x.view(np.uint32) == y.view(np.uint32)) | (np.isnan(x) & np.isnan(y)))
    idx = tuple(int(i[0]) for i in np.nonzero(bad))
    return f"{int(bad.sum())} elements differ, first at {idx}: {x[idx]!r} vs {y[idx]!r}"
