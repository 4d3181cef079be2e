#!/usr/bin/env bash
# scripts/board/smd-host.init from outside, with start-stop-daemon and with
# su alone: start as an unprivileged user, status, a rotation (rename, then
# reload), restart, stop, and a start that fails.
#   init_script_test.sh SMD_HOST PLUGIN      (exit 77 unless root)
set -uo pipefail
[ "$(id -u)" -eq 0 ] || { echo "needs root, to run it as another user"; exit 77; }
id nobody >/dev/null 2>&1 || { echo "no user nobody"; exit 77; }
init="$(cd "$(dirname "$0")/../.." && pwd)/scripts/board/smd-host.init"
work=$(mktemp -d)
chmod 755 "$work"
trap 'sh "$init" stop >/dev/null 2>&1; rm -rf "$work"' EXIT
export SMD_HOST="$1" SMD_HOST_USER=nobody SMD_HOST_DATA="$work/data" SMD_HOST_LOGS="$work/log"
export PIDFILE="$work/pid" SMD_HOST_CONFIG="$work/site.json" SMD_HOST_OPTIONS="--plugin $2"
echo '{"devices": [{"name": "fast", "dataId": 1, "pollIntervalMs": 10}]}' >"$work/site.json"
log="$work/log/smd-host.log"

failed=0
expect() {  # what, then the command that must succeed
  local what="$1"
  shift
  if "$@" >/dev/null 2>&1; then echo "ok   $how: $what"; else echo "FAIL $how: $what"; failed=1; fi
}
lines() { grep -c "$2" "$1" 2>/dev/null || true; }
for how in start-stop-daemon su; do
  # Without /usr/sbin and /sbin, the script finds no start-stop-daemon.
  [ "$how" = su ] && export PATH=/usr/bin:/bin
  expect "start" sh "$init" start
  expect "status says running" sh "$init" status
  expect "runs as nobody" test "$(ps -o user= -p "$(cat "$PIDFILE")")" = nobody
  expect "rounds in the log" sh -c "sleep 1; grep -q ' fast  temp ' '$log'"
  mv "$log" "$log.1"
  expect "reload" sh "$init" reload
  expect "rounds in the new log" sh -c "sleep 1; grep -q ' fast  temp ' '$log'"
  expect "restart" sh "$init" restart
  expect "stop" sh "$init" stop
  expect "status says stopped" sh -c "! sh '$init' status"
  expect "the stop was orderly" test "$(lines "$log" 'history: ')" -eq 2
  expect "a start that fails says so" sh -c "! SMD_HOST_CONFIG=/nonexistent sh '$init' start"
  expect "and leaves no pid file" test ! -e "$PIDFILE"
  rm -rf "$work/log" "$work/data"
done
exit "$failed"
