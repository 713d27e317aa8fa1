"""Stand-in CUDA driver for tests that need no GPU.

The stand-in is a small C++ library (tools/fake_driver/*.cpp) built as ``libcuda.so.1``. A test
runs its code in a child Python process whose library search path starts with the stand-in, so
the module under test loads it exactly as it would load the real driver. Inside the child the
same library is reached through ctypes to configure it and to read what happened.

Parent side (in a test)::

    import fakecuda
    r = fakecuda.run('''
        import _vantblas_testhooks as h
        h.get_cuda_core(0)
        print("live", fake.live_allocations)
    ''', hooks=True, cc=(7, 5))
    r.check()                      # raises with stdout/stderr when the child failed
    r.stdout, r.stderr, r.lines    # decoded fd 1 / fd 2 output of the child, lines of fd 1

``run(code, *, driver=True, hooks=False, cc=None, devices=None, fail=(), hide=(),
memory_limit=None, strict=False, interpret=None, refuse=REFUSED_BY_DEFAULT, env=None, driver_dir=None,
timeout=300)``:
    ``code`` is dedented and executed in a fresh interpreter with ``fake`` (a FakeDriver, or
    None when ``driver=False``), ``fakecuda``, ``json``, ``os`` and ``sys`` already imported.
    ``driver=False`` puts an empty folder (``driver_dir``, or a fresh temporary one) first on
    the search path instead, so the driver is missing; copying ``fakecuda.library_path()``
    into that folder later "installs" it. ``hooks=True`` builds and adds the test-only
    module ``_vantblas_testhooks``. ``cc``/``devices``/``fail``/``hide``/``memory_limit``/
    ``strict``/``interpret`` configure the stand-in through environment variables before the child starts;
    ``refuse`` names entries whose modules fail to load with 218: by default the pipelined
    tensor-core module, its 128 x 256 variant and the wgmma module, so that tests of the other routes see the kernel set they were written
    for (its self-test and route run interpreted); tests of that module pass ``refuse=()``;
    ``fail`` is a list of (entry, nth, status) and nth = 0 fails every call.
    ``env={"FAKE_CUDA_MAX_GRID_Y": "2"}`` lowers the grid y extent that the stand-in reports
    and enforces (65535 by default; grid x is limited to 2^31 - 1, z to 65535).
    ``env={"FAKE_CUDA_NO_KERNELS": "1"}`` makes every launch a no-op (queued, logged and
    ordered as usual, counted in ``stat("launches_skipped")``; outputs keep whatever they held),
    for benchmarks of the host side (bench/staging.py); ``stat("standin_ns")`` counts the
    nanoseconds the stand-in spent on what a device does by itself (running queued copies and
    kernels, checksumming the sources of queued uploads).
    ``env={"FAKE_CUDA_SM_COUNT": "1"}`` sets the multiprocessor count it reports (8 by default).

``library_path()`` builds the stand-in (cached under build/fake_driver/<hash of its sources>/,
rebuilt when any tools/fake_driver/*.cpp|hpp changes) and returns the path of libcuda.so.1;
the environment variable FAKECUDA_CXXFLAGS adds compiler flags (and is part of the cache key).
``hooks_dir()`` builds ``_vantblas_testhooks`` with cmake into build/testhooks and returns the
folder (or returns $FAKECUDA_HOOKS_DIR, a prebuilt variant such as a sanitizer build). ``real_driver_present()`` tells whether a real libcuda.so.1 can be found (tests of the
missing-driver path skip there, since the system copy would be found first).

Child side, ``FakeDriver`` (the ``fake`` object):
    configuration: ``set_compute_capability(major, minor)`` (default 8.9), ``set_device_count(n)``,
    ``set_max_ptx_version(major, minor)``, ``set_target_refusal_status(status)`` (default 209),
    ``set_memory_limit(bytes)``, ``set_strict_launch(on)`` (with interpretation off, a launch of a
    kernel without an executor fails), ``set_interpret(spec)`` ("all", "none" or kernel names
    joined by commas: which kernels run through the PTX interpreter besides those without an
    executor), ``hide_entry(name)`` (cuGetProcAddress reports it missing),
    ``set_error_text(status, bytes)`` (what cuGetErrorString answers for that status);
    faults: ``fail(entry, nth=1, status=2)`` fails call number nth (counted since the last
    reset; 0 = every call) of an entry point such as "cuMemAlloc", ``fail_next(entry, status)``
    fails the next call from now, ``clear_failures()``;
    inspection: ``calls(entry)``, ``call_log()`` (entry names in call order),
    ``resolutions()`` ("name@version/flags" as asked of cuGetProcAddress), ``launches()``
    (dicts: kernel, grid, block, shared, types, params with f32 decoded as float),
    ``stat(name)`` and the properties ``live_allocations``, ``live_bytes``, ``live_contexts``,
    ``live_modules``, ``live_streams``, ``live_pinned``, ``live_events``, ``bounds_violations``,
    ``bad_frees``, ``hazards``, ``pending_ops``;
    ``allocation_size(addr)``, ``function_handle(name)``, ``read_f32(addr, n)``,
    ``write_f32(addr, values)``, ``assert_no_leaks(contexts=0, modules=0)`` (no live
    allocation, bad free or out-of-bounds access, and exactly that many live contexts/modules);
    ``reset()`` (forget every object, log and setting of faults), ``clear_logs()``;
    contexts: ``current_context()`` (the calling thread's current context handle, 0 for none),
    ``reset_primary_context(device=0)`` (another library resets the device, see below),
    ``run_all()`` (the device runs every queue to its end without the host waiting: a later
    ``cuEventQuery`` answers 0), ``pointer_attributes(ptr)`` (cuPointerGetAttributes as a dict),
    ``driver()`` (the library with the argument types of its entry points set, e.g.
    ``fake.driver().cuMemAlloc_v2(ctypes.byref(d), 64)``); ``stat`` also knows "primary_retains",
    "primary_releases", "primary_resets", "primary_retain_count", "primary_active", "ctx_pushes",
    "ctx_pops", "context_stack_depth" (calling thread), "objects_dropped" and
    "live_primary_objects".

Entry names in the logs are the driver's base names ("cuMemAlloc", not "cuMemAlloc_v2").

Contexts as on the device: each thread has a context stack (cuCtxPushCurrent / cuCtxPopCurrent,
201 when popping an empty one, 2 when pushing onto a full one of 64; cuCtxSetCurrent replaces the top, pushes onto an empty stack, and
with null pops; cuCtxCreate pushes). cuDevicePrimaryCtxRetain returns the device's one primary
context and counts retains; the last cuDevicePrimaryCtxRelease destroys its objects and leaves it
uninitialised until the next retain (same handle); ``live_contexts`` counts the initialised primary
contexts besides those of cuCtxCreate. Every allocation, pinned block, stream, event and module
belongs to the context current when it was made: a stream, event, module or function used while
another context is current fails with 400 (cuStreamWaitEvent accepts an event of another context
of the device), device memory of another context fails copies and frees with 1 (a free also counts
in ``bad_frees``), and a kernel that touches it fails with 700 when it runs. A call that needs a
context answers 201 with none current and 709 while the current one is destroyed or uninitialised.
``reset_primary_context`` destroys every object of the primary context and drops its queued work
(its handles then answer 400, its memory 1 or 700, and ``objects_dropped`` counts them), leaving
the context uninitialised with its retain count kept; cuDevicePrimaryCtxReset_v2 does the same.
Stream handles 0 and 0x1 name the current context's legacy default stream and 0x2 the calling
thread's default stream; work on the legacy stream waits for all earlier work of the context's
blocking streams (flags 0, and the per-thread ones) and work on those waits for earlier legacy
work, while non-blocking streams (flags 1) are unordered with it: the stream-order check sees
exactly that order. Synchronising the legacy stream runs only what it waits for.
``cuPointerGetAttributes`` knows device allocations (an interior address belongs to its
allocation) and pinned blocks; of any other address it reports null values (memory type 0,
context null, device ordinal -2) with status 0; an attribute it does not know fails with 1.
``cuMemcpyDtoDAsync`` queues like the other copies (a read of its source and a write of its
destination for the stream-order check); ``cuEventQuery`` answers 600 while the recorded work is
still queued and runs nothing.
Copies and launches are queued on their stream and run in stream order only when something
forces them (a synchronisation of the stream or of an event recorded after them, a
cuStreamWaitEvent that a forced stream reaches, a blocking call such as cuMemcpyDtoH or cuMemFree,
or any inspection through ``stat``/``read_f32``, except ``pending_ops``); a failure of queued work
is returned by the call that forced it. The destination of an asynchronous device-to-host copy
reads as 0xFF bytes until the copy runs, and the source of a host-to-device copy is read when it
runs. ``hazards`` counts operations that ran while an operation issued earlier on another stream,
still queued, was to write what they read (or whose host source changed after they were queued);
each is also described on stderr. Children run with ``VANTBLAS_POOL_CACHE_BYTES=0`` (no cached
device memory) unless ``env`` says otherwise.
Launched kernels run on the CPU through the executors registered with FAKE_KERNEL in
tools/fake_driver/exec_*.cpp, or, for every kernel without one (and those named by ``interpret``),
through the PTX interpreter (tools/ptx_interp) on the module text the driver received; every
address they touch must lie inside a live allocation, else the launch fails with 700 and
``bounds_violations`` counts it; an interpreter report of another kind (a race, a read of unwritten
shared memory, an unknown instruction) fails it with 719 and counts in
``stat("interpreter_reports")``; ``stat("launches_interpreted")`` counts interpreted launches.
Static plus dynamic shared memory above 48 KiB fails a launch with 1 (CUDA_ERROR_INVALID_VALUE),
as on the device, unless the function's CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES (8, set by
``cuFuncSetAttribute``) admits the dynamic part. The attribute is honoured up to the device's
opt-in limit (device attribute 97) less the function's static shared memory, and refused with 1
above it: 227 KiB at compute capability 9.0 and 10.0, 163 KiB at 8.0 and 8.7, 99 KiB at 8.6, 8.9
and 12.x, 96 KiB at 7.0 and 7.2, 64 KiB at 7.5, 48 KiB at any other. ``hide_entry`` (or
FAKE_CUDA_HIDE) removes ``cuFuncSetAttribute`` like any other entry.
"""

from __future__ import annotations

import ctypes
import fcntl
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

TESTS_DIR = Path(__file__).resolve().parent
REPO = TESTS_DIR.parent
FAKE_SRC = REPO / "tools" / "fake_driver"
BUILD_ROOT = REPO / "build"

CXX = os.environ.get("CXX", "g++")
# Extra compiler flags for the stand-in (the sanitizer stage builds it instrumented).
EXTRA_CXXFLAGS = os.environ.get("FAKECUDA_CXXFLAGS", "").split()


class BuildError(RuntimeError):
    pass


def _locked(name):
    BUILD_ROOT.mkdir(parents=True, exist_ok=True)
    f = open(BUILD_ROOT / f".{name}.lock", "w")
    fcntl.flock(f, fcntl.LOCK_EX)
    return f


def _check_call(cmd, failure: str, tail: int | None = None) -> None:
    """Runs a build command; raises BuildError with `failure` and its (last `tail` chars of) stderr."""
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        raise BuildError(failure + "\n" + (r.stderr if tail is None else r.stderr[-tail:]))


def _build_once(out_dir: Path, product: Path, lock: str, build) -> None:
    """Unless `product` (a file inside out_dir) exists, runs build(tmp) under the lock `lock` into a
    fresh folder beside out_dir and moves that folder into place; a failed build leaves nothing, and
    a concurrent build that got there first wins."""
    if product.exists():
        return
    out_dir.parent.mkdir(parents=True, exist_ok=True)
    with _locked(lock):
        if product.exists():
            return
        tmp = Path(tempfile.mkdtemp(dir=out_dir.parent))
        try:
            build(tmp)
            os.rename(tmp, out_dir)
        except BaseException:
            shutil.rmtree(tmp, ignore_errors=True)
            if not product.exists():
                raise


INTERP_SRC = REPO / "tools" / "ptx_interp"


def _fake_sources():
    """The stand-in's sources: tools/fake_driver and the PTX interpreter it runs kernels with."""
    return (sorted(p for p in FAKE_SRC.iterdir() if p.suffix in (".cpp", ".hpp")) +
            [INTERP_SRC / "ptx_interp.hpp", INTERP_SRC / "ptx_interp.cpp"])


_library_cache: Path | None = None


def library_path() -> Path:
    """Builds the stand-in driver when its sources changed; returns the libcuda.so.1 path."""
    global _library_cache
    if _library_cache is not None and _library_cache.exists():
        return _library_cache
    sources = _fake_sources()
    digest = hashlib.sha256()
    # exec_fused.cpp compiles the fused kernels' CUDA sources, so they count as sources too.
    for p in sources + sorted((REPO / "kernels" / "fused" / "src").glob("*.cu*")):
        digest.update(p.name.encode())
        digest.update(p.read_bytes())
    digest.update(CXX.encode())
    digest.update(" ".join(EXTRA_CXXFLAGS).encode())
    digest.update(b"interpreter at -O2, without the extra flags")  # the recipe below
    out_dir = BUILD_ROOT / "fake_driver" / digest.hexdigest()[:16]
    lib = out_dir / "libcuda.so.1"

    def build(tmp):
        # The interpreter, where most of the stand-in's time goes, is optimised and left out of
        # FAKECUDA_CXXFLAGS (a sanitizer build instruments the stand-in's own code; the
        # interpreter is instrumented in its own library, tests/ptxinterp.py, which its tests use).
        common = ["-std=c++20", "-g", "-fPIC", "-pthread", "-fvisibility=hidden", "-ffp-contract=off",
                  "-Wall", "-Wextra"]
        interp = tmp / "ptx_interp.o"
        _check_call([CXX, *common, "-O2", "-c", str(INTERP_SRC / "ptx_interp.cpp"), "-o", str(interp)],
                    "building the stand-in driver's interpreter failed:")
        cmd = [CXX, *common, "-O1", "-shared", "-Wl,-soname,libcuda.so.1", f"-I{INTERP_SRC}",
               *EXTRA_CXXFLAGS, "-o", str(tmp / lib.name)]
        cmd += [str(p) for p in sources if p.suffix == ".cpp" and p.parent != INTERP_SRC] + [str(interp)]
        _check_call(cmd, "building the stand-in driver failed:")

    _build_once(out_dir, lib, "fake_driver", build)
    _library_cache = lib
    return lib


_hooks_cache: Path | None = None


def hooks_dir() -> Path:
    """Builds the test-only module _vantblas_testhooks (cmake, ninja) and returns its folder."""
    global _hooks_cache
    if _hooks_cache is not None:
        return _hooks_cache
    if os.environ.get("FAKECUDA_HOOKS_DIR"):  # a prebuilt variant, e.g. with sanitizers
        _hooks_cache = Path(os.environ["FAKECUDA_HOOKS_DIR"])
        return _hooks_cache
    build = BUILD_ROOT / "testhooks"
    with _locked("testhooks"):
        gen = ["-G", "Ninja"] if shutil.which("ninja") else []
        cfg = ["cmake", "-S", str(REPO), "-B", str(build), *gen, "-DCMAKE_BUILD_TYPE=Release",
               "-DVANT_TEST_HOOKS=ON", f"-DPython_EXECUTABLE={sys.executable}"]
        for cmd in (cfg, ["cmake", "--build", str(build), "--target", "_vantblas_testhooks", "-j2"]):
            r = subprocess.run(cmd, capture_output=True, text=True)
            if r.returncode != 0:
                raise BuildError("building _vantblas_testhooks failed:\n" + r.stdout[-6000:] + r.stderr[-6000:])
    _hooks_cache = build / "tests" / "hooks"
    return _hooks_cache


def real_driver_present() -> bool:
    """True when a real driver library would be found by its plain name."""
    try:
        ctypes.CDLL("libcuda.so.1")
        return True
    except OSError:
        return False


class ChildResult:
    def __init__(self, proc: subprocess.CompletedProcess, code: str):
        self.returncode = proc.returncode
        self.stdout = proc.stdout.decode("utf-8", "replace")
        self.stderr = proc.stderr.decode("utf-8", "replace")
        self.code = code

    @property
    def lines(self):
        return self.stdout.splitlines()

    def check(self):
        if self.returncode != 0:
            raise AssertionError(
                f"child exited with {self.returncode}\n--- code ---\n{self.code}\n"
                f"--- stdout ---\n{self.stdout}\n--- stderr ---\n{self.stderr}")
        return self


_PRELUDE = """\
import json, os, sys
sys.path.insert(0, {tests!r})
import fakecuda
fake = fakecuda.FakeDriver() if os.environ.get("FAKECUDA_LIB") else None
"""


REFUSED_BY_DEFAULT = ("vantblas_gemm_mma_pipe", "vantblas_gemm_wgmma_tma", "vantblas_gemm_mma_wide")


def run(code: str, *, driver=True, hooks=False, cc=None, devices=None, fail=(), hide=(), memory_limit=None,
        strict=False, interpret=None, refuse=REFUSED_BY_DEFAULT, env=None, driver_dir=None,
        timeout=300) -> ChildResult:
    child_env = dict(os.environ)
    for k in [k for k in child_env if k.startswith("FAKE_CUDA_")]:
        del child_env[k]
    child_env.pop("FAKECUDA_LIB", None)
    tmp = None
    if driver:
        lib = library_path()
        search = str(lib.parent)
        child_env["FAKECUDA_LIB"] = str(lib)
    else:
        if driver_dir is None:
            tmp = tempfile.TemporaryDirectory()
            driver_dir = tmp.name
        search = str(driver_dir)
    old = child_env.get("LD_LIBRARY_PATH")
    child_env["LD_LIBRARY_PATH"] = search + (os.pathsep + old if old else "")
    if cc is not None:
        child_env["FAKE_CUDA_CC"] = f"{cc[0]}.{cc[1]}"
    if devices is not None:
        child_env["FAKE_CUDA_DEVICES"] = str(devices)
    if fail:
        child_env["FAKE_CUDA_FAIL"] = ",".join(f"{e}:{n}:{s}" for e, n, s in fail)
    if hide:
        child_env["FAKE_CUDA_HIDE"] = ",".join(hide)
    if memory_limit is not None:
        child_env["FAKE_CUDA_MEMORY_LIMIT"] = str(memory_limit)
    if strict:
        child_env["FAKE_CUDA_STRICT"] = "1"
    if interpret is not None:
        child_env["FAKE_CUDA_INTERPRET"] = interpret if isinstance(interpret, str) else ",".join(interpret)
    if refuse:
        child_env["FAKE_CUDA_REFUSE"] = ",".join(refuse)
    paths = [str(hooks_dir())] if hooks else []
    if child_env.get("PYTHONPATH"):
        paths.append(child_env["PYTHONPATH"])
    if paths:
        child_env["PYTHONPATH"] = os.pathsep.join(paths)
    child_env["PYTHONUNBUFFERED"] = "1"
    # The module's device-memory cache would keep blocks alive across calls; tests that count
    # live allocations see every block freed unless they ask for a cache (env=...).
    child_env["VANTBLAS_POOL_CACHE_BYTES"] = "0"
    if env:
        child_env.update(env)
    source = _PRELUDE.format(tests=str(TESTS_DIR)) + textwrap.dedent(code)
    try:
        proc = subprocess.run([sys.executable, "-c", source], env=child_env, capture_output=True, timeout=timeout)
    finally:
        if tmp is not None:
            tmp.cleanup()
    return ChildResult(proc, textwrap.dedent(code))


# Argument types of the stand-in's entry points (P pointer or handle, U unsigned, I int, Q 64-bit
# device address, S size, C bytes); every one returns its status as int.
_ENTRY_ARGS = {
    "cuInit": "U", "cuCtxCreate_v2": "PUI", "cuCtxDestroy_v2": "P", "cuCtxSetCurrent": "P",
    "cuCtxGetCurrent": "P", "cuCtxPushCurrent_v2": "P", "cuCtxPopCurrent_v2": "P",
    "cuDevicePrimaryCtxRetain": "PI", "cuDevicePrimaryCtxRelease_v2": "I", "cuDevicePrimaryCtxReset_v2": "I",
    "cuDevicePrimaryCtxGetState": "IPP", "cuStreamCreate": "PU", "cuStreamDestroy_v2": "P",
    "cuStreamSynchronize": "P", "cuStreamWaitEvent": "PPU", "cuEventCreate": "PU", "cuEventRecord": "PP",
    "cuEventSynchronize": "P", "cuEventQuery": "P", "cuEventDestroy_v2": "P", "cuMemAlloc_v2": "PS",
    "cuMemFree_v2": "Q", "cuMemcpyHtoD_v2": "QPS", "cuMemcpyDtoH_v2": "PQS", "cuMemcpyHtoDAsync_v2": "QPSP",
    "cuMemcpyDtoHAsync_v2": "PQSP", "cuMemcpyDtoDAsync_v2": "QQSP", "cuMemHostAlloc": "PSU", "cuMemFreeHost": "P",
    "cuPointerGetAttributes": "UPPQ", "cuModuleLoadData": "PC", "cuModuleGetFunction": "PPC", "cuModuleUnload": "P",
    "cuLaunchKernel": "PUUUUUUUPPP", "cuGetProcAddress_v2": "CPIQP",
}


class FakeDriver:
    """ctypes access to the stand-in's control functions, for use inside the child process."""

    def __init__(self, path=None):
        lib = ctypes.CDLL(path or os.environ["FAKECUDA_LIB"])
        self.lib = lib
        c_char_p, c_int, c_long, c_u64, c_void_p = (ctypes.c_char_p, ctypes.c_int, ctypes.c_long,
                                                     ctypes.c_uint64, ctypes.c_void_p)
        sigs = {
            "fake_reset": ([], None), "fake_clear_logs": ([], None),
            "fake_set_compute_capability": ([c_int, c_int], None), "fake_set_device_count": ([c_int], None),
            "fake_set_max_ptx_version": ([c_int, c_int], None), "fake_set_target_refusal_status": ([c_int], None),
            "fake_set_memory_limit": ([c_u64], None), "fake_set_strict_launch": ([c_int], None),
            "fake_hide_entry": ([c_char_p], None), "fake_fail_call": ([c_char_p, c_long, c_int], None),
            "fake_clear_failures": ([], None), "fake_call_count": ([c_char_p], c_long),
            "fake_stat": ([c_char_p], c_long), "fake_allocation_size": ([c_u64], c_long),
            "fake_host_pointer": ([c_u64, c_u64], c_void_p), "fake_launch_log_json": ([], c_char_p),
            "fake_call_log_json": ([], c_char_p), "fake_resolution_log_json": ([], c_char_p),
            "fake_function_handle": ([c_char_p], c_void_p), "fake_set_error_text": ([c_int, c_char_p], None),
            "fake_set_interpret": ([c_char_p], None), "fake_reset_primary_context": ([c_int], c_int),
            "fake_run_all": ([], None), "fake_current_context": ([], c_long),
        }
        for name, (args, res) in sigs.items():
            fn = getattr(lib, name)
            fn.argtypes = args
            fn.restype = res

    # configuration
    def reset(self): self.lib.fake_reset()
    def clear_logs(self): self.lib.fake_clear_logs()
    def set_compute_capability(self, major, minor): self.lib.fake_set_compute_capability(major, minor)
    def set_device_count(self, n): self.lib.fake_set_device_count(n)
    def set_max_ptx_version(self, major, minor): self.lib.fake_set_max_ptx_version(major, minor)
    def set_target_refusal_status(self, status): self.lib.fake_set_target_refusal_status(status)
    def set_memory_limit(self, nbytes): self.lib.fake_set_memory_limit(nbytes)
    def set_strict_launch(self, on=True): self.lib.fake_set_strict_launch(1 if on else 0)
    def set_interpret(self, spec): self.lib.fake_set_interpret(spec.encode())
    def hide_entry(self, name): self.lib.fake_hide_entry(name.encode())
    def set_error_text(self, status, text: bytes): self.lib.fake_set_error_text(status, text)

    # the device's side
    def reset_primary_context(self, device=0): return self.lib.fake_reset_primary_context(device)
    def run_all(self): self.lib.fake_run_all()
    def current_context(self): return self.lib.fake_current_context()

    def driver(self):
        """The stand-in's entry points by their exported names, with ctypes argument types set."""
        P, U, I, U64, SZ = ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_uint64, ctypes.c_size_t
        for name, args in _ENTRY_ARGS.items():
            getattr(self.lib, name).argtypes = [{"P": P, "U": U, "I": I, "Q": U64, "S": SZ, "C": ctypes.c_char_p}[c] for c in args]
        return self.lib

    def pointer_attributes(self, ptr):
        """cuPointerGetAttributes for `ptr` as a dict, or the status when it fails."""
        names = {1: "context", 2: "memory_type", 3: "device_pointer", 4: "host_pointer", 7: "buffer_id",
                 8: "is_managed", 9: "device_ordinal", 11: "range_start", 12: "range_size", 13: "mapped"}
        kinds = {2: ctypes.c_uint, 8: ctypes.c_int, 9: ctypes.c_int, 13: ctypes.c_int}
        values = {a: kinds.get(a, ctypes.c_uint64)() for a in names}
        attrs = (ctypes.c_int * len(names))(*names)
        data = (ctypes.c_void_p * len(names))(*[ctypes.addressof(v) for v in values.values()])
        status = self.driver().cuPointerGetAttributes(len(names), attrs, data, ptr)
        return {names[a]: v.value for a, v in values.items()} if status == 0 else status

    # faults
    def fail(self, entry, nth=1, status=2): self.lib.fake_fail_call(entry.encode(), nth, status)
    def fail_next(self, entry, status=2): self.fail(entry, self.calls(entry) + 1, status)
    def clear_failures(self): self.lib.fake_clear_failures()

    # inspection
    def calls(self, entry): return self.lib.fake_call_count(entry.encode())
    def call_log(self): return json.loads(self.lib.fake_call_log_json())
    def resolutions(self): return json.loads(self.lib.fake_resolution_log_json())

    def launches(self):
        out = []
        for l in json.loads(self.lib.fake_launch_log_json()):
            types = [p["type"] for p in l["params"]]
            values = []
            for p in l["params"]:
                if p["type"] == "f32":
                    values.append(struct.unpack("<f", struct.pack("<I", p["bits"] & 0xFFFFFFFF))[0])
                elif p["type"] in ("s32",):
                    values.append(struct.unpack("<i", struct.pack("<I", p["bits"] & 0xFFFFFFFF))[0])
                else:
                    values.append(p["bits"])
            out.append({"kernel": l["kernel"], "grid": tuple(l["grid"]), "block": tuple(l["block"]),
                        "shared": l["shared"], "cluster": tuple(l["cluster"]), "types": types, "params": values})
        return out

    def stat(self, name):
        v = self.lib.fake_stat(name.encode())
        if v < 0:
            raise KeyError(name)
        return v

    live_allocations = property(lambda self: self.stat("live_allocations"))
    live_bytes = property(lambda self: self.stat("live_bytes"))
    live_contexts = property(lambda self: self.stat("live_contexts"))
    live_modules = property(lambda self: self.stat("live_modules"))
    live_streams = property(lambda self: self.stat("live_streams"))
    bounds_violations = property(lambda self: self.stat("bounds_violations"))
    bad_frees = property(lambda self: self.stat("bad_frees"))
    live_pinned = property(lambda self: self.stat("live_pinned"))
    live_events = property(lambda self: self.stat("live_events"))
    hazards = property(lambda self: self.stat("hazards"))
    pending_ops = property(lambda self: self.stat("pending_ops"))
    live_primary_objects = property(lambda self: self.stat("live_primary_objects"))

    def allocation_size(self, addr):
        v = self.lib.fake_allocation_size(addr)
        return None if v < 0 else v

    def function_handle(self, name):
        return self.lib.fake_function_handle(name.encode()) or 0

    def read_f32(self, addr, n):
        p = self.lib.fake_host_pointer(addr, 4 * n)
        if not p:
            raise ValueError("not inside a live allocation")
        return list((ctypes.c_float * n).from_address(p))

    def write_f32(self, addr, values):
        values = list(values)
        p = self.lib.fake_host_pointer(addr, 4 * len(values))
        if not p:
            raise ValueError("not inside a live allocation")
        (ctypes.c_float * len(values)).from_address(p)[:] = values

    def assert_no_leaks(self, contexts=0, modules=0):
        """No live allocation, bad free or out-of-bounds access; contexts and modules as given."""
        state = {k: self.stat(k) for k in ("live_allocations", "bad_frees", "bounds_violations")}
        leaks = {k: v for k, v in state.items() if v}
        if self.live_contexts != contexts:
            leaks["live_contexts"] = self.live_contexts
        if self.live_modules != modules:
            leaks["live_modules"] = self.live_modules
        assert not leaks, f"stand-in driver reports {leaks}"
