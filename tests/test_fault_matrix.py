"""Every driver call of every GPU operation, failed in turn with several statuses.

The calls an operation makes are read from the stand-in's call log, then each one is failed once
with each status while the operation runs again in the same long-lived child process. The
outcome must be the documented one: the CPU product (single-matrix GEMMs), the silent FP32
fallback (a refused tensor-core launch), the operation's own message, or success when only a
release was refused. After every case no device allocation may be left beyond those of live
objects (and those whose release the driver refused), and the arguments' reference counts are
unchanged. The first GPU use (core and kernel-set creation) is covered the same way, each case in
a forked copy of a process that has not touched the GPU yet.
"""

from __future__ import annotations

import json
import os
import textwrap

import pytest

import fakecuda

pytestmark = pytest.mark.skipif(fakecuda.real_driver_present(), reason="a real driver would be found first")

STATUSES = (2, 719, 801)  # out of memory, unspecified launch failure, not supported
# Under the sanitizers (every case is a fork of an instrumented process) the first-use matrix fails
# each call with one status, taking them in turn; the main run tries every status on every call.
ONE_STATUS_A_CALL = os.environ.get("VANT_SANITIZED") == "1"

# Runs inside the child: helpers shared by the warm and the cold matrix.
CHILD_COMMON = r'''
import ctypes, gc, sys
import numpy as np
import _vantblas as vb
import cpu_refs

F32 = np.float32
STATUSES = %(statuses)r
ONE_STATUS_A_CALL = %(one_status)r
_lib = ctypes.CDLL(os.environ["FAKECUDA_LIB"])
_lib.cuGetErrorString.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_char_p)]

def status_text(status):
    text = ctypes.c_char_p()
    if _lib.cuGetErrorString(status, ctypes.byref(text)) == 0 and text.value:
        return text.value.decode()
    return "Unknown CUDA error: %%d" %% status

def rand(*shape, seed=0):
    return np.random.default_rng(seed + 7 * len(shape) + sum(shape)).standard_normal(shape).astype(F32)

def outcome(fn):
    try:
        return ("ok", fn())
    except BaseException as e:
        return ("raise", f"{type(e).__name__}: {e}")

def close(x, ref, tol):
    x = np.asarray(x, np.float64)
    return x.shape == ref.shape and bool(np.all(np.abs(x - ref) <= tol * (1.0 + np.abs(ref))))

F16_KERNELS = {"vantblas_gemm_wmma_max", "vantblas_gemm_wmma_opt_vec", "vantblas_gemm_wmma_fp16_pure"}
'''


def run_child(body: str, timeout=900, env=None) -> dict:
    code = CHILD_COMMON % {"statuses": STATUSES, "one_status": ONE_STATUS_A_CALL} + textwrap.dedent(body)
    r = fakecuda.run(code, timeout=timeout, env={"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", **(env or {})})
    r.check()
    line = [ln for ln in r.lines if ln.startswith("MATRIX ")][-1]
    return json.loads(line[len("MATRIX "):])


# The warm matrix. Each operation has a setup (untraced), an action whose driver calls are
# enumerated, and the documented messages of its non-release calls in order.
WARM = r'''
a, b = rand(16, 32), rand(32, 16)           # every size a multiple of 16: tensor-core route
c, d = rand(5, 7), rand(7, 3)               # single-precision route only
w2 = rand(16, 16)
cpu_ab, cpu_cd = cpu_refs.gemm(a, b), cpu_refs.gemm(c, d)
ref_ab = a.astype(np.float64) @ b
ref_cd = c.astype(np.float64) @ d
ref_chain = ref_ab @ w2
gpu_ab = vb.gemm(a, b)                      # also builds the core and the kernel set
gpu_cd = vb.gemm(c, d)
gpu_chain = vb.gemm_chain(a, b, w2)
assert not np.array_equal(gpu_ab, cpu_ab), "the tensor-core route should round differently"

NEEDS_CUDA = "RuntimeError: gemm_chain requires CUDA. Please use two separate gemm() calls for CPU fallback."
# A scope reads the thread's current context, then pushes the module's: both can fail.
SET_CONTEXT = "Failed to set CUDA context: "
t_a, t_c, t_d = vb.VantTensor(a), vb.VantTensor(c), vb.VantTensor(d)
model = vb.VantBLASModel()
w1m, w2m, xm = rand(7, 4), rand(4, 3), rand(5, 7)
model.set_weights(w1m, w2m)
ref_forward = model.forward(xm)
product = t_c.matmul(t_d)
product_ref = product.cpu()
spare = []

def small_launch(prefix, s):
    return f"RuntimeError: {prefix}Kernel launch failed: cuLaunchKernel (small) failed: {s}"

def gemm_like(fn, x, y, cpu, gpu, ref, retries):
    """Single-matrix GEMM: the CPU product, or with retries the second GPU attempt."""
    def check(entry, role, s, res, launched):
        kind, value = res
        if kind != "ok":
            return f"raised {value}"
        if role == "release":
            return None if np.array_equal(value, gpu) else "result changed by a refused release"
        if role == "launch" and launched and set(launched) - F16_KERNELS:
            # A refused tensor-core launch: the product is redone in single precision on the GPU.
            return None if close(value, ref, 1e-4) else "FP32 fallback result wrong"
        want = gpu if retries else cpu
        return None if np.array_equal(value, want) else f"expected the {'GPU' if retries else 'CPU'} product"
    return (lambda: None), (lambda: fn(x, y)), None, check, (x, y)

def chain_case():
    def check(entry, role, s, res, launched):
        kind, value = res
        if role == "release":
            return None if kind == "ok" and np.array_equal(value, gpu_chain) else f"{kind} {value!r:.200}"
        if role == "launch" and kind == "ok":
            ok = close(value, ref_chain, 2e-2) and set(launched) - F16_KERNELS
            return None if ok else "FP32 fallback of one product wrong"
        return None if kind == "raise" and value == NEEDS_CUDA else f"{kind} {value!r:.200}"
    return (lambda: None), (lambda: vb.gemm_chain(a, b, w2)), None, check, (a, b, w2)

def chain_fp32_case():
    def check(entry, role, s, res, launched):
        kind, value = res
        if role == "release":
            return None if kind == "ok" and close(value, (ref_cd @ rand(3, 2).astype(np.float64)), 1e-4) else "bad"
        return None if kind == "raise" and value == NEEDS_CUDA else f"{kind} {value!r:.200}"
    w = rand(3, 2)
    return (lambda: None), (lambda: vb.gemm_chain(c, d, w)), None, check, (c, d, w)

def tensor_new():
    steps = [SET_CONTEXT, SET_CONTEXT, "Failed to allocate CUDA memory: ", "Failed to copy data to GPU: "]
    def success(value):
        return None if np.array_equal(value.cpu(), a) else "tensor holds wrong data"
    return (lambda: None), (lambda: vb.VantTensor(a)), steps, success, (a,)

def tensor_matmul():
    def launch(s):
        return small_launch("GEMM failed: ", s)
    steps = [SET_CONTEXT, SET_CONTEXT, "Failed to allocate output: ", launch]
    def success(value):
        return None if close(value.cpu(), ref_cd, 1e-4) else "product wrong"
    return (lambda: None), (lambda: t_c.matmul(t_d)), steps, success, (t_c, t_d)

def tensor_cpu():
    steps = [SET_CONTEXT, SET_CONTEXT, "Failed to synchronize stream: ", "Failed to copy data from GPU: "]
    def success(value):
        return None if np.array_equal(value, product_ref) else "download wrong"
    return (lambda: None), (lambda: product.cpu()), steps, success, (product,)

def tensor_del():
    def setup():
        spare.append(vb.VantTensor(c))
    def action():
        spare.clear()
    return setup, action, [], None, ()

def model_set_weights():
    def setup():
        model.set_weights(w1m, w2m)
    steps = [SET_CONTEXT, SET_CONTEXT, "Failed to allocate W1: ", "Failed to copy W1: ",
             "Failed to allocate W2: ", "Failed to copy W2: "]
    def success(value):
        if value is not None:
            return "set_weights returned a value"
        return None if np.array_equal(model.forward(xm), ref_forward) else "forward after set_weights wrong"
    return setup, (lambda: model.set_weights(w1m, w2m)), steps, success, (w1m, w2m)

def model_forward():
    def setup():
        model.set_weights(w1m, w2m)
    # The context is made current once for the whole pass (the inner steps find it current).
    steps = [SET_CONTEXT, SET_CONTEXT, "Failed to allocate CUDA memory: ", "Failed to copy data to GPU: ",
             "Failed to allocate H: ", "Failed to allocate C: ",
             lambda s: small_launch("First GEMM failed: ", s), lambda s: small_launch("Second GEMM failed: ", s),
             "Failed to synchronize stream: ", "Failed to copy data from GPU: "]
    def success(value):
        return None if np.array_equal(value, ref_forward) else "forward result wrong"
    return setup, (lambda: model.forward(xm)), steps, success, (xm,)

OPS = {
    "gemm": gemm_like(vb.gemm, a, b, cpu_ab, gpu_ab, ref_ab, False),
    "matmul": gemm_like(vb.matmul, a, b, cpu_ab, gpu_ab, ref_ab, False),
    "matmul_fp16": gemm_like(vb.matmul_fp16, a, b, cpu_ab, gpu_ab, ref_ab, False),
    "gemm_fp16": gemm_like(vb.gemm_fp16, a, b, cpu_ab, gpu_ab, ref_ab, True),
    "gemm/fp32": gemm_like(vb.gemm, c, d, cpu_cd, gpu_cd, ref_cd, False),
    "gemm_fp16/fp32": gemm_like(vb.gemm_fp16, c, d, cpu_cd, gpu_cd, ref_cd, True),
    "gemm_chain": chain_case(),
    "gemm_chain/fp32": chain_fp32_case(),
    "VantTensor": tensor_new(),
    "VantTensor.matmul": tensor_matmul(),
    "VantTensor.cpu": tensor_cpu(),
    "VantTensor.__del__": tensor_del(),
    "VantBLASModel.set_weights": model_set_weights(),
    "VantBLASModel.forward": model_forward(),
}

def staging_objects():
    """The staging's pinned chunks, streams and events live for the process; nothing may be queued
    or have raced between calls."""
    pending = fake.pending_ops
    return (fake.live_pinned, fake.live_streams, fake.live_events, pending, fake.hazards)

CONTEXT_CALLS = ("cuCtxGetCurrent", "cuCtxPushCurrent")

def roles(log):
    """A free, the context switch around a free, and the restoring pop are releases: their statuses
    are ignored. Every other call is a step with its documented message (or a launch)."""
    out = []
    for i, entry in enumerate(log):
        # The calls a scope covers: up to its pop. A scope that only frees is a release.
        end = log.index("cuCtxPopCurrent", i) if "cuCtxPopCurrent" in log[i:] else len(log)
        covered = [e for e in log[i + 1:end] if e not in CONTEXT_CALLS]
        if entry in ("cuMemFree", "cuCtxPopCurrent") or (
                entry in CONTEXT_CALLS and covered and set(covered) == {"cuMemFree"}):
            out.append("release")
        elif entry == "cuLaunchKernel":
            out.append("launch")
        else:
            out.append("step")
    return out

def restore_thread_context():
    """A refused pop leaves the module's context pushed on this thread: take it off again, as the
    caller would have to, so that the next case starts from the same state."""
    pop = fake.driver().cuCtxPopCurrent_v2
    while fake.current_context():
        pop(ctypes.byref(ctypes.c_void_p()))

def expected_message(step, s, text):
    return step(s) if callable(step) else "RuntimeError: " + step + text

refused_frees = 0
failures, cases, logs = [], 0, {}
for name, (setup, action, steps, check, args) in OPS.items():
    setup()
    outcome(action)  # fills the device-memory cache for this operation's sizes: trace the steady state
    setup()
    gc.collect()
    fake.clear_logs()
    res = outcome(action)
    assert res[0] == "ok", (name, res)
    log = fake.call_log()  # before a returned tensor is destroyed: that is VantTensor.__del__
    del res
    logs[name] = log
    role = roles(log)
    step_calls = [e for e, r in zip(log, role) if r != "release"]
    if steps is not None and len(steps) != len(step_calls):
        failures.append([name, "calls", f"{len(step_calls)} non-release calls {step_calls} but {len(steps)} documented steps"])
        continue
    for i, entry in enumerate(log):
        nth = log[: i + 1].count(entry)
        for s in STATUSES:
            setup()
            gc.collect()
            base = fake.live_allocations
            kept_objects = staging_objects()
            refs = [sys.getrefcount(x) for x in args]
            fake.clear_logs()
            fake.fail(entry, nth, s)
            res = outcome(action)
            fake.clear_failures()
            restore_thread_context()
            launched = [l["kernel"] for l in fake.launches()]
            cases += 1
            if steps is None:
                problem = check(entry, role[i], s, res, launched)
            elif role[i] == "release":
                problem = None if res[0] == "ok" else f"a refused release raised {res[1]}"
                if problem is None and check is not None:
                    problem = check(res[1])
            else:
                step = steps[sum(1 for r in role[:i] if r != "release")]
                want = expected_message(step, s, status_text(s))
                problem = None if res == ("raise", want) else f"got {res[0]} {res[1]!r:.300}, want {want!r}"
            kept = 0  # a tensor returned by the case is destroyed with `res` below
            if name == "VantBLASModel.set_weights" and role[i] != "release" and entry not in CONTEXT_CALLS:
                kept = -2  # the old weights were released before the failure; none are held now
                later = outcome(lambda: model.forward(xm))
                if later != ("raise", "RuntimeError: Weights not set! Call set_weights() first."):
                    problem = problem or f"after a failed set_weights forward gave {later!r:.200}"
            if name == "VantTensor.__del__":
                kept = -1
            del res
            gc.collect()
            # A refused free, or a refused switch to the context of a free, leaves that one
            # allocation with the driver; nothing else may stay.
            refused = entry == "cuMemFree" or (role[i] == "release" and entry in CONTEXT_CALLS)
            refused_frees += refused
            live, want_live = fake.live_allocations, base + kept + (1 if refused else 0)
            if live != want_live:
                problem = problem or f"live allocations {live}, expected {want_live}"
            if [sys.getrefcount(x) for x in args] != refs:
                problem = problem or "reference counts of the arguments changed"
            if fake.bad_frees or fake.bounds_violations:
                problem = problem or f"bad frees {fake.bad_frees}, bounds violations {fake.bounds_violations}"
            if staging_objects() != kept_objects:
                problem = problem or f"pinned/streams/events/queued {staging_objects()}, expected {kept_objects}"
            if problem:
                failures.append([name, f"{entry}#{nth}", s, problem])

# A status the driver cannot describe: the messages end with the number instead.
for name in ("VantTensor", "VantTensor.cpu", "VantBLASModel.forward"):
    setup, action, steps, check, args = OPS[name]
    log, role = logs[name], roles(logs[name])
    for i, entry in enumerate(log):
        if role[i] == "release":
            continue
        setup()
        gc.collect()
        base = fake.live_allocations
        fake.clear_logs()
        fake.fail(entry, log[: i + 1].count(entry), 719)
        fake.fail("cuGetErrorString", 0, 2)
        res = outcome(action)
        fake.clear_failures()
        cases += 1
        step = steps[sum(1 for r in role[:i] if r != "release")]
        want = expected_message(step, 719, "Unknown CUDA error: 719")
        if res != ("raise", want):
            failures.append([name, f"{entry} (no status text)", 719, f"got {res!r:.300}"])
        del res
        gc.collect()
        if fake.live_allocations != base:
            failures.append([name, f"{entry} (no status text)", 719, f"live allocations {fake.live_allocations}"])

OPS.clear()  # its argument tuples hold tensors too
args = None
del product, t_a, t_c, t_d, model
spare.clear()
gc.collect()
# A refused allocation empties the device-memory cache before its one retry; with the device full
# the retry fails too and the product comes from the CPU.
x, y = rand(13, 11), rand(11, 9)  # sizes no cached block serves
fake.set_memory_limit(1)
frees = fake.calls("cuMemFree")
if not np.array_equal(vb.gemm(x, y), cpu_refs.gemm(x, y)) or fake.calls("cuMemFree") == frees:
    failures.append(["end", "trim", "the cache was not emptied or the CPU product not returned"])
fake.set_memory_limit(0)
if fake.live_allocations != refused_frees:
    failures.append(["end", "live", fake.live_allocations, f"expected only the {refused_frees} refused frees"])
print("MATRIX " + json.dumps({"cases": cases, "failures": failures,
                              "calls": {k: len(v) for k, v in logs.items()}}))
'''


def test_every_call_of_every_gpu_operation_fails_cleanly(capsys):
    # The device-memory cache is on: the GEMM routes' buffers stay cached between cases (and are
    # counted in the base), so a failure must give every block back to it and leave no other.
    out = run_child(WARM, env={"VANTBLAS_POOL_CACHE_BYTES": str(1 << 20)})
    with capsys.disabled():
        print(f"\nfault matrix: {out['cases']} (operation, call, status) cases over "
              f"{len(out['calls'])} operations ({sum(out['calls'].values())} driver calls)")
    assert not out["failures"], "\n".join(map(str, out["failures"][:40]))
    assert out["cases"] > 300


# The cold matrix: the first GPU operation of a process also builds the core and (except for the
# operations that need device memory only) the kernel set.
# A failed creation must leave nothing behind and be retried by the next call; a tolerated one
# (a kernel module that falls back to a simpler one) must still give correct products.
COLD = r'''
import os
a, b = rand(16, 32), rand(32, 16)
cpu_ab = cpu_refs.gemm(a, b)
ref_ab = a.astype(np.float64) @ b

def in_fork(fn):
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            payload = fn()
        except BaseException as e:
            payload = ["crash", repr(e)]
        os.write(w, json.dumps(payload).encode())
        os._exit(0)
    os.close(w)
    chunks = []
    while True:
        chunk = os.read(r, 65536)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(r)
    _, status = os.waitpid(pid, 0)
    if status != 0:
        return ["crash", f"forked child ended with status {status}"]
    return json.loads(b"".join(chunks))

def first_use_log(setup, action):
    def go():
        setup()
        fake.clear_logs()
        result = action()
        log = fake.call_log()  # before a returned tensor is destroyed
        del result
        return log
    return in_fork(go)

def cold_state_problems():
    """A failed creation leaves nothing behind: without a context no module or stream lives, and
    the transfer staging (pinned chunks, events, two streams) exists whole or not at all."""
    if fake.live_contexts == 0 and (fake.live_modules or fake.live_streams):
        return [f"failed creation left modules {fake.live_modules} streams {fake.live_streams}"]
    staging = (fake.live_pinned, fake.live_events)
    if staging not in ((0, 0), (4, 12)) or fake.pending_ops or fake.hazards:
        return [f"staging left pinned/events {staging}, queued {fake.pending_ops}, hazards {fake.hazards}"]
    return []

def gemm_case(res):
    if res[0] != "ok":
        return [f"raised {res[1]}"]
    value = res[1]
    if fake.live_contexts == 0 and not np.array_equal(value, cpu_ab):
        return ["creation failed but the result is not the CPU product"]
    if not (np.array_equal(value, cpu_ab) or close(value, ref_ab, 2e-2)):
        return ["wrong product"]
    return []

NEEDS_CUDA = "RuntimeError: gemm_chain requires CUDA. Please use two separate gemm() calls for CPU fallback."
w2 = rand(16, 8)
ref_chain = ref_ab @ w2

def chain_case(res):
    if res[0] == "ok":
        return [] if close(res[1], ref_chain, 5e-2) else ["wrong chained product"]
    return [] if res[1] == NEEDS_CUDA else [f"raised {res[1]}"]

def message_case(prefixes, want):
    def check(res):
        if res[0] == "ok":
            return want(res[1])
        if not any(res[1].startswith("RuntimeError: " + p) for p in prefixes):
            return [f"raised {res[1]}"]
        return []
    return check

def tensor_ok(value):
    return [] if np.array_equal(value.cpu(), a) else ["tensor holds wrong data"]

def product_ok(value):
    return [] if close(value.cpu(), ref_ab, 1e-4) else ["wrong product"]

held = {}

def tensors_setup():
    held["ta"], held["tb"] = vb.VantTensor(a), vb.VantTensor(b)

def model_setup():
    held["m"] = vb.VantBLASModel()
    held["m"].set_weights(b, w2)

def forward_ok(value):
    return [] if close(value, ref_chain, 1e-4) else ["wrong forward result"]

def none_ok(value):
    return [] if value is None and close(held["m"].forward(a), ref_chain, 1e-4) else ["set_weights result wrong"]

nothing = lambda: None
CORE = "Failed to get CUDA core: "
COLD_OPS = [
    # name, setup, action, check of the outcome, device allocations held afterwards (on success,
    # on failure) by the objects that the setup made
    ("gemm", nothing, lambda: vb.gemm(a, b), gemm_case, (0, 0)),
    ("gemm_chain", nothing, lambda: vb.gemm_chain(a, b, w2), chain_case, (0, 0)),
    ("VantTensor", nothing, lambda: vb.VantTensor(a),
     message_case([CORE, "Failed to set CUDA context: ", "Failed to allocate CUDA memory: ",
                   "Failed to copy data to GPU: "], tensor_ok), (0, 0)),
    ("VantTensor.matmul", tensors_setup, lambda: held["ta"].matmul(held["tb"]),
     message_case(["Failed to get VantBLAS: ", "Failed to set CUDA context: ", "Failed to allocate output: ",
                   "GEMM failed: "], product_ok), (2, 2)),
    ("VantBLASModel.set_weights", lambda: held.update(m=vb.VantBLASModel()), lambda: held["m"].set_weights(b, w2),
     message_case([CORE, "Failed to set CUDA context: ", "Failed to allocate W", "Failed to copy W"], none_ok),
     (2, 0)),
    ("VantBLASModel.forward", model_setup, lambda: held["m"].forward(a),
     message_case(["Failed to get VantBLAS: ", "Failed to set CUDA context: ", "Failed to allocate ",
                   "Failed to copy data", "First GEMM failed: ", "Second GEMM failed: ",
                   "Failed to synchronize stream: "], forward_ok), (2, 2)),
]

def run_case(setup, action, check, kept, entry, nth, s):
    setup()
    fake.clear_logs()
    fake.fail(entry, nth, s)
    res = outcome(action)
    fake.clear_failures()
    problems = cold_state_problems() + check(res)
    want = kept[0 if res[0] == "ok" else 1] + (1 if entry == "cuMemFree" else 0)
    del res  # a tensor built by the case is destroyed here
    gc.collect()
    if fake.live_allocations != want:
        problems.append(f"live allocations {fake.live_allocations}, expected {want}")
    if fake.bad_frees or fake.bounds_violations:
        problems.append(f"bad frees {fake.bad_frees}, bounds violations {fake.bounds_violations}")
    # The next call retries whatever creation failed and must work.
    again = outcome(action)
    if again[0] != "ok" or check(again):
        problems.append(f"the next call failed: {again[1]!r:.200}")
    elif fake.live_contexts != 1:
        problems.append("the next call did not build the core")
    return "; ".join(problems) or None

cases, failures, sizes = 0, [], {}
for name, setup, action, check, kept in COLD_OPS:
    log = first_use_log(setup, action)
    sizes[name] = len(log)
    for i, entry in enumerate(log):
        nth = log[: i + 1].count(entry)
        for s in (STATUSES[i % len(STATUSES)],) if ONE_STATUS_A_CALL else STATUSES:
            cases += 1
            problem = in_fork(lambda: run_case(setup, action, check, kept, entry, nth, s))
            if problem:
                failures.append([name, f"{entry}#{nth}", s, problem])
print("MATRIX " + json.dumps({"cases": cases, "failures": failures, "calls": sizes}))
'''


def test_every_call_of_the_first_gpu_use_fails_cleanly(capsys):
    out = run_child(COLD)
    with capsys.disabled():
        print(f"\nfault matrix, first GPU use: {out['cases']} (operation, call, status) cases "
              f"(driver calls {out['calls']})")
    assert not out["failures"], "\n".join(map(str, out["failures"][:40]))
    assert out["cases"] > (300 if ONE_STATUS_A_CALL else 900)
