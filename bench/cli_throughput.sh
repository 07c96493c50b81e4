#!/usr/bin/env bash
# Throughput of quorvel-decode on a 10-minute 22050 Hz mono file, with no decoder
# and with all three: seconds of audio per second of CPU.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$top/build}"
file="$(mktemp --suffix=.wav)"
trap 'rm -f "$file"' EXIT
"$build/src/tools/quorvel-gen" sine -o "$file" --rate 22050 --channels 1 --signal-channel 1 \
  --seconds 600 --frequency 1200 --level 6000 --snr 20 --lead 0 --tail 0
for decoders in none pocsag,fms,zvei; do
  cpu=$( { /usr/bin/time -f '%U %S' "$build/src/tools/quorvel-decode" -d "$decoders" "$file" >/dev/null; } 2>&1 | tail -1 | awk '{print $1 + $2}')
  awk -v cpu="$cpu" -v d="$decoders" 'BEGIN { printf "decoders %-16s cpu %.2f s  %.0f x real time\n", d, cpu, 600 / (cpu > 0 ? cpu : 0.001) }'
done
