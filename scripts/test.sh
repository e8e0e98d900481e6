#!/usr/bin/env bash
# Everything the tests need, from a fresh Debian 12 machine: installs what is
# missing, builds the Linux library, simulator and tools and both Windows DLLs,
# and runs the whole CTest suite (native tests and Wine runs of the DLLs).
#
#   scripts/test.sh            all tests
#   scripts/test.sh -L wine    extra arguments go to ctest
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

run_ctest=(ctest --preset linux "$@")
if [ "$(id -u)" -eq 0 ]; then
  exec "${run_ctest[@]}"
fi
if ! unshare --user --map-root-user --net true 2>/dev/null; then
  echo "test.sh: the tests bind loopback port 502: run as root, or allow unprivileged user namespaces" >&2
  exit 2
fi
exec unshare --user --map-root-user --net bash -c 'ip link set lo up && exec "$@"' _ "${run_ctest[@]}"
