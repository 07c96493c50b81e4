#!/usr/bin/env bash
# Sets up the machine, builds, and runs every test: the normal build and its
# Debian package, then the concurrency tests again under ThreadSanitizer, then
# every test again under AddressSanitizer and UndefinedBehaviorSanitizer (a
# clang build that also holds the libFuzzer harnesses), and each harness for a
# minute (QUORVEL_FUZZ_SECONDS).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
(cd build && ctest --output-on-failure -j "$(nproc)" --timeout 600)
# The Debian package from the same build, and what it must hold.
QUORVEL_NO_SETUP=1 scripts/package.sh >/dev/null
tests/package_test.sh

cmake -S . -B build-tsan -G Ninja -DQUORVEL_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-tsan -j "$(nproc)"
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1" ctest --output-on-failure -j "$(nproc)" --timeout 600)
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DQUORVEL_SANITIZE=ON -DQUORVEL_FUZZ=ON \
  -DQUORVEL_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-asan -j "$(nproc)"
# The sound-server and window tests load ALSA plugins and D-Bus, whose leaks are
# suppressed (fuzz/lsan.supp); only the slow unwinder sees far enough to match,
# and only named frames match: without llvm-symbolizer every such test fails.
command -v llvm-symbolizer >/dev/null ||
  { echo "test: llvm-symbolizer is missing (Debian package llvm; scripts/setup.sh installs it)"; exit 1; }
# The allocation-counting tests replace operator new, which the sanitizer owns.
sound="SoundServer|LiveDecode|window_xvfb|form1_qtest"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp"
(cd build-asan && ASAN_OPTIONS="detect_leaks=1" \
  ctest --output-on-failure -j "$(nproc)" --timeout 600 -E "$sound|CaptureConverterAlloc")
(cd build-asan && ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0" \
  ctest --output-on-failure -j "$(nproc)" --timeout 600 -R "$sound")
scripts/fuzz.sh build-asan "${QUORVEL_FUZZ_SECONDS:-60}"
echo "all tests passed"
