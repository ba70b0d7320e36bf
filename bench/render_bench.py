#!/usr/bin/python3
"""Rendering benchmark: the helper answering request_image_data for 12- and
24-megapixel JPEGs, a 12-megapixel PNG and a tiled phone HEIC at boxes 256
and 1024, against vipsthumbnail, Pillow, ImageMagick and the djpeg decode
floor on the same files, with thumbnail quality (PSNR against a lanczos3
reference) and the helper's peak memory on a 24-megapixel JPEG.

    bench/render_bench.py [--work /tmp/vek-bench] [--reps 5] [--files 200]
                          [--process-files 50] [--formats jpeg12,jpeg24,png12,heic]
"""

import base64
import io
import json
import math
import shutil
import statistics
import subprocess
import time

import common
from common import CPU, REQUEST, RSS, Helper, log

SOURCE_LAYOUT = 1  # bump when the generated photos change
# Beside the repository, or beside the folder of worktrees it is one of.
SAMPLES = next((folder for folder in (common.REPO.parent / "shared" / "samples",
                                      common.REPO.parent.parent / "shared" / "samples") if folder.is_dir()),
               common.REPO.parent / "shared" / "samples")
CAMERA_JPEG = SAMPLES / "Samsung_SM-J327T1.jpg"
PHONE_HEIC = SAMPLES / "Issue_487.heic"
BOXES = (256, 1024)
QUALITY = 85
DJPEG_SCALE = {256: "1/8", 1024: "1/2"}
MEMORY_LIMIT_MB = 150
PSNR_MARGIN_DB = 0.5

HELPER = "helper"
VIPSTHUMBNAIL = "vipsthumbnail"
PILLOW = "Pillow"
CONVERT = "ImageMagick convert"
DJPEG = "djpeg (decode floor)"


class Format:
    def __init__(self, name, title, suffix, size, templates, peers):
        self.name = name
        self.title = title
        self.suffix = suffix
        self.size = size            # (width, height) as stored, or None for the phone sample
        self.templates = templates  # how many distinct pictures the copies come from
        self.peers = peers


JPEG_PEERS = (VIPSTHUMBNAIL, PILLOW, CONVERT, DJPEG)
FORMATS = {
    "jpeg12": Format("jpeg12", "12 MP JPEG", "jpg", (4000, 3000), 4, JPEG_PEERS),
    "jpeg24": Format("jpeg24", "24 MP JPEG", "jpg", (6000, 4000), 4, JPEG_PEERS),
    # The goals for PNG and HEIC name vipsthumbnail only, and decoding them
    # whole is slow, so the other peers are left out of those runs.
    "png12": Format("png12", "12 MP PNG", "png", (4000, 3000), 2, (VIPSTHUMBNAIL,)),
    "heic": Format("heic", "phone HEIC (Issue_487.heic, tiled, 4032x3024)", "heic", None, 1, (VIPSTHUMBNAIL,)),
}

# One process over all files, the way an application would use Pillow:
# draft lets the JPEG decoder scale by 1/2 to 1/8 while decoding.
PILLOW_PROGRAM = """
import sys
from PIL import Image, ImageOps
box, folder = int(sys.argv[1]), sys.argv[2]
for number, path in enumerate(sys.argv[3:]):
    with Image.open(path) as image:
        image.draft("RGB", (box, box))
        image.thumbnail((box, box))
        image = ImageOps.exif_transpose(image).convert("RGB")
        image.save(f"{folder}/{number}.jpg", quality=%d)
""" % QUALITY

# convert and djpeg take one file per process; the shell loop keeps the timing
# free of Python's own process start-up between files.
PER_FILE_LOOP = 'for f in "$@"; do %s || exit 1; done'


def add_arguments(parser):
    parser.add_argument("--files", type=int, default=200, help="files per format (default 200)")
    parser.add_argument("--process-files", type=int, default=50,
                        help="files for the peers that start one process per file (default 50)")
    parser.add_argument("--formats", default=",".join(FORMATS),
                        help=f"comma-separated formats to measure (default {','.join(FORMATS)})")


def vips(*arguments):
    subprocess.run(["vips", *(str(argument) for argument in arguments)], check=True)


def make_template(fmt, number, path, scratch):
    """A photo-like picture: the camera sample enlarged and cropped differently
    for each template, mirrored for odd ones, with sensor-like grain, so that
    it compresses and decodes like a photo rather than a flat colour."""
    if fmt.size is None:
        shutil.copyfile(PHONE_HEIC, path)
        return
    width, height = fmt.size
    source_width, source_height = 2576, 1932
    scale = max(width / source_width, height / source_height) * (1 + 0.2 * number)
    enlarged, cropped, grain, mixed, picture = (scratch / f"{name}.v" for name in
                                                ("enlarged", "cropped", "grain", "mixed", "picture"))
    vips("resize", CAMERA_JPEG, enlarged, f"{scale:.6f}")
    header = subprocess.run(["vipsheader", "-f", "width", enlarged], capture_output=True, text=True, check=True)
    left = int((int(header.stdout) - width) * (number % 3) / 2)
    vips("extract_area", enlarged, cropped, left, 0, width, height)
    if number % 2:
        vips("flip", cropped, mixed, "horizontal")
        cropped, mixed = mixed, cropped
    vips("gaussnoise", grain, width, height, "--sigma", "5", "--mean", "0", "--seed", number + 1)
    vips("add", cropped, grain, mixed)
    vips("cast", mixed, picture, "uchar")
    if fmt.suffix == "jpg":
        vips("copy", picture, f"{path}[Q=92,subsample-mode=on,strip]")
        if number == fmt.templates - 1:
            # Phones store portraits sideways; one template in each set does too.
            subprocess.run(["exiftool", "-q", "-overwrite_original", "-Orientation#=6", path], check=True)
    else:
        vips("copy", picture, f"{path}[strip]")
    for scratch_file in scratch.glob("*.v"):
        scratch_file.unlink()


def ensure_sources(bench, fmt, files):
    """The format's templates and its library of copies, made once and kept.
    Every copy is a file of its own, since the helper counts hard links once."""
    folder = bench / fmt.name
    templates = [folder / "templates" / f"template{number}.{fmt.suffix}" for number in range(fmt.templates)]
    home = common.LibraryHome(folder / "library")
    stamp = folder / "source.json"
    wanted = {"layout": SOURCE_LAYOUT, "files": files}
    if stamp.exists() and json.loads(stamp.read_text()) == wanted:
        log(f"reusing {folder}")
        return templates, home, sorted(home.pictures.iterdir())
    stamp.unlink(missing_ok=True)
    common.remove_tree(folder)
    templates[0].parent.mkdir(parents=True)
    scratch = folder / "scratch"
    scratch.mkdir()
    log(f"making {fmt.templates} {fmt.title} templates and {files} copies in {folder} (not timed)")
    for number, template in enumerate(templates):
        make_template(fmt, number, template, scratch)
    scratch.rmdir()
    home.create()
    paths = [home.pictures / f"IMG_{number:04d}.{fmt.suffix}" for number in range(files)]
    for number, path in enumerate(paths):
        shutil.copyfile(templates[number % len(templates)], path)
    stamp.write_text(json.dumps(wanted))
    return templates, home, paths


class Library:
    """One format's files, the helper's home over them and its identifiers."""

    def __init__(self, fmt, templates, home, paths, identifiers):
        self.fmt = fmt
        self.templates = templates
        self.home = home
        self.paths = paths
        self.identifiers = identifiers


def list_images(binary, environment, expected):
    with Helper(binary, environment) as helper:
        assets = helper.request("fetch_assets", kind="image").result()["assets"]
    if len(assets) != expected:
        raise RuntimeError(f"the helper listed {len(assets)} images of {expected}")
    return [asset["localIdentifier"] for asset in assets]


def decoded_image(reply):
    """The reply's rendering as a Pillow image, checked against its stated size."""
    from PIL import Image
    result = reply.result()
    image = Image.open(io.BytesIO(base64.b64decode(result["jpegBase64"])))
    image.load()
    if image.size != (result["width"], result["height"]):
        raise RuntimeError(f"the helper said {result['width']}x{result['height']} for a {image.size} JPEG")
    return image


def per_image(metrics, count):
    return {REQUEST: metrics[common.PROCESS] / count, CPU: metrics[CPU] / count, RSS: metrics[RSS]}


def helper_unit(binary, library, box, results_key, startups):
    def run():
        environment = library.home.environment()
        helper = Helper(binary, environment)
        with helper:
            listing = helper.request("fetch_assets", kind="image")
            if len(listing.result()["assets"]) != len(library.paths):
                raise RuntimeError("the helper's listing changed between runs")
            replies = []
            start = time.perf_counter()
            for identifier in library.identifiers:
                replies.append(helper.request("request_image_data", localIdentifier=identifier, targetSize=box))
            seconds = time.perf_counter() - start
        for reply in (replies[0], replies[-1]):
            image = decoded_image(reply)
            if max(image.size) > box:
                raise RuntimeError(f"the helper rendered {image.size} for box {box}")
        for reply in replies:
            reply.result()
        count = len(replies)
        startups.setdefault(library.fmt.name, []).append(listing.seconds)
        return {results_key: {REQUEST: seconds / count, CPU: helper.metrics[CPU] / count, RSS: helper.metrics[RSS]}}
    return run


def peer_command(peer, box, out, paths):
    if peer == VIPSTHUMBNAIL:
        return ["vipsthumbnail", "--size", f"{box}x{box}", "-o", f"{out}/%s.jpg[Q={QUALITY},strip]", *paths]
    if peer == PILLOW:
        return ["python3", "-c", PILLOW_PROGRAM, str(box), str(out), *paths]
    if peer == CONVERT:
        step = (f'convert -define jpeg:size={box}x{box} "$f" -auto-orient -thumbnail {box}x{box} '
                f'-quality {QUALITY} "{out}/${{f##*/}}"')
        return ["sh", "-c", PER_FILE_LOOP % step, "sh", *paths]
    if peer == DJPEG:
        step = f'djpeg -scale {DJPEG_SCALE[box]} -outfile /dev/null "$f"'
        return ["sh", "-c", PER_FILE_LOOP % step, "sh", *paths]
    raise ValueError(peer)


def peer_unit(peer, library, box, results_key, process_files, bench):
    paths = library.paths[:process_files] if peer in (CONVERT, DJPEG) else library.paths

    def run():
        out = bench / "out"
        common.remove_tree(out)
        out.mkdir()
        metrics, _ = common.run_timed(peer_command(peer, box, out, paths), library.home.environment())
        written = len(list(out.iterdir()))
        if peer != DJPEG and written != len(paths):
            raise RuntimeError(f"{peer} wrote {written} thumbnails of {len(paths)}")
        common.drop_written(out)
        return {results_key: per_image(metrics, len(paths))}
    return run


def psnr(image, reference):
    """Peak signal-to-noise ratio in dB of two 8-bit RGB images of one size."""
    from PIL import ImageChops
    histogram = ImageChops.difference(image.convert("RGB"), reference.convert("RGB")).histogram()
    squares = sum((value % 256) ** 2 * count for value, count in enumerate(histogram))
    mean = squares / (image.size[0] * image.size[1] * 3)
    return math.inf if mean == 0 else 10 * math.log10(255 ** 2 / mean)


def lanczos_reference(template, size, scratch):
    """The template decoded at full size, turned upright, and resized to size
    with lanczos3 and no shrink-on-load shortcut."""
    from PIL import Image
    full, reference = scratch / "full.v", scratch / "reference.png"
    vips("autorot", template, full)
    header = subprocess.run(["vipsheader", "-f", "width", full], capture_output=True, text=True, check=True)
    width = int(header.stdout)
    header = subprocess.run(["vipsheader", "-f", "height", full], capture_output=True, text=True, check=True)
    height = int(header.stdout)
    vips("resize", full, reference, f"{size[0] / width!r}", "--vscale", f"{size[1] / height!r}",
         "--kernel", "lanczos3", "--gap", "0")
    with Image.open(reference) as image:
        image.load()
        result = image.convert("RGB")
    full.unlink()
    reference.unlink()
    if result.size != size:
        raise RuntimeError(f"the reference came out {result.size}, not {size}")
    return result


def measure_quality(binary, library, bench):
    """For every template and box: (template, box, helper size, helper dB, vipsthumbnail size, vipsthumbnail dB)."""
    from PIL import Image
    rows = []
    scratch = bench / "quality"
    for number, template in enumerate(library.templates):
        common.remove_tree(scratch)
        home = common.LibraryHome(scratch / "library")
        home.create()
        shutil.copyfile(template, home.pictures / template.name)
        environment = home.environment()
        with Helper(binary, environment) as helper:
            (asset,) = helper.request("fetch_assets", kind="image").result()["assets"]
            replies = {box: helper.request("request_image_data", localIdentifier=asset["localIdentifier"],
                                           targetSize=box) for box in BOXES}
        for box in BOXES:
            ours = decoded_image(replies[box])
            thumbnail = scratch / f"vipsthumbnail-{box}.jpg"
            subprocess.run(["vipsthumbnail", "--size", f"{box}x{box}", "-o",
                            f"{thumbnail}[Q={QUALITY},strip]", template], check=True)
            with Image.open(thumbnail) as peer:
                peer.load()
                theirs = peer.convert("RGB")
            references = {ours.size: lanczos_reference(template, ours.size, scratch)}
            if theirs.size not in references:
                references[theirs.size] = lanczos_reference(template, theirs.size, scratch)
            rows.append((number, box, ours.size, psnr(ours, references[ours.size]),
                         theirs.size, psnr(theirs, references[theirs.size])))
    common.remove_tree(scratch)
    return rows


def measure_memory(binary, library, bench, reps):
    """The largest max RSS, in MB, of helper processes that list one 24 MP JPEG
    and render it once, by box (0 asks for full size)."""
    folder = bench / "memory"
    common.remove_tree(folder)
    home = common.LibraryHome(folder / "library")
    home.create()
    shutil.copyfile(library.templates[0], home.pictures / library.templates[0].name)
    environment = home.environment()
    peaks = {}
    for box in (1024, 0):
        for _ in range(reps):
            with Helper(binary, environment) as helper:
                (asset,) = helper.request("fetch_assets", kind="image").result()["assets"]
                reply = helper.request("request_image_data", localIdentifier=asset["localIdentifier"],
                                       targetSize=box)
            size = decoded_image(reply).size
            peaks[box] = (max(peaks.get(box, (0,))[0], helper.metrics[RSS]), size)
    common.remove_tree(folder)
    return peaks


def key(fmt, box, contender):
    return f"{fmt.title}, box {box}: {contender}"


def ms(value):
    return f"{value * 1000:.1f}"


def ratio_row(results, name, value, reference, limit=None):
    """A row for a ratio of medians; without a limit the ratio is shown for comparison only."""
    measured = results.median(*value) / results.median(*reference)
    shown = f"{ms(results.median(*value))} / {ms(results.median(*reference))} ms = {measured:.2f}x"
    # On a busy machine the fastest runs are the ones least disturbed by others.
    raw = results.raw()
    fastest = min(raw[value[0]][value[1]]) / min(raw[reference[0]][reference[1]])
    if limit is None:
        return f"| {name} | {shown} | {fastest:.2f}x | no goal | |"
    return (f"| {name} | {shown} | {fastest:.2f}x | <= {limit:.3g}x | "
            f"{'met' if measured <= limit else 'MISSED'} |")


def build_report(arguments, binary, formats, results, startups, quality, memory, load):
    lines = ["## Rendering", ""]
    lines += [
        f"Helper: {binary}. Files per format: {arguments.files} (copies of a few distinct templates, each a file "
        f"of its own); convert and djpeg, one process per file, ran on the first {arguments.process_files} of "
        f"them. {arguments.reps} repetitions, contenders interleaved, medians shown; page cache warm.",
        "Helper time per image: from the first request_image_data line written to the last reply line read, "
        "over all files in one helper that had started and listed the library, divided by the file count "
        "(Base64 and reply included). Peers: the whole process over all files (convert and djpeg: a shell loop, "
        "their start-up per file included) divided by the file count. CPU: the whole process (for the helper "
        "with its start-up and listing) divided by the file count.",
        "", load, "",
        "| format, box: contender | runs | median ms per image | fastest run ms | CPU ms per image | max RSS MB |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    raw = results.raw()
    for name, metrics in raw.items():
        lines.append(f"| {name} | {len(metrics[REQUEST])} | {ms(statistics.median(metrics[REQUEST]))} | "
                     f"{ms(min(metrics[REQUEST]))} | {ms(statistics.median(metrics[CPU]))} | "
                     f"{max(metrics[RSS]):.0f} |")
    lines += ["", "| helper start-up and first listing of the format's library | median ms |", "|---|---:|"]
    for name, seconds in startups.items():
        lines.append(f"| {FORMATS[name].title} ({arguments.files} files) | {ms(statistics.median(seconds))} |")

    lines += ["", "| target | measured (medians) | fastest runs | limit | verdict (medians) |",
              "|---|---|---:|---|---|"]
    for fmt in formats:
        for box in BOXES:
            helper = (key(fmt, box, HELPER), REQUEST)
            if fmt.suffix == "jpg":
                lines.append(ratio_row(results, f"{fmt.title} {box}: helper / vipsthumbnail (15% faster)", helper,
                                       (key(fmt, box, VIPSTHUMBNAIL), REQUEST), 0.85))
                lines.append(ratio_row(results, f"{fmt.title} {box}: helper / Pillow", helper,
                                       (key(fmt, box, PILLOW), REQUEST), 1.0))
                lines.append(ratio_row(results, f"{fmt.title} {box}: helper / djpeg -scale {DJPEG_SCALE[box]}",
                                       helper, (key(fmt, box, DJPEG), REQUEST), 1.25))
                lines.append(ratio_row(results, f"{fmt.title} {box}: helper / convert", helper,
                                       (key(fmt, box, CONVERT), REQUEST)))
            elif fmt.name == "heic":
                lines.append(ratio_row(results, f"{fmt.title} {box}: helper / vipsthumbnail (1.5x faster)", helper,
                                       (key(fmt, box, VIPSTHUMBNAIL), REQUEST), 1 / 1.5))
            else:
                lines.append(ratio_row(results, f"{fmt.title} {box}: helper / vipsthumbnail", helper,
                                       (key(fmt, box, VIPSTHUMBNAIL), REQUEST), 1.0))
    for box, (peak, size) in memory.items():
        lines.append(f"| peak memory, 24 MP JPEG at box {box} ({size[0]}x{size[1]}) | {peak:.1f} MB (largest of "
                     f"{arguments.reps} processes) | | < {MEMORY_LIMIT_MB} MB | "
                     f"{'met' if peak < MEMORY_LIMIT_MB else 'MISSED'} |")
    for fmt, template, box, ours_size, ours_db, theirs_size, theirs_db in quality:
        met = ours_db >= theirs_db - PSNR_MARGIN_DB
        lines.append(f"| PSNR, {fmt.title} template {template} at {box}: helper {ours_size[0]}x{ours_size[1]} "
                     f"vs vipsthumbnail {theirs_size[0]}x{theirs_size[1]} | {ours_db:.2f} dB vs {theirs_db:.2f} dB "
                     f"({ours_db - theirs_db:+.2f}) | | >= -{PSNR_MARGIN_DB} dB | {'met' if met else 'MISSED'} |")
    lines += ["", "PSNR: each JPEG decoded and compared with the template decoded at full size, turned upright and "
              "resized to the same size by `vips resize --kernel lanczos3 --gap 0`."]
    return "\n".join(lines) + "\n"


def main():
    arguments = common.parse_arguments(__doc__.splitlines()[0], add_arguments)
    names = [name for name in arguments.formats.split(",") if name]
    unknown = [name for name in names if name not in FORMATS]
    if unknown or not names:
        raise SystemExit(f"unknown formats {unknown}; choose from {','.join(FORMATS)}")
    if arguments.files < 1 or arguments.process_files < 1:
        raise SystemExit("--files and --process-files must be at least 1")
    arguments.process_files = min(arguments.process_files, arguments.files)
    formats = [FORMATS[name] for name in names]

    work = common.prepare_work(arguments.work)
    bench = work / "render"
    bench.mkdir(exist_ok=True)
    common.ensure_packages("libvips-tools", "python3-pil", "imagemagick", "libjpeg-turbo-progs",
                           "libimage-exiftool-perl", "time")
    binary = common.helper_binary(arguments, work)

    libraries = {}
    for fmt in formats:
        templates, home, paths = ensure_sources(bench, fmt, arguments.files)
        common.remove_tree(home.catalog)
        common.remove_tree(home.tmp)
        home.create()
        log(f"cataloguing {fmt.title} (not timed)")
        identifiers = list_images(binary, home.environment(), len(paths))
        common.read_through(*paths)
        libraries[fmt.name] = Library(fmt, templates, home, paths, identifiers)

    startups = {}
    units = []
    for fmt in formats:
        library = libraries[fmt.name]
        for box in BOXES:
            units.append((key(fmt, box, HELPER), helper_unit(binary, library, box, key(fmt, box, HELPER), startups)))
            for peer in fmt.peers:
                units.append((key(fmt, box, peer),
                              peer_unit(peer, library, box, key(fmt, box, peer), arguments.process_files, bench)))

    results = common.Results()
    with common.LoadSampler() as load:
        common.interleave(arguments.reps, units, results, log, warm_ups=[])
        log("thumbnail quality")
        quality = [(library.fmt, *row) for library in libraries.values()
                   for row in measure_quality(binary, library, bench)]
        memory = {}
        if "jpeg24" in libraries:
            log("peak memory")
            memory = measure_memory(binary, libraries["jpeg24"], bench, arguments.reps)

    common.keep_report(bench, build_report(arguments, binary, formats, results, startups, quality, memory, load.summary()), results)


if __name__ == "__main__":
    main()
