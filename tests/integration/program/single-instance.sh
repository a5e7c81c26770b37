#!/usr/bin/env bash
# Without a session bus a second launch finds the first through the lock file and leaves with a
# message, while the first runs on; once the first ends, a launch runs again. No audio session:
# the program starts before (here: without) its audio daemon.
#   single-instance.sh <path to mixelot>
set -euo pipefail
mixelot="$1"

# shellcheck source=session-checks.sh
source "$(dirname "$0")/session-checks.sh"
session_folder single

mkdir -m 700 "$dir/runtime"
export XDG_RUNTIME_DIR="$dir/runtime" XDG_CONFIG_HOME="$dir/config"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/no-bus"
unset DISPLAY WAYLAND_DISPLAY

"$mixelot" >"$dir/first.log" 2>&1 &
pid=$!
end=$((SECONDS + 20))
until [ -s "$XDG_RUNTIME_DIR/com.corvana.Mixelot.lock" ]; do
  kill -0 "$pid" 2>/dev/null || fail "the first instance ended: $(cat "$dir/first.log")"
  [ $SECONDS -lt $end ] || fail "the first instance never took the lock"
  sleep 0.1
done

status=0
timeout 20 "$mixelot" >"$dir/second.log" 2>&1 || status=$?
[ "$status" = 1 ] || fail "second instance exited with $status: $(cat "$dir/second.log")"
grep -q "already running (process $pid" "$dir/second.log" || fail "message: $(cat "$dir/second.log")"
kill -0 "$pid" || fail "the first instance is gone"

kill -TERM "$pid"
wait "$pid" || true
pid=""
status=0
timeout 3 "$mixelot" >"$dir/third.log" 2>&1 || status=$?
[ "$status" = 124 ] || fail "after the first ended, a launch exited with $status: $(cat "$dir/third.log")"
echo "PASS"
