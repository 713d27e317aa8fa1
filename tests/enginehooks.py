"""Builds ``_vantblas_enginehooks``, a test-only module that reaches the GEMM engine directly.

``build_dir()`` compiles tests/hooks/engine/*.cpp together with the common, driver, runtime and
engine sources and the embedded PTX texts (straight with the C++ compiler, cached under
build/enginehooks/<hash of the inputs>/) and returns the folder that holds the module. Pass it
as ``env={"PYTHONPATH": str(build_dir())}`` to ``fakecuda.run``.

The module (see tests/hooks/engine/engine_hooks.cpp) offers: ``choose_f32_path(m, n, k, has_v2)``,
``choose_f16_path(m, n, k, has_wmma_max, has_opt_vec)``, ``takes_f16_route(m, n, k, has_wmma)``,
``fits_device_sizes(m, n, k)``, ``plan_split_k(m, n, k, tile, step, sm_count)`` ((slices, k per
slice)), ``plan_panel_rows(m, [(n, k), ...], has_v2, sm_count)``, ``kernel_set()`` (slot -> handle), ``alloc(bytes)``,
``free_all()``, ``gemm_f32/gemm_f16(a, b, c, m, n, k)`` and ``convert_f32_to_f16(src, dst, n)``
(None or the error's display text), ``gemm_f16_or_f32(a, b, c, m, n, k[, a_max, b_max])``
("f16", "f32" or the error text; the operands' largest finite magnitudes default to 1),
``choose_route(m, n, k, has_mma_pipe, has_wmma_max, operands_fit_half)``,
``choose_mma_tile(m, n, has_wide, sm_count)`` ("wide" or "square"), ``half_scale(max)``
(exponent, fits unscaled, the two factors of 2^-exponent), ``max_finite_magnitude(bytes)``
``gpu_gemm(view_a, view_b)`` with views as (address, rows, cols, row stride, col stride) in
bytes (bytes of the M x N result, or the error text), and ``gather_range(view, first, count)``
(bytes of that range of the view's row-major image, its largest finite magnitude). ``view(array)`` below makes such a tuple.

``ENGINEHOOKS_CXXFLAGS`` adds compiler flags (for a sanitizer build, say).
"""

from __future__ import annotations

import hashlib
import os
import sys
import sysconfig
from pathlib import Path

import fakecuda

REPO = fakecuda.REPO
BUILD = REPO / "build" / "enginehooks"
CXX = os.environ.get("CXX", "g++")
# Extra compiler flags, for example "-fsanitize=address,undefined" (the child then needs the
# sanitizer runtime in LD_PRELOAD).
EXTRA_FLAGS = os.environ.get("ENGINEHOOKS_CXXFLAGS", "").split()


def _inputs():
    files = []
    for sub in ("src/common", "src/driver", "src/runtime", "src/engine", "tests/hooks/engine"):
        files += sorted(p for p in (REPO / sub).glob("*") if p.suffix in (".cpp", ".hpp"))
    # The engine gathers large operands on the CPU thread pool.
    files += [REPO / "src" / "cpu" / "thread_pool.cpp", REPO / "src" / "cpu" / "thread_pool.hpp"]
    files += sorted((REPO / "kernels").rglob("*.ptx"))
    files.append(REPO / "cmake" / "embed_kernels.cmake")
    return files


def build_dir() -> Path:
    digest = hashlib.sha256()
    for p in _inputs():
        digest.update(str(p.relative_to(REPO)).encode())
        digest.update(p.read_bytes())
    digest.update(CXX.encode())
    digest.update(" ".join(EXTRA_FLAGS).encode())
    digest.update(sys.version.encode())
    out = BUILD / digest.hexdigest()[:16]
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    module = out / f"_vantblas_enginehooks{suffix}"

    def build(tmp):
        embed = tmp / "kernel_texts_embedded.cpp"
        fakecuda._check_call(["cmake", f"-DKERNEL_DIR={REPO / 'kernels'}", f"-DOUTPUT={embed}", "-P",
                              str(REPO / "cmake" / "embed_kernels.cmake")], "embedding the PTX texts failed:")
        sources = [p for p in _inputs() if p.suffix == ".cpp"] + [embed]
        cmd = [CXX, "-std=c++20", "-O1", "-fPIC", "-shared", "-pthread", "-fvisibility=hidden",
               "-ffp-contract=off", "-Wall", "-Wextra", f"-I{REPO / 'src'}",
               f"-I{sysconfig.get_paths()['include']}", *EXTRA_FLAGS, "-o", str(tmp / module.name)]
        cmd += [str(s) for s in sources] + ["-ldl"]
        fakecuda._check_call(cmd, "building _vantblas_enginehooks failed:", tail=8000)

    fakecuda._build_once(out, module, "enginehooks", build)
    return out


def view(array):
    """(address, rows, cols, row stride, col stride) of a 2-D float32 NumPy array."""
    return (array.__array_interface__["data"][0], array.shape[0], array.shape[1],
            array.strides[0], array.strides[1])
