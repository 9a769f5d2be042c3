#!/usr/bin/env bash
# Configures and builds one build tree: build.sh DIR [extra cmake arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
jobs=${XIMORA_JOBS:-$(nproc)}
cmake -S "$root" -B "$root/$dir" -G Ninja "$@" >/dev/null
cmake --build "$root/$dir" -j "$jobs"
