"""Run-time loading of the driver: a missing driver, a driver installed later, the versions each
entry point is resolved at, and entry points an older driver lacks."""

from __future__ import annotations

import json
import shutil
import subprocess

import pytest

import fakecuda

pytestmark = pytest.mark.skipif(fakecuda.real_driver_present(),
                                reason="a real libcuda.so.1 would be found before any stand-in")

NO_DRIVER = "cuInit failed: cuInit failed with error: 801"


def test_without_driver_every_call_fails_with_801_and_nothing_is_printed():
    r = fakecuda.run(f"""
        import _vantblas_testhooks as h
        for _ in range(3):
            try:
                h.get_cuda_core(0)
                raise SystemExit("core built without a driver")
            except RuntimeError as e:
                assert str(e) == {NO_DRIVER!r}, str(e)
        assert not h.core_built()
        assert h.cuda_usable() is False
        for entry in ("cuInit", "cuDeviceGetCount", "cuLaunchKernel", "cuGetErrorString"):
            assert h.driver_status(entry) == 801, entry
        assert h.driver_status("ensure_loaded") == -1
        # cuGetErrorString itself is missing, so every text is the fallback form.
        assert h.cuda_status_text(2) == "Unknown CUDA error: 2"
        assert h.check_status(801) == "Unknown CUDA error: 801"
        try:
            h.upload(bytes(24))
        except RuntimeError as e:
            assert str(e) == "Failed to get CUDA core: " + {NO_DRIVER!r}, str(e)
    """, driver=False, hooks=True)
    r.check()
    assert r.stdout == ""


def test_driver_installed_after_a_failed_load_is_picked_up(tmp_path):
    # The search folder exists but is empty at first; the stand-in is copied in after the first
    # failure, as if the driver had been installed while the process ran.
    r = fakecuda.run(f"""
        import shutil
        import _vantblas_testhooks as h
        try:
            h.get_cuda_core(0)
        except RuntimeError as e:
            assert str(e) == {NO_DRIVER!r}
        shutil.copy({str(fakecuda.library_path())!r}, {str(tmp_path)!r} + "/libcuda.so.1")
        assert h.cuda_usable() is True
        core = h.get_cuda_core(0)
        assert len(core["functions"]) == 9
    """, driver=False, driver_dir=tmp_path, hooks=True)
    r.check()
    assert len(r.lines) == 26


def test_a_remembered_failed_search_still_sees_each_way_a_driver_can_appear(tmp_path):
    # Repeated failures are answered from a watch on the searched folders instead of a new
    # search; a file renamed into place, seen first by a forked child, is noticed by the child's
    # next call and by the parent's. (A search folder that did not exist at the first search is
    # never searched again by the C library's loader, so that case has nothing to notice.)
    later = tmp_path / "lib"
    later.mkdir()
    r = fakecuda.run(f"""
        import os, shutil
        import _vantblas_testhooks as h
        for _ in range(3):
            assert h.cuda_usable() is False
        pid = os.fork()
        if pid == 0:
            shutil.copy({str(fakecuda.library_path())!r}, {str(later)!r} + "/staged")
            os.rename({str(later)!r} + "/staged", {str(later)!r} + "/libcuda.so.1")
            os._exit(0 if h.cuda_usable() is True else 3)
        assert os.waitpid(pid, 0)[1] == 0
        assert h.cuda_usable() is True
        assert len(h.get_cuda_core(0)["functions"]) == 9
    """, driver=False, driver_dir=later, hooks=True)
    r.check()


# How a driver can become loadable while a failed search is remembered: the search path (as
# LD_LIBRARY_PATH, relative to tmp), what the child does, and whether the very next call must
# find it (else the call after a 100 ms pause must).
APPEARS = {
    "path list split on ';'": ("empty;later", "shutil.copy(LIB, T + '/later/libcuda.so.1')", True),
    "symlinked folder re-pointed": ("link", "os.symlink(T + '/full', T + '/new'); os.replace(T + '/new', T + '/link')",
                                    False),
    "ancestor swapped by rename": ("top/lib", "os.rename(T + '/top', T + '/old'); os.rename(T + '/top2', T + '/top')",
                                   False),
    "bind mount over a searched folder": ("empty", "bind(T + '/full', T + '/empty')", False),
    "loaded by absolute path": ("empty", "ctypes.CDLL(T + '/full/libcuda.so.1')", True),
}

CHILD_PRELUDE = """
    import ctypes, shutil, time
    T, LIB = {tmp!r}, {lib!r}
    libc = ctypes.CDLL(None, use_errno=True)

    def bind(src, dst):
        libc.mount(src.encode(), dst.encode(), None, 4096, None)  # MS_BIND
        assert os.path.exists(dst + "/libcuda.so.1")

    if {mount!r}:  # a mount namespace of our own (as root, else as a user namespace's root)
        if libc.unshare(0x20000) != 0 and libc.unshare(0x10000000 | 0x20000) != 0:
            print("no mount namespace"); sys.exit(0)
        if libc.mount(None, b"/", None, 0x4000 | 0x40000, None) != 0:  # MS_REC | MS_PRIVATE
            print("no mount namespace"); sys.exit(0)
    import _vantblas as vb
"""


@pytest.mark.parametrize("case", list(APPEARS))
def test_a_driver_that_becomes_loadable_is_found_within_100_ms(tmp_path, case):
    search, change, at_once = APPEARS[case]
    lib = str(fakecuda.library_path())
    for d in ("empty", "later", "full", "top/lib", "top2/lib"):
        (tmp_path / d).mkdir(parents=True)
    shutil.copy(lib, tmp_path / "full" / "libcuda.so.1")
    shutil.copy(lib, tmp_path / "top2" / "lib" / "libcuda.so.1")
    (tmp_path / "link").symlink_to(tmp_path / "empty")
    r = fakecuda.run(CHILD_PRELUDE.format(tmp=str(tmp_path), lib=lib, mount="bind" in change) + f"""
    for _ in range(3):
        assert vb.is_cuda_available() is False
    {change}
    if not {at_once}:
        time.sleep(0.1)
    assert vb.is_cuda_available() is True
    """, driver=False, env={"LD_LIBRARY_PATH": ":".join(f"{tmp_path}/{p}" for p in search.split(":"))
                             .replace(";", f";{tmp_path}/")})
    r.check()
    if r.stdout.strip() == "no mount namespace":
        pytest.skip("mounting is not allowed here")


def test_a_library_that_does_not_load_is_retried_at_most_every_100_ms(tmp_path):
    # A dangling link (left by an uninstalled driver), then a file that is no library: 1,000 calls
    # each ask the loader only as often as the clock allows (LD_DEBUG shows every attempt), with
    # one inotify instance throughout; the driver renamed into place is found by the next call.
    lib = str(fakecuda.library_path())
    shutil.copy(lib, tmp_path / "staged")
    r = fakecuda.run(f"""
        import time
        import _vantblas as vb
        T = {str(tmp_path)!r}

        def inotify_fds():
            fds = []
            for fd in os.listdir("/proc/self/fd"):
                try:
                    if os.readlink("/proc/self/fd/" + fd) == "anon_inode:inotify":
                        fds.append(fd)
                except FileNotFoundError:  # the listing's own descriptor
                    pass
            return fds

        fds = []
        for broken in ("os.symlink('/gone/libcuda.so.550', T + '/libcuda.so.1')",
                       "open(T + '/libcuda.so.1', 'w').write('not a library')"):
            if os.path.lexists(T + "/libcuda.so.1"):
                os.remove(T + "/libcuda.so.1")
            exec(broken)
            assert vb.is_cuda_available() is False
            sys.stderr.write("PHASE START\\n"); sys.stderr.flush()
            start = time.monotonic()
            for _ in range(1000):
                assert vb.is_cuda_available() is False
            sys.stderr.write(f"PHASE END {{time.monotonic() - start}}\\n"); sys.stderr.flush()
            fds.append(inotify_fds())
        assert len(fds[0]) == 1 and fds[0] == fds[1], fds
        os.replace(T + "/staged", T + "/libcuda.so.1")
        assert vb.is_cuda_available() is True
    """, driver=False, driver_dir=tmp_path, env={"LD_DEBUG": "files"})
    r.check()
    phases = r.stderr.split("PHASE START\n")[1:]
    assert len(phases) == 2
    for phase in phases:
        body, _, end = phase.partition("PHASE END ")
        elapsed = float(end.split()[0])
        attempts = body.count("file=libcuda.so.1 ")
        assert attempts <= 2 + elapsed / 0.09, (attempts, elapsed)


def test_library_without_the_resolver_counts_as_no_driver(tmp_path):
    src = tmp_path / "empty.cpp"
    src.write_text('extern "C" int cuInit(unsigned) { return 0; }\n')
    subprocess.run([fakecuda.CXX, "-shared", "-fPIC", "-o", str(tmp_path / "libcuda.so.1"), str(src)], check=True)
    r = fakecuda.run(f"""
        import _vantblas_testhooks as h
        for _ in range(2):
            try:
                h.get_cuda_core(0)
            except RuntimeError as e:
                assert str(e) == {NO_DRIVER!r}, str(e)
        assert h.driver_status("ensure_loaded") == -1
    """, driver=False, driver_dir=tmp_path, hooks=True)
    r.check()


def test_null_bootstrap_entry_counts_as_no_driver_and_is_retried():
    r = fakecuda.run(f"""
        import _vantblas_testhooks as h
        try:
            h.get_cuda_core(0)
        except RuntimeError as e:
            assert str(e) == {NO_DRIVER!r}, str(e)
        assert fake.calls("cuInit") == 0
        assert fake.resolutions() == ["cuGetProcAddress@13000/0"]
        fake.reset()  # the resolver answers again: the next call loads the driver
        assert len(h.get_cuda_core(0)["functions"]) == 9
    """, hooks=True, hide=["cuGetProcAddress"])
    r.check()


def test_entry_points_are_resolved_once_at_their_versions():
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        h.get_cuda_core(0)
        first = fake.resolutions()
        h.cuda_usable(); h.get_cuda_core(0); h.upload(bytes(8))
        assert fake.resolutions() == first, "the driver was resolved again"
        print(json.dumps(first))
    """, hooks=True)
    r.check()
    resolved = json.loads(r.lines[-1])
    assert resolved[0] == "cuGetProcAddress@13000/0"
    versions = dict(item.split("/")[0].split("@") for item in resolved[1:])
    assert all(item.endswith("/0") for item in resolved)
    assert versions == {
        "cuInit": "2000", "cuDeviceGet": "2000", "cuDeviceGetCount": "2000", "cuDeviceGetAttribute": "2000",
        "cuDevicePrimaryCtxRetain": "7000", "cuDevicePrimaryCtxRelease": "11000", "cuCtxGetCurrent": "4000",
        "cuCtxPushCurrent": "4000", "cuCtxPopCurrent": "4000", "cuStreamCreate": "2000",
        "cuStreamSynchronize": "2000", "cuModuleLoadData": "2000", "cuModuleGetFunction": "2000",
        "cuModuleUnload": "2000", "cuMemAlloc": "3020", "cuMemFree": "3020", "cuMemcpyHtoD": "3020",
        "cuMemcpyDtoH": "3020", "cuLaunchKernel": "4000", "cuGetErrorString": "6000",
        # optional: staged transfers (the 64-bit copy forms and the _v2 destroys)
        "cuMemHostAlloc": "2020", "cuMemFreeHost": "2000", "cuMemcpyHtoDAsync": "3020",
        "cuMemcpyDtoHAsync": "3020", "cuStreamDestroy": "4000", "cuStreamWaitEvent": "3020",
        "cuEventCreate": "2000", "cuEventRecord": "2000", "cuEventSynchronize": "2000", "cuEventDestroy": "4000",
        # optional: device arrays of other libraries
        "cuPointerGetAttributes": "7000", "cuMemcpyDtoDAsync": "3020", "cuEventQuery": "2000",
        # optional: the compute capability 9.0 kernel's tensor maps, shared memory attribute, launch
        "cuTensorMapEncodeTiled": "12000", "cuFuncSetAttribute": "9000", "cuLaunchKernelEx": "11060",
    }


def test_missing_entry_point_gives_801_without_reloading():
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        assert h.driver_status("cuLaunchKernel") == 801
        before = len(fake.resolutions())
        assert h.driver_status("cuLaunchKernel") == 801
        assert len(fake.resolutions()) == before
        assert fake.calls("cuLaunchKernel") == 0
        h.get_cuda_core(0)  # everything else still works
    """, hooks=True, hide=["cuLaunchKernel"])
    r.check()
    # A driver without error strings: texts fall back to the numeric form.
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        assert h.cuda_status_text(2) == "Unknown CUDA error: 2"
    """, hooks=True, hide=["cuGetErrorString"])
    r.check()
