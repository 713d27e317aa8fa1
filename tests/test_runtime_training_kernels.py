"""The training-kernel checks of tests/gpu/training_checks.py without a GPU: once on the stand-in
driver (its CPU executors, the launcher and the references the gpu tests use), and once with the
PTX texts themselves run by the PTX interpreter, so the kernels' own instructions are checked too."""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

import fakecuda
from ptxinterp import Kernel, Memory

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


class InterpretedDevice:
    """The launcher's interface on top of the PTX interpreter."""

    def run(self, ptx, entry, grid, block, params, shared=0):
        kernel = Kernel((KERNEL_DIR / ptx).read_text(), entry)
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
