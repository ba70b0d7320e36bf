#!/usr/bin/python3
"""Deletion benchmark: 1,000 photos moved to the Trash in one delete_assets
request through the helper, against `gio trash` of the same 1,000 files in
one command. Every run starts from freshly written files and an empty Trash.

    bench/trash_bench.py [--work /tmp/vek-bench] [--reps 5] [--files 1000]
"""

import os
import sys

# Run from the source tree: leave no __pycache__ in it.
sys.dont_write_bytecode = True
import common  # noqa: E402
from common import PROCESS, REQUEST, RSS, Helper, Target, log  # noqa: E402

FILES_PER_FOLDER = 100


def add_arguments(parser):
    parser.add_argument("--files", type=int, default=1000, help="photos deleted per run (default 1000)")


def main():
    arguments = common.parse_arguments(__doc__.split("\n\n")[0], add_arguments)
    work = common.prepare_work(arguments.work)
    bench = work / "trash"
    bench.mkdir(exist_ok=True)
    common.ensure_packages("libglib2.0-bin", "libvips-tools", "libimage-exiftool-perl", "time")
    binary = common.helper_binary(arguments, work)

    home = common.LibraryHome(bench)
    common.remove_tree(home.home)
    home.create()
    environment = home.environment()
    templates = common.make_jpeg_templates(bench / "templates")
    common.remove_tree(bench / "templates")
    count = arguments.files
    paths = [home.pictures / f"{number // FILES_PER_FOLDER:02d}" / f"IMG_{number:05d}.jpg" for number in range(count)]
    dates = common.photo_dates(count, seed=count)

    def fresh_library():
        """New files, catalogued by a listing, an empty Trash, and nothing
        left to write back: none of it timed."""
        common.remove_tree(home.pictures)
        common.remove_tree(home.trash)
        common.remove_tree(home.catalog)
        common.write_jpegs(templates, paths, dates)
        with Helper(binary, environment) as lister:
            assets = lister.request("fetch_assets", kind="image").result()["assets"]
        if len(assets) != count:
            raise RuntimeError(f"the helper listed {len(assets)} photos of {count}")
        os.sync()
        return [asset["localIdentifier"] for asset in assets]

    def check_trashed(who):
        left = sum(path.exists() for path in paths)
        files = len(os.listdir(home.trash / "files")) if (home.trash / "files").exists() else 0
        infos = len(os.listdir(home.trash / "info")) if (home.trash / "info").exists() else 0
        if left or files != count or infos != count:
            raise RuntimeError(f"after {who}: {left} photos left, {files} files and {infos} infos in the Trash")

    def delete_request(helper, identifiers):
        reply = helper.request("delete_assets", localIdentifiers=identifiers)
        deleted = reply.result()["deletedCount"]
        if deleted != count:
            raise RuntimeError(f"the helper deleted {deleted} of {count}")
        return reply

    def helper_started():
        fresh_library()
        started = Helper(binary, environment)
        with started:
            # The parent's own listing gives the identifiers; the helper is then
            # warm, as it is when a user deletes what it found.
            assets = started.request("fetch_assets", kind="image").result()["assets"]
            reply = delete_request(started, [asset["localIdentifier"] for asset in assets])
        check_trashed("the helper")
        return {"helper, started (request only)": {REQUEST: reply.seconds, RSS: started.metrics[RSS]}}

    def helper_whole():
        identifiers = fresh_library()
        whole = Helper(binary, environment)
        with whole:
            delete_request(whole, identifiers)
        check_trashed("the helper")
        return {"helper, whole process": whole.metrics}

    def gio_trash():
        fresh_library()
        metrics, _ = common.run_timed(["gio", "trash", *paths], environment)
        check_trashed("gio trash")
        return {"gio trash": metrics}

    units = [("helper, started", helper_started), ("helper, whole process", helper_whole), ("gio trash", gio_trash)]
    results = common.Results()
    with common.LoadSampler() as load:
        common.interleave(arguments.reps, units, results, log)
    common.remove_tree(home.home)

    targets = [
        Target("deletion within 1.2x of gio trash (whole processes)", ("helper, whole process", PROCESS), 1.2,
               reference=("gio trash", PROCESS)),
        Target("(request only) deletion / gio trash", ("helper, started (request only)", REQUEST), 1.2,
               reference=("gio trash", PROCESS)),
    ]
    notes = [
        f"{count} small JPEGs in {-(-count // FILES_PER_FOLDER)} folders, written afresh and listed by the helper "
        "before every run (not timed), the Trash emptied and the disk synced; the Trash is on the same file system.",
        f"Helper: {binary}. 'helper, started': the helper has started and listed the photos, then the "
        "delete_assets request is timed from the line written to the reply read. 'helper, whole process': a new "
        "helper started, one delete_assets request, exit. The verdict uses the whole process, like gio's.",
        f"{arguments.reps} repetitions, contenders interleaved; CPU time and max RSS of each process from GNU time.",
    ]
    common.report("Deletion", bench, results, targets, notes, load.summary())


if __name__ == "__main__":
    main()
