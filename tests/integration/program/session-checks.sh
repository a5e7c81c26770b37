# Sourced by the program's end-to-end scripts after they set `mixelot` and, when they have an
# audio session, `session` (scripts/pw-session): a session folder removed on exit with the
# program ($pid) and the helpers ($helpers) killed, and the steps and checks they share.
#   session_folder <name>   makes $dir under /tmp
session_folder() {
  dir="$(mktemp -d "/tmp/mixelot-$1-XXXXXX")"
  pid=""
  helpers=()
  trap cleanup EXIT
  trap 'exit 1' TERM INT  # a test runner's timeout still cleans up
}
# Its kills and waits leave the script's result alone.
cleanup() {
  if [ -n "$pid" ]; then { kill -9 "$pid"; wait "$pid"; } 2>/dev/null || true; fi
  for p in "${helpers[@]}"; do { kill "$p"; wait "$p"; } 2>/dev/null || true; done
  if [ -n "${session:-}" ]; then "$session" stop "$dir" >/dev/null 2>&1 || true; fi
  rm -rf "$dir"
}

# with_radio [tone options]: the session with the tone app Radio ($radio_pid) on Speakers; this
# shell in it.
with_radio() {
  "$session" start "$dir" >/dev/null
  radio_pid="$("$session" tone "$dir" org.example.Radio 440 --amplitude 0.5 --name Radio "$@")"
  source "$dir/env"
}
# An X server of our own: it picks a free display number and tells it.
start_xvfb() {
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
  helpers+=($!)
  until_true 15 test -s "$dir/display" || fail "Xvfb did not start: $(cat "$dir/xvfb.log")"
  export DISPLAY=":$(head -1 "$dir/display")" QT_QPA_PLATFORM=xcb
  unset WAYLAND_DISPLAY
}
# Past the first-run introduction, which would otherwise come up on top with the keyboard.
skip_introduction() {
  mkdir -p "$XDG_CONFIG_HOME/com.corvana.Mixelot"
  echo '{"onboardingShown": true}' >"$XDG_CONFIG_HOME/com.corvana.Mixelot/preferences.json"
}
start_program() {
  "$mixelot" >>"$dir/mixelot.log" 2>&1 &
  pid=$!
}

fail() { echo "FAIL: $*" >&2; [ -f "$dir/mixelot.log" ] && tail -20 "$dir/mixelot.log" >&2; exit 1; }
mixer() { gdbus call --session --dest com.corvana.Mixelot --object-path /com/corvana/Mixelot \
  --method "com.corvana.Mixelot.Mixer.$1" "${@:2}"; }
panel_shown() { gdbus call --session --dest com.corvana.Mixelot --object-path /com/corvana/Mixelot \
  --method org.freedesktop.DBus.Properties.Get com.corvana.Mixelot.Mixer PanelShown; }
radio_handled() { grep -qE "Tap active for org.example.Radio|Untouched: org.example.Radio " "$dir/mixelot.log"; }
level() { "$session" level "$dir" speakers "${level_seconds:-0.6}"; }
# measure <seconds> <what>: after a wait, $measured is what Speakers play, printed as <what>.
measure() { sleep "$1"; measured="$(level)"; echo "$2: $measured dB"; }
# near <measured> <expected> <tolerance>; below/above <measured> <limit>
near() { awk -v m="$1" -v e="$2" -v t="$3" 'BEGIN { exit !(m - e <= t && e - m <= t) }'; }
below() { awk -v m="$1" -v l="$2" 'BEGIN { exit !(m == "-inf" || m < l) }'; }
above() { awk -v m="$1" -v l="$2" 'BEGIN { exit !(m != "-inf" && m > l) }'; }
# until_true <seconds> <command...>, trying every $poll seconds
until_true() {
  local end=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do [ $SECONDS -lt $end ] || return 1; sleep "${poll:-0.1}"; done
}
