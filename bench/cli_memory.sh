#!/usr/bin/env bash
# Peak memory of `kelvora-cli item` over 500 and over 2000 item addresses of
# kelvora-sim (item pages of real size), measured by /usr/bin/time -v. Not part
# of the tests.
#
#   bench/cli_memory.sh [BUILD]      COUNTS="500 2000" TLS=1 (https) as environment
set -euo pipefail
BUILD=${1:-build}
cd "$(dirname "$0")/.."
BIN="$BUILD/bin"
COUNTS=${COUNTS:-"500 2000"}
TLS=${TLS:-0}
COOKIE="cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo"

if [ ! -x /usr/bin/time ]; then
  scripts/install-deps.sh
fi

work=$(mktemp -d)
sim_pid=""
stop_sim() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
  fi
}
trap 'stop_sim; rm -rf "$work"' EXIT

max=0
for n in $COUNTS; do [ "$n" -gt "$max" ] && max=$n; done
sim_args=(--port 0 --items "$max" --write-config "$work/sim.ini")
curl_args=(-sS)
if [ "$TLS" = 1 ]; then
  sim_args+=(--tls)
  curl_args+=(--cacert "$work/kelvora-sim-ca.pem")
fi
mkfifo "$work/out"
"$BIN/kelvora-sim" "${sim_args[@]}" > "$work/out" &
sim_pid=$!
read -r line < "$work/out"
base=${line##* }   # ".../127.0.0.1:PORT/"
base=${base%/}

# Every catalogue item, at the address a list gives for its kind.
curl "${curl_args[@]}" "$base/sim/catalogue.json?offset=0&limit=$max" |
  grep -o '"id":"[0-9]*","kind":"[a-z]*"' |
  sed -e 's/"id":"\([0-9]*\)","kind":"tmall"/detail\/item.htm?id=\1/' \
      -e 's/"id":"\([0-9]*\)","kind":"[a-z]*"/item\/item.htm?id=\1/' \
      -e "s|^|$base/|" > "$work/addresses"

echo "kelvora-cli item against kelvora-sim at $base"
for n in $COUNTS; do
  mapfile -t addresses < <(head -n "$n" "$work/addresses")
  /usr/bin/time -v "$BIN/kelvora-cli" --config "$work/sim.ini" --login demo:demo123 --market-cookie "$COOKIE" \
    --delay 0 --quiet --format tsv --monitor "$work/none.txt" item "${addresses[@]}" \
    > "$work/rows.tsv" 2> "$work/time.txt" || { cat "$work/time.txt" >&2; exit 1; }
  rows=$(($(wc -l < "$work/rows.tsv") - 1))
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time.txt")
  awk -v n="$n" -v rss="$rss" -v rows="$rows" -v wall="$wall" \
    'BEGIN { printf "%5d items: peak RSS %d KB (%.1f MB), %d rows, wall %s\n", n, rss, rss / 1024, rows, wall }'
done
