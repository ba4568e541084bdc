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

# within SECONDS CMD... runs CMD every 0.1 s until it succeeds, SECONDS x 10 times at most.
within() {
  within_tries=$(($1 * 10)); shift
  until "$@"; do [ $((within_tries -= 1)) -gt 0 ] || return 1; sleep 0.1; done
}

# since T prints the seconds from T (as date +%s.%N gives it) until now, to a tenth.
since() { awk -v t="$1" -v now="$(date +%s.%N)" 'BEGIN { printf "%.1f", now - t }'; }

# isolated CMD... runs CMD in a network namespace of its own: loopback only, every port free.
isolated() {
  unshare --net sh -c 'ip link set lo up && exec "$@"' sh "$@"
}

# views says whether this machine lets in_boot and isolated run (root, namespaces allowed);
# if not, why on standard error.
views() {
  unshare --mount --net sh -c 'ip link set lo up && mount -t tmpfs probe /mnt'
}

# in_boot CMD... runs CMD in a throwaway view of this machine booted by its own systemd:
# systemd-nspawn -b on / overlaid by a layer on a tmpfs, in a network of its own; --register=no and
# --keep-unit as PID 1 here need not be systemd. CMD runs there, in this directory (bound
# in), once the boot is done, by nsenter; then the view halts. Exit status: CMD's (1 for its
# 3), or 3 after one line when no boot can be had here.
in_boot() {
  unshare --mount --propagation private sh -euc '. scripts/lib.sh && boot_view "$@"' sh "$@"
}

# boot_view CMD..., in a mount namespace of its own, is in_boot's body.
boot_view() {
  # In a chroot (as bench/fresh-debian.sh runs), the chroot is first made this namespace's
  # root: the kernel gives no user namespace, which a service's sandbox may make, to a process
  # whose root is not its namespace's, and nspawn's container would keep such a root.
  boot_root=$(nsenter --mount=/proc/self/ns/mnt readlink /proc/$$/root)
  if [ "$boot_root" != / ]; then
    nsenter --mount=/proc/self/ns/mnt sh -euc 'cd "$0" && { mountpoint -q . || mount --bind . .; } && cd "$0"
      mount --move . / && exec chroot . \
      sh -euc "cd \"\$0\" && . scripts/lib.sh && boot_view \"\$@\"" "$@"' "$boot_root" "$PWD" "$@"
    return
  fi
  mount -t tmpfs view /mnt && mkdir /mnt/up /mnt/work /mnt/root /mnt/here
  mount -t overlay -o lowerdir=/,upperdir=/mnt/up,workdir=/mnt/work view /mnt/root
  : >/mnt/root/.tovrin-view # what may change the machine checks that it is in a view
  rm -f /mnt/root/usr/sbin/policy-rc.d # a container image's veto on starting services
  mount --bind "$PWD" /mnt/here
  mount -t tmpfs run /run # nspawn's state: the host's /run stays as it was
  # A root made by chroot has sysfs without its cgroup mounts: nspawn needs one.
  mountpoint -q /sys/fs/cgroup || mount -t cgroup2 cgroup2 /sys/fs/cgroup
  # nspawn splits the cgroup it starts in: one of this view's own in each hierarchy, so that
  # views boot side by side; this shell leaves it at once, and it goes with the view.
  boot_cgroups=
  for boot_cg in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified /sys/fs/cgroup; do
    [ -f $boot_cg/cgroup.procs ] || continue
    boot_key=$([ "${boot_cg##*/}" != systemd ] || echo name=systemd)
    boot_cg=$boot_cg$(awk -F: -v key="$boot_key" '$2 == key { print $3 }' /proc/self/cgroup)
    mkdir "${boot_cg%/}/tovrin-view.$$" && boot_cgroups="$boot_cgroups ${boot_cg%/}/tovrin-view.$$"
  done
  for boot_cg in $boot_cgroups; do echo $$ >"$boot_cg/cgroup.procs" || true; done
  systemd-nspawn --quiet --boot --directory=/mnt/root --machine=tovrin-view --private-network \
    --register=no --keep-unit --link-journal=no --console=read-only --bind=/mnt/here:"$PWD" \
    </dev/null >/mnt/boot.log 2>&1 &
  boot_nspawn=$! boot_init= boot_status=0
  for boot_cg in $boot_cgroups; do echo $$ >"${boot_cg%/*}/cgroup.procs" || true; done
  for boot_try in $(seq 300); do # its child that is PID 1 in the container, up to its bus
    for boot_child in $(cat "/proc/$boot_nspawn/task/$boot_nspawn/children" 2>/dev/null); do
      [ "$(awk '/^NSpid:/ { print $NF }' "/proc/$boot_child/status" 2>/dev/null)" != 1 ] ||
        boot_init=$boot_child
    done
    [ ! -S "/proc/$boot_init/root/run/systemd/private" ] && kill -0 $boot_nspawn 2>/dev/null || break
    sleep 0.1
  done
  boot_state=$([ -z "$boot_init" ] ||
    timeout 60 nsenter -t "$boot_init" -a --root --wd systemctl is-system-running --wait 2>&1 || true)
  case $boot_state in
  running|degraded)
    nsenter -t "$boot_init" -a --root --wd sh -c 'cd "$0" && exec "$@"' "$PWD" "$@" || boot_status=$?
    [ $boot_status != 3 ] || boot_status=1;; # 3 is for no boot
  *) echo "in_boot: no booted systemd here (${boot_state:-$(tail -n 1 /mnt/boot.log)})" >&2
    boot_status=3;;
  esac
  # SIGTERM has nspawn power the container off; bounded, then PID 1 ends it at once.
  kill $boot_nspawn 2>/dev/null || true
  timeout 30 sh -c 'while kill -0 $0 2>/dev/null; do sleep 0.1; done' $boot_nspawn ||
    kill -KILL "$boot_init" $boot_nspawn 2>/dev/null || true
  wait $boot_nspawn || true
  for boot_cg in $boot_cgroups; do find "$boot_cg" -depth -type d -exec rmdir {} + || true; done
  return $boot_status
}
