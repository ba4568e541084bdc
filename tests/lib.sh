# Sourced by the scripts (quick start, tests, benchmark).

# need [--no-install-recommends] PACKAGE... installs from Debian, as root,
# whichever of the packages is not installed yet.
need() {
  need_options=
  if [ "$1" = --no-install-recommends ]; then need_options=$1; shift; fi
  need_missing=
  for need_package in "$@"; do
    dpkg-query -W -f='${Status}' "$need_package" 2>/dev/null | grep -q ' installed$' ||
      need_missing="$need_missing $need_package"
  done
  [ -n "$need_missing" ] || return 0
  export DEBIAN_FRONTEND=noninteractive
  [ -n "${need_updated:-}" ] || apt-get update -q
  need_updated=1
  apt-get install -y -q $need_options $need_missing
}

# listening PID LOG waits up to 10 s for the stand-in server PID to say in
# LOG that it listens; if it does not, shows LOG and fails.
listening() {
  listening_tries=0
  until grep -q 'listening on' "$2" 2>/dev/null; do
    listening_tries=$((listening_tries + 1))
    if [ $listening_tries -gt 100 ] || ! kill -0 "$1" 2>/dev/null; then
      echo "the stand-in server did not start:" >&2; cat "$2" >&2; return 1
    fi
    sleep 0.1
  done
}

# quiet CMD... runs CMD with its output kept aside and shows that output,
# with the command, only when CMD fails.
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
