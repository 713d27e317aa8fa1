"""Shared test configuration: `gpu` tests run only where a real NVIDIA driver and device answer."""

from __future__ import annotations

import ctypes
import functools
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))


@functools.lru_cache(maxsize=None)
def real_gpu_present() -> bool:
    try:
        cuda = ctypes.CDLL("libcuda.so.1")
    except OSError:
        return False
    try:
        if cuda.cuInit(0) != 0:
            return False
        count = ctypes.c_int(0)
        return cuda.cuDeviceGetCount(ctypes.byref(count)) == 0 and count.value > 0
    except AttributeError:
        return False


def pytest_collection_modifyitems(config, items):
    if real_gpu_present():
        return
    skip = pytest.mark.skip(reason="needs a real NVIDIA GPU and driver")
    for item in items:
        if "gpu" in item.keywords:
            item.add_marker(skip)


@pytest.fixture(scope="session")
def vb():
    import _vantblas

    return _vantblas


@pytest.fixture
def no_gpu():
    """Tests of the CPU-only behaviour need a process where no driver can be found."""
    import fakecuda

    if real_gpu_present() or fakecuda.real_driver_present():
        pytest.skip("a CUDA driver library is present in this process")


@pytest.fixture(scope="module")
def lib():
    """The native CPU test library (tests/cpu_native), built on first use; skips without a compiler.
    A test file with its own `lib` fixture uses that one instead."""
    import cpunative

    try:
        return cpunative.load()
    except (OSError, RuntimeError) as e:  # no C++ compiler
        pytest.skip(f"cannot build the CPU test library: {e}")
