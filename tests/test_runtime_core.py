"""The CUDA core on the stand-in driver: its progress lines, caching, failure at every step of the
build (message, nothing cached, nothing leaked, a retry succeeds), status texts and error display."""

from __future__ import annotations

import re

import pytest

import fakecuda

NAMES = ["matmul", "softmax", "adamw", "one_hot", "one_hot_chunk", "cross_entropy_backward", "reduce_sum",
         "embedding", "transpose"]
ENTRIES = ["matmul_kernel", "softmax_kernel", "adamw_kernel", "one_hot_kernel", "one_hot_chunk_kernel",
           "cross_entropy_backward_kernel", "reduce_sum_kernel", "embedding_kernel", "transpose_2d_kernel"]
NOTES = {
    "matmul": ["[CUDA] rmsnorm SKIPPED (not used in basic training)"],
    "softmax": ["[CUDA] softmax_backward SKIPPED (using fused cross_entropy_backward)"],
    "cross_entropy_backward": ["[CUDA] matmul_fp16 SKIPPED (FP32 training)"],
    "reduce_sum": ["[CUDA] matmul_wmma SKIPPED (JIT issue)", "[CUDA] matmul_bias_gelu SKIPPED (JIT issue)"],
    "transpose": ["[CUDA] batch_matmul SKIPPED (for attention only)",
                  "[CUDA] batch_softmax SKIPPED (for attention only)"],
}


def expected_lines(handles):
    lines = ["[CUDA] Context created, loading ESSENTIAL modules only..."]
    for name, handle in zip(NAMES, handles):
        lines.append(f"[CUDA] {name} module loaded OK")
        lines.append(f"[CUDA] {name} function resolved OK: {handle}")
        lines += NOTES.get(name, [])
    return lines


def test_build_prints_the_26_lines_in_order_on_fd_1_once():
    r = fakecuda.run("""
        import io
        import _vantblas_testhooks as h
        sys.stdout = io.StringIO()  # the lines must bypass Python's sys.stdout
        core = h.get_cuda_core(0)
        again = h.get_cuda_core(0)
        sys.stdout = sys.__stdout__
        assert again == core
        assert core["device_id"] == 0 and core["context"] and core["stream"]
        handles = [fake.function_handle(e) for e in %r]
        assert core["functions"] == handles
        print(json.dumps([hex(h) for h in handles]))
        fake.assert_no_leaks(contexts=1, modules=9)
        assert fake.stat("live_streams") == 1
    """ % ENTRIES, hooks=True)
    r.check()
    *lines, handles = r.lines
    assert len(lines) == 26
    assert lines == expected_lines(__import__("json").loads(handles))
    assert all(re.fullmatch(r"0x[0-9a-f]+", h) for h in __import__("json").loads(handles))


def test_ordinal_other_than_zero_is_refused_without_any_driver_call():
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        for ordinal in (1, 2**64 - 1):
            try:
                h.get_cuda_core(ordinal)
                raise SystemExit("accepted")
            except RuntimeError as e:
                assert str(e) == f"Only device 0 supported for now, got device_id {ordinal}", str(e)
        assert fake.call_log() == []
    """, hooks=True)
    r.check()
    assert r.stdout == ""


# (entry, nth call, status, message); the module loads and lookups are numbered in kernel order.
STEPS = [
    ("cuInit", 1, 100, "cuInit failed: cuInit failed with error: 100"),
    ("cuDeviceGet", 1, 101, "cuDeviceGet failed: invalid device ordinal"),
    ("cuDevicePrimaryCtxRetain", 1, 2, "cuDevicePrimaryCtxRetain failed: out of memory"),
    ("cuCtxPushCurrent", 1, 201, "cuCtxPushCurrent failed: invalid device context"),
    *[("cuModuleLoadData", i + 1, 218, f"Failed to load {n} module: a PTX JIT compilation failed")
      for i, n in enumerate(NAMES)],
    *[("cuModuleGetFunction", i + 1, 500, f"Failed to get {n} function: named symbol not found")
      for i, n in enumerate(NAMES)],
    ("cuStreamCreate", 1, 2, "cuStreamCreate failed: out of memory"),
]


def lines_before_failure(entry, nth):
    """The progress lines a build prints before failing at this step (handles as a pattern)."""
    lines = expected_lines(["0x[0-9a-f]+"] * 9)
    if entry in ("cuInit", "cuDeviceGet", "cuDevicePrimaryCtxRetain", "cuCtxPushCurrent"):
        return []
    if entry == "cuStreamCreate":
        return lines
    name = NAMES[nth - 1]
    cut = lines.index(f"[CUDA] {name} module loaded OK")
    return lines[:cut + (1 if entry == "cuModuleGetFunction" else 0)]


@pytest.mark.parametrize("entry,nth,status,message", STEPS, ids=[f"{s[0]}-{s[1]}" for s in STEPS])
def test_failed_build_reports_caches_nothing_leaks_nothing_and_retries(entry, nth, status, message):
    r = fakecuda.run(f"""
        import _vantblas_testhooks as h
        fake.fail({entry!r}, {nth}, {status})
        try:
            h.get_cuda_core(0)
            raise SystemExit("the injected failure was not reported")
        except RuntimeError as e:
            assert str(e) == {message!r}, str(e)
        assert not h.core_built()
        fake.assert_no_leaks(contexts=0, modules=0)
        assert fake.stat("live_streams") == 0
        print("--- retry")
        core = h.get_cuda_core(0)
        assert h.core_built()
        fake.assert_no_leaks(contexts=1, modules=9)
    """, hooks=True)
    r.check()
    failed, retried = r.stdout.split("--- retry\n")
    failed_lines = failed.splitlines()
    pattern = lines_before_failure(entry, nth)
    assert len(failed_lines) == len(pattern)
    for line, pat in zip(failed_lines, pattern):
        assert re.fullmatch(re.escape(pat).replace(re.escape("0x[0-9a-f]+"), "0x[0-9a-f]+"), line), line
    assert len(retried.splitlines()) == 26


OLD_DEVICE = "Compute capability {} is not supported: the CUDA kernels need 7.5 or later"


@pytest.mark.parametrize("cc, first", [((7, 0), "gemm"), ((6, 1), "is_cuda_available")])
def test_device_below_7_5_is_unavailable_for_the_whole_process(cc, first):
    # The modules target sm_75: such a device gets no context at all, and the verdict is kept,
    # whichever call reaches the driver first. GEMMs compute on the CPU, the rest raise.
    r = fakecuda.run(f"""
        import numpy as np
        import _vantblas as vb
        import cpu_refs
        a = np.random.default_rng(1).standard_normal((16, 32)).astype(np.float32)
        b = np.random.default_rng(2).standard_normal((32, 16)).astype(np.float32)
        def error_of(fn, *args):
            try:
                fn(*args)
            except RuntimeError as e:
                return str(e)
        first = {first!r}
        if first == "is_cuda_available":
            assert vb.is_cuda_available() is False
        assert np.array_equal(vb.gemm(a, b), cpu_refs.gemm(a, b))
        assert fake.calls("cuDeviceGetAttribute") == 2 and fake.calls("cuDevicePrimaryCtxRetain") == 0
        fake.clear_logs()
        for _ in range(2):
            assert vb.is_cuda_available() is False
            for fn in (vb.gemm, vb.matmul, vb.gemm_fp16, vb.matmul_fp16):
                assert np.array_equal(fn(a, b), cpu_refs.gemm(a, b))
            assert error_of(vb.gemm_chain, a, b, b) == ("gemm_chain requires CUDA. Please use two separate "
                                                        "gemm() calls for CPU fallback.")
            core = "Failed to get CUDA core: " + {OLD_DEVICE.format(f"{cc[0]}.{cc[1]}")!r}
            assert error_of(vb.VantTensor, a) == core
            assert error_of(vb.VantBLASModel().set_weights, b, a) == core
        assert fake.call_log() == [], fake.call_log()  # decided once: no driver call after that
        assert fake.stat("primary_retains") == 0 and fake.stat("modules_loaded") == 0
    """, cc=cc)
    r.check()
    assert r.stdout == ""  # no "[CUDA] Context created" line, no kernel-set lines


def test_capability_that_cannot_be_read_is_not_remembered():
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        fake.fail("cuDeviceGetAttribute", 0, 2)
        for _ in range(2):
            assert h.cuda_usable() is False
            try:
                h.get_cuda_core(0)
                raise SystemExit("built")
            except RuntimeError as e:
                assert str(e) == "cuDeviceGetAttribute failed: out of memory", str(e)
        fake.clear_failures()
        assert h.cuda_usable() is True
        h.get_cuda_core(0)
        assert fake.stat("primary_retains") == 1
    """, hooks=True, cc=(7, 5))
    r.check()
    assert len(r.lines) == 26


def test_turing_device_loads_every_training_module():
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        h.get_cuda_core(0)
    """, hooks=True, cc=(7, 5))
    r.check()
    assert len(r.lines) == 26


def test_cuda_usable_reflects_driver_and_devices_without_side_effects():
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        assert h.cuda_usable() is True
        assert fake.stat("primary_retains") == 0 and fake.stat("modules_loaded") == 0
        assert not h.core_built()
        fake.fail("cuDeviceGetCount", 0, 3)
        assert h.cuda_usable() is False
        fake.clear_failures()
        fake.set_device_count(0)
        assert h.cuda_usable() is False
    """, hooks=True)
    r.check()
    assert r.stdout == ""
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        assert h.cuda_usable() is False
        try:
            h.get_cuda_core(0)
        except RuntimeError as e:
            assert str(e) == "cuInit failed: cuInit failed with error: 100", str(e)
    """, hooks=True, devices=0)
    r.check()


def test_concurrent_first_use_builds_one_core():
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        assert h.get_cuda_core_concurrently(8) == (1, 0)
        assert fake.stat("primary_retains") == 1
        fake.assert_no_leaks(contexts=1, modules=9)
    """, hooks=True)
    r.check()
    assert len(r.lines) == 26


def test_buffer_dropped_on_another_thread_is_freed():
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        buf = h.upload(bytes(16))
        h.release_on_thread(buf)
        fake.assert_no_leaks(contexts=1, modules=9)
    """, hooks=True)
    r.check()


def test_status_texts_and_error_display():
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        assert h.cuda_status_text(2) == "out of memory"
        assert h.cuda_status_text(700) == "an illegal memory access was encountered"
        assert h.cuda_status_text(12345) == "Unknown CUDA error: 12345"
        assert h.cuda_status_text(-1) == "Unknown CUDA error: -1"
        assert h.check_status(0) is None
        assert h.check_status(1) == "invalid argument"
        # Bytes that are not UTF-8 become U+FFFD, one per maximal invalid sequence.
        fake.set_error_text(999, b"bad \\xff byte \\xed\\xa0\\x80 cut \\xe2\\x82")
        assert h.cuda_status_text(999) == "bad \\ufffd byte \\ufffd\\ufffd\\ufffd cut \\ufffd", h.cuda_status_text(999)
        fake.set_error_text(998, "caf\\u00e9 \\u2713 \\U0001F600".encode())
        assert h.cuda_status_text(998) == "caf\\u00e9 \\u2713 \\U0001F600"
        assert h.cuda_error_display("DriverStatus", 700) == "CUDA error: 700"
        assert h.cuda_error_display("DriverStatus", -3) == "CUDA error: -3"
        assert h.cuda_error_display("InvalidDimensions", "M is 0") == "Invalid dimensions: M is 0"
        assert h.cuda_error_display("LaunchFailed", "no kernel") == "Kernel launch failed: no kernel"
    """, hooks=True)
    r.check()
