# need [--no-install-recommends] PACKAGE... installs those not installed yet, as root;
# apt's output shows only if it fails.
need() {
  need_options= need_missing=
  if [ "$1" = --no-install-recommends ]; then need_options=$1; shift; fi
  for need_package; do
    dpkg-query -W -f='${Status}' "$need_package" 2>/dev/null | grep -q ' installed$' ||
      need_missing="$need_missing $need_package"
  done
  [ -n "$need_missing" ] || return 0
  echo "installing:$need_missing"
  [ -n "${need_updated:-}" ] || { quiet apt-get update -q; need_updated=1; }
  quiet env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $need_options $need_missing
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

# views says whether this machine lets in_view and isolated run (root, namespaces allowed).
views() {
  unshare --mount --net sh -c 'ip link set lo up && mount -t tmpfs probe /mnt' 2>/dev/null
}
