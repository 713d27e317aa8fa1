"""Kernel choice as pure functions of sizes and capabilities (no driver involved)."""

from __future__ import annotations

import sys

import numpy as np
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


@pytest.mark.parametrize("m, n, k, pipe, wmma, fit, route", [
    (64, 64, 64, True, True, False, "mma_pipe"),    # the pipelined kernel scales any range
    (64, 64, 64, False, True, True, "seed_f16"),
    (64, 64, 64, False, True, False, "f32"),        # seed kernels cannot scale
    (64, 64, 64, False, False, True, "f32"),
    (64, 64, 48, True, True, True, "mma_pipe"),
    (64, 64, 63, True, True, True, "f32"),
    (0, 64, 64, True, True, True, "seed_f16"),      # nothing to convert: the seed route as before
    (64, 64, 0, True, False, True, "f32"),
])
def test_product_route(h, m, n, k, pipe, wmma, fit, route):
    assert h.choose_route(m, n, k, pipe, wmma, fit) == route


def test_mma_tile_choice(h):
    # (m, n, has_wide, sm_count) -> tile. The 128 x 256 tile needs as many blocks as multiprocessors
    # and a column count that does not leave a large part of its last column tile empty.
    table = [
        ((4096, 4096, True, 132), "wide"),     # 32 x 16 = 512 wide blocks
        ((4096, 4096, False, 132), "square"),  # not loaded
        ((1024, 2048, True, 132), "square"),   # 8 x 8 = 64 blocks: half the device idle
        ((2048, 2048, True, 128), "wide"),     # 16 x 8 = 128 blocks: exactly full
        ((2048, 2048, True, 129), "square"),
        ((16384, 128, True, 8), "square"),     # every wide block half empty
        ((16384, 384, True, 8), "square"),     # a third of the wide columns empty
        ((16384, 640, True, 8), "wide"),       # a sixth: 3 wide column tiles against 5
        ((16384, 272, True, 8), "square"),     # 2 wide column tiles against 3
        ((512, 528, True, 8), "wide"),         # 4 x 3 = 12 blocks of 8 multiprocessors
        ((512, 528, True, 0), "wide"),         # an unread count counts as one
        ((0, 4096, True, 1), "square"),
        ((2**32 - 16, 2**32 - 16, True, 2**32 - 1), "wide"),  # counts do not wrap
    ]
    assert [h.choose_mma_tile(*args) for args, _ in table] == [tile for _, tile in table]


F32_MAX = float(np.finfo(np.float32).max)


@pytest.mark.parametrize("largest, exponent, fits", [
    (0.0, 0, True),
    (1.0, 14, True),
    (1.5, 14, True),
    (2.0**-14, 28, True),                 # smallest normal half: fits as it is
    (2.0**-14 * 0.75, 29, False),
    (65504.0, -1, True),
    (65520.0, -1, False),
    (1e5, -2, False),
    (1e-8, 41, False),
    (1e-30, 114, False),
    (1e30, -85, False),
    (2.0**-112, 126, False),
    (2.0**-113, 126, False),              # capped: every float32 lands at 2^-23 or above
    (1e-45, 126, False),                  # subnormal float32
    (F32_MAX, -113, False),
])
def test_half_scale(h, largest, exponent, fits):
    s, fit, first, second = h.half_scale(largest)
    assert (s, fit) == (exponent, fits)
    # The scale-back factors are normal float32 powers of two whose product is 2^-s.
    assert first * second == 2.0 ** -s and min(abs(first), abs(second)) >= 2.0**-126
    if 0 < largest <= F32_MAX:
        scaled = np.float32(largest) * np.float32(2.0 ** min(s, 127)) * np.float32(2.0 ** max(s - 127, 0))
        assert scaled < 2.0**15 and (scaled >= 2.0**14 or s == 126)


def finite_max(x):
    finite = np.abs(x[np.isfinite(x)])
    return float(finite.max()) if finite.size else 0.0


def test_max_finite_magnitude_skips_nan_and_infinities(h):
    x = np.array([1.0, -3.5, np.nan, np.inf, -np.inf, 2.0, -7.25, 0.5, np.nan], np.float32)
    for n in range(len(x) + 1):   # every tail length past the four-wide loop
        finite = np.abs(x[:n][np.isfinite(x[:n])])
        assert h.max_finite_magnitude(x[:n].tobytes()) == (finite.max() if finite.size else 0.0)
    assert h.max_finite_magnitude(np.array([np.nan, np.inf], np.float32).tobytes()) == 0.0
    assert h.max_finite_magnitude(np.array([-F32_MAX, 1e-45], np.float32).tobytes()) == F32_MAX
    # The largest element, and NaN and infinities next to it, in every lane of the sixteen and in
    # the tail, for lengths around the lane count and the gather's scan pieces of 2048.
    base = np.random.default_rng(7).standard_normal(4200).astype(np.float32)
    for n in list(range(1, 41)) + [2047, 2048, 2049, 4200]:
        for big in sorted({0, 1, 15, 16, 17, n // 2, n - 2, n - 1} & set(range(n))):
            x = base[:n].copy()
            x[big] = -3e38 if big % 2 else 2e9
            for off, special in ((1, np.inf), (2, np.nan), (3, -np.inf), (16, -np.nan)):
                if big + off < n:
                    x[big + off] = special
            assert h.max_finite_magnitude(x.tobytes()) == finite_max(x), (n, big)
    # Subnormals and signed zeros only; infinities and NaN only.
    assert h.max_finite_magnitude(np.array([-0.0] * 17 + [-1e-45] + [0.0] * 3, np.float32).tobytes()) == np.float32(1e-45)
    assert h.max_finite_magnitude(np.array([np.nan, -np.inf] * 20, np.float32).tobytes()) == 0.0


def test_gather_copies_every_view_and_finds_its_range(h):
    # The staging's gather: a range of a view's row-major image, bit for bit (NaN payloads
    # included), with the largest finite magnitude of exactly that range, through every layout
    # and across rows, scan pieces and the split over threads (from 2^19 elements).
    rng = np.random.default_rng(11)
    big = rng.standard_normal((1030, 1040)).astype(np.float32)
    flat = big.reshape(-1)
    flat[rng.integers(0, flat.size, 3000)] = np.float32(np.nan)
    flat[rng.integers(0, flat.size, 3000)] = np.float32(np.inf)
    flat[rng.integers(0, flat.size, 3000)] = -np.float32(np.inf)
    flat[5 * 1040 + 17] = np.frombuffer(np.uint32(0x7FC0BEEF).tobytes(), np.float32)[0]  # a NaN payload
    big[700, 3] = -5e30
    big[1, 1039] = 7e20
    views = {
        "contiguous": big,
        "fortran": np.asfortranarray(big[:600, :900]),
        "columns": big[:, ::2],
        "negative": big[::-1, ::-3],
        "transposed": big.T,
    }
    for name, v in views.items():
        image = np.ascontiguousarray(v).reshape(-1)
        n = image.size
        for first, count in ((0, n), (0, 17), (v.shape[1] - 5, 2 * v.shape[1] + 37), (n - 2049, 2049),
                             (1, (1 << 19) + 3), (3, 0)):
            if first + count > n:
                continue
            got, largest = h.gather_range(enginehooks.view(v), first, count)
            want = image[first:first + count]
            assert got == want.tobytes(), (name, first, count)
            assert largest == finite_max(want), (name, first, count)
