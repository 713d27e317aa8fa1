"""Hostile callers: Python code that runs in the middle of a call and changes its arguments,
class objects that were never initialised or whose classes are tampered with, and an embedding
program that finalizes its interpreter and starts another."""

from __future__ import annotations

import ctypes
import os
import shutil
import subprocess
import sysconfig
import textwrap
from pathlib import Path

import numpy as np
import pytest

import cpu_refs as ref
import fakecuda

F32 = np.float32
standin = pytest.mark.skipif(fakecuda.real_driver_present(), reason="a real driver would be found first")


class Reallocating:
    """A scalar whose float conversion first gives `target` the state (shape, dtype and a new
    buffer) of `replacement`: the target's old memory is freed while the call still holds the
    array. Big targets are chosen so that their freed memory goes back to the system at once."""

    def __init__(self, target, replacement, value):
        self.target, self.replacement, self.value, self.calls = target, replacement, value, 0

    def __float__(self):
        self.calls += 1
        self.target.__setstate__(self.replacement.__reduce__()[2])
        return self.value


def rows(r, c, seed):
    return np.random.default_rng(seed).standard_normal((r, c)).astype(F32)


def stack(b, s, d, seed):
    return np.random.default_rng(seed).standard_normal((b, s, d)).astype(F32)


class TestScalarConversionThatReallocatesAnArgument:
    """Each operation reads its arrays as they are after the scalar conversion, never the freed
    memory: the result equals the one computed from the replacement arrays."""

    def test_rmsnorm_weight_and_x(self, vb):
        x, gains = rows(3, 4, 1), np.full((1, 4), 2.0, F32)
        big = np.ones((1, 1 << 22), F32)
        eps = Reallocating(big, gains, 0.25)
        assert ref.same_bits(vb.fused_rmsnorm(x, big, eps), ref.rmsnorm(x, gains, np.float32(0.25)))
        assert eps.calls == 1

        new_x = rows(2, 5, 2)
        big_x = np.ones((1 << 10, 1 << 12), F32)
        got = vb.fused_rmsnorm(big_x, np.ones((1, 5), F32), eps=Reallocating(big_x, new_x, 1e-3))
        assert got.shape == (2, 5)
        assert ref.same_bits(got, ref.rmsnorm(new_x, np.ones((1, 5), F32), np.float32(1e-3)))

    @pytest.mark.parametrize("victim", [0, 1, 2])
    def test_attention_q_k_v(self, vb, victim):
        args = [stack(2, 3, 4, 10), stack(2, 3, 4, 11), stack(2, 3, 4, 12)]
        # A new q sets a new output shape; a new k or v new values.
        replacement = stack(2, 2, 4, 13) if victim == 0 else stack(2, 3, 4, 13)
        expected = list(args)
        expected[victim] = replacement
        args[victim] = big = np.ones((1 << 4, 1 << 8, 1 << 8), F32)
        got = vb.fused_attention(*args, scale=Reallocating(big, replacement, 0.5))
        assert ref.same_bits(got, ref.attention(*expected, np.float32(0.5)))

    def test_array_retyped_by_the_conversion_is_refused_and_errors_keep_their_order(self, vb):
        x = rows(2, 4, 3)
        weight = np.ones((1, 4), F32)
        eps = Reallocating(weight, np.ones((1, 4), np.float64), 0.0)
        with pytest.raises(TypeError, match=r"^argument 'weight': 'ndarray' object cannot be converted to 'PyArray<T, D>'$"):
            vb.fused_rmsnorm(x, weight, eps)
        # A bad array argument is reported before the scalar is converted at all.
        scale = Reallocating(np.ones((1, 1, 1), F32), np.ones((1, 1, 1), F32), 1.0)
        q = stack(1, 2, 4, 4)
        with pytest.raises(TypeError, match=r"^argument 'v': 'list' object"):
            vb.attention(q, q, [1.0], scale)
        assert scale.calls == 0
        # A scalar that fails after reallocating reports its own error.
        class Failing(Reallocating):
            def __float__(self):
                super().__float__()
                raise TypeError("no float here")
        with pytest.raises(TypeError, match=r"^argument 'eps': no float here$"):
            vb.fused_rmsnorm(x, np.ones((1, 4), F32), Failing(x, rows(9, 9, 5), 0.0))


def generic_alloc(cls):
    """An instance made by the type's allocator alone, as C code may make one: tp_new never ran."""
    alloc = ctypes.pythonapi.PyType_GenericAlloc
    alloc.restype = ctypes.py_object
    alloc.argtypes = [ctypes.py_object, ctypes.c_ssize_t]
    return alloc(cls, 0)


class TestClassesAreImmutableAndSafeUninitialised:
    def test_class_attributes_cannot_be_set_or_deleted(self, vb):
        for cls, method in ((vb.VantBLAS, "get_kernel"), (vb.VantTensor, "matmul"), (vb.VantBLASModel, "set_weights")):
            with pytest.raises(TypeError):
                cls.__new__ = lambda c, *a, **k: object.__new__(c)
            with pytest.raises(TypeError):
                delattr(cls, method)
            with pytest.raises(TypeError):
                cls.extra = 1
            with pytest.raises(TypeError):
                object.__new__(cls)
            assert callable(getattr(cls, method))

    def test_uninitialised_objects_without_a_driver(self, vb):
        s = generic_alloc(vb.VantBLAS)
        assert (s.get_precision(), s.get_kernel()) == ("fp16", "auto")
        s.set_kernel("k1")
        assert s.info() == "VantBLAS v1.0.9.post1 | fp16 | k1"
        t = generic_alloc(vb.VantTensor)
        assert (t.shape(), t.device()) == ([0, 0], "cuda:0")
        with pytest.raises(RuntimeError, match="^Tensor not initialized$"):
            t.cpu()
        with pytest.raises(RuntimeError, match="^Tensors not initialized$"):
            t.matmul(t)
        with pytest.raises(TypeError, match=r"^VantTensor.matmul\(\) takes 1 positional arguments but 2 were given$"):
            t.matmul(t, t)
        m = generic_alloc(vb.VantBLASModel)
        with pytest.raises(RuntimeError, match=r"^Weights not set! Call set_weights\(\) first.$"):
            m.forward(np.ones((2, 2), F32))
        del s, t, m  # deallocation of never-initialised objects

    @standin
    def test_uninitialised_model_and_tensor_on_the_stand_in_leave_no_device_memory(self):
        r = fakecuda.run(f"""
            import ctypes, gc
            import numpy as np
            import _vantblas as vb
            {textwrap.indent(textwrap.dedent(_GENERIC_ALLOC), ' ' * 12).strip()}
            w1 = np.arange(6, dtype=np.float32).reshape(2, 3)
            w2 = np.ones((3, 2), np.float32)
            m = generic_alloc(vb.VantBLASModel)
            m.set_weights(w1, w2)
            m.set_weights(w1, w2)
            out = m.forward(np.ones((4, 2), np.float32))
            assert np.array_equal(out, np.ones((4, 2), np.float32) @ w1 @ w2), out
            t = generic_alloc(vb.VantTensor)
            assert vb.VantTensor(w1).matmul(vb.VantTensor(w2)).cpu().shape == (2, 2)
            live_with_model = fake.live_allocations
            del m, t
            gc.collect()
            print("live", live_with_model, fake.live_allocations)
        """, cc=(8, 6))
        r.check()
        assert r.lines[-1] == "live 2 0"


_GENERIC_ALLOC = '''
def generic_alloc(cls):
    alloc = ctypes.pythonapi.PyType_GenericAlloc
    alloc.restype = ctypes.py_object
    alloc.argtypes = [ctypes.py_object, ctypes.c_ssize_t]
    return alloc(cls, 0)
'''

_EMBEDDING = r"""
#include <Python.h>
#include <stdio.h>

/* Imports the module in one interpreter, finalizes it, starts another and imports it again. */
int main(void) {
    Py_Initialize();
    if (PyRun_SimpleString("import _vantblas\nprint('first:', _vantblas.info.__doc__)\n") != 0) return 1;
    if (Py_FinalizeEx() < 0) return 2;
    Py_Initialize();
    int rc = PyRun_SimpleString(
        "for attempt in range(2):\n"
        "    try:\n"
        "        import _vantblas\n"
        "    except ImportError as e:\n"
        "        print('refused:', e)\n"
        "    else:\n"
        "        print('imported:', _vantblas.gemm)\n");
    if (Py_FinalizeEx() < 0) return 4;
    fflush(stdout);
    return rc != 0 ? 3 : 0;
}
"""


def test_import_in_a_reinitialised_interpreter_is_refused(vb, tmp_path):
    include = Path(sysconfig.get_paths()["include"])
    libdir = sysconfig.get_config_var("LIBDIR") or ""
    ldlibrary = sysconfig.get_config_var("LDLIBRARY") or ""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not (include / "Python.h").exists() or not ldlibrary.endswith(".so") or \
            not (Path(libdir) / ldlibrary).exists() or compiler is None:
        pytest.skip("the Python development headers, the shared libpython or a C compiler are missing")
    source = tmp_path / "embed.c"
    source.write_text(_EMBEDDING)
    program = tmp_path / "embed"
    subprocess.run([compiler, str(source), "-o", str(program), f"-I{include}", f"-L{libdir}",
                    f"-lpython{sysconfig.get_config_var('LDVERSION')}", f"-Wl,-rpath,{libdir}"],
                   check=True, capture_output=True)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(vb.__file__).parent),
                                                       os.environ.get("PYTHONPATH", "")]))
    r = subprocess.run([str(program)], env=env, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "first: Print VantBLAS info"
    assert len(lines) == 3 and all(line.startswith("refused: _vantblas cannot be imported again") for line in lines[1:]), lines
