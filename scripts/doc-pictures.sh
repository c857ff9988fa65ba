#!/usr/bin/env bash
# The README's pictures drawn again from the shared data (make doc-pictures):
# the CPOL cells at 40 dBZ (cells.png of velmora analyze), the KLIX plan
# view (plan.png) and the CPOL volume in velmora view (headless chromium).
set -euo pipefail
cd "$(dirname "$0")/.."
velmora=$PWD/build/velmora
data=../shared/data
if [ ! -d "$data" ]; then
  echo "doc-pictures: $data is absent; the pictures stay as they are"
  exit 0
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Each picture replaces the one before only when it was drawn whole.
put() { cp "$1" "$2.part" && mv "$2.part" "$2" && echo "  $2"; }
"$velmora" analyze "$data/cpol_200601200050.nc" --var DT --level 40 --out "$tmp/cpol" >/dev/null
put "$tmp/cpol/cells.png" docs/images/cpol_40dbz.png
"$velmora" analyze "$data/nexrad2_klix_200508281801.gz" --out "$tmp/klix" >/dev/null
put "$tmp/klix/plan.png" docs/images/klix_40dbz_plan.png
VELMORA_NODE_MODULES=$PWD/build/viewer/npm/node_modules \
  node scripts/view-picture.mjs "$velmora" "$data/cpol_200601200050.nc" docs/images/cpol_view.png
echo "  docs/images/cpol_view.png"
