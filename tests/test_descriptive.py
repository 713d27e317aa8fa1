"""info(), get_device_info(), is_cuda_available(), benchmark() and the VantBLAS settings class."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest


def test_info_writes_the_banner_to_fd1_and_returns_the_identification(vb, capfd):
    assert vb.info() == "VantBLAS v1.0.9.post1 by Tallwick"
    out = capfd.readouterr().out
    lines = out.split("\n")
    assert out.endswith("\n\n")
    banner = lines[:-1]  # the text ends in a line feed
    assert len(banner) == 18
    assert banner[0] == "" and banner[-1] == ""
    assert banner[1] == banner[4] == banner[16] == "=" * 60
    assert banner[2:4] == ["VantBLAS by Tallwick", "High-Performance BLAS Library"]
    assert banner[5:7] == ["Version: 1.0.9.post1", "Backend: CUDA PTX (Tensor Cores)"]
    assert banner[7].startswith("License: ")
    assert banner[8:14] == ["Status: Native extension loaded", "", "Features:",
                            "  - FP16/FP32 GEMM with Tensor Cores", "  - Fused Attention kernel",
                            "  - 100% Independent (no cuBLAS)"]
    assert banner[14] == ""


def test_info_bypasses_sys_stdout(vb, capsys):
    vb.info()
    assert capsys.readouterr().out == ""


def test_info_without_stdout_raises_panic():
    code = textwrap.dedent("""
        import os, _vantblas
        os.close(1)
        try:
            _vantblas.info()
        except BaseException as e:
            os.write(2, f"{type(e).__name__}|{e}".encode())
    """)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    name, _, text = r.stderr.strip().splitlines()[-1].partition("|")
    assert name == "PanicException"
    assert text.startswith("failed printing to stdout: ")
    assert "Bad file descriptor" in text


def test_device_info_is_fixed_and_fresh_each_call(vb):
    d = vb.get_device_info()
    assert list(d) == ["name", "compute_capability", "memory_gb", "backend", "tensor_cores",
                       "fp16_tflops", "fp32_tflops"]
    assert d == {"name": "NVIDIA GPU", "compute_capability": 89, "memory_gb": 8.0,
                 "backend": "CUDA PTX", "tensor_cores": True, "fp16_tflops": 35.0,
                 "fp32_tflops": 11.0}
    assert type(d["compute_capability"]) is int and type(d["memory_gb"]) is float
    d["name"] = "changed"
    assert vb.get_device_info()["name"] == "NVIDIA GPU"
    assert vb.get_device_info() is not vb.get_device_info()


def test_is_cuda_available_is_false_without_a_driver(vb, no_gpu):
    assert vb.is_cuda_available() is False


@pytest.mark.parametrize("args,kwargs,expected", [
    ((), {}, {"vantblas_tflops": 35.1, "pytorch_tflops": 34.6, "ratio": 101.44508670520231, "iterations": 100.0}),
    (("gemm_fp16", 512), {}, {"vantblas_tflops": 15.0, "pytorch_tflops": 12.0, "ratio": 125.0, "iterations": 100.0}),
    (("gemm_fp16", 1000), {}, {"vantblas_tflops": 30.0, "pytorch_tflops": 35.0, "ratio": 85.71428571428571, "iterations": 100.0}),
    (("gemm_fp16", 0), {}, {"vantblas_tflops": 30.0, "pytorch_tflops": 35.0, "ratio": 85.71428571428571, "iterations": 100.0}),
    (("gemm_fp16", 4608, 7), {}, {"vantblas_tflops": 30.0, "pytorch_tflops": 35.0, "ratio": 85.71428571428571, "iterations": 7.0}),
    (("gemm_fp16", 4096), {}, {"vantblas_tflops": 36.5, "pytorch_tflops": 38.9, "ratio": 36.5 / 38.9 * 100, "iterations": 100.0}),
    (("gemm_fp32", 4096), {}, {"vantblas_tflops": 8.9, "pytorch_tflops": 9.5, "ratio": 93.6842105263158}),
    (("gemm_fp32",), {}, {"vantblas_tflops": 9.5, "pytorch_tflops": 9.5, "ratio": 100.0}),
    (("gemm_fp32", 1), {}, {"vantblas_tflops": 9.0, "pytorch_tflops": 9.5, "ratio": 9.0 / 9.5 * 100}),
    (("attention", 1), {}, {"vantblas_tflops": 0.96, "pytorch_tflops": 0.28, "ratio": 346.0}),
    ((), {"iterations": 3, "operation": "gemm_fp16", "size": 2**64 - 1},
     {"vantblas_tflops": 30.0, "pytorch_tflops": 35.0, "ratio": 85.71428571428571, "iterations": 3.0}),
])
def test_benchmark_tables(vb, args, kwargs, expected):
    result = vb.benchmark(*args, **kwargs)
    assert result == expected
    assert all(type(v) is float for v in result.values())


def test_benchmark_errors(vb):
    with pytest.raises(RuntimeError, match="^Unknown operation: GEMM_FP16$"):
        vb.benchmark("GEMM_FP16")
    with pytest.raises(RuntimeError, match="^Unknown operation:  gemm_fp16$"):
        vb.benchmark(" gemm_fp16")
    with pytest.raises(OverflowError):
        vb.benchmark(size=-1)
    with pytest.raises(OverflowError):
        vb.benchmark(size=2**64)
    # a bad size is reported before the unknown operation
    with pytest.raises(OverflowError):
        vb.benchmark("nope", -1)
    with pytest.raises(TypeError, match="^argument 'operation': 'int' object cannot be converted to 'PyString'$"):
        vb.benchmark(operation=5)
    with pytest.raises(TypeError, match="^argument 'size': 'float' object cannot be interpreted as an integer$"):
        vb.benchmark(size=1.5)
    with pytest.raises(TypeError, match=r"^benchmark\(\) takes from 0 to 3 positional arguments but 4 were given$"):
        vb.benchmark("gemm_fp16", 1, 2, 3)


def test_benchmark_accepts_index_objects(vb):
    class Size:
        def __index__(self):
            return 512

    assert vb.benchmark("gemm_fp16", Size(), True)["ratio"] == 125.0


class TestSettings:
    def test_defaults(self, vb):
        s = vb.VantBLAS()
        assert (s.get_precision(), s.get_kernel()) == ("fp16", "auto")
        assert s.info() == "VantBLAS v1.0.9.post1 | fp16 | auto"

    def test_any_text_is_stored_as_given(self, vb):
        s = vb.VantBLAS(kernel="wmma")
        assert s.get_precision() == "fp16" and s.get_kernel() == "wmma"
        s.set_precision("int3")
        assert s.info() == "VantBLAS v1.0.9.post1 | int3 | wmma"
        s.set_kernel(k="")
        assert s.get_kernel() == ""
        assert s.info() == "VantBLAS v1.0.9.post1 | int3 | "
        s.set_precision("\u00e9\u4e2d\U0001F600")
        assert s.get_precision() == "\u00e9\u4e2d\U0001F600"

    def test_instances_are_independent(self, vb):
        a, b = vb.VantBLAS("a", "b"), vb.VantBLAS()
        a.set_kernel("x")
        assert b.get_kernel() == "auto"

    def test_conversion_errors(self, vb):
        with pytest.raises(TypeError, match="^argument 'k': 'NoneType' object cannot be converted to 'PyString'$"):
            vb.VantBLAS().set_kernel(None)
        with pytest.raises(TypeError, match="^argument 'k': 'int' object cannot be converted to 'PyString'$"):
            vb.VantBLAS().set_kernel(3)
        with pytest.raises(TypeError, match="^argument 'precision': 'NoneType' object cannot be converted to 'PyString'$"):
            vb.VantBLAS(None)
        with pytest.raises(TypeError, match=r"^VantBLAS.set_kernel\(\) missing 1 required positional argument: 'k'$"):
            vb.VantBLAS().set_kernel()
        with pytest.raises(TypeError, match=r"^VantBLAS.__new__\(\) takes from 0 to 2 positional arguments but 3 were given$"):
            vb.VantBLAS("a", "b", "c")
        with pytest.raises(TypeError, match=r"^VantBLAS.set_precision\(\) takes 1 positional arguments but 2 were given$"):
            vb.VantBLAS().set_precision("a", "b")
        with pytest.raises(TypeError, match=r"^VantBLAS.__new__\(\) got an unexpected keyword argument 'mode'$"):
            vb.VantBLAS(mode="x")
        with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
            vb.VantBLAS().get_kernel(1)
