# need [--no-install-recommends] PACKAGE... installs those not installed yet, as root.
need() {
  need_options= need_missing=
  if [ "$1" = --no-install-recommends ]; then need_options=$1; shift; fi
  for need_package; do
    dpkg-query -W -f='${Status}' "$need_package" 2>/dev/null | grep -q ' installed$' ||
      need_missing="$need_missing $need_package"
  done
  [ -n "$need_missing" ] || return 0
  [ -n "${need_updated:-}" ] || { apt-get update -q; need_updated=1; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q $need_options $need_missing
}

# listening PID LOG waits up to 10 s for the stand-in server PID to log that it listens, or shows LOG.
listening() {
  for listening_try in $(seq 100); do
    grep -q 'listening on' "$2" 2>/dev/null && return 0
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  echo "the stand-in server did not start:" >&2; cat "$2" >&2; return 1
}

# quiet CMD... runs CMD; only if it fails, shows the command, its exit status and output.
quiet() {
  quiet_log=$(mktemp)
  "$@" >"$quiet_log" 2>&1 && quiet_status=0 || quiet_status=$?
  [ $quiet_status -eq 0 ] || { echo "failed (exit status $quiet_status): $*"; cat "$quiet_log"; } >&2
  rm -f "$quiet_log"; return $quiet_status
}
