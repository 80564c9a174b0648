# shellcheck shell=bash
# Shared by .ci/run and the lane scripts (sourced, not run): installing what
# is missing, and adding up ctest's summary lines into one line of our own.

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
