"""Argument binding and NumPy conversion: CPython's own texts, no casting, any strides."""

from __future__ import annotations

import sys

import numpy as np
import pytest

F32 = np.float32


def m(rows, cols, seed=0):
    return np.random.default_rng(seed).standard_normal((rows, cols)).astype(F32)


class TestBindingTexts:
    @pytest.mark.parametrize("call,text", [
        (lambda vb, x: vb.gemm(x, x, x), "gemm() takes 2 positional arguments but 3 were given"),
        (lambda vb, x: vb.gemm(x), "gemm() missing 1 required positional argument: 'b'"),
        (lambda vb, x: vb.gemm(), "gemm() missing 2 required positional arguments: 'a' and 'b'"),
        (lambda vb, x: vb.gemm(x, a=x), "gemm() got multiple values for argument 'a'"),
        (lambda vb, x: vb.gemm(x, x, c=x), "gemm() got an unexpected keyword argument 'c'"),
        (lambda vb, x: vb.gemm_chain(x), "gemm_chain() missing 2 required positional arguments: 'w1' and 'w2'"),
        (lambda vb, x: vb.gemm_chain(), "gemm_chain() missing 3 required positional arguments: 'a', 'w1', and 'w2'"),
        (lambda vb, x: vb.matmul_fp16(b=x), "matmul_fp16() missing 1 required positional argument: 'a'"),
        (lambda vb, x: vb.attention(x, x, x, 1.0, 2), "attention() takes from 3 to 4 positional arguments but 5 were given"),
        (lambda vb, x: vb.fused_rmsnorm(x), "fused_rmsnorm() missing 1 required positional argument: 'weight'"),
        (lambda vb, x: vb.benchmark(1, 2, 3, 4), "benchmark() takes from 0 to 3 positional arguments but 4 were given"),
        (lambda vb, x: vb.VantBLASModel(1), "VantBLASModel.__new__() takes 0 positional arguments but 1 was given"),
        # One parameter keeps the plural: only the verb follows the count given.
        (lambda vb, x: vb.VantBLAS().set_kernel("a", "b"), "VantBLAS.set_kernel() takes 1 positional arguments but 2 were given"),
        (lambda vb, x: vb.VantBLAS().set_precision("a", "b"), "VantBLAS.set_precision() takes 1 positional arguments but 2 were given"),
        (lambda vb, x: vb.VantBLASModel().forward(x, x), "VantBLASModel.forward() takes 1 positional arguments but 2 were given"),
        (lambda vb, x: vb.VantBLASModel().forward_batch(x, x), "VantBLASModel.forward_batch() takes 1 positional arguments but 2 were given"),
        (lambda vb, x: vb.VantTensor(), "VantTensor.__new__() missing 1 required positional argument: 'data'"),
        (lambda vb, x: vb.VantBLASModel().set_weights(x), "VantBLASModel.set_weights() missing 1 required positional argument: 'w2'"),
    ])
    def test_texts(self, vb, call, text):
        with pytest.raises(TypeError) as info:
            call(vb, m(2, 2))
        assert str(info.value) == text

    def test_caller_text_reaches_the_message_whole(self, vb):
        # Text that comes from the caller (an operation name, a class's qualified name) may hold
        # NUL and characters outside ASCII; the message must carry all of it.
        for op in ("\x00", "a\x00b", "gemm_fp16\x00", "\u00e9\U0001f680"):
            with pytest.raises(RuntimeError) as info:
                vb.benchmark(op)
            assert str(info.value) == "Unknown operation: " + op

        class Odd:
            pass
        Odd.__qualname__ = "Od\x00d\u00e9"
        with pytest.raises(TypeError) as info:
            vb.gemm(Odd(), m(2, 2))
        assert str(info.value) == "argument 'a': 'Od\x00d\u00e9' object cannot be converted to 'PyArray<T, D>'"
        with pytest.raises(TypeError) as info:
            vb.benchmark(Odd())
        assert str(info.value) == "argument 'operation': 'Od\x00d\u00e9' object cannot be converted to 'PyString'"

    def test_unexpected_keyword_is_reported_before_missing_ones(self, vb):
        with pytest.raises(TypeError, match=r"^gemm\(\) got an unexpected keyword argument 'x'$"):
            vb.gemm(x=1)

    def test_keywords_work_like_positions(self, vb):
        a, b = m(3, 4), m(4, 5, 1)
        np.testing.assert_array_equal(vb.gemm(a=a, b=b), vb.gemm(a, b))
        np.testing.assert_array_equal(vb.gemm(b=b, a=a), vb.gemm(a, b))


class TestConversion:
    @pytest.mark.parametrize("bad,type_name", [
        ([[1.0]], "list"),
        (1.5, "float"),
        (None, "NoneType"),
        (np.ones((2, 2), np.float64), "ndarray"),
        (np.ones((2, 2), np.float16), "ndarray"),
        (np.ones((2, 2), np.int32), "ndarray"),
        (np.ones((2, 2), ">f4"), "ndarray"),
        (np.ones(4, F32), "ndarray"),
        (np.ones((1, 2, 2), F32), "ndarray"),
        (np.float32(1.0), "float32"),
    ])
    def test_refused_without_casting(self, vb, bad, type_name):
        with pytest.raises(TypeError) as info:
            vb.gemm(np.ones((2, 3), F32), bad)
        assert str(info.value) == f"argument 'b': '{type_name}' object cannot be converted to 'PyArray<T, D>'"

    def test_first_bad_argument_in_parameter_order_is_reported(self, vb):
        with pytest.raises(TypeError, match="^argument 'a': 'list'"):
            vb.gemm(b=[1], a=[2])
        with pytest.raises(TypeError, match="^argument 'w2': 'int'"):
            vb.gemm_chain(m(2, 2), m(2, 2), 3)

    def test_tensor3_conversion(self, vb):
        with pytest.raises(TypeError, match="^argument 'k': 'ndarray' object cannot be converted to 'PyArray<T, D>'$"):
            vb.attention(np.ones((1, 2, 2), F32), np.ones((2, 2), F32), np.ones((1, 2, 2), F32))
        with pytest.raises(TypeError, match="^argument 'q': 'ndarray'"):
            vb.fused_attention(np.ones((1, 2, 2)), np.ones((1, 2, 2), F32), np.ones((1, 2, 2), F32))

    def test_ndarray_subclasses_are_accepted(self, vb):
        class Sub(np.ndarray):
            pass

        a = m(3, 3).view(Sub)
        np.testing.assert_array_equal(vb.gemm(a, a), vb.gemm(np.asarray(a), np.asarray(a)))

    @pytest.mark.parametrize("make", [
        lambda x: np.asfortranarray(x),
        lambda x: x[::2],
        lambda x: x[::-1, ::-1],
        lambda x: x[:, ::3],
        lambda x: x.T,
    ])
    def test_any_strides_are_read_in_logical_order(self, vb, make):
        base = m(12, 12, 3)
        view = make(base)
        other = m(view.shape[1], 5, 4)
        np.testing.assert_array_equal(vb.gemm(view, other), vb.gemm(np.ascontiguousarray(view), other))

    def test_zero_stride_broadcast_views(self, vb):
        row = m(1, 6)
        view = np.broadcast_to(row, (5, 6))
        assert view.strides[0] == 0
        np.testing.assert_array_equal(vb.gemm(view, m(6, 2)), vb.gemm(np.ascontiguousarray(view), m(6, 2)))

    def test_byte_strides_that_are_not_multiples_of_four(self, vb):
        rec = np.zeros((4, 3), dtype=[("pad", "u1"), ("x", "<f4")])
        rec["x"] = m(4, 3, 5)
        view = rec["x"]
        assert view.strides == (15, 5)
        np.testing.assert_array_equal(vb.gemm(view, m(3, 2)), vb.gemm(np.ascontiguousarray(view), m(3, 2)))
        raw = np.zeros(4 * 3 * 4 + 1, np.uint8)[1:].view(F32).reshape(4, 3)  # unaligned
        raw[...] = view
        assert not raw.flags.aligned
        np.testing.assert_array_equal(vb.gemm(raw, m(3, 2)), vb.gemm(np.ascontiguousarray(view), m(3, 2)))

    def test_enormous_broadcast_shapes_raise_memory_error(self, vb):
        a = np.broadcast_to(np.ones((1, 1), F32), (2**40, 1))
        b = np.broadcast_to(np.ones((1, 1), F32), (1, 2**40))
        with pytest.raises(MemoryError):
            vb.gemm(a, b)
        q = np.broadcast_to(np.ones((1, 1, 1), F32), (2**20, 2**20, 2**20))
        with pytest.raises(MemoryError):
            vb.attention(q, q, q)

    def test_results_are_fresh_writeable_c_arrays_that_own_their_memory(self, vb):
        a, b = m(3, 4), m(4, 5, 1)
        a_copy = a.copy()
        c = vb.gemm(a, b)
        assert c.dtype == F32 and c.shape == (3, 5)
        assert c.flags.c_contiguous and c.flags.writeable and c.flags.aligned
        assert c.strides == (20, 4)
        assert c.base is not None and not isinstance(c.base, np.ndarray)
        c[...] = 7
        np.testing.assert_array_equal(a, a_copy)
        t = vb.gemm_batched(np.ones((2, 3, 4), F32), np.ones((2, 4, 5), F32))
        assert t.strides == (60, 20, 4) and t.flags.writeable


class TestScalars:
    def test_scale_and_eps_conversions(self, vb):
        q = np.random.default_rng(0).standard_normal((1, 3, 2)).astype(F32)
        two = vb.attention(q, q, q, scale=2.0)
        np.testing.assert_array_equal(vb.attention(q, q, q, 2), two)
        np.testing.assert_array_equal(vb.attention(q, q, q, np.float64(2.0)), two)
        np.testing.assert_array_equal(vb.attention(q, q, q, None), vb.attention(q, q, q))

        class F:
            def __float__(self):
                return 2.0

        np.testing.assert_array_equal(vb.attention(q, q, q, F()), two)
        with pytest.raises(TypeError, match="^argument 'scale': must be real number, not str$"):
            vb.attention(q, q, q, "2")
        x, w = m(2, 3), np.ones((1, 3), F32)
        with pytest.raises(TypeError, match="^argument 'eps': "):
            vb.fused_rmsnorm(x, w, eps=[1])

    def test_scalar_error_of_other_types_passes_unchanged(self, vb):
        class Bad:
            def __float__(self):
                raise ValueError("no float here")

        q = np.ones((1, 1, 1), F32)
        with pytest.raises(ValueError, match="^no float here$"):
            vb.attention(q, q, q, Bad())


def test_reference_counts_are_unchanged_by_success_and_failure(vb):
    a, b = m(4, 4), m(4, 4, 1)
    bad = np.ones((3, 3), F32)
    before = (sys.getrefcount(a), sys.getrefcount(b), sys.getrefcount(bad))
    for _ in range(200):
        vb.gemm(a, b)
        with pytest.raises(RuntimeError):
            vb.gemm(a, bad)
        with pytest.raises(TypeError):
            vb.gemm(a, [1])
        vb.fused_rmsnorm(a, b)
    assert (sys.getrefcount(a), sys.getrefcount(b), sys.getrefcount(bad)) == before
