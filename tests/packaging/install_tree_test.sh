#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks the installed tree: both
# programs, the desktop entry, the icon at every size, the AppStream metadata
# and the manual page, with desktop-file-validate, appstreamcli and man.
#
# Usage: install_tree_test.sh CMAKE BUILD_DIR VERSION APP_ID
set -uo pipefail

cmake=$1 build_dir=$2 version=$3 app_id=$4

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
need() { command -v "$1" >/dev/null || { echo "FAIL: $1 is missing (tools/setup.sh installs it)"; exit 1; }; }

need desktop-file-validate
need appstreamcli
need od

if ! timeout 60 "$cmake" --install "$build_dir" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
  cat "$tmp/install.log"
  echo "FAIL: cmake --install"
  exit 1
fi

share=$prefix/share
desktop=$share/applications/$app_id.desktop
metainfo=$share/metainfo/$app_id.metainfo.xml

# Programs: installed, executable, and the command line one runs from there.
for program in tovarin tovarin-crawl; do
  [[ -x $prefix/bin/$program ]] || fail "bin/$program is not installed as an executable"
done
if [[ -x $prefix/bin/tovarin-crawl ]]; then
  help=$(timeout 20 "$prefix/bin/tovarin-crawl" --help) || fail "installed tovarin-crawl --help did not exit 0"
  [[ $help == "Usage: tovarin-crawl "* ]] || fail "installed tovarin-crawl --help printed: ${help:0:200}"
fi

# Every installed file, so that nothing lands beside the expected tree.
expected=(
  bin/tovarin bin/tovarin-crawl
  "share/applications/$app_id.desktop" "share/metainfo/$app_id.metainfo.xml"
  share/icons/hicolor/scalable/apps/tovarin.svg
  share/doc/tovarin/copyright
)
sizes=(16 24 32 48 64 128 256)
for s in "${sizes[@]}"; do expected+=("share/icons/hicolor/${s}x${s}/apps/tovarin.png"); done
if [[ -f $share/man/man1/tovarin-crawl.1.gz ]]; then
  expected+=(share/man/man1/tovarin-crawl.1.gz)
  man_page=$share/man/man1/tovarin-crawl.1.gz
else
  expected+=(share/man/man1/tovarin-crawl.1)
  man_page=$share/man/man1/tovarin-crawl.1
fi
actual=$(cd "$prefix" && find . -type f -printf '%P\n' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
if [[ $actual != "$wanted" ]]; then
  fail "installed files differ from the expected tree:"
  diff <(echo "$wanted") <(echo "$actual")
fi

# Desktop entry: valid, and starting the program without arguments.
if [[ -f $desktop ]]; then
  desktop-file-validate "$desktop" || fail "desktop-file-validate $desktop"
  # key=value lines of the main group, as "key=value"
  entry=$(sed -n '/^\[Desktop Entry\]/,/^\[/{/^[A-Za-z]/p}' "$desktop")
  while read -r line; do
    grep -qxF "$line" <<<"$entry" || fail "desktop entry lacks the line '$line'"
  done <<'EOF'
Type=Application
Name=Tovarin
Exec=tovarin
Icon=tovarin
Categories=Network;
Terminal=false
EOF
  grep -q '^Name\[zh_CN\]=.' <<<"$entry" || fail "desktop entry has no Chinese name"
fi

# Icons: every PNG is a PNG of its directory's size.
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{print $1*16777216+$2*65536+$3*256+$4 "x" $5*16777216+$6*65536+$7*256+$8}'; }
for s in "${sizes[@]}"; do
  png=$share/icons/hicolor/${s}x${s}/apps/tovarin.png
  [[ -f $png ]] || continue
  [[ $(od -An -tx1 -N8 "$png" | tr -d ' \n') == 89504e470d0a1a0a ]] || { fail "$png is not a PNG"; continue; }
  [[ $(png_size "$png") == "${s}x${s}" ]] || fail "$png is $(png_size "$png"), not ${s}x${s}"
done
svg=$share/icons/hicolor/scalable/apps/tovarin.svg
[[ ! -f $svg ]] || grep -q '<svg' "$svg" || fail "$svg is not an SVG"

# AppStream metadata: valid, and naming this desktop entry, version and licences.
if [[ -f $metainfo ]]; then
  appstreamcli validate --no-net --pedantic --explain "$metainfo" || fail "appstreamcli validate $metainfo"
  for pattern in "<id>$app_id</id>" \
                 "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" \
                 "<release version=\"$version\"" \
                 '<metadata_license>CC0-1.0</metadata_license>' \
                 '<project_license>MIT</project_license>' \
                 '<content_rating type="oars-1.1"'; do
    grep -qF "$pattern" "$metainfo" || fail "metainfo lacks $pattern"
  done
fi

# Manual page: the sections a reader looks for, this version, and no warnings.
if [[ -f $man_page ]]; then
  if [[ $man_page == *.gz ]]; then source_text=$(gzip -dc "$man_page"); else source_text=$(cat "$man_page"); fi
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS OUTPUT 'EXIT STATUS' EXAMPLES; do
    grep -qxE "\.SH \"?$section\"?" <<<"$source_text" || fail "manual page has no section $section"
  done
  grep -q "^\.TH TOVARIN\\\\-CRAWL 1 .*\"Tovarin $version\"" <<<"$source_text" || fail "manual page header does not name version $version"
  if command -v man >/dev/null; then
    rendered=$(LC_ALL=C.UTF-8 MANWIDTH=80 timeout 30 man --warnings -l "$man_page" 2>"$tmp/man.err")
    [[ ! -s $tmp/man.err ]] && [[ -n $rendered ]] || { cat "$tmp/man.err"; fail "man -l rendered with warnings or nothing"; }
    for text in '有效：V 总共：T' 'tovarin-crawl [--] ADDRESS [DEPTH]' '130'; do
      grep -qF -- "$text" <<<"$rendered" || fail "rendered manual page lacks '$text'"
    done
  else
    echo "note: man is not installed; the manual page was not rendered"
  fi
fi

if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "installed tree at a temporary prefix: all checks passed"
