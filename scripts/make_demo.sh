#!/usr/bin/env bash
# Rebuilds demo/demo.wav with the project's own generator: a POCSAG transmission
# (alphanumeric and numeric calls at 1200 bit/s), an FMS status telegram with
# follow-on text and a ZVEI five-tone sequence, at 25 dB, 11025 Hz mono.
# Needs a build (scripts/build.sh) and python3 to join the pieces.
set -euo pipefail
cd "$(dirname "$0")/.."
gen=build/src/tools/quorvel-gen
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
common=(--channels 1 --signal-channel 1 --level 9000 --snr 25 --lead 0.4 --tail 0.4)
"$gen" pocsag -o "$tmp/1.wav" "${common[@]}" --seed 1 --bitrate 1200 \
  --call '1234567,3,alpha,Einsatz: Brand Müllerstraße 4' --call '1050624,0,numeric,0171 555 123'
"$gen" fms -o "$tmp/2.wav" "${common[@]}" --seed 2 --text 'Lage klar' --text-number 5
"$gen" tones -o "$tmp/3.wav" "${common[@]}" --seed 3 --table zvei-normal -s 21453
python3 - "$tmp" demo/demo.wav <<'PY'
import sys, wave
tmp, out = sys.argv[1], sys.argv[2]
frames = b""
for name in ("1.wav", "2.wav", "3.wav"):
    with wave.open(f"{tmp}/{name}") as w:
        params = w.getparams()
        frames += w.readframes(w.getnframes())
with wave.open(out, "wb") as w:
    w.setparams(params)
    w.writeframes(frames)
PY
echo "wrote demo/demo.wav"
