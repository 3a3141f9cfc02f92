#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for the given seconds (default 60) on
# its seeds: scripts/fuzz.sh [seconds]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-60}
cd "$top"
cmake -S . -B build-fuzz -G Ninja -DVRK_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=$(find common sched net client -name '*_fuzz.cc' | sed 's|.*/||; s|\.cc$||' | sort)
ninja -C build-fuzz -j2 $targets
for t in $targets; do
  dir=$(dirname "$(find common sched net client -name "$t.cc")")
  corpus=$(mktemp -d)
  seeds="$dir/testdata/fuzz/$t"
  [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
  echo "-- $t (${secs}s)"
  log=$(mktemp)
  status=0
  build-fuzz/bin/$t -max_total_time="$secs" -print_final_stats=1 -artifact_prefix="$corpus/" \
    "$corpus" >"$log" 2>&1 || status=$?
  grep -E 'stat::number_of_executed_units' "$log" || true
  if [ $status -ne 0 ]; then
    tail -n 40 "$log"
    echo "fuzz target $t failed"
    exit 1
  fi
  rm -rf "$corpus" "$log"
done
