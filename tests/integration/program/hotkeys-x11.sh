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

# shellcheck source=session-checks.sh
source "$(dirname "$0")/session-checks.sh"
session_folder keys
level_seconds=0.5
speakers_muted() { wpctl get-volume "$(pw-dump | jq -r 'first(.[] | select(.info.props."node.name" == "speakers") | .id)')" | grep -q MUTED; }
silent() { below "$(level)" -60; }
playing() { above "$(level)" -40; }

with_radio
start_xvfb
skip_introduction
start_program
until_true 10 grep -q 'Global shortcuts: X11 key grabs' "$dir/mixelot.log" \
  || fail "the program did not choose the X11 shortcuts"
until_true 10 radio_chained || fail "no chain"
playing || fail "Radio is not heard through the chain"

# press <description>: Alt+Shift+A mutes, the next one restores.
press_twice() {
  xdotool key alt+shift+a
  # The overlay shows for 1.5 s: look for it first, as a busy machine can take longer than that
  # to measure the level.
  until_true 5 xdotool search --onlyvisible --name "Mixelot Overlay" || fail "no overlay on screen"
  until_true 8 silent || fail "Alt+Shift+A $1 left the tone at $(level) dB"
  speakers_muted || fail "Alt+Shift+A $1: the output device is not muted"
  xdotool key alt+shift+a
  until_true 8 playing || fail "Alt+Shift+A $1 again: the tone stays at $(level) dB"
  ! speakers_muted || fail "Alt+Shift+A $1 again: the output device stays muted"
  # Gone before the next press, so that the next look sees that press's own overlay.
  until_true 5 bash -c '! xdotool search --onlyvisible --name "Mixelot Overlay"' || fail "the overlay stays"
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
sleep 0.5
kill -0 "$pid" || fail "the program ended with its overlay"
echo "PASS"
