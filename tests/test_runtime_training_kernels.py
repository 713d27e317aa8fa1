"""The training-kernel checks of tests/gpu/training_checks.py without a GPU: once on the stand-in
driver (its CPU executors, the launcher and the references the gpu tests use), and once with the
PTX texts themselves run by the PTX interpreter, so the kernels' own instructions are checked too."""

from __future__ import annotations

import math
import sys
from pathlib import Path

import numpy as np
import pytest

import fakecuda
from fused_ptx_interp import F32, Kernel, Memory

GPU_DIR = Path(__file__).resolve().parent / "gpu"
sys.path.insert(0, str(GPU_DIR))

from training_checks import CHECKS  # noqa: E402
from training_launcher import KERNEL_DIR, Out, f32, u32  # noqa: E402


def _names():
    return sorted(CHECKS)


@pytest.mark.parametrize("name", _names())
def test_training_kernel_on_stand_in(name):
    r = fakecuda.run(f"""
        sys.path.insert(0, {str(GPU_DIR)!r})
        import training_checks, training_launcher
        training_checks.CHECKS[{name!r}](training_launcher.open_device())
        assert fake.bounds_violations == 0
        assert fake.live_allocations == 0
        assert fake.stat("launches") > 0 and fake.stat("launches_unexecuted") == 0
    """)
    r.check()


class TrainingPtxKernel(Kernel):
    """The interpreter plus the few integer and conversion instructions the training kernels use."""

    @staticmethod
    def _arith(name, parts, v):
        if name == "cvt" and parts[1] == "rzi":
            x = float(v[0])
            if math.isnan(x):
                return 0
            if parts[2] == "s32":
                return max(-2**31, min(2**31 - 1, math.trunc(x))) & 0xFFFFFFFF
            return max(0, min(2**32 - 1, math.trunc(x)))
        if name == "selp":
            return v[0] if v[2] else v[1]
        if parts[-1] == "f32" and name == "sqrt":
            return F32(np.sqrt(F32(v[0])))
        if parts[-1] == "f32" and name == "div":
            with np.errstate(all="ignore"):
                return F32(F32(v[0]) / F32(v[1]))
        if parts[-1] == "u32" and name in ("mad", "div", "rem"):
            a, b = int(v[0]), int(v[1])
            if name == "mad" and parts[1] == "lo":
                return (a * b + int(v[2])) & 0xFFFFFFFF
            if name == "div":
                return a // b if b else 0xFFFFFFFF
            if name == "rem":
                return a % b if b else a
        return Kernel._arith(name, parts, v)


class InterpretedDevice:
    """The launcher's interface on top of the PTX interpreter."""

    def run(self, ptx, entry, grid, block, params, shared=0):
        kernel = TrainingPtxKernel((KERNEL_DIR / ptx).read_text(), entry)
        mem = Memory()
        args, buffers = [], []
        for p in params:
            if isinstance(p, Out):
                arr = np.full(p.n, p.fill, np.float32)
            elif isinstance(p, np.ndarray):
                arr = np.ascontiguousarray(p, dtype=np.float32).ravel()
            elif isinstance(p, u32):
                args.append(int(p))
                continue
            elif isinstance(p, f32):
                args.append(np.float32(p))
                continue
            else:
                raise TypeError(p)
            addr = mem.put(arr)
            buffers.append((addr, arr.size))
            args.append(addr)
        kernel.launch(mem, grid=grid, block=block, args=args, dynamic_shared=shared)
        return [np.array(mem.get(addr, (n,))) for addr, n in buffers]


@pytest.mark.parametrize("name", _names())
def test_training_ptx_interpreted(name):
    CHECKS[name](InterpretedDevice())
