#!/usr/bin/python3
"""Camera RAW benchmark, in one run: listing 500 DNGs against exiftool -fast
over the same files, and rendering 12-megapixel DNGs into a 256 box through
their embedded preview (against dcraw -e piped through the same resize, and
against the helper's own render of a JPEG of the preview's size) and by
development (against dcraw -h).

    bench/raw_bench.py [--work /tmp/vek-bench] [--reps 5] [--listed 500] [--rendered 20]
"""

import json
import struct
import subprocess
import time

import common
from common import CPU, PROCESS, REQUEST, RSS, Helper, log

SOURCE_LAYOUT = 1  # bump when the generated files change
# The project's shared samples sit beside the main checkout, or above a
# worktree's folder.
CAMERA_JPEG = next((folder / "shared" / "samples" / "Samsung_SM-J327T1.jpg" for folder in
                    (common.REPO.parent, common.REPO.parent.parent)
                    if (folder / "shared" / "samples" / "Samsung_SM-J327T1.jpg").exists()),
                   common.REPO.parent / "shared" / "samples" / "Samsung_SM-J327T1.jpg")
BOX = 256
QUALITY = 85
WHITE_LEVEL = 4095
LISTED_SIZE = (512, 384)  # small files: a listing reads tags, not photosites
LISTED_PREVIEW = (256, 192)
RENDERED_SIZE = (4000, 3000)
RENDERED_PREVIEW = (1600, 1200)

HELPER_LIST = "helper, cold catalog (whole process)"
EXIFTOOL = "exiftool -fast -j -r"
HELPER_PREVIEW = "helper, DNG with preview"
HELPER_JPEG = "helper, JPEG of the preview's size"
DCRAW_E = "dcraw -e -c | vips thumbnail_source"
HELPER_DEVELOP = "helper, DNG developed"
DCRAW_H = "dcraw -h -w -c > /dev/null"
DCRAW_H_RESIZED = "dcraw -h -w -c | vips thumbnail_source"

# One process per file, as dcraw works; the shell loop keeps Python's own
# process start-up out of the timing.
PER_FILE_LOOP = 'i=0; for f in "$@"; do i=$((i+1)); %s || exit 1; done'
RESIZE = f'vips thumbnail_source "[descriptor=0]" "$0/$i.jpg[Q={QUALITY},strip]" {BOX}'


def add_arguments(parser):
    parser.add_argument("--listed", type=int, default=500, help="DNGs in the listing (default 500)")
    parser.add_argument("--rendered", type=int, default=20, help="12-megapixel DNGs per rendering run (default 20)")


# A DNG as cameras write it: an RGGB mosaic of 16-bit photosites in IFD 0,
# an optional JPEG preview in a sub-IFD, the capture date in the EXIF IFD;
# its colour matrix makes the camera's space linear sRGB.
XYZ_TO_SRGB = (3.2404542, -1.5371385, -0.4985314, -0.9692660, 1.8760108, 0.0415560,
               0.0556434, -0.2040259, 1.0572252)


def entry(tag, kind, values):
    formats = {1: "B", 2: "s", 3: "H", 4: "I", 5: "II", 10: "ii"}
    if kind == 2:
        data = values.encode() + b"\0"
        return tag, kind, len(data), data
    if kind in (5, 10):
        data = b"".join(struct.pack("<" + formats[kind], round(value * 10000), 10000) for value in values)
    else:
        data = struct.pack("<%d%s" % (len(values), formats[kind]), *values)
    return tag, kind, len(values), data


def ifd_bytes(entries, offset):
    """An IFD laid out at offset: its table, then the values too long to inline."""
    entries = sorted(entries)
    table = struct.pack("<H", len(entries))
    extra = b""
    extra_start = offset + 2 + 12 * len(entries) + 4
    for tag, kind, count, data in entries:
        if len(data) <= 4:
            table += struct.pack("<HHI", tag, kind, count) + data.ljust(4, b"\0")
        else:
            table += struct.pack("<HHII", tag, kind, count, extra_start + len(extra))
            extra += data + (b"\0" if len(data) % 2 else b"")
    return table + struct.pack("<I", 0) + extra


def make_dng(mosaic, size, date, preview=None):
    width, height = size
    file = bytearray(b"II*\0" + struct.pack("<I", 0))
    ifd0 = [entry(254, 4, [0]), entry(256, 4, [width]), entry(257, 4, [height]), entry(258, 3, [16]),
            entry(259, 3, [1]), entry(262, 3, [32803]), entry(271, 2, "Vek"), entry(272, 2, "Bench Camera"),
            entry(274, 3, [1]), entry(277, 3, [1]), entry(278, 4, [height]), entry(279, 4, [len(mosaic)]),
            entry(284, 3, [1]), entry(33421, 3, [2, 2]), entry(33422, 1, [0, 1, 1, 2]),
            entry(50706, 1, [1, 4, 0, 0]), entry(50708, 2, "Vek Bench Camera"), entry(50714, 4, [0]),
            entry(50717, 4, [WHITE_LEVEL]), entry(50721, 10, XYZ_TO_SRGB), entry(50728, 5, [0.5, 1, 0.7]),
            entry(50778, 3, [21])]
    if preview:
        jpeg, (preview_width, preview_height) = preview
        preview_offset = len(file)
        file += jpeg
        if len(file) % 2:
            file += b"\0"
        sub_ifd = [entry(254, 4, [1]), entry(256, 4, [preview_width]), entry(257, 4, [preview_height]),
                   entry(258, 3, [8, 8, 8]), entry(259, 3, [7]), entry(262, 3, [6]), entry(273, 4, [preview_offset]),
                   entry(277, 3, [3]), entry(278, 4, [preview_height]), entry(279, 4, [len(jpeg)])]
        ifd0.append(entry(330, 4, [len(file)]))
        file += ifd_bytes(sub_ifd, len(file))
    exif = [entry(0x9003, 2, date.strftime("%Y:%m:%d %H:%M:%S")), entry(0x9011, 2, common.DATE_OFFSET),
            entry(0x9291, 2, "250")]
    ifd0.append(entry(34665, 4, [len(file)]))
    file += ifd_bytes(exif, len(file))
    ifd0_offset = len(file)
    ifd0.append(entry(273, 4, [0]))
    raw_offset = ifd0_offset + len(ifd_bytes(ifd0, ifd0_offset))
    ifd0[-1] = entry(273, 4, [raw_offset])
    file += ifd_bytes(ifd0, ifd0_offset)
    file[4:8] = struct.pack("<I", ifd0_offset)
    return bytes(file) + mosaic


def picture(size, scratch):
    """The camera sample at size, as linear 16-bit RGB from 0 to the white
    level, and as an sRGB image file for previews."""
    width, height = size
    shown = scratch / f"shown-{width}.v"
    subprocess.run(["vips", "thumbnail", CAMERA_JPEG, shown, str(width), "--height", str(height), "--size", "force"],
                   check=True)
    linear, scaled, raw = (scratch / f"{name}-{width}.v" for name in ("linear", "scaled", "raw"))
    subprocess.run(["vips", "colourspace", shown, linear, "scrgb"], check=True)
    subprocess.run(["vips", "linear", linear, scaled, str(WHITE_LEVEL * 0.9), "0"], check=True)
    subprocess.run(["vips", "cast", scaled, raw, "ushort"], check=True)
    samples = scratch / f"samples-{width}.raw"
    subprocess.run(["vips", "rawsave", raw, samples], check=True)
    return samples.read_bytes(), shown


def mosaic_of(rgb, size):
    """RGGB photosites of interleaved 16-bit RGB: red and green on even rows,
    green and blue on odd ones."""
    width, height = size
    row_bytes = width * 6
    out = bytearray(width * height * 2)
    for y in range(height):
        row = rgb[y * row_bytes:(y + 1) * row_bytes]
        line = bytearray(width * 2)
        first, second = (0, 2) if y % 2 == 0 else (2, 4)  # byte offset of the colour in a pixel
        line[0::4] = row[first::12]
        line[1::4] = row[first + 1::12]
        line[2::4] = row[6 + second::12]
        line[3::4] = row[6 + second + 1::12]
        out[y * width * 2:(y + 1) * width * 2] = line
    return bytes(out)


def jpeg_of(shown, size, path):
    subprocess.run(["vips", "thumbnail", shown, f"{path}[Q=92,strip]", str(size[0]), "--height", str(size[1]),
                    "--size", "force"], check=True)
    return path.read_bytes()


def ensure_sources(bench, listed, rendered):
    folder = bench / "raw"
    homes = {name: common.LibraryHome(folder / name) for name in ("listing", "preview", "jpeg", "develop")}
    stamp = folder / "source.json"
    wanted = {"layout": SOURCE_LAYOUT, "listed": listed, "rendered": rendered}
    if stamp.exists() and json.loads(stamp.read_text()) == wanted:
        log(f"reusing {folder}")
        return homes
    stamp.unlink(missing_ok=True)
    common.remove_tree(folder)
    scratch = folder / "scratch"
    scratch.mkdir(parents=True)
    for home in homes.values():
        home.create()
    log(f"making {listed} small DNGs and {rendered} 12-megapixel DNGs of each kind in {folder} (not timed)")
    rgb, shown = picture(LISTED_SIZE, scratch)
    mosaic = mosaic_of(rgb, LISTED_SIZE)
    preview = (jpeg_of(shown, LISTED_PREVIEW, scratch / "listed-preview.jpg"), LISTED_PREVIEW)
    for number, date in enumerate(common.photo_dates(listed, seed=19)):
        folder_path = homes["listing"].pictures / f"{number // 100:02d}"
        folder_path.mkdir(exist_ok=True)
        (folder_path / f"IMG_{number:04d}.DNG").write_bytes(make_dng(mosaic, LISTED_SIZE, date, preview))
    rgb, shown = picture(RENDERED_SIZE, scratch)
    mosaic = mosaic_of(rgb, RENDERED_SIZE)
    preview_jpeg = jpeg_of(shown, RENDERED_PREVIEW, scratch / "rendered-preview.jpg")
    for number, date in enumerate(common.photo_dates(rendered, seed=20)):
        with_preview = make_dng(mosaic, RENDERED_SIZE, date, (preview_jpeg, RENDERED_PREVIEW))
        (homes["preview"].pictures / f"IMG_{number:04d}.DNG").write_bytes(with_preview)
        (homes["develop"].pictures / f"IMG_{number:04d}.DNG").write_bytes(make_dng(mosaic, RENDERED_SIZE, date))
        (homes["jpeg"].pictures / f"IMG_{number:04d}.JPG").write_bytes(preview_jpeg)
    common.remove_tree(scratch)
    stamp.write_text(json.dumps(wanted))
    return homes


def files_of(home):
    return sorted(path for path in home.pictures.rglob("*") if path.is_file())


def listing_unit(binary, home, count):
    def run():
        common.remove_tree(home.catalog)
        with Helper(binary, home.environment()) as helper:
            assets = helper.request("fetch_assets", kind="image").result()["assets"]
        if len(assets) != count or any(asset["pixelWidth"] != LISTED_SIZE[0] for asset in assets):
            raise RuntimeError(f"the helper listed {len(assets)} DNGs of {count}, or at the wrong size")
        return {HELPER_LIST: helper.metrics}
    return run


def exiftool_unit(home, count):
    def run():
        metrics, text = common.run_timed(["exiftool", "-fast", "-j", "-r", str(home.pictures)], home.environment(),
                                         capture=True)
        if len(json.loads(text)) != count:
            raise RuntimeError("exiftool did not read every DNG")
        return {EXIFTOOL: metrics}
    return run


def render_unit(binary, home, contender, expected):
    """A helper started and listing, then one render per file timed alone."""
    def run():
        with Helper(binary, home.environment()) as helper:
            identifiers = [asset["localIdentifier"] for asset in helper.request("fetch_assets", kind="image").result()["assets"]]
            if len(identifiers) != expected:
                raise RuntimeError(f"the helper listed {len(identifiers)} of {expected}")
            start = time.perf_counter()
            replies = [helper.request("request_image_data", localIdentifier=identifier, targetSize=BOX)
                       for identifier in identifiers]
            seconds = time.perf_counter() - start
        for reply in replies:
            result = reply.result()
            if max(result["width"], result["height"]) != BOX:
                raise RuntimeError(f"the helper rendered {result['width']}x{result['height']} for box {BOX}")
        return {contender: {REQUEST: seconds / expected, CPU: helper.metrics[CPU] / expected, RSS: helper.metrics[RSS]}}
    return run


def peer_unit(bench, home, contender, step):
    paths = [str(path) for path in files_of(home)]

    def run():
        out = bench / "out"
        common.remove_tree(out)
        out.mkdir()
        metrics, _ = common.run_timed(["sh", "-c", PER_FILE_LOOP % step, str(out), *paths], home.environment())
        common.drop_written(out)
        count = len(paths)
        return {contender: {REQUEST: metrics[PROCESS] / count, CPU: metrics[CPU] / count, RSS: metrics[RSS]}}
    return run


def main():
    arguments = common.parse_arguments(__doc__, add_arguments)
    work = common.prepare_work(arguments.work)
    common.ensure_packages("libimage-exiftool-perl", "dcraw", "time")
    binary = common.helper_binary(arguments, work)
    bench = work / "raw-bench"
    bench.mkdir(exist_ok=True)
    homes = ensure_sources(work, arguments.listed, arguments.rendered)
    all_files = [path for home in homes.values() for path in files_of(home)]

    units = [
        ("helper listing", listing_unit(binary, homes["listing"], arguments.listed)),
        ("exiftool", exiftool_unit(homes["listing"], arguments.listed)),
        ("helper preview", render_unit(binary, homes["preview"], HELPER_PREVIEW, arguments.rendered)),
        ("helper jpeg", render_unit(binary, homes["jpeg"], HELPER_JPEG, arguments.rendered)),
        ("dcraw -e", peer_unit(bench, homes["preview"], DCRAW_E, f'dcraw -e -c "$f" | {RESIZE}')),
        ("helper develop", render_unit(binary, homes["develop"], HELPER_DEVELOP, arguments.rendered)),
        ("dcraw -h", peer_unit(bench, homes["develop"], DCRAW_H, 'dcraw -h -w -c "$f" > /dev/null')),
        ("dcraw -h resized", peer_unit(bench, homes["develop"], DCRAW_H_RESIZED, f'dcraw -h -w -c "$f" | {RESIZE}')),
    ]
    results = common.Results()
    with common.LoadSampler() as load:
        common.interleave(arguments.reps, units, results, log, before_each=lambda: common.read_through(*all_files))
    targets = [
        common.Target("listing: helper / exiftool", (HELPER_LIST, PROCESS), 0.2, reference=(EXIFTOOL, PROCESS)),
        common.Target("preview: helper DNG / helper JPEG", (HELPER_PREVIEW, REQUEST), 1.2,
                      reference=(HELPER_JPEG, REQUEST)),
        common.Target("preview: helper / dcraw -e piped", (HELPER_PREVIEW, REQUEST), 1.0, reference=(DCRAW_E, REQUEST)),
        common.Target("develop: helper / dcraw -h", (HELPER_DEVELOP, REQUEST), 1.0, reference=(DCRAW_H, REQUEST)),
        common.Target("develop: helper / dcraw -h piped", (HELPER_DEVELOP, REQUEST), 1.0,
                      reference=(DCRAW_H_RESIZED, REQUEST)),
    ]
    notes = [
        f"Listing: {arguments.listed} DNGs of {LISTED_SIZE[0]}x{LISTED_SIZE[1]} photosites with a "
        f"{LISTED_PREVIEW[0]}x{LISTED_PREVIEW[1]} preview, in folders of 100; the helper's whole process "
        "(start, fetch_assets with no catalog, exit) against exiftool's.",
        f"Rendering at box {BOX}, per image: {arguments.rendered} DNGs of {RENDERED_SIZE[0]}x{RENDERED_SIZE[1]} "
        f"16-bit photosites (24 MB), with a {RENDERED_PREVIEW[0]}x{RENDERED_PREVIEW[1]} preview or without; "
        "the helper's requests timed alone in a started helper, the peers one process per file in a shell loop.",
    ]
    common.report("Camera RAW", bench, results, targets, notes, load.summary())


if __name__ == "__main__":
    main()
