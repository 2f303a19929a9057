#!/usr/bin/env bash
# Builds the Debian package into a scratch folder, unpacks it there, runs the packed program
# and reads the package's control data. The tree must be built (tools/build).
# Usage: package_test.sh <build folder> <version>
set -euo pipefail
build=$1 version=$2
id=io.github.tavolen.Tavolen
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

if ! cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack -G DEB failed"
fi
debs=("$work"/out/*.deb)
[[ ${#debs[@]} -eq 1 && -f "${debs[0]}" ]] || fail "cpack made no single .deb: ${debs[*]}"
deb=${debs[0]}

root="$work/root"
dpkg-deb -x "$deb" "$root"
for f in usr/bin/tavolen usr/share/applications/$id.desktop usr/share/metainfo/$id.metainfo.xml \
  usr/share/icons/hicolor/scalable/apps/$id.svg usr/share/icons/hicolor/48x48/apps/$id.png \
  usr/share/man/man1/tavolen.1; do
  [[ -f "$root/$f" ]] || fail "the package lacks /$f"
done

# --version answers before any window exists, so it runs without a display.
out=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$root/usr/bin/tavolen" --version)
[[ "$out" == "tavolen $version" ]] || fail "tavolen --version printed '$out'"

info=$(dpkg-deb -I "$deb")
depends=$(sed -n 's/^ Depends: //p' <<<"$info")
[[ -n "$depends" ]] || fail "dpkg-deb -I lists no Depends: $info"
# Libraries come from dpkg-shlibdeps; the plugin is named by hand.
for package in libc6 libqt6widgets6 libqt6dbus6 libavformat libavcodec libsdl2 qt6-qpa-plugins; do
  grep -q "$package" <<<"$depends" || fail "Depends lacks $package: $depends"
done
grep -q "^ Version: $version" <<<"$info" || fail "the package's version is not $version"
echo "$(basename "$deb"): Depends: $depends"
