#!/usr/bin/env bash
# The main job: builds everything, mints a test PKI, starts the local stand-in service and runs
# the command-line host's demo against it through the plug-in, then stops the service.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
XIMORA_TARGETS="ximora_plugin ximora-host ximora-pki ximora-service" \
  bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo

work=$(mktemp -d /tmp/ximora-demo.XXXXXX)
service_pid=""
cleanup() {
  if [ -n "$service_pid" ]; then
    kill -TERM "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== minting a test PKI under the build's development root"
"$root/build/tools/pki/ximora-pki" mint --root "$root/build/trust" --out "$work/pki" \
  --partitions 1001,1002 --domain demo-domain >/dev/null

echo "== starting the stand-in service"
mkfifo "$work/ready"
"$root/build/service/ximora-service" --pki "$work/pki" --port 0 >"$work/ready" &
service_pid=$!
read -r ready_line <"$work/ready"
port=${ready_line#ready port=}
port=${port%% *}
echo "   $ready_line"

cat >"$work/Marlevon.conf" <<CONF
REST = {
   ServerName = 127.0.0.1;
   ServerPort = $port;
   ClientPoolSize = 4;
   CABundleFile = $work/pki/tls/ca-bundle.pem;
   AppLogLevel = warning;
}
XTC = {
   PartitionCAPath = $work/pki/ca.pem;
   PartitionCertPath00 = $work/pki/partition-1001.pem;
   PartitionCertPath01 = $work/pki/partition-1002.pem;
   TimeoutSec = 120;
}
CONF

echo "== running the demo host against it"
MarlevonConfigurationPath="$work" "$root/build/tools/ximora-host" demo
