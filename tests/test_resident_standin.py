"""VantTensor, VantBLASModel and gemm_chain against the stand-in driver: results, launch counts,
every failure message under injected faults, and no device memory left behind."""

from __future__ import annotations

import json
import textwrap

import pytest

import fakecuda

pytestmark = pytest.mark.skipif(fakecuda.real_driver_present(), reason="a real driver would be found first")

PRELUDE = """
import numpy as np
import _vantblas as vb
F32 = np.float32
rng = np.random.default_rng(0)
def rand(*s):
    return rng.standard_normal(s).astype(F32)
def error_of(fn, *a):
    try:
        fn(*a)
    except Exception as e:
        return f"{type(e).__name__}: {e}"
    return None
out = {}
"""


def child(code: str, **kw) -> dict:
    source = PRELUDE + textwrap.dedent(code) + "\nprint('RESULT' + json.dumps(out))\n"
    r = fakecuda.run(source, **kw).check()
    line = [ln for ln in r.lines if ln.startswith("RESULT")][-1]
    return json.loads(line[len("RESULT"):])


def test_tensor_round_trips_products_and_launch_economy():
    out = child("""
        base = rand(6, 8)
        for name, arr in {"c": base, "f": np.asfortranarray(base), "neg": base[::-1, ::-2]}.items():
            t = vb.VantTensor(arr)
            out[name] = bool(np.array_equal(t.cpu(), np.ascontiguousarray(arr)))
        t = vb.VantTensor(rand(3, 4))
        out["shape"], out["device"] = t.shape(), t.device()
        out["twice"] = bool(np.array_equal(t.cpu(), t.cpu()))
        a, b = rand(5, 7), rand(7, 3)
        ta, tb = vb.VantTensor(a), vb.VantTensor(b)
        fake.clear_logs()
        copies = (fake.calls("cuMemcpyHtoD"), fake.calls("cuMemcpyDtoH"))
        launches = len(fake.launches())
        chain = ta.matmul(tb)
        for _ in range(3):
            chain = chain.matmul(vb.VantTensor(np.eye(3, dtype=F32)))
        out["chain_copies"] = [fake.calls("cuMemcpyHtoD") - copies[0] - 3, fake.calls("cuMemcpyDtoH") - copies[1]]
        out["chain_launches"] = len(fake.launches()) - launches
        out["chain_syncs"] = fake.calls("cuStreamSynchronize")
        c = chain.cpu()
        out["product"] = float(np.abs(c - a @ b).max())
        out["product_shape"] = chain.shape()
        out["mismatch"] = error_of(ta.matmul, ta)
        out["other"] = error_of(ta.matmul, a)
        live = fake.live_allocations
        del chain
        out["freed_on_del"] = live - fake.live_allocations
    """)
    assert out["c"] and out["f"] and out["neg"] and out["twice"]
    assert out["shape"] == [3, 4] and out["device"] == "cuda:0"
    assert out["chain_copies"] == [0, 0]
    assert out["chain_launches"] == 4 and out["chain_syncs"] == 0
    assert out["product"] < 1e-4 and out["product_shape"] == [5, 3]
    assert out["mismatch"] == "RuntimeError: Shape mismatch: 5 x 7 vs 5 x 7"
    assert out["other"] == "TypeError: argument 'other': 'ndarray' object cannot be converted to 'VantTensor'"
    assert out["freed_on_del"] == 1


TENSOR_FAULTS = [
    # (operation, entry, expected prefix)
    ("new", "cuCtxPushCurrent", "Failed to set CUDA context: "),
    ("new", "cuMemAlloc", "Failed to allocate CUDA memory: "),
    ("new", "cuMemcpyHtoD", "Failed to copy data to GPU: "),
    ("matmul", "cuMemAlloc", "Failed to allocate output: "),
    ("matmul", "cuLaunchKernel", "GEMM failed: "),
    ("cpu", "cuCtxPushCurrent", "Failed to set CUDA context: "),
    ("cpu", "cuStreamSynchronize", "Failed to synchronize stream: "),
    ("cpu", "cuMemcpyDtoH", "Failed to copy data from GPU: "),
]


def test_tensor_failure_table():
    out = child(f"""
        faults = {TENSOR_FAULTS!r}
        a, b = rand(4, 4), rand(4, 4)
        ta, tb = vb.VantTensor(a), vb.VantTensor(b)
        vb.gemm(a, b)  # loads the kernel set
        base = fake.live_allocations
        results = []
        for op, entry, _ in faults:
            fake.fail_next(entry, 2)
            if op == "new":
                e = error_of(vb.VantTensor, a)
            elif op == "matmul":
                e = error_of(ta.matmul, tb)
            else:
                e = error_of(ta.cpu)
            fake.clear_failures()
            results.append([e, fake.live_allocations - base])
        out["results"] = results
        out["still_usable"] = float(np.abs(ta.matmul(tb).cpu() - a @ b).max())
    """)
    for (op, entry, prefix), (error, extra) in zip(TENSOR_FAULTS, out["results"]):
        assert error is not None and error.startswith("RuntimeError: " + prefix), (op, entry, error)
        assert extra == 0, (op, entry, extra)
    assert out["still_usable"] < 1e-4


def test_tensor_core_failure_and_kernel_set_failure_messages():
    out = child("""
        fake.fail("cuInit", 0, 100)
        out["core"] = error_of(vb.VantTensor, rand(2, 2))
        fake.clear_failures()
        t = vb.VantTensor(rand(2, 2))
        fake.fail("cuModuleLoadData", 0, 218)  # every module load of the kernel set fails
        out["set"] = error_of(t.matmul, t)
        fake.clear_failures()
        out["live"] = fake.live_allocations
    """)
    assert out["core"].startswith("RuntimeError: Failed to get CUDA core: cuInit failed: cuInit failed with error: 100")
    assert out["set"].startswith("RuntimeError: Failed to get VantBLAS: ")
    assert out["live"] == 1


def test_model_forward_matches_two_products_and_batch_form():
    out = child("""
        w1, w2, x = rand(4, 8), rand(8, 3), rand(2, 4)
        m = vb.VantBLASModel()
        out["set"] = m.set_weights(w1, w2)
        y = m.forward(x)
        out["err"] = float(np.abs(y - (x @ w1) @ w2).max())
        out["batch_equal"] = bool(np.array_equal(m.forward_batch(x), y))
        out["mismatch"] = error_of(m.forward, rand(2, 5))
        out["w_mismatch"] = error_of(m.set_weights, rand(4, 8), rand(6, 3))
        out["after_rejected"] = bool(np.array_equal(m.forward(x), y))
        m.set_weights(rand(5, 2), rand(2, 6))
        out["replaced_shape"] = list(m.forward(rand(3, 5)).shape)
        out["live_with_model"] = fake.live_allocations
        del m
        out["live_after_del"] = fake.live_allocations
    """)
    assert out["set"] is None and out["err"] < 1e-4 and out["batch_equal"]
    assert out["mismatch"] == "RuntimeError: Shape mismatch: A[2,5] x W1[?,4]"
    assert out["w_mismatch"] == "RuntimeError: Shape mismatch: W2[6,3] should be [8,3]"
    assert out["after_rejected"] and out["replaced_shape"] == [3, 6]
    assert out["live_with_model"] == 2 and out["live_after_del"] == 0


def test_more_rows_than_the_grid_admits_still_launch_on_the_gpu():
    # 4194241 rows are 65536 rows of 64-row tiles, one more than the grid's y extent of 65535:
    # every route splits the product (into bands of rows, or row panels of the staged transfer)
    # instead of failing or leaving the GPU.
    out = child("""
        a = (np.arange(4194241, dtype=F32) % 1000).reshape(-1, 1)
        two, half = np.array([[2]], F32), np.array([[0.5]], F32)
        model = vb.VantBLASModel()
        model.set_weights(two, half)
        ops = {"gemm": (lambda: vb.gemm(a, two), a * 2),
               "matmul": (lambda: vb.VantTensor(a).matmul(vb.VantTensor(two)).cpu(), a * 2),
               "forward": (lambda: model.forward(a), a),
               "chain": (lambda: vb.gemm_chain(a, two, half), a)}
        for name, (fn, ref) in ops.items():
            fake.clear_logs()
            res = fn()
            out[name] = [bool(np.array_equal(res, ref)),
                         [[l["kernel"], l["grid"][1], l["params"][3]] for l in fake.launches()]]
        del model
        out["live"] = fake.live_allocations
    """)
    band = [["vantblas_gemm_shared_64x64", 65535, 4194240], ["vantblas_gemm_shared_64x64", 1, 1]]
    # gemm and the chain stage A in four row panels (each within the grid), two products a panel
    # for the chain.
    panels = [["vantblas_gemm_shared_64x64", 16384, 1048576]] * 3 + [["vantblas_gemm_shared_64x64", 16384, 1048513]]
    chain = [p for p in panels for _ in range(2)]
    assert out.pop("live") == 0
    assert out == {"gemm": [True, panels], "matmul": [True, band], "forward": [True, band * 2],
                   "chain": [True, chain]}


SET_WEIGHTS_FAULTS = [
    ("cuMemAlloc", 1, "Failed to allocate W1: "),
    ("cuMemcpyHtoD", 1, "Failed to copy W1: "),
    ("cuMemAlloc", 2, "Failed to allocate W2: "),
    ("cuMemcpyHtoD", 2, "Failed to copy W2: "),
    ("cuCtxPushCurrent", 1, "Failed to set CUDA context: "),
]
FORWARD_FAULTS = [
    ("cuMemAlloc", 1, "Failed to allocate CUDA memory: "),
    ("cuMemcpyHtoD", 1, "Failed to copy data to GPU: "),
    ("cuMemAlloc", 2, "Failed to allocate H: "),
    ("cuMemAlloc", 3, "Failed to allocate C: "),
    ("cuLaunchKernel", 1, "First GEMM failed: "),
    ("cuLaunchKernel", 2, "Second GEMM failed: "),
    ("cuStreamSynchronize", 1, "Failed to synchronize stream: "),
    ("cuMemcpyDtoH", 1, "Failed to copy data from GPU: "),
]


def test_model_failure_tables_leave_no_stray_buffers():
    out = child(f"""
        w1, w2, x = rand(4, 8), rand(8, 3), rand(2, 4)
        m = vb.VantBLASModel()
        m.set_weights(w1, w2)
        expected = m.forward(x)
        sw = []
        for entry, nth, _ in {SET_WEIGHTS_FAULTS!r}:
            m.set_weights(w1, w2)
            fake.fail(entry, fake.calls(entry) + nth, 2)
            e = error_of(m.set_weights, w1, w2)
            fake.clear_failures()
            sw.append([e, fake.live_allocations, error_of(m.forward, x)])
        out["set_weights"] = sw
        fw = []
        for entry, nth, _ in {FORWARD_FAULTS!r}:
            m.set_weights(w1, w2)
            fake.fail(entry, fake.calls(entry) + nth, 2)
            e = error_of(m.forward, x)
            fake.clear_failures()
            fw.append([e, fake.live_allocations])
        out["forward"] = fw
        out["recovered"] = bool(np.array_equal(m.forward(x), expected))
    """)
    for (entry, nth, prefix), (error, live, later) in zip(SET_WEIGHTS_FAULTS, out["set_weights"]):
        assert error.startswith("RuntimeError: " + prefix), (entry, nth, error)
        if entry == "cuCtxPushCurrent":
            continue  # refused before the old weights are touched
        assert live == 0, (entry, nth, live)
        assert later == "RuntimeError: Weights not set! Call set_weights() first."
    for (entry, nth, prefix), (error, live) in zip(FORWARD_FAULTS, out["forward"]):
        assert error.startswith("RuntimeError: " + prefix), (entry, nth, error)
        assert live == 2, (entry, nth, live)
    assert out["recovered"]


def test_chain_routes_results_and_faults():
    out = child("""
        a, w1, w2 = rand(32, 64), rand(64, 48), rand(48, 16)
        fake.clear_logs()
        c = vb.gemm_chain(a, w1, w2)
        kernels = [l["kernel"] for l in fake.launches()]
        out["both_f16"] = kernels
        ref = (a.astype(np.float64) @ w1) @ w2
        out["f16_err"] = float(np.linalg.norm(c - ref) / np.linalg.norm(ref))
        fake.clear_logs()
        w2b = rand(48, 10)
        c2 = vb.gemm_chain(a, w1, w2b)
        out["mixed"] = [l["kernel"] for l in fake.launches()]
        ref2 = (a.astype(np.float64) @ w1) @ w2b
        out["mixed_err"] = float(np.linalg.norm(c2 - ref2) / np.linalg.norm(ref2))
        out["vs_gemm"] = float(np.abs(c2 - vb.gemm(vb.gemm(a, w1), w2b)).max())
        copies = fake.calls("cuMemcpyHtoDAsync"), fake.calls("cuMemcpyDtoHAsync")
        vb.gemm_chain(a, w1, w2b)
        out["copies"] = [fake.calls("cuMemcpyHtoDAsync") - copies[0], fake.calls("cuMemcpyDtoHAsync") - copies[1]]
        out["live"] = fake.live_allocations
        out["w_mismatch"] = error_of(vb.gemm_chain, rand(4, 5), rand(5, 6), rand(7, 8))
        out["a_mismatch"] = error_of(vb.gemm_chain, rand(4, 5), rand(6, 7), rand(7, 8))
        faults = []
        for entry in ["cuMemAlloc", "cuMemcpyHtoDAsync", "cuLaunchKernel", "cuEventRecord", "cuMemcpyDtoHAsync",
                      "cuEventSynchronize"]:
            fake.fail(entry, 0, 2)
            faults.append([entry, error_of(vb.gemm_chain, rand(5, 7), rand(7, 3), rand(3, 2)), fake.live_allocations])
            fake.clear_failures()
        out["faults"] = faults
    """)
    f16 = {"vantblas_gemm_wmma_opt_vec", "vantblas_gemm_wmma_max"}
    assert len(out["both_f16"]) == 2 and set(out["both_f16"]) <= f16
    assert out["f16_err"] < 5e-3
    assert len(out["mixed"]) == 2 and out["mixed"][0] in f16 and out["mixed"][1] not in f16
    assert out["mixed_err"] < 5e-3 and out["vs_gemm"] < 0.5
    assert out["copies"] == [3, 1] and out["live"] == 0
    needs_cuda = "RuntimeError: gemm_chain requires CUDA. Please use two separate gemm() calls for CPU fallback."
    assert out["w_mismatch"] == needs_cuda
    assert out["a_mismatch"] == "RuntimeError: Shape mismatch: A[4,5] x B[6,7]"
    for entry, error, live in out["faults"]:
        assert error == needs_cuda, entry
        assert live == 0, entry


def test_objects_work_and_free_their_memory_on_other_threads():
    out = child("""
        import threading
        a, b = rand(4, 6), rand(6, 2)
        ta, tb = vb.VantTensor(a), vb.VantTensor(b)
        m = vb.VantBLASModel()
        m.set_weights(b, rand(2, 3))
        box = {}
        def work():
            try:
                box["product"] = float(np.abs(ta.matmul(tb).cpu() - a @ b).max())
                box["forward"] = list(m.forward(a).shape)
                box["fresh"] = vb.VantTensor(a).cpu().shape
            except Exception as e:
                box["error"] = repr(e)
        th = threading.Thread(target=work)
        th.start(); th.join()
        out.update(box)
        holder = [ta, tb, m]
        def drop():
            holder.clear()
        del ta, tb, m
        th = threading.Thread(target=drop)
        th.start(); th.join()
        out["live"] = fake.live_allocations
        out["bad_frees"] = fake.bad_frees
    """)
    assert "error" not in out, out.get("error")
    assert out["product"] < 1e-4 and out["forward"] == [4, 3]
    assert out["live"] == 0 and out["bad_frees"] == 0
