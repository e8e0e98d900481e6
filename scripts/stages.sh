#!/usr/bin/env bash
# The three CTest stages of scripts/test.sh, over builds it has made. Every
# stage runs; at the end one summary names each failed test with the tail of
# its output, so a failure is readable even where only the last lines of a
# long run are kept (the fuzz stage prints a lot).
#
#   scripts/stages.sh [ctest arguments]
set -uo pipefail
cd "$(dirname "$0")/.."

failed_stages=()

# stage PRESET [ctest arguments]
stage() {
  local preset=$1
  shift
  rm -f "build/$preset/Testing/Temporary/LastTestsFailed.log"
  if ! ctest --preset "$preset" "$@"; then
    failed_stages+=("$preset")
  fi
}

# The output CTest kept of each failed test of a stage, last lines only.
report() {
  local preset=$1 dir="build/$1/Testing/Temporary"
  echo "== stage $preset failed"
  if [ ! -s "$dir/LastTestsFailed.log" ]; then
    echo "   (no test failed: CTest itself did)"
    return
  fi
  cut -d: -f2- "$dir/LastTestsFailed.log" | while IFS= read -r name; do
    echo "-- $name"
    awk -v name="$name" '
      /^[0-9]+\/[0-9]+ Test: / { sub(/^[0-9]+\/[0-9]+ Test: /, ""); found = ($0 == name); inside = 0; n = 0; next }
      found && !inside && /^-+$/ { inside = 1; next }
      inside && /^<end of output>$/ { inside = found = 0; next }
      inside { lines[n++ % 40] = $0; total = n }
      END { start = total > 40 ? total - 40 : 0; for (i = start; i < total; i++) print "   " lines[i % 40] }
    ' "$dir/LastTest.log"
  done
}

# valgrind cannot run a sanitized program; the soak runs are timed and
# measure memory, which the sanitizers' own would blur.
stage linux "$@"
stage linux-asan -LE "^(wine|valgrind|soak)$" "$@"
stage fuzz -L "^fuzz$" "$@"

if [ ${#failed_stages[@]} -eq 0 ]; then
  echo "== all stages passed: linux, linux-asan, fuzz"
  exit 0
fi
for preset in "${failed_stages[@]}"; do
  report "$preset"
done
exit 1
