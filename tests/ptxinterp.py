"""Python access to the PTX interpreter (tools/ptx_interp): runs a kernel of a module text, exactly as
the driver would receive it, on the CPU with memcheck and racecheck.

    import ptxinterp
    mod = ptxinterp.Module(ptx_text)
    out = np.full(n, np.nan, np.float32)
    mod.launch("kernel", grid=(gx,), block=(bx,), args=[out, x, n, 0.5], shared=0)
    # arrays are passed by address and updated in place; scalars take the declared .param type

A report (memcheck, racecheck, uninitialised shared read, an unknown instruction, a divergent warp
collective) raises PtxError with .kind in {"memcheck", "racecheck", "uninitialised", "error"}.
``Memory``/``Kernel`` keep the older interface (addresses from ``mem.put``/``mem.alloc``).

The library is built once per source hash under build/ptx_interp/ (the stand-in driver compiles the
same sources into libcuda.so.1 and interprets every kernel without a dedicated executor, or every
kernel named in FAKE_CUDA_INTERPRET: "all" or a comma-separated list).
"""

from __future__ import annotations

import ctypes
import hashlib
import struct

import numpy as np

import fakecuda

SRC = fakecuda.INTERP_SRC
F32 = np.float32


class PtxError(RuntimeError):
    def __init__(self, kind, message):
        super().__init__(message)
        self.kind = kind


_lib = None


def sources():
    return sorted(p for p in SRC.iterdir() if p.suffix in (".cpp", ".hpp"))


def library_path():
    """Builds the library when its sources changed (without loading it); returns its path."""
    srcs = sources()
    digest = hashlib.sha256()
    for p in srcs:
        digest.update(p.name.encode())
        digest.update(p.read_bytes())
    digest.update(fakecuda.CXX.encode())
    digest.update(" ".join(fakecuda.EXTRA_CXXFLAGS).encode())
    out_dir = fakecuda.BUILD_ROOT / "ptx_interp" / digest.hexdigest()[:16]
    lib_path = out_dir / "libptxinterp.so"

    def build(tmp):
        cmd = [fakecuda.CXX, "-std=c++20", "-O2", "-g", "-fPIC", "-shared", "-fvisibility=hidden", "-ffp-contract=off",
               "-Wall", "-Wextra", *fakecuda.EXTRA_CXXFLAGS, "-o", str(tmp / lib_path.name)]
        cmd += [str(p) for p in srcs if p.suffix == ".cpp"]
        fakecuda._check_call(cmd, "building the PTX interpreter failed:")

    fakecuda._build_once(out_dir, lib_path, "ptx_interp", build)
    return lib_path


def library():
    global _lib
    if _lib is not None:
        return _lib
    lib_path = library_path()
    lib = ctypes.CDLL(str(lib_path))
    c = ctypes
    lib.ptxi_load.restype = c.c_void_p
    lib.ptxi_load.argtypes = [c.c_char_p, c.c_char_p, c.c_size_t]
    lib.ptxi_unload.argtypes = [c.c_void_p]
    lib.ptxi_describe.restype = c.c_char_p
    lib.ptxi_describe.argtypes = [c.c_void_p, c.c_char_p, c.c_char_p]
    lib.ptxi_register.argtypes = [c.c_uint64, c.c_uint64]
    lib.ptxi_unregister.argtypes = [c.c_uint64]
    lib.ptxi_set_schedule.argtypes = [c.c_uint64]
    lib.ptxi_launch.restype = c.c_int
    lib.ptxi_launch.argtypes = [c.c_void_p, c.c_char_p, c.POINTER(c.c_uint), c.POINTER(c.c_uint), c.c_uint,
                                c.POINTER(c.c_void_p), c.c_char_p, c.c_size_t, c.c_char_p, c.c_size_t]
    _lib = lib
    return lib


_PACK = {".u64": "<Q", ".s64": "<q", ".b64": "<Q", ".u32": "<I", ".s32": "<i", ".b32": "<I", ".f32": "<f",
         ".f64": "<d", ".u16": "<H", ".s16": "<h", ".b16": "<H", ".u8": "<B", ".s8": "<b", ".b8": "<B"}


def _dim3(v):
    v = tuple(int(x) for x in (v if isinstance(v, (tuple, list)) else (v,)))
    return (ctypes.c_uint * 3)(*(v + (1,) * (3 - len(v))))


class Module:
    def __init__(self, text: str):
        self.lib = library()
        err = ctypes.create_string_buffer(2048)
        self.handle = self.lib.ptxi_load(text.encode(), err, len(err))
        if not self.handle:
            raise PtxError("error", err.value.decode())

    def __del__(self):
        if getattr(self, "handle", None):
            self.lib.ptxi_unload(self.handle)
            self.handle = None

    def _describe(self, what, kernel=""):
        return self.lib.ptxi_describe(self.handle, what.encode(), kernel.encode()).decode().split("\n")[:-1]

    def kernels(self):
        return self._describe("kernels")

    def param_types(self, kernel):
        return self._describe("params", kernel)

    def forms(self):
        """The distinct instruction forms (opcode with modifiers) of the module."""
        return self._describe("forms")

    def static_shared(self, kernel):
        return int(self._describe("static_shared", kernel)[0])

    def launch(self, kernel, grid, block, args, shared=0, ranges=(), schedule=0):
        """Runs one launch. numpy arrays in `args` are passed by address (and are the memory the kernel
        may touch, with `ranges`: extra (address, bytes)); bytes objects fill a byte-array parameter
        (a tensor map); other values are packed as the declared parameter type. `schedule` picks the
        completion moments of asynchronous operations (0: as late as possible, else seeded random)."""
        types = self.param_types(kernel)
        if len(types) != len(args):
            raise PtxError("error", f"{kernel}: {len(types)} parameters expected, {len(args)} given")
        keep, regions = [], list(ranges)
        ptrs = (ctypes.c_void_p * max(1, len(args)))()
        for i, (t, a) in enumerate(zip(types, args)):
            if isinstance(a, np.ndarray):
                if not a.flags.c_contiguous:
                    raise ValueError("arrays must be contiguous")
                regions.append((a.ctypes.data, a.nbytes))
                a = a.ctypes.data
            if isinstance(a, bytes):
                buf = ctypes.create_string_buffer(a, len(a))
                keep.append(buf)
                ptrs[i] = ctypes.cast(buf, ctypes.c_void_p)
                continue
            if t not in _PACK:
                raise PtxError("error", f"parameter type {t} is not supported here")
            fmt = _PACK[t]
            size = struct.calcsize(fmt)
            if fmt[1] in "fd":
                raw = struct.pack(fmt, float(a))
            else:
                raw = (int(a) & ((1 << (8 * size)) - 1)).to_bytes(size, "little")
            buf = ctypes.create_string_buffer(raw, len(raw))
            keep.append(buf)
            ptrs[i] = ctypes.cast(buf, ctypes.c_void_p)
        for addr, n in regions:
            self.lib.ptxi_register(addr, n)
        kind = ctypes.create_string_buffer(32)
        err = ctypes.create_string_buffer(4096)
        self.lib.ptxi_set_schedule(int(schedule))
        try:
            rc = self.lib.ptxi_launch(self.handle, kernel.encode(), _dim3(grid), _dim3(block), int(shared), ptrs,
                                      kind, len(kind), err, len(err))
        finally:
            for addr, _ in regions:
                self.lib.ptxi_unregister(addr)
        if rc:
            raise PtxError(kind.value.decode(), err.value.decode())


def tensor_map(array, box, swizzle=3, dtype=6):
    """The 128-byte tensor map of a 2-D row-major `array` (innermost dimension last) as the stand-in
    driver's cuTensorMapEncodeTiled writes it: box = (inner, outer) elements, swizzle and dtype as the
    driver's enums (3 = 128B, 6 = FLOAT16)."""
    rows, cols = array.shape
    e = array.dtype.itemsize
    raw = struct.pack("<I8B4xQ5Q4Q5H5B", 0x504D5456, dtype, 2, 0, swizzle, 0, 0, e, 0, array.ctypes.data,
                      cols, rows, 1, 1, 1, cols * e, 0, 0, 0, box[0], box[1], 1, 1, 1, 1, 1, 1, 1, 1)
    return raw + bytes(128 - len(raw))


def aligned(array, alignment=256):
    """A copy of `array` whose data starts at a multiple of `alignment` bytes (device allocations are
    at least 256-byte aligned; numpy arrays only 16)."""
    array = np.asarray(array)
    raw = np.empty(array.nbytes + alignment, np.uint8)
    start = (-raw.ctypes.data) % alignment
    out = raw[start:start + array.nbytes].view(array.dtype).reshape(array.shape)
    out[...] = array
    return out


class Memory:
    """Device memory for Kernel.launch: each buffer is a numpy array; its host address is the device
    address the kernel sees."""

    def __init__(self):
        self.buffers = {}

    def alloc(self, nbytes, fill=0xFF):
        arr = np.full(max(int(nbytes), 4), fill, np.uint8)
        self.buffers[arr.ctypes.data] = arr
        return arr.ctypes.data

    def put(self, array):
        raw = np.frombuffer(np.ascontiguousarray(array).tobytes(), np.uint8)
        addr = self.alloc(raw.size)
        self.buffers[addr][:raw.size] = raw
        return addr

    def get(self, addr, shape, dtype=np.float32):
        n = int(np.prod(shape)) * np.dtype(dtype).itemsize
        return self.buffers[addr][:n].view(dtype).reshape(shape).copy()


class Kernel:
    """One entry of a module text, launched with addresses from a Memory."""

    def __init__(self, text, entry):
        self.module = Module(text)
        self.entry = entry
        if entry not in self.module.kernels():
            raise PtxError("error", f"entry {entry} not found")

    def launch(self, mem, grid, block, args, dynamic_shared=0):
        ranges = [(a, b.nbytes) for a, b in mem.buffers.items()]
        self.module.launch(self.entry, grid, block, args, shared=dynamic_shared, ranges=ranges)
