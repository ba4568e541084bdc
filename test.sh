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
if views; then net=isolated; else
  [ "${CI:-}" != true ] || { echo "test.sh: no mount and network namespaces here (CI needs them)" >&2; exit 1; }
  echo "test.sh: no mount and network namespaces here (not root?): package check skipped, suites on the host"
  net=
fi

build() { # dir, extra cmake arguments...
  dir=$1; shift
  quiet cmake -S . -B "$dir" -DTOVRIN_REPORT_HOST="localhost:$PORT" -DTOVRIN_WERROR=ON -DTOVRIN_SERVER=ON \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "$@"
  quiet cmake --build "$dir" -j "$(nproc)"
  quiet env DESTDIR="$PWD/$dir/stage" cmake --install "$dir" --prefix /
}

suite() { # dir, label: the summary line goes to build/verdicts
  echo "== end-to-end suite: $2"
  TOVRIN_REPORT="$PWD/$1/stage/bin/tovrin-report" \
  TOVRIN_REPORT_SERVER="$PWD/$1/stage/bin/tovrin-report-server" \
  TOVRIN_REPORT_OUTBOX="$PWD/$1/stage/bin/tovrin-report-outbox" \
  TOVRIN_TEST_PORT="$PORT" \
    $net /usr/bin/python3 -m pytest -q -p no:cacheprovider tests >"$1/pytest.log" 2>&1 ||
    { cat "$1/pytest.log"; exit 1; }
  tail -n 1 "$1/pytest.log" >>build/verdicts
}

rm -f build/verdicts
build build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
suite build/test "release build"

echo "== clang-tidy, cppcheck, mandoc"
quiet clang-tidy -p build/test --quiet src/*.cpp server/*.cpp outbox/*.cpp
level=$(cppcheck --help | grep -q -e --check-level && echo --check-level=exhaustive || true)
quiet cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr --std=c++17 -q $level \
  -I build/test src/ server/ outbox/
mandoc -T lint -W warning build/test/tovrin-report.1 doc/tovrin-report-server.1 doc/tovrin-report-outbox.1

if [ -n "$net" ]; then echo "== Debian packages"; tests/package.sh; fi

build build/asan -DCMAKE_BUILD_TYPE=Debug -DTOVRIN_SANITIZE=ON
TOVRIN_SANITIZE=1 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  suite build/asan "AddressSanitizer + UndefinedBehaviorSanitizer"
awk '{ for (i = 2; i <= NF; i++) { word = $i; sub(/,$/, "", word); n[word] += $(i - 1) } }
  END { printf "%d passed, %d failed%s\n", n["passed"], n["failed"], n["skipped"] ? ", " n["skipped"] " skipped" : "" }' \
  build/verdicts
