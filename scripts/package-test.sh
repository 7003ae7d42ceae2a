#!/usr/bin/env bash
# Checks the Debian package that `make package` built in BUILD: lintian (no error,
# no warning beyond the kept ones the README lists), the desktop entry, the AppStream
# metadata, the man pages and the bash completion; then unpacks it into a scratch
# folder and runs the unpacked programs from there: kelvora-cli --version and one
# item lookup against the unpacked kelvora-sim.
#
#   scripts/package-test.sh [BUILD]
set -euo pipefail
BUILD=${1:-build}
cd "$(dirname "$0")/.."

# Warnings lintian gives that are kept on purpose; README ("Install") says why.
KEPT_WARNINGS=()

debs=("$BUILD"/kelvora_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "package-test: want exactly one $BUILD/kelvora_*.deb, found: ${debs[*]}" >&2
  exit 1
fi
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
echo "package-test: $deb (version $version)"
failures=0
fail() {
  echo "package-test: FAIL: $*" >&2
  failures=$((failures + 1))
}

# lintian: every tag it reports, errors and unexpected warnings fail.
# (--fail-on none: a non-zero exit means lintian itself could not run.)
lintian_out=$(lintian --no-cfg --fail-on none --display-level '>=warning' --tag-display-limit 0 "$deb" 2>&1) ||
  fail "lintian did not run: $lintian_out"
[ -z "$lintian_out" ] || echo "$lintian_out"
while read -r kind _ tag _; do
  case $kind in
    E:) fail "lintian error $tag" ;;
    W:)
      kept=0
      for k in "${KEPT_WARNINGS[@]}"; do [ "$k" = "$tag" ] && kept=1; done
      [ $kept -eq 1 ] || fail "lintian warning $tag is not one of the kept ones (README, \"Install\")"
      ;;
  esac
done <<<"$lintian_out"

scratch=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
root=$scratch/root
dpkg-deb -x "$deb" "$root"

desktop-file-validate "$root/usr/share/applications/kelvora.desktop" || fail "desktop-file-validate"
metainfo=("$root"/usr/share/metainfo/*.metainfo.xml)
appstreamcli validate --no-net "${metainfo[@]}" || fail "appstreamcli validate"

# Every man page renders without a warning.
for page in kelvora kelvora-cli kelvora-sim; do
  file=$root/usr/share/man/man1/$page.1.gz
  [ -f "$file" ] || {
    fail "no man page $page.1.gz"
    continue
  }
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null) || fail "man $page"
  [ -z "$warnings" ] || fail "man $page: $warnings"
done

# The bash completion offers the commands, the global options, a command's options
# and files: on its own, and with the bash-completion package's helpers loaded.
completion=$root/usr/share/bash-completion/completions/kelvora-cli
helpers=/usr/share/bash-completion/bash_completion
complete_words() {  # complete_words HELPERS WORD...: what Tab offers after kelvora-cli WORD...
  (cd "$scratch/files" && bash -c '
    helpers=$1 completion=$2
    shift 2
    [ -z "$helpers" ] || source "$helpers"
    source "$completion"
    COMP_WORDS=(kelvora-cli "$@"); COMP_CWORD=$#
    COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
    _kelvora_cli
    echo "${COMPREPLY[*]}"' complete "$@")
}
mkdir "$scratch/files" && touch "$scratch/files/rows.jsonl"
[ -f "$helpers" ] || fail "no $helpers (scripts/install-deps.sh installs bash-completion)"
for with in "" "$helpers"; do
  while IFS='|' read -r expected words; do
    eval "set -- $words"
    got=$(complete_words "$with" "$completion" "$@")
    [ "$got" = "$expected" ] || fail "completion of \"$words\" ${with:+with $with }offered \"$got\", not \"$expected\""
  done <<'CASES'
item|it
--format|--fo
jsonl|--format j
export|--config x.ini exp
--out|export --o
rows.jsonl|retry ''
rows.jsonl|--monitor r
prune|history p
--keep-days|history prune --k
CASES
done

# The unpacked programs run from their folder.
cli=$root/usr/bin/kelvora-cli
out=$("$cli" --version) || fail "kelvora-cli --version exit code"
[[ $out == "kelvora-cli $version"* ]] || fail "kelvora-cli --version printed \"$out\""
for f in b.html item_history.html echarts.min.js; do
  [ -s "$root/usr/lib/kelvora/res/$f" ] || fail "no res/$f beside the programs"
done

# One lookup against the unpacked simulator.
mkfifo "$scratch/sim.out"
"$root/usr/bin/kelvora-sim" --port 0 --write-config "$scratch/sim.ini" >"$scratch/sim.out" &
sim_pid=$!
exec 3<"$scratch/sim.out"
read -r -t 30 line <&3 || true
base=${line##* }
if [[ $base != http://127.0.0.1:*/ ]]; then
  fail "kelvora-sim said \"$line\""
else
  # An item of the Taobao kind, and what a correct client shows for it.
  truth=$(curl -sf "${base}sim/catalogue.json?limit=50" |
    python3 -c 'import json,sys; print(next(i["id"] for i in json.load(sys.stdin)["items"] if i["kind"]=="taobao"))' |
    xargs -I{} curl -sf "${base}sim/item/{}.json")
  address=$(python3 -c 'import json,sys; print(json.loads(sys.argv[1])["url"])' "$truth")
  code=0
  row=$("$cli" --config "$scratch/sim.ini" --login demo:demo123 \
    --market-cookie "cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo" \
    --monitor "$scratch/ids.txt" --delay 0 --format jsonl --quiet item "$address") || code=$?
  [ $code -eq 0 ] || fail "kelvora-cli item: exit code $code"
  python3 - "$truth" "$row" <<'PY' || fail "kelvora-cli item printed: $row"
import json, sys
truth, row = json.loads(sys.argv[1]), json.loads(sys.argv[2])
assert len(row) == 14, row
assert row[1] == truth["itemId"] and row[2] == truth["title"] and row[4] == truth["seller"], row
assert truth["listedAt"] and row[5] not in ("", "无时间"), row  # the lookup service answered
PY
fi

if [ $failures -ne 0 ]; then
  echo "package-test: $failures check(s) failed" >&2
  exit 1
fi
echo "package-test: all checks passed"
