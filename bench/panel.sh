#!/usr/bin/env bash
# What the tray panel costs, on the real program under Xvfb with a private PipeWire session and a
# stand-in for the desktop's tray watcher:
#   panel.open_ms       the first click on the icon after launch (Activate over the bus) until
#                       the panel's window is on screen; includes starting the bus client that
#                       clicks (a few ms), so it errs high
#   panel.idle_cpu_pct  the program's CPU (all threads) over 10 s with the panel closed and three
#                       apps playing through its chains
# Installed as build/bin/bench-panel, which passes the first three arguments:
#   panel.sh <mixelot> <tray-watcher> <repository root>
set -euo pipefail
mixelot="$1"
watcher="$2"
root="$3"
session="$root/scripts/pw-session"
readonly IDLE_SECONDS=10

dir="$(mktemp -d /tmp/mixelot-bench-panel-XXXXXX)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do { kill -9 "$p" && wait "$p"; } 2>/dev/null || true; done
  "$session" stop "$dir" >/dev/null 2>&1 || true
}
trap cleanup EXIT
fail() { echo "bench-panel: $*" >&2; exit 1; }
until_true() {
  local end=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do [ $SECONDS -lt $end ] || return 1; sleep 0.02; done
}
now_ns() { date +%s%N; }
# CPU time of every thread of a process, in nanoseconds.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f", s }'; }

"$session" start "$dir" >/dev/null
for app in Radio:440 Podcast:550 Game:660; do
  "$session" tone "$dir" "org.example.${app%%:*}" "${app##*:}" --name "${app%%:*}" >/dev/null
done
source "$dir/env"

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
pids+=($!)
until_true 15 test -s "$dir/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -1 "$dir/display")" QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY

"$watcher" >"$dir/watcher.log" 2>&1 &
pids+=($!)
until_true 10 grep -q ready "$dir/watcher.log" || fail "no tray watcher"
# Past the first-run introduction, which would otherwise come up on top with the keyboard.
mkdir -p "$XDG_CONFIG_HOME/com.corvana.Mixelot"
echo '{"onboardingShown": true}' >"$XDG_CONFIG_HOME/com.corvana.Mixelot/preferences.json"
"$mixelot" >"$dir/mixelot.log" 2>&1 &
program=$!
pids+=("$program")
until_true 15 grep -q '^registered ' "$dir/watcher.log" || fail "the tray icon never registered"
item="$(awk '/^registered /{ print $2; exit }' "$dir/watcher.log")"
until_true 20 test "$(grep -c 'Tap active for' "$dir/mixelot.log")" -ge 3 ||
  fail "the three apps never got their chains"
until_true 10 bash -c "xdotool search --all --class --name '^Mixelot$'" || fail "no panel window"
window="$(xdotool search --all --class --name '^Mixelot$' | head -1)"
viewable() { xwininfo -id "$window" | grep -q IsViewable; }
activate() { dbus-send --session --type=method_call --print-reply=literal --dest="$item" \
  /StatusNotifierItem org.kde.StatusNotifierItem.Activate int32:0 int32:0 >/dev/null; }
sleep 2

start="$(now_ns)"
activate
until viewable; do
  [ $(($(now_ns) - start)) -lt 10000000000 ] || fail "the panel never opened: $(tail -5 "$dir/mixelot.log")"
done
echo "BENCH panel.open_ms $(( ($(now_ns) - start) / 1000000 )) ms"

activate
until_true 10 bash -c "! xwininfo -id $window | grep -q IsViewable" || fail "the panel never closed"
sleep 2
before="$(cpu_ns "$program")"
sleep "$IDLE_SECONDS"
after="$(cpu_ns "$program")"
awk -v d="$((after - before))" -v s="$IDLE_SECONDS" \
  'BEGIN { printf "BENCH panel.idle_cpu_pct %.2f %%\n", d / (s * 1e9) * 100 }'
