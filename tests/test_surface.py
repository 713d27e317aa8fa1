"""Registration of the module: names, order, signatures, documentation, import behaviour."""

from __future__ import annotations

import importlib
import subprocess
import sys
import textwrap

import pytest

FUNCTIONS = [
    ("matmul", "(a, b)", "Matrix multiplication"),
    ("matmul_fp16", "(a, b)", "FP16 Matrix multiplication"),
    ("gemm", "(a, b)", "General Matrix Multiply: C = A @ B\nUses real VantBLAS CUDA kernels when available, falls back to CPU otherwise"),
    ("gemm_fp16", "(a, b)", "FP16 GEMM with Tensor Cores\nUses real VantBLAS CUDA kernels with Tensor Cores when available"),
    ("gemm_chain", "(a, w1, w2)", "\u2705 OPTIMIZED: Chain two GEMMs on GPU (A @ W1 @ W2)\nThis is MUCH faster than calling gemm twice (no CPU round-trip!)"),
    ("gemm_batched", "(a, b)", "Batched GEMM"),
    ("attention", "(q, k, v, scale=None)", "Fused Attention (alias)"),
    ("fused_attention", "(q, k, v, scale=None)", "Fused Attention: softmax(Q @ K^T / sqrt(d)) @ V"),
    ("fused_linear_gelu", "(x, weight, bias=None)", "Fused Linear + GELU"),
    ("fused_rmsnorm", "(x, weight, eps=None)", "Fused RMSNorm"),
    ("info", "()", "Print VantBLAS info"),
    ("get_device_info", "()", "Get device information"),
    ("is_cuda_available", "()", "Check if CUDA is available"),
    ("benchmark", '(operation="gemm_fp16", size=2048, iterations=100)', "Run benchmark"),
    ("set_cpu_arithmetic", "(name)",
     "Select the arithmetic of the products computed on the CPU (the GEMM functions' CPU fallback, "
     "gemm_batched, attention, fused_attention, fused_linear_gelu) for the process: \"exact\" (the "
     "default: each product rounded to float32, then added) or \"fused\" (each product step one fused "
     "multiply-add). Both sum in increasing index order from +0.0 and give the same bits for every "
     "thread count and instruction set."),
    ("get_cpu_arithmetic", "()", 'The arithmetic of the CPU products: "exact" or "fused"'),
    ("set_num_threads", "(n)", "Set the number of threads of the CPU operations"),
    ("get_num_threads", "()", "Number of threads of the CPU operations"),
]
CLASSES = ["VantBLAS", "VantBLASModel", "VantTensor"]


def test_all_lists_functions_then_classes_in_registration_order(vb):
    assert vb.__all__ == [name for name, _, _ in FUNCTIONS] + CLASSES
    assert all(type(name) is str for name in vb.__all__)


def test_dir_holds_only_the_exported_names_and_standard_attributes(vb):
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    own = set(dir(vb)) - standard
    assert own == set(vb.__all__) | {"__all__"}
    assert not hasattr(vb, "__version__")
    assert not hasattr(vb, "PanicException")
    assert vb.__doc__ == "VantBLAS Python module"


@pytest.mark.parametrize("name,signature,doc", FUNCTIONS)
def test_function_signature_and_doc(vb, name, signature, doc):
    fn = getattr(vb, name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    assert fn.__module__ == "_vantblas"
    assert type(fn).__name__ == "builtin_function_or_method"


@pytest.mark.parametrize("name", ["info", "get_device_info", "is_cuda_available", "get_cpu_arithmetic"])
def test_argumentless_functions_refuse_arguments_with_cpythons_text(vb, name):
    with pytest.raises(TypeError, match=rf"^(_vantblas\.)?{name}\(\) takes no arguments \(1 given\)$"):
        getattr(vb, name)(1)


def test_classes_have_bare_names_and_cannot_be_subclassed(vb):
    for name in CLASSES:
        cls = getattr(vb, name)
        assert cls.__name__ == name
        assert repr(cls) == f"<class '{name}'>"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


def test_class_documentation_and_signatures(vb):
    assert vb.VantBLAS.__text_signature__ == '(precision="fp16", kernel="auto")'
    assert vb.VantBLAS.__doc__ == "VantBLAS class"
    assert vb.VantTensor.__text_signature__ == '(data, device="cuda")'
    assert vb.VantTensor.__doc__ == (
        "\u2705 Phase 2: GPU-Resident Tensor Class\n"
        "Eliminates NumPy\u2194CUDA conversion overhead by keeping data on GPU")
    assert vb.VantBLASModel.__text_signature__ == "()"
    assert vb.VantBLASModel.__doc__ == (
        "\u2705 ULTRA-OPTIMIZED: Model class that keeps weights on GPU\n"
        "This eliminates NumPy \u2194 CUDA conversion overhead for weights!")
    t = vb.VantTensor
    assert t.matmul.__text_signature__ == "($self, other)"
    assert t.matmul.__doc__ == "Matrix multiplication with another VantTensor (both stay on GPU!)"
    assert t.cpu.__doc__ == "Convert to NumPy array (explicit conversion when needed)"
    assert t.shape.__doc__ == "Get shape" and t.device.__doc__ == "Get device"
    m = vb.VantBLASModel
    assert m.set_weights.__text_signature__ == "($self, w1, w2)"
    assert m.set_weights.__doc__ == (
        "Set weights (allocates on GPU, stays there!)\n"
        "\u2705 OPTIMIZED: Also creates FP16 versions if dimensions allow for Tensor Cores")
    assert m.forward.__doc__ == "Forward pass (weights already on GPU!)"
    assert m.forward_batch.__text_signature__ == "($self, x_batch)"
    assert m.forward_batch.__doc__.count("\n") == 2
    for meth in ["info", "set_precision", "set_kernel", "get_precision", "get_kernel"]:
        assert getattr(vb.VantBLAS, meth).__doc__ is None
    assert vb.VantBLAS.set_kernel.__text_signature__ == "($self, k)"


def test_reimport_returns_the_identical_module(vb):
    again = importlib.import_module("_vantblas")
    assert again is vb
    del sys.modules["_vantblas"]
    try:
        fresh = importlib.import_module("_vantblas")
        assert fresh is vb
    finally:
        sys.modules["_vantblas"] = vb


def run_child(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-W", "error", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


def test_import_is_warning_free_and_star_import_gives_exactly_the_exports():
    r = run_child("""
        ns = {}
        exec("from _vantblas import *", ns)
        import _vantblas
        assert sorted(k for k in ns if k != "__builtins__") == sorted(_vantblas.__all__)
        print("ok")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_sub_interpreter_import_is_refused():
    r = run_child("""
        import _vantblas
        try:
            import _testcapi
        except ImportError:
            print("skip")
            raise SystemExit
        code = (
            "try:\\n"
            "    import _vantblas\\n"
            "except ImportError as e:\\n"
            "    assert 'sub-interpreters' in str(e), e\\n"
            "else:\\n"
            "    raise AssertionError('imported')\\n"
        )
        assert _testcapi.run_in_subinterp(code) == 0
        print("ok")
    """)
    if r.stdout.strip() == "skip":
        pytest.skip("_testcapi is not available")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_panic_exception_is_a_base_exception_outside_exception(vb):
    import numpy as np

    a = np.ones((2, 3, 4), np.float32)
    b = np.ones((1, 4, 5), np.float32)
    with pytest.raises(BaseException) as info:
        try:
            vb.gemm_batched(a, b)
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by 'except Exception'")
    exc_type = info.type
    assert exc_type.__name__ == "PanicException"
    assert exc_type.__bases__ == (BaseException,)
    assert str(info.value) == "ndarray: index out of bounds"


def test_panic_is_reported_on_standard_error(vb, capfd):
    import numpy as np

    with pytest.raises(BaseException):
        vb.gemm_batched(np.ones((2, 3, 4), np.float32), np.ones((1, 4, 5), np.float32))
    assert "ndarray: index out of bounds" in capfd.readouterr().err


DEMO = """
from vantblas.__main__ import main
raise SystemExit(main(["--m", "32", "--n", "48", "--k", "16"]))
"""


def test_demo_states_the_route_only_when_it_is_known():
    import fakecuda

    if fakecuda.real_driver_present():
        pytest.skip("a real driver would be found first")
    # No driver: the CPU computed the product, certainly.
    r = fakecuda.run(DEMO, driver=False).check()
    assert "route: CPU (no usable CUDA driver or device)" in r.lines
    assert r.lines[-1] == "check: OK"
    # A device of compute capability 7.5 runs these sizes on its FP32 kernels although they are
    # multiples of 16: the demo must not name a kernel it cannot know ran.
    r = fakecuda.run(DEMO, cc=(7, 5)).check()
    route = [line for line in r.lines if line.startswith("route: ")]
    assert route == ["route: GPU tried first (FP16 tensor cores when this device loaded them, else FP32 "
                     "kernels), CPU as fallback; the module does not report which one computed this product"]
    assert r.lines[-1] == "check: OK"


def test_type_stubs_resolve_and_match_the_built_module(vb, tmp_path):
    pytest.importorskip("mypy")
    usage = tmp_path / "usage.py"
    usage.write_text(textwrap.dedent("""
        from typing import assert_type
        import numpy as np
        import numpy.typing as npt
        import _vantblas
        from vantblas import *

        a = np.ones((2, 2), np.float32)
        assert_type(gemm(a, a), npt.NDArray[np.float32])
        assert_type(VantBLASModel().forward(a), npt.NDArray[np.float32])
        assert_type(VantTensor(a).matmul(VantTensor(a)), VantTensor)
        assert_type(VantBLAS().get_kernel(), str)
        assert_type(_vantblas.is_cuda_available(), bool)
        # Anything with __float__ passes for scale and eps, as at run time.
        q = np.ones((1, 2, 2), np.float32)
        assert_type(attention(q, q, q, scale=np.float32(0.5)), npt.NDArray[np.float32])
        assert_type(fused_attention(q, q, q, np.float64(0.5)), npt.NDArray[np.float32])
        assert_type(fused_rmsnorm(a, a[:1], eps=np.float32(1e-6)), npt.NDArray[np.float32])
    """))
    # Run away from the source tree, against the installed package and its stubs.
    for args in (["mypy", "--strict", "--python-version", "3.11", str(usage)], ["mypy.stubtest", "_vantblas", "vantblas"]):
        r = subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=tmp_path, timeout=600)
        assert r.returncode == 0, r.stdout + r.stderr


def test_licence_file_and_package_metadata():
    from importlib import metadata
    from pathlib import Path

    licence = (Path(__file__).resolve().parent.parent / "LICENSE").read_text()
    assert licence.startswith("MIT License\n\nCopyright (c) VantBLAS developers\n")
    try:
        meta = metadata.metadata("vantblas")
    except metadata.PackageNotFoundError:
        pytest.skip("the package is not installed (a bare build)")
    assert meta["License-Expression"] == "MIT"
    classifiers = meta.get_all("Classifier")
    for minor in range(10, 15):
        assert f"Programming Language :: Python :: 3.{minor}" in classifiers
