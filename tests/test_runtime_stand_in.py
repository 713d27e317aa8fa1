"""The stand-in driver's own guarantees, which every stand-in test relies on: out-of-bounds kernel
accesses are caught, launch limits are enforced, parameters are decoded by their declared types,
and modules are refused for targets and ISA versions the simulated device and driver lack."""

from __future__ import annotations

from pathlib import Path

import fakecuda

GPU_DIR = str(Path(__file__).resolve().parent / "gpu")


def test_out_of_bounds_access_fails_the_launch_and_is_counted():
    r = fakecuda.run(f"""
        sys.path.insert(0, {GPU_DIR!r})
        import numpy as np
        from training_launcher import open_device, Out, u32, CudaCallError
        dev = open_device()
        a = np.arange(6, dtype=np.float32)
        try:
            # claims a 3 x 3 input but the buffer holds 6 floats
            dev.run("transpose.ptx", "transpose_2d_kernel", (1,), (32,), [Out(9), a, u32(3), u32(3)])
            raise SystemExit("out-of-bounds read went unnoticed")
        except CudaCallError as e:
            assert e.status == 700
        assert fake.bounds_violations == 1
        assert fake.live_allocations == 0
    """)
    r.check()
    assert "outside every live allocation" in r.stderr


def test_launch_limits_and_parameter_decoding():
    r = fakecuda.run(f"""
        sys.path.insert(0, {GPU_DIR!r})
        import numpy as np
        from training_launcher import open_device, Out, u32, f32, CudaCallError
        dev = open_device()
        for block in ((2048,), (32, 64), (1, 1, 65)):
            try:
                dev.run("reduce_sum.ptx", "reduce_sum_kernel", (1,), block, [Out(1), np.zeros(1, np.float32), u32(1), u32(1)])
                raise SystemExit(f"block {{block}} accepted")
            except CudaCallError as e:
                assert e.status == 1
        dev.run("cross_entropy_backward.ptx", "cross_entropy_backward_kernel", (1,), (1,),
                [Out(2), np.zeros(2, np.float32), np.zeros(1, np.float32), u32(1), u32(2), f32(0.5)])
        (launch,) = fake.launches()
        assert launch["kernel"] == "cross_entropy_backward_kernel"
        assert launch["types"] == ["u64", "u64", "u64", "u32", "u32", "f32"]
        assert launch["params"][3:] == [1, 2, 0.5]
        assert all(p >= 2**32 for p in launch["params"][:3])
    """)
    r.check()


def test_old_driver_refuses_the_newer_isa_of_one_module():
    r = fakecuda.run("""
        import _vantblas_testhooks as h
        fake.set_max_ptx_version(7, 3)
        try:
            h.get_cuda_core(0)
            raise SystemExit("built")
        except RuntimeError as e:
            assert str(e) == ("Failed to load adamw module: "
                              "the provided PTX was compiled with an unsupported toolchain."), str(e)
        fake.assert_no_leaks()
    """, hooks=True)
    r.check()
    assert r.lines[-1] == "[CUDA] softmax_backward SKIPPED (using fused cross_entropy_backward)"
