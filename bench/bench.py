#!/usr/bin/env python3
"""Times dravik against cp (and truncate) on generated files and prints a Markdown table.

Normally started by bench/run.sh, which builds dravik first. Settings come from the
environment; see bench/README.md. Progress goes to standard error, the table to standard
output (and to BENCH_DIR/results/results.md).
"""

import datetime
import glob
import hashlib
import json
import os
import platform
import pty
import random
import re
import shlex
import shutil
import subprocess
import statistics
import sys
import tempfile

KIB, MIB, GIB, TIB = 1 << 10, 1 << 20, 1 << 30, 1 << 40
EXTENT = 64 * KIB          # unit of the image and sparse layouts
BLOCK = 8 * MIB            # generation write size
GENERATOR = 1              # bump when a generator changes, so old sources are rebuilt
CP = ["cp", "--sparse=always", "--reflink=never"]
# dravik pinned to one processor copies with one worker.
ONE_WORKER = ["taskset", "-c", "0"]
CASES = ["random", "image", "binary", "sparse", "zero", "folder", "create", "display"]
FOLDER_FILE = 64 * KIB

# Maps byte 0 to a non-zero value and leaves the others alone.
NONZERO = bytes([0x5A]) + bytes(range(1, 256))
ZEROS = bytes(BLOCK)


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def env_float(name, default):
    value = os.environ.get(name, "")
    return float(value) if value else default


def scaled(size, scale, unit=EXTENT):
    """size × scale rounded to a whole number of units, at least one unit."""
    return max(unit, round(size * scale / unit) * unit)


def nonzero_bytes(rng, n):
    return rng.randbytes(n).translate(NONZERO)


def human_bytes(n):
    if n is None:
        return "–"
    for unit, div in (("GiB", GIB), ("MiB", MIB), ("KiB", KIB)):
        if n >= div:
            return f"{n / div:.1f} {unit}"
    return f"{n} B"


def human_time(seconds):
    if seconds is None:
        return "failed"
    if seconds < 1:
        return f"{seconds * 1000:.1f} ms"
    return f"{seconds:.3f} s"


def size_word(n):
    """n bytes as the shortest SIZE that dravik /c and truncate -s both read the same way."""
    for suffix, div in (("T", TIB), ("G", GIB), ("M", MIB), ("K", KIB)):
        if n % div == 0:
            return f"{n // div}{suffix}"
    return str(n)


def allocated(path):
    """Bytes allocated on disk to a file, or to every file in a folder."""
    if os.path.isdir(path):
        return sum(allocated(os.path.join(path, name)) for name in os.listdir(path))
    return os.stat(path).st_blocks * 512


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


# ---------------------------------------------------------------------------------------
# Sources. Each generator writes its file(s) and returns the sha256 of the content; a marker
# next to the source records the layout, size, mtime and that checksum, so a later run with
# BENCH_KEEP reuses the file instead of writing it again.


class Writer:
    """Writes a file in order from data blocks and zero runs, hashing what it writes.
    Zero runs become holes (sparse=True) or written zeros."""

    def __init__(self, path, sparse=False):
        self.file = open(path, "wb", buffering=0)
        self.sparse = sparse
        self.hash = hashlib.sha256()
        self.pending = bytearray()
        self.size = 0

    def data(self, block):
        self.hash.update(block)
        self.pending += block
        self.size += len(block)
        if len(self.pending) >= BLOCK:
            self.flush()

    def zeros(self, n):
        if not self.sparse:
            for start in range(0, n, BLOCK):
                self.data(memoryview(ZEROS)[: min(BLOCK, n - start)])
            return
        self.flush()
        self.file.seek(n, os.SEEK_CUR)
        self.size += n
        for start in range(0, n, BLOCK):
            self.hash.update(memoryview(ZEROS)[: min(BLOCK, n - start)])

    def flush(self):
        view = memoryview(self.pending)
        while view:
            view = view[self.file.write(view):]
        self.pending = bytearray()

    def close(self):
        self.flush()
        self.file.truncate(self.size)  # a trailing hole needs the length set
        self.file.close()
        return self.hash.hexdigest()


def gen_random(path, size, seed):
    """Random bytes 1..255: data throughout, not one zero byte."""
    rng = random.Random(seed)
    out = Writer(path)
    for start in range(0, size, BLOCK):
        out.data(nonzero_bytes(rng, min(BLOCK, size - start)))
    return out.close()


def gen_image(path, size, seed):
    """Disk-image-like: 64 KiB extents, a fifth of them random data, the rest written zeros."""
    rng = random.Random(seed)
    count = size // EXTENT
    data = set(rng.sample(range(count), round(count * 0.2)))
    out = Writer(path)
    for index in range(count):
        if index in data:
            out.data(nonzero_bytes(rng, EXTENT))
        else:
            out.zeros(EXTENT)
    return out.close()


def gen_binary(path, size, seed):
    """Executable-like: every 4th byte zero, the others non-zero random."""
    rng = random.Random(seed)
    out = Writer(path)
    for start in range(0, size, BLOCK):
        block = bytearray(nonzero_bytes(rng, min(BLOCK, size - start)))
        block[3::4] = bytes(len(range(3, len(block), 4)))
        out.data(block)
    return out.close()


def sparse_layout(size, seed):
    """5% data in extents of 64 KiB–1 MiB at seeded 64 KiB-aligned places: [(offset, length)]."""
    rng = random.Random(seed)
    target = max(EXTENT, round(size * 0.05 / EXTENT) * EXTENT)
    lengths, total = [], 0
    while total < target:
        lengths.append(min(rng.randint(1, 16) * EXTENT, target - total))
        total += lengths[-1]
    hole_units = (size - target) // EXTENT
    cuts = sorted(rng.randint(0, hole_units) for _ in lengths)
    layout, offset, previous = [], 0, 0
    for cut, length in zip(cuts, lengths):
        offset += (cut - previous) * EXTENT
        previous = cut
        layout.append((offset, length))
        offset += length
    return layout


def gen_sparse(path, size, seed):
    """A sparse file: data extents from sparse_layout, holes (never written) elsewhere."""
    rng = random.Random(seed + 1000)
    out = Writer(path, sparse=True)
    for offset, length in sparse_layout(size, seed):
        out.zeros(offset - out.size)
        out.data(nonzero_bytes(rng, length))
    out.zeros(size - out.size)
    return out.close()


def gen_zero(path, size, seed):
    """All zeros, written, so every block is allocated."""
    out = Writer(path)
    out.zeros(size)
    return out.close()


def folder_file(rng):
    """64 KiB alternating data and zero runs of 512 B–16 KiB, about half of each."""
    content = bytearray()
    is_data = rng.random() < 0.5
    while len(content) < FOLDER_FILE:
        n = min(rng.randint(1, 32) * 512, FOLDER_FILE - len(content))
        content += nonzero_bytes(rng, n) if is_data else bytes(n)
        is_data = not is_data
    return content


def gen_folder(path, count, seed):
    rng = random.Random(seed)
    os.makedirs(path)
    digest = hashlib.sha256()
    for index in range(count):
        content = folder_file(rng)
        digest.update(content)
        with open(os.path.join(path, f"f{index:04d}.bin"), "wb") as f:
            f.write(content)
    return digest.hexdigest()


class Source:
    def __init__(self, name, kind, generator, size, seed, count=None, real=None):
        self.name, self.kind, self.generator = name, kind, generator
        self.size, self.seed, self.count = size, seed, count
        self.real = size if real is None else real  # bytes of disk it takes

    def layout(self):
        return {"generator": GENERATOR, "kind": self.kind, "size": self.size,
                "seed": self.seed, "count": self.count}

    def ensure(self, folder):
        path = os.path.join(folder, self.name)
        marker = path + ".marker.json"
        if self.reusable(path, marker):
            log(f"  reusing {path} ({human_bytes(allocated(path))} allocated)")
            return path
        remove(path)
        remove(marker)
        log(f"  generating {path} ({self.describe()})")
        argument = self.count if self.count is not None else self.size
        checksum = self.generator(path, argument, self.seed)
        if self.apparent(path) != self.size or allocated(path) < self.real:
            sys.exit(f"generated {path} is {self.apparent(path)} bytes with "
                     f"{allocated(path)} allocated; expected {self.size} with {self.real}")
        with open(marker, "w") as f:
            json.dump({**self.layout(), "apparent": self.apparent(path),
                       "mtime_ns": self.mtime(path), "sha256": checksum}, f, indent=1)
        log(f"  {human_bytes(allocated(path))} allocated")
        return path

    def reusable(self, path, marker):
        try:
            with open(marker) as f:
                saved = json.load(f)
            return ({k: saved.get(k) for k in self.layout()} == self.layout()
                    and saved["apparent"] == self.apparent(path)
                    and saved["mtime_ns"] == self.mtime(path))
        except (OSError, ValueError, KeyError):
            return False

    @staticmethod
    def apparent(path):
        if os.path.isdir(path):
            return sum(os.path.getsize(p) for p in glob.glob(os.path.join(path, "*")))
        return os.path.getsize(path)

    @staticmethod
    def mtime(path):
        if os.path.isdir(path):
            return max((os.stat(p).st_mtime_ns for p in glob.glob(os.path.join(path, "*"))),
                       default=0)
        return os.stat(path).st_mtime_ns

    def describe(self):
        if self.count is not None:
            return f"{self.count} × {human_bytes(FOLDER_FILE)}"
        if self.real != self.size:
            return f"{human_bytes(self.size)}, {human_bytes(self.real)} data"
        return human_bytes(self.size)


def make_sources(scale):
    sparse_size = scaled(16 * GIB, scale)
    sparse_data = sum(length for _, length in sparse_layout(sparse_size, 4))
    return {
        "random": Source("random.bin", "random", gen_random, scaled(512 * MIB, scale), 1),
        "image": Source("image.img", "image", gen_image, scaled(2 * GIB, scale), 2),
        "binary": Source("binary.bin", "binary", gen_binary, scaled(256 * MIB, scale), 3),
        "sparse": Source("sparse.img", "sparse", gen_sparse, sparse_size, 4, real=sparse_data),
        "zero": Source("zero.bin", "zero", gen_zero, scaled(4 * GIB, scale), 5),
        "folder": Source("folder", "folder", gen_folder, FOLDER_FILE * max(1, round(2000 * scale)),
                         6, count=max(1, round(2000 * scale))),
        # Long enough to show the progress display (from a second into a copy) for a while.
        "display": Source("display.bin", "random", gen_random, scaled(8 * GIB, scale), 7),
    }


# ---------------------------------------------------------------------------------------
# Measuring


def hyperfine(json_path, runs, prepare, commands):
    """Times every (name, command) under the same prepare step, in `runs` rounds of one
    hyperfine run each: the commands take turns (their order alternating from round to
    round), so a drift in the machine's speed hits them alike. The first round starts with
    a warm-up run of each. Writes every time to json_path and returns {name: [seconds of
    each round]}, None for a command that failed in any run."""
    times = {name: [] for name, _ in commands}
    codes = {name: [] for name, _ in commands}
    for turn in range(runs):
        # --ignore-failure keeps one failing tool from costing the other one its timing;
        # the exit codes are in the JSON.
        argv = ["hyperfine", "--warmup", "1" if turn == 0 else "0", "--runs", "1",
                "--prepare", prepare, "--ignore-failure", "--export-json", json_path]
        for name, command in (commands if turn % 2 == 0 else commands[::-1]):
            argv += ["-n", name, command]
        result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=sys.stderr)
        if result.returncode != 0:
            log(f"  hyperfine failed (exit {result.returncode})")
            return {name: None for name, _ in commands}
        with open(json_path) as f:
            for r in json.load(f)["results"]:
                times[r["command"]] += r["times"]
                codes[r["command"]] += r.get("exit_codes") or [1]
    with open(json_path, "w") as f:
        json.dump({"results": [{"command": name, "times": times[name], "exit_codes": codes[name],
                                "median": statistics.median(times[name])}
                               for name, _ in commands]}, f, indent=1)
    return {name: None if any(codes[name]) else times[name] for name, _ in commands}


def run_measured(argv):
    """Runs a tool once with standard input at its end; returns (exit code, peak RSS bytes, output)."""
    if os.access("/usr/bin/time", os.X_OK):
        with tempfile.NamedTemporaryFile("r") as rss:
            result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss.name, *argv],
                                    stdin=subprocess.DEVNULL, capture_output=True)
            text = rss.read().strip().splitlines()
            peak = int(text[-1]) * KIB if text and text[-1].isdigit() else None
    else:
        # A fresh interpreter per run, so the maximum covers this one child; it includes
        # the interpreter's own pages, which the tool inherits until it execs.
        code = ("import resource,subprocess,sys;"
                "r=subprocess.run(sys.argv[1:],stdin=subprocess.DEVNULL,capture_output=True);"
                "sys.stderr.buffer.write(r.stdout+r.stderr);"
                "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss);"
                "sys.exit(r.returncode)")
        result = subprocess.run([sys.executable, "-c", code, *argv],
                                stdin=subprocess.DEVNULL, capture_output=True)
        lines = result.stdout.decode().split()
        peak = int(lines[-1]) * KIB if lines and lines[-1].isdigit() else None
        result.stdout = b""  # the launcher's stdout held only the number
    output = (result.stdout + result.stderr).decode("utf-8", "replace")
    return result.returncode, peak, output


def compare(source, copy):
    """cmp of a file, or of every file of a folder, against its copy; returns problems."""
    pairs = [(source, copy)]
    if os.path.isdir(source):
        names = sorted(os.listdir(source))
        extra = sorted(set(os.listdir(copy)) - set(names)) if os.path.isdir(copy) else []
        pairs = [(os.path.join(source, n), os.path.join(copy, n)) for n in names]
        problems = [f"unexpected file {n} in {copy}" for n in extra]
    else:
        problems = []
    for a, b in pairs:
        result = subprocess.run(["cmp", a, b], stdin=subprocess.DEVNULL,
                                capture_output=True, text=True)
        if result.returncode != 0:
            problems.append((result.stdout + result.stderr).strip() or f"cmp {a} {b} failed")
    return problems


def check_zero_file(path, size):
    """The created file is SIZE bytes of zeros: every range the file system reports as data
    reads as zeros (holes read as zeros by definition)."""
    if not os.path.isfile(path):
        return [f"{path} was not created"]
    problems = []
    if os.path.getsize(path) != size:
        problems.append(f"{path}: {os.path.getsize(path)} bytes, expected {size}")
    fd = os.open(path, os.O_RDONLY)
    try:
        offset = 0
        while True:
            try:
                start = os.lseek(fd, offset, os.SEEK_DATA)
            except OSError:
                break  # no data after offset
            end = os.lseek(fd, start, os.SEEK_HOLE)
            os.lseek(fd, start, os.SEEK_SET)
            while start < end:
                block = os.read(fd, min(BLOCK, end - start))
                if not block:
                    break
                if block.count(0) != len(block):
                    problems.append(f"{path}: non-zero byte near offset {start}")
                    return problems
                start += len(block)
            offset = end
    finally:
        os.close(fd)
    return problems


def on_terminal(terminal, argv):
    """Runs argv with standard error on a new pseudo-terminal (TERM=xterm) whose output is
    read and kept, or on /dev/null; returns the exit code and what the terminal got."""
    env = dict(os.environ, TERM="xterm")
    if not terminal:
        return subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, env=env).returncode, b""
    master, slave = pty.openpty()
    program = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=slave, env=env)
    os.close(slave)
    shown = b""
    try:
        while piece := os.read(master, 4096):
            shown += piece
    except OSError:  # the terminal has no writer left
        pass
    os.close(master)
    return program.wait(), shown


def run_display_case(path, dravik, folder, results, runs):
    """Times a long copy with the progress display on (standard error a terminal) and off
    (standard error /dev/null), through the same launcher; returns a table row."""
    q = shlex.quote
    out = os.path.join(folder, "out", "display")
    launcher = f"{q(sys.executable)} {q(os.path.abspath(__file__))} --terminal"
    commands = [(f"display {side}", f"{launcher} {side} {q(dravik)} {q(path)} {q(out)}")
                for side in ("off", "on")]
    log(f"  timing ({runs} rounds, the two in turn, after 1 warm-up)")
    times = hyperfine(os.path.join(results, "display.json"), runs, f"rm -f {q(out)}", commands)
    remove(out)
    code, shown = on_terminal(True, [dravik, path, out])
    problems = [] if code == 0 else [f"dravik exited with {code}"]
    problems += compare(path, out)
    if b"\x1b]2;" not in shown:
        problems.append("the terminal showed no progress")
    remove(out)
    log(f"  {len(shown)} bytes of title and progress on the terminal")
    return {"times": times, "problems": [f"display: {p}" for p in problems]}


def run_case(case, source, path, dravik, folder, results, runs):
    """Times one case and checks every tool's output; returns a table row."""
    q = shlex.quote
    out = os.path.join(folder, "out", case)
    remove(out)
    other = "truncate" if case == "create" else "cp"
    one = " ".join(ONE_WORKER)
    if case == "folder":
        prepare = f"rm -rf {q(out)} && mkdir {q(out)}"
        copy = f"{q(path + '/*')} {q(out)} </dev/null"
        commands = [("dravik", f"{q(dravik)} {copy}"), ("dravik1", f"{one} {q(dravik)} {copy}"),
                    ("cp", f"{' '.join(CP)} {q(path)}/* {q(out)}/ </dev/null")]
    elif case == "create":
        word = size_word(source)
        prepare = f"rm -f {q(out)}"
        commands = [("dravik", f"{q(dravik)} /c {q(out)} {word} </dev/null"),
                    ("truncate", f"truncate -s {word} {q(out)} </dev/null")]
    else:
        prepare = f"rm -f {q(out)}"
        copy = f"{q(path)} {q(out)} </dev/null"
        commands = [("dravik", f"{q(dravik)} {copy}"), ("dravik1", f"{one} {q(dravik)} {copy}"),
                    ("cp", f"{' '.join(CP)} {copy}")]
    log(f"  timing ({runs} rounds, the tools in turn, after 1 warm-up)")
    times = hyperfine(os.path.join(results, f"{case}.json"), runs, prepare, commands)

    row = {"times": times, "allocated": {}, "rss": {}, "problems": []}
    for name, _ in commands:
        remove(out)
        tool = [dravik] if name == "dravik" else [*ONE_WORKER, dravik]
        if case == "folder":
            os.mkdir(out)
            argv = ([*tool, path + "/*", out] if name != "cp" else
                    [*CP, *sorted(glob.glob(os.path.join(glob.escape(path), "*"))), out + "/"])
        elif case == "create":
            argv = ([dravik, "/c", out, size_word(source)] if name == "dravik" else
                    ["truncate", "-s", size_word(source), out])
        else:
            argv = [*tool, path, out] if name != "cp" else [*CP, path, out]
        code, peak, output = run_measured(argv)
        problems = [] if code == 0 else [f"{name} exited with {code}: {output.strip()}"]
        if case == "create":
            problems += check_zero_file(out, source)
        else:
            problems += compare(path, out)
        row["rss"][name] = peak
        # Written out first: until then the file system counts blocks it only expects to use.
        os.sync()
        row["allocated"][name] = allocated(out) if os.path.exists(out) else None
        row["problems"] += [f"{case}, {name}: {p}" for p in problems]
        log(f"  {name}: {'identical' if not problems else 'DIFFERENT'}, "
            f"{human_bytes(row['allocated'][name])} allocated, peak RSS {human_bytes(peak)}")
    remove(out)
    if case == "sparse":
        # cmp read the holes too, which filled the page cache with zeros; let them go so
        # the later cases are not slowed down by reclaim.
        fd = os.open(path, os.O_RDONLY)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(fd)
    return row


# ---------------------------------------------------------------------------------------
# Report


def command_output(argv):
    try:
        return subprocess.run(argv, capture_output=True, text=True,
                              stdin=subprocess.DEVNULL).stdout.strip()
    except OSError:
        return ""


def machine(folder, dravik):
    cpu = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    cpu = cpu or platform.processor() or platform.machine()
    with open("/proc/meminfo") as f:
        ram = next(int(l.split()[1]) * KIB for l in f if l.startswith("MemTotal:"))
    fs = command_output(["findmnt", "-n", "-o", "FSTYPE", "-T", folder]) or \
        command_output(["stat", "-f", "-c", "%T", folder])
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    commit = command_output(["git", "-C", root, "rev-parse", "--short", "HEAD"])
    build_type = ""
    cache = os.path.join(os.path.dirname(dravik), "CMakeCache.txt")
    if os.path.exists(cache):
        with open(cache) as f:
            match = re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", f.read(), re.M)
            build_type = match.group(1) if match else ""
    return [
        ("CPU", f"{cpu}, {os.cpu_count()} cores ({len(os.sched_getaffinity(0))} usable)"),
        ("RAM", human_bytes(ram)),
        ("File system of the work folder", f"{fs} ({folder})"),
        ("Kernel", f"{platform.system()} {platform.release()}"),
        ("Date", datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")),
        ("dravik", f"commit {commit or '?'}, {build_type or 'unknown'} build"),
        ("Baselines", f"{command_output(['cp', '--version']).splitlines()[0]}; "
                      f"{command_output(['truncate', '--version']).splitlines()[0]}"),
        ("hyperfine", command_output(["hyperfine", "--version"])),
    ]


def per_round(mine, theirs):
    """The median of the per-round ratios of two tools' times, as text."""
    if not mine or not theirs or not all(theirs):
        return "–"
    return f"{statistics.median(a / b for a, b in zip(mine, theirs)):.2f}"


def display_table(row, source):
    times = row["times"]
    off, on = times["display off"], times["display on"]
    median = lambda t: human_time(statistics.median(t)) if t else "failed"
    return ["", "Progress display: the same copy with standard error on a terminal (the title "
            "and progress shown) and on /dev/null (nothing shown), both through one launcher.",
            "", "| file | display off | display on | ratio on/off |", "|---|---:|---:|---:|",
            f"| {source.describe()} | {median(off)} | {median(on)} | {per_round(on, off)} |"]


def table(rows, sources, scale, runs, folder, dravik, load):
    lines = ["| file | dravik | dravik, 1 worker | cp | ratio | ratio, 1 worker "
             "| dravik allocated | cp allocated | dravik peak RSS | cp peak RSS |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for case, row in rows.items():
        if case == "display":
            continue
        other = "truncate" if case == "create" else "cp"
        if case == "create":
            label = f"create {size_word(sources['create'])} (vs truncate)"
        else:
            label = f"{case} ({sources[case].describe()})"
        times = row["times"]
        median = {name: statistics.median(t) if t else None for name, t in times.items()}
        lines.append(f"| {label} | {human_time(median['dravik'])} "
                     f"| {human_time(median.get('dravik1')) if 'dravik1' in times else '–'} "
                     f"| {human_time(median[other])} | {per_round(times['dravik'], times[other])} "
                     f"| {per_round(times.get('dravik1'), times[other])} "
                     f"| {human_bytes(row['allocated']['dravik'])} "
                     f"| {human_bytes(row['allocated'][other])} "
                     f"| {human_bytes(row['rss']['dravik'])} | {human_bytes(row['rss'][other])} |")
    if "display" in rows:
        lines += display_table(rows["display"], sources["display"])
    problems = [p for row in rows.values() for p in row["problems"]]
    lines.append("")
    if problems:
        lines.append("**Output check FAILED:**")
        lines += [f"- {p}" for p in problems]
    else:
        lines.append("Every output is identical to its source (`cmp`; the created files "
                     "read as zeros and have the requested length).")
    rss = ("GNU time `%M`" if os.access("/usr/bin/time", os.X_OK) else
           "getrusage of a Python launcher (includes the launcher's own pages)")
    lines += ["",
              f"Scale {scale:g}, {runs} rounds after 1 warm-up, the tools taking turns "
              f"(hyperfine, one run each per round, the order alternating); times are medians, "
              f"ratios the median of the per-round ratios dravik/cp (truncate for create). "
              f"`dravik, 1 worker` runs pinned to one processor (`{' '.join(ONE_WORKER)}`). "
              f"Page cache warm, destinations deleted before every run and not flushed to disk. "
              f"Peak RSS from {rss}.",
              "", f"Load while it ran: {load}.",
              "", "| machine | |", "|---|---|"]
    lines += [f"| {k} | {v} |" for k, v in machine(folder, dravik)]
    return "\n".join(lines) + "\n", not problems


def cpu_times():
    """Seconds of CPU the whole machine has spent busy and in all, from /proc/stat."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    ticks = os.sysconf("SC_CLK_TCK")
    idle = fields[3] + fields[4]  # idle and iowait
    return (sum(fields) - idle) / ticks, sum(fields) / ticks


class Load:
    """What else the machine did while the benchmark ran: the load average at both ends, and
    the CPU time that processes other than the benchmark's used, as a share of all CPUs."""

    def __init__(self):
        self.loadavg = os.getloadavg()[0]
        self.busy, self.total = cpu_times()
        self.ours = self.own_cpu()

    @staticmethod
    def own_cpu():
        mine = os.times()
        return mine.user + mine.system + mine.children_user + mine.children_system

    def report(self):
        busy, total = cpu_times()
        others = (busy - self.busy) - (self.own_cpu() - self.ours)
        share = max(0.0, others) / max(1e-9, total - self.total)
        return (f"load average {self.loadavg:.2f} at the start, {os.getloadavg()[0]:.2f} at "
                f"the end; other processes used {share:.1%} of the machine's CPU time")


def main():
    scale = env_float("BENCH_SCALE", 1.0)
    runs = int(os.environ.get("BENCH_RUNS") or 5)
    keep = os.environ.get("BENCH_KEEP", "") not in ("", "0")
    here = os.path.dirname(os.path.abspath(__file__))
    folder = os.path.abspath(os.environ.get("BENCH_DIR") or os.path.join(here, "work"))
    dravik = os.path.abspath(os.environ.get("BENCH_DRAVIK") or
                             os.path.join(here, "..", "build", "native", "dravik"))
    only = [c.strip() for c in os.environ.get("BENCH_ONLY", "").split(",") if c.strip()]
    unknown = [c for c in only if c not in CASES]
    if unknown or scale <= 0 or runs < 1:
        log(f"bad settings: BENCH_ONLY takes {','.join(CASES)}; BENCH_SCALE > 0; BENCH_RUNS >= 1")
        return 2
    cases = [c for c in CASES if not only or c in only]
    if not os.access(dravik, os.X_OK):
        log(f"no dravik at {dravik}")
        return 2
    for tool in ("hyperfine", "cmp", "cp", "truncate"):
        if not shutil.which(tool):
            log(f"{tool} is missing (tools/install-deps.sh --all installs hyperfine)")
            return 2
    if not os.access("/usr/bin/time", os.X_OK):
        log("note: /usr/bin/time (Debian package time) is missing; "
            "peak RSS comes from getrusage and includes a Python launcher")

    src, results = os.path.join(folder, "src"), os.path.join(folder, "results")
    for d in (src, results, os.path.join(folder, "out")):
        os.makedirs(d, exist_ok=True)
    sources = make_sources(scale)
    sources["create"] = max(MIB, round(TIB * scale / MIB) * MIB)

    # Disk: the sources still to write, plus the largest destination (one exists at a time),
    # reckoned as if no tool left a hole in a fully written source.
    missing = sum(s.real for c, s in sources.items() if c in cases and c != "create"
                  and not s.reusable(os.path.join(src, s.name),
                                     os.path.join(src, s.name) + ".marker.json"))
    largest = max([s.real for c, s in sources.items() if c in cases and c != "create"],
                  default=0)
    margin = min(512 * MIB, max(64 * MIB, largest // 4))
    free = shutil.disk_usage(folder).free
    if missing + largest + margin > free:
        log(f"not enough disk in {folder}: need about {human_bytes(missing + largest + margin)} "
            f"({human_bytes(missing)} of sources to write, {human_bytes(largest)} for the largest "
            f"copy), {human_bytes(free)} free. Lower BENCH_SCALE, pick cases with BENCH_ONLY, "
            f"or point BENCH_DIR elsewhere.")
        return 2

    rows = {}
    load = Load()
    try:
        for case in cases:
            log(f"[{case}]")
            path = None if case == "create" else sources[case].ensure(src)
            if case == "display":
                rows[case] = run_display_case(path, dravik, folder, results, runs)
            else:
                rows[case] = run_case(case, sources[case], path, dravik, folder, results, runs)
    finally:
        remove(os.path.join(folder, "out"))
        if not keep:
            remove(src)

    text, ok = table(rows, sources, scale, runs, folder, dravik, load.report())
    with open(os.path.join(results, "results.md"), "w") as f:
        f.write(text)
    sys.stdout.write(text)
    return 0 if ok else 1


if __name__ == "__main__":
    if sys.argv[1:2] == ["--terminal"]:  # the launcher of the display case
        sys.exit(on_terminal(sys.argv[2] == "on", sys.argv[3:])[0])
    sys.exit(main())
