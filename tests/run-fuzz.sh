#!/bin/sh
# Builds the command-reader fuzzer with clang and runs it for a bounded time
# over the seed corpus. Exits non-zero on a crash or sanitizer report.
#   tests/run-fuzz.sh [seconds]        (default 60; FUZZ_BUILD_DIR overrides the build folder)
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${FUZZ_BUILD_DIR:-$here/build-fuzz}

cmake -S "$here/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build "$build" -j2 --target command_fuzz >/dev/null

# New inputs go to a scratch folder; the seeds in the tree stay as they are.
work="$build/corpus"
mkdir -p "$work"
scratch=$(mktemp -d "$build/run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$build"
TMPDIR="$scratch" \
LSAN_OPTIONS="suppressions=$here/tests/lsan.supp" \
ASAN_OPTIONS="fast_unwind_on_malloc=0:detect_leaks=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
KESTREL_SOURCE_DIR="$here" \
  "$build/command_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
    -max_len=2048 -dict="$here/fuzz/ftp.dict" -print_final_stats=1 "$work" "$here/fuzz/corpus"
