"""Device buffers on the stand-in driver: sizes, round trips at 64-bit addresses, every upload and
download message under injected faults, and no allocation left behind on any path."""

from __future__ import annotations

import pytest

import fakecuda


def test_upload_allocates_exact_bytes_and_download_round_trips():
    r = fakecuda.run("""
        import numpy as np
        import _vantblas_testhooks as h
        data = np.arange(6, dtype=np.float32) + 0.5
        buf = h.upload(data.tobytes())
        ptr, n = h.buffer_info(buf)
        assert n == 6 and fake.allocation_size(ptr) == 24
        assert ptr >= 2**32  # addresses keep their upper half through every wrapper
        assert fake.read_f32(ptr, 6) == data.tolist()
        out = np.frombuffer(h.download(buf, 2, 3), dtype=np.float32)
        assert out.tolist() == data.tolist()
        assert h.buffer_info(buf) == (0, 0)  # released by the successful download
        fake.assert_no_leaks(contexts=1, modules=9)
        # download synchronises the core's stream before copying
        log = fake.call_log()
        assert log.index("cuStreamSynchronize") < log.index("cuMemcpyDtoH")
    """, hooks=True)
    r.check()


CORE_FAILS = "Failed to get CUDA core: cuInit failed: cuInit failed with error: 100"


@pytest.mark.parametrize("entry,status,message", [
    ("cuCtxPushCurrent", 201, "Failed to set CUDA context: invalid device context"),
    ("cuMemAlloc", 2, "Failed to allocate CUDA memory: out of memory"),
    ("cuMemcpyHtoD", 1, "Failed to copy data to GPU: invalid argument"),
])
def test_upload_faults_report_and_leave_nothing_allocated(entry, status, message):
    r = fakecuda.run(f"""
        import _vantblas_testhooks as h
        h.get_cuda_core(0)
        fake.fail_next({entry!r}, {status})
        try:
            h.upload(bytes(40))
            raise SystemExit("upload succeeded")
        except RuntimeError as e:
            assert str(e) == {message!r}, str(e)
        fake.assert_no_leaks(contexts=1, modules=9)
        h.release(h.upload(bytes(40)))  # the next upload works
        fake.assert_no_leaks(contexts=1, modules=9)
    """, hooks=True)
    r.check()


def test_upload_when_the_core_cannot_be_built():
    r = fakecuda.run(f"""
        import _vantblas_testhooks as h
        try:
            h.upload(bytes(8))
        except RuntimeError as e:
            assert str(e) == {CORE_FAILS!r}, str(e)
        assert fake.calls("cuMemAlloc") == 0
    """, hooks=True, fail=[("cuInit", 0, 100)])
    r.check()


@pytest.mark.parametrize("entry,status,message", [
    ("cuCtxPushCurrent", 201, "Failed to set CUDA context: invalid device context"),
    ("cuStreamSynchronize", 700, "Failed to synchronize stream: an illegal memory access was encountered"),
    ("cuMemcpyDtoH", 1, "Failed to copy data from GPU: invalid argument"),
])
def test_download_faults_keep_the_buffer_with_its_owner(entry, status, message):
    r = fakecuda.run(f"""
        import _vantblas_testhooks as h
        buf = h.upload(bytes(24))
        fake.fail_next({entry!r}, {status})
        try:
            h.download(buf, 2, 3)
            raise SystemExit("download succeeded")
        except RuntimeError as e:
            assert str(e) == {message!r}, str(e)
        ptr, n = h.buffer_info(buf)
        assert n == 6 and fake.allocation_size(ptr) == 24
        h.release(buf)
        fake.assert_no_leaks(contexts=1, modules=9)
    """, hooks=True)
    r.check()


def test_download_for_another_device_is_refused():
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        buf = h.upload(bytes(24))
        try:
            h.download(buf, 2, 3, 1)
        except RuntimeError as e:
            assert str(e) == "Failed to get CUDA core: Only device 0 supported for now, got device_id 1", str(e)
        assert h.buffer_info(buf)[1] == 6
    """, hooks=True)
    r.check()


def test_download_of_more_than_the_buffer_holds_is_refused():
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        buf = h.upload(bytes(24))
        try:
            h.download(buf, 3, 3)
            raise SystemExit("read past the allocation")
        except RuntimeError as e:
            assert str(e) == "Failed to copy data from GPU: 3 x 3 elements requested from a buffer of 6", str(e)
        assert fake.calls("cuMemcpyDtoH") == 0
    """, hooks=True)
    r.check()


def test_sizes_beyond_32_bit_byte_counts_are_refused_before_the_driver_sees_them():
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        h.get_cuda_core(0)
        try:
            h.upload(bytes(8), 2**30)
            raise SystemExit("accepted 2^30 floats")
        except RuntimeError as e:
            assert str(e) == ("Failed to allocate CUDA memory: 1073741824 elements of 4 bytes exceed "
                              "the 4 GiB limit of a device buffer"), str(e)
        for n, size in ((2**30, 4), (2**31, 2), (2**62, 4), (2**64 - 1, 4)):
            try:
                h.allocate(n, size)
                raise SystemExit(f"accepted {n} x {size}")
            except RuntimeError as e:
                assert str(e) == f"{n} elements of {size} bytes exceed the 4 GiB limit of a device buffer", str(e)
        assert fake.calls("cuMemAlloc") == 0
        # One element fewer fits: the request reaches the driver, which here has too little memory.
        fake.set_memory_limit(1 << 20)
        for n, size in ((2**30 - 1, 4), (2**31 - 1, 2)):
            try:
                h.allocate(n, size)
            except RuntimeError as e:
                assert str(e) == "out of memory", str(e)
        assert fake.calls("cuMemAlloc") == 2
        fake.assert_no_leaks(contexts=1, modules=9)
    """, hooks=True)
    r.check()


def test_zero_elements_are_left_to_the_driver():
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        try:
            h.upload(b"")
            raise SystemExit("accepted")
        except RuntimeError as e:
            assert str(e) == "Failed to allocate CUDA memory: invalid argument", str(e)
        fake.assert_no_leaks(contexts=1, modules=9)
    """, hooks=True)
    r.check()


def test_device_memory_cache_cap_from_the_environment_is_parsed_strictly():
    # Plain decimal digits with surrounding white space are a cap; anything else, negatives
    # included, is one warning line naming the variable and the value, and the 1 GiB default.
    default = 1 << 30
    cases = {"0": 0, " 4096 ": 4096, "\t123\n": 123, "18446744073709551615": 2**64 - 1, "": default,
             "-1": None, "abc": None, "1e9": None, "0x100000": None, "4096 x": None, "4096k": None,
             "+5": None, "1.5": None, "18446744073709551616": None}
    for value, cap in cases.items():
        r = fakecuda.run("""
            import _vantblas_testhooks as h
            print(h.pool_cache_limit(), h.pool_cache_limit())
        """, driver=False, hooks=True, env={"VANTBLAS_POOL_CACHE_BYTES": value})
        r.check()
        assert r.stdout.split() == [str(default if cap is None else cap)] * 2, (value, r.stdout)
        warnings = [line for line in r.stderr.splitlines() if "VANTBLAS_POOL_CACHE_BYTES" in line]
        expected = [f"[VantBLAS] Warning: ignoring VANTBLAS_POOL_CACHE_BYTES='{value}': expected a "
                    "non-negative decimal integer; using the default of 1 GiB"] if cap is None else []
        assert warnings == expected, (value, r.stderr)
