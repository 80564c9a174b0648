#!/usr/bin/env bash
# Builds the release preset's bridge and bench, then measures the bridge (or
# the bridges given, NAME=PATH each) and prints one Markdown table.
#   bench/run.sh            full run (about three minutes a bridge)
#   bench/run.sh --quick    one short pass of every measurement
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/lib.sh
# The release preset configures the tests too; nginx is the yardstick.
install_missing "${packages_build[@]}" "${packages_tests[@]}"
cmake --preset release >/dev/null
cmake --build --preset release --target simrelay simrelay-bench >/dev/null
exec build/release/bench/simrelay-bench "$@"
