#!/usr/bin/env bash
# The main job: builds the plug-in and the command-line host, then loads the plug-in.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
"$root/build/tools/ximora-host" version
