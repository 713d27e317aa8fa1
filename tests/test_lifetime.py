"""Leaks and lifetimes: very many calls on success and error paths keep memory flat and leave
reference counts alone; resident objects alive at interpreter exit do not crash it; calls from
several Python threads at once give the same results as calls from one."""

from __future__ import annotations

import gc
import json
import os
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import cpu_refs as ref
import fakecuda

F32 = np.float32
SANITIZED = os.environ.get("VANT_SANITIZED") == "1"
# Under the sanitizers memory is quarantined and every call is slower: fewer calls, no RSS bound.
SCALE = 20 if SANITIZED else 1
CHEAP = 100_000 // SCALE       # calls per CPU-side function
PROBING = 10_000 // SCALE      # calls that look for a driver each time (a library search per call)
RSS_SLACK = 4 * 1024 * 1024

no_driver = pytest.mark.skipif(fakecuda.real_driver_present(), reason="a CUDA driver library is present")
standin = pytest.mark.skipif(fakecuda.real_driver_present(), reason="a real driver would be found first")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def expect(exc_name, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except BaseException as e:  # PanicException derives from BaseException
        if type(e).__name__ != exc_name:
            raise
        return
    raise AssertionError(f"{fn} did not raise {exc_name}")


def quiet_fds():
    """info() writes its banner to file descriptor 1 and every internal fault a line to 2:
    100,000 of them go to /dev/null."""
    saved = [os.dup(1), os.dup(2)]
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.dup2(null, 2)
    os.close(null)

    def restore():
        for fd, copy in zip((1, 2), saved):
            os.dup2(copy, fd)
            os.close(copy)

    return restore


def flat(label, n, call, args):
    """Runs call() n times after a warm-up; memory and the arguments' reference counts stay put."""
    for _ in range(min(n, 2000)):
        call()
    gc.collect()
    refs = [sys.getrefcount(x) for x in args]
    start = rss_bytes()
    began = time.perf_counter()
    for _ in range(n):
        call()
    elapsed = time.perf_counter() - began
    gc.collect()
    grown = rss_bytes() - start
    assert [sys.getrefcount(x) for x in args] == refs, f"{label}: reference counts changed"
    if not SANITIZED:
        assert grown < RSS_SLACK, f"{label}: resident memory grew by {grown} bytes over {n} calls"
    return elapsed


def cpu_cases(vb):
    a = np.arange(4, dtype=F32).reshape(2, 2)
    f = np.asfortranarray(a)
    t3 = a.reshape(1, 2, 2)
    wrong = np.ones((3, 3), F32)
    tiny = np.ones((1, 1, 1), F32)
    s = vb.VantBLAS()
    m = vb.VantBLASModel()
    args = [a, f, t3, wrong, tiny, s, m]
    cases = {
        "gemm_batched": lambda: vb.gemm_batched(t3, t3),
        "gemm_batched/panic": lambda: expect("PanicException", vb.gemm_batched, t3, tiny),
        "gemm/shape": lambda: expect("RuntimeError", vb.gemm, a, wrong),
        "gemm/type": lambda: expect("TypeError", vb.gemm, a, [1.0]),
        "matmul/binding": lambda: expect("TypeError", vb.matmul, a, a, a),
        "gemm_chain/type": lambda: expect("TypeError", vb.gemm_chain, a, a, None),
        "attention": lambda: vb.attention(t3, t3, t3),
        "fused_attention": lambda: vb.fused_attention(t3, t3, t3, scale=0.5),
        "attention/panic": lambda: expect("PanicException", vb.attention, t3, tiny, t3),
        "attention/scale": lambda: expect("TypeError", vb.fused_attention, t3, t3, t3, "x"),
        "fused_linear_gelu": lambda: vb.fused_linear_gelu(f, a, bias=a),
        "fused_linear_gelu/panic": lambda: expect("PanicException", vb.fused_linear_gelu, wrong, a),
        "fused_rmsnorm": lambda: vb.fused_rmsnorm(f, a, 1e-5),
        "fused_rmsnorm/eps": lambda: expect("TypeError", vb.fused_rmsnorm, a, a, eps=[1]),
        "benchmark": lambda: vb.benchmark("gemm_fp32", 4096),
        "benchmark/unknown": lambda: expect("RuntimeError", vb.benchmark, "GEMM"),
        "benchmark/size": lambda: expect("OverflowError", vb.benchmark, size=-1),
        "get_device_info": lambda: vb.get_device_info(),
        "info": lambda: vb.info(),
        "info/args": lambda: expect("TypeError", vb.info, 1),
        "VantBLAS": lambda: vb.VantBLAS("fp32", kernel="wmma").info(),
        "VantBLAS.set_precision": lambda: s.set_precision("int8"),
        "VantBLAS.get_kernel": lambda: s.get_kernel(),
        "VantBLAS.set_kernel/type": lambda: expect("TypeError", s.set_kernel, None),
        "VantTensor/device": lambda: expect("RuntimeError", vb.VantTensor, a, "cpu"),
        "VantTensor/type": lambda: expect("TypeError", vb.VantTensor, [1.0]),
        "VantBLASModel": lambda: vb.VantBLASModel(),
        "VantBLASModel.forward/no weights": lambda: expect("RuntimeError", m.forward, a),
        "VantBLASModel.forward_batch/type": lambda: expect("TypeError", m.forward_batch, None),
        "VantBLASModel.set_weights/shape": lambda: expect("RuntimeError", m.set_weights, a, wrong),
    }
    return cases, args


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_cpu_side_calls_keep_memory_flat(vb, capsys):
    cases, args = cpu_cases(vb)
    times = {}
    restore = quiet_fds()
    try:
        for label, call in cases.items():
            times[label] = flat(label, CHEAP, call, args)
    finally:
        restore()
    with capsys.disabled():
        print(f"\n{CHEAP} calls each of {len(cases)} CPU-side cases: {sum(times.values()):.1f} s "
              f"(slowest {max(times, key=times.get)} {max(times.values()):.1f} s)")


@no_driver
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_calls_that_look_for_a_driver_keep_memory_flat(vb, capsys):
    # Without a driver every GPU attempt searches for the library again: no state may pile up.
    a = np.arange(4, dtype=F32).reshape(2, 2)
    m = vb.VantBLASModel()
    args = [a, m]
    cases = {
        "gemm": lambda: vb.gemm(a, a),
        "matmul": lambda: vb.matmul(a, a),
        "matmul_fp16": lambda: vb.matmul_fp16(a, a),
        "gemm_fp16": lambda: vb.gemm_fp16(a=a, b=a),
        "gemm_chain": lambda: expect("RuntimeError", vb.gemm_chain, a, a, a),
        "is_cuda_available": lambda: vb.is_cuda_available(),
        "VantTensor": lambda: expect("RuntimeError", vb.VantTensor, a),
        "VantBLASModel.set_weights": lambda: expect("RuntimeError", m.set_weights, a, a),
    }
    times = {label: flat(label, PROBING, call, args) for label, call in cases.items()}
    with capsys.disabled():
        print(f"\n{PROBING} calls each of {len(cases)} driver-probing cases: {sum(times.values()):.1f} s")


GPU_LOOP = r'''
import gc, time
import numpy as np
import _vantblas as vb
F32 = np.float32
N = %(n)d
SANITIZED = %(sanitized)r

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

a = np.arange(16 * 16, dtype=F32).reshape(16, 16) / 64
c = np.arange(6, dtype=F32).reshape(2, 3)
d = np.arange(12, dtype=F32).reshape(3, 4)
wrong = np.ones((5, 5), F32)
ta, tc, td = vb.VantTensor(a), vb.VantTensor(c), vb.VantTensor(d)
model = vb.VantBLASModel()
model.set_weights(d, np.ones((4, 2), F32))

def fails(fn, *args):
    try:
        fn(*args)
    except RuntimeError:
        return
    raise AssertionError(f"{fn} did not fail")

cases = {
    "gemm/f16": lambda: vb.gemm(a, a),
    "gemm/f32": lambda: vb.matmul(c, d),
    "gemm_fp16": lambda: vb.gemm_fp16(c, d),
    "gemm_chain": lambda: vb.gemm_chain(a, a, a),
    "gemm_chain/mismatch": lambda: fails(vb.gemm_chain, c, d, wrong),
    "VantTensor": lambda: vb.VantTensor(c),
    "VantTensor.matmul+cpu": lambda: tc.matmul(td).cpu(),
    "VantTensor.matmul/shape": lambda: fails(tc.matmul, tc),
    "VantBLASModel.set_weights": lambda: model.set_weights(d, np.ones((4, 2), F32)),
    "VantBLASModel.forward": lambda: model.forward(c),
    "VantBLASModel.forward/shape": lambda: fails(model.forward, d),
}
args = [a, c, d, wrong, ta, tc, td, model]
out = {}
expected_live = fake.live_allocations
for label, call in cases.items():
    for _ in range(200):
        call()
    fake.clear_logs()  # the stand-in logs every call; its own log must not count as growth
    gc.collect()
    refs = [sys.getrefcount(x) for x in args]
    start = rss()
    began = time.perf_counter()
    for i in range(N):
        call()
        if i %% 1000 == 999:
            fake.clear_logs()
    elapsed = time.perf_counter() - began
    fake.clear_logs()
    gc.collect()
    out[label] = {"grown": rss() - start, "seconds": elapsed, "refs": refs == [sys.getrefcount(x) for x in args],
                  "live": fake.live_allocations - expected_live}
print("LOOP " + json.dumps(out))
'''


@standin
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_gpu_operations_on_the_stand_in_keep_memory_flat(capsys):
    n = 100_000 // SCALE
    r = fakecuda.run(GPU_LOOP % {"n": n, "sanitized": SANITIZED}, timeout=1800)
    r.check()
    out = json.loads([ln for ln in r.lines if ln.startswith("LOOP ")][-1][5:])
    for label, o in out.items():
        assert o["refs"], f"{label}: reference counts changed"
        assert o["live"] == 0, f"{label}: {o['live']} device allocations left behind"
        if not SANITIZED:
            assert o["grown"] < RSS_SLACK, f"{label}: resident memory grew by {o['grown']} bytes"
    with capsys.disabled():
        print(f"\n{n} stand-in calls each of {len(out)} GPU cases: {sum(o['seconds'] for o in out.values()):.1f} s")


# ---- objects alive at interpreter exit --------------------------------------------------------

EXIT_CASES = {
    "globals": """
        keep = [vb.VantTensor(a) for _ in range(3)]
        m = vb.VantBLASModel(); m.set_weights(a, a)
        product = keep[0].matmul(keep[1])
    """,
    "cycle": """
        class Holder:
            pass
        h = Holder(); h.self = h; h.t = vb.VantTensor(a); h.m = vb.VantBLASModel(); h.m.set_weights(a, a)
        del h
    """,
    "atexit": """
        import atexit
        t = vb.VantTensor(a)
        atexit.register(lambda: print("at exit", t.matmul(t).cpu().sum()))
    """,
    "daemon thread busy": """
        import threading
        t = vb.VantTensor(a)
        def spin():
            while True:
                t.matmul(t).cpu(); vb.gemm(a, a)
        threading.Thread(target=spin, daemon=True).start()
        import time; time.sleep(0.2)
    """,
    "sys.exit": """
        t = vb.VantTensor(a)
        m = vb.VantBLASModel(); m.set_weights(a, a)
        sys.exit(0)
    """,
    "module deleted": """
        t = vb.VantTensor(a)
        del sys.modules["_vantblas"]
        del vb
    """,
}


@standin
@pytest.mark.parametrize("case", list(EXIT_CASES))
def test_resident_objects_alive_at_exit_do_not_crash(case):
    code = "import numpy as np\nimport _vantblas as vb\na = np.eye(4, dtype=np.float32)\n"
    r = fakecuda.run(code + textwrap.dedent(EXIT_CASES[case]), timeout=120)
    assert r.returncode == 0, f"exit status {r.returncode}\n{r.stderr[-3000:]}"
    assert "Fatal Python error" not in r.stderr and "Traceback" not in r.stderr, r.stderr[-3000:]


@no_driver
def test_objects_alive_at_exit_without_a_driver():
    code = textwrap.dedent("""
        import numpy as np, _vantblas as vb
        m = vb.VantBLASModel()
        s = vb.VantBLAS("fp32")
        try:
            vb.VantTensor(np.ones((2, 2), np.float32))
        except RuntimeError as e:
            err = e  # the exception and its traceback live to the end
        cycle = [m, s]; cycle.append(cycle)
    """)
    r = fakecuda.run(code, driver=False, timeout=120)
    assert r.returncode == 0, r.stderr[-3000:]


# ---- several threads at once ------------------------------------------------------------------

def run_threads(n, work):
    errors, results = [], {}
    barrier = threading.Barrier(n)

    def body(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except BaseException as e:  # noqa: BLE001
            errors.append(repr(e))

    threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    return results


@no_driver
def test_cpu_operations_from_several_threads_match_single_threaded_results(vb):
    rng = np.random.default_rng(5)
    inputs = []
    for i in range(6):
        a = rng.standard_normal((9 + i, 33)).astype(F32)
        b = rng.standard_normal((33, 7 + i)).astype(F32)
        q = rng.standard_normal((2, 5 + i, 4)).astype(F32)
        # Large enough to be split across the CPU thread pool, which the callers then share.
        big_a = rng.standard_normal((64 + i, 300)).astype(F32)
        big_b = np.asfortranarray(rng.standard_normal((300, 72)).astype(F32))
        inputs.append((a, b, q, big_a, big_b))
    expected = [(ref.gemm(a, b), ref.attention(q, q, q, F32(1) / np.sqrt(F32(4))),
                 ref.rmsnorm(a, np.ones((1, 33), F32), F32(1e-6)), ref.gemm_batched(q, q.transpose(0, 2, 1)),
                 ref.gemm(big_a, big_b))
                for a, b, q, big_a, big_b in inputs]

    def work(i):
        a, b, q, big_a, big_b = inputs[i]
        for _ in range(30 // SCALE + 1):
            got = (vb.gemm(a, b), vb.attention(q, q, q), vb.fused_rmsnorm(a, np.ones((1, 33), F32)),
                   vb.gemm_batched(q, q.transpose(0, 2, 1)), vb.gemm(big_a, big_b))
            for g, e in zip(got, expected[i]):
                assert ref.same_bits(g, e), ref.mismatch(g, e)
        return True

    assert len(run_threads(6, work)) == 6


THREADS = r'''
import threading
import numpy as np
import _vantblas as vb
F32 = np.float32
rng = np.random.default_rng(3)
jobs = []
for i in range(6):
    a = rng.standard_normal((16, 32)).astype(F32)
    b = rng.standard_normal((32, 16 + (i % 2))).astype(F32)
    w = rng.standard_normal((16 + (i % 2), 8)).astype(F32)
    jobs.append((a, b, w))
barrier = threading.Barrier(6)
errors, done = [], []

def close(x, y, tol):
    return x.shape == y.shape and bool(np.all(np.abs(x - y) <= tol * (1 + np.abs(y))))

def work(i):
    try:
        a, b, w = jobs[i]
        ab = a.astype(np.float64) @ b
        barrier.wait()
        for _ in range(25):
            assert close(vb.gemm(a, b), ab, 2e-2), "gemm"
            assert close(vb.gemm_chain(a, b, w), ab @ w, 5e-2), "gemm_chain"
            ta, tb = vb.VantTensor(a), vb.VantTensor(b)
            assert close(ta.matmul(tb).cpu(), ab, 1e-4), "VantTensor"
            m = vb.VantBLASModel()
            m.set_weights(b, w)
            assert close(m.forward(a), ab @ w, 1e-4), "forward"
        done.append(i)
    except BaseException as e:
        errors.append(f"thread {i}: {e!r}")

threads = [threading.Thread(target=work, args=(i,)) for i in range(6)]
for t in threads:
    t.start()
for t in threads:
    t.join()
import gc; gc.collect()
print("THREADS " + json.dumps({"errors": errors, "done": len(done), "live": fake.live_allocations,
                               "bad_frees": fake.bad_frees, "bounds": fake.bounds_violations}))
'''


@standin
def test_gpu_operations_from_several_threads_are_correct_and_leave_nothing_behind():
    r = fakecuda.run(THREADS, timeout=600)
    r.check()
    out = json.loads([ln for ln in r.lines if ln.startswith("THREADS ")][-1][8:])
    assert not out["errors"], out["errors"]
    assert out["done"] == 6
    assert out["live"] == 0 and out["bad_frees"] == 0 and out["bounds"] == 0, out
