#!/usr/bin/env bash
# Compares what two builds of kelvora-cli make of the same rows files: report
# texts, retry output (rows that need no request), export cells (.xls byte for
# byte, .xlsx cell by cell through openpyxl) and the refusals of bad input (exit
# code and message), all with --now fixed. Not part of the tests.
#
#   bench/compare_cli_outputs.sh OLD_CLI NEW_CLI [ROWS]     (ROWS: default 100000)
set -uo pipefail
OLD=$1
NEW=$2
ROWS=${3:-100000}
NOW="2026-12-11 12:00:00"
HERE="$(cd "$(dirname "$0")" && pwd)"
PY=/usr/bin/python3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
same() { if cmp -s "$1" "$2"; then echo "same      $3"; else echo "DIFFERENT $3"; failures=$((failures + 1)); fi; }

"$PY" "$HERE/make_rows.py" --rows "$ROWS" --now "$NOW" > "$work/big.jsonl"
"$PY" "$HERE/make_rows.py" --rows 65535 --now "$NOW" > "$work/xls.jsonl"
"$PY" "$HERE/make_rows.py" --rows 65535 --now "$NOW" --format tsv > "$work/xls.tsv"
"$PY" "$HERE/make_rows.py" --rows 5000 --now "$NOW" --settled > "$work/settled.jsonl"
"$PY" "$HERE/make_rows.py" --rows 5000 --now "$NOW" --settled --format tsv > "$work/settled.tsv"
# Every code point but the surrogates and zero, as they are and as \u escapes.
"$PY" - "$work" <<'PYEOF'
import json, sys
cps = [c for c in range(1, 0x110000) if not 0xD800 <= c <= 0xDFFF]
with open(sys.argv[1] + "/allcp.jsonl", "w") as raw, open(sys.argv[1] + "/allcp-esc.jsonl", "w") as esc:
    for i in range(0, len(cps), 1000):
        row = [str(i), "1", "".join(map(chr, cps[i:i + 1000])), "", "", "2026年12月1日", "2026年12月8日"] + [""] * 7
        raw.write(json.dumps(row, ensure_ascii=False) + "\n")
        esc.write(json.dumps(row, ensure_ascii=True) + "\n")
PYEOF

for f in big.jsonl xls.jsonl xls.tsv settled.jsonl allcp.jsonl; do
  "$OLD" --now "$NOW" report "$work/$f" > "$work/old.txt" 2>&1
  "$NEW" --now "$NOW" report "$work/$f" > "$work/new.txt" 2>&1
  same "$work/old.txt" "$work/new.txt" "report $f"
done
for f in settled.jsonl settled.tsv allcp.jsonl allcp-esc.jsonl; do
  for form in jsonl tsv; do
    "$OLD" --quiet --now "$NOW" --format $form retry "$work/$f" > "$work/old.txt" 2>&1
    "$NEW" --quiet --now "$NOW" --format $form retry "$work/$f" > "$work/new.txt" 2>&1
    same "$work/old.txt" "$work/new.txt" "retry --format $form $f"
  done
done
for f in xls.jsonl xls.tsv allcp.jsonl; do
  "$OLD" --quiet --now "$NOW" export --out "$work/old.xls" "$work/$f"
  "$NEW" --quiet --now "$NOW" export --out "$work/new.xls" "$work/$f"
  same "$work/old.xls" "$work/new.xls" "export .xls $f (bytes)"
  "$OLD" --quiet --now "$NOW" export --out "$work/old.xlsx" "$work/$f"
  "$NEW" --quiet --now "$NOW" export --out "$work/new.xlsx" "$work/$f"
  if "$PY" - "$work/old.xlsx" "$work/new.xlsx" <<'PYEOF'
import sys, openpyxl
def cells(path):
    book = openpyxl.load_workbook(path)
    return {s.title: ([tuple(c.value for c in r) for r in s.iter_rows()],
                      [tuple(c.number_format for c in r) for r in s.iter_rows()],
                      {k: d.width for k, d in s.column_dimensions.items()},
                      s.freeze_panes, s.auto_filter.ref) for s in book.worksheets}
sys.exit(0 if cells(sys.argv[1]) == cells(sys.argv[2]) else 1)
PYEOF
  then echo "same      export .xlsx $f (cells, formats, widths, panes, filter)"
  else echo "DIFFERENT export .xlsx $f"; failures=$((failures + 1)); fi
done
if command -v soffice > /dev/null; then
  (cd "$work" && soffice --headless --convert-to csv new.xlsx > /dev/null 2>&1 && [ -s new.csv ]) &&
    echo "same      LibreOffice opens the .xlsx" || { echo "DIFFERENT LibreOffice cannot open the .xlsx"; failures=$((failures + 1)); }
else
  echo "skipped   LibreOffice check: soffice is not installed"
fi

# Refusals: the same exit code and the same message.
printf '%s\n' '["a",' > "$work/broken.jsonl"
printf '%s\n' '["1","2","a\u0000b","","","","","","","","","","",""]' > "$work/zero.jsonl"
printf '["1","\xb1\xea"]\n' > "$work/gbk.jsonl"
printf '%s\n' '["1","2","3","","","","","","","","","","","",{"failed":["nothing"]}]' > "$work/name.jsonl"
printf '%s\n' '["1","2","3","","","","","","","","","","","",{"failed":["page"],"x":1}]' > "$work/extra.jsonl"
printf '%s\n' '(["1","2","3","","","","","","","","","","",""]);' > "$work/wrapped.jsonl"
printf '%s\n' '["1","2","3","","","","","","","","","","",""] x' > "$work/trailing.jsonl"
printf 'not rows\n' > "$work/words.tsv"
printf '1\t2\n' > "$work/short.tsv"
head -c 3000000 "$work/big.jsonl" > "$work/cut.jsonl"
printf '\xef\xbb\xbf' | cat - "$work/settled.tsv" > "$work/bom.tsv"
for f in broken.jsonl zero.jsonl gbk.jsonl name.jsonl extra.jsonl wrapped.jsonl trailing.jsonl words.tsv short.tsv \
  cut.jsonl bom.tsv; do
  for cmd in "report" "retry" "export --out $work/refused.xls"; do
    "$OLD" --quiet --now "$NOW" $cmd "$work/$f" > "$work/old.txt" 2>&1
    echo "exit $?" >> "$work/old.txt"
    "$NEW" --quiet --now "$NOW" $cmd "$work/$f" > "$work/new.txt" 2>&1
    echo "exit $?" >> "$work/new.txt"
    same "$work/old.txt" "$work/new.txt" "${cmd%% *} $f"
  done
done
# .xls holds 65 535 rows: the next one is refused naming its line.
"$PY" "$HERE/make_rows.py" --rows 65536 --now "$NOW" > "$work/over.jsonl"
"$OLD" --quiet export --out "$work/o.xls" "$work/over.jsonl" > "$work/old.txt" 2>&1; echo "exit $?" >> "$work/old.txt"
"$NEW" --quiet export --out "$work/n.xls" "$work/over.jsonl" > "$work/new.txt" 2>&1; echo "exit $?" >> "$work/new.txt"
sed -i "s|$work/[on].xls|OUT|g" "$work/old.txt" "$work/new.txt"
same "$work/old.txt" "$work/new.txt" "export .xls of 65 536 rows"

echo "$failures differences"
[ "$failures" = 0 ]
