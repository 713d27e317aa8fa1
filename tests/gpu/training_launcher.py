"""Launches the training kernels (kernels/training/*.ptx) through whatever libcuda.so.1 the process
finds: the real driver on a GPU machine, or the stand-in driver in a child started by fakecuda.

The module under test loads these kernels but never launches them, so the tests drive them
directly with the geometry each kernel expects:

    dev = training_launcher.open_device()       # None when no driver or device answers
    out = dev.run("softmax.ptx", "softmax_kernel", grid=(rows,), block=(32,),
                  params=[dev.output(n), x, u32(batch), u32(seq), u32(hidden)])

Parameters are NumPy float32 arrays (copied into fresh device buffers), ``Out(n, fill)`` (a fresh
buffer of n floats filled with ``fill``, NaN by default, so unwritten elements show), ``u32``
and ``f32`` scalars. ``run`` returns the contents of every array/Out parameter after the launch,
in order, and frees every buffer of the call.
"""

from __future__ import annotations

import ctypes
from pathlib import Path

import numpy as np

KERNEL_DIR = Path(__file__).resolve().parents[2] / "kernels" / "training"


class CudaCallError(RuntimeError):
    def __init__(self, call, status):
        super().__init__(f"{call} failed with CUDA status {status}")
        self.status = status


class u32(int):
    pass


class f32(float):
    pass


class Out:
    def __init__(self, n, fill=np.nan):
        self.n = n
        self.fill = fill


class Device:
    def __init__(self, lib):
        self._lib = lib
        self._modules = {}
        self._call("cuInit", 0)
        dev = ctypes.c_int()
        self._call("cuDeviceGet", ctypes.byref(dev), 0)
        self._ctx = ctypes.c_void_p()
        self._call("cuCtxCreate_v2", ctypes.byref(self._ctx), 0, dev)

    def _call(self, name, *args):
        status = getattr(self._lib, name)(*args)
        if status != 0:
            raise CudaCallError(name, status)

    def function(self, ptx, entry):
        key = (ptx, entry)
        if key not in self._modules:
            text = (KERNEL_DIR / ptx).read_bytes() + b"\0"
            module = ctypes.c_void_p()
            self._call("cuModuleLoadData", ctypes.byref(module), ctypes.c_char_p(text))
            fn = ctypes.c_void_p()
            self._call("cuModuleGetFunction", ctypes.byref(fn), module, entry.encode())
            self._modules[key] = fn
        return self._modules[key]

    def _alloc(self, values):
        ptr = ctypes.c_uint64()
        nbytes = max(values.nbytes, 4)
        self._call("cuMemAlloc_v2", ctypes.byref(ptr), ctypes.c_size_t(nbytes))
        if values.nbytes:
            self._call("cuMemcpyHtoD_v2", ptr, values.ctypes.data_as(ctypes.c_void_p), ctypes.c_size_t(values.nbytes))
        return ptr

    def run(self, ptx, entry, grid, block, params, shared=0):
        fn = self.function(ptx, entry)
        grid = tuple(grid) + (1,) * (3 - len(grid))
        block = tuple(block) + (1,) * (3 - len(block))
        holders, buffers = [], []
        try:
            for p in params:
                if isinstance(p, Out):
                    arr = np.full(p.n, p.fill, dtype=np.float32)
                elif isinstance(p, np.ndarray):
                    arr = np.ascontiguousarray(p, dtype=np.float32).ravel()
                elif isinstance(p, u32):
                    holders.append(ctypes.c_uint32(int(p) & 0xFFFFFFFF))
                    continue
                elif isinstance(p, f32):
                    holders.append(ctypes.c_float(float(p)))
                    continue
                else:
                    raise TypeError(f"unsupported parameter {p!r}")
                ptr = self._alloc(arr)
                buffers.append((ptr, arr))
                holders.append(ctypes.c_uint64(ptr.value))
            argv = (ctypes.c_void_p * len(holders))(*[ctypes.cast(ctypes.byref(h), ctypes.c_void_p) for h in holders])
            self._call("cuLaunchKernel", fn, *[ctypes.c_uint(v) for v in grid], *[ctypes.c_uint(v) for v in block],
                       ctypes.c_uint(shared), None, argv, None)
            self._call("cuStreamSynchronize", None)
            results = []
            for ptr, arr in buffers:
                out = np.empty_like(arr)
                if arr.nbytes:
                    self._call("cuMemcpyDtoH_v2", out.ctypes.data_as(ctypes.c_void_p), ptr, ctypes.c_size_t(arr.nbytes))
                results.append(out)
            return results
        finally:
            for ptr, _ in buffers:
                self._lib.cuMemFree_v2(ptr)


def open_device():
    try:
        lib = ctypes.CDLL("libcuda.so.1")
    except OSError:
        return None
    lib.cuMemFree_v2.argtypes = [ctypes.c_uint64]
    lib.cuMemcpyHtoD_v2.argtypes = [ctypes.c_uint64, ctypes.c_void_p, ctypes.c_size_t]
    lib.cuMemcpyDtoH_v2.argtypes = [ctypes.c_void_p, ctypes.c_uint64, ctypes.c_size_t]
    lib.cuModuleGetFunction.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p]
    lib.cuLaunchKernel.argtypes = [ctypes.c_void_p] + [ctypes.c_uint] * 7 + [ctypes.c_void_p] * 3
    try:
        return Device(lib)
    except (CudaCallError, AttributeError):
        return None
