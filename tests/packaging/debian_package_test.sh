#!/usr/bin/env bash
# Makes the Debian package of a build with CPack in a temporary directory and
# checks its name, its control fields (the run-time libraries among the
# dependencies) and that it holds the installed tree under /usr.
#
# Usage: debian_package_test.sh CPACK BUILD_DIR VERSION APP_ID
set -uo pipefail

cpack=$1 build_dir=$2 version=$3 app_id=$4

for tool in dpkg-deb dpkg-shlibdeps dpkg; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (tools/setup.sh installs dpkg-dev)"; exit 1; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! timeout 100 "$cpack" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$tmp" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log"
  echo "FAIL: cpack"
  exit 1
fi

arch=$(dpkg --print-architecture)
deb=$tmp/tovarin_${version}_${arch}.deb
if [[ ! -f $deb ]]; then
  echo "FAIL: no $(basename "$deb"); made: $(cd "$tmp" && ls ./*.deb 2>/dev/null)"
  exit 1
fi

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == tovarin ]] || fail "Package is '$(field Package)'"
[[ $(field Version) == "$version" ]] || fail "Version is '$(field Version)'"
[[ $(field Architecture) == "$arch" ]] || fail "Architecture is '$(field Architecture)'"
[[ $(field Section) == net ]] || fail "Section is '$(field Section)'"
[[ $(field Maintainer) == *" <"*">" ]] || fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
[[ -n $(field Description) ]] || fail "no Description"

# Depends, one package name a line, versions dropped.
depends=$(field Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//')
for package in libqt6widgets6 libqt6gui6 libqt6core6 qt6-qpa-plugins libcurl4 libpcre2-8-0 \
               fonts-wqy-microhei libc6 libstdc++6; do
  grep -qx "$package" <<<"$depends" || fail "Depends lacks $package: $(field Depends)"
done

contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
for path in /usr/bin/tovarin /usr/bin/tovarin-crawl \
            "/usr/share/applications/$app_id.desktop" "/usr/share/metainfo/$app_id.metainfo.xml" \
            /usr/share/icons/hicolor/scalable/apps/tovarin.svg /usr/share/icons/hicolor/256x256/apps/tovarin.png \
            /usr/share/man/man1/tovarin-crawl.1.gz /usr/share/doc/tovarin/copyright; do
  grep -qxF "$path" <<<"$contents" || fail "package lacks $path"
done
# Programs are stripped: a package with debug information is several times larger.
dpkg-deb -x "$deb" "$tmp/root"
for program in tovarin tovarin-crawl; do
  if command -v readelf >/dev/null && readelf -S "$tmp/root/usr/bin/$program" | grep -q '\.debug_info'; then
    fail "/usr/bin/$program is not stripped"
  fi
done

if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes, all checks passed"
