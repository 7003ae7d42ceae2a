#!/usr/bin/env bash
# Starts the desktop program against a local kelvora-sim.
set -euo pipefail
echo "kelvora (desktop): not yet available. The command-line program and the simulator are built in ${1:-build}/bin."
exit 0
