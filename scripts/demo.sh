#!/usr/bin/env bash
# The demonstration `make demo` runs: an example network through build/velmora
# in a directory of its own, and where its results went.
set -euo pipefail
cd "$(dirname "$0")/.."
network=${1:-examples/Isosurface.json}
velmora=$PWD/build/velmora
name=$(basename "$network" .json)
out=build/demo/$name
rm -rf "$out"
mkdir -p "$out"
network=$(cd "$(dirname "$network")" && pwd)/$(basename "$network")
echo "velmora run $network --dump $name.dump.json --verbose   (in $out)"
echo
(cd "$out" && "$velmora" run "$network" --dump "$name.dump.json" --verbose)
echo
echo "results in $out:"
for f in "$out"/*; do
  if [ "$(basename "$f")" = "$name.dump.json" ]; then
    echo "  $f: the dump: \"fields\" holds every field after the run (outputs as \"instance.output\"),"
    echo "      \"run\" each instance's parameters and outputs, the calls made and the texts reported"
  else
    echo "  $f: written by a module of the network"
  fi
done
echo
echo "next: build/velmora modules                   the modules and what each declares"
echo "      build/velmora run $out/$name.dump.json   a dump reads back as a network (docs/networks.md)"
