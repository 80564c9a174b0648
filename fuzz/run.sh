#!/usr/bin/env bash
# Builds the libFuzzer targets with the fuzz preset (Clang, SIMRELAY_FUZZ=ON,
# in build/fuzz) and runs each for the given number of seconds (default 30).
# New inputs go to build/fuzz/corpus/<target>; the seeds in
# fuzz/corpus/<target> stay as they are. A crash leaves its input in
# build/fuzz/ and ends the script non-zero.
set -euo pipefail
seconds="${1:-30}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/fuzz"
source "$root/.ci/lib.sh"
install_missing "${packages_build[@]}" "${packages_fuzz[@]}"

(cd "$root" && cmake --preset fuzz >/dev/null && cmake --build --preset fuzz)

run() {
  local target="$1"
  shift
  local corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  echo "== ${target}_fuzzer for ${seconds} s"
  (cd "$build" && "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" \
    -print_final_stats=1 "$@" "$corpus" "$root/fuzz/corpus/$target")
}

# Inputs are repeated up to 16 times inside the target, so 8 KiB reach the
# 64 KiB head cap.
run http_head -max_len=8192 -dict="$root/fuzz/http_head.dict"
run rref_snapshot -max_len=8192
