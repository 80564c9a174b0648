#!/usr/bin/env bash
# Builds the release preset and runs every benchmark against a fresh bridge
# and a fake X-Plane on loopback, then prints one Markdown table.
#   bench/run.sh            full run (about two minutes)
#   bench/run.sh --quick    short smoke run
#   bench/run.sh --check    exit status 1 when a target is missed
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset build >/dev/null
exec build/release/bench/simrelay-bench all --bridge build/release/simrelay "$@"
