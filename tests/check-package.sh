#!/usr/bin/env bash
# Builds the Debian package into a temporary folder and checks it: every file a user needs is
# in it, dpkg-shlibdeps found the libraries, and the desktop entry, the metadata and the manual
# pages pass the validators that are installed. Exit status 77 (skipped) without Debian's tools.
#
#   tests/check-package.sh CPACK BUILD_DIR/CPackConfig.cmake
set -euo pipefail

cpack=${1:?usage: $0 CPACK CPACK_CONFIG}
config=${2:?usage: $0 CPACK CPACK_CONFIG}

for tool in dpkg-deb dpkg-shlibdeps file; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (scripts/install-deps.sh installs it)"
    exit 77
  fi
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

if ! "$cpack" --config "$config" -B "$tmp" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log"
  echo "FAIL: cpack did not build the package"
  exit 1
fi
shopt -s nullglob
debs=("$tmp"/marlune_*.deb)
if [ ${#debs[@]} -ne 1 ]; then
  ls -R "$tmp"
  echo "FAIL: expected one marlune_VERSION_ARCH.deb"
  exit 1
fi
deb=${debs[0]}
echo "Built $(basename "$deb")"

# "-rwxr-xr-x root/root 1234 2024-01-01 00:00 ./usr/bin/marlune" -> "-rwxr-xr-x ./usr/bin/marlune"
listing=$(dpkg-deb -c "$deb" | awk '{print $1, $6}')
for path in \
  ./usr/bin/marlune \
  ./usr/bin/marlune-device \
  ./usr/share/applications/marlune.desktop \
  ./usr/share/icons/hicolor/scalable/apps/marlune.svg \
  ./usr/share/metainfo/io.github.marlune.Marlune.metainfo.xml \
  ./usr/share/man/man1/marlune.1.gz \
  ./usr/share/man/man1/marlune-device.1.gz; do
  awk -v path="$path" '$2 == path { found = 1 } END { exit !found }' <<<"$listing" ||
    fail "$path is not in the package"
done
for program in marlune marlune-device; do
  grep -qx -- "-rwxr-xr-x ./usr/bin/$program" <<<"$listing" ||
    fail "/usr/bin/$program is not an executable file"
done

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for needed in libqt6core6 libqt6widgets6 libqt6serialport6 qt6-qpa-plugins; do
  [[ ", $depends," == *", $needed "* || ", $depends," == *", $needed,"* ]] ||
    fail "Depends lacks $needed"
done

root=$tmp/root
dpkg-deb -x "$deb" "$root"
desktop=$root/usr/share/applications/marlune.desktop
metainfo=$root/usr/share/metainfo/io.github.marlune.Marlune.metainfo.xml

if [ -f "$desktop" ]; then
  icon=$(sed -n 's/^Icon=//p' "$desktop")
  [ -n "$icon" ] && [ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] ||
    fail "the desktop entry's icon \"$icon\" is not installed"
  if command -v desktop-file-validate >/dev/null 2>&1; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate"
  else
    echo "SKIP: desktop-file-validate is not installed"
  fi
fi
if [ -f "$metainfo" ]; then
  grep -q '<launchable type="desktop-id">marlune.desktop</launchable>' "$metainfo" ||
    fail "the metadata does not launch marlune.desktop"
  if command -v appstreamcli >/dev/null 2>&1; then
    appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
  else
    echo "SKIP: appstreamcli is not installed"
  fi
fi
if command -v groff >/dev/null 2>&1; then
  for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(gzip -dc "$page" | groff -man -ww -z 2>&1) || true
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  done
else
  echo "SKIP: groff is not installed, the manual pages are not checked"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; dpkg-deb -c says:"
  dpkg-deb -c "$deb"
  exit 1
fi
echo "The package holds everything and passes its checks."
