#!/usr/bin/env bash
# Tries the bridge without X-Plane: builds the bridge preset, starts the
# X-Plane stand-in on 127.0.0.1:49000 and the bridge, on port 49080 unless
# told otherwise. Ctrl+C (or the bridge ending) stops both.
# usage: tools/demo.sh [--port 49080] [--lat DEG] [--lon DEG]
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/lib.sh

port=49080
standin_args=()
while [ $# -gt 0 ]; do
  if [ "$1" = --port ] && [ $# -ge 2 ]; then
    port=$2
    shift 2
  else
    standin_args+=("$1")
    shift
  fi
done

install_missing "${packages_build[@]}"
cmake --workflow --preset build >/dev/null
build=build/bridge

"$build/tools/xplane-standin/xplane-standin" 127.0.0.1 "${standin_args[@]}" &
standin=$!
trap 'kill "$standin" 2>/dev/null || true' EXIT
sleep 0.3
kill -0 "$standin" 2>/dev/null || exit 1  # It has said why.

echo "Watch it: curl -N http://127.0.0.1:$port/stream, or open examples/map.html in a browser."
"$build/simrelay" 127.0.0.1 --port "$port"
