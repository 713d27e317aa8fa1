"""VantBLAS: float32 matrix products for NumPy on NVIDIA GPUs, with a CPU fallback.

The work is done by the native extension ``_vantblas``; this package re-exports it and carries
the ``python -m vantblas`` demo.
"""

from _vantblas import *  # noqa: F401,F403
from _vantblas import __all__  # noqa: F401

__version__ = "1.0.9.post1"
