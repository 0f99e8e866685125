#!/usr/bin/env python3
"""Times dravik against cp (and truncate) on generated files and prints a Markdown table to
standard output and BENCH_DIR/results/results.md. Started by bench/run.sh; settings and method:
bench/README.md."""

import contextlib, datetime, hashlib, heapq, itertools, json, os, platform, pty, random, shlex
import shutil, statistics, subprocess, sys
from subprocess import DEVNULL

KIB, MIB, GIB, TIB = 1 << 10, 1 << 20, 1 << 30, 1 << 40
EXTENT = 64 * KIB          # unit of the image and sparse layouts
BLOCK = 8 * MIB            # generation write size
GENERATOR = 2              # bump when a generator changes, so old sources are rebuilt
FOLDER_FILE, MANY_FILE = 64 * KIB, 4 * KIB
HUGE = 16 * TIB - MIB      # ext4 (4 KiB blocks) takes no file of 16 TiB
VAST, VAST_AT = 256 * TIB, 12345
NONZERO = bytes([0x5A]) + bytes(range(1, 256))  # maps byte 0 to a non-zero value
ZEROS = memoryview(bytes(BLOCK))
CP = "cp --sparse=always --reflink=never"
ONE_WORKER = "taskset -c 0"  # dravik pinned to one processor copies with one worker
CASES = ["random", "image", "binary", "sparse", "huge", "vast", "extents", "zero", "folder", "many",
         "create", "display"]
SPARSE = ("sparse", "huge", "vast", "extents")  # written with holes, checked by their data ranges
FOLDERS = ("folder", "many")
HERE = os.path.dirname(os.path.abspath(__file__))


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def human_bytes(n):
    if n is None:
        return "–"
    for unit, div in (("TiB", TIB), ("GiB", GIB), ("MiB", MIB), ("KiB", KIB)):
        if n >= div:
            return f"{n / div:.1f} {unit}"
    return f"{n} B"


def size_word(n):
    """n bytes as the shortest SIZE that dravik /c and truncate -s both read the same way."""
    return next((f"{n // d}{s}" for s, d in (("T", TIB), ("G", GIB), ("M", MIB), ("K", KIB))
                 if n % d == 0), str(n))


def files(path):  # the file, or the files in the folder
    return [os.path.join(path, n) for n in os.listdir(path)] if os.path.isdir(path) else [path]


def allocated(path):
    return sum(os.stat(p).st_blocks * 512 for p in files(path))


def remove(*paths):
    subprocess.run(["rm", "-rf", "--", *paths], check=True)


def first_line(*argv):  # the first line a tool prints, "" if there is none
    try:
        result = subprocess.run(argv, capture_output=True, text=True, stdin=DEVNULL)
        return result.stdout.strip().split("\n")[0]
    except OSError:
        return ""


def fs_type(path):
    return first_line("findmnt", "-n", "-o", "FSTYPE", "-T", path)


def refusal(work, size):
    """Why the work folder's file system takes no file of SIZE bytes (ext4 none of 256 TiB), or
    None. A probe file is set to that length, which allocates nothing, and removed."""
    probe = os.path.join(work, "out", "probe")
    try:
        with open(probe, "wb") as f:
            f.truncate(size)
    except OSError as error:
        return (f"the work folder's file system ({fs_type(work)}) takes no file of "
                f"{human_bytes(size)} ({error.strerror})")
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.remove(probe)
    return None


def data_ranges(fd):
    """The (start, end) ranges the file system reports as data, in order; holes are not read."""
    at, length = 0, os.fstat(fd).st_size
    while at < length:
        try:
            start = os.lseek(fd, at, os.SEEK_DATA)
        except OSError:  # no data after at
            return
        at = os.lseek(fd, start, os.SEEK_HOLE)
        yield start, at


def nonzero_bytes(rng, n):
    return rng.randbytes(n).translate(NONZERO)


def sparse_layout(size, seed):
    """5% data in extents of 64 KiB–1 MiB at seeded 64 KiB-aligned places: [(offset, length)]."""
    rng = random.Random(seed)
    target = max(EXTENT, round(size * 0.05 / EXTENT) * EXTENT)
    lengths, total = [], 0
    while total < target:
        lengths.append(min(rng.randint(1, 16) * EXTENT, target - total))
        total += lengths[-1]
    cuts = sorted(rng.randint(0, (size - target) // EXTENT) for _ in lengths)
    return [(cut * EXTENT + before, length)  # the extents before it, and the gaps up to its cut
            for cut, length, before in zip(cuts, lengths, itertools.accumulate(lengths, initial=0))]


def data_extents(kind, size, seed, real):
    """Where the data of a sparse source of SIZE bytes, REAL of them data, lies: (offset, length)
    in order."""
    if kind == "sparse":
        return sparse_layout(size, seed)
    if kind == "huge":  # three pieces: at the start, in the middle, and ending 1 MiB before the end
        piece = real // 3
        return [(0, piece), (size // 2 // EXTENT * EXTENT, piece), (size - MIB - piece, piece)]
    if kind == "vast":  # one byte, not at the start
        return [(VAST_AT, 1)]
    return ((at, 4 * KIB) for at in range(0, size, 8 * KIB))  # extents: 4 KiB data, 4 KiB hole


def generate(kind, size, seed, real=None):
    """A source's content in order, from a fixed seed: data (bytes 1..255, so every zero run is
    one the layout put there) and zero runs (a length). For a folder SIZE is the number of
    files, and every piece is a whole file. REAL: the bytes of data in a sparse source."""
    rng = random.Random(seed)
    if kind in ("random", "binary"):  # data throughout; executable-like: every 4th byte zero
        for start in range(0, size, BLOCK):
            block = bytearray(nonzero_bytes(rng, min(BLOCK, size - start)))
            if kind == "binary":
                block[3::4] = bytes(len(range(3, len(block), 4)))
            yield block
    elif kind == "image":  # disk-image-like: 64 KiB extents, a fifth of them data
        count = size // EXTENT
        data = set(rng.sample(range(count), round(count * 0.2)))
        for index in range(count):
            yield nonzero_bytes(rng, EXTENT) if index in data else EXTENT
    elif kind in SPARSE:  # the data extents of data_extents, from a stream of their own
        rng, end = random.Random(seed + 1000), 0
        for offset, length in data_extents(kind, size, seed, real):
            yield from (offset - end, nonzero_bytes(rng, length))
            end = offset + length
        yield size - end
    elif kind == "folder":  # files of 64 KiB alternating data and zero runs of 512 B–16 KiB
        for _ in range(size):
            content, is_data = bytearray(), rng.random() < 0.5
            while len(content) < FOLDER_FILE:
                n = min(rng.randint(1, 32) * 512, FOLDER_FILE - len(content))
                content += nonzero_bytes(rng, n) if is_data else bytes(n)
                is_data = not is_data
            yield content
    elif kind == "many":  # files of 4 KiB: 2 KiB of data, then 2 KiB of zeros
        for _ in range(size):
            yield nonzero_bytes(rng, MANY_FILE // 2) + bytes(MANY_FILE // 2)
    else:  # zero: all zeros
        yield size


def write(path, pieces, digest, holes=False):
    """Writes the pieces of generate(), zero runs as holes or as zeros, adding them to digest:
    a hole by its length only, so that making one reads and writes nothing."""
    with open(path, "wb", buffering=BLOCK) as f:
        for piece in pieces:
            if not isinstance(piece, int):
                digest.update(piece)
                f.write(piece)
            elif holes:
                digest.update(f"hole {piece}".encode())
                f.seek(piece, os.SEEK_CUR)
            else:
                for start in range(0, piece, BLOCK):
                    digest.update(zeros := ZEROS[: min(BLOCK, piece - start)])
                    f.write(zeros)
        f.truncate(f.tell())  # a trailing hole needs the length set


class Source:
    """A generated file (or folder of COUNT files) and the bytes of disk it takes (REAL). A marker
    next to it records its layout, size, mtime and sha256, so that with BENCH_KEEP a later run
    reuses it instead of writing it again."""

    def __init__(self, name, kind, size, seed, count=None, real=None):
        self.name, self.kind, self.size, self.seed, self.count = name, kind, size, seed, count
        self.real = real or size
        self.label = f"{count} × {human_bytes(size // count)}" if count else human_bytes(size) + (
            f", {human_bytes(real)} data" if real else "")

    def state(self, path):  # what the marker records, and a reused source must still match
        stats = [os.stat(p) for p in files(path)]
        return {"generator": GENERATOR, "kind": self.kind, "size": self.size, "seed": self.seed,
                "count": self.count, "real": self.real, "apparent": sum(s.st_size for s in stats),
                "mtime_ns": max((s.st_mtime_ns for s in stats), default=0)}

    def reusable(self, path):
        try:
            with open(path + ".marker.json") as f:
                return self.state(path).items() <= json.load(f).items()
        except (OSError, ValueError):
            return False

    def ensure(self, folder):
        """The source's path in folder, written there unless a marked one is there already."""
        path = os.path.join(folder, self.name)
        if self.reusable(path):
            log(f"  reusing {path}")
            return path
        remove(path, path + ".marker.json")
        log(f"  generating {path} ({self.label})")
        digest = hashlib.sha256()
        pieces = generate(self.kind, self.count or self.size, self.seed, self.real)
        if self.count:
            os.makedirs(path)
            for index, content in enumerate(pieces):
                write(os.path.join(path, f"f{index:04d}.bin"), [content], digest)
        else:
            write(path, pieces, digest, holes=self.kind in SPARSE)
        state, taken = self.state(path), allocated(path)
        if state["apparent"] != self.size or taken < self.real:
            sys.exit(f"generated {path} is {state['apparent']} bytes with {taken} allocated; "
                     f"expected {self.size} with {self.real}")
        with open(path + ".marker.json", "w") as f:
            json.dump({**state, "sha256": digest.hexdigest()}, f, indent=1)
        return path


def make_sources(scale):
    def scaled(size):  # a whole number of extents, at least one
        return max(EXTENT, round(size * scale / EXTENT) * EXTENT)
    sparse, count = scaled(16 * GIB), max(1, round(2000 * scale))
    extents, many = 8 * KIB * max(1, round(500_000 * scale)), max(1, round(50_000 * scale))
    return {"random": Source("random.bin", "random", scaled(512 * MIB), 1),
            "image": Source("image.img", "image", scaled(2 * GIB), 2),
            "binary": Source("binary.bin", "binary", scaled(256 * MIB), 3),
            "sparse": Source("sparse.img", "sparse", sparse, 4,
                             real=sum(length for _, length in sparse_layout(sparse, 4))),
            # Lengths that do not scale: only the data does.
            "huge": Source("huge.img", "huge", HUGE, 8, real=3 * scaled(4 * MIB)),
            "vast": Source("vast.img", "vast", VAST, 9, real=1),
            "extents": Source("extents.img", "extents", extents, 10, real=extents // 2),
            "zero": Source("zero.bin", "zero", scaled(4 * GIB), 5),
            "folder": Source("folder", "folder", FOLDER_FILE * count, 6, count=count),
            "many": Source("many", "many", MANY_FILE * many, 11, count=many),
            # Long enough to show the progress display (from a second into a copy) for a while.
            "display": Source("display.bin", "random", scaled(8 * GIB), 7)}


def commands(case, dravik, before, src, out, size):
    """The shell line that empties the destination, and {tool: shell line} of a case. BEFORE: an
    earlier dravik (or None), given the same command line as dravik."""
    q = shlex.quote
    builds = {"dravik": dravik, **({"before": before} if before else {})}
    if case == "create":
        lines = {name: f"{q(build)} /c {q(out)} {size_word(size)}"
                 for name, build in builds.items()} | {
                     "truncate": f"truncate -s {size_word(size)} {q(out)}"}
    elif case == "display":  # the same launcher for both; "on" prints what the terminal showed
        launcher = f"{q(sys.executable)} {q(os.path.abspath(__file__))} --terminal"
        lines = {f"display {side}": f"{launcher} {side} {q(dravik)} {q(src)} {q(out)}"
                 for side in ("off", "on")}
    else:  # for a folder, dravik expands the wildcard itself and the shell does it for cp
        mine, cp = f"{q(src)} {q(out)}", f"{CP} {q(src)} {q(out)}"
        if case in FOLDERS:
            mine, cp = f"{q(src + '/*')} {q(out)}", f"{CP} {q(src)}/* {q(out)}/"
        if case == "many":  # more names than one command line takes: find hands cp a share each
            cp = f"find {q(src)} -mindepth 1 -maxdepth 1 -exec {CP} -t {q(out)} {{}} +"
        lines = {name: f"{q(build)} {mine}" for name, build in builds.items()} | {
            "dravik1": f"{ONE_WORKER} {q(dravik)} {mine}", "cp": cp}
    prepare = f"rm -rf {q(out)}" + (f" && mkdir {q(out)}" if case in FOLDERS else "")
    return prepare, {name: f"{line} </dev/null" for name, line in lines.items()}


def hyperfine(json_path, runs, prepare, lines):
    """Times the commands in one hyperfine call, once each per round, in an order alternating
    from round to round; returns {name: [seconds per round]} (None when a run failed)."""
    names = list(lines)
    order = names + [n for turn in range(runs) for n in names[:: -1 if turn % 2 else 1]]
    argv = ["hyperfine", "--runs", "1", "--prepare", prepare, "--export-json", json_path,
            "--ignore-failure"]  # one failing tool does not cost the others their timing
    for index, name in enumerate(order):
        argv += ["-n", f"{name} #{index // len(names)}", lines[name]]
    if (code := subprocess.run(argv, stdin=DEVNULL, stdout=sys.stderr).returncode) != 0:
        log(f"  hyperfine failed (exit {code})")
        return dict.fromkeys(names)
    with open(json_path) as f:
        timed = list(zip(order, json.load(f)["results"]))[len(names):]  # round #0 is the warm-up
    return {name: None if any(r.get("exit_codes") != [0] for n, r in timed if n == name)
            else [r["times"][0] for n, r in timed if n == name] for name in names}


def same_data(src, out):
    """Problems of a copy of a sparse source, found without reading the holes of both: the
    lengths must match, and so must the bytes of every range that either file reports as data
    (the other may have a hole there, which reads as zeros). Outside those both are zeros."""
    with open(src, "rb") as a, open(out, "rb") as b:
        ours, theirs = os.fstat(a.fileno()).st_size, os.fstat(b.fileno()).st_size
        if ours != theirs:
            return [f"{out}: {theirs} bytes, expected {ours}"]
        done = 0  # the bytes before it are compared
        for start, end in heapq.merge(data_ranges(a.fileno()), data_ranges(b.fileno())):
            for at in range(max(start, done), end, BLOCK):
                n = min(BLOCK, end - at)
                if (mine := os.pread(a.fileno(), n, at)) != (copy := os.pread(b.fileno(), n, at)):
                    first = next((i for i, (x, y) in enumerate(zip(mine, copy)) if x != y), 0)
                    return [f"{out}: differs from {src} at offset {at + first}"]
            done = max(done, end)
    return []


def check(case, src, out, size):
    """Problems of an output: a copy must be its source byte for byte (cmp, diff -r for a folder,
    same_data for a sparse source), a created file SIZE bytes whose every range that the file
    system reports as data reads as zeros."""
    if case not in ("create", *SPARSE):
        argv = ["diff", "-r", "--brief"] if os.path.isdir(src) else ["cmp"]
        result = subprocess.run([*argv, src, out], stdin=DEVNULL, capture_output=True, text=True)
        return (result.stdout + result.stderr).strip().splitlines() if result.returncode else []
    if not os.path.isfile(out):
        return [f"{out} was not created"]
    if case != "create":
        return same_data(src, out)
    length = os.path.getsize(out)
    problems = [] if length == size else [f"{out}: {length} bytes, expected {size}"]
    with open(out, "rb") as f:
        for start, end in data_ranges(f.fileno()):
            for at in range(start, end, BLOCK):
                if os.pread(f.fileno(), min(BLOCK, end - at), at).strip(b"\0"):
                    return problems + [f"{out}: a non-zero byte near offset {at}"]
    return problems


def run_case(case, src, size, dravik, before, work, runs):
    """Times a case, then runs each tool once more under GNU time (its peak RSS) and checks its
    output; returns the case's row. SIZE: the length `create` asks for."""
    out = os.path.join(work, "out", case)
    prepare, tools = commands(case, dravik, before, src, out, size)
    row = {"times": hyperfine(os.path.join(work, "results", f"{case}.json"), runs, prepare, tools),
           "allocated": {}, "rss": {}, "problems": []}
    for name, line in tools.items():
        subprocess.run(prepare, shell=True, check=True)
        # time's child is the tool itself; time ends standard error with a line of its peak RSS
        result = subprocess.run(f"/usr/bin/time -q -f '\\n%M' {line}", shell=True, stdin=DEVNULL,
                                capture_output=True, text=True, errors="replace")
        said, _, peak = result.stderr.rstrip().rpartition("\n")
        row["rss"][name] = int(peak) * KIB if peak.isdigit() else None
        output, code = result.stdout + said, result.returncode
        problems = [f"exited with {code}: {output.strip()}"] if code else []
        problems += check(case, src, out, size)
        if name == "display on" and "\x1b]2;" not in output:
            problems.append("the terminal showed no progress")
        if case != "display":
            os.sync()  # until written out, the file system counts blocks it only expects to use
            row["allocated"][name] = allocated(out) if os.path.exists(out) else None
        row["problems"] += [f"{case}, {name}: {p}" for p in problems]
        log(f"  {name}: {'DIFFERENT' if problems else 'identical'}, peak RSS "
            f"{human_bytes(row['rss'][name])}, {human_bytes(row['allocated'].get(name))} allocated")
    remove(out)
    return row


def on_terminal(terminal, argv):
    """The display case's launcher: runs argv with standard error on a new pseudo-terminal
    (TERM=xterm) or on /dev/null, prints what the terminal got and returns the exit code."""
    master, slave = pty.openpty() if terminal else (None, DEVNULL)
    program = subprocess.Popen(argv, stdin=DEVNULL, stdout=DEVNULL, stderr=slave,
                               env=dict(os.environ, TERM="xterm"))
    if terminal:
        os.close(slave)
        with open(master, "rb", buffering=0) as screen, contextlib.suppress(OSError):
            shutil.copyfileobj(screen, sys.stdout.buffer)  # until EIO: no writer left
    return program.wait()


def build_type(binary):  # from the CMake cache next to a dravik binary
    return first_line("sed", "-n", "s/^CMAKE_BUILD_TYPE:[A-Z]*=//p",
                      os.path.join(os.path.dirname(binary), "CMakeCache.txt")) or "unknown"


def commit(folder):
    return first_line("git", "-C", folder, "rev-parse", "--short", "HEAD") or "?"


def machine(work, dravik, before):
    """The machine table's rows; what cannot be found is left empty."""
    cpu = first_line("sed", "-n", "s/^model name\\s*: //p", "/proc/cpuinfo") or platform.machine()
    return [("CPU", f"{cpu}, {os.cpu_count()} cores ({len(os.sched_getaffinity(0))} usable)"),
            ("RAM", human_bytes(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES"))),
            ("File system of the work folder", f"{fs_type(work)} ({work})"),
            ("Kernel", f"{platform.system()} {platform.release()}"),
            ("Date", datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")),
            ("dravik", f"commit {commit(HERE)}, {build_type(dravik)} build"),
            *([("before", f"{before}: commit {commit(os.path.dirname(before))}, "
                          f"{build_type(before)} build")] if before else []),
            ("Baselines", f"{first_line('cp', '--version')}; "
                          f"{first_line('truncate', '--version')}"),
            ("hyperfine", first_line("hyperfine", "--version"))]


def table(rows, skipped, sources, scale, runs, work, dravik, before, load):
    """The report in Markdown, and whether every output passed its check. SKIPPED: {case: why}."""
    def median(times):  # "failed" when the tool failed in any run
        if not times:
            return "failed"
        seconds = statistics.median(times)
        return f"{seconds * 1000:.1f} ms" if seconds < 1 else f"{seconds:.3f} s"

    def per_round(mine, theirs):  # the median of the per-round ratios of two tools' times
        if not mine or not theirs or not all(theirs):
            return "–"
        return f"{statistics.median(a / b for a, b in zip(mine, theirs)):.2f}"

    lines = ["| file | dravik | dravik, 1 worker | cp | ratio | ratio, 1 worker "
             f"{'| ratio to before ' if before else ''}"
             "| dravik allocated | cp allocated | dravik peak RSS | cp peak RSS |",
             f"|---|---:|---:|---:|---:|---:{'|---:' if before else ''}|---:|---:|---:|---:|"]
    for case, row in rows.items():
        t, other = row["times"], "truncate" if case == "create" else "cp"
        if case != "display":
            cells = [f"create {size_word(sources[case])} (vs truncate)" if case == "create" else
                     f"{case} ({sources[case].label})", median(t["dravik"]),
                     median(t["dravik1"]) if "dravik1" in t else "–", median(t[other]),
                     per_round(t["dravik"], t[other]), per_round(t.get("dravik1"), t[other]),
                     *([per_round(t["dravik"], t["before"])] if before else []),
                     *(human_bytes(row[key][name]) for key in ("allocated", "rss")
                       for name in ("dravik", other))]
            lines.append(f"| {' | '.join(cells)} |")
    if "display" in rows:
        off, on = rows["display"]["times"]["display off"], rows["display"]["times"]["display on"]
        lines += ["", "Progress display, standard error on a terminal against /dev/null:", "",
                  "| file | display off | display on | ratio on/off |", "|---|---:|---:|---:|",
                  f"| {sources['display'].label} | {median(off)} | {median(on)} "
                  f"| {per_round(on, off)} |"]
    if skipped:  # a length the work folder's file system refuses
        lines += ["", *(f"- {case}: skipped, {why}" for case, why in skipped.items())]
    problems = [p for row in rows.values() for p in row["problems"]]
    lines += ["", "**Output check FAILED:**", *(f"- {p}" for p in problems)] if problems else [
        "", "Every output is identical to its source (`cmp`, `diff -r` for the folders, for the "
        "sparse sources their length and data ranges; the created files read as zeros and have "
        "the requested length)."]
    lines += ["", f"Scale {scale:g}, {runs} rounds after 1 warm-up, the tools taking turns; times "
              f"are medians, ratios the median of the per-round ratios dravik/cp (truncate for "
              f"create). `dravik, 1 worker`: `{ONE_WORKER}`. "
              + (f"`ratio to before`: the same for dravik over the earlier build `before` "
                 f"(`BENCH_BEFORE`), timed in the same rounds. " if before else "")
              + "Page cache warm, outputs not flushed to disk. Peak RSS from GNU time `%M`.", "",
              f"Load while it ran: {load}.", "", "| machine | |", "|---|---|",
              *(f"| {k} | {v} |" for k, v in machine(work, dravik, before))]
    return "\n".join(lines) + "\n", not problems


def main():
    env = os.environ.get
    scale, runs = float(env("BENCH_SCALE") or 1), int(env("BENCH_RUNS") or 5)
    work = os.path.abspath(env("BENCH_DIR") or os.path.join(HERE, "work"))
    dravik = os.path.abspath(env("BENCH_DRAVIK") or os.path.join(HERE, "../build/native/dravik"))
    before = env("BENCH_BEFORE") and os.path.abspath(env("BENCH_BEFORE"))
    only = [c.strip() for c in env("BENCH_ONLY", "").split(",") if c.strip()]
    bad = any(c not in CASES for c in only) or scale <= 0 or runs < 1
    if bad or not all(os.access(p, os.X_OK) for p in (dravik, before) if p):
        log(f"bad settings: BENCH_ONLY takes {','.join(CASES)}; BENCH_SCALE > 0; BENCH_RUNS >= 1; "
            f"BENCH_DRAVIK and BENCH_BEFORE are programs ({dravik}, {before})")
        return 2
    cases, src = [c for c in CASES if not only or c in only], os.path.join(work, "src")
    for folder in ("src", "results", "out"):
        os.makedirs(os.path.join(work, folder), exist_ok=True)
    sources = {**make_sources(scale), "create": max(MIB, round(TIB * scale / MIB) * MIB)}

    # A length the file system refuses skips its case; a probe tells before anything is written.
    lengths = {c: sources[c] if c == "create" else sources[c].size for c in cases
               if c == "create" or not sources[c].count}  # the files made, not the folders
    skipped = {c: why for c, length in lengths.items() if (why := refusal(work, length))}
    cases = [c for c in cases if c not in skipped]
    for case, why in skipped.items():
        log(f"[{case}] skipped: {why}")

    # Disk: the sources still to write, and room for the largest copy (one exists at a time).
    used = [sources[c] for c in cases if c != "create"]
    largest = max((s.real for s in used), default=0)
    need = largest + min(512 * MIB, max(64 * MIB, largest // 4)) + sum(
        s.real for s in used if not s.reusable(os.path.join(src, s.name)))
    if need > (free := shutil.disk_usage(work).free):
        log(f"not enough disk in {work}: about {human_bytes(need)} needed, {human_bytes(free)} "
            f"free. Lower BENCH_SCALE, pick cases with BENCH_ONLY, or point BENCH_DIR elsewhere.")
        return 2

    rows, start_load = {}, os.getloadavg()[0]
    try:
        for case in cases:
            log(f"[{case}]")
            path = None if case == "create" else sources[case].ensure(src)
            rows[case] = run_case(case, path, sources["create"], dravik, before, work, runs)
    finally:
        remove(os.path.join(work, "out"))
        if env("BENCH_KEEP", "") in ("", "0"):
            remove(src)
    load = f"load average {start_load:.2f} at the start, {os.getloadavg()[0]:.2f} at the end"
    text, ok = table(rows, skipped, sources, scale, runs, work, dravik, before, load)
    with open(os.path.join(work, "results", "results.md"), "w") as f:
        f.write(text)
    sys.stdout.write(text)
    return 0 if ok else 1


if __name__ == "__main__":
    if sys.argv[1:2] == ["--terminal"]:
        sys.exit(on_terminal(sys.argv[2] == "on", sys.argv[3:]))
    sys.exit(main())
