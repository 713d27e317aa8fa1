"""The compute capability 9.0 GEMM (wgmma fed by TMA through an mbarrier ring) under the PTX
interpreter, the interpreter's rules for that machinery shown firing on broken kernels, and the
route that loads the kernel behind its canary (stand-in driver)."""

from __future__ import annotations

import json
import re

import numpy as np
import pytest

import fakecuda
import test_engine_stand_in as S
from ptxinterp import Module, PtxError, aligned, tensor_map

KERNEL = (fakecuda.REPO / "kernels" / "gemm" / "wgmma_tma.ptx").read_text()
SHARED = 4 * 49152 + 1024


def up(x, t):
    return (x + t - 1) // t * t


def product(mod, a, b, grid=2, schedule=0, back=(1.0, 1.0), swizzle=3):
    """C from the module's conversion and GEMM kernels, operands exact in half."""
    (m, k), n = a.shape, b.shape[1]
    mp, np_, kp = up(m, 128), up(n, 256), up(k, 64)
    ha, hb = aligned(np.full((mp, kp), np.nan, np.float16)), aligned(np.full((kp, np_), np.nan, np.float16))
    fa, fb = aligned(a), aligned(b)
    mod.launch("vantblas_convert_pad_f16", grid=(mp * kp // 1024 + 1,), block=(256,), args=[ha, fa, m, k, mp, kp, 1.0, 1.0])
    mod.launch("vantblas_convert_pad_f16", grid=(kp * np_ // 1024 + 1,), block=(256,), args=[hb, fb, k, n, kp, np_, 1.0, 1.0])
    c = aligned(np.full((m, n), np.nan, np.float32))
    mod.launch("vantblas_gemm_wgmma_tma", grid=(grid,), block=(384,), shared=SHARED, schedule=schedule,
               args=[c, tensor_map(ha, (64, 128), swizzle), tensor_map(hb, (64, 64), swizzle), m, n, k, *back],
               ranges=[(ha.ctypes.data, ha.nbytes), (hb.ctypes.data, hb.nbytes)])
    return c


def eighths(shape, seed):
    return (np.random.default_rng(seed).integers(-8, 9, shape) / 8).astype(np.float32)


def test_kernel_interpreted_over_sizes_and_schedules():
    # Every size of {64, 192, 256, 320, 1024} in every position, two persistent blocks (so a
    # block takes several tiles and the ring's phases run on across tiles), three completion
    # schedules. Operands are multiples of 1/8: the product is exact, so C must equal it bit for
    # bit after the scale-back 2^-3 * 2^-2.
    mod = Module(KERNEL)
    for pos in range(3):
        for size in (64, 192, 256, 320, 1024):
            m, n, k = [size if i == pos else d for i, d in enumerate((80, 48, 112))]
            a, b = eighths((m, k), size + pos), eighths((k, n), size * 3 + pos)
            want = (a.astype(np.float64) @ b) * 2.0 ** -5
            for schedule in (0, 1, 7):
                c = product(mod, a, b, schedule=schedule, back=(0.125, 0.25))
                assert np.array_equal(c, want), (m, n, k, schedule)
    # A map without swizzle while the descriptors say 128-byte swizzle: wrong values, no report.
    a, b = eighths((128, 64), 1), eighths((64, 256), 2)
    assert not np.array_equal(product(mod, a, b, swizzle=0), a.astype(np.float64) @ b)
    # The padding (NaN until converted) left unwritten: the k padding of both operands turns C NaN.
    unpadded, count = re.subn(r"(or\.pred\s+(%p\d+), .*?@\2 bra \t)\$L__BB0_6;", r"\1$L__BB0_7;", KERNEL, flags=re.S)
    assert count == 1
    a, b = eighths((80, 112), 3), eighths((112, 48), 4)
    assert np.isnan(product(Module(unpadded), a, b)).all()


def mini(n, trans_a=0, trans_b=0, rs=False, proxy_fence=True, after_fence=""):
    """One warpgroup: copies an image into shared memory with st.shared, then one
    wgmma m64nNk16 (SS, or RS with A from registers) and stores D thread by thread."""
    regs = ", ".join(f"%f{i}" for i in range(n // 2))
    stores = "\n".join(f"    st.global.f32 [%rd6+{4 * i}], %f{i};" for i in range(n // 2))
    a_op = "{%r10, %r11, %r12, %r13}" if rs else "%rd3"
    imm = f"1, 1, {trans_b}" if rs else f"1, 1, {trans_a}, {trans_b}"
    return f"""
.version 8.0
.target sm_90a
.address_size 64
.visible .entry mini(.param .u64 out, .param .u64 img, .param .u64 da, .param .u64 db, .param .u32 words,
                     .param .u64 afrag)
{{
    .reg .pred %p<2>;
    .reg .b32 %r<16>;
    .reg .b64 %rd<10>;
    .reg .f32 %f<{n // 2}>;
    .shared .align 1024 .b8 smem[16384];
    ld.param.u64 %rd1, [out];
    ld.param.u64 %rd2, [img];
    ld.param.u64 %rd3, [da];
    ld.param.u64 %rd4, [db];
    ld.param.u32 %r1, [words];
    ld.param.u64 %rd7, [afrag];
    mov.u32 %r2, %tid.x;
    mov.u32 %r6, smem;
LOOP:
    setp.ge.u32 %p1, %r2, %r1;
    @%p1 bra DONE;
    mul.wide.u32 %rd5, %r2, 4;
    add.s64 %rd6, %rd2, %rd5;
    ld.global.u32 %r3, [%rd6];
    shl.b32 %r4, %r2, 2;
    add.u32 %r5, %r6, %r4;
    st.shared.u32 [%r5], %r3;
    add.u32 %r2, %r2, 128;
    bra LOOP;
DONE:
    {"fence.proxy.async.shared::cta;" if proxy_fence else ""}
    bar.sync 0;
    mov.u32 %r2, %tid.x;
    mul.wide.u32 %rd5, %r2, 16;
    add.s64 %rd8, %rd7, %rd5;
    ld.global.v4.u32 {{%r10, %r11, %r12, %r13}}, [%rd8];
    wgmma.fence.sync.aligned;
    {after_fence}
    wgmma.mma_async.sync.aligned.m64n{n}k16.f32.f16.f16 {{{regs}}}, {a_op}, %rd4, 0, {imm};
    wgmma.commit_group.sync.aligned;
    wgmma.wait_group.sync.aligned 0;
    mul.wide.u32 %rd5, %r2, {2 * n};
    add.s64 %rd6, %rd1, %rd5;
{stores}
    ret;
}}
"""


def place(image, base, mat, w, mn_major):
    """Writes mat (rows x 16: A as M x K, B as N x K) at `base` in the canonical layout of swizzle
    width w (0 = none) and major-ness; returns the descriptor."""
    rows = mat.shape[0]
    if not mn_major:
        lbo, sbo = (16, 8 * w) if w else (128, 256)
    else:
        lbo, sbo = (16 * w, 8 * w) if w else ((rows + 7) // 8 * 128, 128)
    for r in range(rows):
        for k in range(16):
            if not mn_major:
                lin = base + r // 8 * sbo + r % 8 * w + 2 * k if w else base + r // 8 * sbo + r % 8 * 16 + k // 8 * lbo + k % 8 * 2
            else:
                lin = (base + r // (w // 2) * lbo + r % (w // 2) * 2 + k // 8 * sbo + k % 8 * w if w
                       else base + r // 8 * sbo + r % 8 * 2 + k // 8 * lbo + k % 8 * 16)
            if w:
                lin ^= ((lin >> 7) & (w // 16 - 1)) << 4
            image[lin // 2] = np.float16(mat[r, k])
    mode = {0: 0, 128: 1, 64: 2, 32: 3}[w]
    return (base >> 4) | (lbo >> 4) << 16 | (sbo >> 4) << 32 | mode << 62


def run_mini(text, n, a, b, w=0, trans_a=0, trans_b=0, afrag=None):
    image = np.zeros(8192, np.float16)
    da = place(image, 0, a, w, trans_a)
    db = place(image, 8192, b.T, w, trans_b)
    out = aligned(np.full((128, n // 2), np.nan, np.float32))
    frag = aligned(afrag if afrag is not None else np.zeros((128, 8), np.float16))
    Module(text).launch("mini", grid=(1,), block=(128,), args=[out, aligned(image), da, db, 4096, frag])
    d = np.full((64, n), np.nan)
    for t in range(128):
        wq, g, q = t // 32, t % 32 // 4, t % 4
        for i in range(n // 2):
            d[16 * wq + g + 8 * (i >> 1 & 1), 8 * (i >> 2) + 2 * q + (i & 1)] = out[t, i]
    return d


def test_descriptors_in_every_swizzle_mode_and_major_ness():
    # Operands placed by the canonical layouts (N = 24: three 8-column blocks); D mapped back by
    # the accumulator layout; both forms (A through a descriptor, A from registers).
    n = 24
    a, b = eighths((64, 16), 3), eighths((16, n), 4)
    want = a.astype(np.float64) @ b
    for w in (0, 32, 64, 128):
        for ta in (0, 1):
            for tb in (0, 1):
                d = run_mini(mini(n, ta, tb), n, a, b, w, ta, tb)
                assert np.array_equal(d, want), (w, ta, tb)
    frag = np.zeros((128, 8), np.float16)
    for t in range(128):
        wq, g, q = t // 32, t % 32 // 4, t % 4
        for i in range(8):
            frag[t, i] = a[16 * wq + g + 8 * (i >> 1 & 1), 2 * q + (i & 1) + 8 * (i >> 2)]
    for tb in (0, 1):
        assert np.array_equal(run_mini(mini(n, 0, tb, rs=True), n, np.zeros((64, 16)), b, 128, 0, tb, frag), want)


def mutate(pattern, repl, text=KERNEL):
    out, count = re.subn(pattern, repl, text, count=1)
    assert count == 1, pattern
    return out


def empty_count_4():
    at = KERNEL.index("mbarrier.init")
    mov = re.compile(r"mov\.u32\s+%r\d+, 8;").search(KERNEL, at)
    return KERNEL[:mov.start()] + mov.group(0).replace(", 8;", ", 4;") + KERNEL[mov.end():]


# name -> (kernel text, completion schedule, report kind(s), words of the report)
BROKEN = {
    "accumulator read in flight": (mutate(r"wgmma\.wait_group\.sync\.aligned 0;", ""), 0, "async", "in flight (no wgmma.wait_group"),
    "no fence before the first wgmma": (mutate(r"wgmma\.fence\.sync\.aligned;", ""), 0, "async", "no wgmma.fence"),
    "stage released before its wgmma completed": (mutate(r"wait_group\.sync\.aligned 1;", "wait_group.sync.aligned 2;"), 0,
                                                  "async", "while a wgmma reading it is in flight"),
    "full barrier not waited for": (mutate(r"mbarrier\.try_wait\.parity\.shared::cta\.b64 p, \[%r\d+\], %r\d+;",
                                           "setp.eq.u32 p, 0, 0;"), 0, "async uninitialised", "wgmma reads shared address"),
    "transaction count short": (mutate(r"(arrive\.expect_tx\.shared::cta\.b64 _, \[%r\d+\]), %r\d+;", r"\1, 32768;"), 0,
                                "async", "did not wait for"),
    "no arrival on the full barrier": (mutate(r"mbarrier\.arrive\.expect_tx\.shared::cta\.b64 _, (\[%r\d+\], %r\d+);",
                                              r"mbarrier.expect_tx.shared::cta.b64 \1;"),
                                       3, "deadlock", "no thread or copy in flight can complete it"),
    "every lane issues the copies": (mutate(r"elect\.sync (?:_|%r\d+)\|p, 0xffffffff;", "setp.eq.u32 p, 0, 0;"), 0,
                                     "async", "beyond the 1 its phase expects"),
    "register budget exceeded": (mutate(r"setmaxnreg\.inc\.sync\.aligned\.u32 232;", "setmaxnreg.inc.sync.aligned.u32 240;"), 0,
                                 "deadlock", "waits forever"),
    "setmaxnreg without a cap": (mutate(r"(?m)^\.maxnreg 168$", ""), 0, "async", "without .maxnreg"),
    # eight arrivals complete two phases of a barrier expecting four: the parity runs ahead
    "empty barrier counting four warps": (empty_count_4(), 5, "deadlock", "4 of 4 arrivals pending"),
    "barrier never initialised": (re.sub(r"mbarrier\.init[^;]*;", "", KERNEL), 0, "async", "no initialised mbarrier"),
}


def test_each_rule_fires_on_a_broken_kernel():
    a, b = eighths((128, 320), 5), eighths((320, 256), 6)
    for name, (text, schedule, kind, words) in BROKEN.items():
        with pytest.raises(PtxError) as e:
            product(Module(text), a, b, grid=1, schedule=schedule)
            pytest.fail(f"no report: {name}")
        assert e.value.kind in kind.split() and words in str(e.value), (name, str(e.value))
    # the working kernel, same product and schedules: no report
    for schedule in (0, 3, 5):
        assert np.array_equal(product(Module(KERNEL), a, b, grid=1, schedule=schedule), a.astype(np.float64) @ b)
    # generic stores read by wgmma: a fence.proxy.async is required, and a register touched
    # after wgmma.fence needs another one
    n, x, y = 8, eighths((64, 16), 7), eighths((16, 8), 8)
    for text, words in [(mini(n, proxy_fence=False), "no fence.proxy.async"),
                        (mini(n, after_fence="mov.f32 %f3, 0f00000000;"), "accessed since the last wgmma.fence")]:
        with pytest.raises(PtxError) as e:
            run_mini(text, n, x, y)
        assert e.value.kind == "async" and words in str(e.value)


# ---- the route (stand-in driver) --------------------------------------------------------------

WG_OK = S.VB + "\u26a1 wgmma kernel loaded! (TMA + wgmma, 128x256 tiles)"
WG_FAILED = S.VB + "Warning: wgmma kernel failed its self-test, not used"
ROUTE = """
    s = h.kernel_set()
    a, b = rand((272, 48), 1) * np.float32(1e5), rand((48, 144), 2)
    before = len(fake.launches())
    c = gpu(a, b)
    l = new_launches(before)
    print(json.dumps({"wg": bool(s["gemm_wgmma_tma"]), "pipe": bool(s["gemm_mma_pipe"]),
                      "launches": [(x["kernel"], x["grid"], x["block"], x["shared"], x["cluster"]) for x in l],
                      "close": R.pipe_close(c, a, b), "reports": fake.stat("interpreter_reports"),
                      "live": fake.live_allocations}))
"""
PAD, GEMM, PIPE = "vantblas_convert_pad_f16", "vantblas_gemm_wgmma_tma", "vantblas_gemm_mma_pipe"


@pytest.mark.parametrize("cc", [(8, 0), (8, 9), (9, 0), (10, 0)])
def test_route_by_compute_capability(cc):
    r = S.run(ROUTE, cc=cc, refuse=())
    out = S.payload(r)
    lines = S.engine_lines(r)
    assert out["close"] and out["reports"] == 0 and out["live"] == 0 and out["pipe"]
    if cc != (9, 0):
        assert not out["wg"] and not any("wgmma" in line for line in lines)
        assert [x[0] for x in out["launches"]][-1] == PIPE
        return
    assert lines[-3:] == [S.PIPE_OK, WG_OK, S.VB + "\u2705 All kernels loaded successfully"]
    # A and B converted into padded scratch (272 x 48 -> 384 x 64 halves, 48 x 144 -> 64 x 256),
    # three tiles on three persistent blocks of 384 threads, a cluster of one.
    assert out["launches"] == [[PAD, [24, 1, 1], [256, 1, 1], 0, [1, 1, 1]], [PAD, [16, 1, 1], [256, 1, 1], 0, [1, 1, 1]],
                               [GEMM, [3, 1, 1], [384, 1, 1], SHARED, [1, 1, 1]]]


def test_canary_and_fallbacks_leave_the_mma_route():
    # a wrong result in the canary, a missing entry, a refused module: the mma.sync route serves
    for env, refuse, line in [({"FAKE_CUDA_CORRUPT": GEMM}, (), WG_FAILED),
                              ({"FAKE_CUDA_HIDE": "cuTensorMapEncodeTiled"}, (), None),
                              ({}, (GEMM,), S.VB + "Warning: wgmma kernel failed to load: 218")]:
        r = S.run(ROUTE, cc=(9, 0), refuse=refuse, env=env)
        out = S.payload(r)
        lines = S.engine_lines(r)
        assert not out["wg"] and out["pipe"] and out["live"] == 0 and out["reports"] == 0, env
        assert [x[0] for x in out["launches"]][-1] == PIPE and out["close"]
        assert (line in lines) if line else not any("wgmma" in x for x in lines)
        assert lines[-1] == S.VB + "\u2705 All kernels loaded successfully"


def test_range_safe_magnitudes_through_the_route_under_schedules():
    # The pipelined route's magnitude cases, served by the wgmma kernel, under two schedules.
    code = """
        cases = [((16, 16, 16), 1.0, 1.0), ((48, 272, 144), 1e-30, 1.0), ((144, 48, 384), 1e-8, 1e-8),
                 ((272, 384, 48), 1e5, 1e5), ((384, 144, 272), 1e30, 1e-30), ((128, 128, 128), "mixed", 1e30),
                 ((128, 16, 48), 1.0, "special")]
        h.kernel_set()
        out = []
        for case, a, b, c, l in magnitude_products(cases):
            out.append([l[-1]["kernel"], R.pipe_close(c, a, b), case[4] == "special" or bool(np.isfinite(c).all())])
        print(json.dumps({"cases": out, "reports": fake.stat("interpreter_reports"),
                          "violations": fake.bounds_violations, "live": fake.live_allocations}))
    """
    for schedule in ("0", "11"):
        out = S.payload(S.run(code, cc=(9, 0), refuse=(), env={"FAKE_CUDA_SCHEDULE": schedule}, timeout=600))
        assert out["reports"] == 0 and out["violations"] == 0 and out["live"] == 0
        assert out["cases"] == [[GEMM, True, True]] * 7, schedule


def test_stand_in_checks_maps_attributes_and_cluster_launches():
    r = fakecuda.run("""
        import ctypes as c
        L = fake.lib
        U64, U32 = c.c_uint64 * 2, c.c_uint * 2
        buf = (c.c_uint8 * 4096)()
        base = (c.addressof(buf) + 255) // 256 * 256
        mp = c.create_string_buffer(256)
        at = (c.addressof(mp) + 63) // 64 * 64
        def enc(addr=base, dims=(64, 16), stride=128, box=(64, 16), swz=3, es=(1, 1), dtype=6, mapat=at):
            return L.cuTensorMapEncodeTiled(c.c_void_p(mapat), dtype, 2, c.c_void_p(addr), U64(*dims),
                                            (c.c_uint64 * 1)(stride), U32(*box), U32(*es), 0, swz, 2, 0)
        out = {"ok": enc(), "magic": bytes(mp)[at - c.addressof(mp):][:4].hex(),
               "bad": [enc(addr=base + 8), enc(stride=120), enc(stride=64), enc(box=(64, 257)), enc(box=(4, 16), swz=0),
                       enc(box=(128, 16)), enc(es=(1, 9)), enc(dtype=13), enc(mapat=at + 8), enc(dims=(0, 16))]}
        fake.set_compute_capability(10, 0)
        L.cuInit(0)
        ctx = c.c_void_p()
        L.cuCtxCreate_v2(c.byref(ctx), 0, 0)
        mod = c.c_void_p()
        text = open(%r).read().encode() + b"\\0"
        out["load_at_10"] = L.cuModuleLoadData(c.byref(mod), text)
        fake.set_compute_capability(9, 0)
        out["load_at_9"] = L.cuModuleLoadData(c.byref(mod), text)
        fn = c.c_void_p()
        L.cuModuleGetFunction(c.byref(fn), mod, b"vantblas_gemm_wgmma_tma")
        out["attr"] = [L.cuFuncSetAttribute(fn, 8, v) for v in (232448, 197632)] + [L.cuFuncSetAttribute(fn, 9, 0)]
        class Attr(c.Structure):
            _fields_ = [("id", c.c_uint), ("pad", c.c_uint), ("x", c.c_uint), ("y", c.c_uint), ("z", c.c_uint),
                        ("rest", c.c_uint8 * 52)]
        class Config(c.Structure):
            _fields_ = [("g", c.c_uint * 3), ("b", c.c_uint * 3), ("shared", c.c_uint), ("stream", c.c_void_p),
                        ("attrs", c.POINTER(Attr)), ("n", c.c_uint)]
        conv = c.c_void_p()
        L.cuModuleGetFunction(c.byref(conv), mod, b"vantblas_convert_pad_f16")
        dev = c.c_uint64()
        L.cuMemAlloc_v2(c.byref(dev), 4096)
        vals = [c.c_uint64(dev.value), c.c_uint64(dev.value), c.c_uint(0), c.c_uint(0), c.c_uint(1), c.c_uint(2048),
                c.c_float(1), c.c_float(1)]
        params = (c.c_void_p * 8)(*[c.cast(c.byref(v), c.c_void_p) for v in vals])
        def launch(grid, cluster):   # the conversion kernel: 2048 zeros from two blocks
            a = Attr(4, 0, *cluster)
            cfg = Config((c.c_uint * 3)(*grid), (c.c_uint * 3)(256, 1, 1), 0, None, c.pointer(a), 1)
            return L.cuLaunchKernelEx(c.byref(cfg), conv, params, None)
        out["ex"] = [launch((2, 1, 1), (2, 1, 1)), L.cuStreamSynchronize(None), launch((3, 1, 1), (2, 1, 1)),
                     launch((16, 1, 1), (16, 1, 1)), launch((2, 1, 1), (0, 1, 1))]
        fake.set_compute_capability(8, 9)
        out["ex"].append(launch((2, 1, 1), (2, 1, 1)))
        out["cluster"] = fake.launches()[-1]["cluster"]
        print(json.dumps(out))
    """ % str(fakecuda.REPO / "kernels" / "gemm" / "wgmma_tma.ptx"), refuse=())
    out = json.loads(r.check().lines[-1])
    assert out["ok"] == 0 and out["magic"] == "56544d50"
    assert all(x == 1 for x in out["bad"]), out["bad"]
    assert out["load_at_10"] == 209 and out["load_at_9"] == 0
    assert out["attr"] == [1, 0, 1]
    # clusters must divide the grid, stay within 8, be nonzero, and need compute capability 9.0
    assert out["ex"] == [0, 0, 1, 1, 1, 1] and out["cluster"] == [2, 1, 1]
