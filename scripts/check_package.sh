#!/usr/bin/env bash
# Checks installation: `cmake --install` puts the helper in bin/ and its
# modules in lib/vek-photokit-helper/, and the Debian package made by CPack,
# unpacked into a scratch root, holds a helper that answers a request (which
# loads its media module). Builds in build-package/ with the hardening flags
# of dpkg-buildflags, and checks that the binaries carry them.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
build="$root/build-package"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

# Built as Debian builds packages: the build type "None" and only the
# flags dpkg-buildflags gives, with every hardening feature (CPPFLAGS go with
# the compiler flags). Given as cache settings rather than through CFLAGS and
# the like, which CMake reads only when it first configures a folder.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cd "$root"
ldflags="$(dpkg-buildflags --get LDFLAGS)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=None -DVEK_WERROR=ON -DVEK_BUILD_TESTS=OFF -DVEK_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" \
  >/dev/null
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
# The hardening reached every binary: read-only relocations bound at start,
# a stack protector, and a position-independent helper.
# (Read whole before matching: grep -q would close the pipe on readelf.)
for binary in "$scratch/root/usr/bin/vek-photokit-helper" "$scratch/root/usr/lib/vek-photokit-helper/"*.so; do
  headers="$(readelf -lW "$binary")"
  dynamic="$(readelf -dW "$binary")"
  symbols="$(readelf --dyn-syms -W "$binary")"
  [[ "$headers" == *GNU_RELRO* ]] || { echo "$binary has no RELRO" >&2; exit 1; }
  [[ "$dynamic" == *BIND_NOW* || "$dynamic" =~ FLAGS_1[^$'\n']*NOW ]] || { echo "$binary is not bound now" >&2; exit 1; }
  [[ "$symbols" == *__stack_chk_fail* ]] || { echo "$binary has no stack protector" >&2; exit 1; }
done
[[ "$(readelf -dW "$scratch/root/usr/bin/vek-photokit-helper")" =~ FLAGS_1[^$'\n']*PIE ]] ||
  { echo "the helper is not PIE" >&2; exit 1; }
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
