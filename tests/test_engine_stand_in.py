"""The GEMM engine on the stand-in driver: kernel-set loading lines and fallbacks, route and kernel
choice, launch tables, fallbacks between routes, and cleanup when any driver call fails.

Each test runs in a child process (fresh singletons) with the stand-in driver first on the
library path; the engine is reached either through the public module or through the test-only
module _vantblas_enginehooks (tests/enginehooks.py), which returns the GPU attempt's error text
instead of discarding it.
"""

from __future__ import annotations

import json
import os
import textwrap

import pytest

import enginehooks
import fakecuda

GEMM_TEXTS = ["small", "basic", "shared", "reg8x8", "batched", "wmma_max", "wmma_opt", "fp16_pure", "v2",
              "v1", "convert"]
pytestmark = [
    pytest.mark.skipif(fakecuda.real_driver_present(),
                       reason="a real driver library would be found before the stand-in"),
    pytest.mark.skipif(not all((fakecuda.REPO / "kernels" / "gemm" / f"{n}.ptx").exists() for n in GEMM_TEXTS),
                       reason="the GEMM kernel texts are not all present"),
]

VB = "[VantBLAS] "
FULL_LOAD = [
    VB + "Small kernel (16x16) loaded OK",
    VB + "Batched kernel loaded OK",
    VB + "\u26a1 WMMA MAX kernel loaded! (19.6 TFLOPS)",
    VB + "\u26a1 OptVec kernel loaded! (22.8 TFLOPS - 62% PyTorch)",
    VB + "\U0001f3c6 FP16 Pure kernel loaded! (31.7 TFLOPS - 86% PyTorch)",
    VB + "\u26a1 V2 kernel loaded! (10.7+ TFLOPS for large matrices)",
    VB + "\u26a1 Small V1 kernel loaded! (optimized for 512-1024)",
    VB + "\u26a1 Medium V1 kernel loaded! (optimized for 1024-1536)",
    VB + "Fused Attention kernel loaded OK",
    VB + "\u26a1 FP16 conversion kernels loaded OK!",
    VB + "\U0001f680 Fused Attention CUDA loaded OK!",
    VB + "\U0001f525 Fused Ops loaded: 6/6 kernels",
    VB + "\u26a1 FP8 Pipeline loaded OK! (DeepSeek style)",
    VB + "Warning: MMA pipeline kernel failed to load: 218",  # refused by the stand-in unless asked for
    VB + "\u2705 All kernels loaded successfully",
]

# Prepended to every child: the hooks module, references, and a helper that returns the result
# of the single GEMM procedure as an array (or its error text).
PRELUDE = """
import numpy as np
import enginehooks as eh
import gemm_refs as R
import _vantblas_enginehooks as h

def gpu(a, b):
    out = h.gpu_gemm(eh.view(a), eh.view(b))
    if isinstance(out, str):
        return out
    return np.frombuffer(out, np.float32).reshape(a.shape[0], b.shape[1])

def rand(shape, seed):
    return np.random.default_rng(seed).standard_normal(shape).astype(np.float32)

def sparse(m, k, seed):
    # One non-zero per row: every path computes C[i, :] = A[i, k_i] * B[k_i, :] with one rounding.
    a = np.zeros((m, k), np.float32)
    rng = np.random.default_rng(seed)
    a[np.arange(m), rng.integers(0, k, m)] = rng.standard_normal(m).astype(np.float32)
    return a

def new_launches(before):
    return fake.launches()[before:]

def magnitude_products(cases):
    # Each ((m, n, k), A's magnitude, B's) case through gpu(): a magnitude scales a normal operand,
    # "mixed" spreads its rows over 1e-8 .. 1e5, and "special" (B's) puts infinities and NaN into
    # both. Yields the case, a, b, c and the case's launches.
    def operand(shape, seed, mag):
        x = rand(shape, seed)
        if mag == "mixed":
            return (x * np.logspace(-8, 5, shape[0])[:, None]).astype(np.float32)
        return (x * np.float32(mag)).astype(np.float32)
    for (m, n, k), ma, mb in cases:
        a = operand((m, k), m + k, ma)
        b = operand((k, n), n, 1.0 if mb == "special" else mb)
        if mb == "special":
            a[3, 5], b[7, 2], b[9, 4] = np.inf, np.nan, -np.inf
        before = len(fake.launches())
        c = gpu(a, b)
        yield [m, n, k, str(ma), str(mb)], a, b, c, new_launches(before)

def core_loads():
    h.alloc(4); h.free_all()  # builds the core (and its nine modules) without the kernel set
    return fake.calls("cuModuleLoadData")
"""


def run(code, extra="", **kw):
    env = dict(kw.pop("env", {}) or {})
    paths = [str(enginehooks.build_dir()), env.get("PYTHONPATH") or os.environ.get("PYTHONPATH", "")]
    env["PYTHONPATH"] = os.pathsep.join(p for p in paths if p)
    r = fakecuda.run(PRELUDE + extra + textwrap.dedent(code), env=env, **kw)
    return r.check()


def engine_lines(result):
    return [line for line in result.lines if line.startswith(VB)]


def payload(result):
    """The JSON object the child printed last."""
    return json.loads(result.lines[-1])


# ---- kernel-set loading ----------------------------------------------------------------------

def test_full_load_prints_every_line_in_order_once():
    r = run("""
        s = h.kernel_set()
        s2 = h.kernel_set()
        print(json.dumps({"empty": sorted(k for k, v in s.items() if not v), "same": s == s2}))
    """)
    out = payload(r)
    assert engine_lines(r) == FULL_LOAD
    assert out == {"empty": ["convert_pad_f16", "convert_scaled_f16", "gemm_mma_pipe", "gemm_mma_wide", "gemm_wgmma_tma"],
                   "same": True}


def test_compute_capability_7_5_keeps_the_sm75_kernels_and_computes_in_fp32():
    r = run("""
        s = h.kernel_set()
        a, b = rand((64, 64), 1), rand((64, 64), 2)
        before = len(fake.launches())
        c = gpu(a, b)
        l = new_launches(before)
        print(json.dumps({"filled": sorted(k for k, v in s.items() if v and k != "module_count"),
                          "kernels": [x["kernel"] for x in l],
                          "exact": R.same_bits(c, R.fma_ref(a, b)),
                          "live": fake.live_allocations}))
    """, cc=(7, 5))
    w = VB + "Warning: "
    assert engine_lines(r) == [
        VB + "Small kernel (16x16) loaded OK",
        VB + "Batched kernel loaded OK",
        w + "WMMA kernel failed to load: 209",
        w + "OptVec kernel failed to load: 209",
        w + "FP16 Pure kernel failed to load: 209",
        w + "V2 kernel failed to load: 209",
        w + "Small Fast kernels failed to load: 209",
        VB + "Fused Attention kernel loaded OK",
        VB + "\u26a1 FP16 conversion kernels loaded OK!",
        w + "Fused Attention CUDA failed to load: 209",
        w + "Fused Ops failed to load: 209",
        w + "FP8 Ops failed to load: 209",
        w + "MMA pipeline kernel failed to load: 209",
        VB + "\u2705 All kernels loaded successfully",
    ]
    out = payload(r)
    assert out["filled"] == sorted(["gemm_small", "gemm_basic", "gemm_shared", "gemm_reg8x8", "batched_gemm",
                                    "attention_basic", "convert_f32_to_f16", "convert_f16_to_f32"])
    # All sizes are multiples of 16 but there are no tensor cores: the FP32 route.
    assert out["kernels"] == ["vantblas_gemm_shared_64x64"]
    assert out["exact"] and out["live"] == 0


def test_compute_capability_8_0_fails_only_the_sm86_modules():
    # V2 targets sm_80: single-precision products of A100-class cards get it too.
    r = run("print(json.dumps(bool(h.kernel_set()['gemm_v2'])))", cc=(8, 0))
    assert [l for l in engine_lines(r) if "Warning" in l] == [
        VB + "Warning: Fused Attention CUDA failed to load: 209",
        VB + "Warning: Fused Ops failed to load: 209",
        VB + "Warning: FP8 Ops failed to load: 209",
        VB + "Warning: MMA pipeline kernel failed to load: 218",
    ]
    assert payload(r) is True


def test_lookup_failures_print_their_own_lines():
    # Every module loads but each kernel-set lookup is refused; the basic kernel's lookup is
    # let through so the set survives.
    r = run("""
        base = core_loads()
        looks = fake.calls("cuModuleGetFunction")
        # lookups of the set, in order: small, basic, shared, reg8x8, batched, wmma_max, opt_vec,
        # fp16_pure, v2, small_v1, medium_v1, attention, f32->f16, f16->f32, 2 fused-attention,
        # 6 fused ops, 3 fp8
        for nth in [1, 4, 5, 6, 7, 8, 9, 10, 11, 12, 14, 15, 17, 18, 19, 20, 21, 23, 24]:
            fake.fail("cuModuleGetFunction", looks + nth, 500)
        s = h.kernel_set()
        print(json.dumps({k: bool(v) for k, v in s.items() if k != "module_count"}))
    """)
    w = VB + "Warning: "
    assert engine_lines(r) == [
        w + "Small kernel function not found: 500",
        w + "8x8 kernel function not found, using shared kernel",
        w + "Batched kernel function not found: 500",
        w + "WMMA kernel not found",
        w + "OptVec kernel not found",
        w + "FP16 Pure kernel not found",
        w + "V2 kernel not found",
        w + "Attention kernel function not found: 500",
        VB + "\U0001f525 Fused Ops loaded: 1/6 kernels",
        w + "MMA pipeline kernel failed to load: 218",
        VB + "\u2705 All kernels loaded successfully",
    ]
    slots = payload(r)
    filled = {k for k, v in slots.items() if v}
    assert filled == {"gemm_small", "gemm_basic", "gemm_shared", "gemm_reg8x8", "batched_gemm",
                      "convert_f32_to_f16", "multihead_attention", "fused_bias_residual", "gemm_fp8_tiled"}


def test_every_optional_module_failing_prints_its_warning_in_order():
    r = run("""
        base = core_loads()
        for nth in [1] + list(range(4, 16)):   # every module but basic (2) and shared (3)
            fake.fail("cuModuleLoadData", base + nth, 218)
        s = h.kernel_set()
        print(json.dumps(sorted(k for k, v in s.items() if v and k != "module_count")))
    """)
    w = VB + "Warning: "
    assert engine_lines(r) == [
        w + "Small kernel failed to load: 218",
        w + "8x8 register kernel failed to load, using shared kernel",
        w + "Batched kernel failed to load: 218",
        w + "WMMA kernel failed to load: 218",
        w + "OptVec kernel failed to load: 218",
        w + "FP16 Pure kernel failed to load: 218",
        w + "V2 kernel failed to load: 218",
        w + "Small Fast kernels failed to load: 218",
        w + "Attention kernel failed to load: 218",
        w + "FP16 convert kernels failed to load: 218",
        w + "Fused Attention CUDA failed to load: 218",
        w + "Fused Ops failed to load: 218",
        w + "FP8 Ops failed to load: 218",
        w + "MMA pipeline kernel failed to load: 218",
        VB + "\u2705 All kernels loaded successfully",
    ]
    assert payload(r) == ["batched_gemm", "gemm_basic", "gemm_reg8x8", "gemm_shared", "gemm_small"]


def test_partial_lookups_in_the_multi_entry_modules():
    r = run("""
        core_loads()
        looks = fake.calls("cuModuleGetFunction")
        # small_v1, f16->f32, fused_attention_simple, rmsnorm, swiglu, gemm_fp8_tiled
        for nth in [10, 14, 15, 19, 21, 25]:
            fake.fail("cuModuleGetFunction", looks + nth, 500)
        s = h.kernel_set()
        print(json.dumps({k: bool(v) for k, v in s.items()}))
    """)
    lines = engine_lines(r)
    assert VB + "\u26a1 Small V1 kernel loaded! (optimized for 512-1024)" not in lines
    assert VB + "\u26a1 Medium V1 kernel loaded! (optimized for 1024-1536)" in lines
    assert VB + "\u26a1 FP16 conversion kernels loaded OK!" not in lines
    assert VB + "\U0001f680 Fused Attention CUDA loaded OK!" not in lines
    assert VB + "\U0001f525 Fused Ops loaded: 4/6 kernels" in lines
    assert VB + "\u26a1 FP8 Pipeline loaded OK! (DeepSeek style)" not in lines
    assert lines[-1] == VB + "\u2705 All kernels loaded successfully"
    slots = payload(r)
    assert slots["convert_f32_to_f16"] and not slots["convert_f16_to_f32"]
    assert slots["multihead_attention"] and not slots["fused_attention_simple"]


def test_small_and_batched_module_failures_fall_back_to_basic():
    r = run("""
        base = core_loads()
        fake.fail("cuModuleLoadData", base + 1, 218)   # small
        fake.fail("cuModuleLoadData", base + 5, 218)   # batched
        s = h.kernel_set()
        print(json.dumps([s["gemm_small"] == s["gemm_basic"], s["batched_gemm"] == s["gemm_basic"],
                          s["gemm_basic"] == fake.function_handle("vantblas_gemm_64x64")]))
    """)
    assert engine_lines(r)[:2] == [VB + "Warning: Small kernel failed to load: 218",
                                   VB + "Warning: Batched kernel failed to load: 218"]
    assert payload(r) == [True, True, True]


def test_reg8x8_failures_take_the_shared_kernel():
    r = run("""
        base = core_loads()
        fake.fail("cuModuleLoadData", base + 4, 218)
        s = h.kernel_set()
        print(json.dumps(s["gemm_reg8x8"] == s["gemm_shared"]))
    """)
    assert VB + "Warning: 8x8 register kernel failed to load, using shared kernel" in engine_lines(r)
    assert payload(r) is True


@pytest.mark.parametrize("entry", ["cuModuleLoadData", "cuModuleGetFunction"])
def test_reduced_set_when_the_shared_module_fails(entry):
    r = run(f"""
        base = core_loads() if "{entry}" == "cuModuleLoadData" else (core_loads(), fake.calls("cuModuleGetFunction"))[1]
        fake.fail("{entry}", base + 3, 218)
        s = h.kernel_set()
        filled = sorted(k for k, v in s.items() if v and k != "module_count")
        a, b = rand((128, 128), 3), rand((128, 128), 4)
        before = len(fake.launches())
        c = gpu(a, b)
        l = new_launches(before)
        f16 = h.gemm_f16(0, 0, 0, 16, 16, 16)
        print(json.dumps({{"filled": filled, "modules": s["module_count"],
                          "same": len({{s["gemm_basic"], s["gemm_shared"], s["gemm_reg8x8"]}}) == 1,
                          "batched_is_small": s["batched_gemm"] == s["gemm_small"],
                          "launch": [(x["kernel"], x["shared"], x["grid"]) for x in l],
                          "exact": R.same_bits(c, R.fma_ref(a, b)), "f16": f16,
                          "live_modules": fake.live_modules}}))
    """)
    text = ("Shared memory kernel failed to load, using basic kernel" if entry == "cuModuleLoadData"
            else "Shared memory kernel function not found, using basic kernel")
    assert engine_lines(r) == [VB + "Small kernel (16x16) loaded OK", VB + "Warning: " + text]
    out = payload(r)
    assert out["filled"] == ["batched_gemm", "gemm_basic", "gemm_reg8x8", "gemm_shared", "gemm_small"]
    assert out["same"] and out["batched_is_small"] and out["modules"] == 2
    # The nine training modules plus small and basic: a shared module whose lookup failed is
    # not kept loaded.
    assert out["live_modules"] == 11
    # No tensor cores in the reduced set: the FP32 route, served by the basic kernel.
    assert out["launch"] == [["vantblas_gemm_64x64", 4096, [2, 2, 1]]]
    assert out["exact"]
    assert out["f16"] == "Kernel launch failed: WMMA kernel not available for FP16 GEMM"


@pytest.mark.parametrize("entry", ["cuModuleLoadData", "cuModuleGetFunction"])
def test_failing_basic_kernel_fails_the_load_unloads_and_retries(entry):
    r = run(f"""
        core_loads()
        loads, looks = fake.calls("cuModuleLoadData"), fake.calls("cuModuleGetFunction")
        base = loads if "{entry}" == "cuModuleLoadData" else looks
        modules_before = fake.live_modules
        fake.fail("{entry}", base + 2, 218)
        try:
            h.kernel_set()
            first = None
        except RuntimeError as e:
            first = str(e)
        leaked = fake.live_modules - modules_before
        a = rand((8, 8), 5)
        c = gpu(a, a)
        second = h.kernel_set()
        print(json.dumps({{"first": first, "leaked": leaked, "retry_ok": not isinstance(c, str),
                          "unloads": fake.calls("cuModuleUnload")}}))
    """)
    out = payload(r)
    assert out["first"] == "CUDA error: 218"
    assert out["leaked"] == 0
    assert out["unloads"] == (1 if entry == "cuModuleLoadData" else 2)
    assert out["retry_ok"]
    # The failed load printed only its small-kernel line; the retry printed everything again.
    assert engine_lines(r) == [VB + "Small kernel (16x16) loaded OK"] + FULL_LOAD


def test_core_failure_is_reported_through_the_kernel_set():
    r = run("""
        a = rand((4, 4), 1)
        print(json.dumps(gpu(a, a)))
    """, fail=[("cuInit", 0, 3)])
    assert payload(r) == ("Failed to get VantBLAS: Kernel launch failed: cuInit failed: "
                          "cuInit failed with error: 3")
    assert engine_lines(r) == []


# ---- routes, thresholds and launch tables ----------------------------------------------------

def test_route_choice_fp16_and_fp32_with_launch_tables():
    r = run("""
        out = {}
        for name, (m, k, n) in {"f16": (64, 64, 64), "f32": (64, 63, 64), "small": (63, 63, 63),
                                "small_1": (1, 1, 1), "k17": (5, 17, 7)}.items():
            a, b = rand((m, k), 10), rand((k, n), 11)
            allocs = fake.calls("cuMemAlloc")
            before = len(fake.launches())
            c = gpu(a, b)
            l = new_launches(before)
            out[name] = {"launches": l, "allocs": fake.calls("cuMemAlloc") - allocs,
                         "exact": R.same_bits(c, R.route_ref(l[-1]["kernel"], a, b))}
        out["live"] = fake.live_allocations
        print(json.dumps(out))
    """)
    out = payload(r)
    assert out["live"] == 0
    f16 = out["f16"]
    # dA, dB and C only: the tensor-core kernels read the float32 operands themselves.
    assert f16["allocs"] == 3 and f16["exact"]
    (l,) = f16["launches"]
    assert (l["kernel"], l["grid"], l["block"], l["shared"]) == ("vantblas_gemm_wmma_opt_vec", [1, 1, 1], [128, 1, 1], 0)
    assert l["types"] == ["u64", "u64", "u64", "u32", "u32", "u32"]
    assert l["params"][3:] == [64, 64, 64]
    (l,) = out["f32"]["launches"]
    assert (l["kernel"], l["grid"], l["block"], l["shared"]) == ("vantblas_gemm_shared_64x64", [1, 1, 1], [16, 16, 1], 4096)
    assert l["params"][3:] == [64, 64, 63] and out["f32"]["exact"]
    (l,) = out["small"]["launches"]
    assert (l["kernel"], l["grid"], l["block"], l["shared"]) == ("vantblas_gemm_small_16x16", [4, 4, 1], [16, 16, 1], 2048)
    assert out["small"]["exact"] and out["small_1"]["exact"] and out["k17"]["exact"]


def test_parameter_orders_name_the_right_buffers():
    # Every operand is a separate allocation of a distinct size, so the launch log shows which
    # buffer went into which parameter.
    r = run("""
        m, n, k = 48, 40, 32
        A, B, C = h.alloc(4 * m * k), h.alloc(4 * k * n), h.alloc(4 * m * n)
        H16 = h.alloc(2 * m * k)
        out = {}
        for name, call in {
            "small": lambda: h.gemm_f32(A, B, C, m, n, k),
            "shared": lambda: h.gemm_f32(A, B, C, 64, 16, 16),
            "opt_vec": lambda: h.gemm_f16(A, B, C, 48, 32, 32),
            "convert": lambda: h.convert_f32_to_f16(A, H16, m * k),
        }.items():
            before = len(fake.launches())
            res = call()
            (l,) = new_launches(before)
            names = {A: "A", B: "B", C: "C", H16: "H16"}
            out[name] = {"res": res, "order": [names.get(p, p) for p in l["params"]], "grid": l["grid"],
                         "block": l["block"], "shared": l["shared"]}
        h.free_all()
        print(json.dumps(out))
    """)
    out = payload(r)
    assert out["small"] == {"res": None, "order": ["C", "A", "B", 48, 40, 32], "grid": [3, 3, 1],
                            "block": [16, 16, 1], "shared": 2048}
    assert out["shared"] == {"res": None, "order": ["A", "B", "C", 64, 16, 16], "grid": [1, 1, 1],
                             "block": [16, 16, 1], "shared": 4096}
    assert out["opt_vec"] == {"res": None, "order": ["C", "A", "B", 48, 32, 32], "grid": [1, 1, 1],
                              "block": [128, 1, 1], "shared": 0}
    assert out["convert"] == {"res": None, "order": ["H16", "A", 48 * 32], "grid": [6, 1, 1],
                              "block": [256, 1, 1], "shared": 0}


def test_parameter_orders_of_v2_wmma_max_and_the_fallbacks():
    r = run("""
        import ctypes
        base = core_loads()
        fake.fail("cuModuleLoadData", base + 7, 209)   # no OptVec: WMMA max serves FP16
        h.kernel_set()
        m = n = k = 2048
        A, B, C = h.alloc(4 * m * k), h.alloc(4 * k * n + 16), h.alloc(4 * m * n + 32)
        ctypes.memset(fake.lib.fake_host_pointer(A, 4 * m * k), 0, 4 * m * k)
        names = {A: "A", B: "B", C: "C"}
        out = {}
        for name, call in {"v2": lambda: h.gemm_f32(A, B, C, m, n, k),
                           "wmma_max": lambda: h.gemm_f16(A, B, C, 128, 128, 64)}.items():
            before = len(fake.launches())
            res = call()
            (l,) = new_launches(before)
            out[name] = [res, [names.get(p, p) for p in l["params"]], l["types"], l["grid"], l["block"], l["shared"]]
        launches = fake.calls("cuLaunchKernel")
        fake.fail("cuLaunchKernel", launches + 1, 701)
        before = len(fake.launches())
        res = h.gemm_f16(A, B, C, 128, 128, 64)
        (l,) = new_launches(before)
        out["fallback"] = [res, [names.get(p, p) for p in l["params"]], l["grid"], l["block"], l["shared"],
                           fake.calls("cuLaunchKernel") - launches]
        h.free_all()
        print(json.dumps(out))
    """, timeout=600)
    out = payload(r)
    assert out["v2"] == [None, ["A", "B", "C", 2048, 2048, 2048, 1.0, 0.0],
                         ["u64", "u64", "u64", "u32", "u32", "u32", "f32", "f32"], [16, 16, 1], [256, 1, 1], 0]
    assert out["wmma_max"] == [None, ["C", "A", "B", 128, 128, 64], ["u64", "u64", "u64", "u32", "u32", "u32"],
                               [1, 1, 1], [256, 1, 1], 20480]
    assert out["fallback"] == [None, ["A", "B", "C", 128, 128, 64], [2, 2, 1], [16, 16, 1], 4096, 2]
    assert engine_lines(r)[-1] == VB + "WMMA launch failed: 701, falling back to shared"


def test_large_thresholds_v2_and_the_shared_path():
    # A has one non-zero per row, so every path computes C[i, :] = A[i, k_i] * B[k_i, :] with a
    # single rounding, and the stand-in's executors stay fast at these sizes.
    r = run("""
        out = {}
        for name, (m, k, n) in {"v2": (2050, 2048, 2048), "v2_n2052": (2048, 2048, 2052),
                                "k2047": (2048, 2047, 2048), "n2050": (2048, 2048, 2050),
                                "m64": (64, 1, 1), "n1000": (1, 1, 1000)}.items():
            a, b = sparse(m, k, 1), rand((k, n), 2)
            before = len(fake.launches())
            c = gpu(a, b)
            # A large product runs as row panels of one kernel: their grids stack along y.
            ls = new_launches(before)
            l = ls[0]
            assert len({(x["kernel"], x["grid"][0], tuple(x["params"][4:])) for x in ls}) == 1, ls
            rows = sum(x["params"][3] for x in ls)
            ref = a.sum(axis=1, dtype=np.float32)[:, None] * b[np.argmax(a != 0, axis=1)]
            out[name] = {"kernel": l["kernel"], "grid": [l["grid"][0], sum(x["grid"][1] for x in ls), 1],
                         "block": l["block"], "shared": l["shared"], "params": [rows] + l["params"][4:],
                         "exact": R.same_bits(c, ref)}
            out.setdefault("panels", {})[name] = len(ls)
        out["live"] = fake.live_allocations
        print(json.dumps(out))
    """, timeout=600)
    out = payload(r)
    assert out.pop("live") == 0
    # V2 needs 2048 rows per panel, so only the shared-path products are cut.
    assert out.pop("panels") == {"v2": 1, "v2_n2052": 1, "k2047": 4, "n2050": 4, "m64": 1, "n1000": 1}
    # All sizes multiples of 16 would take the tensor-core route: one size that is not sends
    # these to the FP32 route, where V2 needs every size at least 2048 and N % 4 == 0.
    assert out["v2"] == {"kernel": "vantblas_gemm_v2", "grid": [16, 17, 1], "block": [256, 1, 1], "shared": 0,
                         "params": [2050, 2048, 2048, 1.0, 0.0], "exact": True}
    assert out["v2_n2052"]["kernel"] == "vantblas_gemm_v2" and out["v2_n2052"]["grid"] == [17, 16, 1]
    assert out["k2047"]["kernel"] == "vantblas_gemm_shared_64x64" and out["k2047"]["grid"] == [32, 32, 1]
    assert out["n2050"]["kernel"] == "vantblas_gemm_shared_64x64" and out["n2050"]["grid"] == [33, 32, 1]
    assert out["m64"]["kernel"] == "vantblas_gemm_shared_64x64" and out["m64"]["grid"] == [1, 1, 1]
    assert out["n1000"]["kernel"] == "vantblas_gemm_shared_64x64" and out["n1000"]["grid"] == [16, 1, 1]
    assert all(v["exact"] for v in out.values())


def test_v2_path_directly_and_without_the_v2_module():
    r = run("""
        import ctypes
        s = h.kernel_set()
        size = 4 * 2052 * 2052
        A, B, C = h.alloc(size), h.alloc(size), h.alloc(size)
        ctypes.memset(fake.lib.fake_host_pointer(A, size), 0, size)   # A = 0 keeps the executors fast
        before = len(fake.launches())
        res = [h.gemm_f32(A, B, C, *mnk) for mnk in [(2048, 2048, 2048), (2048, 2050, 2048),
                                                    (2048, 2052, 2048), (2048, 2048, 2047)]]
        kernels = [x["kernel"] for x in new_launches(before)]
        print(json.dumps({"res": res, "kernels": kernels, "violations": fake.bounds_violations}))
    """, timeout=600)
    out = payload(r)
    assert out["res"] == [None] * 4 and out["violations"] == 0
    assert out["kernels"] == ["vantblas_gemm_v2", "vantblas_gemm_shared_64x64", "vantblas_gemm_v2",
                              "vantblas_gemm_shared_64x64"]

    r = run("""
        base = core_loads()
        fake.fail("cuModuleLoadData", base + 9, 209)   # V2 module
        import ctypes
        m = n = k = 2048
        A, B, C = h.alloc(4 * m * k), h.alloc(4 * k * n), h.alloc(4 * m * n)
        ctypes.memset(fake.lib.fake_host_pointer(A, 4 * m * k), 0, 4 * m * k)
        before = len(fake.launches())
        res = h.gemm_f32(A, B, C, m, n, k)
        print(json.dumps([res, [x["kernel"] for x in new_launches(before)]]))
    """, timeout=600)
    assert payload(r) == [None, ["vantblas_gemm_shared_64x64"]]


def test_dispatch_error_texts():
    r = run("""
        A = h.alloc(4 * 64 * 64)
        out = {
            "zero_m": h.gemm_f32(A, A, A, 0, 5, 3),
            "zero_k": h.gemm_f32(A, A, A, 4096, 4096, 0),
            "f16_k8": h.gemm_f16(A, A, A, 16, 16, 8),
            "convert_0": h.convert_f32_to_f16(A, A, 0),
        }
        fake.fail("cuLaunchKernel", fake.calls("cuLaunchKernel") + 1, 701)
        out["opt_vec_refused"] = h.gemm_f16(A, A, A, 16, 16, 16)
        fake.fail("cuLaunchKernel", fake.calls("cuLaunchKernel") + 1, 701)
        out["small_refused"] = h.gemm_f32(A, A, A, 8, 8, 8)
        fake.fail("cuLaunchKernel", fake.calls("cuLaunchKernel") + 1, 701)
        out["shared_refused"] = h.gemm_f32(A, A, A, 64, 8, 8)
        fake.fail("cuLaunchKernel", fake.calls("cuLaunchKernel") + 1, 701)
        out["convert_refused"] = h.convert_f32_to_f16(A, A, 16)
        print(json.dumps(out))
    """)
    assert payload(r) == {
        "zero_m": "Invalid dimensions: Zero dimension: M=0, N=5, K=3",
        "zero_k": "Invalid dimensions: Zero dimension: M=4096, N=4096, K=0",
        "f16_k8": "Invalid dimensions: FP16 GEMM requires dimensions to be multiples of 16. Got M=16, N=16, K=8",
        "convert_0": "Kernel launch failed: convert_f32_to_f16 failed: 1",
        "opt_vec_refused": "Kernel launch failed: cuLaunchKernel (OptVec) failed: 701",
        "small_refused": "Kernel launch failed: cuLaunchKernel (small) failed: 701",
        "shared_refused": "Kernel launch failed: cuLaunchKernel (shared) failed: 701",
        "convert_refused": "Kernel launch failed: convert_f32_to_f16 failed: 701",
    }


def test_without_tensor_cores_the_availability_error_comes_first():
    r = run("""
        A = h.alloc(64)
        print(json.dumps([h.gemm_f16(A, A, A, 16, 16, 8), h.gemm_f16(A, A, A, 16, 16, 16),
                          h.convert_f32_to_f16(A, A, 4)]))
    """, cc=(7, 5))
    assert payload(r)[:2] == ["Kernel launch failed: WMMA kernel not available for FP16 GEMM"] * 2
    assert payload(r)[2] is None


def test_missing_conversion_kernel():
    r = run("""
        base = core_loads()
        fake.fail("cuModuleLoadData", base + 12, 218)   # conversion module
        A = h.alloc(64)
        print(json.dumps(h.convert_f32_to_f16(A, A, 4)))
    """)
    assert VB + "Warning: FP16 convert kernels failed to load: 218" in engine_lines(r)
    assert payload(r) == "Kernel launch failed: FP16 conversion kernel not loaded"


def test_conversion_rounds_to_nearest_even_and_covers_n():
    r = run("""
        import ctypes
        src_vals = [1.0 / 3.0, 100000.0, 65510.0, -65520.0, float("nan"), 2.0 ** -25, 0.0] + [1.5] * 250
        n = len(src_vals)   # 257: two blocks
        S, D = h.alloc(4 * n), h.alloc(2 * n)
        fake.write_f32(S, src_vals)
        before = len(fake.launches())
        res = h.convert_f32_to_f16(S, D, n)
        (l,) = new_launches(before)
        p = fake.lib.fake_host_pointer(D, 2 * n)
        bits = list((ctypes.c_uint16 * n).from_address(p))
        print(json.dumps({"res": res, "grid": l["grid"], "bits": bits[:7], "tail": bits[-1]}))
    """)
    out = payload(r)
    assert out["res"] is None and out["grid"] == [2, 1, 1]
    assert out["bits"][:4] == [0x3555, 0x7C00, 0x7BFF, 0xFC00]
    assert out["bits"][4] & 0x7C00 == 0x7C00 and out["bits"][4] & 0x3FF   # NaN stays NaN
    assert out["bits"][5:] == [0x0000, 0x0000]   # 2^-25 is the tie between 0 and 2^-24: even wins
    assert out["tail"] == 0x3E00


def test_silent_fp16_to_fp32_fallback():
    r = run("""
        h.kernel_set()
        a, b = rand((64, 48), 20), rand((48, 32), 21)
        fake.fail("cuLaunchKernel", fake.calls("cuLaunchKernel") + 1, 701)   # the OptVec launch
        before = len(fake.launches())
        c = gpu(a, b)
        l = new_launches(before)
        A, B, C = h.alloc(4 * 64 * 48), h.alloc(4 * 48 * 32), h.alloc(4 * 64 * 32)
        fake.fail("cuLaunchKernel", fake.calls("cuLaunchKernel") + 1, 701)
        route = h.gemm_f16_or_f32(A, B, C, 64, 32, 48)
        route_ok = h.gemm_f16_or_f32(A, B, C, 64, 32, 48)
        route_odd = h.gemm_f16_or_f32(A, B, C, 64, 30, 48)
        h.free_all()
        print(json.dumps({"kernels": [x["kernel"] for x in l], "exact": R.same_bits(c, R.fma_ref(a, b)),
                          "routes": [route, route_ok, route_odd], "live": fake.live_allocations}))
    """)
    out = payload(r)
    # The stand-in logs only launches it accepted: the refused OptVec launch is not listed.
    assert out["kernels"] == ["vantblas_gemm_shared_64x64"]
    assert out["exact"] and out["live"] == 0
    assert out["routes"] == ["f32", "f16", "f32"]
    assert engine_lines(r) == FULL_LOAD   # nothing printed for the fallback


def test_wmma_launch_failure_line_and_shared_fallback():
    r = run("""
        base = core_loads()
        fake.fail("cuModuleLoadData", base + 7, 209)   # WMMA-opt module: OptVec missing
        h.kernel_set()
        a, b = rand((256, 64), 30), rand((64, 128), 31)
        before = len(fake.launches())
        c_ok = gpu(a, b)
        ok = new_launches(before)
        launches = fake.calls("cuLaunchKernel")
        fake.fail("cuLaunchKernel", launches + 1, 701)
        before = len(fake.launches())
        c_fb = gpu(a, b)
        fb = new_launches(before)
        tries = fake.calls("cuLaunchKernel") - launches
        print(json.dumps({"ok": [(x["kernel"], x["grid"], x["block"], x["shared"]) for x in ok],
                          "ok_exact": R.same_bits(c_ok, R.half_ref(a, b)),
                          "fb": [(x["kernel"], x["grid"], x["block"], x["shared"]) for x in fb],
                          "fb_exact": R.same_bits(c_fb, R.fma_ref(a, b)), "tries": tries,
                          "live": fake.live_allocations}))
    """)
    out = payload(r)
    assert out["ok"] == [["vantblas_gemm_wmma_max", [1, 2, 1], [256, 1, 1], 20480]]
    assert out["ok_exact"]
    # The refused WMMA-max launch (not logged by the stand-in) and the accepted shared one.
    assert out["tries"] == 2
    assert out["fb"] == [["vantblas_gemm_shared_64x64", [2, 4, 1], [16, 16, 1], 4096]]
    assert out["fb_exact"] and out["live"] == 0
    assert VB + "Warning: OptVec kernel failed to load: 209" in engine_lines(r)
    assert engine_lines(r)[-1] == VB + "WMMA launch failed: 701, falling back to shared"


def test_wmma_max_with_k_zero_and_a_full_tile():
    r = run("""
        base = core_loads()
        fake.fail("cuModuleLoadData", base + 7, 209)
        s = h.kernel_set()
        A, B, C = h.alloc(4 * 128 * 128), h.alloc(4 * 128 * 128), h.alloc(4 * 128 * 128)
        k0 = h.gemm_f16(A, B, C, 32, 32, 0)
        zeros = fake.read_f32(C, 32 * 32)
        a, b = rand((128, 128), 40), rand((128, 128), 41)
        fake.write_f32(A, a.ravel().tolist()); fake.write_f32(B, b.ravel().tolist())
        full = h.gemm_f16(A, B, C, 128, 128, 128)
        c = np.array(fake.read_f32(C, 128 * 128), np.float32).reshape(128, 128)
        h.free_all()
        print(json.dumps({"k0": k0, "zeros": all(v == 0.0 for v in zeros), "full": full,
                          "exact": R.same_bits(c, R.half_ref(a, b))}))
    """)
    assert payload(r) == {"k0": None, "zeros": True, "full": None, "exact": True}


def test_small_path_with_the_basic_kernel_standing_in():
    r = run("""
        base = core_loads()
        fake.fail("cuModuleLoadData", base + 1, 218)   # small module
        h.kernel_set()
        a, b = rand((40, 33), 50), rand((33, 63), 51)
        before = len(fake.launches())
        c = gpu(a, b)
        (l,) = new_launches(before)
        print(json.dumps({"l": [l["kernel"], l["grid"], l["block"], l["shared"], l["params"][3:]],
                          "exact": R.same_bits(c, R.fma_ref(a, b)), "live": fake.live_allocations}))
    """)
    out = payload(r)
    assert out["l"] == ["vantblas_gemm_64x64", [1, 1, 1], [16, 16, 1], 0, [40, 63, 33]]
    assert out["exact"] and out["live"] == 0


# ---- the GPU procedure: errors, sizes and cleanup --------------------------------------------

def test_gpu_gemm_errors_and_oversized_operands():
    r = run("""
        h.kernel_set()
        allocs = fake.calls("cuMemAlloc")
        out = {
            "mismatch": gpu(np.zeros((2, 3), np.float32), np.zeros((4, 5), np.float32)),
            "tall": h.gpu_gemm(eh.view(np.broadcast_to(np.zeros((1, 0), np.float32), (2 ** 32, 0))),
                               eh.view(np.zeros((0, 3), np.float32))),
            "wide_k": h.gpu_gemm(eh.view(np.broadcast_to(np.ones((1, 1), np.float32), (1, 2 ** 32 + 1))),
                                 eh.view(np.broadcast_to(np.ones((1, 1), np.float32), (2 ** 32 + 1, 1)))),
            "4gib": h.gpu_gemm(eh.view(np.broadcast_to(np.ones((1, 1), np.float32), (2 ** 30, 1))),
                               eh.view(np.ones((1, 1), np.float32))),
            "zero_k": gpu(np.zeros((3, 0), np.float32), np.zeros((0, 2), np.float32)),
            # Inner extents equal in their low 32 bits only: refused before B is gathered.
            "k_low_bits": h.gpu_gemm(eh.view(np.ones((1, 3), np.float32)),
                                     eh.view(np.broadcast_to(np.ones((1, 1), np.float32), (2 ** 32 + 3, 1)))),
        }
        out["allocs_for_oversized"] = fake.calls("cuMemAlloc") - allocs
        out["fits"] = [h.fits_device_sizes(*s) for s in [(2 ** 30 - 1, 1, 1), (2 ** 30, 1, 1), (1, 2 ** 30, 1),
                                                          (1, 1, 2 ** 30), (2 ** 15, 2 ** 15, 1), (0, 2 ** 31, 0),
                                                          (2 ** 32, 0, 0), (0, 0, 2 ** 32)]]
        out["live"] = fake.live_allocations
        print(json.dumps(out))
    """)
    out = payload(r)
    assert out["mismatch"] == "Shape mismatch: A[2,3] x B[4,5]"
    assert out["tall"] == "Matrix too large for the GPU: A[4294967296,0] x B[0,3]"
    assert out["wide_k"] == "Matrix too large for the GPU: A[1,4294967297] x B[4294967297,1]"
    assert out["4gib"] == "Matrix too large for the GPU: A[1073741824,1] x B[1,1]"
    # Zero-sized operands reach the driver, which refuses zero-byte allocations.
    assert out["zero_k"] == "Failed to allocate CUDA memory: invalid argument"
    assert out["k_low_bits"] == "Shape mismatch: A[1,3] x B[4294967299,1]"
    assert out["allocs_for_oversized"] == 1   # only the zero-sized upload's attempt
    assert out["fits"] == [True, False, False, False, False, True, False, False]
    assert out["live"] == 0


SWEEP = """
import ctypes

def sweep(call, shapes):
    # A clean run of each call first, then one run per driver call of that clean run, failing
    # exactly that call; the result must be the reference of the route the launch log shows.
    report = []
    for (m, k, n) in shapes:
        a, b = rand((m, k), m + k), rand((k, n), n)
        call(a, b)                                  # builds everything once
        start = len(fake.call_log())
        call(a, b)
        calls = fake.call_log()[start:]
        for i, entry in enumerate(calls):
            nth = fake.calls(entry) + 1 + calls[:i].count(entry)
            fake.clear_failures()
            fake.fail(entry, nth, 2)
            before = len(fake.launches())
            live = fake.live_allocations
            log_start = len(fake.call_log())
            c, gpu_ok = call(a, b)
            fake.clear_failures()
            while fake.current_context():  # a refused pop leaves the context pushed: undo it
                fake.driver().cuCtxPopCurrent_v2(ctypes.byref(ctypes.c_void_p()))
            launched = new_launches(before)
            log = fake.call_log()[log_start:]
            if "cuMemcpyDtoHAsync" in calls:
                # Staged: C came back, and no failure made the call wait for queued work.
                gpu_done = "cuMemcpyDtoHAsync" in log and "cuStreamSynchronize" not in log
            else:
                # The copy of C back is the GPU attempt's last step: it ran and was not the failed call.
                gpu_done = "cuMemcpyDtoH" in log and entry != "cuMemcpyDtoH"
            report.append({"shape": [m, k, n], "failed": entry, "nth_in_call": calls[:i].count(entry) + 1,
                           "gpu_ok": gpu_ok, "gpu_done": gpu_done, "kernels": [x["kernel"] for x in launched],
                           "leaked": fake.live_allocations - live, "check": check(c, gpu_done, launched, a, b)})
    return report

def check(c, gpu_done, launched, a, b):
    # A finished GPU attempt returns the reference of its last (accepted) launch (within its
    # bound for the pipelined kernel); anything else must be the CPU product bit for bit (the
    # hooks return no array then).
    if gpu_done and launched[-1]["kernel"] in R.PIPE_KERNELS:
        return R.pipe_close(c, a, b)
    if gpu_done:
        return R.same_bits(c, R.route_ref(launched[-1]["kernel"], a, b))
    return c is None or R.same_bits(c, R.cpu_ref(a, b))
"""


STAGING_ENTRIES = ("cuMemHostAlloc", "cuMemFreeHost", "cuMemcpyHtoDAsync", "cuMemcpyDtoHAsync", "cuStreamDestroy",
                   "cuStreamWaitEvent", "cuEventCreate", "cuEventRecord", "cuEventSynchronize", "cuEventDestroy")
STAGED_STEPS = ("cuMemcpyHtoDAsync", "cuEventRecord", "cuLaunchKernel", "cuMemcpyDtoHAsync", "cuEventSynchronize")
BLOCKING_STEPS = ("cuMemcpyHtoD", "cuLaunchKernel", "cuStreamSynchronize", "cuMemcpyDtoH")


@pytest.mark.parametrize("staged", [True, False], ids=["staged", "blocking"])
def test_every_driver_call_of_the_gpu_procedure_can_fail_cleanly(staged):
    # Without the asynchronous entry points (an older driver) the blocking copies serve instead.
    # Staged, 2048 x 2048 x 3 runs as four row panels whose downloads share the chunk ring with
    # the uploads of later panels: a failure anywhere among them (a download queued while
    # uploads are pending, the claim that drains it) must leave nothing queued or allocated.
    r = run("""
        def call(a, b):
            c = gpu(a, b)
            return (None, False) if isinstance(c, str) else (c, True)
        shapes = [(48, 40, 56), (64, 64, 64)] + ([(2048, 2048, 3)] if STAGED else [])
        report = sweep(call, shapes)
        assert fake.pending_ops == 0 and fake.hazards == 0
        a, b = rand((2048, 2048), 1), rand((2048, 3), 2)
        start = len(fake.call_log())
        call(a, b)
        copies = [e for e in fake.call_log()[start:] if e in ("cuMemcpyHtoDAsync", "cuMemcpyDtoHAsync")]
        print(json.dumps({"report": report, "copies": copies}))
    """.replace("STAGED", str(staged)), extra=SWEEP, hide=() if staged else STAGING_ENTRIES)
    out = payload(r)
    report = out["report"]
    if staged:
        # B and A's panels go up in one piece each; C's panel p comes down once panel p + 1's
        # product is issued, before the uploads of the panels after it.
        up, down = "cuMemcpyHtoDAsync", "cuMemcpyDtoHAsync"
        assert out["copies"] == [up, up, up, down, up, down, up, down, down]
        assert {x["failed"] for x in report if x["shape"][0] == 2048} >= set(STAGED_STEPS) | {"cuStreamWaitEvent"}
    failed = {(x["shape"][0], x["failed"]) for x in report}
    steps = STAGED_STEPS if staged else BLOCKING_STEPS
    assert not {e for _, e in failed} & (set(BLOCKING_STEPS) - {"cuLaunchKernel"} if staged else set(STAGING_ENTRIES))
    for entry in ("cuCtxGetCurrent", "cuCtxPushCurrent", "cuMemAlloc") + steps:
        assert (48, entry) in failed and (64, entry) in failed
    for x in report:
        # A refused free leaves that one allocation with the driver; nothing else may stay.
        assert x["leaked"] == (1 if x["failed"] == "cuMemFree" else 0), x
        assert x["check"], x
        assert x["gpu_ok"] == x["gpu_done"], x
        if x["failed"] == "cuLaunchKernel" and x["shape"] == [64, 64, 64]:
            # The refused tensor-core launch falls back to the shared kernel on the GPU.
            assert x["gpu_ok"] and x["kernels"] == ["vantblas_gemm_shared_64x64"]
        elif x["failed"] in ("cuMemAlloc",) + steps or (x["failed"] in ("cuCtxGetCurrent", "cuCtxPushCurrent") and x["nth_in_call"] == 1):
            assert not x["gpu_ok"], x


def test_every_driver_call_of_gemm_falls_back_to_the_cpu_bit_for_bit():
    r = run("""
        import _vantblas
        def call(a, b):
            c = _vantblas.gemm(a, b)
            return c, None
        print(json.dumps(sweep(call, [(48, 40, 56), (64, 64, 64)])))
    """, extra=SWEEP)
    report = payload(r)
    assert {x["failed"] for x in report} >= {"cuMemAlloc", "cuMemcpyHtoDAsync", "cuLaunchKernel", "cuMemcpyDtoHAsync",
                                             "cuEventSynchronize"}
    assert any(not x["gpu_done"] for x in report) and any(x["gpu_done"] for x in report)
    for x in report:
        assert x["leaked"] == (1 if x["failed"] == "cuMemFree" else 0), x
        assert x["check"], x


def test_public_gemm_routes_and_cpu_fallback():
    r = run("""
        import _vantblas
        a, b = rand((64, 64), 60), rand((64, 64), 61)
        a2, b2 = rand((64, 63), 62), rand((63, 64), 63)
        before = len(fake.launches())
        c16 = _vantblas.gemm(a, b)
        c32 = _vantblas.matmul(a2, b2)
        cf = _vantblas.gemm(np.asfortranarray(a2), b2[:, :])
        kernels = [x["kernel"] for x in new_launches(before)]
        fake.fail("cuMemAlloc", 0, 2)
        ccpu = _vantblas.gemm(a2, b2)
        fake.clear_failures()
        z = _vantblas.gemm(np.zeros((3, 0), np.float32), np.zeros((0, 2), np.float32))
        e = _vantblas.gemm(np.zeros((0, 4), np.float32), np.zeros((4, 3), np.float32))
        print(json.dumps({"kernels": kernels, "f16": R.same_bits(c16, R.half_ref(a, b)),
                          "f32": R.same_bits(c32, R.fma_ref(a2, b2)), "fortran": R.same_bits(cf, c32),
                          "cpu": R.same_bits(ccpu, R.cpu_ref(a2, b2)),
                          "zeros": [list(z.shape), bool((z == 0).all())], "empty": list(e.shape),
                          "live": fake.live_allocations}))
    """)
    out = payload(r)
    assert out["kernels"] == ["vantblas_gemm_wmma_opt_vec", "vantblas_gemm_shared_64x64", "vantblas_gemm_shared_64x64"]
    assert out["f16"] and out["f32"] and out["fortran"] and out["cpu"]
    assert out["zeros"] == [[3, 2], True] and out["empty"] == [0, 3]
    assert out["live"] == 0


def test_public_gemm_refuses_oversized_extents_before_any_allocation():
    r = run("""
        import _vantblas
        _vantblas.gemm(np.ones((2, 2), np.float32), np.ones((2, 2), np.float32))
        allocs = fake.calls("cuMemAlloc")
        a = np.broadcast_to(np.ones((1, 1), np.float32), (0, 2 ** 32))
        b = np.broadcast_to(np.ones((1, 1), np.float32), (2 ** 32, 3))
        c = _vantblas.gemm(a, b)
        print(json.dumps([list(c.shape), fake.calls("cuMemAlloc") - allocs]))
    """)
    assert payload(r) == [[0, 3], 0]



# ---- products with more block rows than the grid admits ---------------------------------------

BANDS = """
CAB = {"vantblas_gemm_small_16x16", "vantblas_gemm_wmma_opt_vec", "vantblas_gemm_wmma_max"}

def banded(a, b):
    # The product through the whole GPU procedure, its launches as (kernel, grid y, M), and
    # whether every band of a kernel gets A and C advanced to its first row, B, N and K unchanged.
    before = len(fake.launches())
    c = gpu(a, b)
    l = new_launches(before)
    k, n = a.shape[1], b.shape[1]
    ok = True
    for kernel in {x["kernel"] for x in l}:
        runs = [x["params"] for x in l if x["kernel"] == kernel]
        ia, ib, ic = (1, 2, 0) if kernel in CAB else (0, 1, 2)
        first = 0
        for p in runs:
            ok &= (p[ia] - runs[0][ia] == 4 * first * k and p[ic] - runs[0][ic] == 4 * first * n
                   and p[ib] == runs[0][ib] and p[4:6] == [n, k])
            first += p[3]
    return c, [[x["kernel"][9:], x["grid"][1], x["params"][3]] for x in l], ok
"""


def test_rows_beyond_the_grid_limit_launch_in_bands():
    # The stand-in reports (and enforces) a grid y limit of 2, so small products need bands: every
    # kernel path must cover all rows, bit for bit as one launch would.
    full = run("""
        out = {}
        for name, (m, k, n) in {"small": (40, 24, 20), "shared": (200, 65, 70), "fits": (128, 65, 70),
                                "opt_vec": (272, 32, 16), "v2": (2050, 2048, 2048)}.items():
            a, b = (sparse(m, k, 1) if name == "v2" else rand((m, k), 1)), rand((k, n), 2)
            c, launches, offsets_ok = banded(a, b)
            if name == "v2":  # one non-zero per row of A: a single rounding per element
                ref = a.sum(axis=1, dtype=np.float32)[:, None] * b[np.argmax(a != 0, axis=1)]
            else:
                ref = R.route_ref("vantblas_" + launches[0][0], a, b)
            out[name] = [launches, offsets_ok, R.same_bits(c, ref)]
        out["live"] = fake.live_allocations
        print(json.dumps(out))
    """, extra=BANDS, env={"FAKE_CUDA_MAX_GRID_Y": "2"}, timeout=600)
    out = payload(full)
    assert out.pop("live") == 0
    assert out == {
        "small": [[["gemm_small_16x16", 2, 32], ["gemm_small_16x16", 1, 8]], True, True],
        "shared": [[["gemm_shared_64x64", 2, 128], ["gemm_shared_64x64", 2, 72]], True, True],
        "fits": [[["gemm_shared_64x64", 2, 128]], True, True],
        "opt_vec": [[["gemm_wmma_opt_vec", 2, 128]] * 2 + [["gemm_wmma_opt_vec", 1, 16]], True, True],
        "v2": [[["gemm_v2", 2, 256]] * 8 + [["gemm_v2", 1, 2]], True, True],
    }

    # Without OptVec the WMMA-max kernel serves FP16; a refused band sends the whole product to
    # the shared kernel, banded in turn.
    reduced = run("""
        base = core_loads()
        fake.fail("cuModuleLoadData", base + 7, 209)
        h.kernel_set()
        a, b = rand((272, 32), 3), rand((32, 16), 4)
        c, launches, offsets_ok = banded(a, b)
        out = {"wmma_max": [launches, offsets_ok, R.same_bits(c, R.half_ref(a, b))]}
        fake.fail("cuLaunchKernel", fake.calls("cuLaunchKernel") + 2, 701)
        c, launches, offsets_ok = banded(a, b)
        out["refused"] = [launches, offsets_ok, R.same_bits(c, R.fma_ref(a, b)), fake.live_allocations]
        print(json.dumps(out))
    """, extra=BANDS, env={"FAKE_CUDA_MAX_GRID_Y": "2"}, timeout=600)
    out = payload(reduced)
    assert out["wmma_max"] == [[["gemm_wmma_max", 2, 256], ["gemm_wmma_max", 1, 16]], True, True]
    assert out["refused"] == [[["gemm_wmma_max", 2, 256]] + [["gemm_shared_64x64", 2, 128]] * 2 +
                              [["gemm_shared_64x64", 1, 16]], True, True, 0]
    assert engine_lines(reduced)[-1] == VB + "WMMA launch failed: 701, falling back to shared"

# ---- the pipelined tensor-core route (its kernels run through the PTX interpreter) -------------

PIPE = ["vantblas_convert_scaled_f16", "vantblas_convert_scaled_f16", "vantblas_gemm_mma_pipe"]
PIPE_OK = VB + "\u26a1 MMA pipeline kernel loaded! (cp.async + mma.sync, 128x128 tiles)"
SELF_TEST_FAILED = VB + "Warning: MMA pipeline kernel failed its self-test, not used"


@pytest.mark.parametrize("cc", [(7, 5), (8, 0), (8, 6), (9, 0)])
def test_pipelined_route_by_compute_capability(cc):
    r = run("""
        s = h.kernel_set()
        a, b = rand((272, 48), 1) * np.float32(1e5), rand((48, 144), 2)   # A beyond half range
        before = len(fake.launches())
        c = gpu(a, b)
        l = new_launches(before)
        print(json.dumps({"pipe": bool(s["gemm_mma_pipe"]), "v2": bool(s["gemm_v2"]),
                          "launches": [(x["kernel"], x["grid"], x["block"], x["shared"], x["params"][2:]) for x in l],
                          "scales": [R.half_scale_exponent(a), R.half_scale_exponent(b)],
                          "close": R.pipe_close(c, a, b), "exact32": R.same_bits(c, R.fma_ref(a, b)),
                          "reports": fake.stat("interpreter_reports"), "live": fake.live_allocations}))
    """, cc=cc, refuse=("vantblas_gemm_wgmma_tma",))   # at 9.0 that module would serve instead
    out = payload(r)
    assert out["live"] == 0 and out["reports"] == 0
    if cc == (7, 5):
        assert VB + "Warning: MMA pipeline kernel failed to load: 209" in engine_lines(r)
        assert not out["pipe"] and not out["v2"]
        assert [x[0] for x in out["launches"]] == ["vantblas_gemm_shared_64x64"] and out["exact32"]
        return
    assert PIPE_OK in engine_lines(r) and SELF_TEST_FAILED not in engine_lines(r)
    assert out["pipe"] and out["v2"]
    sa, sb = out["scales"]
    assert sa < 0 < sb
    conv_a, conv_b, gemm = out["launches"]
    # Conversions: four elements a thread; n, then the two factors of 2^s.
    assert conv_a[:4] == ["vantblas_convert_scaled_f16", [13, 1, 1], [256, 1, 1], 0]
    assert conv_a[4][0] == 272 * 48 and conv_a[4][1] * conv_a[4][2] == 2.0 ** sa
    assert conv_b[1] == [7, 1, 1] and conv_b[4][1] * conv_b[4][2] == 2.0 ** sb
    # M tiles along x; the scale-back factors multiply to 2^-(sa+sb).
    assert gemm[:4] == ["vantblas_gemm_mma_pipe", [3, 2, 1], [256, 1, 1], 49152]
    assert gemm[4][1:4] == [272, 144, 48] and gemm[4][4] * gemm[4][5] == 2.0 ** -(sa + sb)
    assert out["close"]


def test_seed_route_takes_only_operands_within_half_range():
    # The pipelined module refused (the stand-in's default): OptVec serves the route, but an
    # operand it would turn into infinities or flush to zero goes to single precision instead.
    r = run("""
        h.kernel_set()
        out = {}
        for name, scale in {"one": 1.0, "big": 1e5, "tiny": 1e-8, "zero": 0.0}.items():
            a, b = rand((64, 64), 3) * np.float32(scale), rand((64, 64), 4)
            before = len(fake.launches())
            c = gpu(a, b)
            l = new_launches(before)
            out[name] = [[x["kernel"] for x in l], R.same_bits(c, R.route_ref(l[-1]["kernel"], a, b))]
        print(json.dumps(out))
    """)
    opt, shared = "vantblas_gemm_wmma_opt_vec", "vantblas_gemm_shared_64x64"
    assert payload(r) == {"one": [[opt], True], "big": [[shared], True], "tiny": [[shared], True],
                          "zero": [[opt], True]}


def test_pipelined_kernel_interpreted_over_shapes_and_magnitudes():
    # Every size of {16, 48, 128, 144, 272, 384} in every position (and a second, partial group of
    # row tiles in the block order), magnitudes from 1e-30 to 1e30
    # (finite inputs never become infinities, no operand flushed as a whole), mixed magnitudes
    # within one operand, and NaN / infinity propagating as in float32.
    r = run("""
        cases = [((16, 16, 16), 1.0, 1.0), ((48, 272, 144), 1e-30, 1.0), ((144, 48, 384), 1e-8, 1e-8),
                 ((272, 384, 48), 1e5, 1e5), ((384, 144, 272), 1e30, 1e-30), ((128, 128, 128), "mixed", 1e30),
                 ((128, 16, 48), 1.0, "special"), ((2192, 272, 16), 1.0, 1.0)]   # 18 row tiles: 16 + 2
        h.kernel_set()
        out = []
        for case, a, b, c, l in magnitude_products(cases):
            out.append({"case": case, "kernels": [x["kernel"] for x in l],
                        "close": R.pipe_close(c, a, b), "finite": bool(np.isfinite(c).all()),
                        "zero_rows": int((c == 0).all(axis=1).sum())})
        # The chain: H = A W1 never reaches the host, so its scale comes from a bound.
        import _vantblas
        _vantblas.gemm(np.ones((16, 16), np.float32), np.ones((16, 16), np.float32))  # its own kernel set
        a, w1, w2 = rand((144, 48), 8) * np.float32(1e5), rand((48, 272), 9) * np.float32(1e3), rand((272, 16), 10)
        before = len(fake.launches())
        c = _vantblas.gemm_chain(a, w1, w2)
        ref = (a.astype(np.float64) @ w1) @ w2
        mag = (np.abs(a).astype(np.float64) @ np.abs(w1)) @ np.abs(w2)
        chain = {"kernels": [x["kernel"] for x in new_launches(before)],
                 "close": bool(np.all(np.abs(c - ref) <= 2e-3 * mag)), "finite": bool(np.isfinite(c).all())}
        print(json.dumps({"cases": out, "chain": chain, "reports": fake.stat("interpreter_reports"),
                          "violations": fake.bounds_violations, "live": fake.live_allocations}))
    """, refuse=(), timeout=900)
    out = payload(r)
    assert out["reports"] == 0 and out["violations"] == 0 and out["live"] == 0
    assert out["chain"] == {"kernels": PIPE * 2, "close": True, "finite": True}
    for case in out["cases"]:
        assert case["kernels"] == PIPE and case["close"], case
        if case["case"][4] != "special":
            assert case["finite"], case
        if "mixed" not in case["case"] and "special" not in case["case"]:
            # (Mixed rows 2^40 below the largest element fall under half's smallest subnormal.)
            assert case["zero_rows"] == 0, case


def test_self_test_rejects_a_wrong_kernel_and_survives_every_driver_fault():
    # A pipelined kernel whose result is off in one element of the partial tile, or a split one
    # (its slice sum off): one warning, the module unloaded, OptVec serves the route.
    for wrong in ("vantblas_gemm_mma_pipe", "vantblas_splitk_reduce"):
        r = run("""
            s = h.kernel_set()
            a, b = rand((64, 64), 5), rand((64, 64), 6)
            before = len(fake.launches())
            gpu(a, b)
            print(json.dumps({"pipe": bool(s["gemm_mma_pipe"]), "kernels": [x["kernel"] for x in new_launches(before)],
                              "modules": s["module_count"], "live_modules": fake.live_modules,
                              "live": fake.live_allocations}))
        """, refuse=(), env={"FAKE_CUDA_CORRUPT": wrong})
        out = payload(r)
        lines = engine_lines(r)
        assert lines[-3:] == [PIPE_OK, SELF_TEST_FAILED, VB + "\u2705 All kernels loaded successfully"]
        assert not out["pipe"] and out["kernels"] == ["vantblas_gemm_wmma_opt_vec"] and out["live"] == 0
        assert out["live_modules"] == out["modules"] + 9   # the set's modules and the core's nine

    # Each driver call of the self-test failed in turn (in a fork of a process that has not
    # loaded the set yet): the set still loads, without the kernel, and nothing stays allocated.
    r = run("""
        import os
        def fork(fn):
            rd, wr = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(rd)
                os.write(wr, json.dumps(fn()).encode())
                os._exit(0)
            os.close(wr)
            data = b"".join(iter(lambda: os.read(rd, 65536), b""))
            os.waitpid(pid, 0)
            return json.loads(data)
        core_loads()
        def clean():
            start = len(fake.call_log())
            h.kernel_set()
            log = fake.call_log()[start:]
            pipe_at, wide_at = [i for i, e in enumerate(log) if e == "cuModuleLoadData"][-2:]   # the last two modules
            return [[e, log[:i].count(e) + 1 + fake.calls(e) - log.count(e), i >= wide_at]
                    for i, e in enumerate(log) if i > pipe_at]
        calls = fork(clean)
        def faulty(entry, nth, in_wide):
            def go():
                fake.fail(entry, nth, 2)
                s = h.kernel_set()
                return [entry, in_wide, bool(s["gemm_mma_pipe"]), bool(s["gemm_mma_wide"]), fake.live_allocations]
            return go
        print(json.dumps({"calls": calls, "runs": [fork(faulty(*call)) for call in calls]}))
    """, refuse=())
    out = payload(r)
    for phase in (False, True):   # the pipelined kernel's self-test, then the wide kernel's
        entries = {e for e, _, in_wide in out["calls"] if in_wide == phase}
        assert {"cuMemAlloc", "cuMemcpyHtoD", "cuLaunchKernel", "cuStreamSynchronize", "cuMemcpyDtoH"} <= entries
    assert "cuFuncSetAttribute" in {e for e, _, _ in out["calls"]}
    benign = ("cuMemFree", "cuCtxGetCurrent", "cuCtxPushCurrent", "cuCtxPopCurrent")
    for entry, in_wide, pipe, wide, live in out["runs"]:
        # A refused free leaves that one allocation with the driver (after a self-test that
        # passed); the context switches before frees ignore their status. A fault in the wide
        # kernel's load or canary leaves the pipelined kernel serving.
        assert live == (1 if entry == "cuMemFree" else 0), (entry, pipe, live)
        assert not pipe or entry in benign or in_wide, (entry, pipe, live)
        assert pipe or not in_wide, (entry, pipe, live)
        assert not wide or entry in benign, (entry, in_wide, wide)


def test_every_driver_call_of_the_pipelined_route_can_fail_cleanly():
    r = run("""
        def call(a, b):
            c = gpu(a, b)
            return (None, False) if isinstance(c, str) else (c, True)
        print(json.dumps(sweep(call, [(64, 48, 32)])))
    """, extra=SWEEP, refuse=())
    report = payload(r)
    assert [x["kernels"] for x in report if x["failed"] == "cuMemFree"][0] == PIPE
    for x in report:
        assert x["leaked"] == (1 if x["failed"] == "cuMemFree" else 0), x
        assert x["check"] and x["gpu_ok"] == x["gpu_done"], x
        if x["failed"] in ("cuLaunchKernel",) or (x["failed"] == "cuMemAlloc" and x["nth_in_call"] in (4, 5)):
            # A scratch allocation or a launch of the route refused: single precision on the GPU.
            assert x["gpu_ok"] and x["kernels"][-1] == "vantblas_gemm_shared_64x64", x


# ---- the 128 x 256 tile (interpreted; the stand-in has 8 multiprocessors) ----------------------

WIDE = "vantblas_gemm_mma_wide"
WIDE_FAILED = VB + "Warning: MMA wide kernel failed its self-test, not used"


def test_stand_in_shared_memory_attribute_by_compute_capability():
    # The opt-in limit per capability (attribute 97) is what cuFuncSetAttribute admits, and a launch
    # above 48 KiB of dynamic shared memory needs the attribute first.
    r = fakecuda.run("""
        import ctypes as c
        L = fake.lib
        L.cuInit(0)
        ctx, mod, fn, dev = c.c_void_p(), c.c_void_p(), c.c_void_p(), c.c_int()
        L.cuDeviceGet(c.byref(dev), 0)
        L.cuCtxCreate_v2(c.byref(ctx), 0, 0)
        fake.set_compute_capability(8, 0)
        text = open(%r).read().encode() + b"\\0"
        out = {"load": L.cuModuleLoadData(c.byref(mod), text)}
        L.cuModuleGetFunction(c.byref(fn), mod, b"vantblas_gemm_mma_wide")
        bufs = [c.c_uint64() for _ in range(3)]
        for b, size in zip(bufs, (16 * 16 * 4, 16 * 16 * 2, 16 * 16 * 2)):
            L.cuMemAlloc_v2(c.byref(b), size)
        vals = bufs + [c.c_uint(16), c.c_uint(16), c.c_uint(16), c.c_float(1), c.c_float(1)]
        params = (c.c_void_p * 8)(*[c.cast(c.byref(v), c.c_void_p) for v in vals])
        def launch(shared):
            return L.cuLaunchKernel(fn, 1, 1, 1, 256, 1, 1, shared, None, params, None)
        out["limits"] = {}
        for cc in [(7, 5), (8, 0), (8, 6), (8, 9), (9, 0), (11, 0)]:
            fake.set_compute_capability(*cc)
            limit = c.c_int()
            L.cuDeviceGetAttribute(c.byref(limit), 97, dev)
            out["limits"][str(cc)] = [limit.value, L.cuFuncSetAttribute(fn, 8, limit.value + 16),
                                      L.cuFuncSetAttribute(fn, 8, limit.value)]
        fake.set_compute_capability(8, 0)
        fn = c.c_void_p()   # a fresh module: its function has the 48 KiB default again
        L.cuModuleLoadData(c.byref(mod), text)
        L.cuModuleGetFunction(c.byref(fn), mod, b"vantblas_gemm_mma_wide")
        out["launch"] = [launch(49152), launch(98304), L.cuFuncSetAttribute(fn, 8, 98304), launch(98304),
                         launch(98320), L.cuStreamSynchronize(None), fake.stat("interpreter_reports")]
        print(json.dumps(out))
    """ % str(fakecuda.REPO / "kernels" / "gemm" / "mma_wide.ptx"), refuse=())
    out = json.loads(r.check().lines[-1])
    k = 1024
    assert out["load"] == 0
    assert out["limits"] == {"(7, 5)": [64 * k, 1, 0], "(8, 0)": [163 * k, 1, 0], "(8, 6)": [99 * k, 1, 0],
                             "(8, 9)": [99 * k, 1, 0], "(9, 0)": [227 * k, 1, 0], "(11, 0)": [48 * k, 1, 0]}
    assert out["launch"] == [0, 1, 0, 0, 1, 0, 0]


def test_wide_tile_interpreted_over_shapes_and_magnitudes():
    # Products with at least 8 wide blocks: partial block tiles in M, N and K, a second, partial
    # group of row tiles (18 row tiles), magnitudes from 1e-30 to 1e30 scaled into half range,
    # mixed magnitudes, and NaN / infinity propagating as in float32.
    r = run("""
        cases = [((512, 528, 48), 1.0, 1.0), ((2192, 512, 16), 1e-30, 1e5), ((400, 784, 208), 1e30, 1e-30),
                 ((256, 1024, 272), "mixed", 1.0), ((1040, 256, 48), 60000.0, "special")]
        s = h.kernel_set()
        out = []
        for case, a, b, c, l in magnitude_products(cases):
            out.append({"case": case, "launch": [[x["kernel"], x["grid"], x["shared"]] for x in l][-1],
                        "close": R.pipe_close(c, a, b), "finite": bool(np.isfinite(c).all()),
                        "zero_rows": int((c == 0).all(axis=1).sum())})
        a, b = rand((256, 48), 3), rand((48, 512), 4)   # 4 wide blocks for 8 multiprocessors
        before = len(fake.launches())
        c = gpu(a, b)
        few = [new_launches(before)[-1]["kernel"], R.pipe_close(c, a, b)]
        print(json.dumps({"cases": out, "few": few, "wide": bool(s["gemm_mma_wide"]),
                          "reports": fake.stat("interpreter_reports"), "violations": fake.bounds_violations,
                          "live": fake.live_allocations}))
    """, refuse=(), timeout=900)
    out = payload(r)
    assert out["wide"] and WIDE_FAILED not in engine_lines(r)
    assert out["few"] == ["vantblas_gemm_mma_pipe", True]
    assert out["reports"] == 0 and out["violations"] == 0 and out["live"] == 0
    for case in out["cases"]:
        m, n = case["case"][:2]
        assert case["launch"] == [WIDE, [-(-m // 128), -(-n // 256), 1], 98304] and case["close"], case
        if case["case"][4] != "special":
            assert case["finite"], case
        if "mixed" not in case["case"] and "special" not in case["case"]:
            assert case["zero_rows"] == 0, case


ROUTE_512 = """
    s = h.kernel_set()
    a, b = rand((512, 48), 1) * np.float32(1e5), rand((48, 528), 2)
    before = len(fake.launches())
    c = gpu(a, b)
    print(json.dumps({"wide": bool(s["gemm_mma_wide"]), "kernel": new_launches(before)[-1]["kernel"],
                      "close": R.pipe_close(c, a, b), "live": fake.live_allocations}))
"""


@pytest.mark.parametrize("cc, kw, kernel, line", [
    ((8, 0), {}, WIDE, None),
    ((8, 6), {}, WIDE, None),
    ((9, 0), {}, "vantblas_gemm_wgmma_tma", None),     # wgmma keeps serving; the wide kernel stays loaded
    ((11, 0), {}, "vantblas_gemm_mma_pipe", None),      # a 48 KiB opt-in limit: the attribute is refused
    ((8, 9), {"hide": ("cuFuncSetAttribute",)}, "vantblas_gemm_mma_pipe", None),
    ((8, 9), {"fail": [("cuFuncSetAttribute", 0, 1)]}, "vantblas_gemm_mma_pipe", None),
    # a driver that answers success without raising the limit: the canary's launch is refused
    ((8, 9), {"fail": [("cuFuncSetAttribute", 0, 0)]}, "vantblas_gemm_mma_pipe", WIDE_FAILED),
    ((8, 9), {"env": {"FAKE_CUDA_CORRUPT": WIDE}}, "vantblas_gemm_mma_pipe", WIDE_FAILED),
])
def test_wide_tile_serves_or_leaves_the_square_tile(cc, kw, kernel, line):
    r = run(ROUTE_512, cc=cc, refuse=(), **kw)
    out = payload(r)
    lines = engine_lines(r)
    assert out["kernel"] == kernel and out["close"] and out["live"] == 0
    assert out["wide"] == (kernel != "vantblas_gemm_mma_pipe")
    assert [x for x in lines if "wide" in x] == ([line] if line else [])
    assert lines[-1] == VB + "\u2705 All kernels loaded successfully"


# ---- split-K: few tiles over a long K (the stand-in reports 8 multiprocessors) ----------------

SPLIT = {"f32": ("vantblas_gemm_shared_split", 64, 8, (30, 50, 1030)),
         "mma": ("vantblas_gemm_mma_split", 128, 32, (32, 48, 1024)),
         "hopper": ("vantblas_gemm_mma_split", 128, 32, (32, 48, 1024))}


@pytest.mark.parametrize("route", ["f32", "mma", "hopper"])
def test_split_k_products(route):
    # The split kernels and the slice sum run interpreted. Two runs give the same bits; the slices
    # are the plan's, summed in slice order (bit for bit the slices' own references in float32
    # for single precision) and within the float64 reference's error bound; a refused workspace
    # leaves the product to the unsplit kernel; nothing stays allocated. On compute capability 9.0
    # the mma.sync split serves such products although the wgmma kernel serves the others.
    kernel, tile, step, (m, n, k) = SPLIT[route]
    r = run(f"""
        m, n, k = {m}, {n}, {k}
        a, b = rand((m, k), 1), rand((k, n), 2)
        wgmma = bool(h.kernel_set()["gemm_wgmma_tma"])
        before, interpreted = len(fake.launches()), fake.stat("launches_interpreted")
        first = gpu(a, b)
        l = [[x["kernel"], x["grid"], x["block"], x["shared"], x["params"]] for x in new_launches(before)]
        interpreted = fake.stat("launches_interpreted") - interpreted
        second = gpu(a, b)
        fake.fail("cuMemAlloc", fake.calls("cuMemAlloc") + 4, 2)   # B, A, C, then the workspace
        before = len(fake.launches())
        unsplit = gpu(a, b)
        fake.clear_failures()
        out = {{"launches": l, "same": R.same_bits(first, second), "pipe_close": R.pipe_close(first, a, b),
               "plan": h.plan_split_k(m, n, k, {tile}, {step}, 8), "scales": [R.half_scale_exponent(a), R.half_scale_exponent(b)],
               "unsplit": [x["kernel"] for x in new_launches(before)], "unsplit_close": R.pipe_close(unsplit, a, b),
               "unsplit_exact": R.same_bits(unsplit, R.fma_ref(a, b)), "interpreted": interpreted, "wgmma": wgmma}}
        if "{route}" == "f32":
            s, ks = l[0][1][2], l[0][4][6]
            parts = [R.fma_ref(a[:, z * ks:(z + 1) * ks], b[z * ks:(z + 1) * ks]) for z in range(s)]
            ref = parts[0]
            for p in parts[1:]:
                ref = ref + p
            exact = a.astype(np.float64) @ b
            mag = np.abs(a).astype(np.float64) @ np.abs(b)
            out["exact"] = R.same_bits(first, ref)
            out["bound"] = bool(np.all(np.abs(first - exact) <= (ks + s) * 2.0 ** -24 * mag))
            # A staged product of 16 MiB of row traffic that splits keeps one panel (executors).
            fake.set_interpret("none")
            a2, b2 = sparse(256, 16400, 3), rand((16400, 20), 4)
            before = len(fake.launches())
            c2 = gpu(a2, b2)
            out["panels"] = [[x["kernel"], x["grid"], x["params"][3]] for x in new_launches(before)]
            pieces = np.arange(16400) // h.plan_split_k(256, 20, 16400, 64, 8, 8)[1]
            ref2 = np.zeros((256, 20), np.float32)
            for z in range(pieces[-1] + 1):
                ref2 = ref2 + R.fma_ref(a2[:, pieces == z], b2[pieces == z])
            out["panels_exact"] = R.same_bits(c2, ref2)
        out.update(reports=fake.stat("interpreter_reports"), violations=fake.bounds_violations, live=fake.live_allocations)
        print(json.dumps(out))
    """, refuse=fakecuda.REFUSED_BY_DEFAULT if route == "f32" else (), cc=(9, 0) if route == "hopper" else None,
        interpret=f"{kernel},vantblas_splitk_reduce")
    out = payload(r)
    assert out["reports"] == 0 and out["violations"] == 0 and out["live"] == 0
    slices, k_slice = out["plan"]
    assert slices > 1 and out["same"] and out["interpreted"] == len(out["launches"])
    assert out["wgmma"] == (route == "hopper")
    *convert, split, total = out["launches"]
    # Grid z carries the slices; the sum reads the workspace the slices wrote, one element a thread.
    assert split[:4] == [kernel, [1, 1, slices], [16, 16, 1] if route == "f32" else [256, 1, 1],
                         4096 if route == "f32" else 49152]
    assert split[4][3:] == [m, n, k, k_slice]
    assert total[:4] == ["vantblas_splitk_reduce", [-(-m * n // 256), 1, 1], [256, 1, 1], 0]
    assert total[4][1] == split[4][2 if route == "f32" else 0] and total[4][2:4] == [m * n, slices]
    if route == "f32":
        assert convert == [] and total[4][4:] == [1.0, 1.0]
        assert out["exact"] and out["bound"]
        assert out["unsplit"] == ["vantblas_gemm_shared_64x64"] and out["unsplit_exact"]
        # One panel of 256 rows (not two of 128): four slices, then their sum.
        assert out["panels"] == [["vantblas_gemm_shared_split", [1, 4, 4], 256],
                                 ["vantblas_splitk_reduce", [20, 1, 1], 4]] and out["panels_exact"]
    else:
        sa, sb = out["scales"]
        assert [x[0] for x in convert] == PIPE[:2] and total[4][4] * total[4][5] == 2.0 ** -(sa + sb)
        assert out["pipe_close"]
        unsplit = PIPE if route == "mma" else ["vantblas_convert_pad_f16"] * 2 + ["vantblas_gemm_wgmma_tma"]
        assert out["unsplit"] == unsplit and out["unsplit_close"]
