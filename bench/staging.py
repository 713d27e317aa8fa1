"""Host side of a NumPy-to-NumPy GPU product, on the stand-in driver, against a plain copy.

    python bench/staging.py [--size 4096] [--repeat 7] [--threads N]

A product on the GPU moves A and B up and C back; with the kernels and the bus out of the way,
what is left is host work: gathering the operands into the pinned staging chunks (with the range
scan on the tensor-core route), draining C into a fresh result array, and the bookkeeping of the
chunk ring. This measures that work for `gemm(a, b)` of NumPy arrays through the stand-in driver
(tests/fakecuda.py) with FAKE_CUDA_NO_KERNELS=1, in a child process:

- staged: wall time of the call, and the host side alone: the wall time less the stand-in's own
  time (``standin_ns``: running the queued copies, which a device's copy engines do by themselves,
  and checksumming upload sources), each as GB/s of the bytes of A, B and C;
- copy: the same bytes copied by plain NumPy copies, split over the same number of threads as
  the module uses, into destinations already touched (memory speed, with no page faults).

Cases: an FP32 product cut into row panels (sizes off multiples of 16: no range scan) and a
tensor-core one (every size a multiple of 16: the operands' ranges are scanned while they are
gathered; the stand-in's default kernel set serves it in one panel). Best of --repeat calls
each (the product and the copy taking turns), after a warm-up call. The ratio is host-side GB/s / copy GB/s (goal: 0.8 or more).
Nothing here says anything about a real device's speed.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

CHILD = r'''
import concurrent.futures, time
import numpy as np
import _vantblas as vb

args = json.loads(ARGS)
if args["threads"]:
    vb.set_num_threads(args["threads"])
threads = vb.get_num_threads()
n, repeat = args["size"], args["repeat"]
rng = np.random.default_rng(0)
cases = {
    "fp32, row panels": (n, n - 1, n - 1),
    "tensor route, range scan": (n, n, n),
}
pool = concurrent.futures.ThreadPoolExecutor(threads)

def parallel_copy(pairs):
    # Every pair split into `threads` row blocks, the blocks of all pairs spread over the threads.
    jobs = []
    for dst, src in pairs:
        step = -(-src.shape[0] // threads)
        jobs += [(dst[i:i + step], src[i:i + step]) for i in range(0, src.shape[0], step)]
    list(pool.map(lambda j: np.copyto(j[0], j[1]), jobs))

out = {"threads": threads, "cases": {}}
for name, (m, k, nn) in cases.items():
    a = rng.standard_normal((m, k), dtype=np.float32)
    b = rng.standard_normal((k, nn), dtype=np.float32)
    c_bytes = m * nn * 4
    total = a.nbytes + b.nbytes + c_bytes
    vb.gemm(a, b)  # loads the kernels, fills the pool's cache and the staging chunks
    launches = fake.stat("launches")
    vb.gemm(a, b)
    panels = fake.stat("launches") - launches
    da, db, dc = np.empty_like(a), np.empty_like(b), np.empty((m, nn), np.float32)
    src_c = rng.standard_normal((m, nn), dtype=np.float32)
    pairs = [(da, a), (db, b), (dc, src_c)]
    parallel_copy(pairs)  # touches the destinations
    # Interleaved, so that a change of load on the machine hits both sides alike.
    wall, host, copy = [], [], []
    for _ in range(repeat):
        ns = fake.stat("standin_ns")
        t = time.perf_counter()
        c = vb.gemm(a, b)
        t = time.perf_counter() - t
        wall.append(t)
        host.append(t - (fake.stat("standin_ns") - ns) * 1e-9)
        del c
        t = time.perf_counter()
        parallel_copy(pairs)
        copy.append(time.perf_counter() - t)
    out["cases"][name] = {"shape": [m, k, nn], "bytes": total, "launches": panels, "wall": min(wall),
                          "host": min(host), "copy": min(copy)}
out["async_copies"] = fake.stat("async_copies")
out["skipped"] = fake.stat("launches_skipped")
out["hazards"] = fake.stat("hazards")
print(json.dumps(out))
'''


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=int, default=4096)
    ap.add_argument("--repeat", type=int, default=9)
    ap.add_argument("--threads", type=int, default=0, help="threads of the module (default: its own count)")
    opt = ap.parse_args()
    import fakecuda

    if fakecuda.real_driver_present():
        print("staging: a real libcuda.so.1 would be found before the stand-in; skipped")
        return 0
    args = json.dumps({"size": opt.size, "repeat": opt.repeat, "threads": opt.threads})
    r = fakecuda.run(f"ARGS = {args!r}\n" + CHILD, env={"FAKE_CUDA_NO_KERNELS": "1",
                                                        "VANTBLAS_POOL_CACHE_BYTES": str(4 << 30)},
                     timeout=1800).check()
    res = json.loads(r.lines[-1])
    print(f"stand-in driver, kernels skipped ({res['skipped']} launches), {res['async_copies']} asynchronous "
          f"copies, hazards {res['hazards']}; threads: {res['threads']}")
    hdr = (f"{'case':26} {'M x K x N':>17} {'launches':>8} {'staged GB/s':>11} {'host GB/s':>10} "
           f"{'copy GB/s':>10} {'host/copy':>9}")
    print(hdr)
    print("-" * len(hdr))
    worst = None
    for name, c in res["cases"].items():
        gb = c["bytes"] / 1e9
        ratio = c["copy"] / c["host"]
        worst = ratio if worst is None else min(worst, ratio)
        print(f"{name:26} {'x'.join(map(str, c['shape'])):>17} {c['launches']:>8} {gb / c['wall']:11.2f} "
              f"{gb / c['host']:10.2f} {gb / c['copy']:10.2f} {ratio:9.2f}")
    print(f"goal: host side >= 0.8 of the copy: {worst:.2f} {'met' if worst >= 0.8 else 'NOT met'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
