"""Multiply two random float32 matrices with ``gemm``, check the result against NumPy and say
what is known about the route that computed it, and how long it took."""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np

import _vantblas


def route_of(m: int, n: int, k: int) -> tuple[str, bool]:
    """What is known about the route before the call, and whether half-precision operands may be
    used. gemm does not report which route computed a product: without a usable driver and
    device it is certainly the CPU; otherwise the GPU is tried first and the CPU takes over when
    anything on the GPU side fails, and the kernels the device loaded decide between the
    tensor-core and the FP32 route. Only the first case is stated as a fact."""
    if not _vantblas.is_cuda_available():
        return "CPU (no usable CUDA driver or device)", False
    fp16_possible = (m | n | k) % 16 == 0
    eligible = (
        "FP16 tensor cores when this device loaded them, else FP32 kernels"
        if fp16_possible
        else "FP32 kernels (a size is not a multiple of 16)"
    )
    return (
        f"GPU tried first ({eligible}), CPU as fallback; the module does not report which one "
        "computed this product",
        fp16_possible,
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m vantblas", description=__doc__)
    parser.add_argument("--m", type=int, default=1024)
    parser.add_argument("--n", type=int, default=1024)
    parser.add_argument("--k", type=int, default=1024)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)

    rng = np.random.default_rng(args.seed)
    a = rng.standard_normal((args.m, args.k), dtype=np.float32)
    b = rng.standard_normal((args.k, args.n), dtype=np.float32)
    route, fp16_possible = route_of(args.m, args.n, args.k)

    start = time.perf_counter()
    c = _vantblas.gemm(a, b)
    elapsed = time.perf_counter() - start

    reference = a.astype(np.float64) @ b.astype(np.float64)
    scale = max(np.linalg.norm(reference), np.finfo(np.float32).tiny)
    rel_error = float(np.linalg.norm(c.astype(np.float64) - reference) / scale)
    # Half-precision operands give errors near 2^-11; every other route stays near FP32 rounding.
    tolerance = 5e-3 if fp16_possible else 1e-5
    flops = 2.0 * args.m * args.n * args.k

    print(f"gemm: ({args.m} x {args.k}) @ ({args.k} x {args.n}) -> {c.shape} {c.dtype}")
    print(f"route: {route}")
    print(f"time: {elapsed * 1e3:.2f} ms ({flops / max(elapsed, 1e-12) / 1e9:.1f} GFLOP/s)")
    print(f"relative error vs NumPy (float64): {rel_error:.2e} (tolerance {tolerance:.0e})")
    ok = c.shape == (args.m, args.n) and c.dtype == np.float32 and rel_error <= tolerance
    print("check: OK" if ok else "check: FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
