#!/usr/bin/env bash
# Compiles (no linking) the driver, runtime and engine layers, and the common code they use, for 64-bit
# Windows with Debian's MinGW-w64 compiler, so the Windows branch of the driver loader keeps
# building on a Linux CI machine. Needs: apt-get install g++-mingw-w64-x86-64
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${1:-$repo/build/mingw}"

# The posix thread model provides std::mutex with GCC 12; the win32 one does not.
cxx=""
for candidate in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++; do
    if command -v "$candidate" >/dev/null 2>&1; then cxx="$candidate"; break; fi
done
if [ -z "$cxx" ]; then
    echo "MinGW-w64 C++ compiler not found (apt-get install g++-mingw-w64-x86-64)" >&2
    exit 2
fi

mkdir -p "$out"
status=0
for src in "$repo"/src/common/*.cpp "$repo"/src/driver/*.cpp "$repo"/src/runtime/*.cpp "$repo"/src/engine/*.cpp; do
    [ -e "$src" ] || continue
    obj="$out/$(basename "${src%.cpp}").obj"
    echo "  $cxx ${src#$repo/}"
    if ! "$cxx" -std=c++20 -O2 -Wall -Wextra -Werror -ffp-contract=off -I"$repo/src" -c "$src" -o "$obj"; then
        status=1
    fi
done
if [ "$status" -ne 0 ]; then
    echo "Windows cross-compilation failed" >&2
else
    echo "Windows cross-compilation of the driver, runtime and engine layers OK"
fi
exit "$status"
