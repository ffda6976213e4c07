#!/usr/bin/env bash
# Checks the installable application: builds the Debian package in a build
# tree, runs lintian (no errors), desktop-file-validate, appstreamcli and
# man's warnings on what the package holds, then unpacks it into a temporary
# folder and runs the unpacked programs from there.
#   tools/package-check.sh [BUILD-DIR]     (default: build)
# Prints each check; any failure is named and ends with exit status 1.
#
# Lintian warnings are tolerated; today it reports only informational tags:
# hardening-no-bindnow and hardening-no-fortify-functions (the project's
# own compiler flags, not Debian's build flags), binary-has-unneeded-section
# and script-in-usr-share-doc (the sample's generator script).
set -uo pipefail
TALMO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
build=$TALMO_ROOT/${1:-build}
failures=()
fail() { echo "FAILED: $*"; failures+=("$*"); }
step() { echo "-- $*"; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$build/talmo_${version}_$(dpkg --print-architecture).deb
rm -f "$deb"
step "package: cmake --build ${build#"$TALMO_ROOT"/} --target package"
if ! cmake --build "$build" --target package >"$build/package.log" 2>&1 || [ ! -f "$deb" ]; then
  cat "$build/package.log"
  fail "the package was not built ($deb)"
  echo "package check: ${#failures[@]} failure(s)"
  exit 1
fi
echo "   $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

step "lintian"
lintian --fail-on error "$deb" >"$tmp/lintian.log" 2>&1
lint=$?
grep -v 'running with root privileges' "$tmp/lintian.log"
[ $lint -eq 0 ] || fail "lintian reports errors"

dpkg-deb -x "$deb" "$tmp/root" || fail "dpkg-deb -x"
usr=$tmp/root/usr

step "desktop-file-validate"
for f in "$usr"/share/applications/*.desktop; do
  desktop-file-validate "$f" || fail "desktop-file-validate $(basename "$f")"
done

step "appstreamcli validate --no-net"
for f in "$usr"/share/metainfo/*.metainfo.xml; do
  appstreamcli validate --no-net "$f" >"$tmp/as.log" 2>&1 || { cat "$tmp/as.log"; fail "appstreamcli validate $(basename "$f")"; }
done

step "man --warnings"
for page in talmo talmocli; do
  f=$usr/share/man/man1/$page.1.gz
  if [ ! -f "$f" ]; then fail "no manual page $page(1)"; continue; fi
  MANWIDTH=80 man --warnings -l "$f" >/dev/null 2>"$tmp/man.log"
  if [ -s "$tmp/man.log" ]; then cat "$tmp/man.log"; fail "man --warnings $page(1)"; fi
done

step "unpacked programs"
export XDG_CONFIG_HOME=$tmp/config
cli=$usr/bin/talmocli
out=$("$cli" --version 2>&1)
[ "$out" = "talmocli $version" ] || fail "talmocli --version said '$out', expected 'talmocli $version'"
out=$("$usr/bin/talmo" --version 2>&1)
[ "$out" = "talmo $version" ] || fail "talmo --version said '$out', expected 'talmo $version'"
# Moved installs find their own help: the unpacked copy is listed first.
"$usr/bin/talmo" --help 2>&1 | grep -A1 'first of these' | grep -qF "$usr/share/doc/talmo/HELP.TXT" ||
  fail "talmo --help does not name the unpacked HELP.TXT"
out=$("$cli" ports 2>&1)
grep -q '^COM99 ' <<<"$out" || { echo "$out"; fail "talmocli ports lists no loopback port COM99"; }
sample=$usr/share/doc/talmo/samples/stxhl.cap
out=$("$cli" decode --stxhl "$sample" 2>&1)
want=$("$build/src/app/talmocli" decode --stxhl "$TALMO_ROOT/samples/stxhl.cap" 2>&1)
if [ -z "$out" ] || [ "$out" != "$want" ]; then
  printf '%s\n--- expected\n%s\n' "$out" "$want"
  fail "talmocli decode on the shipped sample"
fi

step "Wireshark's extcap link"
ext=$(find "$usr/lib" -path '*/wireshark/extcap/talmo-extcap' 2>/dev/null | head -1)
if [ -z "$ext" ] || [ "$(readlink -f "$ext")" != "$(readlink -f "$cli")" ]; then
  fail "no link talmo-extcap to talmocli in a wireshark/extcap folder"
else
  out=$("$ext" --extcap-interfaces 2>&1)
  grep -q '^interface {value=talmo-COM99}' <<<"$out" || { echo "$out"; fail "talmo-extcap --extcap-interfaces lists no talmo-COM99"; }
  # Where the installed Wireshark looks, when there is one.
  if command -v tshark >/dev/null; then
    folder=$(tshark -G folders 2>/dev/null | sed -n 's/^Extcap path:[[:space:]]*//p')
    [ "${ext#"$tmp/root"}" = "$folder/talmo-extcap" ] ||
      fail "the package puts talmo-extcap in ${ext#"$tmp/root"}, Wireshark looks in $folder"
  fi
fi

step "cmake --install to a prefix"
prefix=$tmp/prefix
if cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
  for f in bin/talmo bin/talmocli share/doc/talmo/HELP.TXT share/doc/talmo/samples/stxhl.cap \
           share/man/man1/talmo.1.gz share/man/man1/talmocli.1.gz share/bash-completion/completions/talmocli \
           share/icons/hicolor/scalable/apps/talmo.svg share/icons/hicolor/16x16/apps/talmo.png \
           share/icons/hicolor/32x32/apps/talmo.png share/icons/hicolor/48x48/apps/talmo.png \
           share/icons/hicolor/256x256/apps/talmo.png \
           "$(sed -n 's/^TALMO_EXTCAP_DIR:STRING=//p' "$build/CMakeCache.txt")/talmo-extcap"; do
    [ -e "$prefix/$f" ] || fail "cmake --install put no $f"
  done
  "$prefix/bin/talmo" --help 2>&1 | grep -A1 'first of these' | grep -qF "$prefix/share/doc/talmo/HELP.TXT" ||
    fail "the installed talmo --help does not name the installed HELP.TXT"
else
  cat "$tmp/install.log"
  fail "cmake --install --prefix"
fi

step "bash completion"
# A stand-in for bash-completion's helpers, enough to ask for port names.
out=$(bash -c '
  _init_completion() { words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD; cur=${words[cword]}; prev=${words[cword-1]}; }
  _filedir() { :; }
  complete() { :; }
  . "$1"
  COMP_WORDS=(talmocli monitor --port ""); COMP_CWORD=3
  _talmocli "$2" "" --port; echo "${COMPREPLY[*]}"
  COMP_WORDS=(talmocli dec); COMP_CWORD=1
  _talmocli "$2" dec talmocli; echo "${COMPREPLY[*]}"' _ "$usr/share/bash-completion/completions/talmocli" "$cli" 2>&1)
[ "$out" = $'COM99\ndecode' ] || { echo "$out"; fail "bash completion of port names and commands"; }

if [ ${#failures[@]} -gt 0 ]; then
  echo "package check: ${#failures[@]} failure(s):"
  printf '  %s\n' "${failures[@]}"
  exit 1
fi
echo "package check: all passed"
