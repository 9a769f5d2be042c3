#!/usr/bin/env bash
# Runs the whole test suite twice: a normal build, then an AddressSanitizer and
# UndefinedBehaviorSanitizer build. Installs what is missing and builds first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh

jobs=${XIMORA_JOBS:-$(nproc)}
status=0
run_suite() {
  local dir=$1
  shift
  echo "== building $dir"
  bash scripts/build.sh "$dir" "$@"
  echo "== testing $dir"
  if ! ctest --test-dir "$root/$dir" -j "$jobs" --output-on-failure --no-tests=error; then
    status=1
  fi
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DXIMORA_SANITIZE=ON -DXIMORA_BUILD_BENCH=OFF
exit $status
