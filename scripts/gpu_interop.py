"""Interop check on a real GPU: the module beside PyTorch and CuPy on the same thread.

Run by scripts/gpu_check.sh; prints one line per check and exits non-zero when one fails.
  - PyTorch's stream, event and allocations made before a vantblas call keep working after it,
    and the thread's current context is the same before and after every call;
  - torch.from_dlpack(vantblas.gemm(ta, tb)) shares memory with the result and matches ta @ tb;
  - a CuPy array enters through the CUDA array interface (and a transposed one through the copy);
  - device memory of the process with and without the module (one context, not two).
"""

from __future__ import annotations

import ctypes
import json
import subprocess
import sys

FAILED = []


def check(name: str, ok: bool, detail: str = "") -> None:
    print(f"{'PASS' if ok else 'FAIL'} {name}{': ' + detail if detail else ''}", flush=True)
    if not ok:
        FAILED.append(name)


def current_context() -> int:
    cuda = ctypes.CDLL("libcuda.so.1")
    ctx = ctypes.c_void_p()
    cuda.cuCtxGetCurrent(ctypes.byref(ctx))
    return ctx.value or 0


MEMORY_PROBE = """
import json, sys, torch
torch.zeros(1, device="cuda"); torch.cuda.synchronize()
free0, total = torch.cuda.mem_get_info()
if sys.argv[1] == "with":
    import numpy as np, _vantblas as vb
    a = np.ones((256, 256), np.float32)
    vb.gemm(a, a); vb.VantTensor(a).cpu()
    torch.cuda.synchronize()
free1, _ = torch.cuda.mem_get_info()
print(json.dumps({"used_mib": (free0 - free1) / 2**20}))
"""


def main() -> int:
    import numpy as np
    import torch

    import _vantblas as vb

    torch.zeros(1, device="cuda")
    stream = torch.cuda.Stream()
    event = torch.cuda.Event()
    before = torch.randn(512, 512, device="cuda")
    ctx0 = current_context()

    a = np.random.default_rng(0).standard_normal((512, 384), dtype=np.float32)
    b = np.random.default_rng(1).standard_normal((384, 256), dtype=np.float32)
    c = vb.gemm(a, b)
    check("numpy gemm", np.allclose(c, a @ b, atol=1e-2, rtol=1e-2))
    check("context unchanged after gemm", current_context() == ctx0, f"{ctx0:#x} -> {current_context():#x}")
    with torch.cuda.stream(stream):
        after = before @ before
        event.record(stream)
    event.synchronize()
    check("torch stream and event after vantblas", bool(torch.isfinite(after).all()))

    ta = torch.randn(1024, 512, device="cuda")
    tb = torch.randn(512, 768, device="cuda")
    r = vb.gemm(ta, tb)
    tr = torch.from_dlpack(r)
    shared = tr.data_ptr() == r.__cuda_array_interface__["data"][0]
    check("from_dlpack shares memory", shared)
    err = float((tr - ta @ tb).abs().max())
    check("device gemm matches torch", err < 1e-2, f"max |diff| {err:.2e}")
    check("context unchanged after device gemm", current_context() == ctx0)
    t = vb.VantTensor(ta.t())  # strided: one device copy
    check("transposed torch input", bool(np.allclose(t.cpu(), ta.t().cpu().numpy())))
    del t, r, tr

    try:
        import cupy as cp

        x = cp.random.standard_normal((300, 200), dtype=cp.float32)
        tx = vb.VantTensor(x)
        check("cupy through the CUDA array interface", bool(np.array_equal(tx.cpu(), cp.asnumpy(x))))
        tt = vb.VantTensor(x.T)
        check("transposed cupy input", bool(np.array_equal(tt.cpu(), cp.asnumpy(x.T))))
        y = cp.asarray(vb.gemm(tx, vb.VantTensor(cp.ones((200, 5), dtype=cp.float32))))
        check("cupy consumes a product", bool(cp.allclose(y, x @ cp.ones((200, 5), dtype=cp.float32), atol=1e-3)))
    except ImportError:
        print("SKIP cupy: not installed")

    used = {}
    for mode in ("without", "with"):
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, mode], capture_output=True, text=True, timeout=120)
        used[mode] = json.loads(out.stdout.strip().splitlines()[-1])["used_mib"] if out.returncode == 0 else None
    print(f"INFO device memory beyond PyTorch's: without the module {used['without']} MiB, "
          f"with it {used['with']} MiB")
    check("no second context", used["with"] is not None and used["with"] < 256, f"{used['with']} MiB")
    return 1 if FAILED else 0


if __name__ == "__main__":
    sys.exit(main())
