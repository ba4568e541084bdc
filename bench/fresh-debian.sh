#!/bin/sh
# Runs the README's two commands as a new user would: as root in a minimal Debian
# 12 or 13 made with debootstrap, from a clean clone of HEAD, chrooted in a private mount
# namespace; then removes that root. It downloads a base system, so CI does not run
# it. The root shares this machine's network: ./test.sh there needs a free
# TOVRIN_TEST_PORT (default 18443), ./quickstart.sh needs 8443.
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
trap 'rm -rf --one-file-system "$root"' EXIT INT TERM

start=$(date +%s)
echo "== debootstrap --variant=minbase $release $root ($MIRROR)"
quiet debootstrap --variant=minbase "$release" "$root" "$MIRROR"
# Every installed Debian has these; a bare debootstrap lacks the first.
cp /etc/hosts /etc/resolv.conf "$root/etc/"
echo "== clone of $head"
quiet git clone --quiet --no-local --no-checkout "$PWD" "$root/root/tovrin-report"
quiet git -C "$root/root/tovrin-report" checkout --quiet --detach "$head"
booted=$(date +%s)

# Inside: proc, sys, dev (with its pts) and a fresh /dev/shm, seen only in this
# namespace; a clean environment and no standard input, as in CI.
unshare --mount --propagation private sh -eu -c '
  # A mount point, so that namespaces made inside can change its propagation.
  mount --bind "$1" "$1"
  mount -t proc proc "$1/proc"
  mount -t sysfs sysfs "$1/sys"
  mount --rbind /dev "$1/dev"
  mount -t tmpfs -o mode=1777 shm "$1/dev/shm"
  exec chroot "$1" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    TOVRIN_TEST_PORT="$2" /bin/sh -euc "cd /root/tovrin-report
      echo \"== ./quickstart.sh\"; t0=\$(date +%s); ./quickstart.sh
      echo \"== ./test.sh\"; t1=\$(date +%s); ./test.sh
      echo \"fresh-debian: quickstart \$((t1 - t0)) s, test \$((\$(date +%s) - t1)) s\""
' sh "$root" "${TOVRIN_TEST_PORT:-18443}" </dev/null ||
  { status=$?; echo "fresh-debian: FAIL (exit status $status) at $head" >&2; exit $status; }
echo "fresh-debian: PASS: ./quickstart.sh and ./test.sh on minbase $release at $head" \
     "(debootstrap and clone $((booted - start)) s, all $(($(date +%s) - start)) s)"
