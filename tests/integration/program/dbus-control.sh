#!/usr/bin/env bash
# End to end through the session bus: the real program, headless, against a private PipeWire
# session with a tone app on Speakers; every check measures what Speakers really play.
#   dbus-control.sh <path to mixelot> <repository root> [--pulse]
# --pulse: the app plays through the PulseAudio server, as most desktop apps do.
set -euo pipefail
mixelot="$1"
root="$2"
kind="${3:-}"
session="$root/scripts/pw-session"

# shellcheck source=session-checks.sh
source "$(dirname "$0")/session-checks.sh"
session_folder e2e
with_radio $kind
unset DISPLAY WAYLAND_DISPLAY

full="$(level)"
echo "Radio alone on Speakers: $full dB"

start_program
listed() { [[ "$(mixer ListApps)" == *org.example.Radio* ]]; }
until_true 10 listed || fail "Radio never listed: $(mixer ListApps 2>&1)"
echo "listed: $(mixer ListApps)"
[ "$(mixer DefaultDevice)" = "('speakers',)" ] || fail "default device: $(mixer DefaultDevice)"

# Untouched, the app plays straight to Speakers: the level must not change.
until_true 5 radio_handled || fail "Radio not handled"
measure 0.3 "Radio untouched"
near "$measured" "$full" 0.5 || fail "untouched: $measured dB, alone $full dB"

mixer SetVolume org.example.Radio 0.5 >/dev/null
measure 0.2 "Radio at 0.5"
half="$measured"
near "$half" "$(awk -v f="$full" 'BEGIN { print f - 6.02 }')" 0.5 || fail "volume 0.5 gave $half dB"

mixer ToggleMuteAll >/dev/null
measure 0.2 "after mute-all"
below "$measured" -60 || fail "mute-all left $measured dB"
mixer ToggleMuteAll >/dev/null
measure 0.2 "after restore"
near "$measured" "$half" 0.5 || fail "restore gave $measured dB, expected $half"

# The output picker's choice: Headphones become the session manager's configured default (the
# choice it keeps across restarts), and Radio, which follows the default, plays there at its
# level. An unknown device changes nothing.
if [ -z "$kind" ]; then
  default_is() { wpctl inspect @DEFAULT_AUDIO_SINK@ | grep -q "node.name = \"$1\""; }
  mixer SetDefaultDevice headphones >/dev/null
  until_true 5 default_is headphones || fail "headphones not the default: $(wpctl status)"
  pw-metadata 0 default.configured.audio.sink | grep -qF '{"name":"headphones"}' ||
    fail "not the configured default: $(pw-metadata 0)"
  sleep 0.5
  at_headphones="$("$session" level "$dir" headphones 0.6)"
  echo "Radio on Headphones after the switch: $at_headphones dB"
  near "$at_headphones" "$half" 0.5 || fail "Radio at $at_headphones dB on Headphones, not $half"
  measure 0 "Speakers after the switch"
  below "$measured" -60 || fail "Speakers still play $measured dB"
  mixer SetDefaultDevice nowhere >/dev/null
  mixer SetDefaultDevice speakers >/dev/null
  until_true 5 default_is speakers || fail "speakers not the default again"
  measure 0.5 "Radio back on Speakers"
  near "$measured" "$half" 0.5 || fail "back on Speakers at $measured dB, expected $half"
fi

# A script that starts a player for every notification sound: each new process plays at the
# app's level from its first 10 ms (0.1 of a -9 dB tone: -29 dB), never louder by 3 dB.
if [ "$kind" = --pulse ]; then
  mixer ToggleMute org.example.Radio >/dev/null
  pings="$("$session" pings "$dir" org.example.Pager 660 --child --interval 0.2)"
  pager_listed() { [[ "$(mixer ListApps)" == *org.example.Pager* ]]; }
  until_true 10 pager_listed || fail "Pager never listed: $(mixer ListApps 2>&1)"
  mixer SetVolume org.example.Pager 0.1 >/dev/null
  sleep 0.7
  "$session" record "$dir" speakers 3 "$dir/pings.wav"
  loudest="$(sox "$dir/pings.wav" -t dat - | awk '/^;/ { next } { s += $2 * $2 }
    ++n == 480 { db = 10 * log(s / n + 1e-24) / log(10); if (db > max) max = db; n = s = 0 }
    BEGIN { max = -1000 } END { printf "%.2f", max }')"
  echo "Pager at 0.1, loudest 10 ms: $loudest dB"
  below "$loudest" -26.03 || fail "a ping of Pager at 0.1 reached $loudest dB in 10 ms"
  above "$loudest" -32 || fail "no ping of Pager was heard ($loudest dB)"
  kill -TERM -- "-$pings"
  mixer ToggleMute org.example.Radio >/dev/null
fi

# Odd input gets the model's handling, never a crash.
mixer SetVolume org.example.Nobody 0.3 >/dev/null
mixer SetVolume org.example.Radio nan >/dev/null || true
mixer SetDeviceVolume org.example.Radio nowhere 7.0 >/dev/null
mixer SetVolume org.example.Radio 0.5 >/dev/null
kill -0 "$pid" || fail "the program died on odd input"

# A second launch hands over to the first and leaves with status 0.
shown="$(panel_shown)"
status=0
timeout 10 "$mixelot" >"$dir/second.log" 2>&1 || status=$?
[ "$status" = 0 ] || fail "second instance exited with $status"
[ "$shown" != "$(panel_shown)" ] || fail "the second launch did not toggle the panel ($shown)"
kill -0 "$pid" || fail "the first instance is gone"

# SIGTERM ends the program at once with status 1, and the app plays on unchanged.
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" = 1 ] || fail "SIGTERM gave status $status"
measure 0.5 "after we ended"
near "$measured" "$full" 0.5 || fail "after we ended, Radio plays at $measured dB instead of $full dB"
echo "PASS"
