#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (default 60 s).
# Fails on a crash, a hang (a single input running over 10 s), a leak or a sanitizer report.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET="${1:-60}"
if ! command -v clang++ >/dev/null || [ ! -e /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq clang libclang-rt-14-dev libpcre2-dev pkg-config >/dev/null
fi
BUILD="$PWD/build/fuzz"
CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DTALMEK_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null \
  || CXX=clang++ cmake -S . -B "$BUILD" -DTALMEK_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j2 >/dev/null
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for target in fuzz_json fuzz_request; do
  work="$BUILD/corpus-$target"
  mkdir -p "$work"
  seeds="$PWD/fuzz/corpus/${target#fuzz_}"
  echo "fuzz: $target for ${SECONDS_PER_TARGET}s"
  if ! "$BUILD/fuzz/$target" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=4096 \
      -max_len=65536 -print_final_stats=1 -artifact_prefix="$BUILD/$target-" "$work" "$seeds" \
      >"$BUILD/$target.log" 2>&1; then
    echo "fuzz: $target FAILED"; tail -60 "$BUILD/$target.log"; status=1
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$BUILD/$target.log" | sed "s/^/fuzz: $target /" || true
done
rm -rf /tmp/talmek-fuzz-*  # the request target's scratch directories
exit $status
