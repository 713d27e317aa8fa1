"""Bit-exact NumPy references of the ways a product can be computed.

- ``cpu_ref``: the CPU fallback, a float32 product rounded and then added, in increasing k.
- ``fma_ref``: the single-precision kernels, fused multiply-add (one rounding) in increasing k.
- ``half_ref``: the tensor-core kernels, both operands rounded to half (nearest even), products
  (exact in float32) accumulated in float32 in increasing k.
- ``route_ref(kernel, a, b)``: the reference of the kernel named in a launch log.
- ``scaled_half_ref(a, b)`` / ``pipe_close(c, a, b)``: the pipelined tensor-core kernel, each
  operand scaled by 2^s (its largest finite magnitude moved into [2^14, 2^15), s at most 126) and
  rounded to half, the product in float64 scaled back; its float32 accumulation order is the
  hardware's, so results are compared within a bound instead of bit for bit.

Every accumulator starts at +0.0.
"""

from __future__ import annotations

import numpy as np

F32_KERNELS = {"vantblas_gemm_small_16x16", "vantblas_gemm_64x64", "vantblas_gemm_shared_64x64",
               "vantblas_gemm_v2"}
F16_KERNELS = {"vantblas_gemm_wmma_opt_vec", "vantblas_gemm_wmma_max"}
PIPE_KERNELS = {"vantblas_gemm_mma_pipe"}


def cpu_ref(a, b):
    a = np.asarray(a, np.float32)
    b = np.asarray(b, np.float32)
    acc = np.zeros((a.shape[0], b.shape[1]), np.float32)
    for k in range(a.shape[1]):
        acc = acc + a[:, k, None] * b[None, k, :]
    return acc


def _fma32(x, y, acc):
    """Correctly rounded float32 fma of arrays: the exact product in float64, the sum's rounding
    error recovered with TwoSum, and float32 midpoints resolved by that error's sign."""
    p = x.astype(np.float64) * y.astype(np.float64)  # exact: 24 + 24 bits
    c = acc.astype(np.float64)
    s = p + c
    bb = s - p
    err = (p - (s - bb)) + (c - bb)
    r = s.astype(np.float32)
    r64 = r.astype(np.float64)
    toward = np.where(s > r64, np.inf, -np.inf).astype(np.float32)
    other = np.nextafter(r, toward)
    mid = (r64 + other.astype(np.float64)) / 2
    tie = (s != r64) & (s == mid) & (err != 0)
    if np.any(tie):
        up = np.maximum(r, other)
        down = np.minimum(r, other)
        r = np.where(tie, np.where(err > 0, up, down), r)
    return r


def fma_ref(a, b):
    a = np.asarray(a, np.float32)
    b = np.asarray(b, np.float32)
    acc = np.zeros((a.shape[0], b.shape[1]), np.float32)
    for k in range(a.shape[1]):
        acc = _fma32(np.broadcast_to(a[:, k, None], acc.shape), np.broadcast_to(b[None, k, :], acc.shape), acc)
    return acc


def half_ref(a, b):
    ha = np.asarray(a, np.float32).astype(np.float16).astype(np.float32)
    hb = np.asarray(b, np.float32).astype(np.float16).astype(np.float32)
    acc = np.zeros((ha.shape[0], hb.shape[1]), np.float32)
    for k in range(ha.shape[1]):
        acc = acc + ha[:, k, None] * hb[None, k, :]
    return acc


def route_ref(kernel, a, b):
    if kernel in F32_KERNELS:
        return fma_ref(a, b)
    if kernel in F16_KERNELS:
        return half_ref(a, b)
    raise KeyError(kernel)


def same_bits(x, y):
    x = np.asarray(x, np.float32)
    y = np.asarray(y, np.float32)
    return x.shape == y.shape and np.array_equal(x.view(np.uint32), y.view(np.uint32))


def half_scale_exponent(x):
    finite = np.abs(np.asarray(x, np.float32)[np.isfinite(x)])
    largest = float(finite.max()) if finite.size else 0.0
    if largest == 0.0:
        return 0
    return min(126, 14 - int(np.floor(np.log2(largest))))


def scaled_halves(x):
    """The operand as the pipelined route converts it: (x * 2^s rounded to half, as float64; s)."""
    s = half_scale_exponent(x)
    x64 = np.asarray(x, np.float32).astype(np.float64) * 2.0 ** s  # exact: float64 has the range
    with np.errstate(over="ignore"):
        return x64.astype(np.float32).astype(np.float16).astype(np.float64), s


def scaled_half_ref(a, b):
    """(float64 product of the scaled half operands, its magnitude sum, the scale-back 2^-(sa+sb))."""
    ha, sa = scaled_halves(a)
    hb, sb = scaled_halves(b)
    with np.errstate(invalid="ignore", over="ignore"):
        return ha @ hb, np.abs(ha) @ np.abs(hb), 2.0 ** -(sa + sb)


def pipe_close(c, a, b):
    """c within float32 accumulation error of the scaled-half product: |c - ref| <= (K + 2) 2^-24
    times the magnitude sum (both scaled back), plus one float32 subnormal step; infinities and
    NaN where the reference has them."""
    exact, mag, back = scaled_half_ref(a, b)
    with np.errstate(invalid="ignore", over="ignore"):
        ref = exact * back
        bound = (np.asarray(a).shape[1] + 2) * 2.0 ** -24 * mag * back + 2.0 ** -149
        c = np.asarray(c, np.float64)
        ref32 = ref.astype(np.float32).astype(np.float64)  # where float32 overflows, so must c
        same_special = np.array_equal(np.isnan(c), np.isnan(ref32)) and \
            np.array_equal(np.isinf(c), np.isinf(ref32)) and np.array_equal(c[np.isinf(c)], ref32[np.isinf(ref32)])
        fin = np.isfinite(ref32)
        return bool(same_special and np.all(np.abs(c[fin] - ref[fin]) <= bound[fin]))
