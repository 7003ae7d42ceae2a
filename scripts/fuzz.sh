#!/usr/bin/env bash
# Runs every fuzz program of a KELVORA_FUZZ build for SECONDS seconds each, after
# replaying the inputs kept in fuzz/regressions/. New inputs go to the build
# folder, never into the committed seed corpora.
#   scripts/fuzz.sh BUILD_DIR SECONDS [TARGET...]
set -euo pipefail

build=${1:?build folder}
seconds=${2:?seconds per target}
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(json text item_page search_page item_list page_spec cookie settings rows link_scan)
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

for t in "${targets[@]}"; do
  program="$build/bin/kelvora-fuzz-$t"
  regressions="$root/fuzz/regressions/$t"
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    echo "fuzz: $t: replaying $(ls -A "$regressions" | wc -l) kept inputs"
    "$program" -rss_limit_mb=2048 -timeout=10 "$regressions"/* >"$build/fuzz-$t-regressions.log" 2>&1 ||
      { cat "$build/fuzz-$t-regressions.log"; echo "fuzz: $t: a kept input fails" >&2; exit 1; }
  fi
  work="$build/corpus/$t"
  mkdir -p "$work" "$build/artifacts/$t"
  log="$build/fuzz-$t.log"
  if ! "$program" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -max_len=65536 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$t/" \
      "$work" "$root/fuzz/corpus/$t" >"$log" 2>&1; then
    tail -60 "$log"
    echo "fuzz: $t: crash; the input is in $build/artifacts/$t/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  echo "fuzz: $t: ${runs:-?} executions in ${seconds} s (${speed:-?}/s), no crash"
done
