#!/usr/bin/env bash
# `make fuzz`: builds the fuzz targets with clang in their own build folder and runs
# each for SECONDS. A finding in one target does not stop the others: every target
# runs, a table of results ends the output, and the exit is non-zero if any failed.
#
#   fuzz/run-fuzzers.sh [SECONDS] [TARGET...]
#
# New inputs go to BUILD/corpus/<target>, crashes to BUILD/crashes/<target>, each
# run's output to BUILD/logs/<target>.log; the
# committed seeds under fuzz/corpus are only read. A crash worth keeping is copied
# there under a name that says what it broke, so the replay test keeps trying it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(FtpCommand HttpRequest Ini Markup)
build="${FUZZ_BUILD_DIR:-build-fuzz}"
jobs="${JOBS:-$(nproc)}"

bash scripts/setup.sh
# libFuzzer's runtime ships in the compiler-rt package, not with clang itself.
missing=()
for p in clang libclang-rt-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "fuzz: must run as root to install: ${missing[*]}" >&2
    exit 1
  fi
  echo "fuzz: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || true
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Debug keeps assert() on; the fuzz option adds the optimisation and sanitizers.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
  -DDRAVIK_FUZZ=ON >/dev/null
cmake --build "$build" -j "$jobs" --target fuzz_targets

# Names the files a run left in its crash folder that were not there before it.
new_findings() {
  local folder="$1" before="$2"
  comm -13 <(printf '%s\n' "$before") <(ls -1 "$folder")
}

declare -A result
declare -A detail
failed=0
for target in "${targets[@]}"; do
  binary="$build/fuzz/fuzz_$target"
  if [ ! -x "$binary" ]; then
    echo "fuzz: no target $target (Markup needs Qt 6)" >&2
    result[$target]=missing
    detail[$target]="not built"
    failed=1
    continue
  fi
  mkdir -p "$build/corpus/$target" "$build/crashes/$target" "$build/logs"
  log="$build/logs/$target.log"
  before="$(ls -1 "$build/crashes/$target")"
  echo "fuzz: $target for ${seconds}s (output in $log)"
  status=0
  # The outer timeout only catches a fuzzer that hangs past its own limit.
  timeout --kill-after=30 $((seconds + 120)) "$binary" \
    -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -dict="fuzz/dict/$target.dict" \
    -artifact_prefix="$build/crashes/$target/" \
    "$build/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  findings="$(new_findings "$build/crashes/$target" "$before" | tr '\n' ' ')"
  if [ "$status" -eq 0 ]; then
    result[$target]=passed
    detail[$target]="${runs:-?} runs"
  else
    failed=1
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
      result[$target]=hung
    else
      result[$target]="failed ($status)"
    fi
    detail[$target]="${runs:-?} runs; ${findings:-no artifact, see $log}"
    # The finding's report is the part of the log worth seeing at once.
    grep -m 1 -A 12 -E 'check failed|==[0-9]+==ERROR|deadly signal' "$log" >&2 || tail -n 20 "$log" >&2
  fi
done

echo
printf '%-12s %-12s %s\n' target result details
for target in "${targets[@]}"; do
  printf '%-12s %-12s %s\n' "$target" "${result[$target]}" "${detail[$target]}"
done
exit "$failed"
