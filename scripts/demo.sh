#!/usr/bin/env bash
# The demonstration `make demo` runs.
set -euo pipefail
cd "$(dirname "$0")/.."
build/velmora-demo
