#!/usr/bin/env bash
# Installs the Debian packages Tovarin needs, asking apt only for what is
# missing. Safe to run again: it does nothing when everything is there.
#
#   tools/setup.sh        everything: build, run, test, measure, package
#   tools/setup.sh run    only what building and running the program needs
set -euo pipefail

run_packages=(
  # build
  cmake ninja-build g++ pkg-config
  qt6-base-dev libgl-dev libcurl4-openssl-dev libpcre2-dev libgtest-dev
  # run: the window's platform plugins and a font with Chinese glyphs
  qt6-qpa-plugins fonts-wqy-microhei
)
test_packages=(
  # tests, screenshots and benchmarks
  nginx-light openssl xvfb xauth xdotool imagemagick wget procps
  # the window manager that frames the window in tools/screenshot.sh
  openbox
  # fuzzing: clang with libFuzzer and its sanitizer runtimes (tools/fuzz.sh)
  clang libclang-rt-14-dev
  # the installed tree's checks and the Debian package (dpkg-shlibdeps)
  desktop-file-utils appstream man-db dpkg-dev
)

packages=("${run_packages[@]}")
case "${1:-all}" in
  run) ;;
  all) packages+=("${test_packages[@]}") ;;
  *) echo "usage: tools/setup.sh [run|all]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
  # The tests start nginx servers of their own on loopback port 80; a system
  # nginx that the package may have started on every address would hold it.
  if [[ " ${missing[*]} " == *" nginx-light "* ]]; then
    "${sudo_cmd[@]}" invoke-rc.d nginx stop >/dev/null 2>&1 || true
  fi
fi
