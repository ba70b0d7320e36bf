"""What the benchmarks share: their work folder, a home whose library the
helper sees, the helper as a timed child, timed runs of the peers, generated
photos, the load average, and the report of medians and ratios.

Everything a benchmark makes lives under its work folder; the helper and the
peers get an environment that points only there, never at the user's own
Pictures. Only the Python standard library is used here.
"""

import argparse
import datetime
import itertools
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
DEFAULT_WORK = Path("/tmp/vek-bench")
WORK_MARKER = ".vek-bench"

# Metrics in the order the tables show them.
REQUEST = "request s"
PROCESS = "process s"
CPU = "CPU s"
RSS = "max RSS MB"
METRICS = (REQUEST, PROCESS, CPU, RSS)


def parse_arguments(description, add_arguments=None):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--work", type=Path, default=DEFAULT_WORK,
                        help=f"folder for everything the benchmark makes (default {DEFAULT_WORK})")
    parser.add_argument("--reps", type=int, default=5, help="measured repetitions (default 5)")
    parser.add_argument("--helper", type=Path,
                        help="a built vek-photokit-helper to measure (default: build one under the work folder)")
    if add_arguments:
        add_arguments(parser)
    arguments = parser.parse_args()
    if arguments.reps < 1:
        parser.error("--reps must be at least 1")
    return arguments


def prepare_work(work):
    """Creates the work folder, or reuses one an earlier benchmark made.

    The benchmarks delete and replace files under it, so a folder that holds
    anything else is refused rather than emptied.
    """
    work = work.resolve()
    if work.exists() and any(work.iterdir()) and not (work / WORK_MARKER).exists():
        sys.exit(f"{work} holds files a benchmark did not make; name a new or empty folder with --work")
    work.mkdir(parents=True, exist_ok=True)
    (work / WORK_MARKER).touch()
    return work


def remove_tree(path):
    shutil.rmtree(path, ignore_errors=True)


def ensure_packages(*packages):
    """Installs the Debian packages of the peers when any is missing."""
    def installed(package):
        query = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package], capture_output=True, text=True)
        return "install ok installed" in query.stdout

    missing = [package for package in packages if not installed(package)]
    if not missing:
        return
    print(f"Installing {' '.join(missing)} ...", flush=True)
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    environment = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
    subprocess.run(sudo + ["apt-get", "update"], check=True, env=environment, stdout=subprocess.DEVNULL)
    subprocess.run(sudo + ["apt-get", "install", "-y", "--no-install-recommends", *missing], check=True,
                   env=environment, stdout=subprocess.DEVNULL)


def helper_binary(arguments, work):
    """The helper to measure: the one named, else a build under the work folder.

    The build type is the one the Debian package ships (RelWithDebInfo).
    """
    if arguments.helper:
        binary = arguments.helper.resolve()
        if not os.access(binary, os.X_OK):
            sys.exit(f"{binary} is not an executable helper")
        return binary
    subprocess.run([REPO / "scripts" / "setup.sh"], check=True)
    build = work / "build"
    print(f"Building the helper in {build} ...", flush=True)
    subprocess.run(["cmake", "-S", REPO, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DVEK_BUILD_TESTS=OFF",
                    "-DVEK_BUILD_BENCH=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, f"-j{os.cpu_count() or 1}", "--target", "vek-photokit-helper"],
                   check=True, stdout=subprocess.DEVNULL)
    return build / "vek-photokit-helper"


class LibraryHome:
    """A home folder with its Pictures and Videos, catalog, Trash and temp folder."""

    def __init__(self, root):
        self.root = root
        self.home = root / "home"
        self.pictures = self.home / "Pictures"
        self.videos = self.home / "Videos"
        self.data = self.home / ".local" / "share"
        self.catalog = self.data / "vek-photokit-helper"
        self.trash = self.data / "Trash"
        self.tmp = root / "tmp"

    def create(self):
        for folder in (self.pictures, self.videos, self.data, self.home / ".config", self.tmp):
            folder.mkdir(parents=True, exist_ok=True)

    def environment(self):
        """A whole environment for a child: it sees this home and nothing of the caller's."""
        environment = {
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "LANG": "C.UTF-8",
            "HOME": str(self.home),
            "XDG_CONFIG_HOME": str(self.home / ".config"),
            "XDG_DATA_HOME": str(self.data),
            "TMPDIR": str(self.tmp),
        }
        if "TZ" in os.environ:
            environment["TZ"] = os.environ["TZ"]
        return environment


# Each child runs under GNU time for its CPU time and peak memory. wait4 on
# the child itself would not do: Linux counts a child's memory from before its
# exec, which is a copy of this Python process, so every child would seem at
# least as large as the benchmark holding 100,000 paths.
TIME = "/usr/bin/time"


def _under_time(argv, usage):
    return [TIME, "-f", "%M %U %S", "-o", usage.name, "--", *(str(part) for part in argv)]


def _usage_metrics(usage):
    usage.seek(0)
    # GNU time puts a line about a failed command before the figures.
    kib, user, system = usage.read().splitlines()[-1].split()
    return {CPU: float(user) + float(system), RSS: int(kib) * 1024 / 1e6}


def run_timed(argv, environment=None, capture=False):
    """Runs a command to its end: its metrics (wall time from start to exit,
    CPU time, max RSS) and, when capture is set, its stdout as text.

    Raises RuntimeError with the end of its stderr when it fails.
    """
    with (tempfile.TemporaryFile() as output, tempfile.TemporaryFile() as errors,
          tempfile.NamedTemporaryFile(mode="r") as usage):
        start = time.perf_counter()
        process = subprocess.Popen(_under_time(argv, usage), stdin=subprocess.DEVNULL,
                                   stdout=output if capture else subprocess.DEVNULL, stderr=errors, env=environment)
        status = process.wait()
        wall = time.perf_counter() - start
        if status != 0:
            errors.seek(0)
            message = errors.read()[-2000:].decode(errors="replace")
            raise RuntimeError(f"{argv[0]} exited with status {status}: {message}")
        output.seek(0)
        text = output.read().decode(errors="replace") if capture else ""
        return {PROCESS: wall, **_usage_metrics(usage)}, text


class HelperError(RuntimeError):
    pass


class Reply:
    """One reply line, its request's duration, and its decoding, kept apart so
    that decoding a large reply is counted in neither the request nor the
    helper's process time."""

    def __init__(self, cmd, request_id, line, seconds):
        self.cmd = cmd
        self.request_id = request_id
        self.line = line
        self.seconds = seconds

    def result(self):
        """The "ok" result; raises HelperError on "err"."""
        reply = json.loads(self.line)
        if reply.get("id") != self.request_id:
            raise RuntimeError(f"reply {reply.get('id')} came for request {self.request_id}")
        if "err" in reply:
            raise HelperError(f"{self.cmd}: {reply['err']['code']}: {reply['err']['message']}")
        return reply["ok"]


class Helper:
    """The helper as a child process, its requests timed from the line
    written to the reply line read. `prefix` goes before the binary on the
    command line (taskset and its options, say), under GNU time.

    Use as a context manager: leaving it normally closes stdin and checks the
    exit status; leaving it by an exception kills the helper.
    """

    def __init__(self, binary, environment, prefix=()):
        self._ids = itertools.count(1)
        self._usage = tempfile.NamedTemporaryFile(mode="r")
        self._start = time.perf_counter()
        self._process = subprocess.Popen(_under_time([*prefix, binary], self._usage), stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=environment)
        self.metrics = None

    def request(self, cmd, **arguments):
        """Sends one request and waits for its reply line; the Reply decodes it on demand."""
        request_id = next(self._ids)
        line = (json.dumps({"id": request_id, "cmd": cmd, **arguments}) + "\n").encode()
        start = time.perf_counter()
        self._process.stdin.write(line)
        self._process.stdin.flush()
        reply_line = self._process.stdout.readline()
        seconds = time.perf_counter() - start
        if not reply_line:
            raise RuntimeError(f"the helper ended with status {self._process.wait()} during {cmd}")
        return Reply(cmd, request_id, reply_line, seconds)

    def close(self):
        """Ends the helper by closing its stdin. Returns its metrics: the
        whole process from start to exit, CPU time and max RSS."""
        self._process.stdin.close()
        status = self._process.wait()
        wall = time.perf_counter() - self._start
        self._process.stdout.close()
        with self._usage:
            if status != 0:
                raise RuntimeError(f"the helper exited with status {status}")
            self.metrics = {PROCESS: wall, **_usage_metrics(self._usage)}
        return self.metrics

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        if kind is None:
            self.close()
            return
        self._process.kill()
        self._process.wait()
        self._process.stdin.close()
        self._process.stdout.close()
        self._usage.close()


def drop_written(*paths):
    """Removes what a contender wrote and flushes the rest to disk, so the next
    contender does not pay for its predecessor's writeback."""
    for path in paths:
        path = Path(path)
        if path.is_dir():
            remove_tree(path)
        else:
            path.unlink(missing_ok=True)
    os.sync()


def read_through(*paths):
    """Reads files once so that the measured runs find them in the page cache."""
    for path in paths:
        with open(path, "rb") as file:
            while file.read(1 << 20):
                pass


# Photos: a few small JPEG templates with a placeholder EXIF date, copied with
# each copy's own date patched in, so that 100,000 distinct files take seconds
# to write and their dates give the listing an order.
DATE_PLACEHOLDER = b"2000:01:01 00:00:00"
DATE_OFFSET = "+01:00"
TEMPLATE_SHAPES = (  # width, height, EXIF orientation
    (320, 240, 1), (640, 480, 1), (480, 360, 1), (400, 300, 6),
    (360, 480, 1), (512, 384, 1), (300, 400, 1), (576, 432, 6),
)


def make_jpeg_templates(folder):
    """JPEGs of the shapes above with EXIF dates to patch: a list of (head, tail)
    byte strings, the date going between them."""
    folder.mkdir(parents=True, exist_ok=True)
    templates = []
    for number, (width, height, orientation) in enumerate(TEMPLATE_SHAPES):
        noise = folder / f"noise{number}.v"
        jpeg = folder / f"template{number}.jpg"
        subprocess.run(["vips", "perlin", noise, str(width), str(height), "--cell-size", "48", "--seed", str(number)],
                       check=True)
        # A one-band image with three-element constants comes out in three bands: a tinted picture.
        tint = f"{90 + 20 * number} {120 - 10 * number} {60 + 15 * number}"
        subprocess.run(["vips", "linear", noise, f"{jpeg}[Q=82,strip]", tint, "128", "--uchar"], check=True)
        noise.unlink()
        subprocess.run(["exiftool", "-q", "-overwrite_original", f"-DateTimeOriginal={DATE_PLACEHOLDER.decode()}",
                        "-SubSecTimeOriginal=000", f"-OffsetTimeOriginal={DATE_OFFSET}", "-Make=Vek", "-Model=Bench Camera",
                        f"-Orientation#={orientation}", jpeg], check=True)
        content = jpeg.read_bytes()
        if content.count(DATE_PLACEHOLDER) != 1:
            raise RuntimeError(f"{jpeg} does not hold its EXIF date exactly once")
        head, tail = content.split(DATE_PLACEHOLDER)
        templates.append((head, tail))
    return templates


def photo_dates(count, seed):
    """count distinct EXIF dates between 2010 and 2024, in shuffled order."""
    first = datetime.datetime(2010, 1, 1)
    step = (datetime.datetime(2024, 12, 31) - first) / max(count, 1)
    offsets = list(range(count))
    random.Random(seed).shuffle(offsets)
    return [(first + step * offset).replace(microsecond=0) for offset in offsets]


def write_jpegs(templates, paths, dates):
    """Writes one JPEG per path, each a new file with its own date."""
    made = set()
    for number, (path, date) in enumerate(zip(paths, dates)):
        if path.parent not in made:
            path.parent.mkdir(parents=True, exist_ok=True)
            made.add(path.parent)
        head, tail = templates[number % len(templates)]
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644)
        try:
            os.write(descriptor, head + date.strftime("%Y:%m:%d %H:%M:%S").encode() + tail)
        finally:
            os.close(descriptor)


def date_ms(date):
    """The milliseconds since 1970 of a date written into a template."""
    zone = datetime.datetime.strptime(DATE_OFFSET, "%z").tzinfo
    return int(date.replace(tzinfo=zone).timestamp() * 1000)


class LoadSampler:
    """Samples the 1-minute load average every second while it is open."""

    def __init__(self):
        self._samples = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while True:
            with open("/proc/loadavg") as loadavg:
                self._samples.append(float(loadavg.read().split()[0]))
            if self._stop.wait(1.0):
                return

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exception):
        self._stop.set()
        self._thread.join()

    def summary(self):
        samples = self._samples or [0.0]
        return (f"1-minute load average on {os.cpu_count()} cores: min {min(samples):.2f}, "
                f"median {statistics.median(samples):.2f}, max {max(samples):.2f} ({len(samples)} samples)")


class Results:
    """Every measurement of every contender, by metric."""

    def __init__(self):
        self._values = {}

    def add(self, contender, metrics):
        for metric, value in metrics.items():
            self._values.setdefault(contender, {}).setdefault(metric, []).append(value)

    def median(self, contender, metric):
        return statistics.median(self._values[contender][metric])

    def worst(self, contender, metric):
        return max(self._values[contender][metric])

    def has(self, contender, metric):
        return metric in self._values.get(contender, {})

    def table(self):
        lines = ["| contender | runs | " + " | ".join(f"median {metric}" for metric in METRICS) + " |",
                 "|---|---:|" + "---:|" * len(METRICS)]
        for contender, metrics in self._values.items():
            runs = max(len(values) for values in metrics.values())
            cells = [f"{statistics.median(metrics[metric]):.3f}" if metric in metrics else "" for metric in METRICS]
            lines.append(f"| {contender} | {runs} | " + " | ".join(cells) + " |")
        return "\n".join(lines)

    def raw(self):
        return self._values


def interleave(reps, units, results, log, warm_ups=None, before_each=None):
    """Runs the warm-up units (all units unless named) once unmeasured, for
    loaded binaries and a warm page cache, then reps rounds of all units, each
    round starting one unit further on so that no contender always follows
    the same neighbour. before_each, when given, runs untimed before every
    measured unit (to bring files back into a page cache that the machine may
    have trimmed). A unit returns {contender: metrics}."""
    for label, unit in units if warm_ups is None else warm_ups:
        log(f"warm-up: {label}")
        unit()
    for rep in range(reps):
        shift = rep % len(units)
        for label, unit in units[shift:] + units[:shift]:
            if before_each:
                before_each()
            measured = unit()
            for contender, metrics in measured.items():
                results.add(contender, metrics)
            summary = ", ".join(f"{contender} {metrics.get(PROCESS, metrics.get(REQUEST)):.3f} s"
                                for contender, metrics in measured.items())
            log(f"rep {rep + 1}/{reps}: {summary}")


class Target:
    """A goal: a ratio of two medians at most a limit, or a peak (the largest
    value of any run) under a limit."""

    def __init__(self, name, value, limit, unit="", reference=None):
        self.name = name
        self.value = value          # (contender, metric)
        self.reference = reference  # (contender, metric), or None for an absolute limit
        self.limit = limit
        self.unit = unit

    def row(self, results):
        cpu = ""
        if self.reference is None:
            value = results.worst(*self.value)
            shown = f"{value:.1f} {self.unit} (largest of all runs)"
            met = value < self.limit
            limit = f"< {self.limit} {self.unit}"
        else:
            value = results.median(*self.value)
            reference = results.median(*self.reference)
            measured = value / reference
            shown = f"{value:.3f} / {reference:.3f} = {measured:.2f}x"
            met = measured <= self.limit
            limit = f"<= {self.limit}x"
            contender, other = self.value[0], self.reference[0]
            if results.has(contender, CPU) and results.has(other, CPU) and results.median(other, CPU) > 0:
                cpu = f"{results.median(contender, CPU) / results.median(other, CPU):.2f}x"
        return f"| {self.name} | {shown} | {limit} | {'met' if met else 'MISSED'} | {cpu} |"


def report(title, work, results, targets, notes, load):
    """Prints the report and keeps it, with every raw measurement, under the work folder."""
    lines = [f"## {title}", "", *notes, "", load, "", results.table(), "",
             "| target | measured (medians) | limit | verdict | CPU-time ratio |", "|---|---|---|---|---:|",
             *(target.row(results) for target in targets)]
    text = "\n".join(lines) + "\n"
    print("\n" + text)
    (work / "report.md").write_text(text)
    (work / "measurements.json").write_text(json.dumps(results.raw(), indent=1))
    print(f"Kept in {work / 'report.md'} and {work / 'measurements.json'}")


def keep_report(folder, text, results):
    """Prints a report built by the benchmark itself and keeps it, with every
    raw measurement, in the folder."""
    print("\n" + text)
    (folder / "report.md").write_text(text)
    (folder / "measurements.json").write_text(json.dumps(results.raw(), indent=1))
    print(f"Kept in {folder / 'report.md'} and {folder / 'measurements.json'}")


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", flush=True)
