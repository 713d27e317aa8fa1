"""Kernel choice as pure functions of sizes and capabilities (no driver involved)."""

from __future__ import annotations

import sys

import pytest

import enginehooks


@pytest.fixture(scope="module")
def h():
    sys.path.insert(0, str(enginehooks.build_dir()))
    import _vantblas_enginehooks

    return _vantblas_enginehooks


U32_MAX = 2**32 - 1


@pytest.mark.parametrize("m, n, k, has_v2, path", [
    (0, 5, 3, True, "zero"),
    (4096, 4096, 0, True, "zero"),
    (5, 0, 7, False, "zero"),
    (1, 1, 1, True, "small"),
    (63, 63, 63, True, "small"),
    (63, 1, 63, False, "small"),
    (64, 1, 1, True, "shared"),
    (1, 64, 1, True, "shared"),
    (1, 1, 64, True, "shared"),
    (1, 1000, 1, True, "shared"),
    (2048, 2048, 2048, True, "v2"),
    (2048, 2048, 2048, False, "shared"),
    (4096, 4096, 2047, True, "shared"),
    (2047, 4096, 4096, True, "shared"),
    (4096, 4096, 4096, False, "shared"),
    (2048, 2052, 2048, True, "v2"),
    # V2 moves B and C in groups of four columns: N must be a multiple of 4.
    (2048, 2049, 2048, True, "shared"),
    (2048, 2050, 2048, True, "shared"),
    (2048, 2051, 2048, True, "shared"),
    (U32_MAX, U32_MAX, U32_MAX, True, "shared"),
    (U32_MAX - 3, U32_MAX - 3, U32_MAX - 3, True, "v2"),
])
def test_f32_path(h, m, n, k, has_v2, path):
    assert h.choose_f32_path(m, n, k, has_v2) == path


@pytest.mark.parametrize("m, n, k, wmma, opt_vec, path", [
    (16, 16, 16, True, True, "opt_vec"),
    (256, 128, 64, True, False, "wmma_max"),
    (16, 16, 8, True, True, "bad_dimensions"),
    (16, 16, 8, False, True, "unavailable"),   # availability is tested first
    (17, 16, 16, True, False, "bad_dimensions"),
    (32, 32, 0, True, True, "opt_vec"),         # zero passes the multiple-of-16 test
    (0, 0, 0, True, False, "wmma_max"),
    (4096, 4096, 4096, False, False, "unavailable"),
])
def test_f16_path(h, m, n, k, wmma, opt_vec, path):
    assert h.choose_f16_path(m, n, k, wmma, opt_vec) == path


@pytest.mark.parametrize("m, n, k, wmma, expected", [
    (64, 64, 64, True, True),
    (64, 64, 63, True, False),
    (64, 64, 64, False, False),
    (0, 16, 32, True, True),
    (8, 16, 16, True, False),
    (2**31, 16, 16, True, True),
])
def test_f16_route(h, m, n, k, wmma, expected):
    assert h.takes_f16_route(m, n, k, wmma) is expected
