#!/usr/bin/env bash
# Checks a Debian package built by scripts/package.sh: every program the build
# defines (the executables of src/tools, src/web and the window) in /usr/bin
# with its man page, the documents, the units and the config files in place,
# the control fields, the conffiles and the maintainer scripts, and no lintian
# error. Usage: tests/package_test.sh [dist/quorvel_<version>_<arch>.deb]
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(Quorvel VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
deb=${1:-dist/quorvel_${version}_${arch}.deb}
failures=0
fail() { echo "package_test: $*" >&2; failures=$((failures + 1)); }
[ -f "$deb" ] || { echo "package_test: no package $deb (scripts/package.sh makes it)" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' > "$tmp/files"
dpkg-deb -e "$deb" "$tmp/control"
dpkg-deb -x "$deb" "$tmp/root"

# Every program the build defines, found in its CMakeLists.
lists=()
for l in src/tools/CMakeLists.txt src/web/CMakeLists.txt src/app/CMakeLists.txt; do [ -f "$l" ] && lists+=("$l"); done
programs=$(sed -n 's/^ *add_executable( *\([A-Za-z0-9_-]*\).*/\1/p' "${lists[@]}" | sort -u)
[ -n "$programs" ] || fail "found no programs in the CMakeLists"
for p in $programs; do
  grep -qx "/usr/bin/$p" "$tmp/files" || fail "program $p is not installed in /usr/bin"
  grep -qx "/usr/share/man/man1/$p.1.gz" "$tmp/files" || fail "program $p has no man page"
done
for f in /usr/share/quorvel/demo.wav /usr/share/doc/quorvel/README.md /usr/share/doc/quorvel/copyright \
  /usr/share/doc/quorvel/changelog.gz /etc/quorvel/quorvel-decode.conf /etc/quorvel/aliases.csv; do
  grep -qx "$f" "$tmp/files" || fail "$f is missing"
done
for u in contrib/*.service; do
  grep -qx "/usr/lib/systemd/system/$(basename "$u")" "$tmp/files" || fail "unit $(basename "$u") is missing"
done
cmp -s demo/demo.wav "$tmp/root/usr/share/quorvel/demo.wav" || fail "demo.wav differs from demo/demo.wav"

# Control fields: name, the project's version, this machine's architecture, and
# run-time libraries (Debian names found by shlibdeps), never a -dev package.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quorvel ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', CMakeLists.txt says $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
depends=$(field Depends)
for d in adduser libc6 libstdc++6 libsndfile1 libsoxr0; do
  [[ ", $depends," == *", $d "* || ", $depends," == *", $d,"* ]] || fail "Depends lacks $d: $depends"
done
[[ "$depends" != *-dev* ]] || fail "Depends names a build dependency: $depends"
[ -n "$(field Maintainer)" ] && [ -n "$(field Description)" ] || fail "Maintainer or Description empty"

# Conffiles: the two files under /etc/quorvel, nothing else.
[ "$(sort "$tmp/control/conffiles")" = "$(printf '%s\n' /etc/quorvel/aliases.csv /etc/quorvel/quorvel-decode.conf)" ] ||
  fail "conffiles: $(tr '\n' ' ' < "$tmp/control/conffiles")"
# The config file: every option commented out, each long option of --help in it.
conf=$tmp/root/etc/quorvel/quorvel-decode.conf
! grep -vqE '^(#.*)?$' "$conf" || fail "the config file sets something: $(grep -vE '^(#.*)?$' "$conf" | head -1)"
options=$("$tmp/root/usr/bin/quorvel-decode" --help | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u)
for o in $options; do
  case $o in --help | --version | --config | --print-config) continue ;; esac
  grep -qE "^# ${o#--} =" "$conf" || fail "the config file lacks ${o#--}"
done

# The station's unit: the packaged program, the config file, the package's user.
unit=$tmp/root/usr/lib/systemd/system/quorvel-decode.service
grep -qE '^ExecStart=.*/usr/bin/quorvel-decode --config /etc/quorvel/quorvel-decode.conf' "$unit" ||
  fail "the unit does not run /usr/bin/quorvel-decode --config /etc/quorvel/quorvel-decode.conf"
for u in "$tmp"/root/usr/lib/systemd/system/*.service; do
  grep -qx 'User=quorvel' "$u" || fail "$(basename "$u") does not run as quorvel"
  ! grep -q '/usr/local/' "$u" || fail "$(basename "$u") runs a program from /usr/local"
done
# Maintainer scripts: postinst makes the user in group audio and starts nothing;
# postrm takes the user away on purge.
grep -q 'adduser --system .*quorvel' "$tmp/control/postinst" || fail "postinst makes no system user"
grep -q 'adduser --quiet quorvel audio' "$tmp/control/postinst" || fail "postinst leaves quorvel out of audio"
! grep -qE 'systemctl .*(enable|start)' "$tmp/control/postinst" || fail "postinst enables or starts the unit"
grep -q 'deluser --system' "$tmp/control/postrm" || fail "postrm never removes the user"
for s in postinst postrm; do sh -n "$tmp/control/$s" || fail "$s is not valid sh"; done

if command -v lintian >/dev/null; then
  lintian "$deb" > "$tmp/lintian" 2>&1 || true
  ! grep -q '^E:' "$tmp/lintian" || fail "lintian errors: $(grep '^E:' "$tmp/lintian")"
else
  fail "lintian is not installed (scripts/setup.sh installs it)"
fi

if [ "$failures" -gt 0 ]; then
  echo "package_test: $failures fault(s) in $deb" >&2
  exit 1
fi
echo "package_test: $deb: $(wc -l < "$tmp/files") entries, $(echo $programs | wc -w) programs, all checks passed"
