#!/usr/bin/env bash
# Builds the Debian package as a distribution does (dpkg-buildpackage from
# debian/, hardening on, tests off), checks it with lintian, checks that every
# binary carries the hardening, installs it into this machine with apt-get,
# asks the installed helper for a listing of a scratch home, and removes it.
# Installing needs root, or sudo.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"

sudo=()
if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -q)
package=vek-photokit-helper
folder=/usr/libexec/$package
# The check ends by removing the package, which must not take away a copy the
# machine's owner installed.
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
  echo "$package is installed on this machine; remove it first (apt-get remove $package)" >&2
  exit 1
fi

scratch="$(mktemp -d)"
installed=0
cleanup() {
  if [[ $installed -eq 1 ]]; then "${apt[@]}" purge "$package" </dev/null >/dev/null 2>&1 || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "$1" >&2
  if [[ -n "${2:-}" ]]; then tail -n 40 "$2" >&2; fi
  exit 1
}

# A copy of the source (tracked and new files, never build outputs):
# dpkg-buildpackage builds inside the source tree and writes the packages
# into the folder above it, both of which are then the scratch folder.
mkdir "$scratch/src"
(
  cd "$root"
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do
      if [[ -e "$file" || -L "$file" ]]; then printf '%s\0' "$file"; fi
    done |
    tar --null --files-from=- --create
) | tar --extract --directory="$scratch/src"

export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }parallel=$(nproc)"
(cd "$scratch/src" && dpkg-buildpackage -us -uc -b) </dev/null >"$scratch/build.log" 2>&1 ||
  fail "dpkg-buildpackage failed:" "$scratch/build.log"
version="$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)"
deb="$scratch/${package}_${version}_$(dpkg --print-architecture).deb"
changes="${deb%.deb}.changes"
echo "built $(basename "$deb")"

# Everything under libexec, the demo's painter and the tests left out.
contents="$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $NF }' | sort)"
expected="./usr/libexec/$package/vek-photokit-export.so
./usr/libexec/$package/vek-photokit-helper
./usr/libexec/$package/vek-photokit-media.so
./usr/share/doc/$package/changelog.Debian.gz
./usr/share/doc/$package/copyright
./usr/share/lintian/overrides/$package"
[[ "$contents" == "$expected" ]] || fail "unexpected contents:"$'\n'"$contents"

depends="$(dpkg-deb --field "$deb" Depends)"
echo "Depends: $depends"
for library in libvips42 libavformat libavcodec libsqlite3; do
  [[ "$depends" == *"$library"* ]] || fail "the package does not depend on $library"
done

# Any error or warning fails the check (overrides, each with its reason, are
# in debian/).
lintian --fail-on none "$changes" >"$scratch/lintian.log" 2>&1 || fail "lintian failed:" "$scratch/lintian.log"
report="$(grep -v '^running with root privileges' "$scratch/lintian.log" || true)"
echo "lintian: ${report:-no errors or warnings}"
if grep -q '^[EW]:' <<<"$report"; then fail "lintian reported errors or warnings"; fi

# The hardening reached every binary: read-only relocations bound at start,
# a stack protector, and a position-independent helper.
# (Read whole before matching: grep -q would close the pipe on readelf.)
dpkg-deb --extract "$deb" "$scratch/root"
for binary in "$scratch/root$folder/"*; do
  headers="$(readelf -lW "$binary")"
  dynamic="$(readelf -dW "$binary")"
  symbols="$(readelf --dyn-syms -W "$binary")"
  [[ "$headers" == *GNU_RELRO* ]] || fail "$binary has no RELRO"
  [[ "$dynamic" == *BIND_NOW* || "$dynamic" =~ FLAGS_1[^$'\n']*NOW ]] || fail "$binary is not bound now"
  [[ "$symbols" == *__stack_chk_fail* ]] || fail "$binary has no stack protector"
done
[[ "$(readelf -dW "$scratch/root$folder/vek-photokit-helper")" =~ FLAGS_1[^$'\n']*PIE ]] ||
  fail "the helper is not PIE"

# `cmake --install` with a prefix of one's own lays it out the same way.
cmake --install "$scratch/src/obj-$(dpkg-architecture -qDEB_HOST_GNU_TYPE)" --prefix "$scratch/prefix" >/dev/null
for file in vek-photokit-helper vek-photokit-media.so vek-photokit-export.so; do
  [[ -f "$scratch/prefix/libexec/$package/$file" ]] || fail "cmake --install left out libexec/$package/$file"
done

# apt reads the package as its own unprivileged user.
chmod a+rx "$scratch"
installed=1
"${apt[@]}" install "$deb" </dev/null >"$scratch/apt.log" 2>&1 || fail "apt-get install failed:" "$scratch/apt.log"
echo "installed $folder: $(cd "$folder" && echo *)"

# A home of its own holding one photo, so the check never reads the real
# user's library; the listing probes the photo, which loads the media module
# from beside the installed helper.
mkdir -p "$scratch/home/Pictures"
vips black "$scratch/home/Pictures/black.jpg" 64 48
request='{"id":1,"cmd":"fetch_assets","kind":"image"}'
reply="$(echo "$request" | env -i HOME="$scratch/home" TMPDIR="$scratch" "$folder/vek-photokit-helper" 2>"$scratch/stderr")"
echo "> $request"
echo "< $reply"
[[ "$reply" == '{"id":1,"ok":{"assets":[{"localIdentifier":"'*'","kind":"image","pixelWidth":64,"pixelHeight":48,'* ]] ||
  fail "unexpected reply"
[[ ! -s "$scratch/stderr" ]] || fail "the helper wrote to stderr:" "$scratch/stderr"

"${apt[@]}" purge "$package" </dev/null >"$scratch/apt.log" 2>&1 || fail "apt-get purge failed:" "$scratch/apt.log"
installed=0
[[ ! -e "$folder" ]] || fail "$folder is still there after the package was removed"
status="$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)"
[[ -z "$status" || "$status" == not-installed ]] || fail "$package is still $status after it was purged"
echo "removed $package, $folder is gone"
echo "package check passed"
