#!/usr/bin/env bash
# Sets up, builds and runs the demo: a sample library made in its own folder
# (out/demo, or the folder given), then one session of a duplicate finder
# driving the helper. Prints each step and where the contact sheet is.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
echo "Building the helper and the demo's painter in build/ ..."
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target vek-photokit-helper vek-paint-scene >/dev/null
exec python3 "$root/examples/demo.py" --helper "$root/build/vek-photokit-helper" \
  --painter "$root/build/vek-paint-scene" --out "${1:-$root/out/demo}"
