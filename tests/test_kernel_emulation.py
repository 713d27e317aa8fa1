"""The CUDA sources of the GEMM modules, run on the host against a double-precision reference.

tests/kernel_emu/ compiles kernels/gemm/src/*.cu with g++ as ordinary C++ (one OS thread per CUDA
thread, one block at a time, warp matrix operations emulated per thread) and with
AddressSanitizer, so wrong tile indexing, a missing barrier stage, a read or write outside the
exactly sized operands, or an element left unwritten (outputs start as NaN) fails here without a
GPU. It checks the kernel logic, not the PTX the driver receives: tests/test_ptx_assemble.py and
scripts/regen_ptx.sh --check tie the committed modules to these sources.
"""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent / "kernel_emu"
CXX = shutil.which("g++")

pytestmark = [pytest.mark.slow, pytest.mark.skipif(CXX is None, reason="g++ not on PATH")]


@pytest.fixture(scope="module")
def emulator(tmp_path_factory):
    exe = tmp_path_factory.mktemp("kernel_emu") / "gemm_emu"
    cmd = [CXX, "-std=c++20", "-O1", "-g", "-fsanitize=address,undefined", "-fno-sanitize-recover=undefined",
           "-ffp-contract=off", "-pthread", f"-I{HERE / 'include'}", "-include", str(HERE / "cuda_emu.hpp"),
           str(HERE / "gemm_emu.cpp"), "-o", str(exe)]
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=1200)
    if done.returncode != 0 and "_Float16" in done.stderr:
        pytest.skip("this g++ has no _Float16")
    assert done.returncode == 0, done.stderr[-4000:]
    return exe


@pytest.mark.parametrize("suite", ["fp32", "batched", "wmma", "convert"])
def test_kernel_sources_compute_the_product(emulator, suite):
    done = subprocess.run([str(emulator), suite], capture_output=True, text=True, timeout=1200)
    failed = [line for line in done.stdout.splitlines() if line.startswith("FAIL")]
    assert done.returncode == 0 and not failed, "\n".join(failed) + done.stderr[-4000:]
