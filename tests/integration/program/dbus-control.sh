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
below() { awk -v m="$1" -v l="$2" 'BEGIN { exit !(m == "-inf" || m < l) }'; }

"$session" start "$dir" >/dev/null
"$session" tone "$dir" org.example.Radio 440 --amplitude 0.5 --name Radio $kind >/dev/null
source "$dir/env"
unset DISPLAY WAYLAND_DISPLAY

full="$(level)"
echo "Radio alone on Speakers: $full dB"

"$mixelot" >"$dir/mixelot.log" 2>&1 &
pid=$!
until_true 10 bash -c "gdbus call --session --dest com.corvana.Mixelot --object-path /com/corvana/Mixelot \
  --method com.corvana.Mixelot.Mixer.ListApps | grep -q org.example.Radio" \
  || fail "Radio never listed: $(mixer ListApps 2>&1)"
echo "listed: $(mixer ListApps)"
[ "$(mixer DefaultDevice)" = "('speakers',)" ] || fail "default device: $(mixer DefaultDevice)"

# The chain carries the app at unity first: the level must not change.
until_true 5 bash -c "grep -q 'Tap active for org.example.Radio' '$dir/mixelot.log'" || fail "no chain"
sleep 0.3
unity="$(level)"
near "$unity" "$full" 0.5 || fail "through the chain at unity: $unity dB, alone $full dB"

mixer SetVolume org.example.Radio 0.5 >/dev/null
sleep 0.2
half="$(level)"
echo "Radio at 0.5: $half dB"
near "$half" "$(awk -v f="$full" 'BEGIN { print f - 6.02 }')" 0.5 || fail "volume 0.5 gave $half dB"

mixer ToggleMuteAll >/dev/null
sleep 0.2
muted="$(level)"
echo "after mute-all: $muted dB"
below "$muted" -60 || fail "mute-all left $muted dB"
mixer ToggleMuteAll >/dev/null
sleep 0.2
restored="$(level)"
echo "after restore: $restored dB"
near "$restored" "$half" 0.5 || fail "restore gave $restored dB, expected $half"

# Odd input gets the model's handling, never a crash.
mixer SetVolume org.example.Nobody 0.3 >/dev/null
mixer SetVolume org.example.Radio nan >/dev/null || true
mixer SetDeviceVolume org.example.Radio nowhere 7.0 >/dev/null
mixer SetVolume org.example.Radio 0.5 >/dev/null
kill -0 "$pid" || fail "the program died on odd input"

# A second launch hands over to the first and leaves with status 0.
shown="$(gdbus call --session --dest com.corvana.Mixelot --object-path /com/corvana/Mixelot \
  --method org.freedesktop.DBus.Properties.Get com.corvana.Mixelot.Mixer PanelShown)"
status=0
timeout 10 "$mixelot" >"$dir/second.log" 2>&1 || status=$?
[ "$status" = 0 ] || fail "second instance exited with $status"
shown_after="$(gdbus call --session --dest com.corvana.Mixelot --object-path /com/corvana/Mixelot \
  --method org.freedesktop.DBus.Properties.Get com.corvana.Mixelot.Mixer PanelShown)"
[ "$shown" != "$shown_after" ] || fail "the second launch did not toggle the panel ($shown)"
kill -0 "$pid" || fail "the first instance is gone"

# SIGTERM ends the program at once with status 1, and the app plays on unchanged.
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" = 1 ] || fail "SIGTERM gave status $status"
sleep 0.5
after="$(level)"
near "$after" "$full" 0.5 || fail "after we ended, Radio plays at $after dB instead of $full dB"
echo "PASS"
