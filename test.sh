#!/bin/sh
# As root on Debian 12 or 13: the suite, static checks, package check, the suite
# under ASan+UBSan; suites and package check in namespaces of their own.
set -eu
cd "$(dirname "$0")"

PORT=${TOVRIN_TEST_PORT:-18443}
. scripts/lib.sh
need cmake g++ make dpkg-dev libcurl4-openssl-dev libmicrohttpd-dev libsystemd-dev pkgconf libssl-dev openssl \
  nginx-light python3-pytest python3-pytest-timeout python3-trustme valgrind clang-tidy cppcheck mandoc
# git (time stamps), file (shlibdeps), hardening-check without devscripts' recommends,
# systemd-nspawn to boot the package check's view.
need --no-install-recommends git file lintian devscripts iproute2 systemd-container
# Where the namespaces cannot be had, say why; the suites then use this machine's port.
if why=$(views 2>&1); then net=isolated; else
  [ "${CI:-}" != true ] || { echo "test.sh: no mount and network namespaces here, which CI needs: $why" >&2; exit 1; }
  echo "test.sh: no mount and network namespaces here ($why): package check skipped, suites on port $PORT"
  [ -z "$(ss -Hltn "sport = :$PORT")" ] ||
    { echo "test.sh: port $PORT is in use here; set TOVRIN_TEST_PORT to a free port" >&2; exit 1; }
  net=
fi

build() { # dir, what it is, extra cmake arguments...
  dir=$1; say "== building $dir: $2"; shift 2
  quiet cmake -S . -B "$dir" -DTOVRIN_REPORT_HOST="localhost:$PORT" -DTOVRIN_WERROR=ON -DTOVRIN_SERVER=ON \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "$@"
  quiet cmake --build "$dir" -j "$(nproc)"
  quiet env DESTDIR="$PWD/$dir/stage" cmake --install "$dir" --prefix /
}

suite() { # dir, label: the summary line goes to build/verdicts
  say "== end-to-end suite: $2"
  TOVRIN_REPORT="$PWD/$1/stage/bin/tovrin-report" \
  TOVRIN_REPORT_SERVER="$PWD/$1/stage/bin/tovrin-report-server" \
  TOVRIN_REPORT_OUTBOX="$PWD/$1/stage/bin/tovrin-report-outbox" \
  TOVRIN_TEST_PORT="$PORT" \
    quiet --log "$1/pytest.log" --progress pytest_progress $net /usr/bin/python3 -m pytest -q -p no:cacheprovider tests
  tail -n 1 "$1/pytest.log" >>build/verdicts
}

rm -f build/verdicts
build build/test "release build, for localhost:$PORT" -DCMAKE_BUILD_TYPE=RelWithDebInfo
versions=$(TOVRIN_TEST_PORT=$PORT PYTHONPATH=tests /usr/bin/python3 -c 'import support; print(support.versions())')
suite build/test "release build, against $versions"

say "== clang-tidy, cppcheck, mandoc"
# File by file, to tell how far it got: its own lines count warnings of headers it leaves out.
tidying() { echo "clang-tidy $file"; }
for file in src/*.cpp server/*.cpp outbox/*.cpp; do quiet --progress tidying clang-tidy -p build/test --quiet "$file"; done
level=$(cppcheck --help | grep -q -e --check-level && echo --check-level=exhaustive || true)
quiet cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr --std=c++17 -q $level \
  -I build/test src/ server/ outbox/
mandoc -T lint -W warning build/test/tovrin-report.1 doc/tovrin-report-server.1 doc/tovrin-report-outbox.1

if [ -n "$net" ]; then say "== Debian packages"; tests/package.sh; fi

build build/asan "AddressSanitizer + UndefinedBehaviorSanitizer" -DCMAKE_BUILD_TYPE=Debug -DTOVRIN_SANITIZE=ON
TOVRIN_SANITIZE=1 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  suite build/asan "AddressSanitizer + UndefinedBehaviorSanitizer"
awk '{ for (i = 2; i <= NF; i++) { word = $i; sub(/,$/, "", word); n[word] += $(i - 1) } }
  END { printf "%d passed, %d failed%s\n", n["passed"], n["failed"], n["skipped"] ? ", " n["skipped"] " skipped" : "" }' \
  build/verdicts
