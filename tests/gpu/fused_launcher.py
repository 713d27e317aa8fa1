"""Runs the attention, fused-operation and FP8 kernels on a real GPU, for the gpu tests.

The module under test loads these kernels but launches none of them, so the tests reach them
directly: this file talks to the real CUDA driver through ctypes, loads the PTX files from
kernels/fused/ as they are embedded, and launches each kernel with the geometry it expects.

    dev = fused_launcher.open_device()    # None when no usable GPU/driver (tests skip then)
    dev.compute_capability                # (major, minor)
    out = dev.attention(q, k, v, scale)   # NumPy in, NumPy out; one function per kernel

Every array argument is a NumPy array that is copied to a fresh device buffer; output buffers are
filled with 0xFF bytes (a NaN pattern for floats) before the launch, so an element a kernel
forgets to write shows up as NaN (or 0xFF) instead of a plausible zero. Every buffer of a call
is freed before it returns. Errors of the driver raise ``CudaCallError`` with the status.

Kernel geometry used here (grid / block / dynamic shared bytes):
    vantblas_fused_attention        (B*H, S, 1) / 128 / 0
    vantblas_fused_attention_f32    (1, ceil(S/64), B*H) / 64*D / 3*64*D*4
    vantblas_fused_attention_simple (S, B*H, 1) / 128 / S*4
    vantblas_multihead_attention    (S, H, B) / 64 / S*4
    linear + GELU / SiLU            (ceil(N/16), ceil(M/16)) / (16, 16) / 0
    RMSNorm, LayerNorm              (rows) / 128 / hidden*4
    SwiGLU, residual dropout        (ceil(n/256)) / 256 / 0
    bias + residual                 (rows) / 128 / 0
    attention output projection     (ceil(H/32), S, B) / 32 / 0
    quantise                        one block of the power of two >= n (n <= 1024) / block*4
    dequantise                      (ceil(n/256)) / 256 / 0
    FP8 GEMM simulated              (ceil(N/16), ceil(M/16)) / (16, 16) / 0
    FP8 GEMM tiled, FP8 linear      (ceil(N/32), ceil(M/32)) / (32, 32) / 0
    compute amax                    (blocks) / 256 / 256*4, amax preset to 0.0
"""

from __future__ import annotations

import ctypes
import math
import os
from pathlib import Path

import numpy as np

KERNEL_DIR = Path(__file__).resolve().parents[2] / "kernels" / "fused"

# Set (to anything) to accept the stand-in driver, whose CPU executors run the kernels' CUDA
# sources (tools/fake_driver/exec_fused.cpp): that checks the sources and these tests without
# a GPU, though not the PTX itself.
STANDIN_SWITCH = "VANT_FUSED_KERNELS_ON_STANDIN"

_ATTR_CC_MAJOR = 75
_ATTR_CC_MINOR = 76


class CudaCallError(RuntimeError):
    def __init__(self, call, status):
        super().__init__(f"{call} failed with CUDA status {status}")
        self.call = call
        self.status = status


class u32(int):
    """A 32-bit unsigned (or signed, by bit pattern) kernel parameter."""


class f32(float):
    """A 32-bit float kernel parameter."""


class _Buffer:
    def __init__(self, ptr, nbytes):
        self.ptr = ptr
        self.nbytes = nbytes


def _ceil_div(a, b):
    return (a + b - 1) // b


class Device:
    def __init__(self, lib):
        self._lib = lib
        self._modules = {}
        self._buffers = []
        self._call("cuInit", 0)
        dev = ctypes.c_int()
        self._call("cuDeviceGet", ctypes.byref(dev), 0)
        major, minor = ctypes.c_int(), ctypes.c_int()
        self._call("cuDeviceGetAttribute", ctypes.byref(major), _ATTR_CC_MAJOR, dev)
        self._call("cuDeviceGetAttribute", ctypes.byref(minor), _ATTR_CC_MINOR, dev)
        self.compute_capability = (major.value, minor.value)
        # Only entry points that the stand-in driver offers as well (see allow_standin below).
        ctx = ctypes.c_void_p()
        self._call("cuCtxCreate_v2", ctypes.byref(ctx), 0, dev)
        self._ctx = ctx
        self._call("cuCtxSetCurrent", ctx)

    # -- driver plumbing ----------------------------------------------------------------------

    def _call(self, name, *args):
        status = getattr(self._lib, name)(*args)
        if status != 0:
            raise CudaCallError(name, status)

    def function(self, module, entry):
        """Handle of `entry` in kernels/fused/<module>.ptx (module loaded once per process)."""
        key = (module, entry)
        if key not in self._modules:
            if module not in self._modules:
                text = (KERNEL_DIR / f"{module}.ptx").read_bytes() + b"\0"
                handle = ctypes.c_void_p()
                self._call("cuModuleLoadData", ctypes.byref(handle), ctypes.c_char_p(text))
                self._modules[module] = handle
            fn = ctypes.c_void_p()
            self._call("cuModuleGetFunction", ctypes.byref(fn), self._modules[module], entry.encode())
            self._modules[key] = fn
        return self._modules[key]

    def _alloc(self, nbytes):
        ptr = ctypes.c_uint64()
        # Zero-sized operands (K = 0) still get a real address.
        self._call("cuMemAlloc_v2", ctypes.byref(ptr), ctypes.c_size_t(max(nbytes, 4)))
        buf = _Buffer(ptr.value, nbytes)
        self._buffers.append(buf)
        return buf

    def upload(self, array):
        array = np.ascontiguousarray(array)
        buf = self._alloc(array.nbytes)
        if array.nbytes:
            self._call("cuMemcpyHtoD_v2", ctypes.c_uint64(buf.ptr), array.ctypes.data_as(ctypes.c_void_p),
                       ctypes.c_size_t(array.nbytes))
        return buf

    def output(self, shape, dtype, fill=0xFF):
        nbytes = int(np.prod(shape, dtype=np.int64)) * np.dtype(dtype).itemsize
        buf = self.upload(np.full(max(nbytes, 4), fill, np.uint8))
        buf.nbytes, buf.shape, buf.dtype = nbytes, shape, dtype
        return buf

    def synchronize(self):
        self._call("cuStreamSynchronize", None)

    def download(self, buf):
        out = np.empty(buf.shape, dtype=buf.dtype)
        self.synchronize()
        if out.nbytes:
            self._call("cuMemcpyDtoH_v2", out.ctypes.data_as(ctypes.c_void_p), ctypes.c_uint64(buf.ptr),
                       ctypes.c_size_t(out.nbytes))
        return out

    def free_all(self):
        while self._buffers:
            self._lib.cuMemFree_v2(ctypes.c_uint64(self._buffers.pop().ptr))

    def launch(self, module, entry, grid, block, params, shared=0):
        values = []
        for p in params:
            if isinstance(p, _Buffer):
                values.append(ctypes.c_uint64(p.ptr))
            elif isinstance(p, f32):
                values.append(ctypes.c_float(p))
            elif isinstance(p, u32):
                values.append(ctypes.c_uint32(int(p) & 0xFFFFFFFF))
            else:
                raise TypeError(f"kernel parameter {p!r} needs a type (u32, f32 or a buffer)")
        pointers = (ctypes.c_void_p * len(values))(*[ctypes.cast(ctypes.pointer(v), ctypes.c_void_p) for v in values])
        grid = tuple(grid) + (1,) * (3 - len(grid))
        block = tuple(block) + (1,) * (3 - len(block))
        self._call("cuLaunchKernel", self.function(module, entry), *[ctypes.c_uint(x) for x in grid],
                   *[ctypes.c_uint(x) for x in block], ctypes.c_uint(shared), None, pointers, None)
        self.synchronize()

    def _run(self, body):
        try:
            return body()
        finally:
            self.free_all()

    # -- attention ------------------------------------------------------------------------------

    def _attention_io(self, q, k, v):
        q, k, v = (np.ascontiguousarray(x, dtype=np.float32) for x in (q, k, v))
        assert q.shape == k.shape == v.shape and q.ndim == 4
        return q, k, v, self.output(q.shape, np.float32)

    def attention(self, q, k, v, scale, block=128):
        """Unmasked attention (hand-written kernel); q, k, v of shape [B, H, S, D]."""
        def body():
            qq, kk, vv, o = self._attention_io(q, k, v)
            b, h, s, d = qq.shape
            self.launch("attention", "vantblas_fused_attention", (b * h, s), (block,),
                        [o, self.upload(qq), self.upload(kk), self.upload(vv), u32(b), u32(h), u32(s), u32(d),
                         f32(scale)])
            return self.download(o)
        return self._run(body)

    def attention_f32(self, q, k, v, scale):
        """Causal attention with the online softmax over 64-key tiles (head_dim <= 16)."""
        def body():
            qq, kk, vv, o = self._attention_io(q, k, v)
            b, h, s, d = qq.shape
            self.launch("fused_attention", "vantblas_fused_attention_f32", (1, _ceil_div(s, 64), b * h), (64 * d,),
                        [o, self.upload(qq), self.upload(kk), self.upload(vv), u32(b * h), u32(s), u32(d), f32(scale)],
                        shared=3 * 64 * d * 4)
            return self.download(o)
        return self._run(body)

    def attention_simple(self, q, k, v, scale, block=128):
        """Causal attention, one block per query row."""
        def body():
            qq, kk, vv, o = self._attention_io(q, k, v)
            b, h, s, d = qq.shape
            self.launch("fused_attention", "vantblas_fused_attention_simple", (s, b * h), (block,),
                        [o, self.upload(qq), self.upload(kk), self.upload(vv), u32(b * h), u32(s), u32(d), f32(scale)],
                        shared=s * 4)
            return self.download(o)
        return self._run(body)

    def multihead_attention(self, q, k, v, scale, block=64):
        """Causal attention with heads on grid y and batch on grid z."""
        def body():
            qq, kk, vv, o = self._attention_io(q, k, v)
            b, h, s, d = qq.shape
            self.launch("fused_attention", "vantblas_multihead_attention", (s, h, b), (block,),
                        [o, self.upload(qq), self.upload(kk), self.upload(vv), u32(b), u32(h), u32(s), u32(d),
                         f32(scale)], shared=s * 4)
            return self.download(o)
        return self._run(body)

    # -- fused element-wise and normalisation --------------------------------------------------

    def _linear(self, entry, x, w, bias):
        def body():
            xx, ww, bb = (np.ascontiguousarray(a, dtype=np.float32) for a in (x, w, bias))
            m, k = xx.shape
            n = ww.shape[1]
            out = self.output((m, n), np.float32)
            self.launch("fused_ops", entry, (_ceil_div(n, 16), _ceil_div(m, 16)), (16, 16),
                        [out, self.upload(xx), self.upload(ww), self.upload(bb), u32(m), u32(n), u32(k)])
            return self.download(out)
        return self._run(body)

    def linear_gelu(self, x, w, bias):
        return self._linear("vantblas_fused_linear_bias_gelu", x, w, bias)

    def linear_silu(self, x, w, bias):
        return self._linear("vantblas_fused_linear_bias_silu", x, w, bias)

    def rmsnorm_residual(self, x, residual, weight, eps, block=128):
        def body():
            xx, rr, ww = (np.ascontiguousarray(a, dtype=np.float32) for a in (x, residual, weight))
            rows, hidden = xx.shape
            out = self.output(xx.shape, np.float32)
            self.launch("fused_ops", "vantblas_fused_rmsnorm_residual", (rows,), (block,),
                        [out, self.upload(xx), self.upload(rr), self.upload(ww), u32(rows), u32(hidden), f32(eps)],
                        shared=hidden * 4)
            return self.download(out)
        return self._run(body)

    def layernorm_residual(self, x, residual, gamma, beta, eps, block=128):
        def body():
            xx, rr, gg, bb = (np.ascontiguousarray(a, dtype=np.float32) for a in (x, residual, gamma, beta))
            rows, hidden = xx.shape
            out = self.output(xx.shape, np.float32)
            self.launch("fused_ops", "vantblas_fused_layernorm_residual", (rows,), (block,),
                        [out, self.upload(xx), self.upload(rr), self.upload(gg), self.upload(bb), u32(rows),
                         u32(hidden), f32(eps)], shared=hidden * 4)
            return self.download(out)
        return self._run(body)

    def swiglu(self, gate, up):
        def body():
            gg, uu = (np.ascontiguousarray(a, dtype=np.float32).ravel() for a in (gate, up))
            n = gg.size
            out = self.output((n,), np.float32)
            self.launch("fused_ops", "vantblas_fused_swiglu", (max(_ceil_div(n, 256), 1),), (256,),
                        [out, self.upload(gg), self.upload(uu), u32(n)])
            return self.download(out)
        return self._run(body)

    def residual_dropout(self, x, residual, mask, scale):
        def body():
            xx, rr, mm = (np.ascontiguousarray(a, dtype=np.float32).ravel() for a in (x, residual, mask))
            n = xx.size
            out = self.output((n,), np.float32)
            self.launch("fused_ops", "vantblas_fused_residual_dropout", (max(_ceil_div(n, 256), 1),), (256,),
                        [out, self.upload(xx), self.upload(rr), self.upload(mm), f32(scale), u32(n)])
            return self.download(out)
        return self._run(body)

    def bias_residual(self, x, bias, residual, block=128):
        def body():
            xx, bb, rr = (np.ascontiguousarray(a, dtype=np.float32) for a in (x, bias, residual))
            rows, hidden = xx.shape
            out = self.output(xx.shape, np.float32)
            self.launch("fused_ops", "vantblas_fused_bias_residual", (rows,), (block,),
                        [out, self.upload(xx), self.upload(bb), self.upload(rr), u32(rows), u32(hidden)])
            return self.download(out)
        return self._run(body)

    def attn_output(self, x, w, bias, residual, batch, seq_len):
        """x, residual of shape [batch * seq_len, H]; w [H, H]; bias [H]."""
        def body():
            xx, ww, bb, rr = (np.ascontiguousarray(a, dtype=np.float32) for a in (x, w, bias, residual))
            hdim = ww.shape[0]
            out = self.output(xx.shape, np.float32)
            self.launch("fused_ops", "vantblas_fused_attn_output", (_ceil_div(hdim, 32), seq_len, batch), (32,),
                        [out, self.upload(xx), self.upload(ww), self.upload(bb), self.upload(rr), u32(batch),
                         u32(seq_len), u32(hdim)])
            return self.download(out)
        return self._run(body)

    # -- FP8 ------------------------------------------------------------------------------------

    def quantize_fp8(self, x):
        """(codes uint8, scale) for x with at most 1024 elements, quantised by one block."""
        def body():
            xx = np.ascontiguousarray(x, dtype=np.float32).ravel()
            n = xx.size
            block = 1 << max(0, math.ceil(math.log2(max(n, 1))))
            assert block <= 1024, "one block covers the tensor"
            codes = self.output((n,), np.uint8)
            scale = self.output((1,), np.float32)
            self.launch("fp8", "vantblas_quantize_fp8", (1,), (block,),
                        [codes, self.upload(xx), scale, u32(n)], shared=block * 4)
            return self.download(codes), float(self.download(scale)[0])
        return self._run(body)

    def dequantize_fp8(self, codes, scale):
        def body():
            cc = np.ascontiguousarray(codes, dtype=np.uint8).ravel()
            n = cc.size
            out = self.output((n,), np.float32)
            self.launch("fp8", "vantblas_dequantize_fp8", (max(_ceil_div(n, 256), 1),), (256,),
                        [out, self.upload(cc), f32(scale), u32(n)])
            return self.download(out)
        return self._run(body)

    def _gemm_fp8(self, entry, a, b, scale_a, scale_b, tile, block):
        def body():
            aa, bb = (np.ascontiguousarray(x, dtype=np.uint8) for x in (a, b))
            m, k = aa.shape
            n = bb.shape[1]
            c = self.output((m, n), np.float32)
            self.launch("fp8", entry, (_ceil_div(n, tile), _ceil_div(m, tile)), block,
                        [c, self.upload(aa), self.upload(bb), f32(scale_a), f32(scale_b), u32(m), u32(n), u32(k)])
            return self.download(c)
        return self._run(body)

    def gemm_fp8_simulated(self, a, b, scale_a, scale_b):
        return self._gemm_fp8("vantblas_gemm_fp8_simulated", a, b, scale_a, scale_b, 16, (16, 16))

    def gemm_fp8_tiled(self, a, b, scale_a, scale_b):
        return self._gemm_fp8("vantblas_gemm_fp8_tiled", a, b, scale_a, scale_b, 32, (32, 32))

    def compute_fp8_amax(self, x, blocks=4):
        def body():
            xx = np.ascontiguousarray(x, dtype=np.float32).ravel()
            amax = self.upload(np.zeros(1, np.float32))
            amax.shape, amax.dtype = (1,), np.float32
            self.launch("fp8", "vantblas_compute_fp8_scale", (blocks,), (256,),
                        [amax, self.upload(xx), u32(xx.size)], shared=256 * 4)
            return float(self.download(amax)[0])
        return self._run(body)

    def fused_fp8_linear(self, x, weight_codes, bias, weight_scale):
        def body():
            xx = np.ascontiguousarray(x, dtype=np.float32)
            ww = np.ascontiguousarray(weight_codes, dtype=np.uint8)
            bb = np.ascontiguousarray(bias, dtype=np.float32)
            m, k = xx.shape
            n = ww.shape[1]
            out = self.output((m, n), np.float32)
            self.launch("fp8", "vantblas_fused_fp8_linear", (_ceil_div(n, 32), _ceil_div(m, 32)), (32, 32),
                        [out, self.upload(xx), self.upload(ww), self.upload(bb), f32(weight_scale), u32(m), u32(n),
                         u32(k)])
            return self.download(out)
        return self._run(body)


_device: Device | None = None
_device_error: str | None = None


def open_device():
    """The process's Device, or None when no real GPU and driver can be used (see reason())."""
    global _device, _device_error
    if _device is not None or _device_error is not None:
        return _device
    try:
        lib = ctypes.CDLL("libcuda.so.1")
    except OSError as e:
        _device_error = f"no CUDA driver: {e}"
        return None
    if hasattr(lib, "fake_reset") and not os.environ.get(STANDIN_SWITCH):
        _device_error = "the stand-in driver is on the library path, not a real one"
        return None
    try:
        _device = Device(lib)
    except (CudaCallError, AttributeError) as e:
        _device_error = f"no usable GPU: {e}"
    return _device


def reason():
    return _device_error or ""
