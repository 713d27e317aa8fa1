"""The PTX interpreter (tools/ptx_interp) against the PTX ISA: lane maps of every warp-collective
instruction stated in NumPy from the table in the PTX facts sheet (never from a kernel under test),
cp.async group accounting, exact rounding, and each checker firing on a deliberately broken kernel."""

from __future__ import annotations

import re

import numpy as np
import pytest

import fakecuda
from ptxinterp import Module, PtxError, aligned

RNG = np.random.default_rng(11)

HEAD = ".version 8.0\n.target sm_80\n.address_size 64\n"


def kernel(body, params, regs="", shared="", name="k"):
    """A one-entry module: `params` like ".u64 out, .u32 n"; every register file declared."""
    plist = ",\n".join(f"    .param {p.strip()}" for p in params.split(",") if p.strip())
    return (HEAD + f".visible .entry {name}(\n{plist}\n)\n{{\n"
            "    .reg .pred %p<8>;\n    .reg .b16 %h<16>;\n    .reg .b32 %r<64>;\n    .reg .b64 %rd<32>;\n"
            "    .reg .f32 %f<64>;\n" + regs + shared + body + "\n}\n")


# Lane l of one warp: %r1 = l, %rd1 = &out, %rd2 = &in, %rd3 = 4 * l
PROLOGUE = """
    mov.u32 %r1, %tid.x;
    ld.param.u64 %rd1, [out];
    ld.param.u64 %rd2, [inp];
    mul.wide.u32 %rd3, %r1, 4;
"""


# ---- shfl.sync ------------------------------------------------------------------------------------

def shfl_reference(mode, val, b, c):
    """shfl.sync per the facts sheet: source lane and in-range rule per mode."""
    b, clamp, seg = b & 0x1F, c & 0x1F, (c >> 8) & 0x1F  # only b[4:0], c[4:0] and c[12:8] count
    out, pred = np.empty(32, np.uint32), np.empty(32, bool)
    for lane in range(32):
        mx = (lane & seg) | (clamp & ~seg & 0x1F)
        mn = lane & seg
        j, ok = {"up": (lane - b, lane - b >= mx), "down": (lane + b, lane + b <= mx),
                 "bfly": (lane ^ b, (lane ^ b) <= mx), "idx": (mn | (b & ~seg & 0x1F), (mn | (b & ~seg & 0x1F)) <= mx)}[mode]
        out[lane], pred[lane] = (val[j], True) if ok else (val[lane], False)
    return out, pred


@pytest.mark.parametrize("mode,b,c", [("up", 1, 0), ("up", 5, 0x0), ("up", 3, 0x1800), ("down", 1, 0x1F),
                                      ("down", 6, 0x1F), ("down", 2, 0x181F), ("bfly", 16, 0x1F), ("bfly", 3, 0x1F),
                                      ("bfly", 1, 0x1C1F), ("idx", 0, 0x1F), ("idx", 21, 0x1F), ("idx", 5, 0x1807),
                                      ("idx", 7, 0x0F), ("up", 33, 0), ("down", 0x7FFFFFE2, 0x1F),
                                      ("bfly", 0xFFFFFFE3, 0xFFFFE0FF), ("idx", 0x25, 0xFFFFF807)])
def test_shfl_sync_lane_map(mode, b, c):
    text = kernel(PROLOGUE + f"""
    add.s64 %rd4, %rd2, %rd3;
    ld.global.u32 %r2, [%rd4];
    shfl.sync.{mode}.b32 %r3|%p1, %r2, {b}, {c}, -1;
    selp.u32 %r4, 1, 0, %p1;
    add.s64 %rd5, %rd1, %rd3;
    st.global.u32 [%rd5], %r3;
    st.global.u32 [%rd5+128], %r4;
    ret;""", ".u64 out, .u64 inp")
    val = RNG.integers(0, 2**32, 32, dtype=np.uint32)
    out = np.zeros(64, np.uint32)
    Module(text).launch("k", (1,), (32,), [out, val])
    ref, pred = shfl_reference(mode, val, b, c)
    np.testing.assert_array_equal(out[:32], ref)
    np.testing.assert_array_equal(out[32:].astype(bool), pred)


# ---- ldmatrix -------------------------------------------------------------------------------------

@pytest.mark.parametrize("count", [1, 2, 4])
@pytest.mark.parametrize("trans", [False, True])
def test_ldmatrix_lane_map(count, trans):
    # shared holds 32 rows of 8 halves (16 bytes each); lane l supplies the address of row perm[l]
    perm = RNG.permutation(32).astype(np.uint32)
    tile = RNG.integers(0, 2**16, (32, 8), dtype=np.uint16)
    regs = ", ".join(f"%r{10 + j}" for j in range(count))
    stores = "\n".join(f"    st.global.u32 [%rd5+{4 * j}], %r{10 + j};" for j in range(count))
    text = kernel(PROLOGUE + f"""
    ld.param.u64 %rd6, [rows];
    // every lane copies 16 bytes of the tile (row l) into shared memory
    mul.wide.u32 %rd7, %r1, 16;
    add.s64 %rd8, %rd2, %rd7;
    ld.global.v4.u32 {{%r2, %r3, %r4, %r5}}, [%rd8];
    mov.u32 %r6, tile;
    shl.b32 %r7, %r1, 4;
    add.u32 %r8, %r6, %r7;
    st.shared.v4.u32 [%r8], {{%r2, %r3, %r4, %r5}};
    bar.sync 0;
    add.s64 %rd9, %rd6, %rd3;
    ld.global.u32 %r9, [%rd9];
    shl.b32 %r9, %r9, 4;
    add.u32 %r9, %r6, %r9;
    ldmatrix.sync.aligned.m8n8.x{count}{'.trans' if trans else ''}.shared.b16 {{{regs}}}, [%r9];
    mul.wide.u32 %rd10, %r1, {4 * count};
    add.s64 %rd5, %rd1, %rd10;
{stores}
    ret;""", ".u64 out, .u64 inp, .u64 rows", shared="    .shared .align 16 .b8 tile[512];\n")
    out = np.zeros((32, count), np.uint32)
    Module(text).launch("k", (1,), (32,), [out, tile, perm])
    # facts: lanes 8j..8j+7 address the rows of matrix j; lane l receives row l>>2, columns
    # 2(l%4), 2(l%4)+1 (low half first); with .trans, rows 2(l%4), 2(l%4)+1 of column l>>2
    for lane in range(32):
        for j in range(count):
            m = tile[perm[8 * j:8 * j + 8]]  # matrix j, 8 x 8
            lo, hi = ((m[2 * (lane % 4), lane >> 2], m[2 * (lane % 4) + 1, lane >> 2]) if trans else
                      (m[lane >> 2, 2 * (lane % 4)], m[lane >> 2, 2 * (lane % 4) + 1]))
            assert out[lane, j] == int(lo) | (int(hi) << 16), (lane, j)


# ---- mma.sync m16n8k16 ----------------------------------------------------------------------------

def mma_fragments(a, b, c):
    """Per-lane registers of A (16x16), B (16x8) and C (16x8) per the facts sheet's table."""
    ah = a.astype(np.float16).view(np.uint16)
    bh = b.astype(np.float16).view(np.uint16)
    A = np.zeros((32, 4), np.uint32)
    B = np.zeros((32, 2), np.uint32)
    C = np.zeros((32, 4), np.float32)
    for lane in range(32):
        g, t = lane >> 2, lane % 4
        for i in range(8):
            row = g if i in (0, 1, 4, 5) else g + 8
            col = 2 * t + (i & 1) + (8 if i >= 4 else 0)
            A[lane, i // 2] |= int(ah[row, col]) << (16 * (i & 1))
        for i in range(4):
            k = 2 * t + (i & 1) + (8 if i >= 2 else 0)
            B[lane, i // 2] |= int(bh[k, g]) << (16 * (i & 1))
        for i in range(4):
            C[lane, i] = c[g + (8 if i >= 2 else 0), 2 * t + (i & 1)]
    return A, B, C


def test_mma_sync_m16n8k16_lane_map():
    a = RNG.standard_normal((16, 16)).astype(np.float16)
    b = RNG.standard_normal((16, 8)).astype(np.float16)
    c = RNG.standard_normal((16, 8)).astype(np.float32)
    A, B, C = mma_fragments(a, b, c)
    text = kernel(PROLOGUE + """
    ld.param.u64 %rd6, [bfrag];
    ld.param.u64 %rd7, [cfrag];
    mul.wide.u32 %rd8, %r1, 16;
    add.s64 %rd9, %rd2, %rd8;
    ld.global.v4.u32 {%r2, %r3, %r4, %r5}, [%rd9];
    mul.wide.u32 %rd10, %r1, 8;
    add.s64 %rd11, %rd6, %rd10;
    ld.global.v2.u32 {%r6, %r7}, [%rd11];
    add.s64 %rd12, %rd7, %rd8;
    ld.global.v4.f32 {%f1, %f2, %f3, %f4}, [%rd12];
    mma.sync.aligned.m16n8k16.row.col.f32.f16.f16.f32 {%f5, %f6, %f7, %f8}, {%r2, %r3, %r4, %r5}, {%r6, %r7}, {%f1, %f2, %f3, %f4};
    add.s64 %rd13, %rd1, %rd8;
    st.global.v4.f32 [%rd13], {%f5, %f6, %f7, %f8};
    ret;""", ".u64 out, .u64 inp, .u64 bfrag, .u64 cfrag")
    out = np.zeros((32, 4), np.float32)
    Module(text).launch("k", (1,), (32,), [out, A, B, C])
    d = a.astype(np.float64) @ b.astype(np.float64) + c
    _, _, D = mma_fragments(np.zeros((16, 16)), np.zeros((16, 8)), d.astype(np.float32))
    np.testing.assert_allclose(out, D, rtol=1e-6, atol=1e-6)


# ---- wmma m16n16k16 (layout left open by the ISA: load, mma and store must agree) -------------------

@pytest.mark.parametrize("la,lb,ctype", [("row", "row", "f32"), ("col", "row", "f32"), ("row", "col", "f16")])
def test_wmma_load_mma_store_compute_the_product(la, lb, ctype):
    a = RNG.standard_normal((16, 16)).astype(np.float16)
    b = RNG.standard_normal((16, 16)).astype(np.float16)
    c = RNG.standard_normal((16, 16)).astype(np.float32 if ctype == "f32" else np.float16)
    sa, sb, sc = 24, 32, 16 if ctype == "f32" else 24  # strides in elements (padded rows)
    A = np.zeros((16, sa), np.float16)
    A[:, :16] = a if la == "row" else a.T
    B = np.zeros((16, sb), np.float16)
    B[:, :16] = b if lb == "row" else b.T
    C = np.zeros((16, sc), c.dtype)
    C[:, :16] = c
    creg = ", ".join(f"%f{i}" for i in range(1, 9)) if ctype == "f32" else ", ".join(f"%r{i}" for i in range(40, 44))
    dreg = ", ".join(f"%f{i}" for i in range(11, 19)) if ctype == "f32" else ", ".join(f"%r{i}" for i in range(50, 54))
    areg = ", ".join(f"%r{i}" for i in range(10, 18))
    breg = ", ".join(f"%r{i}" for i in range(20, 28))
    text = kernel("""
    ld.param.u64 %rd1, [out];
    ld.param.u64 %rd2, [pa];
    ld.param.u64 %rd3, [pb];
    ld.param.u64 %rd4, [pc];
""" + f"""
    wmma.load.a.sync.aligned.{la}.m16n16k16.global.f16 {{{areg}}}, [%rd2], {sa};
    wmma.load.b.sync.aligned.{lb}.m16n16k16.global.f16 {{{breg}}}, [%rd3], {sb};
    wmma.load.c.sync.aligned.row.m16n16k16.global.{ctype} {{{creg}}}, [%rd4], {sc};
    wmma.mma.sync.aligned.{la}.{lb}.m16n16k16.{ctype}.{ctype} {{{dreg}}}, {{{areg}}}, {{{breg}}}, {{{creg}}};
    wmma.store.d.sync.aligned.row.m16n16k16.global.{ctype} [%rd1], {{{dreg}}}, 16;
    ret;""", ".u64 out, .u64 pa, .u64 pb, .u64 pc")
    out = aligned(np.zeros((16, 16), c.dtype))
    Module(text).launch("k", (1,), (32,), [out, aligned(A), aligned(B), aligned(C)])
    ref = a.astype(np.float64) @ b.astype(np.float64) + c.astype(np.float64)
    np.testing.assert_allclose(out.astype(np.float64), ref.astype(c.dtype).astype(np.float64), rtol=2e-3 if ctype == "f16" else 1e-6,
                               atol=1e-5)
    # multiplying a fragment as the layout it was not loaded with is refused
    wrong = text.replace(f"wmma.mma.sync.aligned.{la}.", f"wmma.mma.sync.aligned.{'col' if la == 'row' else 'row'}.")
    with pytest.raises(PtxError, match="loaded with another layout"):
        Module(wrong).launch("k", (1,), (32,), [out, aligned(A), aligned(B), aligned(C)])


# ---- cp.async -------------------------------------------------------------------------------------

CP_BODY = PROLOGUE + """
    mov.u32 %r2, buf;
    shl.b32 %r3, %r1, 4;
    add.u32 %r4, %r2, %r3;
    mul.wide.u32 %rd4, %r1, 16;
    add.s64 %rd5, %rd2, %rd4;
    cp.async.cg.shared.global [%r4], [%rd5], 16, %r5;
    cp.async.ca.shared.global [%r4+512], [%rd5], 8;
    cp.async.ca.shared.global [%r4+520], [%rd5+8], 4, 0;
    and.b32 %r8, %r1, 1;
    setp.ne.u32 %p3, %r8, 0;
    cp.async.ca.shared.global [%r4+524], [%rd5+12], 4, %p3;
    cp.async.commit_group;
    cp.async.cg.shared.global [%r4+1024], [%rd5], 16;
    cp.async.commit_group;
    {wait}
    // read the neighbour's row: lane (l + 1) % 32
    add.u32 %r6, %r1, 1;
    and.b32 %r6, %r6, 31;
    shl.b32 %r6, %r6, 4;
    add.u32 %r7, %r2, %r6;
    ld.shared.v4.u32 {{%r10, %r11, %r12, %r13}}, [%r7+{offset}];
    add.s64 %rd6, %rd1, %rd4;
    st.global.v4.u32 [%rd6], {{%r10, %r11, %r12, %r13}};
    ret;"""


def cp_kernel(wait, offset=0, srcsize=16):
    body = CP_BODY.replace("{wait}", wait).replace("{offset}", str(offset)).replace("{{", "{").replace("}}", "}")
    body = body.replace("    mov.u32 %r2, buf;", f"    mov.u32 %r5, {srcsize};\n    mov.u32 %r2, buf;")
    return kernel(body, ".u64 out, .u64 inp", shared="    .shared .align 16 .b8 buf[1536];\n")


def test_cp_async_copies_with_zero_fill_once_its_group_is_waited_for():
    src = RNG.integers(1, 2**32, (32, 4), dtype=np.uint32)
    for srcsize, offset in [(16, 0), (6, 0), (0, 0), (16, 512), (16, 1024)]:
        out = np.zeros((32, 4), np.uint32)
        Module(cp_kernel("cp.async.wait_group 0;\n    bar.sync 0;", offset, srcsize)).launch("k", (1,), (32,), [out, src])
        expect = np.roll(src, -1, axis=0).copy()
        if offset == 0:  # src-size bytes copied, the rest of the 16 zero-filled
            raw = expect.view(np.uint8).reshape(32, 16)
            raw[:, srcsize:] = 0
        elif offset == 512:  # 8 + 4 (src-size 0: zeros) + 4 (ignore-src on odd lanes: zeros)
            expect[:, 2] = 0
            expect[np.roll(np.arange(32), -1) % 2 == 1, 3] = 0
        np.testing.assert_array_equal(out, expect, err_msg=f"src-size {srcsize}, offset {offset}")


def test_cp_async_destinations_are_unreadable_before_the_covering_wait():
    src = RNG.integers(1, 2**32, (32, 4), dtype=np.uint32)
    out = np.zeros((32, 4), np.uint32)
    # wait_group 1 leaves the newest group (offset 1024) in flight; the older one is complete
    Module(cp_kernel("cp.async.wait_group 1;\n    bar.sync 0;", 512)).launch("k", (1,), (32,), [out, src])
    for wait, offset in [("cp.async.wait_group 1;\n    bar.sync 0;", 1024), ("bar.sync 0;", 0),
                         ("cp.async.commit_group;\n    bar.sync 0;", 0)]:
        with pytest.raises(PtxError, match="before the wait_group that covers it") as e:
            Module(cp_kernel(wait, offset)).launch("k", (1,), (32,), [out, src])
        assert e.value.kind == "racecheck"
    # waited for, but another thread's copy read without a barrier
    with pytest.raises(PtxError, match="with no barrier between") as e:
        Module(cp_kernel("cp.async.wait_all;", 0)).launch("k", (1,), (32,), [out, src])
    assert e.value.kind == "racecheck" and "kernel k, block (0,0,0) thread (" in str(e.value)


# The copy may land at any moment between its issue and the covering wait. Thread t reads or writes
# word t + 1 of buf and then copies into word t, so thread t - 1's access must be ordered before the
# issue: a barrier after the issue (even before the wait) is too late. A global store to the source
# of a copy in flight (thread t stores to the source of thread t ^ 1) races with the copy's read.
CP_ISSUE = PROLOGUE + """
    mov.u32 %r2, buf;
    shl.b32 %r3, %r1, 2;
    add.u32 %r4, %r2, %r3;
    add.s64 %rd4, %rd2, %rd3;
    xor.b32 %r8, %r1, 1;
    mul.wide.u32 %rd6, %r8, 4;
    add.s64 %rd6, %rd2, %rd6;
    st.shared.u32 [%r4+4], %r1;
    bar.sync 0;
    {access}
    {before}
    cp.async.ca.shared.global [%r4], [%rd4], 4;
    {after}
    cp.async.wait_all;
    bar.sync 0;
    {late}
    ld.shared.u32 %r7, [%r4];
    add.s64 %rd5, %rd1, %rd3;
    st.global.u32 [%rd5], %r7;
    ret;"""
BAR, STORE = "bar.sync 0;", "st.global.u32 [%rd6], %r1;"
CP_ISSUE_CASES = {  # access, (broken, correct twin), report
    "read before the issue": ("ld.shared.u32 %r6, [%r4+4];", ({"after": BAR}, {"before": BAR}),
                              "read by block (0,0,0) thread (0,0,0) with no barrier between that read and the copy's issue"),
    "write before the issue": ("st.shared.u32 [%r4+4], %r1;", ({"after": BAR}, {"before": BAR}),
                               "written by block (0,0,0) thread (0,0,0) with no barrier between that write and the copy's"),
    "store to the source": ("", ({"after": BAR + "\n" + STORE}, {"late": STORE}),
                            "the source of a cp.async by block (0,0,0) thread (1,0,0) ('cp.async.ca.shared.global"),
}


@pytest.mark.parametrize("case", sorted(CP_ISSUE_CASES))
def test_cp_async_is_checked_at_issue_against_accesses_since_the_barrier(case):
    access, (broken, twin), message = CP_ISSUE_CASES[case]

    def text(places):
        body = CP_ISSUE.replace("{access}", access)
        for key in ("before", "after", "late"):
            body = body.replace("{%s}" % key, places.get(key, ""))
        return kernel(body, ".u64 out, .u64 inp", shared="    .shared .align 16 .b8 buf[132];\n")

    src = RNG.integers(1, 2**32, 32, dtype=np.uint32)
    out = np.zeros(32, np.uint32)
    Module(text(twin)).launch("k", (1,), (32,), [out, src.copy()])
    np.testing.assert_array_equal(out, src)
    with pytest.raises(PtxError) as e:
        Module(text(broken)).launch("k", (1,), (32,), [out, src.copy()])
    assert e.value.kind == "racecheck" and message in str(e.value) and "thread (1,0,0)" in str(e.value), str(e.value)


# ---- conversions and rounding ------------------------------------------------------------------------

def test_conversions_and_directed_rounding_match_numpy():
    x = np.concatenate([RNG.standard_normal(200) * 10.0 ** RNG.integers(-9, 6, 200),
                        [65504, 65519.99, 65520, 1e6, -1e6, 2.0**-24, 2.0**-25, 2.0**-25 * 1.5, 6e-8, np.inf,
                         -np.inf, 0.0, -0.0, 1e-40]]).astype(np.float32)
    y = (RNG.standard_normal(x.size) * 1e3).astype(np.float32)
    n = x.size
    text = kernel(PROLOGUE + """
    ld.param.u64 %rd6, [inp2];
    add.s64 %rd4, %rd2, %rd3;
    add.s64 %rd7, %rd6, %rd3;
    ld.global.f32 %f1, [%rd4];
    ld.global.f32 %f2, [%rd7];
    cvt.rn.f16.f32 %h1, %f1;
    cvt.f32.f16 %f3, %h1;
    cvt.rn.f16x2.f32 %r2, %f1, %f2;
    add.rz.f32 %f4, %f1, %f2;
    add.rm.f32 %f5, %f1, %f2;
    add.rp.f32 %f6, %f1, %f2;
    fma.rn.f32 %f7, %f1, %f2, %f1;
    cvt.rzi.s32.f32 %r3, %f1;
    mul.wide.u32 %rd8, %r1, 32;
    add.s64 %rd9, %rd1, %rd8;
    st.global.f32 [%rd9], %f3;
    st.global.u32 [%rd9+4], %r2;
    st.global.u32 [%rd9+8], %r3;
    st.global.v4.f32 [%rd9+16], {%f4, %f5, %f6, %f7};
    ret;""", ".u64 out, .u64 inp, .u64 inp2")
    out = aligned(np.zeros((n, 8), np.uint32))
    Module(text).launch("k", (1,), (n,), [out, x, y])
    with np.errstate(all="ignore"):
        h = x.astype(np.float16)
        np.testing.assert_array_equal(out[:, 0].view(np.float32), h.astype(np.float32))
        np.testing.assert_array_equal(out[:, 1] >> 16, h.view(np.uint16))
        np.testing.assert_array_equal(out[:, 1] & 0xFFFF, y.astype(np.float16).view(np.uint16))
        exact = x.astype(np.float64) + y.astype(np.float64)  # exact for these magnitudes
        rz, rm, rp = (out[:, i].view(np.float32).astype(np.float64) for i in (4, 5, 6))
        fin = np.isfinite(exact)
        assert (np.abs(rz[fin]) <= np.abs(exact[fin])).all() and (rm[fin] <= exact[fin]).all() and (rp[fin] >= exact[fin]).all()
        assert (np.abs(rp[fin] - rm[fin]) <= np.spacing(np.abs(exact[fin]).astype(np.float32))).all()
        near = (x.astype(np.float64) * y + x).astype(np.float32)
        np.testing.assert_array_equal(out[:, 7].view(np.float32)[fin], near[fin])
        ints = np.where(np.isnan(x), 0, np.clip(np.trunc(x.astype(np.float64)), -2**31, 2**31 - 1)).astype(np.int64)
        np.testing.assert_array_equal(out[:, 2].view(np.int32), ints.astype(np.int32))


# ---- the checkers ---------------------------------------------------------------------------------------

BROKEN = {
    # thread n writes one element past the end of the output
    "global out of bounds": ("memcheck", "outside every live allocation", """
    add.s64 %rd4, %rd1, %rd3;
    st.global.u32 [%rd4+4], %r1;"""),
    "shared beyond the declared size": ("memcheck", "outside the 128 bytes of shared memory", """
    mov.u32 %r2, sbuf;
    shl.b32 %r3, %r1, 2;
    add.u32 %r3, %r3, %r2;
    st.shared.u32 [%r3+4], %r1;"""),
    "misaligned vector": ("memcheck", "not aligned to 16", """
    add.s64 %rd4, %rd1, 4;
    st.global.v4.u32 [%rd4], {%r1, %r1, %r1, %r1};"""),
    "missing barrier": ("racecheck", "with no barrier between", """
    mov.u32 %r2, sbuf;
    shl.b32 %r3, %r1, 2;
    add.u32 %r4, %r3, %r2;
    st.shared.u32 [%r4], %r1;
    xor.b32 %r5, %r3, 4;
    add.u32 %r5, %r5, %r2;
    ld.shared.u32 %r6, [%r5];"""),
    "read of unwritten shared memory": ("uninitialised", "that no thread of the block has written", """
    mov.u32 %r2, sbuf;
    shl.b32 %r3, %r1, 2;
    add.u32 %r4, %r3, %r2;
    @%p1 st.shared.u32 [%r4], %r1;
    bar.sync 0;
    ld.shared.u32 %r6, [%r4];"""),
    "divergent shfl": ("error", "lane", """
    @%p1 bra SKIP;
    shfl.sync.bfly.b32 %r2, %r1, 1, 31, -1;
SKIP:"""),
    "exit before a barrier": ("error", "has exited", """
    @%p1 ret;
    bar.sync 0;"""),
}


@pytest.mark.parametrize("case", sorted(BROKEN))
def test_each_checker_fires_on_a_broken_kernel_and_names_the_culprit(case):
    kind, message, body = BROKEN[case]
    text = kernel(PROLOGUE + "    setp.lt.u32 %p1, %r1, 16;\n" + body + "\n    ret;", ".u64 out, .u64 inp",
                  shared="    .shared .align 16 .b8 sbuf[128];\n")
    out = np.zeros(32, np.uint32)
    with pytest.raises(PtxError) as e:
        Module(text).launch("k", (1,), (32,), [out, out])
    assert e.value.kind == kind and message in str(e.value), str(e.value)
    assert "kernel k, block (0,0,0) thread (" in str(e.value) and "instruction '" in str(e.value)


def test_unknown_instructions_and_forms_are_refused_at_load():
    for bad in ["    frobnicate.b32 %r1, %r2;", "    add.q32 %r1, %r1, %r1;", "    mma.sync.aligned.m16n8k8.row.col.f32.f16.f16.f32 {%f1,%f2,%f3,%f4}, {%r1,%r2}, {%r3}, {%f1,%f2,%f3,%f4};",
                "    cp.async.cg.shared.global.L2::cache_hint [%r1], [%rd1], 16, %rd2;"]:
        with pytest.raises(PtxError, match="unsupported|not supported"):
            Module(kernel(bad + "\n    ret;", ".u64 out"))


def test_every_module_in_kernels_decodes():
    forms = set()
    for path in sorted((fakecuda.REPO / "kernels").glob("*/*.ptx")):
        forms |= set(Module(path.read_text()).forms())
    assert len(forms) >= 140, sorted(forms)


# ---- through the stand-in driver ---------------------------------------------------------------------

def test_stand_in_interprets_launches_and_counts_static_shared_memory():
    """A kernel without an executor runs as PTX; static + dynamic shared memory is held to 48 KiB."""
    text = kernel(PROLOGUE + """
    add.s64 %rd4, %rd2, %rd3;
    ld.global.f32 %f1, [%rd4];
    mov.u32 %r2, big;
    shl.b32 %r3, %r1, 2;
    add.u32 %r3, %r3, %r2;
    st.shared.f32 [%r3], %f1;
    bar.sync 0;
    xor.b32 %r4, %r1, 1;
    shl.b32 %r4, %r4, 2;
    add.u32 %r4, %r4, %r2;
    ld.shared.f32 %f2, [%r4];
    add.rn.f32 %f3, %f1, %f2;
    add.s64 %rd5, %rd1, %rd3;
    st.global.f32 [%rd5], %f3;
    ret;""", ".u64 out, .u64 inp", shared="    .shared .align 16 .b8 big[40960];\n", name="pairsum")
    r = fakecuda.run(f"""
        import ctypes
        L = fake.lib
        text = {text!r}.encode()
        ctx, mod, fn = ctypes.c_void_p(), ctypes.c_void_p(), ctypes.c_void_p()
        assert L.cuInit(0) == 0 and L.cuCtxCreate_v2(ctypes.byref(ctx), 0, 0) == 0
        assert L.cuModuleLoadData(ctypes.byref(mod), text) == 0
        assert L.cuModuleGetFunction(ctypes.byref(fn), mod, b"pairsum") == 0
        bufs = []
        for _ in range(2):
            d = ctypes.c_uint64()
            assert L.cuMemAlloc_v2(ctypes.byref(d), 128) == 0
            bufs.append(d)
        fake.write_f32(bufs[1].value, [float(i) for i in range(32)])
        args = (ctypes.c_void_p * 2)(ctypes.addressof(bufs[0]), ctypes.addressof(bufs[1]))
        launch = lambda shared: L.cuLaunchKernel(fn, 1, 1, 1, 32, 1, 1, shared, None, args, None)
        print("fits", launch(8192), fake.read_f32(bufs[0].value, 4), fake.stat("launches_interpreted"))
        print("too much", launch(8193))
        # a launch that reads past the input fails as an illegal address, reported (as on a
        # device) by the synchronisation that runs it
        small = ctypes.c_uint64()
        L.cuMemAlloc_v2(ctypes.byref(small), 64)
        args[1] = ctypes.addressof(small)
        print("oob", launch(0), L.cuStreamSynchronize(None), fake.bounds_violations)
    """)
    r.check()
    assert r.lines[0] == "fits 0 [1.0, 1.0, 5.0, 5.0] 1", r.stdout
    assert r.lines[1] == "too much 1"
    assert r.lines[2] == "oob 0 700 1" and "outside every live allocation" in r.stderr


# ---- the GEMM and conversion modules, interpreted ------------------------------------------------------
# The same kernels, shapes and bounds as the host build of their CUDA sources (tests/kernel_emu):
# relative Frobenius error below 1e-5 against a float64 product (of the half-rounded operands for
# the tensor-core kernels), outputs starting as NaN, every operand exactly sized.

def cdiv(a, b):
    return -(-a // b)


# kernel: (module, argument order, tile rows, tile columns, block, alpha/beta, input type)
GEMMS = {
    "vantblas_gemm_small_16x16": ("small", "cab", 16, 16, (16, 16), False, np.float32),
    "vantblas_gemm_64x64": ("basic", "abc", 64, 64, (16, 16), False, np.float32),
    "vantblas_gemm_shared_64x64": ("shared", "abc", 64, 64, (256,), False, np.float32),
    "vantblas_gemm_reg8x8": ("reg8x8", "abc", 128, 128, (16, 16), False, np.float32),
    "vantblas_gemm_small_optimized": ("v2", "cab", 32, 32, (16, 16), False, np.float32),
    "vantblas_gemm_small_v1": ("v1", "abc", 64, 64, (16, 16), True, np.float32),
    "vantblas_gemm_medium_v1": ("v1", "abc", 96, 96, (16, 16), True, np.float32),
    "vantblas_gemm_v2": ("v2", "abc", 128, 128, (256,), True, np.float32),
    "vantblas_gemm_v3": ("v2", "abc", 128, 128, (256,), True, np.float32),
    "vantblas_gemm_wmma_opt_vec": ("wmma_opt", "cab", 64, 64, (128,), False, np.float32),
    "vantblas_gemm_wmma_opt_64": ("wmma_opt", "cab", 64, 64, (128,), False, np.float32),
    "vantblas_gemm_wmma_opt_128": ("wmma_opt", "cab", 128, 128, (256,), False, np.float32),
    "vantblas_gemm_wmma_max": ("wmma_max", "cab", 128, 128, (256,), False, np.float32),
    "vantblas_gemm_wmma_max_f16": ("wmma_max", "cab", 128, 128, (256,), False, np.float16),
    "vantblas_gemm_wmma_fp16_pure": ("fp16_pure", "cab", 64, 64, (128,), False, np.float16),
    "vantblas_gemm_wmma_fp16_pure_large": ("fp16_pure", "cab", 128, 64, (256,), False, np.float16),
    "vantblas_gemm_wmma_v2": ("v2", "cab", 128, 128, (256,), False, np.float16),
}
FP32_SHAPES = [(1, 1, 1), (17, 33, 9), (65, 1, 3), (64, 64, 64), (70, 130, 37), (1, 200, 1), (130, 67, 20)]
WMMA_SHAPES = [(16, 16, 16), (16, 16, 48), (48, 80, 96), (144, 208, 80), (32, 32, 0), (128, 128, 32)]
_modules = {}


def gemm_module(name):
    if name not in _modules:
        _modules[name] = Module((fakecuda.REPO / "kernels" / "gemm" / f"{name}.ptx").read_text())
    return _modules[name]


def test_wide_mma_kernel_folded_grids_and_copy_schedules():
    # The 128 x 256 kernel on four column tiles laid out along y, folded into z (2 x 2) and folded
    # with two surplus block rows (which must leave at once), under the latest and seeded random
    # completion moments of cp.async; partial tiles in M, N and K, seven k steps through four
    # stages. Eighths in [-1, 1) make every sum exact in float32, so the result must be exact.
    m, n, k = 272, 784, 208
    a = (RNG.integers(-8, 8, (m, k)) / 8).astype(np.float16)
    b = (RNG.integers(-8, 8, (k, n)) / 8).astype(np.float16)
    want = (a.astype(np.float64) @ b.astype(np.float64)) * 2.0
    for grid, schedule in [((3, 4, 1), 0), ((3, 2, 2), 7), ((3, 3, 2), 0)]:
        c = aligned(np.full((m, n), np.nan, np.float32))
        gemm_module("mma_wide").launch("vantblas_gemm_mma_wide", grid, (256,),
                                       [c, aligned(a), aligned(b), m, n, k, 0.5, 4.0], shared=98304,
                                       schedule=schedule)
        assert np.array_equal(c, want), (grid, schedule)
    c = aligned(np.full((m, n), np.nan, np.float32))   # K = 0 reads nothing and writes zeros
    gemm_module("mma_wide").launch("vantblas_gemm_mma_wide", (3, 4, 1), (256,),
                                   [c, aligned(a), aligned(b), m, n, 0, 1.0, 1.0], shared=98304)
    assert not c.any()


@pytest.mark.parametrize("name", sorted(GEMMS))
def test_gemm_kernels_interpreted_compute_the_product(name):
    module, order, tm, tn, block, scaled, dtype = GEMMS[name]
    tensor = "wmma" in name
    shapes = WMMA_SHAPES if tensor else FP32_SHAPES
    if name == "vantblas_gemm_v2":  # N a multiple of 4, both A staging forms (K % 4 == 0 or not)
        shapes = [(17, 36, 9), (17, 36, 12), (257, 260, 24)]
    if name in ("vantblas_gemm_wmma_opt_64", "vantblas_gemm_wmma_max"):
        shapes = shapes + [(32, 48, 37)]  # scalar-read kernels take any K
    for m, n, k in shapes:
        a = RNG.uniform(-1, 1, (m, k)).astype(np.float32)
        b = RNG.uniform(-1, 1, (k, n)).astype(np.float32)
        c0 = RNG.uniform(-1, 1, (m, n)).astype(np.float32)
        for alpha, beta in [(1.0, 0.0), (2.0, 0.5)] if scaled else [(None, None)]:
            c = aligned(c0 if beta else np.full((m, n), np.nan, np.float32))
            ops = {"a": aligned(a.astype(dtype)), "b": aligned(b.astype(dtype)), "c": c}
            args = [ops[x] for x in order] + [m, n, k] + ([alpha, beta] if scaled else [])
            gemm_module(module).launch(name, (cdiv(n, tn), cdiv(m, tm)), block, args)
            x, y = a.astype(np.float64), b.astype(np.float64)
            if tensor:
                x, y = a.astype(np.float16).astype(np.float64), b.astype(np.float16).astype(np.float64)
            want = (alpha or 1.0) * (x @ y) + (beta or 0.0) * c0
            err = np.linalg.norm(c - want) / max(np.linalg.norm(want), 1e-300)
            assert err < 1e-5, (name, m, n, k, alpha, err)


# The pipelined tensor-core kernel on partial tiles and through its grid fold. Each operand lies at
# the start of an allocation whose other bytes are NaN, and its first element is +inf: a zero fill
# that reads instead (the fill copies name the operand's start as their source), a fill replaced by
# a copy of the address past the operand, or a fill skipped puts a non-finite value or an unwritten
# byte into the k padding, so C turns NaN (or a checker reports) even where the other operand's
# padding is zero. Grid (1, 2, 2) for 3 column tiles: tile 2 is reached only through z, and block
# (0, 1, 1) returns at once.
PIPE_ENTRY = "vantblas_gemm_mma_pipe"
PIPE_RUNS = [((48, 80, 48), (1, 1, 1)), ((32, 272, 16), (1, 2, 2)), ((16, 48, 144), (1, 1, 1))]
FILL = r"(cp\.async\.cg\.shared\.global \[%r\d+\], \[{}\], 16), 0;"
PIPE_BROKEN = {  # substitution inside the entry, what each of PIPE_RUNS then gives
    "A fill reads A": (FILL.format("A"), r"\1;", ["wrong values"] * 3),
    "B fill reads B": (FILL.format("B"), r"\1;", ["wrong values"] * 3),
    "fills copy past the operands": (r"(and\.pred\s+(%p\d+), %p\d+, %p\d+;\n\t)@\2 bra \t(\$L__BB1_\d+);"
                                     r"\n\tbra\.uni \t\$L__BB1_\d+;",
                                     r"\1bra.uni \t\3;", ["wrong values", "memcheck", "memcheck"]),
    "fills dropped": (r"cp\.async\.cg\.shared\.global \[%r\d+\], \[%rd\d+\], 16, 0;", "", ["uninitialised"] * 3),
    "grid z ignored": (r"mov\.u32(\s+%r\d+), %ctaid\.z;", r"mov.u32\1, 0;", ["wrong values"]),
    # the barrier moved from before the refill of the stage read in the previous step to after it
    "refill before the barrier": (r"(cp\.async\.wait_group 1;\n\n\t// end inline asm\n)\tbar\.sync \t0;\n"
                                  r"(.*?cp\.async\.commit_group;\n)",
                                  r"\1\2\tbar.sync \t0;\n", ["racecheck"]),
}


def pipe_variant(name):
    """The shipped module, or a broken copy of its GEMM entry."""
    text = (fakecuda.REPO / "kernels" / "gemm" / "mma_pipe.ptx").read_text()
    if name == "shipped":
        return text
    start = text.index(f".entry {PIPE_ENTRY}(")
    end = text.find(".entry ", start + 1)
    end = len(text) if end < 0 else end
    body = text[start:end]
    regs = {x: re.search(rf"ld\.param\.u64\s+(%rd\d+), \[{PIPE_ENTRY}_param_{i}\];", body).group(1)
            for x, i in (("A", 1), ("B", 2))}
    pattern, repl, _ = PIPE_BROKEN[name]
    for x, reg in regs.items():
        pattern = pattern.replace(rf"\[{x}\]", rf"\[{re.escape(reg)}\]")
    broken, count = re.subn(pattern, repl, body, flags=re.S)
    assert count, f"{name}: the pattern no longer matches the module"
    return text[:start] + broken + text[end:]


def nan_surrounded(values):
    """`values` (float16) at the start of a 256-byte aligned allocation three times as large, NaN elsewhere."""
    buf = aligned(np.full(values.size * 3 + 64, np.nan, np.float16))
    buf[:values.size] = values.ravel()
    return buf


@pytest.mark.parametrize("variant", ["shipped"] + sorted(PIPE_BROKEN))
def test_mma_pipe_zero_fills_partial_tiles_and_folds_the_grid(variant):
    mod = Module(pipe_variant(variant))
    failures = []
    for (m, n, k), grid in PIPE_RUNS:
        a = (RNG.uniform(0.5, 2, (m, k)) * RNG.choice([-1, 1], (m, k))).astype(np.float16)
        b = (RNG.uniform(0.5, 2, (k, n)) * RNG.choice([-1, 1], (k, n))).astype(np.float16)
        a[0, 0] = b[0, 0] = np.inf
        c = aligned(np.full((m, n), np.nan, np.float32))
        try:
            mod.launch(PIPE_ENTRY, grid, (256,), [c, nan_surrounded(a), nan_surrounded(b), m, n, k, 0.5, 4.0],
                       shared=49152)
        except PtxError as e:
            failures.append(e.kind)
            assert e.kind != "racecheck" or "read by several threads with no barrier between that read and the copy's" in str(e)
            continue
        # exact products without BLAS (whose packing may multiply the infinities by zero padding)
        want = 2.0 * (a.astype(np.float64)[:, :, None] * b.astype(np.float64)[None, :, :]).sum(axis=1)
        assert np.isinf(want[0]).all() and np.isinf(want[:, 0]).all() and np.isfinite(want[1:, 1:]).all()
        if not np.allclose(c, want, rtol=1e-5, atol=1e-5):
            failures.append("wrong values")
    assert failures == ([] if variant == "shipped" else PIPE_BROKEN[variant][2]), (variant, failures)


def test_batched_and_conversion_kernels_interpreted():
    m, n, k, count = 5, 7, 9, 3
    a = aligned(RNG.uniform(-1, 1, (m, k)).astype(np.float32))
    b = aligned(RNG.uniform(-1, 1, (count, k, n)).astype(np.float32))
    c = aligned(np.full((5, m, n), np.nan, np.float32))
    # A shared by every member (stride 0), a grid z beyond the batch count
    gemm_module("batched").launch("vantblas_gemm_batched", (1, 1, 5), (16, 16),
                                  [c, a, b, m, n, k, count, 0, k * n, m * n])
    np.testing.assert_allclose(c[:count], np.einsum("ik,bkn->bin", a.astype(np.float64), b), rtol=1e-5, atol=1e-6)
    assert np.isnan(c[count:]).all()
    specials = np.array([1 / 3, 1e5, 65504, 65519, 65520, -65520, 6e-8, 2e-8, -0.0, np.inf, -np.inf, 1e-40], np.float32)
    conv = gemm_module("convert")
    for n in (1, 12, 257, 1028):
        x = RNG.uniform(-1, 1, n).astype(np.float32)
        x[:12] = specials[:n]
        half = aligned(np.full(n, 0xFFFF, np.uint16))
        back = aligned(np.full(n, np.nan, np.float32))
        conv.launch("convert_f32_to_f16", (cdiv(n, 256),), (256,), [half, aligned(x), n])
        conv.launch("convert_f16_to_f32", (cdiv(n, 256),), (256,), [back, half, n])
        with np.errstate(over="ignore"):
            want = x.astype(np.float16)
        np.testing.assert_array_equal(half, want.view(np.uint16))
        np.testing.assert_array_equal(back, want.astype(np.float32))
        if n % 4 == 0:
            half4 = aligned(np.full(n, 0xFFFF, np.uint16))
            conv.launch("convert_f32_to_f16_vec4", (cdiv(n, 1024),), (256,), [half4, aligned(x), n])
            np.testing.assert_array_equal(half4, want.view(np.uint16))


def test_host_dispatch_runs_the_real_ptx_when_interpretation_is_forced():
    """The engine's routes on the stand-in with every kernel interpreted agree with its executors."""
    import os

    import enginehooks

    code = """
        import numpy as np
        import enginehooks as eh
        import _vantblas_enginehooks as h
        rng = np.random.default_rng(5)
        out = {}
        for m, n, k in [(64, 64, 64), (63, 65, 17), (128, 48, 32)]:
            a = rng.standard_normal((m, k)).astype(np.float32)
            b = rng.standard_normal((k, n)).astype(np.float32)
            before = len(fake.launches())
            c = np.frombuffer(h.gpu_gemm(eh.view(a), eh.view(b)), np.float32).reshape(m, n)
            kernels = [x["kernel"] for x in fake.launches()[before:]]
            out[f"{m}x{n}x{k}"] = (kernels, c.tolist())
        print(json.dumps({"runs": out, "interpreted": fake.stat("launches_interpreted"),
                          "reports": fake.stat("interpreter_reports"), "oob": fake.bounds_violations}))
    """
    env = {"PYTHONPATH": os.pathsep.join([str(enginehooks.build_dir()), os.environ.get("PYTHONPATH", "")])}
    runs = {}
    for mode in ("none", "all"):
        r = fakecuda.run(code, env=env, interpret=mode).check()
        import json
        runs[mode] = json.loads(r.lines[-1])
    assert runs["none"]["interpreted"] == 0 and runs["all"]["interpreted"] > 0
    assert runs["all"]["reports"] == 0 and runs["all"]["oob"] == 0
    for shape, (kernels, c) in runs["all"]["runs"].items():
        ref_kernels, ref = runs["none"]["runs"][shape]
        assert kernels == ref_kernels
        np.testing.assert_allclose(np.array(c), np.array(ref), rtol=2e-3 if "wmma" in str(kernels) else 1e-5,
                                   atol=1e-4, err_msg=f"{shape} {kernels}")


def test_local_dynamic_shared_and_generic_addresses():
    """.local frames, dynamic shared memory placed after the static variables, cvta both ways."""
    text = (HEAD + ".extern .shared .align 16 .b8 dyn[];\n" + kernel(PROLOGUE + """
    .local .align 8 .b8 frame[16];
    mov.u64 %rd10, frame;
    cvta.local.u64 %rd11, %rd10;
    st.u32 [%rd11+4], %r1;
    ld.local.u32 %r2, [frame+4];
    mov.u32 %r20, sbuf;
    mov.u64 %rd12, dyn;
    cvta.shared.u64 %rd13, %rd12;
    add.s64 %rd14, %rd13, %rd3;
    st.u32 [%rd14], %r2;
    bar.sync 0;
    cvta.to.shared.u64 %rd15, %rd13;
    cvt.u32.u64 %r3, %rd15;
    mov.u32 %r4, dyn;
    sub.u32 %r5, %r4, %r20;
    xor.b32 %r6, %r1, 31;
    shl.b32 %r6, %r6, 2;
    add.u32 %r7, %r3, %r6;
    ld.shared.u32 %r8, [%r7];
    add.s64 %rd16, %rd1, %rd3;
    st.global.v2.u32 [%rd16], {%r8, %r5};
    ret;""".replace("add.s64 %rd16, %rd1, %rd3;", "mul.wide.u32 %rd17, %r1, 8;\n    add.s64 %rd16, %rd1, %rd17;"),
        ".u64 out, .u64 inp", shared="    .shared .align 4 .b8 sbuf[100];\n")[len(HEAD):])
    mod = Module(text)
    out = aligned(np.zeros((32, 2), np.uint32))
    mod.launch("k", (1,), (32,), [out, out], shared=128)
    np.testing.assert_array_equal(out[:, 0], 31 - np.arange(32))
    assert (out[:, 1] == 112).all()  # dynamic shared starts at the next 16-byte boundary
    with pytest.raises(PtxError, match="outside the 176 bytes of shared memory") as e:
        mod.launch("k", (1,), (32,), [out, out], shared=64)
    assert e.value.kind == "memcheck" and "thread (16,0,0)" in str(e.value)


@pytest.mark.parametrize("barrier", [True, False])
def test_shared_atomics_race_only_with_plain_accesses(barrier):
    text = kernel(PROLOGUE + f"""
    mov.u32 %r2, sbuf;
    setp.eq.u32 %p1, %r1, 0;
    @%p1 st.shared.u32 [%r2], 0;
    bar.sync 0;
    atom.shared.add.u32 %r3, [%r2], 1;
    {'bar.sync 0;' if barrier else ''}
    ld.shared.u32 %r4, [%r2];
    add.s64 %rd4, %rd1, %rd3;
    st.global.u32 [%rd4], %r4;
    ret;""", ".u64 out, .u64 inp", shared="    .shared .align 4 .b8 sbuf[4];\n")
    out = np.zeros(32, np.uint32)
    if barrier:
        Module(text).launch("k", (1,), (32,), [out, out])
        assert (out == 32).all()
    else:
        with pytest.raises(PtxError, match="written by atomic operations with no barrier between"):
            Module(text).launch("k", (1,), (32,), [out, out])


@pytest.mark.parametrize("partner,ok", [(1, True), (32, False)])
def test_bar_warp_sync_orders_shared_memory_within_its_warp_only(partner, ok):
    text = kernel(PROLOGUE + f"""
    mov.u32 %r2, sbuf;
    shl.b32 %r3, %r1, 2;
    add.u32 %r4, %r2, %r3;
    st.shared.u32 [%r4], %r1;
    bar.warp.sync -1;
    xor.b32 %r5, %r1, {partner};
    shl.b32 %r5, %r5, 2;
    add.u32 %r5, %r2, %r5;
    ld.shared.u32 %r6, [%r5];
    add.s64 %rd4, %rd1, %rd3;
    st.global.u32 [%rd4], %r6;
    ret;""", ".u64 out, .u64 inp", shared="    .shared .align 4 .b8 sbuf[256];\n")
    out = np.zeros(64, np.uint32)
    if ok:
        Module(text).launch("k", (1,), (64,), [out, out])
        np.testing.assert_array_equal(out, np.arange(64) ^ partner)
    else:
        with pytest.raises(PtxError, match="with no barrier between"):
            Module(text).launch("k", (1,), (64,), [out, out])


def test_integer_bit_instructions_match_their_definitions():
    """lop3, shf, prmt, bfe, bfi, popc, clz, brev, mul.hi, signed div/rem/shr: the forms compilers
    emit for index and swizzle arithmetic."""
    n = 64
    a = RNG.integers(0, 2**32, n, dtype=np.uint64).astype(np.uint32)
    b = RNG.integers(0, 2**32, n, dtype=np.uint64).astype(np.uint32)
    c = RNG.integers(0, 40, n, dtype=np.uint32)
    a[:4] = [0, 0x80000000, 0xFFFFFFFF, 1]
    b[:4] = [0xFFFFFFFF, 0xFFFFFFFF, 1, 0]
    ops = ["lop3.b32 %r10, %r2, %r3, %r4, 0x96;", "lop3.b32 %r10, %r2, %r3, %r4, 0xE8;",
           "shf.l.wrap.b32 %r10, %r2, %r3, %r4;", "shf.r.clamp.b32 %r10, %r2, %r3, %r4;",
           "prmt.b32 %r10, %r2, %r3, 0x3715;", "prmt.b32 %r10, %r2, %r3, 0x8C40;",
           "bfe.u32 %r10, %r2, %r4, 7;", "bfe.s32 %r10, %r2, %r4, 9;", "bfi.b32 %r10, %r2, %r3, %r4, 5;",
           "popc.b32 %r10, %r2;", "clz.b32 %r10, %r2;", "brev.b32 %r10, %r2;", "mul.hi.u32 %r10, %r2, %r3;",
           "mul.hi.s32 %r10, %r2, %r3;", "div.s32 %r10, %r2, %r5;", "rem.s32 %r10, %r2, %r5;",
           "shr.s32 %r10, %r2, %r4;", "min.s32 %r10, %r2, %r3;"]
    body = PROLOGUE + """
    ld.param.u64 %rd6, [pb];
    ld.param.u64 %rd7, [pc];
    add.s64 %rd4, %rd2, %rd3;
    ld.global.u32 %r2, [%rd4];
    add.s64 %rd8, %rd6, %rd3;
    ld.global.u32 %r3, [%rd8];
    add.s64 %rd9, %rd7, %rd3;
    ld.global.u32 %r4, [%rd9];
    or.b32 %r5, %r3, 1;
    shr.u32 %r5, %r5, 20;
    xor.b32 %r5, %r5, 0xFFFFF800;
    mul.wide.u32 %rd10, %r1, %s;
    add.s64 %rd11, %rd1, %rd10;
""".replace("%s;", f"{4 * len(ops)};")
    for i, op in enumerate(ops):
        body += f"    {op}\n    st.global.u32 [%rd11+{4 * i}], %r10;\n"
    out = np.zeros((n, len(ops)), np.uint32)
    Module(kernel(body + "    ret;", ".u64 out, .u64 inp, .u64 pb, .u64 pc")).launch("k", (1,), (n,), [out, a, b, c])

    M = 0xFFFFFFFF
    s32 = lambda x: x - (1 << 32) if x >= 1 << 31 else x  # noqa: E731

    def lop3(x, y, z, lut):
        return sum(((lut >> (((x >> i & 1) << 2) | ((y >> i & 1) << 1) | (z >> i & 1))) & 1) << i for i in range(32))

    def prmt(x, y, sel):
        src = x | (y << 32)
        r = 0
        for i in range(4):
            s = (sel >> (4 * i)) & 0xF
            byte = (src >> (8 * (s & 7))) & 0xFF
            r |= ((0xFF if byte & 0x80 else 0) if s & 8 else byte) << (8 * i)
        return r

    def bfe(x, pos, ln, signed):
        sbit = (x >> min(pos + ln - 1, 31)) & 1 if signed and ln else 0
        return sum(((x >> (pos + i) & 1) if (i < ln and pos + i <= 31) else sbit) << i for i in range(32))

    def trunc_div(x, y):
        q = abs(x) // abs(y)
        return q if (x < 0) == (y < 0) else -q

    for t in range(n):
        x, y, z = int(a[t]), int(b[t]), int(c[t])
        d = s32((((y | 1) >> 20) ^ 0xFFFFF800) & M)
        want = [lop3(x, y, z, 0x96), lop3(x, y, z, 0xE8), (((y << 32 | x) << (z & 31)) >> 32) & M,
                ((y << 32 | x) >> min(z, 32)) & M, prmt(x, y, 0x3715), prmt(x, y, 0x8C40), bfe(x, z, 7, False),
                bfe(x, z, 9, True), (y & ~(0x1F << z) | ((x & 0x1F) << z)) & M if z < 32 else y,
                bin(x).count("1"), 32 - x.bit_length(), int(f"{x:032b}"[::-1], 2), (x * y) >> 32,
                ((s32(x) * s32(y)) >> 32) & M, trunc_div(s32(x), d) & M, (s32(x) - trunc_div(s32(x), d) * d) & M,
                (s32(x) >> min(z, 31)) & M, min(s32(x), s32(y)) & M]
        assert [int(v) for v in out[t]] == want, (t, [(o, int(g), w) for o, g, w in zip(ops, out[t], want) if g != w])
