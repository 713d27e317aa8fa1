"""The stand-in driver's contexts and streams as a neighbouring library sees them: context stacks,
the primary context's life, objects owned by their context, the default stream handles with the
legacy stream's implicit order, pointer attributes, and a device reset by someone else. Driven
through ctypes straight against the stand-in, without the module."""

from __future__ import annotations

import json
import textwrap

import fakecuda

PRELUDE = """
import ctypes, threading
cu = fake.driver()
P, U64 = ctypes.c_void_p, ctypes.c_uint64
def ok(status):
    assert status == 0, status
def handle(fn, *args):
    h = P()
    ok(fn(ctypes.byref(h), *args))
    return h.value
def alloc(n=16):
    d = U64()
    ok(cu.cuMemAlloc_v2(ctypes.byref(d), n))
    return d.value
def current():
    return fake.current_context()
ok(cu.cuInit(0))
"""

# One kernel that stores 1.0 at its pointer parameter (run by the PTX interpreter).
POKE = (".version 7.0\n.target sm_75\n.address_size 64\n.visible .entry poke(.param .u64 out)\n{\n"
        "    .reg .b64 %rd<2>;\n    .reg .f32 %f<2>;\n    ld.param.u64 %rd1, [out];\n"
        "    mov.f32 %f1, 0f3F800000;\n    st.global.f32 [%rd1], %f1;\n    ret;\n}\n")


def child(code, **kw):
    r = fakecuda.run(PRELUDE + textwrap.dedent(code), **kw)
    r.check()
    return json.loads(r.lines[-1]), r.stderr


def test_context_stack_ownership_and_the_primary_context_life():
    out, err = child(f"""
        res = {{}}
        ctx = P()
        res["empty"] = [current(), cu.cuCtxPopCurrent_v2(None), cu.cuMemAlloc_v2(ctypes.byref(U64()), 4)]
        prim = handle(cu.cuDevicePrimaryCtxRetain, 0)
        res["same_handle"] = handle(cu.cuDevicePrimaryCtxRetain, 0) == prim
        flags, active = ctypes.c_uint(), ctypes.c_int()
        ok(cu.cuDevicePrimaryCtxGetState(0, ctypes.byref(flags), ctypes.byref(active)))
        res["state"] = [active.value, fake.stat("primary_retain_count"), fake.live_contexts]
        ok(cu.cuCtxPushCurrent_v2(prim))
        d, s_prim, ev = alloc(), handle(cu.cuStreamCreate, 0), handle(cu.cuEventCreate, 0)
        mod = handle(cu.cuModuleLoadData, {POKE!r}.encode())
        fn = handle(cu.cuModuleGetFunction, mod, b"poke")
        ok(cu.cuEventRecord(ev, s_prim))

        # a context of our own, pushed by its creation: the primary context's objects are foreign
        own = handle(cu.cuCtxCreate_v2, 0, 0)
        res["pushed"] = [current() == own, fake.stat("context_stack_depth")]
        host = (ctypes.c_float * 4)()
        res["foreign"] = [cu.cuMemFree_v2(d), cu.cuMemcpyHtoD_v2(d, host, 16), cu.cuMemcpyDtoH_v2(host, d, 16),
                          cu.cuStreamSynchronize(s_prim), cu.cuEventRecord(ev, None),
                          cu.cuModuleGetFunction(ctypes.byref(P()), mod, b"poke"), fake.bad_frees]
        # an event of the other context may be waited for; its kernel cannot be launched here
        s_own = handle(cu.cuStreamCreate, 1)
        res["wait_foreign_event"] = cu.cuStreamWaitEvent(s_own, ev, 0)
        d_param = U64(d)
        args = (P * 1)(ctypes.addressof(d_param))
        res["launch_foreign_fn"] = cu.cuLaunchKernel(fn, 1, 1, 1, 1, 1, 1, 0, s_own, args, None)
        # our own kernel launched on the primary context's memory fails when it runs
        own_mod = handle(cu.cuModuleLoadData, {POKE!r}.encode())
        own_fn = handle(cu.cuModuleGetFunction, own_mod, b"poke")
        ok(cu.cuLaunchKernel(own_fn, 1, 1, 1, 1, 1, 1, 0, s_own, args, None))
        res["foreign_kernel"] = [cu.cuStreamSynchronize(s_own), fake.bounds_violations]
        ok(cu.cuStreamDestroy_v2(s_own)); ok(cu.cuModuleUnload(own_mod))

        # set replaces the top, null pops it; destroying the current context pops it
        ok(cu.cuCtxSetCurrent(None))
        res["after_set_null"] = current() == prim
        ok(cu.cuCtxSetCurrent(own))
        res["set_replaces"] = [current() == own, fake.stat("context_stack_depth")]
        ok(cu.cuCtxPushCurrent_v2(prim))
        ok(cu.cuCtxPopCurrent_v2(ctypes.byref(ctx)))
        res["popped"] = ctx.value == prim
        ok(cu.cuCtxPopCurrent_v2(ctypes.byref(ctx)))
        res["popped_own"] = [ctx.value == own, current(), cu.cuCtxPopCurrent_v2(None)]
        ok(cu.cuCtxPushCurrent_v2(prim)); ok(cu.cuCtxPushCurrent_v2(own))
        ok(cu.cuCtxDestroy_v2(own))
        res["destroy_pops"] = [current() == prim, cu.cuCtxPushCurrent_v2(own), cu.cuCtxDestroy_v2(prim)]
        seen = []
        t = threading.Thread(target=lambda: seen.append((current(), cu.cuMemAlloc_v2(ctypes.byref(U64()), 4))))
        t.start(); t.join()
        res["fresh_thread"] = seen[0]

        # another library resets the device: everything of the primary context is gone, calls in
        # it fail until it is retained again, and its old handles stay invalid afterwards
        pin = P()
        ok(cu.cuMemHostAlloc(ctypes.byref(pin), 16, 0))
        live = fake.live_primary_objects
        ok(cu.cuMemcpyHtoDAsync_v2(d, host, 16, s_prim))
        pending = fake.pending_ops
        ok(fake.reset_primary_context(0))
        ok(cu.cuDevicePrimaryCtxGetState(0, ctypes.byref(flags), ctypes.byref(active)))
        res["reset"] = [live, pending, fake.stat("objects_dropped"), fake.live_primary_objects, fake.pending_ops,
                        cu.cuMemAlloc_v2(ctypes.byref(U64()), 4), cu.cuStreamSynchronize(None), active.value,
                        fake.stat("primary_retain_count")]
        res["retained_again"] = handle(cu.cuDevicePrimaryCtxRetain, 0) == prim
        res["stale"] = [cu.cuStreamSynchronize(s_prim), cu.cuEventRecord(ev, None), cu.cuMemFree_v2(d),
                        cu.cuModuleGetFunction(ctypes.byref(P()), mod, b"poke"), cu.cuMemFreeHost(pin),
                        cu.cuLaunchKernel(fn, 1, 1, 1, 1, 1, 1, 0, None, args, None)]
        # the last release destroys what the context still holds
        alloc(); handle(cu.cuStreamCreate, 0)
        for _ in range(3):
            ok(cu.cuDevicePrimaryCtxRelease_v2(0))
        ok(cu.cuDevicePrimaryCtxGetState(0, ctypes.byref(flags), ctypes.byref(active)))
        res["released"] = [active.value, fake.live_allocations, fake.live_streams, fake.live_contexts,
                           cu.cuDevicePrimaryCtxRelease_v2(0), cu.cuStreamSynchronize(None)]
        res["counts"] = [fake.stat(k) for k in ("primary_retains", "primary_releases", "ctx_pushes", "ctx_pops")]
        print(json.dumps(res))
    """, interpret="all")
    assert out["empty"] == [0, 201, 201]
    assert out["same_handle"] and out["state"] == [1, 2, 1]
    assert out["pushed"] == [True, 2]
    assert out["foreign"] == [1, 1, 1, 400, 400, 400, 1]
    assert out["wait_foreign_event"] == 0 and out["launch_foreign_fn"] == 400
    assert out["foreign_kernel"] == [700, 1] and "memory of another context" in err
    assert out["after_set_null"] and out["set_replaces"] == [True, 1]
    assert out["popped"] and out["popped_own"] == [True, 0, 201]
    assert out["destroy_pops"] == [True, 201, 201]
    assert out["fresh_thread"] == [0, 201]
    # a stream, an event, a module, the allocation and the pinned block; the queued copy dropped
    assert out["reset"] == [5, 1, 5, 0, 0, 709, 709, 0, 2]
    assert out["retained_again"]
    assert out["stale"] == [400, 400, 1, 400, 1, 400]
    assert out["released"] == [0, 0, 0, 0, 201, 709]
    assert out["counts"] == [3, 3, 4, 2]


def test_default_streams_order_work_as_on_the_device():
    out, err = child("""
        res = {}
        prim = handle(cu.cuDevicePrimaryCtxRetain, 0)
        ok(cu.cuCtxSetCurrent(prim))
        LEGACY, PER_THREAD = P(1), P(2)
        blocking, nonblocking = handle(cu.cuStreamCreate, 0), handle(cu.cuStreamCreate, 1)
        src, dst = alloc(), alloc()
        host = (ctypes.c_float * 4)()

        def case(producer, consumer, value):
            # the producer uploads into src, the consumer copies src to dst; forcing the consumer
            # alone must run the producer first exactly when the two are ordered
            host[:] = [value] * 4
            before = fake.hazards
            ok(cu.cuMemcpyHtoDAsync_v2(src, host, 16, producer))
            ok(cu.cuMemcpyDtoDAsync_v2(dst, src, 16, consumer))
            ok(cu.cuStreamSynchronize(consumer))
            got = fake.read_f32(dst, 1)[0]
            return [got == value, fake.hazards - before]

        res["legacy_after_blocking"] = case(blocking, LEGACY, 1.0)
        res["per_thread_after_legacy"] = case(LEGACY, PER_THREAD, 2.0)
        res["blocking_beside_per_thread"] = case(PER_THREAD, blocking, 3.0)  # only legacy work is ordered
        res["nonblocking_after_blocking"] = case(blocking, nonblocking, 4.0)
        res["legacy_after_nonblocking"] = case(nonblocking, None, 5.0)
        # an event orders what the implicit rules do not
        ev = handle(cu.cuEventCreate, 0)
        host[:] = [6.0] * 4
        ok(cu.cuMemcpyHtoDAsync_v2(src, host, 16, nonblocking))
        ok(cu.cuEventRecord(ev, nonblocking))
        res["query_queued"] = [cu.cuEventQuery(ev), fake.pending_ops]
        ok(cu.cuStreamWaitEvent(LEGACY, ev, 0))
        ok(cu.cuMemcpyDtoDAsync_v2(dst, src, 16, LEGACY))
        fake.run_all()
        res["query_ran"] = [cu.cuEventQuery(ev), fake.pending_ops, fake.read_f32(dst, 1)[0], fake.hazards]
        res["bad"] = [cu.cuMemcpyDtoDAsync_v2(dst, src, 17, None), cu.cuMemcpyDtoDAsync_v2(dst, src + 8, 16, None),
                      cu.cuStreamDestroy_v2(PER_THREAD), cu.cuStreamDestroy_v2(LEGACY),
                      cu.cuMemcpyDtoDAsync_v2(dst, src, 16, P(3)), fake.live_streams]
        print(json.dumps(res))
    """)
    assert out["legacy_after_blocking"] == [True, 0]
    assert out["per_thread_after_legacy"] == [True, 0]
    assert out["blocking_beside_per_thread"] == [False, 1]
    assert out["nonblocking_after_blocking"] == [False, 1]
    assert out["legacy_after_nonblocking"] == [False, 1]
    assert "device-to-device copy's source" in err
    assert out["query_queued"] == [600, 1]
    assert out["query_ran"] == [0, 0, 6.0, 3]
    assert out["bad"] == [1, 1, 400, 400, 400, 2]


def test_pointer_attributes_and_entry_versions():
    out, _ = child("""
        res = {}
        prim = handle(cu.cuDevicePrimaryCtxRetain, 0)
        ok(cu.cuCtxPushCurrent_v2(prim))
        a, b = alloc(64), alloc(64)
        pin = P()
        ok(cu.cuMemHostAlloc(ctypes.byref(pin), 32, 0))
        own = handle(cu.cuCtxCreate_v2, 0, 0)
        c = alloc(8)
        ia, ib, ic = fake.pointer_attributes(a + 60), fake.pointer_attributes(b), fake.pointer_attributes(c)
        res["interior"] = [ia["context"] == prim, ia["memory_type"], ia["device_pointer"] == a + 60,
                           ia["range_start"] == a, ia["range_size"], ia["device_ordinal"], ia["is_managed"]]
        res["ids"] = len({ia["buffer_id"], ib["buffer_id"], ic["buffer_id"]}) == 3 and ia["buffer_id"] > 0
        res["own"] = ic["context"] == own
        hp = fake.pointer_attributes(pin.value + 4)
        res["pinned"] = [hp["memory_type"], hp["context"] == prim, hp["range_start"] == pin.value]
        res["unknown"] = [fake.pointer_attributes(p) for p in (a + 64, 12345)]
        bad = (ctypes.c_int * 1)(6)
        res["bad_attribute"] = cu.cuPointerGetAttributes(1, bad, (P * 1)(ctypes.addressof(U64())), a)
        fn = P()
        res["versions"] = [cu.cuGetProcAddress_v2(name.encode(), ctypes.byref(fn), v, 0, None)
                           for name, v in (("cuDevicePrimaryCtxRetain", 7000), ("cuDevicePrimaryCtxRelease", 10020),
                                           ("cuDevicePrimaryCtxRelease", 11000), ("cuCtxPushCurrent", 4000),
                                           ("cuPointerGetAttributes", 6050), ("cuMemcpyDtoDAsync", 3020),
                                           ("cuEventQuery", 2000))]
        print(json.dumps(res))
    """)
    assert out["interior"] == [True, 2, True, True, 64, 0, 0]
    assert out["ids"] and out["own"]
    assert out["pinned"] == [1, True, True]
    nothing = {"context": 0, "memory_type": 0, "device_pointer": 0, "host_pointer": 0, "buffer_id": 0,
               "is_managed": 0, "device_ordinal": -2, "range_start": 0, "range_size": 0, "mapped": 0}
    assert out["unknown"] == [nothing, nothing]
    assert out["bad_attribute"] == 1
    assert out["versions"] == [0, 500, 0, 0, 500, 0, 0]
