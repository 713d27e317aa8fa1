"""The training-kernel checks of tests/gpu/training_checks.py on the stand-in driver: they pin the
launch geometry and the references that the gpu tests use, and the stand-in's executors."""

from __future__ import annotations

from pathlib import Path

import pytest

import fakecuda

GPU_DIR = Path(__file__).resolve().parent / "gpu"


def _names():
    import sys

    sys.path.insert(0, str(GPU_DIR))
    from training_checks import CHECKS

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
