"""A large float32 product on a local Dask cluster, and how long one call stalls other Python threads.

    python bench/dask_matmul.py [--size 8192] [--chunk 2048] [--workers 2] [--repeat 2] [--stall-size 2048]

Part 1: an N x N product on a LocalCluster of worker processes (one thread each), operands made and
kept on the workers, ``vantblas.dask.matmul`` against ``dask.array``'s own ``A @ B`` with NumPy
blocks on the same cluster; best wall time of ``repeat`` runs of each, result persisted on the
workers (no transfer to the client). Part 2: in this process, a thread that sleeps 1 ms at a time
records the longest gap between its ticks while the main thread runs one ``stall-size``-cubed
``vantblas.gemm`` (and, for comparison, ``numpy.matmul``): the time other threads could not run.
Needs the extra: pip install "vantblas[dask]".
"""

from __future__ import annotations

import argparse
import threading
import time

import numpy as np


def cluster_product(size: int, chunk: int, workers: int, repeat: int) -> dict[str, float]:
    import dask.array as da
    from distributed import Client, LocalCluster, wait

    import vantblas.dask as vd

    labels = ("vantblas.dask.matmul", "dask.array A @ B (NumPy blocks)")
    out = dict.fromkeys(labels, float("inf"))
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=40) as cluster, Client(cluster):
        for seed in range(repeat):
            # Fresh operands each round: a graph already computed and still held would be reused.
            rng = da.random.default_rng(seed)
            a = rng.standard_normal((size, size), chunks=chunk, dtype=np.float32).persist()
            b = rng.standard_normal((size, size), chunks=chunk, dtype=np.float32).persist()
            wait([a, b])
            results = []
            for label, build in zip(labels, (lambda: vd.matmul(a, b), lambda: a @ b)):
                start = time.perf_counter()
                c = build().persist()
                wait(c)
                out[label] = min(out[label], time.perf_counter() - start)
                results.append(c)
            ours, theirs = results
            out["largest difference / largest magnitude"] = float(
                abs(ours - theirs).max().compute() / abs(theirs).max().compute())
            del a, b, c, ours, theirs, results
    return out


def longest_stall(call, *args: object) -> tuple[float, float]:
    """(longest gap between the ticks of another thread, duration of the call), in seconds."""
    stop = threading.Event()
    ticks: list[float] = []

    def tick() -> None:
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    t = threading.Thread(target=tick)
    t.start()
    time.sleep(0.05)
    start = time.perf_counter()
    call(*args)
    end = time.perf_counter()
    time.sleep(0.05)
    stop.set()
    t.join()
    during = [x for x in ticks if start - 0.01 <= x <= end + 0.01]
    gaps = np.diff(during) if len(during) > 1 else np.array([end - start])
    return float(gaps.max()), end - start


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--size", type=int, default=8192)
    p.add_argument("--chunk", type=int, default=2048)
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--repeat", type=int, default=2)
    p.add_argument("--stall-size", type=int, default=2048)
    args = p.parse_args()

    import _vantblas

    print(f"cuda available: {_vantblas.is_cuda_available()}")
    n = args.stall_size
    rng = np.random.default_rng(1)
    x, y = rng.standard_normal((n, n), dtype=np.float32), rng.standard_normal((n, n), dtype=np.float32)
    _vantblas.gemm(x, y)  # warm: thread pool, and the GPU's modules where there is one
    for label, fn in (("vantblas.gemm", _vantblas.gemm), ("numpy.matmul", np.matmul)):
        stall, took = min(longest_stall(fn, x, y) for _ in range(3))
        print(f"{label} {n}^3: call {took * 1e3:.0f} ms, longest stall of a ticking thread {stall * 1e3:.1f} ms")

    print(f"{args.size} x {args.size} product, chunks of {args.chunk}, {args.workers} worker processes:")
    times = cluster_product(args.size, args.chunk, args.workers, args.repeat)
    for label, value in times.items():
        print(f"  {label}: {value:.3g}" + (" s" if "difference" not in label else ""))
    ours, theirs = times["vantblas.dask.matmul"], times["dask.array A @ B (NumPy blocks)"]
    print(f"  ratio dask.array time / vantblas.dask time: {theirs / ours:.2f}")


if __name__ == "__main__":
    main()
