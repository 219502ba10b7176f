#!/usr/bin/env bash
# Builds the Debian package from the build tree into a temporary folder and checks
# it as a user would get it: its control fields, its file list, the menu entry and
# the AppStream metadata through their validators, the manual pages through man,
# the tool itself unpacked into a scratch root and run with no display, and
# lintian's verdict where lintian is installed.
#   check-package.sh --cpack CPACK --config CPackConfig.cmake --version V
#                    --programs "a;b" --pages "a.1;b.1"
# Exit status 77 (skipped) only when dpkg-deb is missing.
set -euo pipefail
# Packing, stripping and lintian keep a core busy for seconds; the timing tests
# that run beside this one in the suite should not wait for them.
renice -n 5 $$ >/dev/null 2>&1 || true

cpack="" config="" version="" programs="" pages=""
while [ $# -gt 0 ]; do
  case "$1" in
    --cpack) cpack=$2 ;;
    --config) config=$2 ;;
    --version) version=$2 ;;
    --programs) programs=$2 ;;
    --pages) pages=$2 ;;
    *) echo "check-package: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
IFS=';' read -r -a programs <<<"$programs"
IFS=';' read -r -a pages <<<"$pages"

if ! command -v dpkg-deb >/dev/null; then
  echo "SKIP: dpkg-deb is missing, so no Debian package can be built here (make deps installs dpkg-dev)"
  exit 77
fi

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

work=$(mktemp -d)
lintian_pid=""
# A check that stops the script early must not leave lintian running.
cleanup() {
  if [ -n "$lintian_pid" ]; then kill "$lintian_pid" 2>/dev/null || true; wait "$lintian_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# 1. Build it, away from the build tree's own package. The suite runs after the
# build, so the programs are made: naming a generator without a pre-install step
# keeps cpack from walking every target of the build again first (seconds, for
# nothing); what it installs and packs is the same.
if ! "$cpack" -G DEB --config "$config" -B "$work/out" -D CPACK_CMAKE_GENERATOR=Ninja \
    >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  echo "FAIL: cpack could not build the package" >&2
  exit 1
fi
arch=$(dpkg --print-architecture)
deb="$work/out/talvex_${version}_${arch}.deb"
[ -f "$deb" ] || { ls -l "$work/out" >&2; echo "FAIL: no $deb" >&2; exit 1; }
pass "built $(basename "$deb")"

# Debian's own checks take longest: they run beside the others and are read at the end.
lintian_status=none
if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 &
  lintian_pid=$!
  lintian_status=running
fi

# 2. Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = talvex ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = electronics ] || fail "Section is '$(field Section)'"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer '$(field Maintainer)' is not 'name <address>'"
[ -n "$(dpkg-deb -f "$deb" Description | sed -n 2p)" ] || fail "Description has no long text"
depends=$(field Depends)
# Qt from dpkg-shlibdeps, the font by name.
for dep in fonts-wqy-microhei libqt6sql6-sqlite libqt6widgets6 libqt6core6 libc6 libstdc++6; do
  [[ ", $depends," == *", $dep"[\ ,]* ]] || fail "Depends lacks $dep: $depends"
done
pass "control: $(field Package) $(field Version) $(field Section); Depends: $depends"

# 3. Contents.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#' >"$work/contents"
want=(
  /usr/share/applications/talvex.desktop
  /usr/share/applications/talvex-station.desktop
  /usr/share/icons/hicolor/scalable/apps/talvex.svg
  /usr/share/metainfo/io.github.talvex.Talvex.metainfo.xml
  /usr/share/doc/talvex/copyright
  /usr/share/doc/talvex/changelog.gz
  /usr/lib/udev/rules.d/70-talvex-serial.rules
)
for p in "${programs[@]}"; do want+=("/usr/bin/$p"); done
for m in "${pages[@]}"; do want+=("/usr/share/man/man1/$m.gz"); done
for f in "${want[@]}"; do
  grep -qx -- "$f" "$work/contents" || fail "$f is not in the package"
done
# Nothing else under bin (no tests, benchmarks or helpers), no libraries or headers.
grep '^/usr/bin/.' "$work/contents" | sort >"$work/bins"
printf '/usr/bin/%s\n' "${programs[@]}" | sort >"$work/bins.want"
diff -u "$work/bins.want" "$work/bins" >&2 || fail "programs in the package differ from ${programs[*]}"
if grep -E '\.(a|so|h|hpp)$|/include/|/lib/' "$work/contents" | grep -Ev '^/usr/lib/(udev/(rules\.d/.*)?)?$' >&2; then
  fail "libraries or headers in the package"
fi
pass "contents checked: ${want[*]}"

# 4. Unpacked as dpkg would, then the files checked where they land.
dpkg -x "$deb" "$work/root"
root=$work/root
for entry in talvex talvex-station; do
  desktop-file-validate "$root/usr/share/applications/$entry.desktop" || fail "desktop-file-validate $entry.desktop"
  grep -qx "Exec=$entry" "$root/usr/share/applications/$entry.desktop" || fail "the menu entry $entry.desktop does not run $entry"
done
appstreamcli validate --no-net "$root/usr/share/metainfo/io.github.talvex.Talvex.metainfo.xml" ||
  fail "appstreamcli validate"
grep -q "<release version=\"$version\"" "$root/usr/share/metainfo/io.github.talvex.Talvex.metainfo.xml" ||
  fail "the metadata names no release $version"
for m in "${pages[@]}"; do
  gz="$root/usr/share/man/man1/$m.gz"
  [ -f "$gz" ] || { fail "no $m.gz to check"; continue; }
  # gzip -n: no name, no time stamp (flags byte 3 without FNAME, mtime bytes 4-7 zero).
  header=$(od -An -tx1 -N8 "$gz" | tr -d ' \n')
  [ "${header:0:6}" = 1f8b08 ] || fail "$m.gz is not gzip data"
  (( (0x${header:6:2} & 0x08) == 0 )) && [ "${header:8:8}" = 00000000 ] || fail "$m.gz carries a name or time"
  # Read whole first: grep -q stops at its match, and with pipefail the write
  # that zcat then loses to a closed pipe would count as a failed check.
  page=$(zcat "$gz")
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS ENVIRONMENT FILES "EXIT STATUS" EXAMPLES; do
    grep -qx "\.SH \"\?$section\"\?" <<<"$page" || fail "$m has no $section section"
  done
  grep -q 'TALVEX_PORT_DIR' <<<"$page" || fail "$m does not mention TALVEX_PORT_DIR"
  if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$gz" 2>&1 >/dev/null || true)
    [ -z "$warnings" ] || fail "man warns about $m: $warnings"
  fi
done
# The udev rule marks each adapter chip for ModemManager to leave alone.
for chip in 0403 1a86 10c4 067b; do
  grep -q "ATTRS{idVendor}==\"$chip\".*ENV{ID_MM_DEVICE_IGNORE}=\"1\"" \
    "$root/usr/lib/udev/rules.d/70-talvex-serial.rules" || fail "the udev rule does not cover vendor $chip"
done
pass "validators, manual pages and the udev rule checked"

# 5. The unpacked program answers without a display and without the build tree.
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/talvex" --version 2>"$work/err") ||
  fail "talvex --version exited $?: $(cat "$work/err")"
echo "$out"
[ "$(sed -n 1p <<<"$out")" = "talvex $version" ] || fail "first line of --version is not 'talvex $version'"
[[ "$(sed -n 2p <<<"$out")" =~ ^firmware\ image:\ [0-9]+\ bytes, ]] || fail "--version does not name the firmware image"
[ ! -s "$work/err" ] || fail "talvex --version wrote to stderr: $(cat "$work/err")"
env -u DISPLAY "$root/usr/bin/talvex-sim" --help >/dev/null || fail "talvex-sim --help"
station=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/talvex-station" --version 2>"$work/err") ||
  fail "talvex-station --version exited $?: $(cat "$work/err")"
[ "$station" = "talvex-station $version" ] || fail "talvex-station --version says '$station'"
help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/talvex-station" --help) ||
  fail "talvex-station --help exited $?"
grep -q -- '--recipe' <<<"$help" || fail "talvex-station --help does not name --recipe"

# 6. Debian's own checks, where lintian is installed (make lintian installs it).
if [ "$lintian_status" = running ]; then
  lintian_ok=true
  wait "$lintian_pid" || lintian_ok=false
  lintian_pid=""
  if $lintian_ok; then
    cat "$work/lintian.log"
    pass "lintian: no errors"
  else
    cat "$work/lintian.log" >&2
    fail "lintian reports errors"
  fi
else
  echo "note: lintian is not installed, so it was not run (make lintian installs and runs it)"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package checks passed"
