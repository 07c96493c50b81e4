#!/usr/bin/env bash
# Runs the libFuzzer harnesses of a fuzzing build (scripts/test.sh makes one in
# build-asan) for a while each, two at a time, from a seed corpus made by the
# project's generator (the decoders and readers) and written here (the parsers). Any crash, leak or sanitizer report fails the run; the
# input that caused it is kept in BUILD/fuzz-findings.
# Usage: scripts/fuzz.sh [BUILD_DIR] [SECONDS_PER_HARNESS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-asan}
seconds=${2:-60}
gen=$build/src/tools/quorvel-gen
corpus=$build/fuzz-corpus
findings=$build/fuzz-findings
rm -rf "$corpus"
mkdir -p "$corpus/engine" "$corpus/reader" "$corpus/parsers" "$findings"

# Seeds: short calls of every kind as WAV files (mono and stereo, two rates).
common=(--snr 20 --lead 0.05 --tail 0.3)
seeds=$corpus/wav
mkdir -p "$seeds"
"$gen" pocsag -o "$seeds/pocsag.wav" "${common[@]}" --channels 1 --bitrate 1200 --preamble 64 --call 1234567,3,alpha,Test
"$gen" pocsag -o "$seeds/pocsag512.wav" "${common[@]}" --channels 1 --bitrate 512 --preamble 32 --inverted --call 8,0,numeric,0123
"$gen" fms -o "$seeds/fms.wav" "${common[@]}" --channels 1 --text Lage
"$gen" tones -o "$seeds/zvei.wav" "${common[@]}" --channels 1 -s 12345
"$gen" tones -o "$seeds/ccir.wav" "${common[@]}" --channels 1 --table ccir -s 54321
"$gen" sine -o "$seeds/stereo22k.wav" --rate 22050 --seconds 0.2 --lead 0 --tail 0
# Engine inputs: three bytes of settings before the samples (the WAV header
# dropped); reader inputs: a byte choosing a sound file, three unused, the file.
i=0
for f in "$seeds"/*.wav; do
  for flags in '\x00\x00\x00' '\x01\x00\x00' '\x06\x0f\x00' '\x0b\x00\x00'; do
    { printf "$flags"; tail -c +45 "$f"; } > "$corpus/engine/seed$i"
    i=$((i + 1))
  done
  { printf '\x00\x00\x00\x00'; cat "$f"; } > "$corpus/reader/$(basename "$f")"
  { printf '\x01\xb1\x01\x01'; tail -c +45 "$f"; } > "$corpus/reader/raw-$(basename "$f" .wav)"
done
for f in fuzz/seeds/*; do
  { printf '\x00\x00\x00\x00'; cat "$f"; } > "$corpus/reader/$(basename "$f")"
done

# Parser inputs: a byte choosing the parser (0 alias file, 1 filter rule, 2 MQTT
# URL, 3 --start-time), then the text.
printf '\x00protocol,address,subaddress,name,action\npocsag,1234567,d,"Wache, Nord"\nfms,6312abcd,,HLF\nzvei,12345,,Sirene,show\n' > "$corpus/parsers/aliases"
printf '\x00\xef\xbb\xbfprotocol,address,subaddress,name\r\n# c\r\nccir,1?345,,\xc5\x81\xc3\xb3d\xc5\xba,ignore\r\n' > "$corpus/parsers/aliases-bom"
printf '\x01pocsag:1234000-1234999' > "$corpus/parsers/filter"
printf '\x01fms:63123456' > "$corpus/parsers/filter-fms"
printf '\x02mqtts://user:p%%40ss@[::1]:8883/station/one' > "$corpus/parsers/url"
printf '\x02mqtt://host/t\xc3\xa4' > "$corpus/parsers/url-utf8"
printf '\x032024-02-29T14:00:00.25+14:00' > "$corpus/parsers/start"
printf '\x032024-05-06 23:59:59' > "$corpus/parsers/start-local"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/fuzz/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
run() {  # harness, corpus, max_len
  "$build/fuzz/$1" -max_total_time="$seconds" -max_len="$3" -timeout=20 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$findings/$1-" "$2" >"$build/$1.log" 2>&1
}
status=0
run engine_fuzz "$corpus/engine" 65536 & engine=$!
run reader_fuzz "$corpus/reader" 65536 & reader=$!
wait "$engine" || { status=1; echo "fuzz: engine_fuzz found a fault:"; tail -40 "$build/engine_fuzz.log"; }
wait "$reader" || { status=1; echo "fuzz: reader_fuzz found a fault:"; tail -40 "$build/reader_fuzz.log"; }
run parsers_fuzz "$corpus/parsers" 4096 || { status=1; echo "fuzz: parsers_fuzz found a fault:"; tail -40 "$build/parsers_fuzz.log"; }
for h in engine_fuzz reader_fuzz parsers_fuzz; do
  echo "fuzz: $h: $(grep -E '^stat::number_of_executed_units' "$build/$h.log" | awk '{print $2}') runs," \
    "$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$build/$h.log" | tail -1)," \
    "corpus $(grep -oE 'corp: [0-9]+/[0-9]+[a-zA-Z]*' "$build/$h.log" | tail -1 | cut -d' ' -f2)"
done
exit $status
