#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite, with warnings as errors.
#   --sanitize         AddressSanitizer and UndefinedBehaviorSanitizer (a
#                      Debug build in build-sanitize/)
#   --type TYPE        the CMake build type (default RelWithDebInfo)
#   --compiler NAME    gcc (default) or clang
#   --core             the core alone (-DVEK_LINUX_PLATFORM=OFF, in
#                      build-core/): protocol, loop and photo operations
#                      against the in-memory library, without any media
#                      library
# A build other than the default one goes in build-<type>-<compiler>/ and
# leaves the benchmarks out: they are built and run from build/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

type=RelWithDebInfo
compiler=gcc
sanitize=0
core=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --sanitize) sanitize=1 ;;
    --core) core=1 ;;
    --type) type="$2"; shift ;;
    --compiler) compiler="$2"; shift ;;
    *) echo "usage: $0 [--sanitize | --core] [--type TYPE] [--compiler gcc|clang]" >&2; exit 2 ;;
  esac
  shift
done
# GCC is the system's cc and c++, which existing build folders already name.
case "$compiler" in
  gcc) ;;
  clang) export CC=clang CXX=clang++ ;;
  *) echo "unknown compiler: $compiler" >&2; exit 2 ;;
esac
"$root/scripts/setup.sh"

flags=(-DVEK_WERROR=ON)
if [[ $core -eq 1 ]]; then
  build="$root/build-core"
  flags+=(-DCMAKE_BUILD_TYPE="$type" -DVEK_LINUX_PLATFORM=OFF -DVEK_BUILD_BENCH=OFF)
elif [[ $sanitize -eq 1 ]]; then
  build="$root/build-sanitize"
  flags+=(-DCMAKE_BUILD_TYPE=Debug -DVEK_SANITIZE=ON -DVEK_BUILD_BENCH=OFF)
  export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"
elif [[ "$type" == RelWithDebInfo && "$compiler" == gcc ]]; then
  build="$root/build"
  flags+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
else
  build="$root/build-${type,,}-$compiler"
  flags+=(-DCMAKE_BUILD_TYPE="$type" -DVEK_BUILD_BENCH=OFF)
fi
cmake -S "$root" -B "$build" "${flags[@]}"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
