"""The public module's CPU operations give the bits of the plain sequential loops at sizes where
they run blocked and on several threads."""

import numpy as np
import pytest

import cpu_refs as ref
import cpunative


@pytest.fixture(scope="module")
def plain():
    try:
        return cpunative.load()
    except (OSError, RuntimeError) as e:
        pytest.skip(f"cannot build the CPU test library: {e}")


def _r(rng, *shape):
    return rng.standard_normal(shape).astype(np.float32)


def test_module_matches_plain_loops(vb, plain):
    rng = np.random.default_rng(30)
    a, b = _r(rng, 5, 70, 300), _r(rng, 5, 300, 90)
    assert ref.same_bits(vb.gemm_batched(a, b), plain.gemm_batched(a, b, plain=True))
    q, k, v = _r(rng, 2, 260, 48), _r(rng, 2, 261, 48), _r(rng, 2, 260, 50)
    assert ref.same_bits(vb.attention(q, k, v), plain.attention(q, k, v, plain=True))
    assert ref.same_bits(vb.fused_attention(q, k, v, scale=0.3), plain.attention(q, k, v, 0.3, plain=True))
    x, w, bias = _r(rng, 150, 270), _r(rng, 130, 270), _r(rng, 1, 130)
    assert ref.same_bits(vb.fused_linear_gelu(x, w, bias), plain.linear_gelu(x, w, bias, plain=True))
    xs = _r(rng, 300, 700)[::-1]
    assert ref.same_bits(vb.fused_rmsnorm(xs, xs[:1], eps=1e-5), plain.rmsnorm(xs, xs[:1], 1e-5, plain=True))


def test_module_gemm_fallback_matches_plain_loops(vb, no_gpu, plain):
    rng = np.random.default_rng(31)
    a, b = _r(rng, 301, 257), np.asfortranarray(_r(rng, 257, 199))
    assert ref.same_bits(vb.gemm(a, b), plain.gemm(a, b, plain=True))


_INTERRUPTIBLE = """
import signal, sys, time
import numpy as np
import _vantblas as vb

one = np.float32(1)
small = (np.arange(40 * 30, dtype=np.float32).reshape(40, 30) % 7)
nested = []


def on_alarm(signum, frame):
    # A handler that returns normally and itself calls the module while the long call waits.
    nested.append(bool((vb.gemm_batched(small[None], small.T[None])[0] == small @ small.T).all()))


cases = {
    # 256 x 256 outputs over 2^31 broadcast terms: both threads busy, the caller polling between
    # its own tasks with the workers paused.
    "threads": lambda: vb.gemm_batched(np.broadcast_to(one, (1, 256, 2**31)),
                                       np.broadcast_to(one, (1, 2**31, 256))),
    # One output over 2^40 terms: a loop the calling thread runs alone.
    "alone": lambda: vb.fused_linear_gelu(np.broadcast_to(one, (1, 2**40)),
                                          np.broadcast_to(one, (1, 2**40))),
}
# A call that runs to its end while the handler computes products of its own in between: its
# result must not take anything from theirs.
rng = np.random.default_rng(5)
a = (rng.random((1, 2000, 4000)) < 0.5).astype(np.float32)
b = (rng.random((1, 4000, 2000)) < 0.5).astype(np.float32)
signal.signal(signal.SIGALRM, on_alarm)
signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
outer = vb.gemm_batched(a, b)[0]
signal.setitimer(signal.ITIMER_REAL, 0)
print("nested", len(nested), all(nested) and bool((outer == a[0] @ b[0]).all()), flush=True)
nested.clear()
signal.setitimer(signal.ITIMER_REAL, 0.1, 0.1)  # and keeps doing so while the calls below run
for name in sys.argv[1:]:
    print("start", flush=True)
    try:
        cases[name]()
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
signal.setitimer(signal.ITIMER_REAL, 0)
assert len(nested) >= 3 and all(nested), nested
t0 = time.process_time()
time.sleep(0.5)
busy = time.process_time() - t0
a = (np.arange(96 * 80, dtype=np.float32).reshape(96, 80) % 7)
b = (np.arange(80 * 70, dtype=np.float32).reshape(80, 70) % 5)
print("after", busy, bool((vb.gemm_batched(a[None], b[None])[0] == a @ b).all()), flush=True)
"""


def test_long_products_end_promptly_on_sigint_and_leave_nothing_running():
    import signal
    import subprocess
    import sys
    import threading
    import time

    names = ["threads", "alone"]
    child = subprocess.Popen([sys.executable, "-X", "faulthandler", "-c", _INTERRUPTIBLE, *names],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    watchdog = threading.Timer(60, child.kill)  # a call that never stops fails instead of hanging
    watchdog.start()
    try:
        tag, calls, ok = child.stdout.readline().split()
        assert tag == "nested" and ok == "True", (calls, ok)
        for name in names:
            assert child.stdout.readline().strip() == "start"
            time.sleep(1.0)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            line = child.stdout.readline().strip()
            waited = time.monotonic() - sent
            assert line == "interrupted", (name, line, child.stderr.read() if not line else "")
            # A liveness bound for a loaded 2-CPU machine: the call checks about every 50 ms.
            assert waited < 3.0, (name, waited)
        tag, busy, ok = child.stdout.readline().split()
        # The workers went idle with the call: half a second of sleep costs next to no CPU time.
        assert tag == "after" and float(busy) < 0.25 and ok == "True", (busy, ok)
        assert child.wait(timeout=30) == 0
    finally:
        watchdog.cancel()
        child.kill()
        child.wait()


def test_empty_sums_are_positive_zeros_in_reused_memory(vb):
    # Results that are written in full are not zero-filled first; those with empty sums (K = 0)
    # must still be +0.0 (or GELU of the bias) when the allocator hands back dirty memory.
    bias = np.array([[0.5, -1.0, 3.0]], np.float32)
    for rows in (3, 200, 700):
        for _ in range(3):
            dirty = np.full(rows * 300, np.nan, np.float32)
            del dirty
            z = vb.gemm(np.ones((rows, 0), np.float32), np.ones((0, 300), np.float32))
            assert z.shape == (rows, 300) and not np.signbit(z).any() and not z.any()
            zb = vb.gemm_batched(np.ones((1, rows, 0), np.float32), np.ones((1, 0, 300), np.float32))
            assert not np.signbit(zb).any() and not zb.any()
            dirty = np.full(rows * 300, np.nan, np.float32)
            del dirty
            g = vb.fused_linear_gelu(np.ones((rows, 0), np.float32), np.ones((3, 0), np.float32), bias)
            assert ref.same_bits(g, np.repeat(ref.gelu(bias), rows, axis=0))
            g0 = vb.fused_linear_gelu(np.ones((rows, 0), np.float32), np.ones((300, 0), np.float32))
            assert not np.signbit(g0).any() and not g0.any()
