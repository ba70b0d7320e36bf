#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite. With --sanitize the build
# uses AddressSanitizer and UndefinedBehaviorSanitizer, in its own folder.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"

build="$root/build"
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [[ "${1:-}" == "--sanitize" ]]; then
  build="$root/build-sanitize"
  flags=(-DCMAKE_BUILD_TYPE=Debug -DVEK_SANITIZE=ON -DVEK_BUILD_BENCH=OFF)
  export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"
fi
cmake -S "$root" -B "$build" "${flags[@]}"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
