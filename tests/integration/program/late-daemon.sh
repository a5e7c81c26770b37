#!/usr/bin/env bash
# End to end, as early in a login: the program starts on the session bus before the audio
# daemons, which come a moment later, and then an app plays. The program must take the app over
# once the daemons are there, and its volume over D-Bus must reach what Speakers play.
#   late-daemon.sh <path to mixelot> <repository root>
set -euo pipefail
mixelot="$1"
root="$2"
session="$root/scripts/pw-session"

# shellcheck source=session-checks.sh
source "$(dirname "$0")/session-checks.sh"
session_folder late

"$session" start "$dir" --no-audio >/dev/null
# Installed before the login, started after it.
"$session" tone "$dir" org.example.Radio 440 --name Radio --install-only
source "$dir/env"
unset DISPLAY WAYLAND_DISPLAY
start_program
until_true 10 mixer DefaultDevice || fail "the program never came on the bus"

"$session" start-audio "$dir" >/dev/null
"$session" tone "$dir" org.example.Radio 440 --amplitude 0.5 --name Radio >/dev/null
until_true 20 radio_handled || fail "Radio not handled; listed: $(mixer ListApps 2>&1)"
measure 0.3 "Radio untouched"
unity="$measured"
mixer SetVolume org.example.Radio 0.5 >/dev/null
measure 0.2 "Radio at 0.5"
near "$measured" "$(awk -v u="$unity" 'BEGIN { print u - 6.02 }')" 0.5 || fail "volume 0.5 gave $measured dB"
echo "PASS"
