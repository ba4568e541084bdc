#!/bin/sh
# Runs the README's two commands as a new user would: as root in a minimal Debian
# 12 or 13 made with debootstrap (no /etc/hosts, as minbase leaves it), from a clean
# clone of HEAD, chrooted in a private mount namespace; then removes that root. Each
# line of theirs is time-stamped as it arrives, and each command's longest silence
# is told at its end. It downloads a base system, so CI does not run it. The root
# shares this machine's network: ./quickstart.sh there needs port 8443 free.
# Usage, as root: bench/fresh-debian.sh [bookworm|trixie]   (DEBIAN_MIRROR overrides the mirror)
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh

[ "$(id -u)" -eq 0 ] || { echo "fresh-debian: run as root" >&2; exit 1; }
need debootstrap git
release=${1:-bookworm}
MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
head=$(git rev-parse HEAD)
root=$(mktemp -d /var/tmp/tovrin-fresh.XXXXXX)
# Its / is the new system's root: users other than root must be able to enter it.
chmod 0755 "$root"
# The mounts live in the namespace and go with it; --one-file-system guards the
# host's /dev and /proc should one outlive it.
trap 'rm -rf --one-file-system "$root" "$root.status" "$root.silences"' EXIT INT TERM

start=$(date +%s)
say "== debootstrap --variant=minbase $release $root ($MIRROR)"
quiet debootstrap --variant=minbase "$release" "$root" "$MIRROR"
# The name server, for apt; no /etc/hosts: the bare case is the one to try.
cp /etc/resolv.conf "$root/etc/"
say "== clone of $head"
quiet git clone --quiet --no-local --no-checkout "$PWD" "$root/root/tovrin-report"
quiet git -C "$root/root/tovrin-report" checkout --quiet --detach "$head"
booted=$(date +%s)

# inside CMD runs CMD in the clone, with proc, sys, dev (with its pts) and a fresh
# /dev/shm seen only in its namespace; a clean environment and no standard input, as in CI.
inside() {
  unshare --mount --propagation private sh -eu -c '
    # A mount point, so that namespaces made inside can change its propagation.
    mount --bind "$1" "$1"
    mount -t proc proc "$1/proc"
    mount -t sysfs sysfs "$1/sys"
    mount --rbind /dev "$1/dev"
    mount -t tmpfs -o mode=1777 shm "$1/dev/shm"
    exec chroot "$1" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
      TOVRIN_TEST_PORT="$2" /bin/sh -c "cd /root/tovrin-report && exec $3"
  ' sh "$root" "${TOVRIN_TEST_PORT:-18443}" "$1" </dev/null
}

# stamped NAME passes its input on, each line after the seconds since it began, then adds
# NAME's run time and longest silence (to its end too) to $root.silences.
stamped() {
  stamped_start=$(date +%s%3N) stamped_longest=0 stamped_after= stamped_previous="its start"
  stamped_last=$stamped_start
  while IFS= read -r stamped_line; do
    stamped_now=$(date +%s%3N)
    if [ $((stamped_now - stamped_last)) -gt $stamped_longest ]; then
      stamped_longest=$((stamped_now - stamped_last)) stamped_after=$stamped_previous
    fi
    stamped_last=$stamped_now stamped_previous=$stamped_line
    printf '[%4d s] %s\n' $(((stamped_now - stamped_start) / 1000)) "$stamped_line"
  done
  stamped_now=$(date +%s%3N)
  if [ $((stamped_now - stamped_last)) -gt $stamped_longest ]; then
    stamped_longest=$((stamped_now - stamped_last)) stamped_after=$stamped_previous
  fi
  printf '%s %d s, longest silence %d.%d s (after "%s")\n' "$1" $(((stamped_now - stamped_start) / 1000)) \
    $((stamped_longest / 1000)) $((stamped_longest % 1000 / 100)) "$stamped_after" >>"$root.silences"
}

for command in ./quickstart.sh ./test.sh; do
  say "== $command"
  { inside $command 2>&1 && echo 0 >"$root.status" || echo $? >"$root.status"; } | stamped $command
  status=$(cat "$root.status")
  [ "$status" -eq 0 ] || break
done
if [ "$status" -eq 0 ]; then
  echo "fresh-debian: PASS: ./quickstart.sh and ./test.sh on minbase $release at $head" \
       "(debootstrap and clone $((booted - start)) s, all $(($(date +%s) - start)) s):"
else
  echo "fresh-debian: FAIL: $command, exit status $status, on minbase $release at $head:"
fi
sed 's/^/  /' "$root.silences"
exit "$status"
