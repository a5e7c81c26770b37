#!/usr/bin/env bash
# The global shortcuts of the real program on an X11 display (a private Xvfb) against a private
# PipeWire session: Alt+Shift+A, pressed with xdotool while no window of ours has the keyboard,
# mutes the tone app and the output device and restores them, with the overlay on screen, also
# with Caps Lock and Num Lock on.
#   hotkeys-x11.sh <path to mixelot> <repository root>
set -euo pipefail
mixelot="$1"
root="$2"
session="$root/scripts/pw-session"

dir="$(mktemp -d /tmp/mixelot-keys-XXXXXX)"
pid=""
xvfb=""
cleanup() {
  [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  "$session" stop "$dir" >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 1' TERM INT  # a test runner's timeout still cleans up

fail() { echo "FAIL: $*" >&2; [ -f "$dir/mixelot.log" ] && tail -20 "$dir/mixelot.log" >&2; exit 1; }
level() { "$session" level "$dir" speakers 0.5; }
below() { awk -v m="$1" -v l="$2" 'BEGIN { exit !(m == "-inf" || m < l) }'; }
above() { awk -v m="$1" -v l="$2" 'BEGIN { exit !(m != "-inf" && m > l) }'; }
# until_true <seconds> <command...>
until_true() {
  local end=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do [ $SECONDS -lt $end ] || return 1; sleep 0.1; done
}
speakers_muted() { wpctl get-volume "$(pw-dump | jq -r 'first(.[] | select(.info.props."node.name" == "speakers") | .id)')" | grep -q MUTED; }
silent() { below "$(level)" -60; }
playing() { above "$(level)" -40; }

"$session" start "$dir" >/dev/null
"$session" tone "$dir" org.example.Radio 440 --amplitude 0.5 --name Radio >/dev/null
source "$dir/env"
unset WAYLAND_DISPLAY

# A display of our own; the server picks a free number and tells it.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
xvfb=$!
until_true 10 test -s "$dir/display" || fail "Xvfb did not start: $(cat "$dir/xvfb.log")"
export DISPLAY=":$(cat "$dir/display")"

# Past the first-run introduction, which would otherwise come up on top with the keyboard.
mkdir -p "$XDG_CONFIG_HOME/com.corvana.Mixelot"
echo '{"onboardingShown": true}' >"$XDG_CONFIG_HOME/com.corvana.Mixelot/preferences.json"
"$mixelot" >"$dir/mixelot.log" 2>&1 &
pid=$!
until_true 10 grep -q 'Global shortcuts: X11 key grabs' "$dir/mixelot.log" \
  || fail "the program did not choose the X11 shortcuts"
until_true 10 grep -q 'Tap active for org.example.Radio' "$dir/mixelot.log" || fail "no chain"
playing || fail "Radio is not heard through the chain"

# press <description>: Alt+Shift+A mutes, the next one restores.
press_twice() {
  xdotool key alt+shift+a
  until_true 8 silent || fail "Alt+Shift+A $1 left the tone at $(level) dB"
  speakers_muted || fail "Alt+Shift+A $1: the output device is not muted"
  xdotool search --onlyvisible --name "Mixelot Overlay" >/dev/null || fail "no overlay on screen"
  xdotool key alt+shift+a
  until_true 8 playing || fail "Alt+Shift+A $1 again: the tone stays at $(level) dB"
  ! speakers_muted || fail "Alt+Shift+A $1 again: the output device stays muted"
  echo "Alt+Shift+A $1: muted and restored"
}

press_twice "with no lock"
xdotool key Caps_Lock
press_twice "with Caps Lock on"
xdotool key Num_Lock
press_twice "with Caps Lock and Num Lock on"
xdotool key Caps_Lock
press_twice "with Num Lock on"

# The last overlay closing must not end a program that has no other window.
until_true 5 bash -c '! xdotool search --onlyvisible --name "Mixelot Overlay"' || fail "the overlay stays"
sleep 0.5
kill -0 "$pid" || fail "the program ended with its overlay"
echo "PASS"
