#!/usr/bin/env bash
# Builds the extension and the stand-in driver with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the CPU and stand-in test suites against that build. Any sanitizer report fails the run,
# also one written by a child process or a forked copy whose failure a test would tolerate.
#
#   scripts/ci_sanitizers.sh [pytest arguments, by default the CPU and stand-in suites]
#
# The interpreter itself is not instrumented: the sanitizer runtimes are preloaded, Python's own
# allocator is replaced by malloc so that its blocks get red zones, and leak detection is off
# (the interpreter keeps much of its memory until exit by design).
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-python3}
CXX=${CXX:-g++}
BUILD=${VANT_SANITIZE_BUILD:-build/ci-sanitize}
case "$BUILD" in /*) ;; *) BUILD="$PWD/$BUILD" ;; esac
SAN_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"

echo "== sanitizer build ($BUILD)"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANT_SANITIZE=ON -DVANT_TEST_HOOKS=ON \
      -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
cmake --build "$BUILD" -j2
# The test-only hooks module of the runtime tests, instrumented like the module.
export FAKECUDA_HOOKS_DIR="$BUILD/tests/hooks"

# The test helpers build the stand-in driver (instrumented too) and their other native pieces on
# first use; doing that here keeps compilers and cmake out of the sanitized processes.
export FAKECUDA_CXXFLAGS="$SAN_FLAGS"
PYTHONPATH="tests:$BUILD" "$PY" - <<'EOF'
import cpunative, enginehooks, fakecuda, ptxinterp
print("stand-in driver:", fakecuda.library_path())
ptxinterp.library_path()
fakecuda.hooks_dir()
enginehooks.build_dir()
cpunative.load()
EOF

ASAN_LIB=$("$CXX" -print-file-name=libasan.so)
UBSAN_LIB=$("$CXX" -print-file-name=libubsan.so)
for lib in "$ASAN_LIB" "$UBSAN_LIB"; do
  [ -f "$lib" ] || { echo "sanitizer runtime not found: $lib"; exit 1; }
done
REPORTS=$(mktemp -d "${TMPDIR:-/tmp}/vant-sanitizer.XXXXXX")

# The CPU suite and the stand-in suite: every test file except those that need a real GPU or
# the PTX assembler. Arguments given to the script replace this selection.
SUITES=(tests --ignore=tests/gpu --ignore=tests/test_ptx_assemble.py)
[ "$#" -gt 0 ] && SUITES=("$@")

echo "== CPU and stand-in suites under AddressSanitizer + UndefinedBehaviorSanitizer"
set +e
env LD_PRELOAD="$ASAN_LIB $UBSAN_LIB" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1:allocator_may_return_null=1:log_path=$REPORTS/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$REPORTS/ubsan" \
    VANT_SANITIZED=1 \
    PYTHONPATH="$BUILD${PYTHONPATH:+:$PYTHONPATH}" \
    "$PY" -m pytest -q -ra -p no:cacheprovider "${SUITES[@]}"
status=$?
set -e

# Files holding only warnings (an enormous allocation refused, as some tests ask for) are shown
# but do not fail the stage; an error report or a UBSan finding does.
found=0
for f in $(find "$REPORTS" -type f | sort); do
  if grep -qE "ERROR: |runtime error:|SUMMARY: " "$f"; then
    found=1
    echo "--- sanitizer report $f"
    cat "$f"
  else
    echo "--- sanitizer warning $f: $(head -c 300 "$f")"
  fi
done
if [ "$found" -ne 0 ]; then
  echo "sanitizer reports found"
  exit 1
fi
rm -rf "$REPORTS"
if [ "$status" -ne 0 ]; then
  echo "test suite failed under the sanitizers (status $status)"
  exit "$status"
fi
echo "sanitizer stage passed: no reports"
