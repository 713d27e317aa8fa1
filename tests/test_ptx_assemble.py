"""The embedded PTX modules are valid for the devices they target, and for sm_90 (Hopper JIT).

Every kernels/**/*.ptx text must assemble with ptxas at the .target it declares and at sm_90 (an
architecture-specific "a" target only at its own architecture, and never at a later one),
carry the .version / .target pair the kernel set expects, declare each entry the kernel set and
the module's other users look up, with the parameter types the host passes, and the kernels the
host launches must not spill registers. Skipped where ptxas is not installed.
"""

from __future__ import annotations

import functools
import re
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
KERNELS = ROOT / "kernels"
PTXAS = shutil.which("ptxas")

needs_ptxas = pytest.mark.skipif(PTXAS is None, reason="ptxas not on PATH")

P, U, F = "u64", "u32", "f32"
GEMM6 = [P, P, P, U, U, U]
SCALED = GEMM6 + [F, F]
CONVERT = [P, P, U]

# module file: (.version, .target, {entry: parameter types, or None where only presence matters})
MODULES = {
    "gemm/small.ptx": ("7.0", "sm_75", {"vantblas_gemm_small_16x16": GEMM6}),
    "gemm/basic.ptx": ("7.0", "sm_75", {"vantblas_gemm_64x64": GEMM6}),
    "gemm/shared.ptx": ("7.0", "sm_75", {"vantblas_gemm_shared_64x64": GEMM6}),
    "gemm/reg8x8.ptx": ("7.0", "sm_75", {"vantblas_gemm_reg8x8": GEMM6}),
    "gemm/batched.ptx": ("7.0", "sm_75", {"vantblas_gemm_batched": [P, P, P] + [U] * 7}),
    "gemm/wmma_max.ptx": ("8.2", "sm_80", {"vantblas_gemm_wmma_max": GEMM6, "vantblas_gemm_wmma_max_f16": GEMM6}),
    "gemm/wmma_opt.ptx": ("8.2", "sm_80", {"vantblas_gemm_wmma_opt_64": GEMM6, "vantblas_gemm_wmma_opt_128": GEMM6,
                                           "vantblas_gemm_wmma_opt_vec": GEMM6}),
    "gemm/fp16_pure.ptx": ("8.2", "sm_80", {"vantblas_gemm_wmma_fp16_pure": GEMM6,
                                            "vantblas_gemm_wmma_fp16_pure_large": GEMM6}),
    "gemm/v2.ptx": ("7.0", "sm_80", {"vantblas_gemm_v2": SCALED, "vantblas_gemm_v3": SCALED,
                                     "vantblas_gemm_wmma_v2": GEMM6, "vantblas_gemm_small_optimized": GEMM6}),
    "gemm/v1.ptx": ("8.2", "sm_80", {"vantblas_gemm_small_v1": SCALED, "vantblas_gemm_medium_v1": SCALED}),
    "gemm/mma_pipe.ptx": ("7.0", "sm_80", {"vantblas_gemm_mma_pipe": SCALED,
                                           "vantblas_convert_scaled_f16": CONVERT + [F, F]}),
    "gemm/mma_wide.ptx": ("7.0", "sm_80", {"vantblas_gemm_mma_wide": SCALED}),
    "gemm/wgmma_tma.ptx": ("8.0", "sm_90a", {"vantblas_gemm_wgmma_tma": [P, "b8[128]", "b8[128]", U, U, U, F, F],
                                             "vantblas_convert_pad_f16": [P, P, U, U, U, U, F, F]}),
    "gemm/convert.ptx": ("7.0", "sm_75", {"convert_f32_to_f16": CONVERT, "convert_f16_to_f32": CONVERT,
                                          "convert_f32_to_f16_vec4": CONVERT}),
    "fused/attention.ptx": ("7.0", "sm_75", {"vantblas_fused_attention": None}),
    "fused/fused_attention.ptx": ("8.0", "sm_86", dict.fromkeys(
        ["vantblas_fused_attention_f32", "vantblas_fused_attention_simple", "vantblas_multihead_attention"])),
    "fused/fused_ops.ptx": ("8.0", "sm_86", dict.fromkeys(
        ["vantblas_fused_linear_bias_gelu", "vantblas_fused_linear_bias_silu", "vantblas_fused_rmsnorm_residual",
         "vantblas_fused_layernorm_residual", "vantblas_fused_swiglu", "vantblas_fused_residual_dropout",
         "vantblas_fused_bias_residual", "vantblas_fused_attn_output"])),
    "fused/fp8.ptx": ("8.0", "sm_86", dict.fromkeys(
        ["vantblas_quantize_fp8", "vantblas_dequantize_fp8", "vantblas_gemm_fp8_simulated", "vantblas_gemm_fp8_tiled",
         "vantblas_compute_fp8_scale", "vantblas_fused_fp8_linear"])),
}

# Kernels the host launches (the basic kernel stands in for the small and shared ones).
LAUNCHED = {
    "gemm/small.ptx": ["vantblas_gemm_small_16x16"],
    "gemm/basic.ptx": ["vantblas_gemm_64x64"],
    "gemm/shared.ptx": ["vantblas_gemm_shared_64x64"],
    "gemm/v2.ptx": ["vantblas_gemm_v2"],
    "gemm/wmma_opt.ptx": ["vantblas_gemm_wmma_opt_vec"],
    "gemm/wmma_max.ptx": ["vantblas_gemm_wmma_max"],
    "gemm/convert.ptx": ["convert_f32_to_f16"],
    "gemm/mma_pipe.ptx": ["vantblas_gemm_mma_pipe", "vantblas_convert_scaled_f16"],
    "gemm/wgmma_tma.ptx": ["vantblas_gemm_wgmma_tma", "vantblas_convert_pad_f16"],
    "gemm/mma_wide.ptx": ["vantblas_gemm_mma_wide"],
}
# Where a module's kernels must also fit architectures beyond its target and sm_90.
EXTRA_ARCHS = {"gemm/mma_pipe.ptx": ["sm_86", "sm_89"], "gemm/mma_wide.ptx": ["sm_86", "sm_89"]}

ALL_PTX = sorted(p.relative_to(KERNELS).as_posix() for p in KERNELS.rglob("*.ptx"))


def read(rel: str) -> str:
    return (KERNELS / rel).read_text()


def header(text: str, directive: str) -> str | None:
    m = re.search(rf"^\s*\.{directive}\s+(\S+)", text, re.MULTILINE)
    return m.group(1) if m else None


def entries(text: str) -> dict[str, list[str]]:
    """Entry name -> parameter types (".u64" as "u64"; a byte-array parameter as "b8[n]")."""
    found = {}
    for m in re.finditer(r"\.entry\s+([A-Za-z_$][\w$]*)\s*\(([^)]*)\)", text):
        types = []
        for param in filter(None, (p.strip() for p in m.group(2).split(","))):
            t = re.search(r"\.param\s+(?:\.align\s+\d+\s+)?\.(\w+)\s+\S+?(\[\d+\])?$", param)
            types.append(t.group(1) + (t.group(2) or "") if t else param)
        found[m.group(1)] = types
    return found


@functools.lru_cache(maxsize=None)
def assemble(rel: str, arch: str) -> subprocess.CompletedProcess:
    return subprocess.run([PTXAS, "-v", f"-arch={arch}", "-o", "/dev/null", str(KERNELS / rel)],
                          capture_output=True, text=True, timeout=600)


def per_entry(output: str, pattern: str) -> dict[str, tuple[int, ...]]:
    """Entry -> the integers `pattern` captures on that entry's lines of `ptxas -v` output."""
    result, current = {}, None
    for line in output.splitlines():
        m = re.search(r"Compiling entry function '([^']+)'", line)
        if m:
            current = m.group(1)
        m = re.search(pattern, line)
        if m and current:
            result[current] = tuple(int(g) for g in m.groups())
    return result


def archs(target: str, extra=()) -> list[str]:
    """The architectures a module of `target` must assemble for."""
    return [target] if target.endswith("a") else list(dict.fromkeys([target, "sm_90", *extra]))


def spills(output: str) -> dict[str, tuple[int, ...]]:
    """Entry -> (spill store bytes, spill load bytes)."""
    return per_entry(output, r"(\d+) bytes spill stores, (\d+) bytes spill loads")


def test_every_module_of_the_kernel_set_is_present():
    missing = [rel for rel in MODULES if not (KERNELS / rel).is_file()]
    assert not missing


@needs_ptxas
@pytest.mark.parametrize("rel", ALL_PTX)
def test_module_assembles_for_its_target_and_sm90(rel):
    target = header(read(rel), "target")
    assert target, f"{rel} declares no .target"
    for arch in archs(target.split(",")[0]):
        done = assemble(rel, arch)
        assert done.returncode == 0, f"ptxas -arch={arch} {rel}:\n{done.stderr}"
    if target.endswith("a"):
        # architecture-specific text must not pass for the next architecture
        assert assemble(rel, "sm_100a").returncode != 0


@pytest.mark.parametrize("rel", sorted(MODULES))
def test_module_declares_its_version_target_and_entries(rel):
    if not (KERNELS / rel).is_file():
        pytest.fail(f"{rel} is missing")
    version, target, wanted = MODULES[rel]
    text = read(rel)
    assert header(text, "version") == version
    assert header(text, "target") == target
    declared = entries(text)
    for name, params in wanted.items():
        assert name in declared, f"{rel} has no entry {name}"
        if params is not None:
            assert declared[name] == params, f"{name} parameters {declared[name]}, host passes {params}"


@needs_ptxas
@pytest.mark.parametrize("rel", sorted(LAUNCHED))
def test_launched_kernels_do_not_spill(rel):
    target = MODULES[rel][1]
    for arch in archs(target, EXTRA_ARCHS.get(rel, [])):
        done = assemble(rel, arch)
        assert done.returncode == 0, done.stderr
        report = spills(done.stdout + done.stderr)
        for name in LAUNCHED[rel]:
            assert report.get(name) == (0, 0), f"{name} at {arch}: spill bytes {report.get(name)}"
        if rel == "gemm/mma_pipe.ptx":
            # Two 256-thread blocks per multiprocessor (64K registers): at most 128 a thread.
            (used,) = per_entry(done.stdout + done.stderr, r"Used (\d+) registers")["vantblas_gemm_mma_pipe"]
            assert used <= 128, f"vantblas_gemm_mma_pipe at {arch}: {used} registers"
        if rel == "gemm/wgmma_tma.ptx":
            # setmaxnreg needs the entry cap: 384 threads x 168 = 40 x 128 + 232 x 256 registers.
            text = done.stdout + done.stderr
            assert "setmaxnreg' ignored" not in text and "is injected" not in text, text
            (used,) = per_entry(text, r"Used (\d+) registers")["vantblas_gemm_wgmma_tma"]
            assert used <= 168


@pytest.mark.slow
@pytest.mark.skipif(PTXAS is None or shutil.which("nvcc") is None, reason="nvcc/ptxas not on PATH")
def test_generated_modules_match_their_sources():
    done = subprocess.run(["bash", str(ROOT / "scripts" / "regen_ptx.sh"), "--check"], capture_output=True,
                          text=True, timeout=900)
    assert done.returncode == 0, done.stderr
