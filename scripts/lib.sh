# Lines said time-stamp $TOVRIN_SAID, one file a run, shared with the scripts it runs: quiet
# speaks up only after 15 s without one, so that a phase of many short commands is not silent
# either. Another run's files are left alone for an hour.
mkdir -p build
find build -maxdepth 1 -name 'said-*' -mmin +60 -delete
export TOVRIN_SAID="${TOVRIN_SAID:-$PWD/build/said-$$}"
say() {
  echo "$@"
  touch "$TOVRIN_SAID"
}

# need [--no-install-recommends] PACKAGE... installs those not installed yet, as root;
# apt's output shows only if it fails, condensed meanwhile as quiet does.
need() {
  need_options= need_missing=
  if [ "$1" = --no-install-recommends ]; then need_options=$1; shift; fi
  for need_package; do
    dpkg-query -W -f='${Status}' "$need_package" 2>/dev/null | grep -q ' installed$' ||
      need_missing="$need_missing $need_package"
  done
  [ -n "$need_missing" ] || return 0
  [ -n "${need_updated:-}" ] || { say "== apt-get update"; quiet apt-get update -q; need_updated=1; }
  set -- $need_missing
  say "== installing $# packages and what they depend on:$need_missing"
  quiet --progress apt_progress env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q -o APT::Status-Fd=1 $need_options $need_missing
}

# apt_progress LOG: apt's last status line (APT::Status-Fd) as "how far: what it does".
apt_progress() {
  sed -n 's/^[dp][lm]status:.*:\([0-9]*\)\.[0-9]*:\(.*\)$/\1%: \2/p' "$1" | tail -n 1 | cut -c 1-100
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

# quiet [--log FILE] [--progress FUNCTION] CMD... runs CMD with its output in a log (FILE, kept,
# or a temporary one); only if it fails, shows the command, its exit status and the log. While
# CMD runs, after 15 s without a line said, a line says how long it has run and how far it got:
# what FUNCTION LOG prints, by default the log's last line.
quiet() {
  quiet_log= quiet_keep= quiet_progress=last_line
  while :; do
    case $1 in
      --log) quiet_log=$2 quiet_keep=1; shift 2;;
      --progress) quiet_progress=$2; shift 2;;
      *) break;;
    esac
  done
  [ -n "$quiet_log" ] || quiet_log=$(mktemp)
  : >"$quiet_log"
  ticker "$quiet_log" "$quiet_progress" &
  quiet_ticker=$!
  "$@" >"$quiet_log" 2>&1 && quiet_status=0 || quiet_status=$?
  kill $quiet_ticker 2>/dev/null; wait $quiet_ticker 2>/dev/null || true
  [ $quiet_status -eq 0 ] || { echo "failed (exit status $quiet_status): $*"; cat "$quiet_log"; } >&2
  [ -n "$quiet_keep" ] || rm -f "$quiet_log"
  return $quiet_status
}

# ticker LOG FUNCTION: quiet's progress lines, while this script lives (a stopped script's
# ticker ends within a second).
ticker() {
  ticker_start=$(date +%s)
  while sleep 1 && kill -0 $$ 2>/dev/null; do
    ticker_said=$(stat -c %Y "$TOVRIN_SAID" 2>/dev/null || echo "$ticker_start")
    [ $(($(date +%s) - ticker_said)) -ge 15 ] || continue
    ticker_text=$("$2" "$1")
    say "  ... $(($(date +%s) - ticker_start)) s${ticker_text:+: $ticker_text}"
  done
}

# pytest_progress LOG: how far pytest -q has got, from its one character per test.
pytest_progress() {
  echo "$(grep -o '^[.sFEXx]*' "$1" | tr -d '\n' | wc -c) tests done"
}

last_line() {
  tail -n 1 "$1" | tr -d '\r' | cut -c 1-100
}

# isolated CMD... runs CMD in a network namespace of its own: loopback only, every port free.
isolated() {
  unshare --net sh -c 'ip link set lo up && exec "$@"' sh "$@"
}

# in_view CMD... runs CMD in a throwaway view of this machine: a private mount namespace, /
# overlaid by a layer on a tmpfs, chrooted; only what CMD writes in this directory (the host's
# own, bound in) outlives it. The network stays the host's, for apt; isolated for ports.
in_view() {
  unshare --mount --propagation private sh -euc '
    mount -t tmpfs view /mnt && mkdir /mnt/up /mnt/work /mnt/root
    mount -t overlay -o lowerdir=/,upperdir=/mnt/up,workdir=/mnt/work view /mnt/root
    cd /mnt/root && mount -t proc proc proc && mount -t sysfs sys sys && mount --rbind /dev dev
    mount -t tmpfs run run && mount -t tmpfs -o mode=1777 tmp tmp
    mkdir -p ".$0" && mount --bind "$0" ".$0" # also when under /tmp or /run
    exec chroot . sh -c "cd \"\$0\" && exec \"\$@\"" "$0" "$@"' "$PWD" "$@"
}

# views says whether this machine lets in_view and isolated run (root, namespaces allowed);
# if not, why on standard error.
views() {
  unshare --mount --net sh -c 'ip link set lo up && mount -t tmpfs probe /mnt'
}
