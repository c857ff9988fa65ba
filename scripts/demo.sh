#!/usr/bin/env bash
# The demonstration `make demo` runs: an example network through the runner,
# and where its results went.
set -euo pipefail
cd "$(dirname "$0")/.."
network=${1:-examples/ThreshMin.json}
out=build/demo
mkdir -p "$out"
name=$(basename "$network" .json)
echo "velmora run $network --dump $out/$name.dump.json --verbose"
(cd "$out" && ../velmora run "../../$network" --dump "$name.dump.json" --verbose)
echo
echo "results: $out/$name.dump.json"
echo "  \"fields\": every field after the run (instance outputs as \"instance.output\"), readable as a network file"
echo "  \"run\": each instance's parameters, outputs and links, the calls made and the reported texts"
echo "look at one:  build/velmora modules ThreshMin   |   read it back:  build/velmora run $out/$name.dump.json"
