# Sourced by the scripts. quiet CMD... runs CMD with its output kept aside
# and shows that output, with the command, only when CMD fails.
quiet() {
  quiet_log=$(mktemp)
  quiet_status=0
  "$@" >"$quiet_log" 2>&1 || quiet_status=$?
  if [ "$quiet_status" -ne 0 ]; then
    echo "failed (exit status $quiet_status): $*" >&2
    cat "$quiet_log" >&2
  fi
  rm -f "$quiet_log"
  return "$quiet_status"
}
