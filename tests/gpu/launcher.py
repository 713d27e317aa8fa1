"""Minimal ctypes launcher on the real CUDA driver, for the gpu-marked kernel tests.

The tests load the PTX files under kernels/ exactly as the module embeds them and launch single
kernels with chosen geometry, bypassing the module's own dispatch:

    dev = launcher.require_device()            # pytest.skip when no driver or device answers
    dev.compute_capability                     # (major, minor)
    c, = dev.run("gemm/small.ptx", "vantblas_gemm_small_16x16",
                 grid=(gx, gy), block=(16, 16),
                 params=[Out((m, n)), a, b, u32(m), u32(n), u32(k)])

Parameters, in the kernel's order:
  - a NumPy array: copied into a fresh device buffer of exactly its size (its dtype is kept:
    float32 for FP32 operands, float16 for FP16 ones); the kernel sees its 64-bit address;
  - ``Out(shape, dtype=np.float32, fill=0xFF)``: a fresh buffer whose bytes are all ``fill``
    before the launch; 0xFF makes every float32 and float16 element a NaN, so an element the
    kernel fails to write stands out. ``Out(..., init=array)`` starts from the array instead;
  - ``u32``, ``s32``, ``f32``: 32-bit scalars passed by value.
``run`` synchronises, returns the contents of every array and Out parameter after the launch (in
parameter order, shaped as given) and frees every buffer of the call, also when the launch
fails. Driver errors raise ``CudaCallError`` carrying the status.

One ``Device`` per process (``open_device`` caches it) uses the device's primary context, so it
coexists with other launchers in the same pytest process; modules are loaded once and kept until
``close()``, which runs at interpreter exit and also releases the context.
"""

from __future__ import annotations

import atexit
import ctypes
import functools
from pathlib import Path

import numpy as np

KERNEL_ROOT = Path(__file__).resolve().parents[2] / "kernels"

_CC_MAJOR = 75  # CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR
_CC_MINOR = 76


class CudaCallError(RuntimeError):
    def __init__(self, call: str, status: int):
        super().__init__(f"{call} failed with CUDA status {status}")
        self.call = call
        self.status = status


class u32(int):
    """Unsigned 32-bit kernel parameter."""


class s32(int):
    """Signed 32-bit kernel parameter."""


class f32(float):
    """32-bit float kernel parameter."""


class Out:
    """An output buffer created for one launch."""

    def __init__(self, shape, dtype=np.float32, fill: int = 0xFF, init: np.ndarray | None = None):
        self.shape = tuple(shape) if isinstance(shape, (tuple, list)) else (int(shape),)
        self.dtype = np.dtype(dtype)
        self.fill = fill
        self.init = None if init is None else np.ascontiguousarray(init, dtype=self.dtype)


def _bind(lib: ctypes.CDLL) -> None:
    vp, u64, size, uint = ctypes.c_void_p, ctypes.c_uint64, ctypes.c_size_t, ctypes.c_uint
    sigs = {
        "cuInit": [uint],
        "cuDeviceGet": [vp, ctypes.c_int],
        "cuDeviceGetAttribute": [vp, ctypes.c_int, ctypes.c_int],
        "cuDevicePrimaryCtxRetain": [vp, ctypes.c_int],
        "cuCtxSetCurrent": [vp],
        "cuCtxSynchronize": [],
        "cuModuleLoadData": [vp, ctypes.c_char_p],
        "cuModuleGetFunction": [vp, vp, ctypes.c_char_p],
        "cuMemAlloc_v2": [vp, size],
        "cuMemFree_v2": [u64],
        "cuMemsetD8_v2": [u64, ctypes.c_ubyte, size],
        "cuMemcpyHtoD_v2": [u64, vp, size],
        "cuMemcpyDtoH_v2": [vp, u64, size],
        "cuLaunchKernel": [vp, uint, uint, uint, uint, uint, uint, uint, vp, vp, vp],
        "cuModuleUnload": [vp],
        "cuDevicePrimaryCtxRelease_v2": [ctypes.c_int],
    }
    for name, argtypes in sigs.items():
        fn = getattr(lib, name)
        fn.argtypes = argtypes
        fn.restype = ctypes.c_int


class Device:
    def __init__(self, lib: ctypes.CDLL):
        self._lib = lib
        self._functions: dict[tuple[str, str], ctypes.c_void_p] = {}
        self._modules: dict[str, ctypes.c_void_p] = {}
        self._call("cuInit", 0)
        dev = ctypes.c_int()
        self._call("cuDeviceGet", ctypes.byref(dev), 0)
        major, minor = ctypes.c_int(), ctypes.c_int()
        self._call("cuDeviceGetAttribute", ctypes.byref(major), _CC_MAJOR, dev)
        self._call("cuDeviceGetAttribute", ctypes.byref(minor), _CC_MINOR, dev)
        self.compute_capability = (major.value, minor.value)
        self._dev = dev.value
        self._ctx = ctypes.c_void_p()
        self._call("cuDevicePrimaryCtxRetain", ctypes.byref(self._ctx), dev)
        self._call("cuCtxSetCurrent", self._ctx)
        atexit.register(self.close)

    def close(self) -> None:
        """Unloads the modules and releases the primary context (run at interpreter exit)."""
        if self._ctx is None:
            return
        for handle in self._modules.values():
            self._lib.cuModuleUnload(handle)
        self._modules.clear()
        self._functions.clear()
        self._lib.cuDevicePrimaryCtxRelease_v2(self._dev)
        self._ctx = None

    def _call(self, name: str, *args) -> None:
        status = getattr(self._lib, name)(*args)
        if status != 0:
            raise CudaCallError(name, status)

    def function(self, module: str, entry: str) -> ctypes.c_void_p:
        """Handle of `entry` in kernels/<module> (for example "gemm/v2.ptx")."""
        key = (module, entry)
        if key not in self._functions:
            if module not in self._modules:
                text = (KERNEL_ROOT / module).read_bytes() + b"\0"
                handle = ctypes.c_void_p()
                self._call("cuModuleLoadData", ctypes.byref(handle), text)
                self._modules[module] = handle
            fn = ctypes.c_void_p()
            self._call("cuModuleGetFunction", ctypes.byref(fn), self._modules[module], entry.encode())
            self._functions[key] = fn
        return self._functions[key]

    def _alloc(self, nbytes: int) -> int:
        ptr = ctypes.c_uint64()
        # Empty operands (K = 0) still get a real address.
        self._call("cuMemAlloc_v2", ctypes.byref(ptr), max(nbytes, 4))
        return ptr.value

    def run(self, module: str, entry: str, grid, block, params, shared: int = 0) -> list[np.ndarray]:
        # Other launchers in the process may have made their own context current meanwhile.
        self._call("cuCtxSetCurrent", self._ctx)
        fn = self.function(module, entry)
        grid = tuple(grid) + (1,) * (3 - len(grid))
        block = tuple(block) + (1,) * (3 - len(block))
        holders: list = []
        buffers: list[tuple[int, np.ndarray]] = []  # (device address, host array of its shape)
        try:
            for p in params:
                if isinstance(p, Out):
                    host = np.empty(p.shape, dtype=p.dtype)
                    ptr = self._alloc(host.nbytes)
                    buffers.append((ptr, host))
                    if p.init is not None:
                        self._upload(ptr, p.init.reshape(p.shape))
                    else:
                        self._call("cuMemsetD8_v2", ptr, p.fill, max(host.nbytes, 4))
                    holders.append(ctypes.c_uint64(ptr))
                elif isinstance(p, np.ndarray):
                    host = np.ascontiguousarray(p)
                    ptr = self._alloc(host.nbytes)
                    buffers.append((ptr, host.copy()))
                    self._upload(ptr, host)
                    holders.append(ctypes.c_uint64(ptr))
                elif isinstance(p, u32):
                    holders.append(ctypes.c_uint32(int(p) & 0xFFFFFFFF))
                elif isinstance(p, s32):
                    holders.append(ctypes.c_int32(int(p)))
                elif isinstance(p, f32):
                    holders.append(ctypes.c_float(float(p)))
                else:
                    raise TypeError(f"unsupported kernel parameter {p!r}")
            argv = (ctypes.c_void_p * max(len(holders), 1))(
                *[ctypes.cast(ctypes.byref(h), ctypes.c_void_p) for h in holders])
            self._call("cuLaunchKernel", fn, *grid, *block, shared, None, argv, None)
            self._call("cuCtxSynchronize")
            results = []
            for ptr, host in buffers:
                out = np.empty_like(host)
                if out.nbytes:
                    self._call("cuMemcpyDtoH_v2", out.ctypes.data_as(ctypes.c_void_p), ptr, out.nbytes)
                results.append(out)
            return results
        finally:
            for ptr, _ in buffers:
                self._lib.cuMemFree_v2(ptr)

    def _upload(self, ptr: int, host: np.ndarray) -> None:
        if host.nbytes:
            self._call("cuMemcpyHtoD_v2", ptr, host.ctypes.data_as(ctypes.c_void_p), host.nbytes)


@functools.lru_cache(maxsize=None)
def open_device() -> Device | None:
    """The process's launcher, or None when no CUDA driver or device is usable."""
    try:
        lib = ctypes.CDLL("libcuda.so.1")
    except OSError:
        return None
    try:
        _bind(lib)
        return Device(lib)
    except (CudaCallError, AttributeError):
        return None


def require_device(min_cc: tuple[int, int] = (0, 0)) -> Device:
    """The launcher; skips the calling test when there is no GPU or it is below `min_cc`."""
    import pytest

    dev = open_device()
    if dev is None:
        pytest.skip("needs a real NVIDIA GPU and driver")
    if dev.compute_capability < min_cc:
        pytest.skip(f"needs compute capability {min_cc[0]}.{min_cc[1]} "
                    f"(device has {dev.compute_capability[0]}.{dev.compute_capability[1]})")
    return dev
