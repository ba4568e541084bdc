#!/bin/sh
# One-command tour on Debian 12, as root: install what is needed, build, make a
# throwaway CA and server certificate, start the stand-in server, deliver a
# sample report through tovrin-report, show where it was stored, stop.
set -eu
cd "$(dirname "$0")"
. scripts/lib.sh
need cmake g++ make libcurl4-openssl-dev libmicrohttpd-dev libsystemd-dev pkgconf libssl-dev openssl nginx-light python3 python3-trustme

# The default build: the tool's upload URL is https://localhost:8443/report/.
say "== building the tool and the stand-in server in build/quickstart"
quiet cmake -S . -B build/quickstart -DCMAKE_BUILD_TYPE=Release
quiet cmake --build build/quickstart -j "$(nproc)"
quiet env DESTDIR="$PWD/build/quickstart/stage" cmake --install build/quickstart --prefix /
bin=$(pwd)/build/quickstart/stage/bin

work=$(mktemp -d /tmp/tovrin-quickstart.XXXXXX)
# A throwaway CA, hashed into ca/, and a certificate for localhost it signed.
say "== a throwaway CA and a certificate for localhost in $work"
quiet /usr/bin/python3 tests/support.py certs "$work"
cd "$work"

say "== starting the stand-in server on localhost:8443"
"$bin/tovrin-report-server" --cert cert.pem --key cert.key --spool reports 2>server.log &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null || true' EXIT INT TERM
listening $server server.log

{ printf 'tovrin sample report, %s\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)"; head -c 4096 /dev/urandom; } > sample.bin
echo "\$ $bin/tovrin-report --ca-path $work/ca < sample.bin"
status=0
"$bin/tovrin-report" --ca-path ca < sample.bin || status=$?
echo "exit status: $status"
[ $status -eq 0 ] || exit 1

stored=$(ls reports/* | head -n 1)
echo "stored as: $work/$stored"
cmp sample.bin "$stored" && echo "byte-identical to the report sent ($(wc -c < sample.bin) bytes)"
# The same report queued in an outbox of its own, then delivered from it.
"$bin/tovrin-report-outbox" add --outbox outbox < sample.bin && "$bin/tovrin-report-outbox" deliver --outbox outbox --ca-path ca
echo "tovrin-report-outbox add, then deliver: $("$bin/tovrin-report-outbox" status --outbox outbox | head -n 1) ($(ls reports | wc -l) reports stored)"

cat <<MSG

The certificates stay in $work (CA directory: $work/ca).
To go on by hand:
  cd $work && $bin/tovrin-report-server --cert cert.pem --key cert.key --spool reports &
  echo hello | $bin/tovrin-report --ca-path $work/ca; echo \$?
MSG
