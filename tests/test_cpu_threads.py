"""Worker threads of the CPU paths: results independent of the thread count, a pool that works
again in a forked child, and builds free of fused multiply-adds."""

import os
import re
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import cpu_refs as ref
import cpunative


@pytest.fixture(scope="module")
def lib():
    try:
        lib = cpunative.load()
    except (OSError, RuntimeError) as e:
        pytest.skip(f"cannot build the CPU test library: {e}")
    yield lib
    lib.threads(0)
    lib.isa("auto")


@pytest.mark.skipif(not hasattr(os, "sched_getaffinity"), reason="no CPU affinity query here")
@pytest.mark.skipif(bool(os.environ.get("VANTBLAS_NUM_THREADS") or os.environ.get("OMP_NUM_THREADS")),
                    reason="a thread count is set in the environment")
def test_default_thread_count_follows_affinity(lib):
    lib.threads(0)
    assert lib.thread_count() == len(os.sched_getaffinity(0))


def test_results_do_not_depend_on_thread_count(lib):
    rng = np.random.default_rng(20)
    a, b = rng.standard_normal((301, 277), np.float32), rng.standard_normal((277, 190), np.float32)
    q = rng.standard_normal((3, 150, 24), np.float32)
    ba, bb = rng.standard_normal((5, 40, 70), np.float32), rng.standard_normal((5, 70, 30), np.float32)
    x, w = rng.standard_normal((100, 300), np.float32), rng.standard_normal((1, 300), np.float32)
    # Fewer tiles of rows than threads (the columns are split instead), and batches large enough
    # to be split inside each product.
    few_rows, wide = rng.standard_normal((13, 200), np.float32), rng.standard_normal((200, 700), np.float32)
    big_a, big_b = rng.standard_normal((3, 256, 256), np.float32), rng.standard_normal((3, 256, 257), np.float32)
    runs = []
    for isa in lib.available_isas():
        assert lib.isa(isa)
        for t in (1, 2, 3, 4, 7):
            lib.threads(t)
            runs.append((isa, t, [lib.gemm(a, b), lib.attention(q, q, q, 0.3), lib.gemm_batched(ba, bb),
                                  lib.linear_gelu(a, b.T.copy()), lib.rmsnorm(x, w, 1e-5),
                                  lib.gemm(few_rows, wide), lib.gemm_batched(big_a, big_b)]))
    lib.threads(0)
    lib.isa("auto")
    first = runs[0][2]
    for isa, t, outs in runs[1:]:
        for i, (o, f) in enumerate(zip(outs, first)):
            assert ref.same_bits(o, f), f"{isa} with {t} threads, output {i}: {ref.mismatch(o, f)}"


def test_unavailable_path_is_refused(lib):
    avail = lib.available_isas()
    for name in ("baseline", "avx2", "avx512", "avx2-12x16"):
        assert lib.isa(name) == (name in avail)
    lib.isa("auto")
    widest = [n for n in ("avx512", "avx2", "baseline") if n in avail][0]
    assert lib.active_isa() == widest


def test_forked_child_rebuilds_the_pool():
    code = textwrap.dedent(f"""
        import os, sys
        sys.path.insert(0, {str(cpunative.ROOT / 'tests')!r})
        import numpy as np, cpunative
        lib = cpunative.load()
        lib.threads(3)
        a = np.random.default_rng(0).standard_normal((200, 200), np.float32)
        before = lib.gemm(a, a)          # the parent's pool now has worker threads
        pid = os.fork()
        if pid == 0:
            ok = np.array_equal(lib.gemm(a, a), before) and np.array_equal(lib.gemm(a, a), before)
            os._exit(0 if ok else 3)
        _, status = os.waitpid(pid, 0)
        print("child", os.waitstatus_to_exitcode(status))
        print("parent", np.array_equal(lib.gemm(a, a), before))
    """)
    cpunative.load()  # build outside the child's time limit
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["child", "0", "parent", "True"]


@pytest.mark.skipif(shutil.which("objdump") is None, reason="objdump missing")
def test_fused_multiply_adds_only_in_the_fused_units_and_no_vector_math():
    out = subprocess.run(["objdump", "-d", "--no-show-raw-insn", str(cpunative.library_path())],
                         capture_output=True, text=True, check=True).stdout
    owners, function = set(), ""
    for line in out.splitlines():
        if line.endswith(">:"):
            function = line.split("<", 1)[1][:-2]
        elif any(op in line for op in ("vfmadd", "vfmsub", "vfnmadd", "vfnmsub")):
            owners.add(function)
    # The opt-in fused arithmetic lives in namespace vant::cpu::fused (the test library adds its
    # peak measurement); nothing else may contract.
    assert owners and all("4vant3cpu5fused" in f or "peak_" in f for f in owners), sorted(owners)[:5]
    # Vector variants of expf/tanhf (libmvec, named _ZGV...) must never replace the C runtime's.
    assert not re.search(r"_ZGV[bcde][NM]\d+v+_", out)
    assert "expf" in out and "tanhf" in out


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="no CPU affinity control here")
def test_pool_size_follows_a_restricted_affinity():
    code = textwrap.dedent(f"""
        import os, sys
        sys.path.insert(0, {str(cpunative.ROOT / 'tests')!r})
        os.sched_setaffinity(0, {{min(os.sched_getaffinity(0))}})
        import cpunative
        print(cpunative.load().thread_count())
    """)
    cpunative.load()
    env = {k: v for k, v in os.environ.items() if k not in ("VANTBLAS_NUM_THREADS", "OMP_NUM_THREADS")}
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["1"]
