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
echo "== analysis_bench (report opening vs one count query per bucket) =="
"$BUILD/bench/analysis_bench" --rows 100000 --rounds 5
echo
echo "== road_bench (road vs bare libcurl loop) =="
"$BUILD/bench/road_bench" --items 500 --rounds 7
echo
echo "== search_bench (keyword search of 3 pages vs bare libcurl loop) =="
"$BUILD/bench/search_bench" --rounds 7
echo "== rows_bench (a 100 000-row file read as report, export and retry do, vs a bare simdjson pass) =="
"$BUILD/bench/rows_bench" --rows 100000 --rounds 5
echo "== item_page_bench: a Taobao page beside a Tmall page (median, min and max of 9) =="
"$BUILD/bench/item_page_bench" --benchmark_filter='Analyse(Fetched|Tmall)Page' --benchmark_repetitions=9 \
  --benchmark_report_aggregates_only=true
echo
echo "== export_bench (65 535 rows to .xls and .xlsx, one process per round, vs bare libxlsxwriter) =="
"$BUILD/bench/export_bench" --rounds 5
echo "== results_view_bench (100 000 rows into the shown results view, offscreen) =="
"$BUILD/bench/results_view_bench" --rows 100000
