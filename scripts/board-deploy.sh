#!/usr/bin/env bash
# The board job: the bundle of scripts/board-bundle.sh on a pristine Debian 12
# mipsel system (scripts/board-rootfs.sh), every program of it, the board's
# own included, run under qemu-mipsel. On a copy of that root it
#   - checks the module against the pristine root (libjsoncpp missing) and
#     against the root with libjsoncpp (ok), with scripts/board-check.sh;
#   - unpacks the bundle with the board's tar, installs it with install.sh
#     and compares the installed files with the bundle's;
#   - runs smd-host as an unprivileged user on a simulated site with the
#     dashboard and /metrics answering, and reads its resident size;
#   - installs a second bundle (another module) while it runs: it keeps
#     running on the old files, the next start loads the new module;
#   - rolls back: the start after that loads the first module again.
#   scripts/board-deploy.sh [--build-dir DIR]
# DIR is the board build (default build-mips; scripts/mips.sh makes it). The
# root comes from $PLOR_BOARD_ROOT (default /var/cache/plor-board-root).
#
# Without binfmt_misc on this machine, mipsel programs could not start one
# another (the board's tar its gzip, install.sh its tools). The job runs in a
# user namespace of its own, whose private binfmt_misc hands every mipsel
# program to qemu-mipsel with the board's root; the machine's is untouched.
set -euo pipefail
cd "$(dirname "$0")/.."
tree=$PWD

cache=${PLOR_BOARD_ROOT:-/var/cache/plor-board-root}
build=build-mips
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$2"; shift 2 ;;
    --inside) inside="$2"; shift 2 ;;
    *) echo "board-deploy.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
pristine=$cache/root
if [ ! -f "$cache/complete" ]; then
  echo "board-deploy.sh: no board root in $cache; scripts/board-rootfs.sh makes it" >&2
  exit 2
fi

if [ -z "${inside:-}" ]; then
  # Root, to hand the namespace every user id (the unprivileged one included).
  [ "$(id -u)" -eq 0 ] || { echo "board-deploy.sh: run it as root" >&2; exit 2; }
  start=$(date +%s)
  scripts/setup.sh board-root
  [ -x "$build/smd-host" ] || scripts/mips.sh --build-dir "$build" >/dev/null
  work=$(mktemp -d "$tree/$build/board-job.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  # Two versions: the module as built, then the same stripped.
  out=$(scripts/board-bundle.sh --build-dir "$build" --out "$work/first.tar.gz")
  echo "$out"
  mipsel-linux-gnu-strip --strip-all -o "$work/plor_sps.so" "$build/plor_sps.so"
  out=$(scripts/board-bundle.sh --build-dir "$build" --module "$work/plor_sps.so" \
    --out "$work/second.tar.gz")
  echo "$out" | head -n 1
  # A user namespace with every id of this one (so that the unprivileged user
  # exists), its own mounts and its own binfmt_misc.
  mkfifo "$work/go"
  unshare --user --mount --propagation private \
    bash -c 'read -r _ <"$0"; exec "$@"' "$work/go" "$0" --build-dir "$build" --inside "$work" &
  pid=$!
  while [ "$(readlink "/proc/$pid/ns/user")" = "$(readlink /proc/self/ns/user)" ]; do sleep 0.05; done
  echo '0 0 65536' >"/proc/$pid/uid_map"
  echo '0 0 65536' >"/proc/$pid/gid_map"
  echo go >"$work/go"
  wait "$pid"
  echo "board-deploy.sh: done in $(( $(date +%s) - start )) s"
  exit 0
fi

work=$inside
board=$work/board
chmod 0755 "$work"   # the unprivileged user reaches the board through it
mkdir -p "$work/upper" "$work/overlay-work" "$board" "$work/binfmt"
# The board: the pristine root with this run's changes on top.
mount -t overlay overlay -o "lowerdir=$pristine,upperdir=$work/upper,workdir=$work/overlay-work" "$board"
mount -t tmpfs -o mode=1777 tmpfs /tmp
# qemu-mipsel -L falls back to the build machine's file where the board has
# none: its mipsel libraries and charting package go out of sight, so that
# whatever the board lacks fails here as it would there.
for dir in /usr/lib/mipsel-linux-gnu /usr/mipsel-linux-gnu /opt/plor-mipsel /usr/share/javascript; do
  if [ -d "$dir" ]; then mount -t tmpfs -o ro tmpfs "$dir"; fi
done
# The board's own /dev: an overlay in a user namespace opens no device nodes.
mount --rbind /dev "$board/dev"
mount -t binfmt_misc binfmt_misc "$work/binfmt" || {
  echo "board-deploy.sh: no binfmt_misc of its own in a user namespace (Linux 6.7 and later have it)" >&2
  exit 1
}
printf '#!/bin/sh\nexec qemu-mipsel -L %s "$@"\n' "$board" >"$work/qemu-board"
chmod 0755 "$work/qemu-board"
printf '%s' ':plor-mipsel:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x08\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xfe\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$work/qemu-board"':' \
  >"$work/binfmt/register"

fail() { echo "board-deploy.sh: $*" >&2; exit 1; }
host_pid=
# A failed check leaves no smd-host behind.
trap 'if [ -n "$host_pid" ]; then kill "$host_pid" 2>/dev/null || true; fi' EXIT
prefix=$board/opt/smd-host
data=$board/var/lib/smd-host
user=65534   # nobody

echo "== board-check against the board's root"
set +e
out=$(scripts/board-check.sh --board-root "$pristine" "$build/plor_sps.so" 2>&1)
rc=$?
set -e
echo "$out" | grep -q 'libjsoncpp.so.25' && [ "$rc" -ne 0 ] ||
  { echo "$out"; fail "board-check passed a module the pristine board cannot load"; }
echo "pristine root: refused (exit $rc), $(echo "$out" | grep -m 1 'libjsoncpp.so.25')"

echo "== unpack with the board's tar, install.sh $prefix"
mkdir -p "$board/root/first" "$board/root/second"
"$board/bin/tar" -xzf "$work/first.tar.gz" -C "$board/root/first"
"$board/bin/tar" -xzf "$work/second.tar.gz" -C "$board/root/second"
"$board/bin/sh" "$board/root/first/smd-host-board/install.sh" "$prefix"
diff -r "$board/root/first/smd-host-board" "$prefix/current/" >/dev/null ||
  fail "the installed files differ from the bundle's"
echo "installed files: the bundle's, byte for byte"
first=$(readlink "$prefix/current")

# What `apt-get install libjsoncpp25` would bring; the bundle's is that file.
cp "$prefix/current/lib/libjsoncpp.so.25" "$board/usr/lib/mipsel-linux-gnu/"
out=$(scripts/board-check.sh --board-root "$board" "$build/plor_sps.so" 2>&1) ||
  { echo "$out"; fail "board-check refused the module on the root with libjsoncpp"; }
echo "root with libjsoncpp: ok"

mkdir -p "$data"
chown "$user:$user" "$data"
# start NAME: smd-host as the unprivileged user on the simulated site, with
# the web front; its standard input stays open on a fifo until stop.
start_host() {
  local name=$1
  mkfifo "$work/$name.in"
  # setpriv itself, not a function: $! is then smd-host's own process.
  setpriv --reuid=$user --regid=$user --clear-groups "$prefix/current/smd-host" --simulate mains-failure --http 127.0.0.1:0 \
    --db "$data/smd-host.db" <"$work/$name.in" >"$work/$name.out" 2>&1 &
  host_pid=$!
  exec 7>"$work/$name.in"
  local i port=
  for i in $(seq 1 600); do
    port=$(sed -n 's|.*dashboard at http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/$name.out")
    [ -n "$port" ] && break
    kill -0 "$host_pid" 2>/dev/null || { cat "$work/$name.out"; fail "smd-host ended at its start"; }
    sleep 0.1
  done
  [ -n "$port" ] || { cat "$work/$name.out"; fail "no dashboard line from smd-host"; }
  url=http://127.0.0.1:$port
}
# rounds: the rounds completed so far, from /metrics.
rounds() {
  curl -fsS "$url/metrics" | awk '/^plor_sps_rounds_total/ {n += $2} END {print n + 0}'
}
wait_rounds() {
  local want=$1 i
  for i in $(seq 1 300); do
    [ "$(rounds)" -ge "$want" ] && return 0
    kill -0 "$host_pid" 2>/dev/null || fail "smd-host ended"
    sleep 0.2
  done
  fail "no round completed within a minute (rounds: $(rounds))"
}
stop_host() {
  echo quit >&7
  exec 7>&-
  local rc=0
  wait "$host_pid" || rc=$?
  host_pid=
  [ "$rc" -eq 0 ] || { cat "$work/$1.out"; fail "smd-host ended with $rc"; }
}
# The module a running smd-host has mapped.
mapped_module() {
  awk '/plor_sps\.so$/ {print $NF; exit}' "/proc/$host_pid/maps"
}

echo "== smd-host as uid $user from $prefix/current, simulated site, web on"
start_host run1
wait_rounds 1
curl -fsS "$url/" | grep -qi '<html' || fail "no dashboard at $url/"
curl -fsS "$url/javascript/chart.js/chart.min.js" | cmp -s - "$prefix/current/chart.min.js" ||
  fail "the dashboard's charting library is not the bundle's"
curl -fsS "$url/metrics" | grep -q '^plor_sps_rounds_total' || fail "no rounds in /metrics"
echo "dashboard, charting library and /metrics answer; $(rounds) rounds"
case "$(mapped_module)" in
  "$prefix/$first/plor_sps.so") ;;
  *) fail "running on $(mapped_module), not $prefix/$first/plor_sps.so" ;;
esac

echo "== upgrade while it runs"
before=$(rounds)
"$board/bin/sh" "$board/root/second/smd-host-board/install.sh" "$prefix"
second=$(readlink "$prefix/current")
[ "$second" != "$first" ] || fail "the second bundle did not install as a new version"
[ "$(readlink "$prefix/previous")" = "$first" ] || fail "the previous version is not kept"
wait_rounds $(( before + 2 ))
[ "$(mapped_module)" = "$prefix/$first/plor_sps.so" ] || fail "the running host lost its module"
echo "still running on ${first#releases/}, $(rounds) rounds; current is now ${second#releases/}"
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$host_pid/status")
echo "resident size with the web front, qemu-mipsel included: $(awk -v k="$rss" 'BEGIN {printf "%.1f", k / 1024}') MB ($rss kB)"
stop_host run1
echo "ended with exit 0 after \`quit\`"

start_host run2
wait_rounds 1
[ "$(mapped_module)" = "$prefix/$second/plor_sps.so" ] ||
  fail "the next start runs $(mapped_module), not the new module"
cmp -s "$(mapped_module)" "$board/root/second/smd-host-board/plor_sps.so" || fail "new module differs"
echo "the next start loads the new module (${second#releases/})"
stop_host run2

echo "== rollback"
"$board/bin/sh" "$prefix/current/install.sh" --rollback "$prefix"
[ "$(readlink "$prefix/current")" = "$first" ] || fail "rollback did not bring ${first#releases/} back"
start_host run3
wait_rounds 1
[ "$(mapped_module)" = "$prefix/$first/plor_sps.so" ] || fail "after rollback it runs $(mapped_module)"
echo "after rollback the start loads the first module again (${first#releases/})"
stop_host run3
ls -l "$data"
