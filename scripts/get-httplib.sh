#!/usr/bin/env bash
# Puts the header-only cpp-httplib (httplib.h, with Debian's patches applied)
# and its LICENSE into DEST, from Debian's source package. Debian's binary
# package holds a split build (declarations plus a Linux .so), which the Windows
# build cannot use; the source package has the single header for every target.
# Works without deb-src lines and leaves the system's apt state untouched.
# Usage: scripts/get-httplib.sh DEST
set -euo pipefail
dest=${1:?usage: get-httplib.sh DEST}
for tool in apt-get apt-config dpkg-source; do
  command -v "$tool" >/dev/null || { echo "get-httplib: $tool not found (Debian: apt, dpkg-dev)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial"

# The system's binary sources, turned into source-package sources.
eval "$(apt-config shell LIST Dir::Etc::sourcelist/f PARTS Dir::Etc::sourceparts/d)"
n=0
for f in "$LIST" "$PARTS"*.list "$PARTS"*.sources; do
  [ -f "$f" ] || continue
  n=$((n + 1))
  case $f in
    *.sources) sed -E 's/^Types:.*$/Types: deb-src/' "$f" >"$work/parts/$n.sources" ;;
    *) sed -nE 's/^deb[[:space:]]+/deb-src /p' "$f" >"$work/parts/$n.list" ;;
  esac
done

user=root
[ "$(id -u)" -eq 0 ] || user=$(id -un)
apt=(apt-get -q -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/parts"
     -o "APT::Sandbox::User=$user" -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache")
# Unrelated third-party sources may have no source indices: only the download below decides.
"${apt[@]}" update >"$work/update.log" 2>&1 || true
if ! (cd "$work" && "${apt[@]}" source --download-only cpp-httplib >"$work/source.log" 2>&1); then
  echo "get-httplib: cannot download Debian's cpp-httplib source package:" >&2
  cat "$work/update.log" "$work/source.log" >&2
  exit 1
fi
(cd "$work" && dpkg-source -x --no-check cpp-httplib_*.dsc src >/dev/null)
grep -q 'inline void Server::stop()' "$work/src/httplib.h" ||
  { echo "get-httplib: $work/src/httplib.h is not the header-only form" >&2; exit 1; }
mkdir -p "$dest"
cp "$work/src/httplib.h" "$work/src/LICENSE" "$dest/"
grep -m1 -o 'CPPHTTPLIB_VERSION "[^"]*"' "$dest/httplib.h"
