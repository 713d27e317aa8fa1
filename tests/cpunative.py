"""ctypes access to the CPU arithmetic, for tests and benchmarks.

``load()`` compiles src/cpu/*.cpp with tests/cpu_native/cpu_capi.cpp into a shared library
(cached under build/cpu_native/<hash of sources and flags>/) and returns a ``CpuLib``:

    lib = cpunative.load()
    c = lib.gemm(a, b)                 # fast path; plain=True runs the plain sequential loops
    lib.gemm_batched(a, b), lib.attention(q, k, v, scale), lib.linear_gelu(x, w, bias),
    lib.rmsnorm(x, w, eps)             # same keyword ``plain``
    lib.isa("avx2")                    # force a path ("auto", "baseline", "avx2", "avx512", or
                                       # "avx2-12x16": 256-bit code with the 512-bit tile shape);
                                       # False when the machine lacks it
    lib.threads(3)                     # threads per call (0: the default, the CPUs available)
    lib.arithmetic("fused")            # the product arithmetic ("exact" or "fused"); returns the
                                       # one in force before
    lib.available_isas()               # paths this machine can run, narrowest first

Arrays are passed as views (address of element 0, shape, byte strides), so strided, negative,
zero and odd strides reach the C++ code unchanged. An index fault raises ``IndexFault``.
Instruction-set units get the same flags as in CMakeLists.txt.
"""

from __future__ import annotations

import ctypes
import hashlib
import os
import pathlib
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import fakecuda

ROOT = pathlib.Path(__file__).resolve().parent.parent
ISA_NAMES = {"auto": 0, "baseline": 1, "avx2": 2, "avx512": 3, "avx2-12x16": 4}
BASE_FLAGS = ["-std=c++20", "-O2", "-fPIC", "-pthread", "-fvisibility=hidden",
              "-ffp-contract=off", "-fno-fast-math", "-Wall", "-Wextra"]
AVX512_FLAGS = ["-mavx512f", "-mavx512bw", "-mavx512dq", "-mavx512vl", "-mavx2"]


class IndexFault(Exception):
    """The C++ code reported an index out of bounds."""


class Mat(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("rows", ctypes.c_uint64), ("cols", ctypes.c_uint64),
                ("row_stride", ctypes.c_int64), ("col_stride", ctypes.c_int64)]


class T3(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("d0", ctypes.c_uint64), ("d1", ctypes.c_uint64),
                ("d2", ctypes.c_uint64), ("s0", ctypes.c_int64), ("s1", ctypes.c_int64),
                ("s2", ctypes.c_int64)]


def _sources():
    return sorted((ROOT / "src" / "cpu").glob("*.cpp")) + [ROOT / "src" / "common" / "env_number.cpp",
                                                           ROOT / "tests" / "cpu_native" / "cpu_capi.cpp"]


def _flags_for(src: pathlib.Path):
    if src.name.endswith("_fused_avx2.cpp"):
        return ["-mavx2", "-mfma"]
    if src.name.endswith("_avx512.cpp"):
        return AVX512_FLAGS
    if src.name.endswith("_avx2.cpp"):
        return ["-mavx2"]
    return []


def library_path() -> pathlib.Path:
    cxx = os.environ.get("CXX", "g++")
    h = hashlib.sha256(" ".join([cxx] + BASE_FLAGS).encode())
    deps = _sources() + sorted((ROOT / "src" / "cpu").glob("*.hpp")) + sorted(
        (ROOT / "src" / "cpu").glob("*.inc")) + sorted((ROOT / "src" / "common").glob("*.hpp"))
    for p in deps:
        h.update(p.name.encode())
        h.update(p.read_bytes())
    out_dir = ROOT / "build" / "cpu_native" / h.hexdigest()[:16]
    lib = out_dir / "libvantcpu.so"

    def build(tmp):
        def compile_one(src):
            obj = tmp / (src.stem + ".o")
            fakecuda._check_call([cxx, *BASE_FLAGS, *_flags_for(src), "-I", str(ROOT / "src"), "-c", str(src),
                                  "-o", str(obj)], f"compiling {src} failed:")
            return obj

        with ThreadPoolExecutor(max_workers=2) as ex:
            objs = list(ex.map(compile_one, _sources()))
        fakecuda._check_call([cxx, "-shared", "-pthread", "-o", str(tmp / lib.name), *map(str, objs)],
                             "linking failed:")

    fakecuda._build_once(out_dir, lib, "cpu_native", build)
    return lib


def mat(a: np.ndarray) -> Mat:
    assert a.dtype == np.float32 and a.ndim == 2
    return Mat(a.ctypes.data, a.shape[0], a.shape[1], a.strides[0], a.strides[1])


def t3(a: np.ndarray) -> T3:
    assert a.dtype == np.float32 and a.ndim == 3
    return T3(a.ctypes.data, *a.shape, *a.strides)


class CpuLib:
    def __init__(self, path):
        self.dll = ctypes.CDLL(str(path))
        P = ctypes.POINTER
        f = ctypes.c_void_p
        d = self.dll
        d.vc_gemm.argtypes = [ctypes.c_int, P(Mat), P(Mat), f]
        d.vc_gemm_batched.argtypes = [ctypes.c_int, P(T3), P(T3), f]
        d.vc_attention.argtypes = [ctypes.c_int, P(T3), P(T3), P(T3), ctypes.c_float, f]
        d.vc_linear_gelu.argtypes = [ctypes.c_int, P(Mat), P(Mat), P(Mat), f]
        d.vc_rmsnorm.argtypes = [ctypes.c_int, P(Mat), P(Mat), ctypes.c_float, f]
        d.vc_default_scale.argtypes = [ctypes.c_uint64]
        d.vc_default_scale.restype = ctypes.c_float
        d.vc_force_isa.argtypes = [ctypes.c_int]
        d.vc_special_sweep.argtypes = [ctypes.c_int, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_uint32,
                                       ctypes.c_int, ctypes.POINTER(ctypes.c_uint32)]
        d.vc_special_sweep.restype = ctypes.c_uint64
        d.vc_force_threads.argtypes = [ctypes.c_uint]
        d.vc_thread_count.restype = ctypes.c_uint

    @staticmethod
    def _check(rc):
        if rc == 1:
            raise IndexFault("ndarray: index out of bounds")
        if rc == 2:
            raise MemoryError
        if rc:
            raise RuntimeError(f"CPU operation failed ({rc})")

    def gemm(self, a, b, plain=False):
        c = np.zeros((a.shape[0], b.shape[1]), np.float32)
        self._check(self.dll.vc_gemm(int(plain), mat(a), mat(b), c.ctypes.data))
        return c

    def gemm_batched(self, a, b, plain=False):
        c = np.zeros((a.shape[0], a.shape[1], b.shape[2]), np.float32)
        if c.size:
            self._check(self.dll.vc_gemm_batched(int(plain), t3(a), t3(b), c.ctypes.data))
        return c

    def attention(self, q, k, v, scale=None, plain=False):
        if scale is None:
            scale = self.dll.vc_default_scale(q.shape[2])
        out = np.zeros(q.shape, np.float32)
        if out.size:
            self._check(self.dll.vc_attention(int(plain), t3(q), t3(k), t3(v), scale, out.ctypes.data))
        return out

    def linear_gelu(self, x, w, bias=None, plain=False):
        out = np.zeros((x.shape[0], w.shape[0]), np.float32)
        bp = ctypes.byref(mat(bias)) if bias is not None else None
        if out.size:
            self._check(self.dll.vc_linear_gelu(int(plain), mat(x), mat(w), bp, out.ctypes.data))
        return out

    def rmsnorm(self, x, w, eps=1e-6, plain=False):
        out = np.zeros(x.shape, np.float32)
        if out.size:
            self._check(self.dll.vc_rmsnorm(int(plain), mat(x), mat(w), eps, out.ctypes.data))
        return out

    def special_sweep(self, fn: str, lo: int, hi: int, stride: int = 1, sets: int = 7):
        """(mismatches, first offending bits) of the vector expf / tanhf against the C runtime's
        for the float bit patterns lo, lo + stride, ... <= hi (see vc_special_sweep)."""
        first = ctypes.c_uint32(0)
        n = self.dll.vc_special_sweep({"expf": 0, "tanhf": 1}[fn], lo, hi, stride, sets, ctypes.byref(first))
        return n, first.value

    def peak_gflops(self, fused: bool, threads: int):
        """(GFLOP/s, vector width in floats, GFLOP per CPU-second of one thread) of the arithmetic
        peak: separate multiply + add, or fused multiply-add (0.0 where the machine has none), on
        `threads` threads at once."""
        lanes, per_cpu = ctypes.c_int(0), ctypes.c_double(0)
        self.dll.vc_peak_gflops.restype = ctypes.c_double
        g = self.dll.vc_peak_gflops(int(fused), threads, ctypes.byref(lanes), ctypes.byref(per_cpu))
        return g, lanes.value, per_cpu.value

    def special_sets(self, fn: str) -> int:
        """Bit mask of the vector versions (1 baseline, 2 AVX2, 4 AVX-512) this machine runs."""
        return self.dll.vc_special_sets({"expf": 0, "tanhf": 1}[fn])

    def special_checked_ok(self, fn: str) -> bool:
        return bool(self.dll.vc_special_checked_ok({"expf": 0, "tanhf": 1}[fn]))

    def isa(self, name: str) -> bool:
        return bool(self.dll.vc_force_isa(ISA_NAMES[name]))

    def active_isa(self) -> str:
        code = self.dll.vc_active_isa()
        return next(k for k, v in ISA_NAMES.items() if v == code)

    def available_isas(self):
        best = self.dll.vc_best_isa()
        names = [k for k, v in ISA_NAMES.items() if 1 <= v <= min(best, 3)]
        return names + (["avx2-12x16"] if best >= 2 else [])

    def arithmetic(self, name: str) -> str:
        before = "fused" if self.dll.vc_arithmetic() else "exact"
        self.dll.vc_set_arithmetic({"exact": 0, "fused": 1}[name])
        return before

    def threads(self, n: int):
        self.dll.vc_force_threads(n)

    def thread_count(self) -> int:
        return self.dll.vc_thread_count()


_LIB = None


def load() -> CpuLib:
    global _LIB
    if _LIB is None:
        _LIB = CpuLib(library_path())
    return _LIB
