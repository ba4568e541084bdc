#!/bin/sh
# Builds the Debian packages twice (byte-identical), runs lintian, installs both
# as a user would, runs hardening-check, delivers one report through the server's
# service and purges them (so run it where that is fine: CI, a throwaway root).
# What lintian fails already (no man page, copyright, changelog) is not checked here.
set -eu
cd "$(dirname "$0")/.."
. tests/lib.sh

fail() { echo "package check: $*" >&2; exit 1; }
says() { zgrep -q -e "$2" "$1" || fail "$1 does not say $2"; }
url=https://localhost:8443/report/

dir=build/deb
for build in $dir $dir-again; do
  quiet cmake -S . -B $build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_INSTALL_SYSCONFDIR=/etc -DTOVRIN_WERROR=ON
  quiet cmake --build $build -j "$(nproc)"
  quiet sh -c 'cd "$1" && rm -f ./*.deb && cpack -G DEB' sh $build
done
for deb in $dir/*.deb; do
  cmp "$deb" "$dir-again/${deb##*/}" || fail "two builds of ${deb##*/} differ"
done
tool=$(ls $dir/tovrin-report_*.deb)
server=$(ls $dir/tovrin-report-server_*.deb)

# Info tags show but pass: the description's URL looks like a Homepage; nothing to fortify (below).
lintian --pedantic --display-info --fail-on error,warning "$tool" "$server"
dpkg -c "$tool" | grep ' root/root .* ./etc/tovrin/report-ca/$' >/dev/null || fail "$tool: no CA directory owned by root"
dpkg-deb -f "$tool" Depends | grep -q libcurl4 || fail "$tool does not depend on libcurl4"
dpkg-deb -f "$tool" Description | grep -q "This build delivers to $url" || fail "$tool: no $url in its description"

cleanup() {
  kill ${service:-} 2>/dev/null || true
  rm -rf ${ca:-} ${run:-}
  quiet dpkg --purge tovrin-report-server tovrin-report || true
}
trap cleanup EXIT
export DEBIAN_FRONTEND=noninteractive
for deb in "$tool" "$server"; do
  apt-get install -y -q "./$deb" >"$deb.log" 2>&1 || { cat "$deb.log" >&2; fail "apt-get install ./$deb failed"; }
done
says "$tool.log" "openssl rehash /etc/tovrin/report-ca"
says /usr/share/doc/tovrin-report/README.Debian "This build delivers to $url"
says /usr/share/man/man1/tovrin-report.1.gz "$url"

# Debian 12's C start files carry no CET note, so nothing linked with them has
# one; and the tool has no call with a buffer size the compiler knows, to fortify.
hardening-check --nocfprotection --nofortify /usr/bin/tovrin-report
hardening-check --nocfprotection /usr/bin/tovrin-report-server

# The server's unit's own command, with its settings, as its user (no systemd
# here); one delivery through the tool, trusting the certificate the package made.
[ "$(stat -c %U /var/spool/tovrin-report)" = tovrin-report ] || fail "the spool is not the user tovrin-report's"
ca=/etc/tovrin/report-ca/$(openssl x509 -hash -noout -in /etc/tovrin/report-server/cert.pem).0
cp /etc/tovrin/report-server/cert.pem "$ca"
run=$(mktemp -d /run/tovrin-report-server.XXXXXX)
chown tovrin-report "$run"
(set -a; . /etc/default/tovrin-report-server; RUNTIME_DIRECTORY=$run; cd /
 eval exec setpriv --reuid=tovrin-report --regid=tovrin-report --init-groups \
   "$(sed -n 's/^ExecStart=//p' /usr/lib/systemd/system/tovrin-report-server.service)") 2>$dir/server.log &
service=$!
listening $service $dir/server.log || fail "service did not start"
echo "service delivery" | /usr/bin/tovrin-report || fail "no delivery to the service"
kill $service && wait $service || fail "service did not stop cleanly: $(cat $dir/server.log)"
stored=$(ls -t /var/spool/tovrin-report | head -n 1)
[ "$(cat "/var/spool/tovrin-report/$stored")" = "service delivery" ] || fail "the service did not store the report"
rmdir "$run" || fail "the service left files in its runtime directory"
quiet apt-get purge -y -q tovrin-report-server
[ ! -e /etc/tovrin/report-server ] || fail "purging left the certificate the package made"
echo "package check: ${tool##*/} and ${server##*/} built twice alike, installed and checked"
