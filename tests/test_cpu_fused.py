"""The opt-in fused arithmetic of the CPU products: the setting, its environment variable, and
results that are reproducible bit for bit (every instruction-set path, any thread count) and
within the error bound of a float32 sum."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import cpu_refs as ref



@pytest.fixture
def fused(lib):
    before = lib.arithmetic("fused")
    yield lib
    lib.arithmetic(before)
    lib.isa("auto")
    lib.threads(0)


def _operands(rng):
    r = lambda *s: rng.standard_normal(s).astype(np.float32)  # noqa: E731
    a, b = r(131, 523), r(523, 67)
    a[3, ::7] = np.nan
    b[::11, 5] = -np.inf
    return {
        "gemm": (np.asfortranarray(a), b[:, ::-1]),
        "gemm_small": (r(5, 3), r(3, 2)),
        "gemm_batched": (r(3, 40, 600), r(4, 610, 37)),
        "attention": (r(2, 150, 40), r(2, 151, 40), r(3, 150, 41), 0.2),
        "linear_gelu": (r(70, 300), r(90, 301), r(1, 90)),
    }


def _run(lib, name, args, plain=False):
    fn = getattr(lib, "gemm" if name == "gemm_small" else name)
    return fn(*args, plain=plain)


def test_every_path_and_thread_count_gives_the_bits_of_the_fused_loops(fused):
    ops = _operands(np.random.default_rng(40))
    want = {name: _run(fused, name, args, plain=True) for name, args in ops.items()}
    for isa in fused.available_isas():
        assert fused.isa(isa)
        for threads in (1, 3):
            fused.threads(threads)
            for name, args in ops.items():
                got = _run(fused, name, args)
                assert ref.same_bits(got, want[name]), f"{name} {isa} {threads}t: {ref.mismatch(got, want[name])}"
    # The exact arithmetic is untouched and differs: the setting reaches every product.
    fused.isa("auto")
    fused.arithmetic("exact")
    for name, args in ops.items():
        exact = _run(fused, name, args)
        assert ref.same_bits(exact, _run(fused, name, args, plain=True)), name
        if name != "gemm_small":
            assert not ref.same_bits(exact, want[name]), name


def test_each_step_is_one_rounding_and_sums_stay_within_the_float32_bound(fused):
    # x*x - fl(x*x) is 2^-24 for x = 1 + 2^-12: the fused step keeps it, separate roundings lose it.
    x = np.float32(1 + 2.0**-12)
    p = np.float32(x * x)
    a, b = np.array([[1.0, x]], np.float32), np.array([[-p], [x]], np.float32)
    for isa in fused.available_isas():
        fused.isa(isa)
        assert fused.gemm(a, b)[0, 0] == np.float32(2.0**-24), isa
    fused.isa("auto")
    rng = np.random.default_rng(41)
    for k in (1, 700, 3000):
        a = rng.standard_normal((33, k)).astype(np.float32)
        b = rng.standard_normal((k, 45)).astype(np.float32)
        exact64 = a.astype(np.float64) @ b.astype(np.float64)
        u = 2.0**-24
        bound = k * u / (1 - k * u) * (np.abs(a).astype(np.float64) @ np.abs(b).astype(np.float64))
        assert np.all(np.abs(fused.gemm(a, b) - exact64) <= bound), k
        batched = fused.gemm_batched(a[None], b[None])[0]
        assert np.all(np.abs(batched - exact64) <= bound), k


def test_module_setting_reaches_every_operation(vb, lib, no_gpu):
    rng = np.random.default_rng(42)
    ops = _operands(rng)
    assert vb.get_cpu_arithmetic() == "exact"
    for bad in ("FUSED", "", " fused", "fused\0", "fma"):
        with pytest.raises(ValueError, match="expected \"exact\" or \"fused\""):
            vb.set_cpu_arithmetic(bad)
    for bad in (None, b"fused", 1):
        with pytest.raises(TypeError, match="argument 'name'"):
            vb.set_cpu_arithmetic(bad)
    assert vb.get_cpu_arithmetic() == "exact"
    before = lib.arithmetic("fused")
    try:
        vb.set_cpu_arithmetic(name="fused")
        assert vb.get_cpu_arithmetic() == "fused"
        calls = {"gemm": vb.gemm, "gemm_small": vb.matmul, "gemm_batched": vb.gemm_batched,
                 "attention": vb.fused_attention, "linear_gelu": vb.fused_linear_gelu}
        for name, args in ops.items():
            assert ref.same_bits(calls[name](*args), _run(lib, name, args, plain=True)), name
        vb.set_cpu_arithmetic("exact")
        lib.arithmetic("exact")
        for name, args in ops.items():
            assert ref.same_bits(calls[name](*args), _run(lib, name, args, plain=True)), name
    finally:
        vb.set_cpu_arithmetic("exact")
        lib.arithmetic(before)


@pytest.mark.parametrize("value,start,warned", [
    ("fused", "fused", False), ("exact", "exact", False), ("", "exact", False),
    ("Fused", "exact", True), ("fused ", "exact", True), ("1", "exact", True),
])
def test_environment_variable_is_read_once(value, start, warned):
    code = textwrap.dedent("""
        import os, numpy as np, _vantblas as vb
        first = vb.get_cpu_arithmetic()
        os.environ["VANTBLAS_CPU_ARITHMETIC"] = "exact" if first == "fused" else "fused"
        vb.gemm_batched(np.ones((1, 2, 2), np.float32), np.ones((1, 2, 2), np.float32))
        print(first, vb.get_cpu_arithmetic())
        vb.set_cpu_arithmetic("exact" if first == "fused" else "fused")
        print(vb.get_cpu_arithmetic())
    """)
    env = dict(os.environ, VANTBLAS_CPU_ARITHMETIC=value)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert r.returncode == 0, r.stderr
    other = "exact" if start == "fused" else "fused"
    assert r.stdout.split() == [start, start, other]
    lines = [l for l in r.stderr.splitlines() if "VANTBLAS_CPU_ARITHMETIC" in l]
    if warned:
        assert lines == [f"[VantBLAS] Warning: ignoring VANTBLAS_CPU_ARITHMETIC='{value}': "
                         "expected \"exact\" or \"fused\"; using exact"]
    else:
        assert lines == []
