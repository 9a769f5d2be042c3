#!/usr/bin/env bash
# Configures and builds one build tree: build.sh DIR [extra cmake arguments...]
# XIMORA_TARGETS (space-separated) limits the build to those targets.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
jobs=${XIMORA_JOBS:-$(nproc)}
cmake -S "$root" -B "$root/$dir" -G Ninja "$@" >/dev/null
targets=()
for target in ${XIMORA_TARGETS:-}; do
  targets+=(--target "$target")
done
cmake --build "$root/$dir" -j "$jobs" "${targets[@]}"
