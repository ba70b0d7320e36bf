#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and the sanitizers, and runs each
# for a bounded time (default 60 s, or the first argument) from a seed corpus
# kept in fuzz/seeds. Any crash, leak or time-out fails the run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
"$root/scripts/setup.sh"
build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVEK_FUZZ=ON -DVEK_SANITIZE=ON -DVEK_BUILD_TESTS=OFF -DVEK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target vek_fuzzers >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0
for source in "$root"/fuzz/*_fuzz.cpp; do
  fuzzer="$(basename "$source" .cpp)"
  corpus="$work/$fuzzer"
  mkdir -p "$corpus"
  if [[ -d "$root/fuzz/seeds/$fuzzer" ]]; then cp -r "$root/fuzz/seeds/$fuzzer/." "$corpus/"; fi
  echo "== $fuzzer for ${seconds}s"
  if (cd "$work" && "$build/$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "$corpus" >"$work/$fuzzer.log" 2>&1); then
    grep -E '^(stat::number_of_executed_units|stat::new_units_added|stat::peak_rss_mb|#[0-9]+ +DONE)' "$work/$fuzzer.log" || true
  else
    echo "$fuzzer found a fault:"
    tail -60 "$work/$fuzzer.log"
    status=1
  fi
done
exit $status
