#!/usr/bin/env bash
# The fault run: ITEMS items through kelvora-cli against a kelvora-sim that fails,
# hangs and mangles answers, once without and once with request retries, then
# `retry` of each output against the same simulator without faults. Every row is
# compared with the simulator's truth (/sim/item/N.json). Not part of the tests:
# it takes minutes (held requests wait for the stall time-out).
#
# A run against the same simulator without faults counts false marks.
#
#   bench/fault_run.sh [BUILD]      ITEMS=2000 SHARDS=8 SEED=1 as environment;
#                                   FAULTS="--malformed-rate 0.3" for other faults
set -euo pipefail
BUILD=${1:-build}
cd "$(dirname "$0")/.."
BIN="$BUILD/bin"
ITEMS=${ITEMS:-2000}
SHARDS=${SHARDS:-8}   # parallel kelvora-cli runs; the waits are idle time
SEED=${SEED:-1}
SIM_NOW="2024-06-01 12:00:00"
CLI_NOW="2024-06-01 14:20:34"   # a little after the simulator's now
read -r -a FAULTS <<< "${FAULTS:---fail-rate 0.2 --hang-rate 0.05 --malformed-rate 0.05}"
PY=/usr/bin/python3

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

port=$($PY -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

# Starts the simulator on the fixed port (rows keep naming it across runs).
start_sim() {  # extra options...
  "$BIN/kelvora-sim" --port "$port" --seed "$SEED" --items "$ITEMS" --now "$SIM_NOW" \
    --write-config "$work/sim.ini" "$@" > "$work/sim.out" &
  sim_pid=$!
  for _ in $(seq 1 100); do
    grep -q listening "$work/sim.out" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "kelvora-sim did not start" >&2
  exit 1
}

settings() {  # retries
  cp "$work/sim.ini" "$work/run.ini"
  printf '[http]\nconnect_timeout=1\nstall_timeout=1\ntotal_timeout=2\nretries=%s\n' "$1" >> "$work/run.ini"
}

cli() {
  "$BIN/kelvora-cli" --config "$work/run.ini" --service-cookie kv_auth=kelvorademo-session \
    --market-cookie "cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo" \
    --monitor "$work/no-ids.txt" --delay 0 --now "$CLI_NOW" --format jsonl "$@"
}

base="http://127.0.0.1:$port"

# The truth and the addresses, from a simulator without faults.
start_sim
$PY - "$base" "$ITEMS" "$work" <<'EOF'
import json, sys, urllib.request
base, n, work = sys.argv[1], int(sys.argv[2]), sys.argv[3]
get = lambda p: json.load(urllib.request.urlopen(base + p))
items = get(f"/sim/catalogue.json?offset=0&limit={n}")["items"]
truth = [get(f"/sim/item/{it['id']}.json") for it in items]
json.dump(truth, open(f"{work}/truth.json", "w"))
with open(f"{work}/urls.txt", "w") as f:
    for t in truth:
        f.write(t["url"] + "\n")
EOF
stop_sim
split -n "l/$SHARDS" -d -a 2 "$work/urls.txt" "$work/shard."

run_items() {  # name retries [simulator options...]
  local name=$1 retries=$2
  shift 2
  start_sim "$@"
  settings "$retries"
  local t0=$SECONDS pids=()
  for shard in "$work"/shard.??; do
    local s=${shard##*.}
    mapfile -t urls < "$shard"
    cli item "${urls[@]}" > "$work/$name.$s.jsonl" 2> "$work/$name.$s.err" &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p"; done
  echo "$name: $((SECONDS - t0)) s" >> "$work/times.txt"
  curl -s "$base/sim/faults.json" > "$work/$name.faults.json"
  stop_sim
}

run_retry() {  # name of the run whose rows are retried
  local name=$1
  start_sim
  settings 0
  local t0=$SECONDS pids=()
  for shard in "$work"/shard.??; do
    local s=${shard##*.}
    cli retry "$work/$name.$s.jsonl" > "$work/$name-retry.$s.jsonl" 2> "$work/$name-retry.$s.err" &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p"; done
  echo "$name then retry: $((SECONDS - t0)) s" >> "$work/times.txt"
  stop_sim
}

run_items clean 0
run_items retries0 0 "${FAULTS[@]}"
run_items retries2 2 "${FAULTS[@]}"
run_retry retries0
run_retry retries2

$PY - "$work" "$SHARDS" "$CLI_NOW" <<'EOF'
import json, re, sys, glob, calendar, time
work, shards, cli_now = sys.argv[1], int(sys.argv[2]), sys.argv[3]
truth = json.load(open(f"{work}/truth.json"))
now = calendar.timegm(time.strptime(cli_now, "%Y-%m-%d %H:%M:%S")) - 8 * 3600

def date_text(unix):
    t = time.gmtime(unix + 8 * 3600)
    s = f"{t.tm_year}年{t.tm_mon}月{t.tm_mday}日"
    if t.tm_sec: s += f"{t.tm_hour}时{t.tm_min}分{t.tm_sec}秒"
    elif t.tm_min: s += f"{t.tm_hour}时{t.tm_min}分"
    elif t.tm_hour: s += f"{t.tm_hour}时"
    return s

def time_cell(v):
    return "" if v is None else "无时间" if v == 0 else date_text(v)

def expected(t):
    d = t["delistAt"]
    left = max(0, (d - now) // 3600) if d else 0
    return [t["itemId"], t["title"], t["link"], t["seller"], time_cell(t["listedAt"]), time_cell(d),
            str(left), t["shopType"], t["sales"], t["stock"], t["price"], t["location"], ""]

def rows(name):
    out = []
    for s in range(shards):
        lines = open(f"{work}/{name}.{s:02d}.jsonl", encoding="utf-8").read().splitlines()
        out.append([json.loads(l) for l in lines])
    return out

def shard_items():
    out = []
    for s in range(shards):
        n = len(open(f"{work}/shard.{s:02d}").read().splitlines())
        out.append(n)
    return out

sizes = shard_items()
first = [sum(sizes[:s]) for s in range(shards)]

def corrupted_ids(name):
    ids = set()
    for f in json.load(open(f"{work}/{name}.faults.json"))["faults"]:
        if f["fault"] == "corrupt":
            m = re.search(r"[?&](?:id|itemId|tid)=(\d+)", f["target"])
            if m: ids.add(m.group(1))
    return ids

def judge(name, faults_of):
    corrupt = corrupted_ids(faults_of) if faults_of else set()
    res = dict(rows_in=sum(sizes), rows_out=0, failed_part=0, no_time=0, wrong=0,
               wrong_unmarked=0, wrong_unmarked_corrupt=0, marked=set(), wrong_set=set())
    for s, shard in enumerate(rows(name)):
        res["rows_out"] += len(shard)
        for i, r in enumerate(shard):
            k = first[s] + i
            t = truth[k]
            failed = len(r) == 15
            if failed: res["failed_part"] += 1
            if r[5] == "无时间": res["no_time"] += 1
            ok = r[0] == str(i) and r[1:14] == expected(t)
            marked = failed or r[5] == "无时间"
            if marked: res["marked"].add(k)
            if not ok:
                res["wrong"] += 1
                res["wrong_set"].add(k)
                if not marked:
                    if t["id"] in corrupt: res["wrong_unmarked_corrupt"] += 1
                    else: res["wrong_unmarked"] += 1
    return res

def stderr_lines(name):
    n = 0
    for f in glob.glob(f"{work}/{name}.*.err"):
        n += sum(1 for l in open(f, encoding="utf-8") if re.match(r"kelvora-cli: row \d+: .* failed$", l))
    return n

print(open(f"{work}/times.txt").read(), end="")
print()
print(f"{'':34s}{'retries=0':>12s}{'retries=2':>12s}")
runs = {n: judge(n, n) for n in ("retries0", "retries2")}
clean = judge("clean", None)
print(f"without faults: rows {clean['rows_out']}, with a failed part {clean['failed_part']} (false marks), "
      f"wrong {clean['wrong']}, of which unmarked {clean['wrong_unmarked']}")
retried = {n: judge(n + "-retry", None) for n in ("retries0", "retries2")}
def line(label, key, src=runs):
    print(f"{label:34s}{src['retries0'][key]:>12}{src['retries2'][key]:>12}")
line("rows in", "rows_in")
line("rows out", "rows_out")
line("rows with a failed part", "failed_part")
print(f"{'  stderr lines about failed rows':34s}{stderr_lines('retries0'):>12}{stderr_lines('retries2'):>12}")
line("rows reading 无时间", "no_time")
line("rows wrong", "wrong")
line("wrong without any mark", "wrong_unmarked")
line("wrong, unmarked, corrupted answer", "wrong_unmarked_corrupt")
print("after retry against a sim without faults:")
line("  rows out", "rows_out", retried)
line("  rows with a failed part", "failed_part", retried)
line("  rows wrong", "wrong", retried)
for n in ("retries0", "retries2"):
    r, a = runs[n], retried[n]
    marked_wrong = r["marked"] & r["wrong_set"]
    recovered = marked_wrong - a["wrong_set"]
    print(f"{n}: marked rows {len(r['marked'])}, marked and wrong {len(marked_wrong)}, "
          f"recovered by retry {len(recovered)}, still wrong after retry {len(a['wrong_set'])} "
          f"(of which unmarked before: {len(a['wrong_set'] - r['marked'])})")
EOF
