#!/usr/bin/env bash
# Builds the Debian package dist/quorvel_<version>_<arch>.deb from the Release
# build in build/ (made or brought up to date here, the window included), and
# shows what lintian says about it. QUORVEL_NO_SETUP=1 skips scripts/setup.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -n "${QUORVEL_NO_SETUP:-}" ] || scripts/setup.sh
scripts/build.sh -DQUORVEL_BUILD_APP=ON
rm -rf build/package
(cd build && cpack -G DEB >/dev/null)
mkdir -p dist
deb=$(ls build/package/quorvel_*.deb)
mv "$deb" dist/
deb=dist/$(basename "$deb")
echo "package: $deb"
if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$deb" || true
fi
