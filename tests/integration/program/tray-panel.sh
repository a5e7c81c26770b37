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
watcher_pid=$!
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
  --method "org.kde.StatusNotifierItem.$1" -- "${@:2}" >/dev/null; }
icon_is() { [ "$(prop IconName)" = "(<'$1'>,)" ]; }

icon_is audio-volume-high || fail "icon: $(prop IconName)"
prop ToolTip | grep -q "'Mixelot'" || fail "tooltip: $(prop ToolTip)"
menu="$(prop Menu | sed -E "s/.*objectpath '([^']*)'.*/\1/")"
layout() { gdbus call --session --dest "$item" --object-path "$menu" \
  --method com.canonical.dbusmenu.GetLayout -- 0 -1 "[]"; }
for label in "Open Mixer" "Mute All" "Settings…" "Quit Mixelot"; do
  grep -qF "'$label'" <<<"$(layout)" || fail "menu has no \"$label\": $(layout)"
done
grep -qF "{'type': <'separator'>}" <<<"$(layout)" || fail "menu has no separator: $(layout)"
# menu_event <label> clicks the menu's entry of that label, as a host does.
menu_event() {
  local id
  id="$(layout | grep -oP "\(\K[0-9]+(?=, \{'label': <'$1'>)")"
  gdbus call --session --dest "$item" --object-path "$menu" \
    --method com.canonical.dbusmenu.Event -- "$id" clicked "<0>" 0 >/dev/null
}

# The wheel on the icon moves the output by 5 % a notch (the host's 120 units); sideways not.
wp_volume() { wpctl get-volume @DEFAULT_AUDIO_SINK@ | awk '{ print $2 }'; }
mixer SetSystemVolume 0.5 >/dev/null
until_true 5 test "$(wp_volume)" = 0.50 || fail "output at $(wp_volume) after setting 0.5"
until_true 5 icon_is audio-volume-medium || fail "icon at half volume: $(prop IconName)"
# The host hears of what changed only: the tooltip's volume, not the icon (still medium).
signals() { grep -c "^signal $1\$" "$dir/watcher.log" || true; }
until_true 5 test "$(signals NewIcon)" -ge 1 || fail "no NewIcon for the medium icon"
icons="$(signals NewIcon)"
tips="$(signals NewToolTip)"
sni Scroll 120 vertical
until_true 5 test "$(wp_volume)" = 0.55 || fail "a notch up left the output at $(wp_volume)"
prop ToolTip | grep -q "Speakers: 55 %" || fail "tooltip at 55 %: $(prop ToolTip)"
until_true 5 test "$(signals NewToolTip)" -gt "$tips" || fail "no NewToolTip for the new volume"
[ "$(signals NewIcon)" = "$icons" ] || fail "NewIcon for an unchanged icon"
# A menu about to show refreshes the state; with nothing changed, the host hears nothing.
heard="$(grep -c '^signal' "$dir/watcher.log")"
gdbus call --session --dest "$item" --object-path "$menu" \
  --method com.canonical.dbusmenu.AboutToShow 0 >/dev/null
sleep 0.3
[ "$(grep -c '^signal' "$dir/watcher.log")" = "$heard" ] || fail "signals for no change"
sni Scroll 120 horizontal
sni Scroll -240 Vertical
until_true 5 test "$(wp_volume)" = 0.45 || fail "two notches down left the output at $(wp_volume)"
mixer SetSystemVolume 1.0 >/dev/null
until_true 5 icon_is audio-volume-high || fail "icon at full volume: $(prop IconName)"

# The desktop's panel restarts: the item registers with the new watcher.
kill "$watcher_pid"
"$watcher" >"$dir/watcher2.log" 2>&1 &
helpers+=($!)
until_true 10 grep -q "^registered $item" "$dir/watcher2.log" ||
  fail "no registration with the restarted watcher: $(cat "$dir/watcher2.log")"

# The panel's window exists from launch on, unmapped.
until_true 10 xdotool search --all --class --name '^Mixelot$' || fail "no panel window"
window="$(xdotool search --all --class --name '^Mixelot$' | head -1)"
mapped() { xwininfo -id "$window" | grep -q 'Map State: IsViewable'; }
# The panel asks for the focus once it is mapped; keys go where the focus is.
focused() { mapped && [ "$(xdotool getwindowfocus)" = "$window" ]; }
mapped && fail "the panel is on screen at launch"

# A click on the icon (Activate) shows the panel at the pointer, inside the screen.
xdotool mousemove 1270 5
sni Activate 0 0
until_true 10 focused || fail "Activate did not show the panel with the keyboard focus"
[ "$(panel_shown)" = "(<true>,)" ] || fail "panel shown but not refreshing: $(panel_shown)"
eval "$(xdotool getwindowgeometry --shell "$window")"
echo "panel at $X,$Y size ${WIDTH}x$HEIGHT"
[ "$WIDTH" = 320 ] || fail "panel width $WIDTH"
[ $((X + WIDTH)) -le 1280 ] && [ "$Y" -ge 10 ] && [ "$Y" -le 20 ] || fail "panel placed at $X,$Y"

# A second click hides it and stops the refresh.
sni Activate 0 0
until_true 10 bash -c "! xwininfo -id $window | grep -q IsViewable" || fail "second Activate left the panel"
[ "$(panel_shown)" = "(<false>,)" ] || fail "refresh still running after the panel closed"

# Like a popover, it goes on Escape and when another window takes the focus.
hidden() { ! mapped && [ "$(panel_shown)" = "(<false>,)" ]; }
sni Activate 0 0
until_true 10 focused || fail "the panel did not open again with the focus"
xdotool key Escape
until_true 10 hidden ||
  fail "Escape left the panel open ($(xwininfo -id "$window" | grep 'Map State'), $(panel_shown))"
sni Activate 0 0
until_true 10 focused || fail "the panel did not open again with the focus"
xdotool windowfocus "$(xwininfo -root | awk '/Window id/ { print $4 }')"
until_true 10 hidden ||
  fail "losing the focus left the panel open ($(xwininfo -id "$window" | grep 'Map State'), $(panel_shown))"

# A click on the icon where the host tells the position (a bottom bar's icon at 900,790) shows
# the panel centred above it, wherever the pointer is.
xdotool mousemove 100 100
sleep 0.5  # past the click-after-focus-loss guard
sni Activate 900 790
until_true 10 focused || fail "Activate(900, 790) did not show the panel"
eval "$(xdotool getwindowgeometry --shell "$window")"
echo "panel for a click at 900,790: $X,$Y size ${WIDTH}x$HEIGHT"
[ "$X" = $((900 - WIDTH / 2)) ] && [ $((Y + HEIGHT)) = 786 ] || fail "panel placed at $X,$Y"
sni Activate 900 790
until_true 10 bash -c "! xwininfo -id $window | grep -q IsViewable" || fail "the panel stayed"

# Mute-all from the menu turns the icon; a middle click (SecondaryActivate) restores.
[ "$(prop Status)" = "(<'Active'>,)" ] || fail "status: $(prop Status)"
menu_event "Mute All"
until_true 5 icon_is audio-volume-muted || fail "icon after mute-all: $(prop IconName)"
[ "$(prop Status)" = "(<'NeedsAttention'>,)" ] || fail "muted status: $(prop Status)"
prop ToolTip | grep -q "'Mixelot (Muted)'" || fail "muted tooltip: $(prop ToolTip)"
grep -qF "'Restore'" <<<"$(layout)" || fail "muted, the menu offers no Restore: $(layout)"
sni SecondaryActivate 0 0
until_true 5 icon_is audio-volume-high || fail "icon after middle click: $(prop IconName)"

# The keyboard reaches Radio's slider in the panel and moves it down: Radio plays softer. Tab
# walks the controls; Page Down on each shows which one is Radio's slider (on the system slider
# it lowers the output, which is put back after).
radio_volume() { mixer ListApps | grep -oP "'org.example.Radio', '[^']*', \K[0-9.e-]+"; }
radio_below() { awk -v v="$(radio_volume)" -v l="$1" 'BEGIN { exit !(v < l) }'; }
# A click just after a close by focus loss counts as the click that took the focus: wait it out.
sleep 0.5
sni Activate 0 0
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
