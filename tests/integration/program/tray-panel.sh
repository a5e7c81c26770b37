#!/usr/bin/env bash
# The tray icon and the panel end to end: the real program on a private X server (Xvfb) and a
# private PipeWire session whose bus carries a stand-in for the desktop's tray watcher.
#   tray-panel.sh <path to mixelot> <path to tray-watcher> <repository root>
set -euo pipefail
mixelot="$1"
watcher="$2"
root="$3"
session="$root/scripts/pw-session"

# shellcheck source=session-checks.sh
source "$(dirname "$0")/session-checks.sh"
session_folder tray
poll=0.05

with_radio
full="$(level)"
echo "Radio alone on Speakers: $full dB"
start_xvfb

"$watcher" >"$dir/watcher.log" 2>&1 &
helpers+=($!)
until_true 10 grep -q ready "$dir/watcher.log" || fail "no tray watcher: $(cat "$dir/watcher.log")"

skip_introduction
start_program
until_true 15 grep -q '^registered ' "$dir/watcher.log" || fail "the tray icon never registered"
item="$(awk '/^registered /{ print $2; exit }' "$dir/watcher.log")"
echo "tray item: $item"
prop() { gdbus call --session --dest "$item" --object-path /StatusNotifierItem \
  --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierItem "$1"; }
sni() { gdbus call --session --dest "$item" --object-path /StatusNotifierItem \
  --method "org.kde.StatusNotifierItem.$1" 0 0 >/dev/null; }
icon_is() { [ "$(prop IconName)" = "(<'$1'>,)" ]; }

icon_is audio-volume-high || fail "icon: $(prop IconName)"
prop ToolTip | grep -q "'Mixelot'" || fail "tooltip: $(prop ToolTip)"
menu="$(prop Menu | sed -E "s/.*objectpath '([^']*)'.*/\1/")"
layout() { gdbus call --session --dest "$item" --object-path "$menu" \
  --method com.canonical.dbusmenu.GetLayout -- 0 -1 "[]"; }
for label in "Open Mixer" "Mute All" "Settings…" "Quit Mixelot"; do
  grep -qF "'$label'" <<<"$(layout)" || fail "menu has no \"$label\": $(layout)"
done

# The panel's window exists from launch on, unmapped.
until_true 10 xdotool search --all --class --name '^Mixelot$' || fail "no panel window"
window="$(xdotool search --all --class --name '^Mixelot$' | head -1)"
mapped() { xwininfo -id "$window" | grep -q 'Map State: IsViewable'; }
# The panel asks for the focus once it is mapped; keys go where the focus is.
focused() { mapped && [ "$(xdotool getwindowfocus)" = "$window" ]; }
mapped && fail "the panel is on screen at launch"

# A click on the icon (Activate) shows the panel at the pointer, inside the screen.
xdotool mousemove 1270 5
sni Activate
until_true 10 focused || fail "Activate did not show the panel with the keyboard focus"
[ "$(panel_shown)" = "(<true>,)" ] || fail "panel shown but not refreshing: $(panel_shown)"
eval "$(xdotool getwindowgeometry --shell "$window")"
echo "panel at $X,$Y size ${WIDTH}x$HEIGHT"
[ "$WIDTH" = 320 ] || fail "panel width $WIDTH"
[ $((X + WIDTH)) -le 1280 ] && [ "$Y" -ge 10 ] && [ "$Y" -le 20 ] || fail "panel placed at $X,$Y"

# A second click hides it and stops the refresh.
sni Activate
until_true 10 bash -c "! xwininfo -id $window | grep -q IsViewable" || fail "second Activate left the panel"
[ "$(panel_shown)" = "(<false>,)" ] || fail "refresh still running after the panel closed"

# Like a popover, it goes on Escape and when another window takes the focus.
hidden() { ! mapped && [ "$(panel_shown)" = "(<false>,)" ]; }
sni Activate
until_true 10 focused || fail "the panel did not open again with the focus"
xdotool key Escape
until_true 10 hidden ||
  fail "Escape left the panel open ($(xwininfo -id "$window" | grep 'Map State'), $(panel_shown))"
sni Activate
until_true 10 focused || fail "the panel did not open again with the focus"
xdotool windowfocus "$(xwininfo -root | awk '/Window id/ { print $4 }')"
until_true 10 hidden ||
  fail "losing the focus left the panel open ($(xwininfo -id "$window" | grep 'Map State'), $(panel_shown))"

# Mute-all over the bus turns the icon; a middle click (SecondaryActivate) restores.
mixer ToggleMuteAll >/dev/null
until_true 5 icon_is audio-volume-muted || fail "icon after mute-all: $(prop IconName)"
prop ToolTip | grep -q "'Mixelot (Muted)'" || fail "muted tooltip: $(prop ToolTip)"
grep -qF "'Restore'" <<<"$(layout)" || fail "muted, the menu offers no Restore: $(layout)"
sni SecondaryActivate
until_true 5 icon_is audio-volume-high || fail "icon after middle click: $(prop IconName)"

# The keyboard reaches Radio's slider in the panel and moves it down: Radio plays softer. Tab
# walks the controls; Page Down on each shows which one is Radio's slider (on the system slider
# it lowers the output, which is put back after).
radio_volume() { mixer ListApps | grep -oP "'org.example.Radio', '[^']*', \K[0-9.e-]+"; }
radio_below() { awk -v v="$(radio_volume)" -v l="$1" 'BEGIN { exit !(v < l) }'; }
# A click just after a close by focus loss counts as the click that took the focus: wait it out.
sleep 0.5
sni Activate
until_true 10 focused || fail "the panel did not open for the slider"
found=""
for _ in $(seq 12); do
  xdotool key Tab Next
  if until_true 1 radio_below 0.95; then found=1; break; fi
done
[ -n "$found" ] || fail "Tab and Page Down never reached Radio's slider"
mixer SetSystemVolume 1.0 >/dev/null
xdotool key Next Next Next Next Next
until_true 5 radio_below 0.45 || fail "Page Down left Radio at $(radio_volume)"
measure 0.3 "Radio at $(radio_volume) from the panel"
below "$measured" "$(awk -v f="$full" 'BEGIN { print f - 6 }')" || fail "Radio still plays at $measured dB"
echo "PASS"
