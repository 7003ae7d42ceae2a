#!/usr/bin/env bash
# Installs the report page's chart library from the npm registry, at the version
# pinned by res/package-lock.json, into DIR/node_modules (the build calls this).
set -euo pipefail
DIR=${1:?usage: fetch-echarts.sh DIR}
SRC="$(cd "$(dirname "$0")/.." && pwd)/res"
mkdir -p "$DIR"
cp "$SRC/package.json" "$SRC/package-lock.json" "$DIR/"
cd "$DIR"
npm ci --no-audit --no-fund --ignore-scripts --loglevel=error
test -s node_modules/echarts/dist/echarts.min.js
touch node_modules/echarts/dist/echarts.min.js
