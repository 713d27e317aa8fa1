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


# (m, n, k, tile, step, multiprocessors) -> (slices, k per slice)
@pytest.mark.parametrize("m, n, k, tile, step, sms, plan", [
    (512, 512, 16384, 128, 32, 132, (16, 1024)),   # 16 tiles: 16 slices, two blocks a multiprocessor
    (256, 1024, 8192, 128, 32, 132, (16, 512)),
    (1024, 128, 32768, 128, 32, 132, (16, 2048)),
    (512, 512, 16384, 64, 8, 132, (5, 3280)),       # 64 tiles of the shared kernel: 5 slices
    (1024, 128, 32768, 64, 8, 132, (9, 3648)),
    (1024, 1024, 4096, 128, 32, 128, (4, 1024)),    # tiles exactly half the multiprocessors
    (1024, 1024, 4096, 128, 32, 127, (1, 4096)),    # one more than half: not split
    (2048, 2048, 16384, 128, 32, 132, (1, 16384)),  # many tiles
    (512, 512, 511, 128, 32, 132, (1, 511)),        # short K
    (512, 512, 512, 128, 32, 132, (2, 256)),        # two slices of the least length
    (32, 48, 1000, 128, 32, 8, (3, 352)),           # partial last slice (296)
    (30, 50, 1030, 64, 8, 8, (4, 264)),             # (238)
    (16, 16, 4096, 128, 32, 1000, (16, 256)),       # at most 16 slices
    (16, 16, 1 << 20, 128, 32, 1, (1, 1 << 20)),    # multiprocessor count unknown (1): never split
    (0, 16, 4096, 128, 32, 132, (1, 4096)),
    (U32_MAX, 1, 4096, 128, 32, 132, (1, 4096)),    # no tile count wraps
    (16, 16, U32_MAX, 128, 32, 132, (16, 268435456)),
])
def test_split_k_plan(h, m, n, k, tile, step, sms, plan):
    slices, length = h.plan_split_k(m, n, k, tile, step, sms)
    assert (slices, length) == plan
    if slices > 1:
        # Every slice non-empty, a whole number of k steps, at most 16 of them.
        assert length % step == 0 and (slices - 1) * length < k <= slices * length and slices <= 16


# Row panels of a staged product are never so thin that they leave multiprocessors idle; a product
# split along K (few tiles) keeps one panel.
@pytest.mark.parametrize("m, products, sms, rows", [
    (512, [(512, 16384)], 1, 128),     # multiprocessors unknown: four panels as before
    (512, [(512, 16384)], 132, 512),   # 4 tiles a panel on 132 multiprocessors: one panel
    (512, [(512, 16384)], 8, 256),     # fewer, wider panels where those keep the device busy
    (2048, [(3, 2048)], 8, 512),       # the shared kernel's 64-row tiles: 8 a panel
    (2048, [(3, 2048)], 9, 768),
    (2048, [(8, 2048), (3, 8)], 9, 768),   # a chain: every product's panels count
    (1024, [(16, 4096)], 8, 1024),     # 8 tiles of 128 rows in all: no panel reaches 8
])
def test_panel_rows_keep_the_device_busy(h, m, products, sms, rows):
    assert h.plan_panel_rows(m, products, True, sms) == rows
    split = any(h.plan_split_k(m, n, k, 128, 32, sms)[0] > 1 for n, k in products)
    assert not split or rows == m
