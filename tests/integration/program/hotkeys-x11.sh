#!/usr/bin/env bash
# The global shortcuts of the real program on an X11 display (a private Xvfb) against a private
# PipeWire session: Alt+Shift+A, pressed with xdotool while no window of ours has the keyboard,
# mutes the tone apps and the output device and restores them, with the overlay on screen, also
# with Caps Lock and Num Lock on. With two windows, each of one tone app, and the window manager's
# active window set as a window manager sets it: Ctrl+Alt+M (and the bus's ToggleMuteFocused and
# ChangeFocusedVolume) act on the app of the active window only.
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
music_pid="$("$session" tone "$dir" org.example.Music 660 --amplitude 0.1 --name Music)"
start_xvfb
# window_for <title> <pid>: a window of that process, its id in $window.
window_for() {
  xmessage -title "$1" -geometry 120x40+0+0 "$1" >/dev/null 2>&1 &
  helpers+=($!)
  until_true 5 xdotool search --name "^$1\$" || fail "no window $1"
  window="$(xdotool search --name "^$1\$" | head -1)"
  xprop -id "$window" -f _NET_WM_PID 32c -set _NET_WM_PID "$2"
}
focus() { xprop -root -f _NET_ACTIVE_WINDOW 32x -set _NET_ACTIVE_WINDOW "$1"; }
# Radio alone plays at -9 dB, Music alone at -23 dB.
music_only() { local l; l="$(level)"; below "$l" -17 && above "$l" -30; }
window_for radio-window "$radio_pid"
radio_window="$window"
window_for music-window "$music_pid"
# What a window manager announces (set while the windows keep the server from resetting).
xprop -root -f _NET_SUPPORTED 32a -set _NET_SUPPORTED _NET_ACTIVE_WINDOW
skip_introduction
# Ctrl+Alt+M (key code 46, control and option) mutes the focused app.
echo '{"onboardingShown": true, "muteFocusedHotkeyKeyCode": 46, "muteFocusedHotkeyModifiers": 786432,
  "muteFocusedHotkeyKeyChar": "M"}' >"$XDG_CONFIG_HOME/com.corvana.Mixelot/preferences.json"
start_program
until_true 10 grep -q 'Global shortcuts: X11 key grabs' "$dir/mixelot.log" \
  || fail "the program did not choose the X11 shortcuts"
until_true 10 radio_handled || fail "Radio not handled"
playing || fail "Radio is not heard"

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

until_true 10 grep -qE 'Tap active for org.example.Music|Untouched: org.example.Music ' "$dir/mixelot.log" || fail "Music not handled"
focus "$radio_window"
xdotool key ctrl+alt+m
until_true 5 xdotool search --onlyvisible --name "Mixelot Overlay" || fail "no overlay for the focused app"
until_true 8 music_only || fail "Ctrl+Alt+M on Radio's window left $(level) dB"
measure 0 "Ctrl+Alt+M on Radio's window, Music still playing"
focus "$window"
mixer ToggleMuteFocused >/dev/null
until_true 8 silent || fail "ToggleMuteFocused on Music's window left $(level) dB"
measure 0 "ToggleMuteFocused on Music's window too"
mixer ChangeFocusedVolume 0.05 >/dev/null
until_true 8 music_only || fail "ChangeFocusedVolume 0.05 did not bring Music back: $(level) dB"
measure 0 "ChangeFocusedVolume 0.05 on Music's window"

# The last overlay closing must not end a program that has no other window.
sleep 0.5
kill -0 "$pid" || fail "the program ended with its overlay"
echo "PASS"
