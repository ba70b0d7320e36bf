#!/usr/bin/env bash
# Checks installation: `cmake --install` puts the helper in bin/ and its
# modules in lib/vek-photokit-helper/, and the Debian package made by CPack,
# unpacked into a scratch root, holds a helper that answers a request (which
# loads its media module). Builds in build-package/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
build="$root/build-package"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_BUILD_TESTS=OFF -DVEK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target vek-photokit-helper >/dev/null

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
test -x "$scratch/prefix/bin/vek-photokit-helper"
for module in vek-photokit-media.so vek-photokit-export.so; do
  test -f "$scratch/prefix/lib/vek-photokit-helper/$module"
done

rm -f "$build"/vek-photokit-helper_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb="$(echo "$build"/vek-photokit-helper_*.deb)"
depends="$(dpkg-deb --field "$deb" Depends)"
echo "$(basename "$deb"): Depends: $depends"
for library in libvips42 libavformat libavcodec libsqlite3; do
  [[ "$depends" == *"$library"* ]] || { echo "the package does not depend on $library" >&2; exit 1; }
done

dpkg -x "$deb" "$scratch/root"
# A home of its own holding one photo, so the check never reads the real
# user's library.
mkdir -p "$scratch/home/Pictures"
vips black "$scratch/home/Pictures/black.jpg" 64 48
request='{"id":1,"cmd":"fetch_assets","kind":"image"}'
reply="$(echo "$request" | env -i HOME="$scratch/home" TMPDIR="$scratch" "$scratch/root/usr/bin/vek-photokit-helper")"
echo "> $request"
echo "< $reply"
[[ "$reply" == '{"id":1,"ok":{"assets":[{"localIdentifier":"'*'","kind":"image","pixelWidth":64,"pixelHeight":48,'* ]] ||
  { echo "unexpected reply" >&2; exit 1; }
echo "package check passed"
