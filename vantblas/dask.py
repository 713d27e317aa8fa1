"""Blocked float32 matrix products of Dask arrays, each block product computed by ``vantblas.gemm``.

``matmul(a, b)`` builds a graph with one task per block of the result: the task multiplies the
row panel of ``a`` with the column panel of ``b`` block by block on the worker that runs it (on
its GPU when it has a usable one, else on its CPUs) and adds the partial products over K in
increasing block order. With ``split_every=s`` the partial products of every ``s`` consecutive
K blocks are added by one task, and those sums again ``s`` at a time, in a fixed tree, so a task
never holds more than ``s`` blocks of each panel. Either way the order of every addition is fixed
by the chunks alone: the result is the same bit for bit on every run, scheduler and number of
workers, as long as the workers compute the block products alike (the same GPU model, or all
on CPUs). Only NumPy arrays travel between workers; each worker uses device 0 of the GPUs its
process sees.

Needs the optional dependencies: ``pip install "vantblas[dask]"``.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, cast

import numpy as np
import numpy.typing as npt

try:
    import dask.array as da
    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph
except ImportError:  # the original error stays attached as the context
    raise ImportError('vantblas.dask needs Dask: pip install "vantblas[dask]"')

import _vantblas

# Dask's own annotations are partial (some calls untyped, Array not a DaskCollection to mypy):
# its functions are called through these, the public signature keeps dask.array.Array.
_from_array: Any = da.from_array
_new_array: Any = da.Array
_from_collections: Any = HighLevelGraph.from_collections

__all__ = ["matmul"]

_F32 = npt.NDArray[np.float32]


def _panel_sum(a_blocks: Sequence[_F32], b_blocks: Sequence[_F32]) -> _F32:
    """Sum of the block products a_blocks[k] @ b_blocks[k], added in increasing k."""
    total = _vantblas.gemm(a_blocks[0], b_blocks[0])
    for a_blk, b_blk in zip(a_blocks[1:], b_blocks[1:]):
        np.add(total, _vantblas.gemm(a_blk, b_blk), out=total)
    return total


def _add_in_order(parts: Sequence[_F32]) -> _F32:
    """parts[0] + parts[1] + ... left to right, in float32, into a new array."""
    total = np.array(parts[0], dtype=np.float32, copy=True)
    for part in parts[1:]:
        np.add(total, part, out=total)
    return total


def _checked(x: Any, name: str) -> da.Array:
    if not isinstance(x, da.Array):
        raise TypeError(f"matmul: {name} must be a dask.array.Array or a numpy.ndarray, not {type(x).__qualname__}")
    if x.ndim != 2:
        raise ValueError(f"matmul: {name} must be two-dimensional, got {x.ndim} dimensions")
    if x.dtype != np.float32:
        raise TypeError(f"matmul: {name} must hold float32 values, not {x.dtype}")
    return x


def _wrapped(x: Any, chunks: Any) -> Any:
    """A NumPy matrix as a Dask array with those chunks; anything else as it is."""
    if isinstance(x, np.ndarray) and x.ndim == 2:
        return _from_array(x, chunks=chunks)
    return x


def matmul(a: da.Array | _F32, b: da.Array | _F32, *, split_every: int | None = None) -> da.Array:
    """a @ b for two-dimensional float32 Dask arrays (NumPy arrays are wrapped into one).

    The result has the row chunks of ``a`` and the column chunks of ``b``; ``b`` is rechunked
    along its rows to the column chunks of ``a`` where they differ. ``split_every`` (2 or more)
    adds the K partial products in a tree of that fan-in instead of in one task per block.
    """
    if split_every is not None and (isinstance(split_every, bool) or not isinstance(split_every, int)
                                    or split_every < 2):
        raise ValueError(f"matmul: split_every must be an integer of at least 2 or None, got {split_every!r}")
    # A NumPy operand takes the other operand's chunks along K.
    if isinstance(a, da.Array) or not isinstance(b, da.Array):
        left = _checked(_wrapped(a, "auto"), "a")
        right = _checked(_wrapped(b, (left.chunks[1], "auto")), "b")
    else:
        right = _checked(b, "b")
        left = _checked(_wrapped(a, ("auto", right.chunks[0])), "a")
    if left.shape[1] != right.shape[0]:
        raise ValueError(f"matmul: inner sizes differ: a is {left.shape[0]} x {left.shape[1]}, "
                         f"b is {right.shape[0]} x {right.shape[1]}")
    if right.chunks[0] != left.chunks[1]:
        right = cast(Any, right).rechunk({0: left.chunks[1]})
    return _blocked_product(left, right, split_every)


def _blocked_product(a: da.Array, b: da.Array, split_every: int | None) -> da.Array:

    name = "vantblas-matmul-" + tokenize(a, b, split_every)
    rows, cols, depth = len(a.chunks[0]), len(b.chunks[1]), len(a.chunks[1])
    fan_in = depth if split_every is None else split_every
    graph: dict[Any, Any] = {}
    for i in range(rows):
        for j in range(cols):
            # Leaves: the products of fan_in consecutive K blocks, summed in order.
            level: list[Any] = []
            for n, k0 in enumerate(range(0, depth, fan_in)):
                ks = range(k0, min(k0 + fan_in, depth))
                key = (name, i, j) if fan_in >= depth else (name + "-partial-0", i, j, n)
                graph[key] = (_panel_sum, [(a.name, i, k) for k in ks], [(b.name, k, j) for k in ks])
                level.append(key)
            # Tree levels: fan_in consecutive sums at a time, until one is left.
            height = 0
            while len(level) > 1:
                height += 1
                groups = [level[n:n + fan_in] for n in range(0, len(level), fan_in)]
                level = []
                for n, group in enumerate(groups):
                    key = (name, i, j) if len(groups) == 1 else (name + f"-partial-{height}", i, j, n)
                    graph[key] = (_add_in_order, group)
                    level.append(key)
    hlg = _from_collections(name, graph, dependencies=[a, b])
    return cast(da.Array, _new_array(hlg, name, chunks=(a.chunks[0], b.chunks[1]), dtype=np.float32,
                    meta=np.empty((0, 0), dtype=np.float32)))
