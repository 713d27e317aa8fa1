#!/usr/bin/env bash
# Runs the test suite under NumPy 1.26 against the wheel as it ships (built once, against the
# NumPy 2 headers), in a virtual environment of its own so that the shared Python is untouched.
#
#   scripts/ci_numpy1.sh [pytest arguments, by default the suite less the kernel-only files]
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-python3}
WORK=${VANT_NUMPY1_DIR:-build/ci-numpy1}
export PIP_DISABLE_PIP_VERSION_CHECK=1

rm -rf "$WORK"
mkdir -p "$WORK/wheel"

echo "== building the wheel"
"$PY" -m pip wheel . --no-deps -w "$WORK/wheel" -q
wheel=$(ls "$WORK"/wheel/vantblas-*.whl)

echo "== virtual environment with NumPy 1.26.4"
"$PY" -m venv "$WORK/venv"
VPY="$WORK/venv/bin/python"
# NumPy first, then the wheel with its test extras: the test tools (and their pinned versions)
# come from the package's own metadata, and NumPy 1.26.4 already satisfies its requirement.
"$VPY" -m pip install -q "numpy==1.26.4"
"$VPY" -m pip install -q "$wheel[test]"
"$VPY" - <<'EOF'
import numpy, _vantblas
assert numpy.__version__ == "1.26.4", numpy.__version__
a = numpy.ones((2, 3), numpy.float32)
assert (_vantblas.gemm(a, a.T) == 3).all()
print("NumPy", numpy.__version__, "with", _vantblas.__file__)
EOF

# Files that check kernels, the PTX interpreter, the CPU special functions and the driver fault
# matrix use NumPy only as a container and are left to the main run: every other file (the
# module's surface, arrays of every layout, the stand-in routes, interop) runs here.
SUITES=(tests --ignore=tests/test_fault_matrix.py --ignore=tests/test_ptx_interp.py
        --ignore=tests/test_kernel_emulation.py --ignore=tests/test_fused_kernel_sources.py
        --ignore=tests/test_cpu_special.py --ignore=tests/test_wgmma.py --ignore=tests/test_ptx_assemble.py)
[ "$#" -gt 0 ] && SUITES=("$@")

echo "== test suite under NumPy 1.26.4"
# Only the installed module may be found: no build folder on the path.
env -u PYTHONPATH "$VPY" -m pytest -q -ra -p no:cacheprovider "${SUITES[@]}"
