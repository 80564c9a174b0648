#!/usr/bin/env bash
# The real bridge pointed at the stand-in: live data arrives at /state and
# /stream, and the bridge reports not live once the stand-in is gone.
# usage: bridge_e2e_test.sh SIMRELAY XPLANE_STANDIN LOOPBACK_ADDRESS
set -u
simrelay=$1 standin=$2 address=$3
command -v curl >/dev/null || { echo "curl is missing: install it (apt-get install curl)"; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  echo "--- stand-in:"; cat "$work/standin.log"
  echo "--- bridge:"; cat "$work/bridge.log" 2>/dev/null
  exit 1
}

# Waits up to $1 tenths of a second for the command that follows to succeed.
wait_for() {
  local tenths=$1; shift
  for ((i = 0; i < tenths; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

"$standin" "$address" --lat -33.9 --lon 151.2 >"$work/standin.log" 2>&1 &
standin_pid=$!
pids+=("$standin_pid")
wait_for 50 grep -qs "✓" "$work/standin.log" || fail "stand-in did not start"

# A free port: the bridge itself says when a port is taken (and, with no
# input to wait for, exits at once), so try another until one is ours.
port=
for attempt in 1 2 3 4 5 6 7 8 9 10; do
  candidate=$((20000 + RANDOM % 40000))
  "$simrelay" "$address" --port "$candidate" </dev/null >"$work/bridge.log" 2>&1 &
  bridge_pid=$!
  wait_for 50 grep -qs "bridge ready\|cannot open" "$work/bridge.log"
  if grep -q "bridge ready" "$work/bridge.log"; then
    port=$candidate
    pids+=("$bridge_pid")
    break
  fi
  kill "$bridge_pid" 2>/dev/null
done
[ -n "$port" ] || fail "no free HTTP port found"
base=http://127.0.0.1:$port

live_state() {
  curl -s --max-time 2 "$base/state" >"$work/state.json" && grep -q '"xp":true' "$work/state.json"
}
wait_for 100 live_state || fail "bridge never went live: $(cat "$work/state.json")"
state=$(cat "$work/state.json")
echo "state: $state"
for key in lat lon alt hdg gs ias vs agl; do
  grep -q "\"$key\":" <<<"$state" || fail "no $key in $state"
done
lat=$(sed -E 's/.*"lat":(-?[0-9.]+).*/\1/' <<<"$state")
lon=$(sed -E 's/.*"lon":(-?[0-9.]+).*/\1/' <<<"$state")
awk -v lat="$lat" -v lon="$lon" 'BEGIN { exit !(lat > -34.0 && lat < -33.8 && lon > 151.1 && lon < 151.3) }' ||
  fail "position $lat, $lon is not around -33.9, 151.2"
grep -q "→ serving" "$work/standin.log" || fail "stand-in did not report its subscriber"
grep -q "✓ receiving data from X-Plane" "$work/bridge.log" || fail "bridge did not report live data"

# About five events a second while the stand-in answers at 5 Hz.
curl -sN --max-time 2 "$base/stream" >"$work/stream.txt"
events=$(grep -c '^data: {"xp":true' "$work/stream.txt")
stamps=$(grep '^data: ' "$work/stream.txt" | sed -E 's/.*"t":([0-9]+).*/\1/' | sort -u | wc -l)
echo "stream: $events live events in 2 s, $stamps distinct reply times"
[ "$events" -ge 5 ] && [ "$stamps" -ge 5 ] || fail "stream too slow: $(cat "$work/stream.txt")"

kill "$standin_pid"
not_live() {
  [ "$(curl -s --max-time 2 "$base/state")" = '{"xp":false}' ]
}
wait_for 80 not_live || fail "bridge still live 8 s after the stand-in stopped"
wait_for 30 grep -q "… waiting for X-Plane" "$work/bridge.log" || fail "bridge did not report the loss"
echo "not live after the stand-in stopped: ok"
