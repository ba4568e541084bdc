#!/bin/sh
# Two builds of the packages alike, lintian; then, in a throwaway view of the host,
# install, hardening-check, one delivery through the service, purge.
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh

fail() { echo "package check: $*" >&2; exit 1; }
says() { zgrep -q -e "$2" "$1" || fail "$1 does not say $2"; }
url=https://localhost:8443/report/

dir=build/deb
tool=$(ls $dir/tovrin-report_*.deb 2>/dev/null || true)
server=$(ls $dir/tovrin-report-server_*.deb 2>/dev/null || true)
case ${1:-} in
'')
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

# Info tags pass: the description's URL looks like a Homepage; nothing to fortify (below).
quiet lintian --pedantic --display-info --fail-on error,warning "$tool" "$server"
dpkg -c "$tool" | grep ' root/root .* ./etc/tovrin/report-ca/$' >/dev/null || fail "$tool: no CA directory owned by root"
dpkg-deb -f "$tool" Depends | grep -q libcurl4 || fail "$tool does not depend on libcurl4"
dpkg-deb -f "$tool" Description | grep -q "This build delivers to $url" || fail "$tool: no $url in its description"

in_view tests/package.sh --install;;
--install) # as on a machine where they never were: no tovrin package, no /etc/tovrin
  quiet dpkg --purge tovrin-report-server tovrin-report
  rm -rf /etc/tovrin
  export DEBIAN_FRONTEND=noninteractive
  for deb in "$tool" "$server"; do
    quiet --log "$deb.log" apt-get install -y -q "./$deb" || { quiet apt-get update -q &&
      quiet --log "$deb.log" apt-get install -y -q "./$deb"; } || fail "apt-get install ./$deb failed"
  done
  isolated tests/package.sh --installed;;
--installed)
says "$tool.log" "openssl rehash /etc/tovrin/report-ca"
says /usr/share/doc/tovrin-report/README.Debian "This build delivers to $url"
says /usr/share/man/man1/tovrin-report.1.gz "$url"

# Waived: CET where the C start files carry no note of it; branch protection (BTI,
# PAC) off arm64; fortify in the tool, which has no call with a known buffer size.
waive=
readelf -n /usr/lib/*/Scrt1.o | grep -q IBT || waive=--nocfprotection
if grep -q nobranchprotection "$(command -v hardening-check)" && [ "$(dpkg --print-architecture)" != arm64 ]; then
  waive="$waive --nobranchprotection"
fi
quiet hardening-check $waive --nofortify /usr/bin/tovrin-report
quiet hardening-check $waive /usr/bin/tovrin-report-server

# The unit's own command as its user (no systemd here), trusting the package's certificate.
[ "$(stat -c %U /var/spool/tovrin-report)" = tovrin-report ] || fail "the spool is not the user tovrin-report's"
ca=/etc/tovrin/report-ca/$(openssl x509 -hash -noout -in /etc/tovrin/report-server/cert.pem).0
cp /etc/tovrin/report-server/cert.pem "$ca"
trap 'kill ${service:-} 2>/dev/null || true' EXIT
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
esac
[ -n "${1:-}" ] || echo "package check: ${tool##*/} and ${server##*/} built twice alike, installed and checked"
