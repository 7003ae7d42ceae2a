#!/usr/bin/env bash
# `make demo`: the desktop program against a local kelvora-sim. Until the desktop
# program is built, this says so and shows the same core at work through kelvora-cli.
set -euo pipefail
BUILD=${1:-build}
BIN="$BUILD/bin"

if [ -x "$BIN/kelvora" ]; then
  exec "$BIN/kelvora" --demo
fi

echo "kelvora (desktop): not yet available."
echo "Meanwhile, the same core through kelvora-cli against kelvora-sim:"
echo

work=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$BIN/kelvora-sim" --items 200 --write-config "$work/kelvora.ini" > "$work/sim.out" &
sim_pid=$!
for _ in $(seq 1 100); do
  grep -q listening "$work/sim.out" 2>/dev/null && break
  sleep 0.1
done
base=$(sed -n 's/^kelvora-sim listening on \(http:[^ ]*\)\/$/\1/p' "$work/sim.out")
[ -n "$base" ] || { echo "kelvora-sim did not start" >&2; exit 1; }
# A request that gets no whole answer is sent again, twice at most.
printf '[http]\nretries=2\n' >> "$work/kelvora.ini"

# Three Taobao and two Tmall items of the simulated catalogue.
catalogue=$(curl -s "$base/sim/catalogue.json?offset=0&limit=100")
pick() {  # kind, path, count
  grep -o "\"id\":\"[0-9]*\",\"kind\":\"$1\"" <<<"$catalogue" | head -n "$3" |
    sed "s|\"id\":\"\([0-9]*\)\".*|$base/$2?id=\1|"
}
mapfile -t urls < <(pick taobao item/item.htm 3; pick tmall detail/item.htm 2)

"$BIN/kelvora-cli" --config "$work/kelvora.ini" --login demo:demo123 \
  --market-cookie "cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo" \
  --delay 0 item "${urls[@]}"
