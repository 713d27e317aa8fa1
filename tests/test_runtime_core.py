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
    ("cuCtxCreate", 1, 2, "cuCtxCreate failed: out of memory"),
    ("cuCtxSetCurrent", 1, 201, "cuCtxSetCurrent failed: invalid device context"),
    *[("cuModuleLoadData", i + 1, 218, f"Failed to load {n} module: a PTX JIT compilation failed")
      for i, n in enumerate(NAMES)],
    *[("cuModuleGetFunction", i + 1, 500, f"Failed to get {n} function: named symbol not found")
      for i, n in enumerate(NAMES)],
    ("cuStreamCreate", 1, 2, "cuStreamCreate failed: out of memory"),
]


def lines_before_failure(entry, nth):
    """The progress lines a build prints before failing at this step (handles as a pattern)."""
    lines = expected_lines(["0x[0-9a-f]+"] * 9)
    if entry in ("cuInit", "cuDeviceGet", "cuCtxCreate", "cuCtxSetCurrent"):
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


def test_device_that_cannot_load_the_modules_fails_every_time_without_leaking():
    # Compute capability 7.0 is below the modules' sm_75 target.
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        for _ in range(3):
            try:
                h.get_cuda_core(0)
                raise SystemExit("built")
            except RuntimeError as e:
                assert str(e) == ("Failed to load matmul module: "
                                  "no kernel image is available for execution on the device"), str(e)
        assert fake.stat("contexts_created") == 3
        fake.assert_no_leaks(contexts=0, modules=0)
        assert h.cuda_usable()  # the driver and device are there; only the modules do not fit
    """, hooks=True, cc=(7, 0))
    r.check()
    assert r.lines == ["[CUDA] Context created, loading ESSENTIAL modules only..."] * 3


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
        assert fake.stat("contexts_created") == 0 and fake.stat("modules_loaded") == 0
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
        assert fake.stat("contexts_created") == 1
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
