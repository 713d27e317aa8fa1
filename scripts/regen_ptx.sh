#!/usr/bin/env bash
# Regenerates the compiler-generated GEMM modules kernels/gemm/*.ptx from kernels/gemm/src/*.cu.
#
# Each module is compiled with `nvcc -ptx` for the target its text declares; the .version line
# nvcc writes (9.x for nvcc 13) is rewritten to the ISA version the module is pinned to, so the
# driver of every supported device accepts it, and ptxas then confirms that the text is valid at
# that version, for its own target and for sm_90 (an architecture-specific "a" target: its own only). The leading comment block of the .cu file
# (parameter order, launch geometry, what the kernel computes) heads the .ptx text.
#
#   scripts/regen_ptx.sh           rewrite the modules in place
#   scripts/regen_ptx.sh --check   regenerate into a scratch folder and fail if any committed
#                                  module differs (the output is deterministic for one nvcc)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
src="$root/kernels/gemm/src"
out="$root/kernels/gemm"
check=0
if [[ "${1:-}" == "--check" ]]; then
    check=1
elif [[ $# -gt 0 ]]; then
    echo "usage: $0 [--check]" >&2
    exit 2
fi

for tool in nvcc ptxas; do
    command -v "$tool" >/dev/null || { echo "$0: $tool not found on PATH" >&2; exit 2; }
done

# module  target  pinned ISA  extra nvcc flags
modules=(
    "small      sm_75 7.0"
    "basic      sm_75 7.0"
    "shared     sm_75 7.0"
    "reg8x8     sm_75 7.0"
    "batched    sm_75 7.0"
    "convert    sm_75 7.0"
    "gather     sm_75 6.4"
    "wmma_max   sm_80 8.2"
    "wmma_opt   sm_80 8.2"
    "fp16_pure  sm_80 8.2"
    "v1         sm_80 8.2"
    "v2         sm_80 7.0 -ftz=true"
    "mma_pipe   sm_80 7.0"
    "mma_wide   sm_80 7.0"
    "wgmma_tma  sm_90a 8.0"
)

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

status=0
for line in "${modules[@]}"; do
    read -r name target isa flags <<<"$line"
    raw="$scratch/$name.raw.ptx"
    text="$scratch/$name.ptx"
    nvcc -ptx -std=c++17 -O3 -arch="$target" ${flags:-} -o "$raw" "$src/$name.cu"
    {
        sed -n '/^\/\//!q;p' "$src/$name.cu"
        echo "//"
        echo "// Generated from kernels/gemm/src/$name.cu by scripts/regen_ptx.sh; edit the source, not this file."
        echo
        sed "s/^\.version .*/.version $isa/" "$raw"
    } >"$text"
    grep -q "^\.version $isa\$" "$text" || { echo "$name: no .version line" >&2; exit 1; }
    grep -q "^\.target $target\$" "$text" || { echo "$name: .target is not $target" >&2; exit 1; }
    arches="$target sm_90"
    # an architecture-specific target ("a") assembles for its own architecture only
    [[ "$target" == *a ]] && arches="$target"
    for arch in $arches; do
        if ! ptxas -arch="$arch" -o /dev/null "$text"; then
            echo "$name: ptxas -arch=$arch rejects the text" >&2
            exit 1
        fi
    done
    if [[ $check -eq 1 ]]; then
        if ! cmp -s "$text" "$out/$name.ptx"; then
            echo "$name.ptx differs from what its source generates" >&2
            status=1
        fi
    else
        cp "$text" "$out/$name.ptx"
        echo "kernels/gemm/$name.ptx: .version $isa, .target $target"
    fi
done
exit $status
