# shellcheck shell=bash disable=SC2034 # The package lists are read by the scripts that source this.
# Shared by .ci/run, the lane scripts and the other scripts that build (sourced):
# the Debian packages each needs and installing what is missing, Wine for the
# Windows exe, and adding up ctest's summary lines into one line of our own.

# Debian packages, by what needs them; each script installs the sets it uses.
packages_build=(cmake ninja-build g++)    # the bridge and the stand-in
packages_tests=(libgtest-dev nginx-light) # nginx: the bench's yardstick
packages_format=(clang-format git)        # clang-format over git's file list
# Clang builds, clang-tidy, the sanitizer and libFuzzer runtimes.
packages_clang=(clang clang-tidy libclang-rt-14-dev)
# fuzz/run.sh: Clang and its libFuzzer and sanitizer runtimes, no clang-tidy.
packages_fuzz=(clang libclang-rt-14-dev)
# The cross-built exe and its tests under Wine (GoogleTest from its sources).
packages_windows=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 googletest)
# Reproducible archives (git gives their time), signing, and trying the exe
# in a network namespace of its own (iproute2 brings its loopback up).
packages_release=(git zip unzip osslsigncode openssl curl softhsm2 libengine-pkcs11-openssl opensc python3 iproute2)
# packaging/make-dist.sh: the builds and the archives, and signing with a key.
packages_dist=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 git zip)
packages_sign=(osslsigncode libengine-pkcs11-openssl openssl)
# The docs' checks, and the README's Python snippet they run.
packages_docs=(python3 python3-requests)
# Node.js and npm too, which .ci/browser-lane takes from Debian only when
# there are none on the PATH.
packages_browser=(chromium chromium-driver firefox-esr xvfb)

# install_missing PACKAGE...: installs the Debian packages not yet there,
# through sudo when not root. Quick when everything is installed.
install_missing() {
  local need=() package
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || need+=("$package")
  done
  [ ${#need[@]} -gt 0 ] || return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}"
}

# start_wine PREFIX: runs Windows programs of this script under Wine with
# the settings of the Windows build's test runner (cmake/wine.env) and the
# prefix PREFIX. One Wine server serves the rest of the script, so only the
# first start pays for Wine's own services; those are started here, with no
# test's pipes for them to hold open. The caller ends it: wineserver -k.
start_wine() {
  set -a
  # shellcheck source=cmake/wine.env
  source "$(dirname "${BASH_SOURCE[0]}")/../cmake/wine.env"
  set +a
  export WINEPREFIX=$1
  mkdir -p "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1
  echo "wine: preparing $WINEPREFIX"
  wineboot -i </dev/null >/dev/null 2>&1
}

tests_passed=0
tests_failed=0

# tally LOG: adds the counts of the last ctest summary line in LOG to the
# totals; returns 1 when LOG has no such line.
tally() {
  local line bad total
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
  [ -n "$line" ] || return 1
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  tests_passed=$((tests_passed + total - bad))
  tests_failed=$((tests_failed + bad))
}

# count_check NAME COMMAND...: runs one check that is not a ctest test and
# counts it as one test, passed or failed.
count_check() {
  local name=$1
  shift
  if "$@"; then
    tests_passed=$((tests_passed + 1))
    echo "check passed: $name"
  else
    tests_failed=$((tests_failed + 1))
    echo "check FAILED: $name"
  fi
}

# print_summary: one line over everything tallied, in ctest's words, so
# .ci/run reads a lane's total as it reads a single ctest run.
print_summary() {
  local total=$((tests_passed + tests_failed))
  local percent=$((total > 0 ? 100 * tests_passed / total : 0))
  echo "${percent}% tests passed, ${tests_failed} tests failed out of ${total}"
}
