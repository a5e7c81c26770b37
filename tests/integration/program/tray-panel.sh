#!/usr/bin/env bash
# The tray icon and the panel end to end: the real program on a private X server (Xvfb) and a
# private PipeWire session whose bus carries a stand-in for the desktop's tray watcher.
#   tray-panel.sh <path to mixelot> <path to tray-watcher> <repository root>
set -euo pipefail
mixelot="$1"
watcher="$2"
root="$3"
session="$root/scripts/pw-session"

dir="$(mktemp -d /tmp/mixelot-tray-XXXXXX)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do { kill -9 "$p" && wait "$p"; } 2>/dev/null || true; done
  "$session" stop "$dir" >/dev/null 2>&1 || true
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; [ -f "$dir/mixelot.log" ] && tail -20 "$dir/mixelot.log" >&2; exit 1; }
# until_true <seconds> <command...>
until_true() {
  local end=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do [ $SECONDS -lt $end ] || return 1; sleep 0.05; done
}
mixer() { gdbus call --session --dest com.corvana.Mixelot --object-path /com/corvana/Mixelot \
  --method "com.corvana.Mixelot.Mixer.$1" "${@:2}"; }
panel_shown() { gdbus call --session --dest com.corvana.Mixelot --object-path /com/corvana/Mixelot \
  --method org.freedesktop.DBus.Properties.Get com.corvana.Mixelot.Mixer PanelShown; }
level() { "$session" level "$dir" speakers 0.6; }
below() { awk -v m="$1" -v l="$2" 'BEGIN { exit !(m == "-inf" || m < l) }'; }

"$session" start "$dir" >/dev/null
"$session" tone "$dir" org.example.Radio 440 --amplitude 0.5 --name Radio >/dev/null
source "$dir/env"
full="$(level)"
echo "Radio alone on Speakers: $full dB"

# A display of our own: Xvfb picks a free number and tells it.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
pids+=($!)
until_true 15 test -s "$dir/display" || fail "Xvfb did not start: $(cat "$dir/xvfb.log")"
export DISPLAY=":$(head -1 "$dir/display")"
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY

"$watcher" >"$dir/watcher.log" 2>&1 &
pids+=($!)
until_true 10 grep -q ready "$dir/watcher.log" || fail "no tray watcher: $(cat "$dir/watcher.log")"

# Past the first-run introduction, which would otherwise come up on top with the keyboard.
mkdir -p "$XDG_CONFIG_HOME/com.corvana.Mixelot"
echo '{"onboardingShown": true}' >"$XDG_CONFIG_HOME/com.corvana.Mixelot/preferences.json"
"$mixelot" >"$dir/mixelot.log" 2>&1 &
pids+=($!)
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
window=""
until_true 10 bash -c "xdotool search --all --class --name '^Mixelot$' >/dev/null" || fail "no panel window"
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
until_true 5 radio_below 0.45 ||
  fail "Page Down left Radio at $(radio_volume)"
sleep 0.3
soft="$(level)"
echo "Radio at $(radio_volume) from the panel: $soft dB"
below "$soft" "$(awk -v f="$full" 'BEGIN { print f - 6 }')" || fail "Radio still plays at $soft dB"
echo "PASS"
