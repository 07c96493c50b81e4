#!/usr/bin/env bash
# Sets up the machine, builds, and runs every test: the normal build, then the
# concurrency tests again under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
(cd build && ctest --output-on-failure -j "$(nproc)" --timeout 600)

cmake -S . -B build-tsan -G Ninja -DQUORVEL_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-tsan -j "$(nproc)"
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1" ctest --output-on-failure -j "$(nproc)" --timeout 600)
echo "all tests passed"
