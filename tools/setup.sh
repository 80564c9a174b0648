#!/usr/bin/env bash
# The Quick start's two commands, for Debian 12 (the system tried): installs
# the Debian packages that are missing (through sudo when not root), builds,
# and then starts the bridge or runs the tests. Safe to run again: what is
# there already is neither installed nor built a second time.
#
# usage: tools/setup.sh bridge [simrelay's arguments]   build and start the bridge
#        tools/setup.sh test                            build and run the test suite
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/lib.sh

case "${1:-}" in
  bridge)
    shift
    install_missing "${packages_build[@]}"
    cmake --workflow --preset build
    exec build/bridge/simrelay "$@"
    ;;
  test)
    install_missing "${packages_build[@]}" "${packages_tests[@]}"
    exec cmake --workflow --preset test
    ;;
  *)
    sed -n 's/^# usage: /usage: /p; s/^#        /       /p' "$0" >&2
    exit 2
    ;;
esac
