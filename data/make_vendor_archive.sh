#!/bin/sh
# Builds the MAC vendor archive holding Nimbo.evc from Debian's ieee-data.
# Usage: make_vendor_archive.sh OUTPUT.7z STAGING_DIR SCRIPT_DIR
#        (SEVENZ: the 7zz program, PYTHON: the Python 3 interpreter)
set -eu
sevenz=${SEVENZ:-7zz}
python=${PYTHON:-python3}
out=$1
stage=$2
here=$3
ieee=/usr/share/ieee-data
for f in oui.txt mam.txt oui36.txt; do
  [ -f "$ieee/$f" ] || { echo "missing $ieee/$f (run tools/setup)" >&2; exit 1; }
done
rm -rf "$stage" "$out"
mkdir -p "$stage"
"$python" "$here/make_evc.py" "$stage/Nimbo.evc" "$ieee/oui.txt" "$ieee/mam.txt" "$ieee/oui36.txt"
(cd "$stage" && "$sevenz" a -bd -bso0 -t7z -m0=LZMA -mf=off "$out" Nimbo.evc)
