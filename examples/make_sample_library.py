#!/usr/bin/env python3
"""Makes a small home folder holding a photo and video library.

The photos are painted at run time by vek-paint-scene (libvips), dated and
oriented with exiftool, and the videos are made with ffmpeg, so the library
is the same on every machine and nothing is downloaded. Among the photos are
near-duplicates a duplicate finder should group (a resized copy, a re-encoded
copy and a copy stored sideways), portrait shots stored sideways with an EXIF
orientation, and files the helper must never list (hidden ones and a text
file). Nothing is written outside the new folder and its parent's
sample-library.json.

Usage: make_sample_library.py PAINTER HOME
  PAINTER  the vek-paint-scene program from the build
  HOME     the folder to make; it must not exist yet
"""

import hashlib
import json
import os
import subprocess
import sys
import tempfile
from datetime import datetime
from pathlib import Path

LANDSCAPE = (2048, 1536)
PORTRAIT = (1536, 2048)

# (file, scene, displayed size, EXIF date and time, offset or None, EXIF orientation)
PHOTOS = [
    ("Pictures/Camera/IMG_20240612_201533.jpg", "poster", LANDSCAPE, "2024:06:12 20:15:33", "+02:00", 1),
    ("Pictures/Camera/IMG_20240613_212040.jpg", "sunset", LANDSCAPE, "2024:06:13 21:20:40", "+02:00", 1),
    ("Pictures/Camera/IMG_20240614_101205.jpg", "seaside", LANDSCAPE, "2024:06:14 10:12:05", "+02:00", 1),
    ("Pictures/Camera/IMG_20240615_163010.jpg", "dunes", LANDSCAPE, "2024:06:15 16:30:10", "+02:00", 1),
    ("Pictures/Camera/IMG_20240702_091500.jpg", "forest", PORTRAIT, "2024:07:02 09:15:00", "+01:00", 6),
    ("Pictures/Camera/IMG_20241019_150422.jpg", "autumn", LANDSCAPE, "2024:10:19 15:04:22", "+01:00", 1),
    ("Pictures/Camera/IMG_20241101_224518.jpg", "night", PORTRAIT, "2024:11:01 22:45:18", "+00:00", 8),
    ("Pictures/Été 2024/marble floor.jpg", "marble", LANDSCAPE, "2024:08:20 12:00:00", None, 1),
]
POSTER = PHOTOS[0][0]

# How a photo taken in portrait is stored, so that its orientation turns it upright.
STORED_TURN = {6: "d270", 8: "d90"}

# (file, role, vips command making it from the poster, displayed size, new EXIF orientation)
COPIES = [
    ("Pictures/Shared/IMG_20240612_201533-small.jpg", "resized copy", ["resize", "{in}", "{out}[Q=90]", "0.5"],
     (1024, 768), None),
    ("Pictures/Messages/IMG-20240612-WA0007.jpg", "re-encoded copy", ["copy", "{in}", "{out}[Q=40]"], LANDSCAPE, None),
    ("Pictures/Été 2024/poster sideways.jpg", "rotated copy", ["rot", "{in}", "{out}[Q=90]", "d270"], LANDSCAPE, 6),
]

SCREENSHOT = ("Pictures/Screenshots/Screenshot from 2024-09-03 14-22-09.png", (1280, 800), datetime(2024, 9, 3, 14, 22, 9))

# (file, lavfi source, creation time, tone in Hz)
CLIPS = [
    ("Videos/VID_20240613_213005.mp4", "mandelbrot=size=640x360:rate=25", "2024-06-13T19:30:05Z", 440),
    ("Videos/VID_20241019_151230.mp4", "life=size=640x360:rate=25:mold=10:ratio=0.2:death_color=#302010:life_color=#f0a020:seed=7",
     "2024-10-19T13:12:30Z", 330),
]
CLIP_COPY = "Videos/Shared/VID_20240613_213005-compressed.mp4"


def run(*command, **options):
    subprocess.run([str(part) for part in command], check=True, stdout=subprocess.DEVNULL, **options)


def make_photos(painter, home, scratch):
    entries = []
    exif = []
    for seed, (name, scene, size, date, offset, orientation) in enumerate(PHOTOS, start=1):
        path = home / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if orientation in STORED_TURN:
            upright = scratch / f"{scene}.v"
            run(painter, scene, *size, seed, upright)
            run("vips", "rot", upright, f"{path}[Q=92,strip]", STORED_TURN[orientation])
        else:
            run(painter, scene, *size, seed, path)
        exif += [f"-DateTimeOriginal={date}", f"-CreateDate={date}", f"-SubSecTimeOriginal={seed * 10}",
                 "-Make=Vek", "-Model=Sample Camera", f"-Orientation#={orientation}"]
        if offset:
            exif.append(f"-OffsetTimeOriginal={offset}")
        exif += [str(path), "-execute"]
        entries.append({"path": name, "kind": "image", "role": "original", "displayedSize": list(size)})
    # One exiftool run for all the photos: it starts slowly.
    run("exiftool", "-@", "-", "-common_args", "-q", "-overwrite_original", input="\n".join(exif), text=True)

    # The copies keep the poster's EXIF data, dates included, as copies do;
    # the one stored sideways gets the orientation that turns it upright.
    for name, role, command, size, orientation in COPIES:
        path = home / name
        path.parent.mkdir(parents=True, exist_ok=True)
        run("vips", *[part.replace("{in}", str(home / POSTER)).replace("{out}", str(path)) for part in command])
        if orientation:
            run("exiftool", "-q", "-overwrite_original", f"-Orientation#={orientation}", path)
        entries.append({"path": name, "kind": "image", "role": role, "duplicateOf": POSTER, "displayedSize": list(size)})

    name, size, taken = SCREENSHOT
    path = home / name
    path.parent.mkdir(parents=True)
    run(painter, "screen", *size, 99, path)
    # A screenshot has no EXIF date; its file's time stands in.
    os.utime(path, (taken.timestamp(), taken.timestamp()))
    entries.append({"path": name, "kind": "image", "role": "original", "displayedSize": list(size)})
    return entries


def make_hidden(home):
    """Files a file manager hides, and a file that is not media: none is listed."""
    camera = home / "Pictures/Camera"
    hidden = [camera / ".trashed-1718200000-IMG_20240613_212040.jpg", camera / "IMG_20240101_000000.jpg",
              home / "Pictures/.thumbnails/IMG_20240613_212040.jpg"]
    for path in hidden:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes((home / PHOTOS[1][0]).read_bytes())
    (camera / ".hidden").write_text("IMG_20240101_000000.jpg\n")
    (camera / "notes.txt").write_text("Not a photo.\n")
    return [{"path": str(path.relative_to(home)), "kind": "image", "role": "hidden"} for path in hidden]


def make_videos(home):
    """Two short clips with sound and a creation time, and a smaller re-encoding of the first."""
    ffmpeg = ["ffmpeg", "-nostdin", "-loglevel", "error"]
    entries = []
    for name, source, created, tone in CLIPS:
        path = home / name
        path.parent.mkdir(parents=True, exist_ok=True)
        run(*ffmpeg, "-f", "lavfi", "-i", source, "-f", "lavfi", "-i", f"sine=frequency={tone}:sample_rate=44100",
            "-t", 3, "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-c:a", "aac",
            "-metadata", f"creation_time={created}", path)
        entries.append({"path": name, "kind": "video", "role": "original", "displayedSize": [640, 360]})
    (home / CLIP_COPY).parent.mkdir(parents=True)
    run(*ffmpeg, "-i", home / CLIPS[0][0], "-c:v", "libx264", "-preset", "veryfast", "-b:v", "300k",
        "-c:a", "aac", "-b:a", "64k", "-map_metadata", 0, home / CLIP_COPY)
    entries.append({"path": CLIP_COPY, "kind": "video", "role": "re-encoded copy", "duplicateOf": CLIPS[0][0],
                    "displayedSize": [640, 360]})
    return entries


def make_sample_library(painter, home):
    """Creates HOME with Pictures, Videos and the desktop's folder settings.

    Returns the manifest (every file made, its role and SHA-256), which is
    also written to sample-library.json beside HOME.
    """
    home = Path(home).absolute()
    home.mkdir(parents=True)
    (home / ".config").mkdir()
    (home / ".config/user-dirs.dirs").write_text('XDG_PICTURES_DIR="$HOME/Pictures"\nXDG_VIDEOS_DIR="$HOME/Videos"\n')
    with tempfile.TemporaryDirectory(dir=home.parent) as scratch:
        files = make_photos(painter, home, Path(scratch)) + make_hidden(home) + make_videos(home)
    for entry in files:
        entry["sha256"] = hashlib.sha256((home / entry["path"]).read_bytes()).hexdigest()
    manifest = {"home": str(home), "files": files}
    (home.parent / "sample-library.json").write_text(json.dumps(manifest, indent=1, ensure_ascii=False))
    return manifest


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    made = make_sample_library(sys.argv[1], sys.argv[2])
    print(f"{len(made['files'])} files in {made['home']}")
