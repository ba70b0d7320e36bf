"""Runs the demo end to end and checks what it left behind against the sample library it made.

Usage: demo_test.py --helper PATH --painter PATH
"""

import argparse
import hashlib
import html.parser
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

parser = argparse.ArgumentParser()
parser.add_argument("--helper", required=True)
parser.add_argument("--painter", required=True)
ARGS, REST = parser.parse_known_args()


class ImageSources(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.sources = []

    def handle_starttag(self, tag, attrs):
        if tag == "img":
            self.sources.append(dict(attrs)["src"])


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def image_size(path):
    header = subprocess.run(["vipsheader", "-f", "width", path], check=True, capture_output=True, text=True).stdout
    height = subprocess.run(["vipsheader", "-f", "height", path], check=True, capture_output=True, text=True).stdout
    return int(header), int(height)


class DemoTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Path(tempfile.mkdtemp(prefix="vek-demo-test-"))
        cls.out = cls.scratch / "demo"
        # The system temporary directory as the demo sees it; the demo must leave it untouched.
        cls.system_tmp = cls.scratch / "system-tmp"
        cls.system_tmp.mkdir()
        cls.demo = subprocess.run(
            [sys.executable, EXAMPLES / "demo.py", "--helper", ARGS.helper, "--painter", ARGS.painter, "--out", cls.out],
            capture_output=True, text=True, env=dict(os.environ, TMPDIR=str(cls.system_tmp)), timeout=500)
        if not (cls.out / "demo-summary.json").exists():
            shutil.rmtree(cls.scratch)
            raise RuntimeError(f"the demo did not finish:\n{cls.demo.stdout}{cls.demo.stderr}")
        cls.home = cls.out / "home"
        cls.manifest = json.loads((cls.out / "sample-library.json").read_text())
        cls.summary = json.loads((cls.out / "demo-summary.json").read_text())
        cls.visible_images = [f for f in cls.manifest["files"] if f["kind"] == "image" and f["role"] != "hidden"]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch)

    def test_demo_succeeds(self):
        self.assertEqual(self.demo.returncode, 0, self.demo.stdout + self.demo.stderr)
        self.assertIn("it exited with status 0", self.demo.stdout)
        self.assertIn("Contact sheet: file://", self.demo.stdout)

    def test_contact_sheet_holds_an_upright_thumbnail_per_listed_image(self):
        sources = ImageSources()
        sources.feed((self.out / "contact-sheet.html").read_text())
        listed = self.summary["images"]
        self.assertEqual(len(sources.sources), len(listed))
        for asset, source in zip(listed, sources.sources):
            thumbnail = self.out / source
            self.assertEqual(thumbnail.read_bytes()[:3], b"\xff\xd8\xff", source)
            width, height = image_size(thumbnail)
            self.assertEqual(max(width, height), 256, source)
            # Upright as displayed: the same shape as the listed, oriented size.
            self.assertAlmostEqual(width / height, asset["pixelWidth"] / asset["pixelHeight"], delta=0.02, msg=source)

    def test_listing_gives_every_visible_photo_as_displayed(self):
        listed = sorted((a["pixelWidth"], a["pixelHeight"]) for a in self.summary["images"])
        self.assertEqual(listed, sorted(tuple(f["displayedSize"]) for f in self.visible_images))
        self.assertEqual(len(self.summary["videos"]), sum(f["kind"] == "video" for f in self.manifest["files"]))

    def test_the_poster_and_its_three_copies_are_the_only_near_duplicates(self):
        self.assertEqual([len(group) for group in self.summary["groups"]], [4])

    # What an export holds is the helper's tests' concern; the demo's is where it went.
    def test_exported_movie_is_left_in_the_demos_temporary_directory(self):
        movie = Path(self.summary["export"]["tempPath"])
        self.assertEqual(movie.parent, self.out / "tmp")
        self.assertTrue(movie.is_file())

    def test_deleted_copy_is_in_the_trash_intact_and_nothing_else_moved(self):
        trash = self.home / ".local/share/Trash"
        infos = list((trash / "info").glob("*.trashinfo"))
        self.assertEqual(len(infos), 1)
        fields = dict(line.split("=", 1) for line in infos[0].read_text().splitlines() if "=" in line)
        origin = Path(urllib.parse.unquote(fields["Path"]))
        by_path = {self.home / f["path"]: f for f in self.manifest["files"]}
        self.assertIn(origin, by_path)
        self.assertEqual(by_path[origin]["role"], "resized copy")
        self.assertFalse(origin.exists())
        self.assertEqual(sha256(trash / "files" / infos[0].stem), by_path[origin]["sha256"])
        for path, entry in by_path.items():
            if path != origin:
                self.assertEqual(sha256(path), entry["sha256"], path)

    def test_nothing_is_left_in_the_system_temporary_directory(self):
        self.assertEqual(list(self.system_tmp.iterdir()), [])


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + REST)
