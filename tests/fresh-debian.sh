#!/bin/sh
# Runs the README's two commands as a new user would: in a minimal Debian 12
# root made with debootstrap, from a clean clone of this repository's HEAD, as
# root, chrooted in a private mount namespace; then removes the root. It
# downloads a whole base system, so CI does not run it. The root shares this
# machine's network, so ./test.sh there must have a free port
# (TOVRIN_TEST_PORT, default 18443), as must ./quickstart.sh (8443).
# Usage, as root: tests/fresh-debian.sh   (DEBIAN_MIRROR overrides the mirror)
set -eu
cd "$(dirname "$0")/.."
. tests/lib.sh

MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
PORT=${TOVRIN_TEST_PORT:-18443}
[ "$(id -u)" -eq 0 ] || { echo "fresh-debian: run as root" >&2; exit 1; }
for tool in debootstrap unshare chroot git; do
  command -v $tool >/dev/null || { echo "fresh-debian: needs $tool" >&2; exit 1; }
done
head=$(git rev-parse HEAD)

root=$(mktemp -d /var/tmp/tovrin-fresh.XXXXXX)
# Its / is the new system's root: users other than root must be able to enter it.
chmod 0755 "$root"
cleanup() {
  # The mounts lived in the namespace and went with it; --one-file-system
  # guards the host's /dev and /proc should one have outlived it.
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT INT TERM

start=$(date +%s)
echo "== debootstrap --variant=minbase bookworm $root ($MIRROR)"
quiet debootstrap --variant=minbase bookworm "$root" "$MIRROR"
# Every installed Debian has these; a bare debootstrap lacks the first.
cp /etc/hosts "$root/etc/hosts"
cp /etc/resolv.conf "$root/etc/resolv.conf"
echo "== clone of $head"
quiet git clone --quiet --no-local --no-checkout "$PWD" "$root/root/tovrin-report"
quiet git -C "$root/root/tovrin-report" checkout --quiet --detach "$head"
booted=$(date +%s)

# Inside: proc, sys, dev (with its pts) and a fresh /dev/shm, seen only in
# this namespace; a clean environment and no standard input, as in CI.
status=0
unshare --mount --propagation private sh -eu -c '
  root=$1 port=$2
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
  exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 TOVRIN_TEST_PORT="$port" /bin/sh -euc "
      cd /root/tovrin-report
      echo \"== ./quickstart.sh\"; t0=\$(date +%s)
      ./quickstart.sh
      echo \"== ./test.sh\"; t1=\$(date +%s)
      ./test.sh
      echo \"fresh-debian: quickstart \$((t1 - t0)) s, test \$((\$(date +%s) - t1)) s\""
' sh "$root" "$PORT" </dev/null || status=$?

if [ $status -eq 0 ]; then
  echo "fresh-debian: PASS: ./quickstart.sh and ./test.sh on minbase bookworm at $head" \
       "(debootstrap and clone $((booted - start)) s, all $(($(date +%s) - start)) s)"
else
  echo "fresh-debian: FAIL (exit status $status) at $head" >&2
fi
exit $status
