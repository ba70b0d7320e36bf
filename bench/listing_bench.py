#!/usr/bin/python3
"""Listing benchmark: the helper's first listing (no catalog) and a repeated
one (catalog up to date) of a generated library of small JPEGs with EXIF dates
in nested folders, plus a few hundred videos, against the same tree walked by
`find`, read 64 KiB a file by a small C loop, read for size and EXIF date by
Pillow, and read by `exiftool -fast2`.

    bench/listing_bench.py [--work /tmp/vek-bench] [--reps 5] [--images 100000]

With --sizes (for example --sizes 100000,1000000) it measures how the listing
grows instead: for each size in turn a library of that many JPEGs is made,
the helper's first and warm listings, `find` and the read floor are run
--reps times, and the library is deleted again; the report compares the
sizes, the read floor and the reply's own size.

Debian's /usr/bin/python3 runs it, for python3-pil.
"""

import json
import shutil
import subprocess
import sys

# Run from the source tree: leave no __pycache__ in it.
sys.dont_write_bytecode = True
import common  # noqa: E402
from common import PROCESS, REQUEST, RSS, Helper, Target, log  # noqa: E402

LIBRARY_LAYOUT = 1  # bump when the generated library changes shape
IMAGES_PER_FOLDER = 100
FOLDERS_PER_GROUP = 50

# The Pillow peer, run by Debian's Python: every JPEG opened for its size and
# its EXIF original date, which Pillow reads without decoding pixels.
PILLOW_LOOP = r"""
import os
import sys
from PIL import Image

images = dated = 0
for root in sys.argv[1:]:
    for folder, _, names in os.walk(root):
        for name in names:
            if not name.lower().endswith((".jpg", ".jpeg")):
                continue
            with Image.open(os.path.join(folder, name)) as image:
                width, height = image.size
                date = image.getexif().get_ifd(0x8769).get(0x9003)
            images += 1
            dated += date is not None
print(images, dated)
"""


def add_arguments(parser):
    parser.add_argument("--images", type=int, default=100_000, help="JPEGs in the library (default 100000)")
    parser.add_argument("--videos", type=int, default=300, help="videos in the library (default 300)")
    parser.add_argument("--sizes", type=lambda text: [int(size) for size in text.split(",")],
                        help="comma-separated library sizes to compare, smallest first (deleted after each)")
    parser.add_argument("--skip", action="append", choices=("pillow", "exiftool"), default=[],
                        help="leave a slow peer out (exiftool takes minutes a pass over 100,000 files)")


def make_video_templates(folder):
    templates = []
    for number in range(3):
        clip = folder / f"clip{number}.mp4"
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y",
                        "-f", "lavfi", "-i", f"testsrc2=size=320x240:rate=15:duration={2 + number}",
                        "-f", "lavfi", "-i", f"sine=frequency={440 + 110 * number}:duration={2 + number}",
                        "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac",
                        "-metadata", f"creation_time=201{number}-06-0{number + 1}T12:00:00Z", "-shortest", clip],
                       check=True)
        templates.append(clip)
    return templates


def ensure_library(bench, home, images, videos):
    """Makes the library unless the one already there has the same shape.
    Listing changes nothing in it but the catalog, so it is kept between runs."""
    stamp = bench / "library.json"
    wanted = {"layout": LIBRARY_LAYOUT, "images": images, "videos": videos}
    if stamp.exists() and json.loads(stamp.read_text()) == wanted and home.pictures.exists():
        log(f"reusing the library in {home.home}")
        return
    stamp.unlink(missing_ok=True)
    common.remove_tree(home.home)
    home.create()
    log(f"making {images} JPEGs and {videos} videos in {home.home} (not timed)")
    templates = bench / "templates"
    common.remove_tree(templates)
    jpegs = common.make_jpeg_templates(templates)
    paths = []
    for number in range(images):
        folder = number // IMAGES_PER_FOLDER
        paths.append(home.pictures / f"{folder // FOLDERS_PER_GROUP:03d}" / f"{folder % FOLDERS_PER_GROUP:02d}"
                     / f"IMG_{number:06d}.jpg")
    common.write_jpegs(jpegs, paths, common.photo_dates(images, seed=images))
    clips = make_video_templates(templates)
    for number in range(videos):
        path = home.videos / f"clips{number // IMAGES_PER_FOLDER}" / f"CLIP_{number:04d}.mp4"
        path.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(clips[number % len(clips)], path)
    common.remove_tree(templates)
    stamp.write_text(json.dumps(wanted))


def check_listing(assets, images, newest_ms):
    if len(assets) != images:
        raise RuntimeError(f"the helper listed {len(assets)} images of {images}")
    dates = [asset["creationDateMs"] for asset in assets]
    if dates[0] != newest_ms or any(later > earlier for earlier, later in zip(dates, dates[1:])):
        raise RuntimeError("the helper's listing is not newest first by EXIF date")


def scale(arguments, bench, binary, floor):
    """The listing at each of arguments.sizes, each library made, measured and deleted in turn."""
    results = common.Results()
    notes = []
    with common.LoadSampler() as load:
        for images in arguments.sizes:
            home = common.LibraryHome(bench / f"scale-{images}")
            ensure_library(home.root, home, images, 0)
            environment = home.environment()
            newest_ms = common.date_ms(max(common.photo_dates(images, seed=images)))
            label = f"{images:,}"
            reply_bytes = []

            def listing(contender):
                listed = Helper(binary, environment)
                with listed:
                    reply = listed.request("fetch_assets", kind="image")
                reply_bytes.append(len(reply.line))
                check_listing(reply.result()["assets"], images, newest_ms)
                return {contender: {REQUEST: reply.seconds, **listed.metrics}}

            def first():
                common.remove_tree(home.catalog)
                return listing(f"{label}: helper first listing")

            def find_walk():
                metrics, _ = common.run_timed(["find", home.pictures, "-type", "f", "-printf", r"%s %T@ %p\n"],
                                              environment)
                return {f"{label}: find": metrics}

            def read_floor():
                metrics, output = common.run_timed([floor, home.pictures], environment, capture=True)
                if int(output.split()[0]) != images:
                    raise RuntimeError(f"the read floor found {output.split()[0]} files of {images}")
                return {f"{label}: 64 KiB read floor": metrics}

            # The floor right before the first listing, so both meet the page cache alike.
            for rep in range(arguments.reps):
                for unit in (find_walk, read_floor, first, lambda: listing(f"{label}: helper warm listing")):
                    measured = unit()
                    for contender, metrics in measured.items():
                        results.add(contender, metrics)
                        log(f"{images} rep {rep + 1}/{arguments.reps}: {contender} {metrics[PROCESS]:.2f} s, "
                            f"{metrics[RSS]:.0f} MB")
            results.add(f"{label}: reply line", {RSS: max(reply_bytes) / 1e6})
            notes.append(f"{label} JPEGs in {-(-images // IMAGES_PER_FOLDER)} folders two levels deep; "
                         f"reply line {max(reply_bytes) / 1e6:.1f} MB.")
            log(f"deleting the library of {images}")
            common.remove_tree(home.root)

    small, large = (f"{size:,}" for size in (arguments.sizes[0], arguments.sizes[-1]))
    growth = arguments.sizes[-1] / arguments.sizes[0]
    targets = [Target(f"first listing at {large} / at {small} (sizes {growth:g}x apart)",
                      (f"{large}: helper first listing", PROCESS), round(growth * 1.2, 1),
                      reference=(f"{small}: helper first listing", PROCESS))]
    for label in (f"{size:,}" for size in arguments.sizes):
        targets += [
            Target(f"{label}: first listing / 64 KiB read floor", (f"{label}: helper first listing", PROCESS), 4,
                   reference=(f"{label}: 64 KiB read floor", PROCESS)),
            Target(f"{label}: warm listing / find", (f"{label}: helper warm listing", PROCESS), 2,
                   reference=(f"{label}: find", PROCESS)),
            Target(f"{label}: peak memory of the first listing / reply line", (f"{label}: helper first listing", RSS),
                   2, reference=(f"{label}: reply line", RSS)),
            Target(f"{label}: peak memory of the warm listing / reply line", (f"{label}: helper warm listing", RSS),
                   2, reference=(f"{label}: reply line", RSS)),
        ]
    notes += [
        f"Helper: {binary}; 'process' is from its start to its exit (one fetch_assets image); first = no catalog.",
        "Read floor: bench/listing_bench.c, one thread, the first 64 KiB of every file; it runs right before each "
        "first listing. The 'max RSS MB' of the reply line is its size in MB.",
        f"{arguments.reps} repetitions per size; CPU time and max RSS of each process from GNU time.",
    ]
    common.report("Listing at scale", bench, results, targets, notes, load.summary())


def main():
    arguments = common.parse_arguments(__doc__.split("\n\n")[0], add_arguments)
    work = common.prepare_work(arguments.work)
    bench = work / "listing"
    bench.mkdir(exist_ok=True)
    common.ensure_packages("libimage-exiftool-perl", "python3-pil", "libvips-tools", "ffmpeg", "gcc", "time")
    binary = common.helper_binary(arguments, work)
    floor = bench / "read_floor"
    subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-Werror", "-o", floor, common.REPO / "bench" / "listing_bench.c"],
                   check=True)
    if arguments.sizes:
        scale(arguments, bench, binary, floor)
        return

    home = common.LibraryHome(bench)
    ensure_library(bench, home, arguments.images, arguments.videos)
    environment = home.environment()
    roots = [home.pictures, home.videos]
    newest_ms = common.date_ms(max(common.photo_dates(arguments.images, seed=arguments.images)))
    files = arguments.images + arguments.videos

    def helper_listing():
        listed = Helper(binary, environment)
        with listed:
            reply = listed.request("fetch_assets", kind="image")
        check_listing(reply.result()["assets"], arguments.images, newest_ms)
        return {REQUEST: reply.seconds, **listed.metrics}

    def helper_cold_then_warm():
        common.remove_tree(home.catalog)
        cold = helper_listing()
        warm = helper_listing()
        return {"helper, cold catalog": cold, "helper, warm catalog": warm}

    def find_walk():
        metrics, _ = common.run_timed(["find", *roots, "-type", "f", "-printf", r"%T@ %s %p\n"], environment)
        return {"find walk": metrics}

    floor_bytes = []

    def read_floor():
        metrics, output = common.run_timed([floor, *roots], environment, capture=True)
        counted, read = map(int, output.split())
        if counted != files:
            raise RuntimeError(f"the read floor found {counted} files of {files}")
        floor_bytes.append(read)
        return {"64 KiB read floor (C)": metrics}

    def pillow_loop():
        metrics, output = common.run_timed(["/usr/bin/python3", "-c", PILLOW_LOOP, *roots], environment, capture=True)
        if output.split() != [str(arguments.images)] * 2:
            raise RuntimeError(f"Pillow read {output.strip()} (images, dated) of {arguments.images}")
        return {"Pillow size + EXIF date": metrics}

    def exiftool_pass():
        metrics, _ = common.run_timed(["exiftool", "-fast2", "-r", "-j", *roots], environment)
        return {"exiftool -fast2 -r -j": metrics}

    units = [("helper cold then warm", helper_cold_then_warm), ("find", find_walk), ("read floor", read_floor)]
    if "pillow" not in arguments.skip:
        units.append(("Pillow", pillow_loop))
    # Minutes a pass; the other warm-ups have already brought the files into the page cache.
    warm_ups = list(units)
    if "exiftool" not in arguments.skip:
        units.append(("exiftool", exiftool_pass))

    def warm_cache():
        subprocess.run([floor, *roots], check=True, stdout=subprocess.DEVNULL)

    results = common.Results()
    with common.LoadSampler() as load:
        common.interleave(arguments.reps, units, results, log, warm_ups, before_each=warm_cache)

    targets = [
        Target("warm listing within 3x the find walk", ("helper, warm catalog", PROCESS), 3,
               reference=("find walk", PROCESS)),
        Target("cold listing within 4x the 64 KiB read floor", ("helper, cold catalog", PROCESS), 4,
               reference=("64 KiB read floor (C)", PROCESS)),
        Target(f"peak memory of a {arguments.images:,}-asset listing, cold", ("helper, cold catalog", RSS), 200, "MB"),
        Target(f"peak memory of a {arguments.images:,}-asset listing, warm", ("helper, warm catalog", RSS), 200, "MB"),
        Target("(request only) warm listing / find walk", ("helper, warm catalog", REQUEST), 3,
               reference=("find walk", PROCESS)),
        Target("(request only) cold listing / read floor", ("helper, cold catalog", REQUEST), 4,
               reference=("64 KiB read floor (C)", PROCESS)),
    ]
    notes = [
        f"Library: {arguments.images:,} JPEGs ({floor_bytes[-1] / 1e6:.0f} MB with the videos) in "
        f"{-(-arguments.images // IMAGES_PER_FOLDER)} folders two levels deep, and {arguments.videos} videos; "
        "page cache warm: the read floor runs untimed before every measured run.",
        f"Helper: {binary}. Its times: 'process' from start to exit (one fetch_assets image), "
        "'request' from the request written to the reply read. The verdicts use the whole process, as the peers "
        "are whole processes too; cold = catalog deleted before the run.",
        "Read floor: bench/listing_bench.c, one thread: readdir, and for every file openat without following "
        "links, fstat and one read of its first 64 KiB.",
        f"{arguments.reps} repetitions, contenders interleaved; CPU time and max RSS of each process from GNU time.",
    ]
    common.report("Listing", bench, results, targets, notes, load.summary())


if __name__ == "__main__":
    main()
