#!/usr/bin/env bash
# The main job: sets the machine up and builds (scripts/setup.sh), then starts
# the plugin host on a temporary socket, asks it for the installed
# instruments, loads the built-in synthesiser, renders middle C for one second
# into a WAV file (kept at $build/middle-c.wav), says where it is and shuts
# the host down.
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

# A member of a one-line JSON reply (replies escape "/" as "\/").
member() {
  python3 -c 'import json, sys; print(json.loads(sys.argv[1]).get(sys.argv[2], ""))' "$1" "$2"
}

wav="$(cd "$build" && pwd)/middle-c.wav"
reply=$(request '{"cmd":"load","plugin":"aumu/dls /appl","id":"main"}') || fail "load failed"
[ "$(member "$reply" status)" = ok ] || fail "load: $reply"
render_request=$(python3 -c 'import json, sys; print(json.dumps({"cmd": "render", "id": "main", "note": 60,
  "velocity": 100, "duration_ms": 1000, "output": sys.argv[1]}, separators=(",", ":")))' "$wav")
reply=$(request "$render_request") || fail "render failed"
[ "$(member "$reply" status)" = ok ] || fail "render: $reply"
echo "rendered middle C (1 s note + 0.5 s release, $(member "$reply" frames) frames, 16-bit stereo 44100 Hz) to $wav"

reply=$(request '{"cmd":"shutdown"}') || fail "shutdown failed"
[ "$reply" = '{"status":"ok"}' ] || fail "unexpected shutdown reply: $reply"
status=0
wait "$host_pid" || status=$?
host_pid=
[ "$status" -eq 0 ] || fail "host exited with status $status"
echo "host shut down (exit status 0)"
