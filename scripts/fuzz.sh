#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and the sanitizers, and runs each
# for a bounded time (default 60 s, or the first argument) from a seed corpus
# kept in fuzz/seeds, plus small media made here for the file fuzzers (media
# is never committed). Any crash, leak or time-out fails the run.
# VEK_FUZZ_BUILD names another build directory.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
"$root/scripts/setup.sh"
build="${VEK_FUZZ_BUILD:-$root/build-fuzz}"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVEK_FUZZ=ON -DVEK_SANITIZE=ON -DVEK_WERROR=ON -DVEK_BUILD_TESTS=OFF -DVEK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target vek_fuzzers >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# A seed for the file fuzzers: the selector byte (the extension's index in
# the fuzzer's list), then the bytes of a file.
seed() {
  local fuzzer="$1" selector="$2" file="$3"
  mkdir -p "$work/$fuzzer"
  { printf "\\$(printf '%03o' "$selector")"; cat "$file"; } >"$work/$fuzzer/$(basename "$file")"
}
media="$work/media"
mkdir -p "$media"
(
  cd "$media"
  vips black black.v 24 16 --bands 3
  vips copy black.v tiny.jpg[Q=50]
  vips copy black.v tiny.png
  vips copy black.v tiny.webp
  vips copy black.v tiny.tiff
  vips copy black.v tiny.gif || true
  vips copy black.v tiny.heic || true
  vips copy black.v tiny.avif[compression=av1] || true
  # EXIF as phones write it: orientation 6 (on its side) and a date, in an
  # APP1 segment right after the JPEG's start marker.
  python3 - <<'PYTHON'
import struct
date = b"2021:02:03 04:05:06\0"
entries = [struct.pack("<HHII", 0x0112, 3, 1, 6), struct.pack("<HHII", 0x0132, 2, len(date), 8 + 2 + 2 * 12 + 4)]
tiff = b"II*\0" + struct.pack("<I", 8) + struct.pack("<H", len(entries)) + b"".join(entries) + struct.pack("<I", 0) + date
app1 = b"Exif\0\0" + tiff
jpeg = open("tiny.jpg", "rb").read()
open("exif.jpg", "wb").write(jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1 + jpeg[2:])
PYTHON
  # A Live Photo's still: an Apple maker note ("Apple iOS", version, byte
  # order, one directory) with its content identifier, tag 0x0011.
  python3 - <<'PYTHON'
import struct
uuid = b"1745E022-9712-43C7-B024-F308EC6413CB\0"
note = b"Apple iOS\0\0\x01MM" + struct.pack(">H", 1) + struct.pack(">HHII", 0x0011, 2, len(uuid), 14 + 2 + 12 + 4)
note += struct.pack(">I", 0) + uuid
tiff = b"MM\0*" + struct.pack(">I", 8) + struct.pack(">HHHII", 1, 0x8769, 4, 1, 26) + struct.pack(">I", 0)
tiff += struct.pack(">HHHII", 1, 0x927C, 7, len(note), 44) + struct.pack(">I", 0) + note
app1 = b"Exif\0\0" + tiff
jpeg = open("tiny.jpg", "rb").read()
open("apple.jpg", "wb").write(jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1 + jpeg[2:])
PYTHON
  vips copy black.v tiny.jxl || true
  # A DNG as the RAW benchmark writes them: photosites, a preview, a date.
  python3 - "$root/bench" <<'PYTHON'
import datetime, sys
sys.path.insert(0, sys.argv[1])
import raw_bench
preview = (open("tiny.jpg", "rb").read(), (24, 16))
open("tiny.dng", "wb").write(raw_bench.make_dng(bytes(24 * 16 * 2), (24, 16), datetime.datetime(2021, 2, 3), preview))
PYTHON
  ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=32x24:rate=5:duration=0.4 \
    -f lavfi -i sine=duration=0.4 -shortest -metadata creation_time=2020-01-02T03:04:05Z -c:v mpeg4 -c:a aac tiny.mp4
  # Turned, and carrying a Live Photo's content identifier.
  ffmpeg -nostdin -loglevel error -y -i tiny.mp4 -c copy -metadata:s:v rotate=90 -movflags use_metadata_tags \
    -metadata com.apple.quicktime.content.identifier=1745E022-9712-43C7-B024-F308EC6413CB tiny.mov
  ffmpeg -nostdin -loglevel error -y -i tiny.mp4 -c copy tiny.mkv
  ffmpeg -nostdin -loglevel error -y -i tiny.mp4 -c copy tiny.avi
  ffmpeg -nostdin -loglevel error -y -i tiny.mp4 -c copy -f mpegts tiny.ts
) >/dev/null 2>&1
image=0
for extension in jpg png heic avif webp gif tiff dng jxl; do
  if [[ -s "$media/tiny.$extension" ]]; then seed image_file_fuzz "$image" "$media/tiny.$extension"; fi
  image=$((image + 1))
done
if [[ -s "$media/exif.jpg" ]]; then seed image_file_fuzz 128 "$media/exif.jpg"; fi
if [[ -s "$media/apple.jpg" ]]; then seed image_file_fuzz 0 "$media/apple.jpg"; fi
video=0
for extension in mp4 mov m4v 3gp mkv webm avi mts; do
  file="$media/tiny.$extension"
  if [[ "$extension" == mts ]]; then file="$media/tiny.ts"; fi
  if [[ -s "$file" ]]; then seed video_file_fuzz "$video" "$file"; fi
  video=$((video + 1))
done

status=0
for source in "$root"/fuzz/*_fuzz.cpp; do
  fuzzer="$(basename "$source" .cpp)"
  corpus="$work/$fuzzer"
  mkdir -p "$corpus"
  if [[ -d "$root/fuzz/seeds/$fuzzer" ]]; then cp -r "$root/fuzz/seeds/$fuzzer/." "$corpus/"; fi
  echo "== $fuzzer for ${seconds}s"
  if (cd "$work" && TMPDIR="$work" "$build/$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "$corpus" >"$work/$fuzzer.log" 2>&1); then
    grep -E '^(stat::number_of_executed_units|stat::new_units_added|stat::peak_rss_mb|#[0-9]+ +DONE)' "$work/$fuzzer.log" || true
  else
    echo "$fuzzer found a fault:"
    tail -60 "$work/$fuzzer.log"
    status=1
  fi
done
exit $status
