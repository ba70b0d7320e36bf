#!/usr/bin/env bash
# Sets up, builds and runs the helper, sending it one request of each kind.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target vek-photokit-helper >/dev/null

requests='{"id":1,"cmd":"fetch_assets","kind":"image"}
{"id":2,"cmd":"fetch_assets","kind":"video"}
{"id":3,"cmd":"request_image_data","localIdentifier":"none"}
{"id":4,"cmd":"delete_assets","localIdentifiers":[]}
{"id":5,"cmd":"hello"}'
echo "$requests" | while IFS= read -r line; do echo "> $line"; done
echo "$requests" | "$root/build/vek-photokit-helper" | while IFS= read -r line; do echo "< $line"; done
