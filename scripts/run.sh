#!/usr/bin/env bash
# Sets up the machine, builds, and starts Quorvel.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
if [ -x build/src/app/quorvel ]; then
  exec build/src/app/quorvel
fi
# Without the window: decode the demo recording.
exec build/src/tools/quorvel-decode demo/demo.wav --stats
