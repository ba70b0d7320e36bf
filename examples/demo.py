#!/usr/bin/env python3
"""The helper's demo: a sample library, then one session as a duplicate finder runs it.

Makes a sample library in a folder of its own, starts the helper on it (and
on nothing else: its HOME, XDG_CONFIG_HOME, XDG_DATA_HOME and TMPDIR all point
into the folder), lists images and videos, renders every image at 256,
groups near-duplicates by their thumbnails, exports one video, deletes one
duplicate, lists again, shows the Trash, and writes a contact sheet.

Usage: demo.py --helper PATH --painter PATH [--out DIR]
"""

import argparse
import base64
import html
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse
from datetime import datetime, timezone
from pathlib import Path

# The demo writes nothing outside its folder, compiled modules included.
sys.dont_write_bytecode = True
from make_sample_library import make_sample_library  # noqa: E402
from vek_client import HelperError, VekHelper  # noqa: E402

TARGET_SIZE = 256
# Thumbnails whose fingerprints differ in at most this many of 64 bits look alike.
NEAR = 10
MARKER = ".vek-demo"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--helper", required=True, help="the vek-photokit-helper binary")
    parser.add_argument("--painter", required=True, help="the vek-paint-scene binary")
    parser.add_argument("--out", default="out/demo", help="the demo's folder, replaced on each run (default: out/demo)")
    args = parser.parse_args()
    try:
        return Demo(Path(args.helper).absolute(), Path(args.painter).absolute(), Path(args.out).absolute()).run()
    except (HelperError, RuntimeError, OSError, subprocess.CalledProcessError) as error:
        print(f"\nThe demo stopped: {error}", file=sys.stderr)
        return 1


def take_folder(out):
    """Empties the demo's folder, refusing any folder a previous demo did not make."""
    if out.exists():
        if not (out / MARKER).exists() and any(out.iterdir()):
            raise RuntimeError(f"{out} is not empty and was not made by the demo; choose another --out")
        shutil.rmtree(out)
    out.mkdir(parents=True)
    (out / MARKER).write_text("Made by the vek-photokit-helper demo; the next run replaces this folder.\n")


def fingerprints(jpegs, scratch):
    """64-bit difference hashes: on a 9 by 8 grid of each picture, is each cell darker than its right neighbour?"""
    subprocess.run(["vipsthumbnail", *jpegs, "--size", "9x8!", "-o", f"{scratch}/%s.ppm"], check=True)
    hashes = []
    for jpeg in jpegs:
        fields, rest = [], (scratch / f"{Path(jpeg).stem}.ppm").read_bytes()
        while len(fields) < 4:
            line, rest = rest.split(b"\n", 1)
            if not line.startswith(b"#"):
                fields += line.split()
        grey = [sum(rest[i:i + 3]) for i in range(0, 9 * 8 * 3, 3)]
        bits = 0
        for row in range(8):
            for column in range(8):
                bits = bits << 1 | (grey[row * 9 + column] < grey[row * 9 + column + 1])
        hashes.append(bits)
    return hashes


def group_alike(hashes):
    """Groups of two or more identifiers whose fingerprints are near one another."""
    groups = []
    for identifier, bits in hashes.items():
        home = next((g for g in groups if any(bin(bits ^ hashes[m]).count("1") <= NEAR for m in g)), None)
        if home is None:
            groups.append([identifier])
        else:
            home.append(identifier)
    return [g for g in groups if len(g) > 1]


def read_trash(trash):
    """The Trash's entries: where each file came from, and when it was deleted."""
    entries = []
    for info in sorted((trash / "info").glob("*.trashinfo")):
        fields = dict(line.split("=", 1) for line in info.read_text().splitlines() if "=" in line)
        entries.append({"name": info.stem, "path": urllib.parse.unquote(fields.get("Path", "")),
                        "deletionDate": fields.get("DeletionDate", "")})
    return entries


def when(milliseconds):
    return datetime.fromtimestamp(milliseconds / 1000, timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")


def short(identifier):
    return identifier.split("-")[0] + "…"


class Demo:
    def __init__(self, helper, painter, out):
        self.helper_binary = helper
        self.painter = painter
        self.out = out
        self.home = out / "home"
        self.tmp = out / "tmp"
        self.sheet = out / "contact-sheet.html"
        self.thumbnails = out / "thumbnails"
        self.step_number = 0
        self.visible_images = 0
        # Everything the session saw, kept for the contact sheet and demo-summary.json.
        self.summary = {}

    def step(self, title, started, details=()):
        self.step_number += 1
        print(f"{self.step_number:2}. {title}  [{time.monotonic() - started:.2f} s]")
        for line in details:
            print(f"      {line}")

    def environment(self):
        """The helper's whole environment: it finds its library, catalog, Trash and temporary folder here."""
        environment = {"HOME": str(self.home), "XDG_CONFIG_HOME": str(self.home / ".config"),
                       "XDG_DATA_HOME": str(self.home / ".local/share"), "TMPDIR": str(self.tmp)}
        if "TZ" in os.environ:
            environment["TZ"] = os.environ["TZ"]
        return environment

    def run(self):
        print(f"vek-photokit-helper demo\n  helper: {self.helper_binary}\n  folder: {self.out}\n")
        take_folder(self.out)
        self.tmp.mkdir()
        self.thumbnails.mkdir()
        self.make_library()

        helper = VekHelper(str(self.helper_binary), self.environment())
        try:
            finished = self.session(helper)
        finally:
            started = time.monotonic()
            status = helper.close()
        self.step(f"Closed the helper's stdin: it exited with status {status}", started)

        started = time.monotonic()
        trash = read_trash(self.home / ".local/share/Trash")
        self.step("The demo's Trash (home/.local/share/Trash)", started, [
            f"{e['name']}  from {e['path']}  deleted {e['deletionDate']}" for e in trash] or ["empty"])
        self.summary["trash"] = trash
        self.write_sheet()
        (self.out / "demo-summary.json").write_text(json.dumps(self.summary, indent=1, ensure_ascii=False))
        print(f"\nContact sheet: {self.sheet.as_uri()}")
        return 0 if finished and status == 0 and trash else 1

    def make_library(self):
        started = time.monotonic()
        manifest = make_sample_library(self.painter, self.home)
        files = manifest["files"]
        self.visible_images = sum(f["kind"] == "image" and f["role"] != "hidden" for f in files)
        self.step("Made a sample library in home/Pictures and home/Videos", started, [
            f"{self.visible_images} photos (3 of them near-duplicates of the poster), "
            f"{sum(f['kind'] == 'video' for f in files)} videos (one a re-encoded copy), "
            f"{sum(f['role'] == 'hidden' for f in files)} hidden photos and a text file the helper must not list"])

    def session(self, helper):
        """A duplicate finder's session; True when the deleted image is no longer listed."""
        started = time.monotonic()
        images = helper.fetch_assets("image")
        verdict = "every visible photo, none of the hidden" if len(images) == self.visible_images else "NOT the visible photos"
        self.step(f"fetch_assets image: {len(images)} images, newest first ({verdict})", started, [
            f"{a['pixelWidth']:>4}x{a['pixelHeight']:<4}  {when(a['creationDateMs'])}  {a['localIdentifier']}"
            for a in images])
        started = time.monotonic()
        videos = helper.fetch_assets("video")
        self.step(f"fetch_assets video: {len(videos)} videos", started, [
            f"{a['pixelWidth']:>4}x{a['pixelHeight']:<4}  {when(a['creationDateMs'])}  "
            f"{a['durationSeconds']:.2f} s  {a['localIdentifier']}" for a in videos])
        self.summary.update(images=images, videos=videos)
        if not images or not videos:
            raise RuntimeError("the helper listed no images or no videos: is this build's Linux library in place?")

        self.render(helper, images)
        self.find_duplicates(images)
        self.export(helper, videos[0])
        deleted = self.delete(helper, images)

        started = time.monotonic()
        after = helper.fetch_assets("image")
        gone = all(a["localIdentifier"] != deleted for a in after)
        self.step(f"fetch_assets image again: {len(after)} images", started,
                  [f"the deleted one is {'gone' if gone else 'STILL LISTED'}"])
        self.summary["imagesAfter"] = after
        return gone

    def render(self, helper, images):
        started = time.monotonic()
        rendered = {}
        for number, asset in enumerate(images, start=1):
            begun = time.monotonic()
            reply = helper.request_image_data(asset["localIdentifier"], TARGET_SIZE)
            jpeg = base64.b64decode(reply["jpegBase64"])
            path = self.thumbnails / f"{number:02}.jpg"
            path.write_bytes(jpeg)
            rendered[asset["localIdentifier"]] = {"file": str(path.relative_to(self.out)), "width": reply["width"],
                                                  "height": reply["height"], "bytes": len(jpeg),
                                                  "milliseconds": round((time.monotonic() - begun) * 1000)}
        total = sum(r["bytes"] for r in rendered.values())
        self.step(f"request_image_data at {TARGET_SIZE} for every image: {len(rendered)} thumbnails", started, [
            f"{total // 1024} KB of JPEG, "
            f"{sum(r['milliseconds'] for r in rendered.values()) // len(rendered)} ms each on average, "
            f"saved in thumbnails/"])
        self.summary["thumbnails"] = rendered

    def find_duplicates(self, images):
        """What the duplicate finder itself does with the thumbnails: fingerprint them and group look-alikes."""
        started = time.monotonic()
        identifiers = [a["localIdentifier"] for a in images]
        with tempfile.TemporaryDirectory(dir=self.out) as scratch:
            hashes = fingerprints([self.out / self.summary["thumbnails"][i]["file"] for i in identifiers], Path(scratch))
        groups = group_alike(dict(zip(identifiers, hashes)))
        sizes = {a["localIdentifier"]: f"{a['pixelWidth']}x{a['pixelHeight']}" for a in images}
        self.step(f"Fingerprinted the thumbnails: near-duplicates in {len(groups)} group{'s' * (len(groups) != 1)}", started, [
            "group of {}: {}".format(len(g), ", ".join(f"{short(i)} {sizes[i]}" for i in g)) for g in groups])
        self.summary["groups"] = groups

    def export(self, helper, video):
        started = time.monotonic()
        reply = helper.request_video_resource(video["localIdentifier"])
        movie = Path(reply["tempPath"])
        self.step(f"request_video_resource for the newest video: a {reply['durationSeconds']:.2f} s movie", started, [
            f"{movie} ({movie.stat().st_size // 1024} KB, copied without re-encoding)"])
        self.summary["export"] = reply

    def delete(self, helper, images):
        """Deletes the smallest picture of the largest group: the copy a user would let go."""
        started = time.monotonic()
        groups = self.summary["groups"]
        if not groups:
            raise RuntimeError("no near-duplicates were found, so there is nothing to delete")
        pixels = {a["localIdentifier"]: a["pixelWidth"] * a["pixelHeight"] for a in images}
        victim = min(max(groups, key=len), key=pixels.get)
        reply = helper.delete_assets([victim])
        self.step(f"delete_assets for the smallest copy in that group: deletedCount {reply['deletedCount']}", started,
                  [f"{victim} moved to the Trash"])
        self.summary.update(deleted=victim, deleteReply=reply)
        return victim

    def write_sheet(self):
        images, videos, groups = self.summary["images"], self.summary["videos"], self.summary["groups"]
        rendered, exported, deleted, trash = (self.summary[k] for k in ("thumbnails", "export", "deleted", "trash"))
        group_of = {identifier: number for number, group in enumerate(groups, start=1) for identifier in group}
        cards = []
        for asset in images:
            identifier = asset["localIdentifier"]
            thumb = rendered[identifier]
            badges = []
            if identifier in group_of:
                badges.append(f'<span class="group">near-duplicate group {group_of[identifier]}</span>')
            if identifier == deleted:
                badges.append('<span class="deleted">deleted: in the Trash</span>')
            cards.append(f"""
<figure class="{'gone' if identifier == deleted else ''}">
  <img src="{html.escape(thumb['file'])}" width="{thumb['width']}" height="{thumb['height']}" alt="">
  <figcaption><div>{''.join(badges)}</div>
    <b>{asset['pixelWidth']} × {asset['pixelHeight']}</b> · {when(asset['creationDateMs'])}<br>
    rendered {thumb['width']} × {thumb['height']}, {thumb['bytes'] // 1024} KB, {thumb['milliseconds']} ms<br>
    <code>{html.escape(identifier)}</code>
  </figcaption>
</figure>""")
        movie = Path(exported["tempPath"])
        link = f'exported to <a href="{html.escape(os.path.relpath(movie, self.out))}">{html.escape(movie.name)}</a>'
        video_rows = "".join(
            f"<tr><td><code>{html.escape(v['localIdentifier'])}</code></td><td>{v['pixelWidth']} × {v['pixelHeight']}</td>"
            f"<td>{when(v['creationDateMs'])}</td><td>{v['durationSeconds']:.2f} s</td>"
            f"<td>{link if v['localIdentifier'] == exported['localIdentifier'] else ''}</td></tr>"
            for v in videos)
        trash_rows = "".join(
            f"<tr><td>{html.escape(e['name'])}</td><td>{html.escape(e['path'])}</td><td>{html.escape(e['deletionDate'])}</td></tr>"
            for e in trash)
        self.sheet.write_text(f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>vek-photokit-helper demo: contact sheet</title>
<style>
body {{ font: 14px/1.4 system-ui, sans-serif; margin: 24px; color: #222; background: #f6f6f4; }}
h1 {{ font-size: 20px; margin: 0 0 4px; }} h2 {{ font-size: 16px; margin: 28px 0 8px; }}
.sheet {{ display: grid; grid-template-columns: repeat(auto-fill, minmax(276px, 1fr)); gap: 14px; }}
figure {{ margin: 0; padding: 10px; background: #fff; border: 1px solid #ddd; border-radius: 6px; }}
figure img {{ display: block; margin: 0 auto 8px; max-width: 100%; height: auto; background: #eee; }}
figure.gone {{ border: 2px solid #c0392b; }} figure.gone img {{ opacity: 0.45; }}
figcaption {{ font-size: 12px; }} code {{ font-size: 11px; color: #555; }}
.group, .deleted {{ display: inline-block; margin: 0 4px 4px 0; padding: 1px 6px; border-radius: 9px; color: #fff; }}
.group {{ background: #2e6da4; }} .deleted {{ background: #c0392b; }}
table {{ border-collapse: collapse; background: #fff; font-size: 12px; }}
td {{ border: 1px solid #ddd; padding: 4px 8px; white-space: nowrap; }}
</style></head><body>
<h1>vek-photokit-helper demo</h1>
<p>{len(images)} images listed by <code>fetch_assets</code>, each rendered by <code>request_image_data</code> at {TARGET_SIZE}, newest first.
After the deletion the helper lists {len(self.summary['imagesAfter'])}.</p>
<div class="sheet">{''.join(cards)}
</div>
<h2>Videos</h2>
<table>{video_rows}</table>
<h2>Trash</h2>
<table>{trash_rows or '<tr><td>empty</td></tr>'}</table>
</body></html>
""")


if __name__ == "__main__":
    sys.exit(main())
