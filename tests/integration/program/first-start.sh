#!/usr/bin/env bash
# The real program's windows on an X server of its own, against a private PipeWire session:
# the first start with empty preferences shows the introduction (520 x 420 as the server sees
# it), "Get Started" remembers it, the second start shows none; opening the settings twice over
# the bus gives one window.
#   first-start.sh <path to mixelot> <repository root>
set -euo pipefail
mixelot="$1"
root="$2"
session="$root/scripts/pw-session"

dir="$(mktemp -d /tmp/mixelot-first-XXXXXX)"
pid=""
xvfb=""
cleanup() {
  if [ -n "$pid" ]; then { kill -9 "$pid"; wait "$pid"; } 2>/dev/null || true; fi
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  "$session" stop "$dir" >/dev/null 2>&1 || true
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; [ -f "$dir/mixelot.log" ] && tail -20 "$dir/mixelot.log" >&2; exit 1; }
# until_true <seconds> <command...>
until_true() {
  local end=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do [ $SECONDS -lt $end ] || return 1; sleep 0.1; done
}
windows_named() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null || true; }
on_bus() {
  gdbus call --session --dest com.corvana.Mixelot --object-path /com/corvana/Mixelot \
    --method org.freedesktop.DBus.Properties.Get com.corvana.Mixelot.Mixer PanelShown
}
start() {
  "$mixelot" >>"$dir/mixelot.log" 2>&1 &
  pid=$!
  until_true 20 on_bus || fail "the program never came on the bus"
}
stop() {
  # SIGTERM saves the preferences before the program ends.
  kill -TERM "$pid"
  wait "$pid" 2>/dev/null || true
  pid=""
}

version="$("$mixelot" --version)"
[[ "$version" =~ ^mixelot\ [0-9]+\.[0-9]+ ]] || fail "--version printed '$version'"

"$session" start "$dir" >/dev/null
source "$dir/env"
unset WAYLAND_DISPLAY
# A display number nobody uses, chosen by the server itself.
exec 3>"$dir/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >"$dir/xvfb.log" 2>&1 &
xvfb=$!
until_true 10 test -s "$dir/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -1 "$dir/display")"
export QT_QPA_PLATFORM=xcb

start
until_true 15 test -n "$(windows_named 'Welcome to mixelot')" || fail "no introduction window"
window="$(windows_named 'Welcome to mixelot' | head -1)"
geometry="$(xwininfo -id "$window" | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w "x" h }')"
echo "introduction window: $geometry"
[ "$geometry" = "520x420" ] || fail "introduction window is $geometry"
# "Get Started", 48 points above the card's bottom, in its middle; it takes a press while it
# is still fading in.
sleep 0.5
xdotool mousemove --window "$window" 260 348 click 1
sleep 0.5
stop
prefs=("$XDG_CONFIG_HOME"/com.corvana.Mixelot/*.json)
jq -e '.onboardingShown == true' "${prefs[0]}" >/dev/null \
  || fail "Get Started was not remembered: $(cat "${prefs[0]}")"

start
sleep 2
[ -z "$(windows_named 'Welcome to mixelot')" ] || fail "introduction shown again"

for _ in 1 2; do
  gdbus call --session --dest com.corvana.Mixelot --object-path /com/corvana/Mixelot \
    --method com.corvana.Mixelot.Mixer.OpenSettings >/dev/null
done
until_true 10 test -n "$(windows_named 'mixelot Settings')" || fail "no settings window"
sleep 0.5
count="$(windows_named 'mixelot Settings' | wc -l)"
[ "$count" = 1 ] || fail "$count settings windows"
settings="$(windows_named 'mixelot Settings')"
geometry="$(xwininfo -id "$settings" | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w "x" h }')"
echo "settings window: $geometry"
[ "$geometry" = "450x520" ] || fail "settings window is $geometry"
kill -0 "$pid" || fail "the program died"
echo "PASS"
