"""Kernel-set loading of the attention, fused-operation and FP8 modules, on the stand-in driver.

Each case runs the whole kernel-set load in a child process (through the engine's test hooks)
and checks the loading lines and the filled slots. Faults target one module or one entry lookup
by call number: a fault-free run of the same configuration gives the driver call log, in which the
kernel set's fifteen module loads are the last fifteen cuModuleLoadData calls.
"""

import functools
import json

import pytest

import enginehooks
import fakecuda

# Module loads of the kernel set, in loading order.
MODULES = ["small", "basic", "shared", "reg8x8", "batched", "wmma_max", "wmma_opt", "fp16_pure", "v2", "v1",
           "attention", "convert", "fused_attention", "fused_ops", "fp8"]

FUSED_SLOTS = {
    "attention_basic": "vantblas_fused_attention",
    "fused_attention_simple": "vantblas_fused_attention_simple",
    "multihead_attention": "vantblas_multihead_attention",
    "fused_linear_bias_gelu": "vantblas_fused_linear_bias_gelu",
    "fused_linear_bias_silu": "vantblas_fused_linear_bias_silu",
    "fused_rmsnorm_residual": "vantblas_fused_rmsnorm_residual",
    "fused_layernorm_residual": "vantblas_fused_layernorm_residual",
    "fused_swiglu": "vantblas_fused_swiglu",
    "fused_bias_residual": "vantblas_fused_bias_residual",
    "quantize_fp8": "vantblas_quantize_fp8",
    "dequantize_fp8": "vantblas_dequantize_fp8",
    "gemm_fp8_tiled": "vantblas_gemm_fp8_tiled",
}
FUSED_OPS_ORDER = ["fused_linear_bias_gelu", "fused_linear_bias_silu", "fused_rmsnorm_residual",
                   "fused_layernorm_residual", "fused_swiglu", "fused_bias_residual"]

ATTENTION_OK = "[VantBLAS] Fused Attention kernel loaded OK"
FUSED_ATTENTION_OK = "[VantBLAS] \U0001F680 Fused Attention CUDA loaded OK!"
FUSED_OPS_COUNT = "[VantBLAS] \U0001F525 Fused Ops loaded: {}/6 kernels"
FP8_OK = "[VantBLAS] \u26A1 FP8 Pipeline loaded OK! (DeepSeek style)"
ALL_LOADED = "[VantBLAS] \u2705 All kernels loaded successfully"

CHILD = """
import _vantblas_enginehooks as eh
slots = eh.kernel_set()
names = {names!r}
print("RESULT " + json.dumps({{
    "slots": {{k: bool(v) for k, v in slots.items()}},
    "matches": {{slot: slots[slot] == fake.function_handle(entry) for slot, entry in names.items() if slots[slot]}},
    "calls": fake.call_log(),
}}))
"""


class Load:
    def __init__(self, result):
        result.check()
        self.lines = [l for l in result.lines if not l.startswith("RESULT ")]
        data = json.loads(next(l for l in result.lines if l.startswith("RESULT "))[7:])
        self.slots = data["slots"]
        self.matches = data["matches"]
        self.calls = data["calls"]

    @property
    def engine_lines(self):
        return [l for l in self.lines if l.startswith("[VantBLAS]")]

    def fused_lines(self):
        """Lines of the attention, fused-attention, fused-ops and FP8 steps, in printed order."""
        keys = ("Attention", "Fused Ops", "FP8")
        return [l for l in self.engine_lines if any(k in l for k in keys)]


def load(cc=None, fail=()):
    return Load(fakecuda.run(CHILD.format(names=FUSED_SLOTS), cc=cc, fail=fail,
                             env={"PYTHONPATH": str(enginehooks.build_dir())}))


@functools.lru_cache(maxsize=None)
def baseline(cc=(8, 6)):
    return load(cc)


LOADED_AFTER = 2  # the strided gather and the pipelined tensor-core module load after the FP8 module


def load_nth(module, cc=(8, 6)):
    """Call number of cuModuleLoadData that loads `module` in the kernel set."""
    loads = [i for i, e in enumerate(baseline(cc).calls) if e == "cuModuleLoadData"]
    assert len(loads) >= len(MODULES), "the kernel set loaded fewer modules than expected"
    return len(loads) - len(MODULES) - LOADED_AFTER + MODULES.index(module) + 1


def lookup_nth(module, k, cc=(8, 6)):
    """Call number of cuModuleGetFunction for the k-th (1-based) lookup in `module`."""
    calls = baseline(cc).calls
    at = [i for i, e in enumerate(calls) if e == "cuModuleLoadData"][load_nth(module, cc) - 1]
    return sum(1 for e in calls[:at] if e == "cuModuleGetFunction") + k


@pytest.fixture(scope="module", autouse=True)
def full_set_available():
    # Steps 12 to 16 run only after the basic and shared-memory GEMM modules loaded.
    needed = [fakecuda.REPO / "kernels" / "gemm" / f"{m}.ptx" for m in ("basic", "shared")]
    if not all(p.exists() for p in needed):
        pytest.skip("the basic and shared-memory GEMM modules are not in the tree")
    assert ALL_LOADED in baseline().lines


@pytest.mark.parametrize("cc", [(8, 6), (8, 9)])
def test_full_load_prints_every_fused_line_in_order(cc):
    got = load(cc)
    assert got.fused_lines() == [ATTENTION_OK, FUSED_ATTENTION_OK, FUSED_OPS_COUNT.format(6), FP8_OK]
    lines = got.engine_lines
    assert lines[-1] == ALL_LOADED
    # Steps 12 to 16 come after the V1 step and the conversion step sits between 12 and 14; only
    # the pipelined tensor-core module's line comes between them and the closing line.
    at = [lines.index(l) for l in got.fused_lines()]
    assert at == sorted(at) and at[-1] == len(lines) - 3 and "MMA pipeline" in lines[-2]
    v1 = [i for i, l in enumerate(lines) if "V1 kernel" in l or "Small Fast" in l]
    assert all(i < at[0] for i in v1)
    assert all(got.slots[s] for s in FUSED_SLOTS)
    assert got.matches == {s: True for s in FUSED_SLOTS}


@pytest.mark.parametrize("cc,status", [((8, 0), 209), ((7, 5), 209)])
def test_device_below_sm86_refuses_the_generated_modules(cc, status):
    got = load(cc)
    assert got.fused_lines() == [
        ATTENTION_OK,
        f"[VantBLAS] Warning: Fused Attention CUDA failed to load: {status}",
        f"[VantBLAS] Warning: Fused Ops failed to load: {status}",
        f"[VantBLAS] Warning: FP8 Ops failed to load: {status}",
    ]
    assert got.engine_lines[-1] == ALL_LOADED
    assert [s for s in FUSED_SLOTS if got.slots[s]] == ["attention_basic"]


@pytest.mark.parametrize("module,warning,emptied", [
    ("attention", "[VantBLAS] Warning: Attention kernel failed to load: 218", ["attention_basic"]),
    ("fused_attention", "[VantBLAS] Warning: Fused Attention CUDA failed to load: 218",
     ["fused_attention_simple", "multihead_attention"]),
    ("fused_ops", "[VantBLAS] Warning: Fused Ops failed to load: 218", FUSED_OPS_ORDER),
    ("fp8", "[VantBLAS] Warning: FP8 Ops failed to load: 218", ["quantize_fp8", "dequantize_fp8", "gemm_fp8_tiled"]),
])
def test_refused_module_prints_its_warning_and_leaves_its_slots_empty(module, warning, emptied):
    got = load((8, 6), fail=[("cuModuleLoadData", load_nth(module), 218)])
    expected = [ATTENTION_OK, FUSED_ATTENTION_OK, FUSED_OPS_COUNT.format(6), FP8_OK]
    expected[["attention", "fused_attention", "fused_ops", "fp8"].index(module)] = warning
    assert got.fused_lines() == expected
    assert got.engine_lines[-1] == ALL_LOADED
    assert {s for s in FUSED_SLOTS if not got.slots[s]} == set(emptied)


def test_missing_attention_entry_prints_its_status():
    got = load((8, 6), fail=[("cuModuleGetFunction", lookup_nth("attention", 1), 500)])
    assert got.fused_lines()[0] == "[VantBLAS] Warning: Attention kernel function not found: 500"
    assert not got.slots["attention_basic"]
    assert got.fused_lines()[1:] == [FUSED_ATTENTION_OK, FUSED_OPS_COUNT.format(6), FP8_OK]


@pytest.mark.parametrize("missing,line_printed", [(1, False), (2, True)])
def test_fused_attention_line_depends_on_the_simple_kernel_only(missing, line_printed):
    got = load((8, 6), fail=[("cuModuleGetFunction", lookup_nth("fused_attention", missing), 500)])
    assert (FUSED_ATTENTION_OK in got.lines) == line_printed
    assert not any("Fused Attention CUDA" in l and "Warning" in l for l in got.lines)
    slot = ["fused_attention_simple", "multihead_attention"][missing - 1]
    assert [s for s in ("fused_attention_simple", "multihead_attention") if not got.slots[s]] == [slot]


@pytest.mark.parametrize("missing", [(2, 5), (1, 2, 3, 4, 5, 6), (6,)])
def test_fused_ops_count_line_counts_the_entries_found(missing):
    got = load((8, 6), fail=[("cuModuleGetFunction", lookup_nth("fused_ops", k), 500) for k in missing])
    count_lines = [l for l in got.lines if "Fused Ops" in l]
    assert count_lines == [FUSED_OPS_COUNT.format(6 - len(missing))]
    assert [s for s in FUSED_OPS_ORDER if not got.slots[s]] == [FUSED_OPS_ORDER[k - 1] for k in missing]
    assert got.engine_lines[-1] == ALL_LOADED


@pytest.mark.parametrize("missing,line_printed", [(1, False), (2, True), (3, False)])
def test_fp8_line_needs_quantise_and_tiled_gemm(missing, line_printed):
    got = load((8, 6), fail=[("cuModuleGetFunction", lookup_nth("fp8", missing), 500)])
    assert (FP8_OK in got.lines) == line_printed
    assert not any("FP8" in l and "Warning" in l for l in got.lines)
    slot = ["quantize_fp8", "dequantize_fp8", "gemm_fp8_tiled"][missing - 1]
    assert [s for s in ("quantize_fp8", "dequantize_fp8", "gemm_fp8_tiled") if not got.slots[s]] == [slot]
    assert got.engine_lines[-1] == ALL_LOADED


def test_first_gemm_of_the_module_loads_the_fused_modules():
    import importlib.util
    import os

    if importlib.util.find_spec("_vantblas") is None:
        pytest.skip("_vantblas is not built on this PYTHONPATH")
    r = fakecuda.run("""
        import numpy as np, _vantblas
        a = np.ones((4, 4), np.float32)
        _vantblas.gemm(a, a)
        _vantblas.gemm(a, a)
    """, cc=(8, 6), env={"PYTHONPATH": os.environ.get("PYTHONPATH", "")})
    r.check()
    lines = [l for l in r.lines if l.startswith("[VantBLAS]")]
    fused = [l for l in lines if any(k in l for k in ("Attention", "Fused Ops", "FP8"))]
    # Loaded once, by the first product; the second finds the set in place.
    assert fused == [ATTENTION_OK, FUSED_ATTENTION_OK, FUSED_OPS_COUNT.format(6), FP8_OK]
    assert lines[-1] == ALL_LOADED and lines.count(ALL_LOADED) == 1
