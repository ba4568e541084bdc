#!/bin/sh
# Debian 12, as root: installs what is needed; runs the end-to-end suite on a
# build for a test host on loopback, the static checks, the package check, and
# the suite again on an AddressSanitizer + UndefinedBehaviorSanitizer build.
set -eu
cd "$(dirname "$0")"

PORT=${TOVRIN_TEST_PORT:-18443}
. tests/lib.sh
need cmake g++ make dpkg-dev libcurl4-openssl-dev libcpp-httplib-dev libssl-dev openssl nginx-light \
  python3-pytest python3-pytest-timeout python3-trustme valgrind clang-tidy cppcheck mandoc
# For the packages: git (time stamps), file (CPack's shlibdeps), lintian, and
# devscripts for hardening-check, without the great deal it recommends.
need --no-install-recommends git file lintian devscripts

build() { # dir, extra cmake arguments...
  dir=$1; shift
  cmake -S . -B "$dir" -DTOVRIN_REPORT_HOST="localhost:$PORT" -DTOVRIN_WERROR=ON -DTOVRIN_SERVER=ON \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "$@"
  cmake --build "$dir" -j "$(nproc)"
  DESTDIR="$PWD/$dir/stage" cmake --install "$dir" --prefix /
}

suite() { # dir, label
  echo "== end-to-end suite: $2"
  TOVRIN_REPORT="$PWD/$1/stage/bin/tovrin-report" \
  TOVRIN_REPORT_SERVER="$PWD/$1/stage/bin/tovrin-report-server" \
  TOVRIN_TEST_PORT="$PORT" \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider tests
}

build build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
suite build/test "release build"

echo "== clang-tidy, cppcheck, mandoc"
clang-tidy -p build/test --quiet src/*.cpp server/*.cpp
cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr --std=c++17 -q \
  -I build/test src/ server/
# Warnings and worse: the style notes depend on the machine's other pages.
mandoc -T lint -W warning build/test/tovrin-report.1 doc/tovrin-report-server.1

echo "== Debian packages"
tests/package.sh

build build/asan -DCMAKE_BUILD_TYPE=Debug -DTOVRIN_SANITIZE=ON
TOVRIN_SANITIZE=1 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  suite build/asan "AddressSanitizer + UndefinedBehaviorSanitizer"
