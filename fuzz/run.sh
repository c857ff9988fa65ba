#!/usr/bin/env bash
# make fuzz: each fuzz target in turn for SECONDS, on a corpus under the
# build folder that grows from run to run (seeded from fuzz/seeds/<target>,
# fuzz/findings/<target> and, when the real volume is there, small slices
# of it), then the
# executions of each. Findings go to BUILD/artifacts/<target>-*; any
# finding fails the run.
set -uo pipefail
# Symbolized reports, when the symbolizer is there.
[ -x /usr/lib/llvm-14/bin/llvm-symbolizer ] && export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
build=$1 seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
real=${VELMORA_REAL_VOLUME:-$here/../../shared/data/cpol_200601200050.nc}
export LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0" UBSAN_OPTIONS=print_stacktrace=1
mkdir -p "$build/artifacts"
# Absolute: the targets run each input inside a scratch folder of their
# own, where a relative prefix would put a finding (and lose it with the
# folder).
artifacts=$(cd "$build/artifacts" && pwd)
if [ -f "$real" ]; then
  /usr/bin/python3 "$here/make_seeds.py" --real "$real" "$build/seeds-real" || echo "fuzz: no slices of $real (see above)"
else
  echo "fuzz: $real is absent; the corpora start from fuzz/seeds only"
fi
total=0 failed=()
declare -A runs
for t in "$@"; do
  corpus=$build/corpus/$t
  mkdir -p "$corpus"
  cp -n "$here/seeds/$t"/* "$corpus"/ 2>/dev/null || true
  [ -d "$here/findings/$t" ] && cp -n "$here/findings/$t"/* "$corpus"/ 2>/dev/null
  [ -d "$build/seeds-real/$t" ] && cp -n "$build/seeds-real/$t"/* "$corpus"/ 2>/dev/null
  log=$build/$t.log
  echo "fuzz: $t for $seconds s (corpus $corpus, log $log)"
  "$build/${t}_fuzz" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$t-" "$corpus" >"$log" 2>&1
  status=$?
  n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  runs[$t]=${n:-0}
  total=$((total + ${n:-0}))
  if [ $status -ne 0 ]; then
    failed+=("$t")
    echo "fuzz: $t FAILED (exit $status); the end of $log:"
    tail -40 "$log"
  fi
done
echo "fuzz: executions per target"
for t in "$@"; do printf '  %-10s %12s\n' "$t" "${runs[$t]}"; done
printf '  %-10s %12s\n' total "$total"
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings in ${failed[*]}: see $build/artifacts"
  exit 1
fi
