#!/bin/sh
# Builds the Debian packages twice, in two build directories, and checks that
# the two builds are byte-identical; checks them with lintian (no error or
# warning) and hardening-check, checks their contents and dependencies,
# installs both with apt-get as a user would, delivers one report to the
# server's service and purges them again (so run it on a machine where that
# is fine: CI, or a throwaway root).
set -eu
cd "$(dirname "$0")/.."
. tests/lib.sh

fail() { echo "package check: $*" >&2; exit 1; }

packages() { # build dir
  quiet cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_INSTALL_SYSCONFDIR=/etc -DTOVRIN_WERROR=ON
  quiet cmake --build "$1" -j "$(nproc)"
  rm -f "$1"/*.deb
  quiet sh -c 'cd "$1" && cpack -G DEB' sh "$1"
}

dir=build/deb
packages $dir
packages $dir-again
for deb in $dir/*.deb; do
  cmp "$deb" "$dir-again/$(basename "$deb")" || fail "two builds of $(basename "$deb") differ"
done
echo "package check: two builds are byte-identical"

tool=$(ls $dir/tovrin-report_*.deb)
server=$(ls $dir/tovrin-report-server_*.deb)

echo "== lintian"
# Info tags are shown, not fatal: the URL in the description reads as a
# Homepage to lintian, and the tool has nothing to fortify (below).
lintian --pedantic --display-info --fail-on error,warning "$tool" "$server"

echo "== hardening-check"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$tool" "$root"
dpkg-deb -x "$server" "$root"
# Debian 12's C start files carry no CET note, so no program linked with them
# has one; and the tool makes no call whose buffer size the compiler knows,
# so fortify finds nothing to protect in it.
hardening-check --nocfprotection --nofortify "$root/usr/bin/tovrin-report"
hardening-check --nocfprotection "$root/usr/bin/tovrin-report-server"

contents=$(dpkg -c "$tool")
for path in ./usr/bin/tovrin-report ./usr/share/man/man1/tovrin-report.1.gz ./etc/tovrin/report-ca/ \
            ./usr/share/doc/tovrin-report/copyright ./usr/share/doc/tovrin-report/changelog.gz \
            ./usr/share/doc/tovrin-report/README.Debian; do
  echo "$contents" | grep -q " $path\$" || fail "$tool lacks $path"
done
echo "$contents" | grep -q ' root/root .* ./etc/tovrin/report-ca/$' || fail "CA directory not owned by root"
contents=$(dpkg -c "$server")
for path in ./usr/bin/tovrin-report-server ./usr/share/doc/tovrin-report-server/copyright \
            ./usr/share/doc/tovrin-report-server/changelog.gz ./etc/default/tovrin-report-server \
            ./usr/lib/systemd/system/tovrin-report-server.service ./usr/lib/sysusers.d/tovrin-report-server.conf; do
  echo "$contents" | grep -q " $path\$" || fail "$server lacks $path"
done
dpkg -I "$tool" | grep '^ Depends:.*libcurl4' >/dev/null || fail "$tool does not depend on libcurl4"
dpkg -I "$tool" | grep -F ' This build delivers to https://localhost:8443/report/' >/dev/null ||
  fail "$tool does not name its URL in its description"

export DEBIAN_FRONTEND=noninteractive
log=$root/apt.log
apt-get install -y -q "./$tool" >"$log" 2>&1 || { cat "$log" >&2; fail "apt-get install ./$tool failed"; }
trap 'quiet apt-get remove -y -q tovrin-report || true; rm -rf "$root"' EXIT
grep -q 'openssl rehash /etc/tovrin/report-ca' "$log" || { cat "$log" >&2; fail "installing did not say how to fill the CA directory"; }
[ -d /etc/tovrin/report-ca ] || fail "installing did not create /etc/tovrin/report-ca"
out=$(/usr/bin/tovrin-report --bogus) && fail "usage did not exit 1"
[ "$out" = "Usage: tovrin-report [--ca-path dir]" ] || fail "unexpected usage line: $out"
zcat /usr/share/man/man1/tovrin-report.1.gz | grep -q 'https://localhost:8443/report/' ||
  fail "the installed man page does not name the build's URL"

# The server's package: its user, spool and first certificate, then its
# service's command as its user (no systemd here), one delivery through the
# tool just installed, and a purge that takes the certificate away.
apt-get install -y -q "./$server" >"$log" 2>&1 || { cat "$log" >&2; fail "apt-get install ./$server failed"; }
run=
ca=
trap 'rm -f $ca; quiet dpkg --purge tovrin-report-server tovrin-report || true; rm -rf "$root" $run' EXIT
getent passwd tovrin-report >/dev/null || fail "installing did not make the user tovrin-report"
[ "$(stat -c %U /var/spool/tovrin-report)" = tovrin-report ] || fail "the spool is not the service user's"
grep -q "ExecStart=/usr/bin/tovrin-report-server" /usr/lib/systemd/system/tovrin-report-server.service ||
  fail "no service unit"
ca=/etc/tovrin/report-ca/$(openssl x509 -hash -noout -in /etc/tovrin/report-server/cert.pem).0
cp /etc/tovrin/report-server/cert.pem "$ca"
run=$(mktemp -d /run/tovrin-report-server.XXXXXX)
chown tovrin-report "$run"
(set -a; . /etc/default/tovrin-report-server; cd /; RUNTIME_DIRECTORY="$run" exec setpriv --reuid=tovrin-report --regid=tovrin-report --init-groups \
  /usr/bin/tovrin-report-server --cert "$CERT" --key "$KEY" --listen "$LISTEN" --spool /var/spool/tovrin-report \
  $OPTIONS) 2>"$root/server.log" &
service=$!
listening $service "$root/server.log" || fail "service did not start"
echo "service delivery" | /usr/bin/tovrin-report || { kill $service; fail "no delivery to the service"; }
kill $service && wait $service || fail "service did not stop cleanly: $(cat "$root/server.log")"
stored=$(ls -t /var/spool/tovrin-report | head -n 1)
[ "$(cat "/var/spool/tovrin-report/$stored")" = "service delivery" ] || fail "the service did not store the report"
rmdir "$run" || fail "the service left files in its runtime directory"
rm -f "$ca"
quiet apt-get purge -y -q tovrin-report-server
[ ! -e /etc/tovrin/report-server ] || fail "purging left the certificate the package made"
echo "package check: $(basename "$tool") and $(basename "$server") built, installed and checked"
