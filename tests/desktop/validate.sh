#!/usr/bin/env bash
# The desktop files pass their validators and agree with each other: the entry names the icon
# that is installed and the metainfo launches the entry; the man page formats without warnings.
# Usage: validate.sh <resources/desktop folder> <configured man page>
set -euo pipefail
dir=$1 man=$2
id=io.github.tavolen.Tavolen
fail() { echo "FAIL: $*" >&2; exit 1; }

desktop-file-validate "$dir/$id.desktop"
appstreamcli validate --no-net "$dir/$id.metainfo.xml"

grep -qx "Icon=$id" "$dir/$id.desktop" || fail "the entry's Icon= is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$dir/$id.metainfo.xml" ||
  fail "the metainfo does not launch $id.desktop"
grep -q "<id>$id</id>" "$dir/$id.metainfo.xml" || fail "the metainfo's id is not $id"

# A PNG's width and height are the big-endian words at bytes 16 and 20.
size=$(od -An -tu1 -j16 -N8 "$dir/$id.png" | tr -s ' ' | sed 's/^ //')
[[ "$size" == "0 0 0 48 0 0 0 48" ]] || fail "the PNG icon is not 48 x 48 ($size)"

warnings=$(LC_ALL=C.UTF-8 groff -man -ww -z -Tutf8 -k "$man" 2>&1)
[[ -z "$warnings" ]] || fail "the man page has warnings: $warnings"
grep -q '@' "$man" && fail "the man page has an unreplaced @VARIABLE@"
echo "desktop entry, metainfo, icon and man page are valid"
