#!/bin/sh
# kill -9 in the middle of a 2 000-item run recorded into a history file: rows
# printed before the kill against rows found in the file afterwards, and the
# missing rows expressed as time (at the run's own pace).
#
#   bench/history_kill.sh [BUILD_DIR] [TIMES]      default build, 5 times
set -eu
build=${1:-build}
times=${2:-5}
cli="$build/bin/kelvora-cli"
sim="$build/bin/kelvora-sim"
work=$(mktemp -d)
trap 'kill "$simpid" 2>/dev/null || true; rm -rf "$work"' EXIT

"$sim" --items 2000 --latency-ms 2 --page-size small --write-config "$work/k.ini" >"$work/sim.out" &
simpid=$!
while ! grep -q listening "$work/sim.out" 2>/dev/null; do sleep 0.05; done
base=$(sed -n 's|.*\(http://127.0.0.1:[0-9]*\)/.*|\1|p' "$work/sim.out")
curl -s "$base/sim/catalogue.json?limit=2000" | grep -o '"id":"[0-9]*"' | cut -d'"' -f4 |
  sed "s|^|$base/item/item.htm?id=|" >"$work/addresses"

i=0
while [ "$i" -lt "$times" ]; do
  i=$((i + 1))
  rm -f "$work"/h.sqlite3*
  start=$(date +%s.%N)
  "$cli" --config "$work/k.ini" --service-cookie kv_auth=kelvorademo-session \
    --market-cookie 'cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo' --delay 0 --quiet \
    --history "$work/h.sqlite3" list --mode item "$work/addresses" >"$work/out" &
  pid=$!
  sleep "1.$((i * 17 % 10))"
  kill -9 "$pid"
  end=$(date +%s.%N)
  wait "$pid" 2>/dev/null || true
  printed=$(($(wc -l <"$work/out") - 1))
  recorded=$("$cli" --history "$work/h.sqlite3" history runs | cut -f5)
  state=$("$cli" --history "$work/h.sqlite3" history runs | cut -f7)
  awk -v p="$printed" -v r="$recorded" -v s="$start" -v e="$end" -v st="$state" 'BEGIN {
    rate = p / (e - s); miss = p - r;
    printf "printed %d, recorded %d (%s), missing %d = %.0f ms of rows at %.0f rows/s\n", p, r, st, miss, miss / rate * 1000, rate }'
done
