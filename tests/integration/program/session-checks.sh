# Sourced by the program's end-to-end scripts after they set `session` (scripts/pw-session):
# a session folder removed on exit with the program ($pid) killed, and the checks they share.
#   session_folder <name>   makes $dir under /tmp
session_folder() {
  dir="$(mktemp -d "/tmp/mixelot-$1-XXXXXX")"
  pid=""
  trap cleanup EXIT
}
cleanup() {
  [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
  "$session" stop "$dir" >/dev/null 2>&1 || true
}

fail() { echo "FAIL: $*" >&2; [ -f "$dir/mixelot.log" ] && tail -20 "$dir/mixelot.log" >&2; exit 1; }
mixer() { gdbus call --session --dest com.corvana.Mixelot --object-path /com/corvana/Mixelot \
  --method "com.corvana.Mixelot.Mixer.$1" "${@:2}"; }
level() { "$session" level "$dir" speakers 0.6; }
# near <measured> <expected> <tolerance>
near() { awk -v m="$1" -v e="$2" -v t="$3" 'BEGIN { exit !(m - e <= t && e - m <= t) }'; }
# until_true <seconds> <command...>
until_true() {
  local end=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do [ $SECONDS -lt $end ] || return 1; sleep 0.1; done
}
