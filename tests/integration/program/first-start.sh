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

# shellcheck source=session-checks.sh
source "$(dirname "$0")/session-checks.sh"
session_folder first
windows_named() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null || true; }
size_of() { xwininfo -id "$1" | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w "x" h }'; }
start() {
  start_program
  until_true 20 panel_shown || fail "the program never came on the bus"
}

version="$("$mixelot" --version)"
[[ "$version" =~ ^mixelot\ [0-9]+\.[0-9]+ ]] || fail "--version printed '$version'"

"$session" start "$dir" >/dev/null
source "$dir/env"
start_xvfb

start
until_true 15 test -n "$(windows_named 'Welcome to mixelot')" || fail "no introduction window"
window="$(windows_named 'Welcome to mixelot' | head -1)"
geometry="$(size_of "$window")"
echo "introduction window: $geometry"
[ "$geometry" = "520x420" ] || fail "introduction window is $geometry"
# "Get Started", 48 points above the card's bottom, in its middle; it takes a press while it
# is still fading in.
sleep 0.5
xdotool mousemove --window "$window" 260 348 click 1
sleep 0.5
# SIGTERM saves the preferences before the program ends.
kill -TERM "$pid"
wait "$pid" 2>/dev/null || true
pid=""
prefs=("$XDG_CONFIG_HOME"/com.corvana.Mixelot/*.json)
jq -e '.onboardingShown == true' "${prefs[0]}" >/dev/null \
  || fail "Get Started was not remembered: $(cat "${prefs[0]}")"

start
sleep 2
[ -z "$(windows_named 'Welcome to mixelot')" ] || fail "introduction shown again"

mixer OpenSettings >/dev/null
mixer OpenSettings >/dev/null
until_true 10 test -n "$(windows_named 'mixelot Settings')" || fail "no settings window"
sleep 0.5
count="$(windows_named 'mixelot Settings' | wc -l)"
[ "$count" = 1 ] || fail "$count settings windows"
settings="$(windows_named 'mixelot Settings')"
geometry="$(size_of "$settings")"
echo "settings window: $geometry"
[ "$geometry" = "450x520" ] || fail "settings window is $geometry"
kill -0 "$pid" || fail "the program died"
echo "PASS"
