#!/usr/bin/env bash
# The benchmarks, side by side in one run: builds Release in build/bench,
# runs the client, simulator and plant benchmarks, prints the table of
# figures with their targets and writes everything to build/bench/results.json.
#
#   scripts/bench.sh            full run (several minutes)
#   scripts/bench.sh --short    every benchmark once, briefly (as CI runs them)
#
# The servers listen on loopback port 502. As root they use the machine's
# loopback; otherwise the runs go into a private user and network namespace.
set -euo pipefail
self="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
cd "$(dirname "$self")/.."

mode=full
case "${1:-}" in
  "") ;;
  --short) mode=short ;;
  -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "bench.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
esac

bash scripts/deps.sh
if [ "$(id -u)" -ne 0 ]; then
  if ! unshare --user --map-root-user --net true 2>/dev/null; then
    echo "bench.sh: the servers bind loopback port 502: run as root, or allow unprivileged user namespaces" >&2
    exit 2
  fi
  exec unshare --user --map-root-user --net bash -c 'ip link set lo up && exec "$0" "$@"' "$self" "$@"
fi

out=build/bench
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out" -j "$(nproc)" --target marvok_client_bench marvok_sim_bench marvok_plant_bench

if [ "$mode" = full ]; then
  client_args=(--benchmark_repetitions=15 --benchmark_min_time=0.2 --benchmark_enable_random_interleaving=true)
  sim_args=(--benchmark_repetitions=8 --warmup_ms=100 --measure_ms=500 --rounds=7 --benchmark_enable_random_interleaving=true)
  plant_args=()
else
  client_args=(--benchmark_min_time=0.01)
  sim_args=(--clients=1,16 --warmup_ms=20 --measure_ms=100 --rounds=1 --round_ms=50)
  plant_args=(--instruments=200 --in_flight=50 --sample=10)
fi

json=(--benchmark_out_format=json)
"$out/bin/marvok_client_bench" "${client_args[@]}" "${json[@]}" --benchmark_out="$out/client.json"
"$out/bin/marvok_sim_bench" "${sim_args[@]}" "${json[@]}" --benchmark_out="$out/sim.json"
"$out/bin/marvok_plant_bench" "${plant_args[@]}" "${json[@]}" --benchmark_out="$out/plant.json"
python3 bench/report.py "$out/results.json" "$out/client.json" "$out/sim.json" "$out/plant.json"
