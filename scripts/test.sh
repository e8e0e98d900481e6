#!/usr/bin/env bash
# Everything the tests need, from a fresh Debian 12 machine: installs what is
# missing, builds the Linux library, simulator and tools, both Windows DLLs,
# a sanitized build and the fuzz targets, and runs three CTest stages:
#   linux       the whole suite (native tests, Wine runs of the DLLs, soak
#               runs, valgrind, third-party peers)
#   linux-asan  the native tests again under AddressSanitizer and
#               UndefinedBehaviorSanitizer (not Wine, valgrind or soak)
#   fuzz        each fuzz target for a minute
# Every stage runs (scripts/stages.sh); the script fails if any of them did,
# and ends with the names and output tails of the tests that failed.
#
#   scripts/test.sh            all tests
#   scripts/test.sh -L wine    extra arguments go to every ctest stage
#
# The tests serve on loopback port 502. As root they use the machine's
# loopback; otherwise they run inside a private user and network namespace.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

jobs=$(nproc)
for preset in win64 win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
cmake --preset linux \
  -DMARVOK_WIN64_BIN="$PWD/build/win64/bin" -DMARVOK_WIN32_BIN="$PWD/build/win32/bin" >/dev/null
cmake --build --preset linux -j "$jobs"
for preset in linux-asan fuzz; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

if [ "$(id -u)" -eq 0 ]; then
  exec bash scripts/stages.sh "$@"
fi
if ! unshare --user --map-root-user --net true 2>/dev/null; then
  echo "test.sh: the tests bind loopback port 502: run as root, or allow unprivileged user namespaces" >&2
  exit 2
fi
exec unshare --user --map-root-user --net \
  bash -c 'ip link set lo up && exec bash scripts/stages.sh "$@"' _ "$@"
