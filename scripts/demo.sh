#!/usr/bin/env bash
# The demonstration `make demo` runs: the storm-cell analysis of the built-in
# synthetic volume (or of the volume given as the first argument), then where
# its results went. `scripts/demo.sh network examples/X.json` runs an example
# network instead.
set -euo pipefail
cd "$(dirname "$0")/.."
velmora=$PWD/build/velmora

if [ "${1:-}" = network ]; then
  network=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
  name=$(basename "$network" .json)
  out=build/demo/$name
  rm -rf "$out" && mkdir -p "$out"
  echo "velmora run $network --dump $name.dump.json --verbose   (in $out)"
  (cd "$out" && "$velmora" run "$network" --dump "$name.dump.json" --verbose)
  echo "results in $out: the dump $name.dump.json and the files the modules wrote"
  exit 0
fi

out=build/demo/analysis
rm -rf "$out"
echo "velmora analyze ${1:-} --out $out"
echo
"$velmora" analyze ${1:+"$1"} --out "$out"
echo
echo "open $out/cells.png for the picture, $out/cells.csv in pandas or a spreadsheet,"
echo "and the .vtp/.vtu/.vti files in ParaView; '$velmora run $out/network.json' repeats the run."
echo "On the real volume: build/velmora analyze ../shared/data/cpol_200601200050.nc --var DT --level 40"
