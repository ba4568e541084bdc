#!/bin/sh
# Builds the Debian packages, checks their contents and dependencies, installs
# the tool's package with apt-get as a user would and removes it again.
set -eu
cd "$(dirname "$0")/.."
dir=build/deb
cmake -S . -B $dir -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_INSTALL_SYSCONFDIR=/etc -DTOVRIN_WERROR=ON >/dev/null
cmake --build $dir -j "$(nproc)" >/dev/null
rm -f $dir/*.deb
(cd $dir && cpack -G DEB >/dev/null 2>&1)

fail() { echo "package check: $*" >&2; exit 1; }
tool=$(ls $dir/tovrin-report_*.deb)
server=$(ls $dir/tovrin-report-server_*.deb)
contents=$(dpkg -c "$tool")
for path in ./usr/bin/tovrin-report ./usr/share/man/man1/tovrin-report.1.gz ./etc/tovrin/report-ca/; do
  echo "$contents" | grep -q " $path\$" || fail "$tool lacks $path"
done
echo "$contents" | grep -q ' root/root .* ./etc/tovrin/report-ca/$' || fail "CA directory not owned by root"
dpkg -c "$server" | grep ' ./usr/bin/tovrin-report-server$' >/dev/null || fail "$server lacks the server"
dpkg -I "$tool" | grep '^ Depends:.*libcurl4' >/dev/null || fail "$tool does not depend on libcurl4"

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q "./$tool" >/dev/null 2>&1 || fail "apt-get install ./$tool failed"
trap 'apt-get remove -y -q tovrin-report >/dev/null 2>&1 || true' EXIT
[ -d /etc/tovrin/report-ca ] || fail "installing did not create /etc/tovrin/report-ca"
out=$(/usr/bin/tovrin-report --bogus) && fail "usage did not exit 1"
[ "$out" = "Usage: tovrin-report [--ca-path dir]" ] || fail "unexpected usage line: $out"
echo "package check: $(basename "$tool") and $(basename "$server") built, installed and checked"
