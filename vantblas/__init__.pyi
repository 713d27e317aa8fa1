"""Type stubs of the ``vantblas`` package: it re-exports the extension ``_vantblas``."""

from _vantblas import *

__all__ = [
    "matmul",
    "matmul_fp16",
    "gemm",
    "gemm_fp16",
    "gemm_chain",
    "gemm_batched",
    "attention",
    "fused_attention",
    "fused_linear_gelu",
    "fused_rmsnorm",
    "info",
    "get_device_info",
    "is_cuda_available",
    "benchmark",
    "set_cpu_arithmetic",
    "get_cpu_arithmetic",
    "set_num_threads",
    "get_num_threads",
    "VantBLAS",
    "VantBLASModel",
    "VantTensor",
]

__version__: str
