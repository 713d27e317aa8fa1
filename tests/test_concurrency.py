"""Calls that run without the interpreter lock: other Python threads go on, signal handlers still
run about every 50 ms (and may reallocate arguments, start GPU work, raise or fork), and the
thread count follows the environment and the setter without changing any bit of a result."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import cpu_refs as ref
import fakecuda

F32 = np.float32
standin = pytest.mark.skipif(fakecuda.real_driver_present(), reason="a real driver would be found first")
posix = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork and interval timers")

# Shared by the children: a ticking thread whose ticks inside a call prove the lock was free, and
# a handler that raises KeyboardInterrupt and notes whether the call still held its argument
# (its reference count is higher only while the call runs), that is whether the stop reached the
# call from inside rather than after it returned.
CHILD_TOOLS = """
import signal, sys, threading, time
import numpy as np
import vantblas as vb
F32 = np.float32
watched, held = [None], []
def raiser(sig, frame):
    held.append(sys.getrefcount(watched[0]))
    raise KeyboardInterrupt("raised by a handler")
def ticks_inside(call):
    stamps, stop = [], threading.Event()
    def tick():
        while not stop.is_set():
            stamps.append(time.perf_counter())
            time.sleep(0.001)
    t = threading.Thread(target=tick)
    t.start()
    time.sleep(0.02)
    begin = time.perf_counter()
    call()
    end = time.perf_counter()
    stop.set()
    t.join()
    return sum(begin < s < end for s in stamps)
"""


def child(code, **kw):
    return fakecuda.run(CHILD_TOOLS + textwrap.dedent(code), **kw).check()


@posix
@standin
def test_signal_handlers_mid_call_reallocate_start_gpu_work_raise_and_fork():
    r = child("""
        vb.set_num_threads(3)
        rng = np.random.default_rng(0)
        # 1. A handler gives an argument a new buffer during multi-threaded products: every run
        # stops with RuntimeError before the freed memory is read again.
        def realloc_run(make, call):
            args = make()
            def handler(sig, frame):
                args[0].__setstate__(np.ones((2, 2, 2)[:args[0].ndim], F32).__reduce__()[2])
            signal.signal(signal.SIGALRM, handler)
            signal.setitimer(signal.ITIMER_REAL, 0.01)
            try:
                call(*args)
                return "finished"
            except RuntimeError as e:
                return str(e)
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
        big = lambda *s: rng.standard_normal(s).astype(F32)
        # Long enough (hundreds of ms) that the handler runs at one of the call's checks, which
        # come about every 50 ms while the interpreter lock is let go.
        cases = [(lambda: [big(1, 2400, 2400), big(1, 2400, 2400)], vb.gemm_batched),
                 (lambda: [big(2, 4096, 64), big(2, 4096, 64), big(2, 4096, 64)], vb.attention),
                 (lambda: [big(2400, 2400), big(2400, 2400)], vb.fused_linear_gelu)]
        outcomes = {realloc_run(make, call) for make, call in cases for _ in range(8)}
        print(sorted(outcomes))

        # 2. A call of one task (one long row) runs a handler that does a GPU product whose
        # operand is gathered by the worker threads; a second signal arrives during that product.
        # Its handler must run after the product, at the outer call's next check, and its
        # KeyboardInterrupt reach the caller as it is.
        operand, other = np.asfortranarray(big(1024, 1024)), big(1024, 8)
        def first(sig, frame):
            signal.signal(signal.SIGALRM, raiser)
            signal.setitimer(signal.ITIMER_REAL, 0.005)  # arrives during the GPU product
            vb.gemm(operand, other)
        signal.signal(signal.SIGALRM, first)
        row, gains = (np.broadcast_to(np.ones((1, 1), F32), (1, 1 << 26)) for _ in range(2))
        watched[0] = row
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        try:
            vb.fused_rmsnorm(row, gains)
            print("no interrupt")
        except KeyboardInterrupt as e:
            print("KeyboardInterrupt", e)
        print("inside the call", held[-1] > sys.getrefcount(row))

        # 3. A handler forks during a multi-threaded product: the child finishes the call on
        # its own thread with the right result (or refuses with RuntimeError), never hangs.
        a = big(1, 1300, 1300)
        expected = vb.gemm_batched(a, a)
        def forker(sig, frame):
            if os.fork() == 0:
                signal.signal(signal.SIGALRM, signal.SIG_DFL)
                signal.alarm(20)  # a hang ends the child with SIGALRM
                globals()["in_child"] = True
        in_child = False
        signal.signal(signal.SIGALRM, forker)
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        try:
            outcome = "same" if np.array_equal(vb.gemm_batched(a, a), expected) else "different"
        except RuntimeError as e:
            outcome = "RuntimeError"
        if in_child:
            os._exit({"same": 0, "RuntimeError": 0}.get(outcome, 3))
        _, status = os.wait()
        print("child", os.waitstatus_to_exitcode(status), "parent", outcome)
    """, env={"FAKE_CUDA_SYNC_DELAY_MS": "100"}, timeout=240)
    lines = [l for l in r.lines if not l.startswith(("[CUDA]", "[VantBLAS]"))]  # the GPU's progress lines
    # A run may finish before its signal on a fast machine; none may read the freed buffer.
    assert lines[0] in ("['an argument array was changed while the operation ran']",
                        "['an argument array was changed while the operation ran', 'finished']")
    assert lines[1] == "KeyboardInterrupt raised by a handler"
    assert lines[2] == "inside the call True"
    assert lines[3] == "child 0 parent same"
    assert "PanicException" not in r.stderr


@posix
def test_ctrl_c_stops_long_calls_of_any_shape_with_no_result_and_idle_workers():
    r = child("""
        import os
        vb.set_num_threads(2)
        signal.signal(signal.SIGALRM, raiser)
        rows = lambda r, c: np.broadcast_to(np.ones((1, 1), F32), (r, c))
        calls = {
            "one long row": (vb.fused_rmsnorm, rows(1, 1 << 26), rows(1, 1 << 26)),
            "sixteen long rows": (vb.fused_rmsnorm, rows(16, 1 << 22), rows(1, 1 << 22)),
            "long key rows": (vb.attention, *[np.ones((1, 1 << 13, 1), F32) for _ in range(3)]),
            "gemm": (vb.gemm, rows(2000, 2000), rows(2000, 2000)),
        }
        for name, (call, first, *rest) in calls.items():
            watched[0] = first
            signal.setitimer(signal.ITIMER_REAL, 0.02)
            result = None
            try:
                result = call(first, *rest)
            except KeyboardInterrupt:
                pass
            print(name, held[-1] > sys.getrefcount(first), result is None)
        time.sleep(0.2)
        # Every worker is asleep again (state S), none spinning on an abandoned job.
        states = []
        for tid in os.listdir("/proc/self/task"):
            if int(tid) != threading.get_native_id():
                with open(f"/proc/self/task/{tid}/stat") as f:
                    states.append(f.read().rsplit(")", 1)[1].split()[0])
        print("workers", len(states) > 0 and all(s == "S" for s in states))
    """, driver=False, timeout=240)
    assert r.lines == ["one long row True True", "sixteen long rows True True",
                       "long key rows True True", "gemm True True", "workers True"]


@standin
def test_other_threads_run_during_long_cpu_products_and_gpu_waits():
    r = child("""
        a = np.random.default_rng(1).standard_normal((1200, 1200)).astype(F32)
        small = np.ones((4, 4), F32)
        print(ticks_inside(lambda: vb.gemm(a, a)) > 0)           # on the stand-in's GPU
        print(ticks_inside(lambda: vb.attention(*[a[None, :, :64]] * 3)) > 0)
        print(ticks_inside(lambda: vb.gemm_batched(a[None], a[None])) > 0)
        x = np.random.default_rng(2).standard_normal((8, 1 << 21)).astype(F32)
        print(ticks_inside(lambda: vb.fused_rmsnorm(x, x[:1])) > 0)
        t = vb.VantTensor(a)
        print(ticks_inside(t.cpu) > 0)                          # a stream synchronisation
    """, env={"FAKE_CUDA_SYNC_DELAY_MS": "300"}, timeout=240)
    assert [l for l in r.lines if not l.startswith(("[CUDA]", "[VantBLAS]"))] == ["True"] * 5


def run_env(env, code):
    full = dict(os.environ)
    for k in ("VANTBLAS_NUM_THREADS", "OMP_NUM_THREADS"):
        full.pop(k, None)
    full.update(env)
    return subprocess.run([sys.executable, "-c", "import vantblas as vb\n" + code], env=full,
                          capture_output=True, text=True, timeout=120)


def test_thread_count_from_environment_and_setter_with_identical_bits(vb):
    affinity = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else None
    for env, count, warned in [({"VANTBLAS_NUM_THREADS": "3", "OMP_NUM_THREADS": "5"}, 3, None),
                               ({"OMP_NUM_THREADS": " 5,2 "}, 5, None),
                               ({"VANTBLAS_NUM_THREADS": "0", "OMP_NUM_THREADS": "2"}, 2, "VANTBLAS_NUM_THREADS='0'"),
                               ({"VANTBLAS_NUM_THREADS": "4k"}, affinity, "VANTBLAS_NUM_THREADS='4k'"),
                               ({"OMP_NUM_THREADS": "-1"}, affinity, "OMP_NUM_THREADS='-1'")]:
        r = run_env(env, "print(vb.get_num_threads()); print(vb.get_num_threads())")
        assert r.returncode == 0, r.stderr
        if count is not None:
            assert r.stdout.split() == [str(count)] * 2, env
        warnings = r.stderr.splitlines()
        if warned:
            assert len(warnings) == 1 and warned in warnings[0] and warnings[0].startswith("[VantBLAS] Warning: "), env
        else:
            assert warnings == [], env
    # The setter wins over the environment.
    r = run_env({"VANTBLAS_NUM_THREADS": "3"}, "vb.set_num_threads(2); print(vb.get_num_threads())")
    assert r.stdout.split() == ["2"]

    before = vb.get_num_threads()
    for bad in (0, -1, 1025, 1 << 70):
        with pytest.raises(ValueError, match=rf"^set_num_threads\(\) expects a thread count from 1 to 1024, got {bad}$"):
            vb.set_num_threads(bad)
    with pytest.raises(TypeError, match=r"^argument 'n': "):
        vb.set_num_threads(2.0)
    assert vb.get_num_threads() == before

    rng = np.random.default_rng(7)
    a, b = rng.standard_normal((301, 277), F32), rng.standard_normal((277, 190), F32)
    q = rng.standard_normal((2, 300, 24), F32)
    x = rng.standard_normal((37, 70000), F32)
    runs = []
    try:
        for n in (1, 2, 3, 5):
            vb.set_num_threads(n)
            assert vb.get_num_threads() == n
            runs.append([vb.gemm(a, b), vb.attention(q, q, q), vb.gemm_batched(q, q.transpose(0, 2, 1).copy()),
                         vb.fused_linear_gelu(a, b.T.copy()), vb.fused_rmsnorm(x, x[:1])])
    finally:
        vb.set_num_threads(before)
    for outs in runs[1:]:
        for got, first in zip(outs, runs[0]):
            assert ref.same_bits(got, first), ref.mismatch(got, first)
