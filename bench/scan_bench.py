#!/usr/bin/python3
"""Whole-library scan benchmark: the parent's real job, fetch_assets and then
request_image_data for every asset, one request in flight, at boxes 256 and
1024, on 200 12-megapixel JPEGs; a first scan on a fresh home, a rescan by a
new helper on what the first left, a shuffled scan on a fresh home, and the
helper with its cache and read-ahead off; against vipsthumbnail over nproc
processes and Pillow (draft + thumbnail) in a pool of nproc and in one
process. The first scan and the all-core peers run again on one core
(taskset -c 0), for their parallel efficiency.

    bench/scan_bench.py [--work /tmp/vek-bench] [--reps 3] [--files 200] [--boxes 256,1024] [--helper PATH]
"""

import os
import random
import time

import common
import render_bench
from common import CPU, PROCESS, RSS, Helper, log

BOXES = (256, 1024)
QUALITY = render_bench.QUALITY
CORES = os.cpu_count() or 1

FIRST = "helper, first scan (fresh home)"
RESCAN = "helper, rescan (new helper, same home)"
SHUFFLED = "helper, shuffled scan (fresh home)"
PLAIN = "helper, cache and read-ahead off"
VIPS_ALL = f"vipsthumbnail over {CORES} processes"
PILLOW_POOL = f"Pillow draft+thumbnail, pool of {CORES}"
PILLOW_ONE = "Pillow draft+thumbnail, one process"
ONE_CORE = ", on one core"
ONE_CORE_PREFIX = ("taskset", "-c", "0")

PILLOW_POOL_PROGRAM = """
import sys
from multiprocessing import Pool
from PIL import Image, ImageOps
box, folder, workers = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
def thumbnail(job):
    number, path = job
    with Image.open(path) as image:
        image.draft("RGB", (box, box))
        image.thumbnail((box, box))
        image = ImageOps.exif_transpose(image).convert("RGB")
        image.save(f"{folder}/{number}.jpg", quality=%d)
with Pool(workers) as pool:
    pool.map(thumbnail, list(enumerate(sys.argv[4:])), chunksize=4)
""" % QUALITY


def add_arguments(parser):
    parser.add_argument("--files", type=int, default=200, help="photos in the library (default 200)")
    parser.add_argument("--boxes", default=",".join(map(str, BOXES)),
                        help="the boxes to scan at, comma-separated (default 256,1024)")


class State:
    """A fresh catalog and render cache for the library's home: the helper
    sees the same Pictures, but nothing any earlier helper left."""

    def __init__(self, home, folder):
        common.remove_tree(folder)
        folder.mkdir(parents=True)
        self.folder = folder
        self.environment = {**home.environment(), "XDG_DATA_HOME": str(folder / "data"),
                            "XDG_CACHE_HOME": str(folder / "cache")}


def scan(binary, environment, box, expected, order=None, prefix=()):
    """One helper, start to exit: the listing, then every asset at the box in
    listing order (or the given order of positions). Its metrics."""
    with Helper(binary, environment, prefix) as helper:
        assets = helper.request("fetch_assets", kind="image").result()["assets"]
        if len(assets) != expected:
            raise RuntimeError(f"the helper listed {len(assets)} images of {expected}")
        identifiers = [asset["localIdentifier"] for asset in assets]
        for position in order if order is not None else range(len(identifiers)):
            reply = helper.request("request_image_data", localIdentifier=identifiers[position], targetSize=box)
            result = reply.result()
            if max(result["width"], result["height"]) > box:
                raise RuntimeError(f"{result['width']}x{result['height']} for box {box}")
    return helper.metrics


def helper_units(binary, library, box, bench, shuffles):
    home, count = library.home, len(library.paths)

    def first_and_rescan():
        state = State(home, bench / "state")
        first = scan(binary, state.environment, box, count)
        rescan = scan(binary, state.environment, box, count)
        common.remove_tree(state.folder)
        return {key(box, FIRST): first, key(box, RESCAN): rescan}

    def shuffled():
        state = State(home, bench / "state")
        order = list(range(count))
        random.Random(next(shuffles)).shuffle(order)
        metrics = scan(binary, state.environment, box, count, order)
        common.remove_tree(state.folder)
        return {key(box, SHUFFLED): metrics}

    def plain():
        state = State(home, bench / "state")
        environment = {**state.environment, "VEK_RENDER_CACHE_MB": "0", "VEK_RENDER_READ_AHEAD": "0"}
        metrics = scan(binary, environment, box, count)
        common.remove_tree(state.folder)
        return {key(box, PLAIN): metrics}

    def first_on_one_core():
        state = State(home, bench / "state")
        metrics = scan(binary, state.environment, box, count, prefix=ONE_CORE_PREFIX)
        common.remove_tree(state.folder)
        return {key(box, FIRST + ONE_CORE): metrics}

    return [(key(box, FIRST), first_and_rescan), (key(box, SHUFFLED), shuffled), (key(box, PLAIN), plain),
            (key(box, FIRST + ONE_CORE), first_on_one_core)]


def peer_command(peer, box, out, paths):
    if peer == VIPS_ALL:
        per_process = -(-len(paths) // CORES)
        return ["xargs", "-P", str(CORES), "-n", str(per_process), "vipsthumbnail", "--size", f"{box}x{box}",
                "-o", f"{out}/%s.jpg[Q={QUALITY},strip]"]
    if peer == PILLOW_POOL:
        return ["python3", "-c", PILLOW_POOL_PROGRAM, str(box), str(out), str(CORES), *paths]
    if peer == PILLOW_ONE:
        return ["python3", "-c", render_bench.PILLOW_PROGRAM, str(box), str(out), *paths]
    raise ValueError(peer)


def peer_unit(peer, library, box, bench, prefix=()):
    def run():
        out = bench / "out"
        common.remove_tree(out)
        out.mkdir()
        command = peer_command(peer, box, out, library.paths)
        if peer == VIPS_ALL:
            # xargs takes the paths on stdin; each vipsthumbnail names its
            # outputs after its inputs, so distinct names are kept distinct.
            listing = bench / "paths.txt"
            listing.write_text("\n".join(str(path) for path in library.paths) + "\n")
            command = ["sh", "-c", 'exec "$@" < "$0"', str(listing), *command]
        metrics, _ = common.run_timed([*prefix, *command], library.home.environment())
        written = len(list(out.iterdir()))
        if written != len(library.paths):
            raise RuntimeError(f"{peer} wrote {written} thumbnails of {len(library.paths)}")
        common.drop_written(out)
        return {key(box, peer + (ONE_CORE if prefix else "")): metrics}
    return run


def key(box, contender):
    return f"box {box}: {contender}"


def ratio(results, value, reference):
    return results.median(value, PROCESS) / results.median(reference, PROCESS)


def efficiency(results, contender):
    """Throughput on every core over that many times the throughput on one."""
    return results.median(contender + ONE_CORE, PROCESS) / (CORES * results.median(contender, PROCESS))


def build_report(arguments, binary, boxes, results, load):
    lines = ["## Whole-library scan", "",
             f"Helper: {binary}. {arguments.files} 12-megapixel JPEGs (copies of "
             f"{render_bench.FORMATS['jpeg12'].templates} templates, each a file of its own), page cache warm. "
             f"{arguments.reps} rounds, contenders interleaved, medians shown. Each time is the whole process "
             "from start to exit (for the helper: start, fetch_assets, one request_image_data per asset with one "
             "in flight, exit); a fresh home is a new catalog and render cache.", "", load, "",
             "| box: contender | runs | median s | fastest s | median CPU s | max RSS MB |",
             "|---|---:|---:|---:|---:|---:|"]
    raw = results.raw()
    for name, metrics in raw.items():
        lines.append(f"| {name} | {len(metrics[PROCESS])} | {results.median(name, PROCESS):.2f} | "
                     f"{min(metrics[PROCESS]):.2f} | {results.median(name, CPU):.2f} | {max(metrics[RSS]):.0f} |")
    lines += ["", "| target | measured (medians) | limit | verdict |", "|---|---|---|---|"]

    def row(name, measured, limit, at_least=False):
        met = measured >= limit if at_least else measured <= limit
        lines.append(f"| {name} | {measured:.2f}x | {'>=' if at_least else '<='} {limit}x | "
                     f"{'met' if met else 'MISSED'} |")

    first_scan_limits = {256: 1.0, 1024: 0.8}
    for box in boxes:
        best = min((key(box, VIPS_ALL), key(box, PILLOW_POOL)), key=lambda name: results.median(name, PROCESS))
        row(f"box {box}: first scan / best all-core peer ({best.split(': ')[1]})",
            ratio(results, key(box, FIRST), best), first_scan_limits.get(box, 1.0))
        lines.append(f"| box {box}: first scan CPU / helper alone (cache and read-ahead off) | "
                     f"{results.median(key(box, FIRST), CPU) / results.median(key(box, PLAIN), CPU):.3f}x | <= 1.03x | "
                     f"{'met' if results.median(key(box, FIRST), CPU) <= 1.03 * results.median(key(box, PLAIN), CPU) else 'MISSED'} |")
        row(f"box {box}: first scan's parallel efficiency on {CORES} cores", efficiency(results, key(box, FIRST)), 0.9,
            at_least=True)
        for peer in (VIPS_ALL, PILLOW_POOL):
            lines.append(f"| box {box}: {peer}'s parallel efficiency (for comparison) | "
                         f"{efficiency(results, key(box, peer)):.2f}x | | |")
        row(f"box {box}: rescan / first scan", ratio(results, key(box, RESCAN), key(box, FIRST)), 0.05)
        row(f"box {box}: shuffled scan / Pillow in one process",
            ratio(results, key(box, SHUFFLED), key(box, PILLOW_ONE)), 1.1)
        row(f"box {box}: shuffled scan / helper with cache and read-ahead off",
            ratio(results, key(box, SHUFFLED), key(box, PLAIN)), 1.1)
    peak = max(max(raw[name][RSS]) for name in raw if name.split(": ")[1].startswith("helper"))
    lines.append(f"| peak RSS of any helper (its workers included) | {peak:.0f} MB | < 250 MB | {'met' if peak < 250 else 'MISSED'} |")
    return "\n".join(lines) + "\n"


def main():
    arguments = common.parse_arguments(__doc__.splitlines()[0], add_arguments)
    if arguments.files < 1:
        raise SystemExit("--files must be at least 1")
    work = common.prepare_work(arguments.work)
    bench = work / "scan"
    bench.mkdir(exist_ok=True)
    common.ensure_packages("libvips-tools", "python3-pil", "libimage-exiftool-perl", "time", "util-linux")
    binary = common.helper_binary(arguments, work)

    fmt = render_bench.FORMATS["jpeg12"]
    templates, home, paths = render_bench.ensure_sources(work / "render", fmt, arguments.files)
    home.create()
    library = render_bench.Library(fmt, templates, home, paths, identifiers=None)
    common.read_through(*paths)

    shuffles = iter(range(1_000_000))
    boxes = [int(box) for box in arguments.boxes.split(",")]
    units = []
    for box in boxes:
        units += helper_units(binary, library, box, bench, shuffles)
        units += [(key(box, peer), peer_unit(peer, library, box, bench)) for peer in (VIPS_ALL, PILLOW_POOL, PILLOW_ONE)]
        units += [(key(box, peer + ONE_CORE), peer_unit(peer, library, box, bench, ONE_CORE_PREFIX))
                  for peer in (VIPS_ALL, PILLOW_POOL)]

    results = common.Results()
    started = time.perf_counter()
    with common.LoadSampler() as load:
        common.interleave(arguments.reps, units, results, log, warm_ups=units[:1],
                          before_each=lambda: common.read_through(*paths))
    log(f"measured in {time.perf_counter() - started:.0f} s")

    common.keep_report(bench, build_report(arguments, binary, boxes, results, load.summary()), results)


if __name__ == "__main__":
    main()
