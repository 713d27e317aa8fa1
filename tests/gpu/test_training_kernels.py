"""The training kernels on a real GPU (skipped without one); the same checks run on the stand-in
driver in tests/test_runtime_training_kernels.py."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from training_checks import CHECKS  # noqa: E402
from training_launcher import open_device  # noqa: E402


@pytest.fixture(scope="module")
def gpu_device():
    dev = open_device()
    if dev is None:
        pytest.skip("no usable GPU")
    return dev


@pytest.mark.gpu
@pytest.mark.parametrize("name", sorted(CHECKS))
def test_training_kernel(name, gpu_device):
    CHECKS[name](gpu_device)
