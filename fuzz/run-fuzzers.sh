#!/usr/bin/env bash
# `make fuzz`: builds the fuzz targets with clang in their own build folder and runs
# each for SECONDS, stopping at the first crash with a non-zero exit.
#
#   fuzz/run-fuzzers.sh [SECONDS] [TARGET...]
#
# New inputs go to BUILD/corpus/<target>, crashes to BUILD/crashes/<target>; the
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

for target in "${targets[@]}"; do
  binary="$build/fuzz/fuzz_$target"
  if [ ! -x "$binary" ]; then
    echo "fuzz: no target $target (Markup needs Qt 6)" >&2
    exit 1
  fi
  mkdir -p "$build/corpus/$target" "$build/crashes/$target"
  echo "fuzz: $target for ${seconds}s"
  # The outer timeout only catches a fuzzer that hangs past its own limit.
  timeout --kill-after=30 $((seconds + 120)) "$binary" \
    -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -dict="fuzz/dict/$target.dict" \
    -artifact_prefix="$build/crashes/$target/" \
    "$build/corpus/$target" "fuzz/corpus/$target"
done
