#!/usr/bin/env bash
# The main job, from a fresh Debian 12 machine: build, start the instrument
# simulator on 127.0.0.1:502 in the background, read both measurements
# through the library with the host tool, stop the simulator.
#
#   scripts/run.sh [--fpm X] [--f X] [--fault MODE]   (passed to the simulator)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${MARVOK_IN_NAMESPACE:-}" ]; then
  bash scripts/deps.sh
  if [ "$(id -u)" -ne 0 ]; then
    # Port 502 needs root: run in a private user and network namespace instead.
    exec unshare --user --map-root-user --net env MARVOK_IN_NAMESPACE=1 \
      bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
  fi
fi
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target marvok marvok-sim marvok-read

bin=build/linux/bin
log=$(mktemp)
"$bin/marvok-sim" --listen 127.0.0.1 --port 502 "$@" >"$log" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -f "$log"' EXIT

for _ in $(seq 100); do
  grep -q '^listening on' "$log" && break
  if ! kill -0 "$sim" 2>/dev/null; then
    cat "$log" >&2
    exit 1
  fi
  sleep 0.05
done
cat "$log"

"$bin/marvok-read" 127.0.0.1 --measure both
