#!/usr/bin/python3
"""Export benchmark: a 500 MB 1080p H.264 + AAC MP4 exported through the
helper (request_video_resource, a passthrough remux to QuickTime) against
`ffmpeg -i IN -map 0:v -map 0:a -c copy OUT.mov` and `cp` of the same file,
page cache warm.

    bench/export_bench.py [--work /tmp/vek-bench] [--reps 5] [--megabytes 500]
"""

import json
import os
import subprocess
import sys

# Run from the source tree: leave no __pycache__ in it.
sys.dont_write_bytecode = True
import common  # noqa: E402
from common import PROCESS, REQUEST, RSS, Helper, Target, log  # noqa: E402

SOURCE_LAYOUT = 1  # bump when the generated movie changes
VIDEO_BITRATE_MBIT = 38
SMALL_SECONDS = 10


def add_arguments(parser):
    parser.add_argument("--megabytes", type=int, default=500, help="size of the movie to export (default 500)")


def ensure_sources(bench, home, megabytes):
    """The big movie, made once and kept, and a short cut of it that shows
    whether the helper's memory grows with the file."""
    source = home.videos / "export-source.mp4"
    small = home.videos / "export-small.mp4"
    stamp = bench / "source.json"
    wanted = {"layout": SOURCE_LAYOUT, "megabytes": megabytes}
    if stamp.exists() and json.loads(stamp.read_text()) == wanted and source.exists() and small.exists():
        log(f"reusing {source}")
        return source, small
    stamp.unlink(missing_ok=True)
    common.remove_tree(home.home)
    home.create()
    seconds = max(SMALL_SECONDS + 1, round(megabytes * 8 / VIDEO_BITRATE_MBIT))
    log(f"making a {seconds} s 1080p movie of about {megabytes} MB in {source} (not timed; about a minute)")
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y",
                    "-f", "lavfi", "-i", f"testsrc2=size=1920x1080:rate=30:duration={seconds}",
                    "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={seconds}",
                    "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                    "-b:v", f"{VIDEO_BITRATE_MBIT}M", "-maxrate", f"{VIDEO_BITRATE_MBIT}M", "-bufsize", "40M",
                    "-c:a", "aac", "-b:a", "128k", "-metadata", "creation_time=2021-05-04T10:00:00Z",
                    "-movflags", "+faststart", "-shortest", source], check=True)
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", source, "-t", str(SMALL_SECONDS),
                    "-map", "0", "-c", "copy", small], check=True)
    stamp.write_text(json.dumps(wanted))
    return source, small


def main():
    arguments = common.parse_arguments(__doc__.split("\n\n")[0], add_arguments)
    work = common.prepare_work(arguments.work)
    bench = work / "export"
    bench.mkdir(exist_ok=True)
    common.ensure_packages("ffmpeg", "time")
    binary = common.helper_binary(arguments, work)

    home = common.LibraryHome(bench)
    source, small = ensure_sources(bench, home, arguments.megabytes)
    common.remove_tree(home.catalog)
    common.remove_tree(home.tmp)
    home.create()
    environment = home.environment()

    # The parent lists before it exports; the catalog then knows both movies.
    with Helper(binary, environment) as helper:
        videos = helper.request("fetch_assets", kind="video").result()["assets"]
    paths = sorted([source, small], key=lambda path: path.stat().st_size)
    by_duration = sorted(videos, key=lambda asset: asset["durationSeconds"])
    if len(by_duration) != 2:
        raise RuntimeError(f"the helper listed {len(by_duration)} videos of 2")
    identifiers = {path: asset["localIdentifier"] for path, asset in zip(paths, by_duration)}

    def exported(reply, path):
        movie = reply.result()["tempPath"]
        if os.path.dirname(movie) != str(home.tmp) or os.path.getsize(movie) < 0.95 * path.stat().st_size:
            raise RuntimeError(f"the helper's export {movie} is not a whole copy of {path}")
        common.drop_written(movie)

    def helper_started():
        started = Helper(binary, environment)
        with started:
            started.request("fetch_assets", kind="video").result()
            reply = started.request("request_video_resource", localIdentifier=identifiers[source])
        exported(reply, source)
        return {"helper, started (request only)": {REQUEST: reply.seconds, RSS: started.metrics[RSS]}}

    def helper_loaded():
        # A helper that has exported once already: FFmpeg's libraries are
        # loaded, as they are for every export after a session's first.
        loaded = Helper(binary, environment)
        with loaded:
            exported(loaded.request("request_video_resource", localIdentifier=identifiers[small]), small)
            reply = loaded.request("request_video_resource", localIdentifier=identifiers[source])
        exported(reply, source)
        return {"helper, FFmpeg loaded (request only)": {REQUEST: reply.seconds, RSS: loaded.metrics[RSS]}}

    def helper_whole(path, contender):
        def run():
            whole = Helper(binary, environment)
            with whole:
                reply = whole.request("request_video_resource", localIdentifier=identifiers[path])
            exported(reply, path)
            return {contender: whole.metrics}
        return run

    def helper_idle():
        idle = Helper(binary, environment)
        with idle:
            pass
        return {"helper, idle (start, exit)": idle.metrics}

    def ffmpeg_copy():
        movie = home.tmp / "ffmpeg.mov"
        metrics, _ = common.run_timed(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", source,
                                       "-map", "0:v", "-map", "0:a", "-c", "copy", movie], environment)
        common.drop_written(movie)
        return {"ffmpeg -c copy to .mov": metrics}

    def cp_copy():
        copy = home.tmp / "cp.mp4"
        metrics, _ = common.run_timed(["cp", source, copy], environment)
        common.drop_written(copy)
        return {"cp": metrics}

    units = [("helper, started", helper_started),
             ("helper, FFmpeg loaded", helper_loaded),
             ("helper, whole process", helper_whole(source, "helper, whole process")),
             ("ffmpeg", ffmpeg_copy), ("cp", cp_copy),
             ("helper, short cut", helper_whole(small, f"helper, whole process, {SMALL_SECONDS} s cut")),
             ("helper, idle", helper_idle)]
    results = common.Results()
    with common.LoadSampler() as load:
        common.interleave(arguments.reps, units, results, log, before_each=lambda: common.read_through(source, small))

    targets = [
        Target("export no slower than ffmpeg (whole processes)", ("helper, whole process", PROCESS), 1.0,
               reference=("ffmpeg -c copy to .mov", PROCESS)),
        Target("export within 2x of cp (whole processes)", ("helper, whole process", PROCESS), 2.0,
               reference=("cp", PROCESS)),
        Target("(request only) export / ffmpeg", ("helper, started (request only)", REQUEST), 1.0,
               reference=("ffmpeg -c copy to .mov", PROCESS)),
        Target("(request only) export / cp", ("helper, started (request only)", REQUEST), 2.0,
               reference=("cp", PROCESS)),
        Target("(request, FFmpeg loaded) export / cp", ("helper, FFmpeg loaded (request only)", REQUEST), 2.0,
               reference=("cp", PROCESS)),
        Target(f"peak memory, {source.stat().st_size / 1e6:.0f} MB movie", ("helper, whole process", RSS), 50, "MB"),
        Target(f"peak memory, {small.stat().st_size / 1e6:.0f} MB cut",
               (f"helper, whole process, {SMALL_SECONDS} s cut", RSS), 50, "MB"),
    ]
    notes = [
        f"Source: {source.stat().st_size / 1e6:.0f} MB, 1920x1080 H.264 at {VIDEO_BITRATE_MBIT} Mbit/s with AAC, "
        f"and a {SMALL_SECONDS} s cut of it ({small.stat().st_size / 1e6:.0f} MB); page cache warm (both read "
        "untimed before every measured run); "
        "every output is deleted and the disk synced after its run, outside the timing.",
        f"Helper: {binary}. 'helper, started': the helper has started and listed the videos, then the export "
        "request is timed from the line written to the reply read, FFmpeg's libraries loading with it. "
        "'helper, FFmpeg loaded': the same for a second export, after one of the short cut. "
        "'helper, whole process': start, one export request, exit. The verdicts use the whole process, like "
        "the peers'. 'helper, idle': start and exit "
        "without a request, the memory it holds before any work (mostly pages of its shared libraries).",
        f"{arguments.reps} repetitions, contenders interleaved; CPU time and max RSS of each process from GNU time.",
    ]
    common.report("Export", bench, results, targets, notes, load.summary())


if __name__ == "__main__":
    main()
