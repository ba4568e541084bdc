#!/bin/sh
# Static checks of the tool and the stand-in server (clang-tidy with the
# committed .clang-tidy, cppcheck, mandoc on the man pages), then the tool
# under memcheck delivering one small report to the real server on loopback.
# Any finding exits non-zero.
# Usage: tests/lint.sh [build-dir]   (default build/rel; configured here)
set -eu
cd "$(dirname "$0")/.."
. tests/lib.sh
BUILD=${1:-build/rel}
PORT=${TOVRIN_TEST_PORT:-18443}

need clang-tidy cppcheck valgrind mandoc

quiet cmake -S . -B "$BUILD" -DTOVRIN_REPORT_HOST="localhost:$PORT" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
cmake --build "$BUILD" -j "$(nproc)"

sources=$(ls src/*.cpp server/*.cpp 2>/dev/null)
echo "== clang-tidy"
clang-tidy -p "$BUILD" --quiet $sources
echo "== cppcheck"
cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
  --std=c++17 -q -I "$BUILD" src/ server/

echo "== mandoc"
# Warnings and worse: the style notes depend on which other pages this
# machine has, and on .Os naming the project rather than a BSD.
mandoc -T lint -W warning "$BUILD/tovrin-report.1" doc/tovrin-report-server.1

echo "== valgrind memcheck: the tool delivering one report"
work=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/spool"
support() { /usr/bin/python3 -c "import sys; sys.path.insert(0, 'tests'); import support; $1" "$2"; }
/usr/bin/python3 tests/support.py certs "$work"
"$BUILD/server/tovrin-report-server" --cert "$work/cert.pem" --key "$work/cert.key" \
  --listen "localhost:$PORT" --spool "$work/spool" &
server_pid=$!
support 'sys.exit(not support.wait_until(lambda: support.accepts(int(sys.argv[1])), 10))' "$PORT"
printf 'lint report\n' | no_proxy='*' NO_PROXY='*' timeout 120 \
  valgrind -q --tool=memcheck --error-exitcode=99 --leak-check=full "$BUILD/tovrin-report" --ca-path "$work/ca"
stored=$(ls "$work/spool")  # not the hidden folder of bodies being received
if ! printf 'lint report\n' | cmp -s - "$work/spool/$stored"; then
  echo "lint: the report was not stored once, byte-exact; spool holds: $stored"
  exit 1
fi
echo "lint: clean"
