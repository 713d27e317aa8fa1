"""Living beside other GPU libraries, against the stand-in driver: the caller's current context
is left as it was by every call, device arrays cross through DLPack and the CUDA array interface
(zero copy where promised, one device copy otherwise, producers kept alive while products read
them, the consumer's stream ordered by an event), and a reset of the device by another library
is survived."""

from __future__ import annotations

import json
import textwrap

import pytest

import fakecuda

pytestmark = pytest.mark.skipif(fakecuda.real_driver_present(), reason="a real driver would be found first")

PRELUDE = """
import ctypes, gc, threading
import numpy as np
import _vantblas as vb
F32 = np.float32
P = ctypes.c_void_p
rng = np.random.default_rng(0)
def rand(*s):
    return rng.standard_normal(s).astype(F32)
def error_of(fn, *a, **kw):
    try:
        fn(*a, **kw)
    except Exception as e:
        return f"{type(e).__name__}: {e}"
    return None
drv = fake.driver()
assert drv.cuInit(0) == 0
def primary():
    ctx = P()
    assert drv.cuDevicePrimaryCtxRetain(ctypes.byref(ctx), 0) == 0
    return ctx
class In:
    # Runs a block with `ctx` pushed, as another library would.
    def __init__(self, ctx): self.ctx = ctx
    def __enter__(self): assert drv.cuCtxPushCurrent_v2(self.ctx) == 0
    def __exit__(self, *e): assert drv.cuCtxPopCurrent_v2(ctypes.byref(P())) == 0
out = {}
"""


def child(code: str, **kw) -> tuple[dict, list[str]]:
    source = PRELUDE + textwrap.dedent(code) + "\nprint('RESULT' + json.dumps(out))\n"
    r = fakecuda.run(source, **kw).check()
    line = [ln for ln in r.lines if ln.startswith("RESULT")][-1]
    return json.loads(line[len("RESULT"):]), r.lines


@pytest.mark.parametrize("caller", ["none", "own", "primary"])
def test_every_entry_point_leaves_the_callers_context_current(caller):
    out, _ = child(f"""
        CALLER = {caller!r}
        if CALLER == "own":
            own = P()
            assert drv.cuCtxCreate_v2(ctypes.byref(own), 0, 0) == 0   # current from here on
        elif CALLER == "primary":
            assert drv.cuCtxPushCurrent_v2(primary()) == 0
        a, b, w2 = rand(64, 48), rand(48, 32), rand(32, 16)
        odd = rand(7, 5)
        ta, tb = vb.VantTensor(a), vb.VantTensor(b)
        model = vb.VantBLASModel()
        model.set_weights(b, w2)
        def failing(entry, fn, *args):
            fake.fail_next(entry, 2)
            return error_of(fn, *args)
        def in_thread(fn):
            seen = []
            def body():
                before = fake.current_context()
                fn()
                seen.append(before == fake.current_context() == 0)
            t = threading.Thread(target=body); t.start(); t.join()
            return seen
        def export_and_drop():
            cap = ta.__dlpack__(stream=-1)
            del cap
        ops = {{
            "gemm tensor cores": lambda: vb.gemm(a, b),
            "gemm fp32": lambda: vb.gemm(odd, odd.T.copy()),
            "matmul": lambda: vb.matmul(a, b), "gemm_fp16": lambda: vb.gemm_fp16(a, b),
            "matmul_fp16": lambda: vb.matmul_fp16(a, b), "gemm_chain": lambda: vb.gemm_chain(a, b, w2),
            "tensor new": lambda: vb.VantTensor(a), "tensor matmul": lambda: ta.matmul(tb),
            "tensor cpu": lambda: ta.cpu(), "tensor del": lambda: vb.VantTensor(a).shape(),
            "set_weights": lambda: model.set_weights(b, w2), "forward": lambda: model.forward(a),
            "device gemm": lambda: vb.gemm(ta, tb), "export": export_and_drop,
            "interface": lambda: ta.__cuda_array_interface__,
            "gemm, allocation refused": lambda: failing("cuMemAlloc", vb.gemm, a, b),
            "tensor, allocation refused": lambda: failing("cuMemAlloc", vb.VantTensor, a),
            "matmul, launch refused": lambda: failing("cuLaunchKernel", ta.matmul, tb),
            "cpu, copy refused": lambda: failing("cuMemcpyDtoH", ta.cpu),
            "chain, push refused": lambda: failing("cuCtxPushCurrent", vb.gemm_chain, a, b, w2),
            "forward, launch refused": lambda: failing("cuLaunchKernel", model.forward, a),
        }}
        changed = []
        for name, op in ops.items():
            before = fake.current_context()
            op()
            gc.collect()
            if fake.current_context() != before:
                changed.append(name)
        out["changed"] = changed
        out["expected_failures"] = [failing("cuMemAlloc", vb.VantTensor, a), failing("cuCtxPushCurrent", ta.cpu)]
        t = vb.VantTensor(a)
        out["fresh_thread"] = in_thread(lambda: vb.gemm(a, b)) + in_thread(lambda: ta.cpu())
        holder = [vb.VantTensor(a)]
        out["thread_dealloc"] = in_thread(lambda: holder.clear())
        fake.clear_logs()
        vb.gemm(a, b)
        out["calls"] = [fake.calls("cuCtxGetCurrent"), fake.calls("cuCtxPushCurrent"), fake.calls("cuCtxPopCurrent")]
        out["contexts"] = fake.stat("live_contexts")
    """)
    assert out["changed"] == []
    assert out["expected_failures"][0].startswith("RuntimeError: Failed to allocate CUDA memory: ")
    # With the primary context current already nothing is pushed, so nothing can fail there.
    if caller == "primary":
        assert out["expected_failures"][1] is None
    else:
        assert out["expected_failures"][1].startswith("RuntimeError: Failed to set CUDA context: ")
    assert out["fresh_thread"] == [True, True] and out["thread_dealloc"] == [True]
    # One cuCtxGetCurrent per call; a push and a pop only when the primary context is not current.
    assert out["calls"] == ([1, 0, 0] if caller == "primary" else [1, 1, 1])
    # The primary context and the caller's own: no context of the module's.
    assert out["contexts"] == (2 if caller == "own" else 1)


PRODUCER = """
class DevArray:
    # A float32 matrix of another library in device memory of `ctx` (the primary context unless
    # given), offered through DLPack ("dlpack") or the CUDA array interface ("cai").
    def __init__(self, rows, cols, row_stride=None, col_stride=1, offset=0, ctx=None, via="cai", stream=None):
        row_stride = cols if row_stride is None else row_stride
        span = (rows - 1) * row_stride + (cols - 1) * col_stride + 1 + offset
        self.ctx = ctx or primary()
        d = ctypes.c_uint64()
        with In(self.ctx):
            assert drv.cuMemAlloc_v2(ctypes.byref(d), 4 * span) == 0
        self.base, self.via, self.stream = d.value, via, stream
        pattern = rng.standard_normal(span).astype(F32)
        fake.write_f32(self.base, pattern)
        self.ptr = self.base + 4 * offset
        idx = offset + np.arange(rows)[:, None] * row_stride + np.arange(cols)[None, :] * col_stride
        self.expected = pattern[idx]
        self.shape, self.strides = (rows, cols), (row_stride, col_stride)
        self.deleted, self.dlpack_args = False, None
    @property
    def __cuda_array_interface__(self):
        if self.via != "cai":
            raise AttributeError("__cuda_array_interface__")
        return {"shape": self.shape, "typestr": "<f4", "data": (self.ptr, False), "version": 3,
                "strides": tuple(4 * s for s in self.strides), "stream": self.stream}
    def __dlpack_device__(self):
        return (2, 0)
    def __getattr__(self, name):
        if name == "__dlpack__" and self.via == "dlpack":
            return self._dlpack
        raise AttributeError(name)
    def _dlpack(self, stream=None, max_version=None, dl_device=None, copy=None):
        self.dlpack_args = [stream, list(max_version) if max_version else None]
        class Tensor(ctypes.Structure):
            _fields_ = [("data", P), ("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32),
                        ("ndim", ctypes.c_int32), ("code", ctypes.c_uint8), ("bits", ctypes.c_uint8),
                        ("lanes", ctypes.c_uint16), ("shape", P), ("strides", P), ("byte_offset", ctypes.c_uint64)]
        Deleter = ctypes.CFUNCTYPE(None, P)
        class Managed(ctypes.Structure):
            _fields_ = [("major", ctypes.c_uint32), ("minor", ctypes.c_uint32), ("ctx", P), ("deleter", Deleter),
                        ("flags", ctypes.c_uint64), ("t", Tensor)]
        shape = (ctypes.c_int64 * 2)(*self.shape)
        strides = (ctypes.c_int64 * 2)(*self.strides)
        def deleter(_):
            self.deleted = True
        m = Managed(1, 0, None, Deleter(deleter), 0,
                    Tensor(self.base, 2, 0, 2, 2, 32, 1, ctypes.addressof(shape), ctypes.addressof(strides),
                           self.ptr - self.base))
        self._keep = (m, shape, strides, m.deleter)
        new = ctypes.pythonapi.PyCapsule_New
        new.restype, new.argtypes = ctypes.py_object, [P, ctypes.c_char_p, P]
        return new(ctypes.addressof(m), b"dltensor_versioned", None)
def data_ptr(t):
    return t.__cuda_array_interface__["data"][0]
"""


def test_device_arrays_in_zero_copy_or_packed_and_kept_alive_while_read():
    out, _ = child(PRODUCER + textwrap.dedent("""
        cases = {"cai": DevArray(8, 16), "dlpack": DevArray(8, 16, via="dlpack"),
                 "padded rows": DevArray(5, 7, row_stride=9), "transposed": DevArray(6, 4, row_stride=1, col_stride=6),
                 "misaligned": DevArray(4, 8, offset=1, via="dlpack"), "cai with stream": DevArray(3, 4)}
        q = P()
        with In(primary()):
            assert drv.cuStreamCreate(ctypes.byref(q), 1) == 0
        cases["cai with stream"].stream = q.value
        res = {}
        for name, d in cases.items():
            t = vb.VantTensor(d)
            res[name] = [data_ptr(t) == d.ptr, bool(np.array_equal(t.cpu(), d.expected))]
        out["cases"] = res
        out["dlpack_args"] = cases["dlpack"].dlpack_args
        out["our_stream"] = vb.VantTensor(rand(1, 1)).__cuda_array_interface__["stream"]
        out["gathers"] = sum(l["kernel"] == "vantblas_gather_strided_f32" for l in fake.launches())
        out["refused"] = [error_of(vb.VantTensor, DevArray(2, 2, ctx=own)) for own in [P()]
                          if drv.cuCtxCreate_v2(ctypes.byref(own), 0, 0) == 0 and drv.cuCtxPopCurrent_v2(ctypes.byref(P())) == 0]
        # Lifetime: the producer's memory is released only after the products reading it ran.
        x, y = DevArray(16, 32, via="dlpack"), DevArray(32, 8, via="dlpack")
        r = vb.gemm(x, y)
        gc.collect()
        vb.is_cuda_available()
        out["alive_while_queued"] = [x.deleted, y.deleted]
        c = r.cpu()
        vb.VantTensor(rand(1, 1))   # a later call collects what has finished
        out["released_after"] = [x.deleted, y.deleted]
        out["product"] = float(np.abs(c - x.expected @ y.expected).max())
        out["torch_like"] = type(r).__name__
        out["mixed"] = error_of(vb.gemm, DevArray(2, 2), rand(2, 2))
        out["shape"] = error_of(vb.matmul, DevArray(2, 3), DevArray(4, 5))
        out["dtype"] = error_of(vb.VantTensor, type("D", (), {"__cuda_array_interface__": {"shape": (2, 2), "typestr": "<f8", "data": (x.ptr, False), "version": 3}})())
        out["hazards"], out["violations"] = fake.hazards, fake.bounds_violations
    """))
    c = out["cases"]
    assert c["cai"] == [True, True] and c["dlpack"] == [True, True] and c["cai with stream"] == [True, True]
    assert c["padded rows"] == [False, True] and c["transposed"] == [False, True] and c["misaligned"] == [False, True]
    assert out["dlpack_args"] == [out["our_stream"], [1, 1]]
    assert out["gathers"] == 2  # padded and transposed; the misaligned one is one flat copy
    assert len(out["refused"]) == 1 and out["refused"][0].startswith("ValueError: argument 'data': the device array belongs to another CUDA context")
    assert out["alive_while_queued"] == [False, False] and out["released_after"] == [True, True]
    assert out["product"] < 1e-4 and out["torch_like"] == "VantTensor"
    assert out["mixed"] == ("TypeError: gemm(): operands must be both NumPy arrays or both device arrays, "
                            "got a device array for 'a' and a NumPy array for 'b'")
    assert out["shape"] == "RuntimeError: Shape mismatch: A[2,3] x B[4,5]"
    assert out["dtype"].startswith("TypeError: argument 'data': expected a two-dimensional float32 device array")
    assert out["hazards"] == 0 and out["violations"] == 0


def test_exports_order_the_consumers_stream_and_speak_both_capsule_versions():
    out, _ = child(PRODUCER + textwrap.dedent("""
        is_valid = ctypes.pythonapi.PyCapsule_IsValid
        is_valid.restype, is_valid.argtypes = ctypes.c_int, [ctypes.py_object, ctypes.c_char_p]
        a, b = rand(32, 24), rand(24, 40)
        ta, tb = vb.VantTensor(a), vb.VantTensor(b)
        q = P()
        with In(primary()):
            assert drv.cuStreamCreate(ctypes.byref(q), 1) == 0   # a consumer's non-blocking stream
        def consume(stream_arg):
            # The consumer copies the product back on its own stream as soon as it has the capsule.
            before = fake.hazards   # looking runs every queue: before the product is queued
            r = ta.matmul(tb)
            cap = r.__dlpack__(stream=stream_arg, max_version=(1, 0))
            host = np.empty((32, 40), F32)
            with In(primary()):
                assert drv.cuMemcpyDtoHAsync_v2(host.ctypes.data, data_ptr(r), host.nbytes, q) == 0
                assert drv.cuStreamSynchronize(q) == 0
            return [fake.hazards - before, bool(np.allclose(host, a @ b, atol=1e-4))]
        out["ordered"] = consume(q.value)
        out["unordered"] = consume(-1)
        out["names"] = [bool(is_valid(ta.__dlpack__(), b"dltensor")),
                        bool(is_valid(ta.__dlpack__(max_version=(1, 0)), b"dltensor_versioned")),
                        bool(is_valid(ta.__dlpack__(max_version=(2, 3)), b"dltensor_versioned"))]
        out["device"] = list(ta.__dlpack_device__())
        out["streams"] = [error_of(ta.__dlpack__, stream=s) for s in (None, 1, 2, -1)]
        out["stream0"] = error_of(ta.__dlpack__, stream=0)
        out["no_copy_host"] = error_of(ta.__dlpack__, dl_device=(1, 0), copy=False)
        out["other_device"] = error_of(ta.__dlpack__, dl_device=(2, 1))
        class Host:
            def __init__(self, t): self.t = t
            def __dlpack__(self, **kw): return self.t.__dlpack__(dl_device=(1, 0), **kw)
            def __dlpack_device__(self): return (1, 0)
        out["numpy"] = bool(np.array_equal(np.from_dlpack(Host(ta)), a))
        copy = ta.__dlpack__(copy=True)
        out["copy_is_new"] = True
        live = fake.live_allocations
        refs = __import__("sys").getrefcount(ta)
        caps = [ta.__dlpack__(max_version=(1, 0)) for _ in range(3)]
        out["capsule_refs"] = __import__("sys").getrefcount(ta) - refs
        del caps, copy
        gc.collect()
        out["refs_back"] = __import__("sys").getrefcount(ta) - refs
        out["copy_freed"] = fake.live_allocations <= live
        try:
            import torch
            out["torch"] = bool(torch.equal(torch.utils.dlpack.from_dlpack(ta.__dlpack__(dl_device=(1, 0))), torch.from_numpy(a)))
        except ImportError:
            out["torch"] = None
        cai = ta.__cuda_array_interface__
        out["cai"] = [cai["version"], cai["typestr"], list(cai["shape"]), cai["strides"], cai["stream"] != 0]
    """))
    assert out["ordered"] == [0, True]
    assert out["unordered"][0] > 0  # without the event wait the stand-in sees the race
    assert out["names"] == [True, True, True] and out["device"] == [2, 0]
    assert out["streams"] == [None, None, None, None]
    assert out["stream0"].startswith("ValueError: stream 0 is ambiguous")
    assert out["no_copy_host"] == "BufferError: a host export of device data needs a copy"
    assert out["other_device"].startswith("BufferError: cannot export to DLPack device (2, 1)")
    assert out["numpy"] and out["capsule_refs"] == 3 and out["refs_back"] == 0 and out["copy_freed"]
    assert out["torch"] in (True, None)
    assert out["cai"] == [3, "<f4", [32, 24], None, True]


def test_a_reset_by_another_library_is_survived():
    out, lines = child("""
        a, b = rand(33, 47), rand(47, 15)   # single precision: the GPU and the CPU agree closely
        t = vb.VantTensor(a)
        model = vb.VantBLASModel()
        model.set_weights(b, rand(15, 8))
        vb.gemm(a, b)
        fake.reset_primary_context(0)
        out["in_flight"] = bool(np.allclose(vb.gemm(a, b), a @ b, atol=1e-3))   # falls back to the CPU
        frees = fake.stat("frees_made")
        out["after"] = bool(np.allclose(vb.gemm(a, b), a @ b, atol=1e-3))
        out["old_tensor"] = [error_of(t.cpu), error_of(t.matmul, vb.VantTensor(b)), error_of(t.__dlpack__)]
        out["old_model"] = error_of(model.forward, a)
        bad = fake.bad_frees
        del t, model
        gc.collect()
        out["stale_frees"] = fake.bad_frees - bad
        out["new_tensor"] = bool(np.array_equal(vb.VantTensor(a).cpu(), a))
        out["violations"] = fake.bounds_violations
    """)
    lost = "RuntimeError: The tensor's device memory is gone: another library reset the CUDA device after the tensor was made"
    assert out["in_flight"] and out["after"] and out["new_tensor"]
    assert out["old_tensor"] == [lost, lost, lost]
    assert out["old_model"].startswith("RuntimeError: The model's weights are gone")
    assert out["stale_frees"] == 0 and out["violations"] == 0
    assert sum(ln == "[CUDA] Context created, loading ESSENTIAL modules only..." for ln in lines) == 2
