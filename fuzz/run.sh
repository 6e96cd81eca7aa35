#!/usr/bin/env bash
# Runs the fuzz targets of a fuzz build, each for a bounded time, starting
# from its corpus in fuzz/corpus/<target>/ (which it only reads), and fails
# when any of them finds something. Prints, per target, the executions and
# libFuzzer's coverage (cov: edges, ft: features) at the end of its run.
#
#   fuzz/run.sh [--build DIR] [--seconds N] [--seed N] [TARGET...]
#
# Defaults: build/fuzz, 30 seconds, a seed of libFuzzer's choosing, every
# target built. CI gives a seed, so that one run is like the next and a
# finding is the change's, not the dice's; longer runs by hand explore. What a run found is
# kept in DIR/fuzz-run/<target>/: the input that failed (crash-*, leak-*,
# timeout-*, slow-unit-*), the log, and the new inputs it made.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/fuzz
seconds=30
seed=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    -*) echo "fuzz/run.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if [ "${#targets[@]}" -eq 0 ]; then
  for exe in "$build"/fuzz/*_fuzz; do
    [ -x "$exe" ] && targets+=("$(basename "$exe" _fuzz)")
  done
fi
if [ "${#targets[@]}" -eq 0 ]; then
  echo "fuzz/run.sh: no fuzz targets in $build (cmake --preset fuzz && cmake --build --preset fuzz)" >&2
  exit 2
fi

# The targets write small files for every input; memory is far faster for
# that than a disk.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi

work="$build/fuzz-run"
failed=()
printf '%-18s %12s %8s %8s  %s\n' target executions cov ft result
for t in "${targets[@]}"; do
  exe="$build/fuzz/${t}_fuzz"
  dir="$work/$t"
  rm -rf "$dir"
  mkdir -p "$dir/new"
  status=0
  # -timeout: an input that runs a minute is a hang; the slowest honest one
  # (an upgrade whose every page waits out its time-outs) takes seconds.
  "$exe" -seed="$seed" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2560 -print_final_stats=1 \
    -artifact_prefix="$dir/" "$dir/new" "fuzz/corpus/$t" >"$dir/log" 2>&1 || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
  last=$(grep -a -E '^#[0-9]+.*cov: ' "$dir/log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  result=ok
  if [ "$status" -ne 0 ]; then
    result="FOUND something (exit $status)"
    failed+=("$t")
  fi
  printf '%-18s %12s %8s %8s  %s\n' "$t" "${executions:--}" "${cov:--}" "${ft:--}" "$result"
done

if [ "${#failed[@]}" -ne 0 ]; then
  for t in "${failed[@]}"; do
    echo
    echo "=== $t: the end of $work/$t/log"
    tail -n 40 "$work/$t/log"
    echo "--- the input that found it:"
    ls "$work/$t"/crash-* "$work/$t"/leak-* "$work/$t"/timeout-* "$work/$t"/oom-* \
      "$work/$t"/slow-unit-* 2>/dev/null || true
  done
  echo
  echo "Reproduce with: $build/fuzz/<target>_fuzz <input>; once fixed, add the input to"
  echo "fuzz/corpus/<target>/ as a regression input (see CONTRIBUTING.md)."
  exit 1
fi
