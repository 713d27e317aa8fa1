"""vantblas.dask on a local cluster of two worker processes: blocked products with ragged edge
blocks, with and without a tree of partial sums, the same bits on every run and scheduler."""

from __future__ import annotations

import functools
import os

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

# Pure Python over gemm, which the sanitizer stage covers on its own; worker processes would
# inherit the preloaded sanitizer runtimes and report on Dask's own native dependencies.
pytestmark = pytest.mark.skipif(os.environ.get("VANT_SANITIZED") == "1", reason="not run under the sanitizers")

import _vantblas  # noqa: E402
import vantblas.dask as vd  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as cluster, distributed.Client(cluster) as c:
        yield c


def serial_blocked(a, b, row_chunks, k_chunks, col_chunks, split_every):
    """The product block by block in this process: products over K, added in fixed groups."""
    def cuts(chunks):
        edges = np.cumsum((0,) + tuple(chunks))
        return [slice(lo, hi) for lo, hi in zip(edges[:-1], edges[1:])]

    add = functools.partial(functools.reduce, lambda x, y: np.add(x, y, dtype=np.float32))
    out = np.empty((a.shape[0], b.shape[1]), np.float32)
    for rs in cuts(row_chunks):
        for cs in cuts(col_chunks):
            level = [_vantblas.gemm(a[rs, ks], b[ks, cs]) for ks in cuts(k_chunks)]
            fan = split_every or len(level)
            level = [add(level[n:n + fan]) for n in range(0, len(level), fan)]
            while len(level) > 1:
                level = [add(level[n:n + fan]) for n in range(0, len(level), fan)]
            out[rs, cs] = level[0]
    return out


def test_blocked_product_on_two_worker_processes_is_exact_and_reproducible(client):
    rng = np.random.default_rng(7)
    a = rng.standard_normal((45, 70)).astype(np.float32)
    b = rng.standard_normal((70, 33)).astype(np.float32)
    A = da.from_array(a, chunks=(16, 24))       # rows 16, 16, 13; K 24, 24, 22
    B = da.from_array(b, chunks=(24, 10))       # columns 10, 10, 10, 3
    exact = a.astype(np.float64) @ b
    bound = 70 * 2.0**-24 / (1 - 70 * 2.0**-24) * (np.abs(a).astype(np.float64) @ np.abs(b))
    results = {}
    for split_every, tasks_per_block in ((None, 1), (2, 3)):
        c = vd.matmul(A, B, split_every=split_every)
        assert c.chunks == ((16, 16, 13), (10, 10, 10, 3)) and c.dtype == np.float32
        assert len(c.dask.layers[c.name]) == 12 * tasks_per_block   # not Dask's generic matmul graph
        first, second = c.compute(), c.compute()
        assert first.dtype == np.float32 and first.shape == (45, 33)
        assert np.all(np.abs(first - exact) <= bound)
        assert first.tobytes() == second.tobytes()
        assert first.tobytes() == c.compute(scheduler="sync").tobytes()
        assert first.tobytes() == serial_blocked(a, b, A.chunks[0], A.chunks[1], B.chunks[1], split_every).tobytes()
        results[split_every] = first
    # Three K blocks in groups of two add (p0 + p1) + p2 either way.
    assert results[None].tobytes() == results[2].tobytes()

    # NumPy operands are wrapped (and take the other operand's chunks along K); B is rechunked to A's K.
    mixed = vd.matmul(a, B).compute()
    assert mixed.tobytes() == vd.matmul(da.from_array(a, chunks=(45, 24)), B).compute().tobytes()
    assert np.all(np.abs(vd.matmul(a, b).compute() - exact) <= bound)
    assert vd.matmul(A, B.rechunk((35, 10))).chunks == c.chunks
    with pytest.raises(TypeError, match="float32"):
        vd.matmul(A, B.astype(np.float64))
    with pytest.raises(ValueError, match="inner sizes differ"):
        vd.matmul(A, A)
    with pytest.raises(ValueError, match="split_every"):
        vd.matmul(A, B, split_every=1)
