#!/usr/bin/env bash
# Regenerates kernels/fused/{fused_attention,fused_ops,fp8}.ptx from kernels/fused/src/*.cu.
#
# The driver is handed these texts as they are, so each one is pinned to ISA 8.0 / sm_86: nvcc
# writes its own (newer) ISA version, which is rewritten here, and ptxas then confirms that the
# text is valid at the pinned version, both for sm_86 and for sm_90.
# Multiply-add contraction is off: the sources write every fused multiply-add out as fmaf.
# The element-wise and FP8 modules flush subnormals; attention keeps them.
#
# Usage: scripts/regen_fused_ptx.sh            (needs nvcc and ptxas on PATH; no GPU)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
src="$root/kernels/fused/src"
out="$root/kernels/fused"
pinned_version="8.0"
target="sm_86"

command -v nvcc >/dev/null || { echo "nvcc not found on PATH" >&2; exit 1; }
command -v ptxas >/dev/null || { echo "ptxas not found on PATH" >&2; exit 1; }

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

generate() {
    local name="$1"; shift
    nvcc -ptx -arch="$target" -fmad=false "$@" -I"$src" "$src/$name.cu" -o "$tmp/$name.ptx"
    grep -q '^\.version ' "$tmp/$name.ptx"
    grep -q "^\.target $target\$" "$tmp/$name.ptx"
    {
        echo "//"
        echo "// Generated from kernels/fused/src/$name.cu by scripts/regen_fused_ptx.sh; do not edit."
        sed -e "s/^\.version .*/.version $pinned_version/" "$tmp/$name.ptx"
    } >"$tmp/$name.pinned.ptx"
    for arch in "$target" sm_90; do
        ptxas --gpu-name "$arch" "$tmp/$name.pinned.ptx" -o "$tmp/$name.$arch.cubin"
    done
    mv "$tmp/$name.pinned.ptx" "$out/$name.ptx"
    echo "wrote kernels/fused/$name.ptx"
}

generate fused_attention
generate fused_ops -ftz=true
generate fp8 -ftz=true
