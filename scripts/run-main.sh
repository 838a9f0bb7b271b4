#!/usr/bin/env bash
# The main job: sets the machine up and builds (scripts/setup.sh), then starts
# the plugin host on a temporary socket, asks it for the installed
# instruments, prints the answer and shuts the host down.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
BUILD_DIR="$build" "$root/scripts/setup.sh"

host_bin="$build/AudioUnit/SorvaneAUHost/SorvaneAUHost"
work=$(mktemp -d /tmp/sorvane-main.XXXXXX)
socket="$work/host.sock"
host_log="$work/host.log"
host_pid=

cleanup() {
  if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then kill "$host_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "run-main: $*" >&2
  echo "--- host log ---" >&2
  cat "$host_log" >&2 || true
  exit 1
}

# One request line in, one reply line out.
request() {
  printf '%s\n' "$1" | socat -t 60 - "UNIX-CONNECT:$socket"
}

"$host_bin" --socket "$socket" 2>"$host_log" &
host_pid=$!
for _ in $(seq 200); do
  grep -q '\[SorvaneAUHost\] Listening on' "$host_log" 2>/dev/null && break
  kill -0 "$host_pid" 2>/dev/null || fail "host exited during start-up"
  sleep 0.05
done
grep -q '\[SorvaneAUHost\] Listening on' "$host_log" || fail "host did not start listening"

echo "list_plugins:"
reply=$(request '{"cmd":"list_plugins"}') || fail "list_plugins failed"
echo "$reply"

reply=$(request '{"cmd":"shutdown"}') || fail "shutdown failed"
[ "$reply" = '{"status":"ok"}' ] || fail "unexpected shutdown reply: $reply"
status=0
wait "$host_pid" || status=$?
host_pid=
[ "$status" -eq 0 ] || fail "host exited with status $status"
echo "host shut down (exit status 0)"
