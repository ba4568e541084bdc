#!/bin/sh
# Two builds of the packages alike, lintian; then, in a throwaway view of the host
# booted by its own systemd, each scenario below in turn, as a machine puts the service
# through it. A scenario is a function; the figures go to build/deb/boot.log.
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

: >$dir/boot.log
in_boot tests/package.sh --booted ||
  { [ $? = 3 ] && [ "${CI:-}" != true ] && echo "package check: the service's scenarios skipped"; } || exit 1;;
--booted)
[ -e /.tovrin-view ] || fail "--booted purges and installs packages: only in the throwaway view (no argument)"
ticker $dir/boot.log last_line & # the scenarios wait a while: say how far they got
unit=tovrin-report-server spool=/var/spool/tovrin-report certs=/etc/tovrin/report-server
export DEBIAN_FRONTEND=noninteractive
deliver() { echo "$1" | /usr/bin/tovrin-report; }
show() { systemctl show -p "$1" --value $unit; }
# figure LINE CONDITION...: LINE goes to build/deb/boot.log, and fails the check unless CONDITION
figure() { echo "$1" >>$dir/boot.log; shift; "$@" || fail "$(tail -n 1 $dir/boot.log)"; }

installs() { # as on a machine where they never were: no tovrin package, no /etc/tovrin
  quiet dpkg --purge tovrin-report-server tovrin-report
  rm -rf /etc/tovrin
  quiet --log $dir/apt.log apt-get install -y -q "./$tool" "./$server" || fail "install failed"
  says $dir/apt.log "openssl rehash /etc/tovrin/report-ca"
  says /usr/share/doc/tovrin-report/README.Debian "This build delivers to $url"
  says /usr/share/man/man1/tovrin-report.1.gz "$url"
  [ "$(stat -c %U $spool)" = tovrin-report ] || fail "the spool is not the user tovrin-report's"
  # Waived: CET where the C start files carry no note of it; branch protection (BTI,
  # PAC) off arm64; fortify in the tool, which has no call with a known buffer size.
  waive=$(readelf -n /usr/lib/*/Scrt1.o | grep -q IBT || echo --nocfprotection)
  [ "$(dpkg --print-architecture)" = arm64 ] || ! grep -q nobranchprotection "$(command -v hardening-check)" ||
    waive="$waive --nobranchprotection"
  quiet hardening-check $waive --nofortify /usr/bin/tovrin-report
  quiet hardening-check $waive /usr/bin/tovrin-report-server
  quiet hardening-check $waive /usr/bin/tovrin-report-outbox
}

delivers() { # started by apt; its own certificate refused until trusted, as README.Debian says
  untrusted=$(deliver untrusted || true)
  echo "$untrusted" | grep -q "SSL certificate problem: self-signed certificate" || fail "untrusted: $untrusted"
  says /usr/share/doc/tovrin-report/README.Debian "self-signed certificate"
  cp $certs/cert.pem "/etc/tovrin/report-ca/$(openssl x509 -hash -noout -in $certs/cert.pem).0"
  deliver "service delivery" || fail "no delivery to the service"
  [ "$(cat "$spool/$(ls -t $spool | head -n 1)")" = "service delivery" ] || fail "the service did not store the report"
  exposed $unit
}

exposed() {
  exposure=$(systemd-analyze security "$1" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  figure "systemd-analyze security $1: $exposure" awk "BEGIN { exit !($exposure <= 2.0) }"
}

stopping() { [ "$(show ActiveState)" = deactivating ] && sleep 1; }
# in_flight ACTION...: ACTION 1 s into 5 uploads of 4 MiB whose second halves go 1 s after the
# service is seen stopping (or never: then no stored copy matches)
in_flight() {
  report=$dir/report.bin && head -c 4M /dev/urandom >$report && : >$dir/ok && uploads=
  for i in 1 2 3 4 5; do
    { head -c 2M $report; within 30 stopping && tail -c 2M $report; } | /usr/bin/tovrin-report && echo >>$dir/ok &
    uploads="$uploads $!"
  done
  sleep 1 && begun=$(date +%s.%N) && { quiet "$@" || fail "$* failed"; } && took=$(since "$begun") && wait $uploads
  stored=$(for file in $spool/*; do cmp -s "$file" $report && echo; done | wc -l)
  figure "$* with 5 uploads of 4 MiB in flight: $(wc -l <$dir/ok)/5 exit 0, $stored/5 stored, took $took s" \
    [ "$(wc -l <$dir/ok) $stored" = "5 5" ]
}

restarts() { # each delivery right after a restart
  for i in $(seq 20); do quiet systemctl restart $unit && deliver "restart $i" >&2 && echo; done >$dir/ok
  figure "deliveries right after systemctl restart: $(wc -l <$dir/ok)/20 exit 0" [ "$(wc -l <$dir/ok)" = 20 ]
}

back() { [ "$(show MainPID)" != "$1" ] && [ "$(show ActiveState)" = active ]; }
crashes() { # nginx's master killed 6 times, each time as soon as the service is back
  for i in 1 2 3 4 5 6; do
    main=$(show MainPID) && kill -KILL "$(cat /run/$unit/*/nginx.pid)" && killed=$(date +%s.%N)
    [ $i = 6 ] || within 10 back "$main" || fail "not back 10 s after crash $i"
  done
  within 15 deliver "after crashes" >/dev/null 2>&1 && took=$(since "$killed") || fail "still down after 6 crashes"
  figure "6 kills of nginx's master in a row: serving again after $took s" awk "BEGIN { exit !($took <= 10) }"
}

bad_key() { # a configuration error fails the start and is not retried
  mv $certs/key.pem $certs/key.away
  ! systemctl start $unit 2>/dev/null || fail "systemctl start with a missing key succeeded"
  state="$(show ActiveState), exit status $(show ExecMainStatus), $(show NRestarts) restarts"
  figure "systemctl start with a missing key: non-zero, $state" [ "$state" = "failed, exit status 2, 0 restarts" ]
  mv $certs/key.away $certs/key.pem
}

low_port() { # the drop-in README.Debian gives for a port below 1024, as it gives it
  mkdir -p /etc/systemd/system/$unit.service.d && sed -i 's/^LISTEN=.*/LISTEN=localhost:443/' /etc/default/$unit
  sed -n 's/^ *//; /^\[Service\]/,$p' /usr/share/doc/$unit/README.Debian >/etc/systemd/system/$unit.service.d/port.conf
  systemctl daemon-reload && quiet systemctl restart $unit || fail "no start on port 443 with the drop-in"
}

purges() { # the package's pair goes with it; once the administrator replaced the key, the pair stays
  quiet apt-get purge -y -q tovrin-report-server
  [ ! -e $certs ] || fail "purging left the certificate the package made"
  quiet apt-get install -y -q "./$server"
  quiet openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out $certs/key.pem
  cp $certs/key.pem $dir/admin-key.pem
  quiet apt-get purge -y -q tovrin-report-server
  cmp -s $certs/key.pem $dir/admin-key.pem && [ -s $certs/cert.pem ] || fail "purging removed a replaced pair"
}

outbox=/var/spool/tovrin-report-outbox link=00000000000000000001-1
idle() { [ "$(systemctl show -P ActiveState tovrin-report-outbox)" = inactive ]; }
waiting() { [ "$(ls $outbox/queue | grep -cv '\.state$')" = "$1" ]; }
outboxes() { # queued while the server is down: sent by the timer once it is back; while it is up, at once
  [ "$(systemctl is-enabled tovrin-report-outbox.path tovrin-report-outbox.timer | sort -u)" = enabled ] ||
    fail "the outbox's .path and .timer are not enabled"
  [ "$(systemctl show -P ExecMainStartTimestampMonotonic tovrin-report-outbox)" = 0 ] || fail "the outbox ran empty"
  quiet systemctl stop $unit && useradd -G tovrin-outbox adder && useradd stranger
  echo one | tovrin-report-outbox add && runuser -u adder -- sh -c 'echo two | tovrin-report-outbox add' ||
    fail "root or a member of tovrin-outbox cannot add"
  ! runuser -u stranger -- sh -c 'echo three | tovrin-report-outbox add' 2>/dev/null || fail "a stranger could add"
  runuser -u adder -- ln -s /etc/shadow $outbox/queue/$link
  within 10 sh -c "ls $outbox/queue | grep -q state" || fail "the outbox did not try while the server was down"
  systemctl start $unit && back=$(date +%s.%N) && within 120 waiting 1 || fail "the timer did not deliver"
  figure "outbox: 2 reports queued while the server was down, sent by the timer $(since "$back") s after it came back" true
  # systemd watches the queue only while the outbox's service is not running
  within 30 idle && rm $outbox/queue/$link && echo four | tovrin-report-outbox add && added=$(date +%s.%N)
  within 10 waiting 0 || fail "the .path unit did not deliver"
  figure "outbox: a report queued while the server is up, sent through the .path unit in $(since "$added") s" true
  [ "$(grep -lx -e one -e two -e four $spool/* | wc -l)" = 3 ] || fail "the outbox's reports were not stored once each"
  journalctl -q -u tovrin-report-outbox | grep -q "skipped queue/$link: a symbolic link" || fail "no line for a link"
  quiet tovrin-report-outbox status && exposed tovrin-report-outbox
}

installs; delivers
in_flight systemctl restart $unit
in_flight apt-get install -y -q --reinstall "./$server"
restarts; crashes; outboxes
in_flight systemctl stop $unit
bad_key; low_port; purges;;
*) fail "unknown mode $1";;
esac
[ -n "${1:-}" ] || echo "package check: ${tool##*/} and ${server##*/} built twice alike, installed and checked"
