#!/usr/bin/env bash
# `make bench`: every benchmark of the build, figures on stdout. The machine should
# be otherwise idle; the road benchmark starts its own kelvora-sim.
set -euo pipefail
BUILD=${1:-build}
cd "$(dirname "$0")/.."

for b in text_bench json_bench item_page_bench sim_bench; do
  echo "== $b =="
  "$BUILD/bench/$b" --benchmark_min_time=1
  echo
done
echo "== road_bench (road vs bare libcurl loop) =="
"$BUILD/bench/road_bench" --items 500 --rounds 7
echo
echo "== results_view_bench (100 000 rows into the shown results view, offscreen) =="
"$BUILD/bench/results_view_bench" --rows 100000
