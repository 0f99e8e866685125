"""The real programs on real files: natively, or a Windows exe under the Wine of tools/debian-root.sh.
Expected texts name files "<name>": T:\\ paths in code page 932 under Wine ('?' for a character it
cannot hold), else UTF-8."""

import atexit, contextlib, fcntl, os, pty, re, resource, select, shutil, signal, socket, subprocess, tempfile
import struct, termios, time, tty, unicodedata, unittest
from pathlib import Path
from subprocess import DEVNULL, PIPE

EXE = os.environ.get("DRAVIK_EXE", "")
WINE = os.environ.get("DRAVIK_TARGET") == "wine"
LOADER = [os.environ["WINE"]] if WINE else []  # the root's Wine and its settings
ROOT = (ROOT_FOLDER := tempfile.TemporaryDirectory(prefix="dravik-e2e-")).name  # T: under Wine
ENV = dict(os.environ, LC_ALL="ja_JP.UTF-8" if WINE else "C.UTF-8", WINEPREFIX=ROOT + "/.wine")
SKIP = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "skip.sh")
if WINE:
    subprocess.run(LOADER + ["cmd", "/c", "exit"], env=ENV, stdin=DEVNULL, stdout=DEVNULL)
    os.symlink(ROOT, os.path.join(ROOT, ".wine", "dosdevices", "t:"))
    # A Windows process alive all along keeps the prefix's services: each start takes 1.5 s less.
    # They end, and stop writing into the prefix, before its folder goes.
    KEEPER = subprocess.Popen(LOADER + ["cmd"], env=ENV, stdin=PIPE, stdout=DEVNULL)
    atexit.register(subprocess.run, [os.path.dirname(LOADER[0]) + "/wineserver", "-k"], env=ENV)
GIB = 1 << 30
COUNT = "         {} 個のファイルをコピーしました。"
ASK = "を上書きしますか？(Yes/No"
NOT_MADE = "ファイルが作成されませんでした。"
LAYOUTS = (  # length, then (offset, data); holes elsewhere
    (3 << 18, (1 << 18, os.urandom(4096)), ((2 << 18) + 5, b"x" * 100)),
    (6152, (0, bytes(6152))),  # zeros written out: the copy allocates nothing
    (0,), (25502, (0, bytes(range(1, 256)) * 100 + b"\0\1")),
    (5 * GIB + 9, (0, b"boot"), (4 * GIB + 123, os.urandom(5000)), (5 * GIB - 7, b"tail")),
    (2 * GIB - 1, (2 * GIB - 5, b"tail")), (2 * GIB + 5000, (2 * GIB - 3, b"across")),
    (4 * GIB - 1, (4 * GIB - 5, b"tail")), (4 * GIB + 1, (4 * GIB - 3, b"acro")))


def write(path, size, *extents):
    with open(path, "wb") as f:
        f.truncate(size)
        for offset, data in extents:
            os.pwrite(f.fileno(), data, offset)


def content(path):
    """Length and nonzero runs of a file, read only where the file system has data."""
    runs, end = [], 0
    with open(path, "rb") as f:
        while True:
            try:
                start = os.lseek(f.fileno(), end, os.SEEK_DATA)
            except OSError:  # no data follows
                return os.fstat(f.fileno()).st_size, runs
            end = os.lseek(f.fileno(), start, os.SEEK_HOLE)
            data = os.pread(f.fileno(), end - start, start)
            runs += [(start + m.start(), m[0]) for m in re.finditer(rb"[^\0]+", data)]


def drained(reader):
    """All that can be read from a pipe or a terminal whose writers have gone."""
    data = b""
    with contextlib.suppress(OSError):  # a terminal ends with EIO
        while select.select([reader], [], [], 1)[0] and (piece := os.read(reader, 4096)):
            data += piece
    os.close(reader)
    return data


def columns(text):
    """The columns a terminal gives `text`: two for a wide character, none for a combining mark."""
    return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1
               for c in text)


def screen(data, width):
    """The rows a terminal `width` columns wide shows after `data`, trailing blank rows left out,
    and its cursor: a terminal of the few controls a console writes to one."""
    rows, row, col, text = {}, 0, 0, data.decode("utf-8", "replace")
    for m in re.finditer(r"\x1b\[([?0-9;]*)([@-~])|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)|\x1b.|(.)", text, re.S):
        c, line = m[3], rows.setdefault(row, {})
        if m[2] == "K":  # erased to the line's end
            rows[row] = {cell: shown for cell, shown in line.items() if cell < col}
        elif m[2] == "C":
            col = min(width - 1, col + int(m[1] or 1))
        elif c in ("\r", "\n"):
            row, col = (row, 0) if c == "\r" else (row + 1, col)
        elif c and c >= " " and (wide := columns(c)):
            row, col = (row + 1, 0) if col + wide > width else (row, col)  # the line wraps
            rows.setdefault(row, {}).update({col: c, col + 1: ""} if wide == 2 else {col: c})
            col += wide
    shown = ["".join(rows.get(r, {}).get(c, " ") for c in range(width)).rstrip()
             for r in range(max(rows, default=0) + 1)]
    while shown and not shown[-1]:
        shown.pop()
    return shown, (row, col)


def allocated(path):  # less the block that Wine leaves allocated where it sets an odd end
    status = os.stat(path)
    return status.st_blocks * 512 - 4096 * (WINE and status.st_size % 4096 > 0)


@unittest.skipUnless(EXE, "DRAVIK_EXE is not set")
class ProgramTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=ROOT)
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, name=""):
        return os.path.join(self.dir, name)

    def shown(self, name=""):
        relative = os.path.relpath(self.path(name), ROOT).replace("/", "\\")
        return "T:\\" + relative if WINE else self.path(name)

    def text(self, *lines):
        joined = re.sub("<([^<>]*)>", lambda m: self.shown(m[1]), "\r\n".join(lines) + "\r\n")
        return joined.encode("cp932", "replace") if WINE else joined.encode("utf-8", "surrogateescape")

    def report(self, name, message, module=os.path.basename(EXE)):
        return self.text(f"{name} がモジュール {module} の XXXXXXXX で発生しました。\n{message}")

    def skip(self, reason):
        """Skips what this machine cannot do; tools/test.sh lists it with its reason."""
        subprocess.run([SKIP, f"{self._testMethodName} of {EXE}", reason], stderr=DEVNULL)
        self.skipTest(reason)

    def mounted(self, *kinds):
        """A volume of the first of `kinds` this machine can make, in the test's folder."""
        reasons = []
        for kind in kinds:
            volume, image = self.path(kind), self.path(kind + ".img")
            os.mkdir(volume)
            command = ["mount", "-t", "ramfs", "ramfs", volume]
            if kind != "ramfs" and not shutil.which("mkfs." + kind):
                reasons.append(f"mkfs.{kind} is missing")
                continue
            if kind != "ramfs":
                write(image, 320 << 20)
                subprocess.run(["mkfs." + kind, image], check=True, capture_output=True)
                command = ["mount", "-o", "loop", image, volume]
            failed = subprocess.run(command, capture_output=True, text=True).stderr.strip()
            if os.path.ismount(volume):
                self.addCleanup(subprocess.run, ["umount", volume], check=True)  # before rmtree
                return volume
            reasons.append(f"{kind}: {failed}")
        self.skip("; ".join(reasons))

    def run_program(self, *args, stdin=b"", cwd=None, stdout=PIPE, before=None, env=ENV, exe=EXE):
        given = {"input": stdin} if isinstance(stdin, bytes) else {"stdin": stdin}
        done = subprocess.run(LOADER + [exe, *args], **given, stdout=stdout, env=env,
                              stderr=PIPE, cwd=cwd or self.dir, preexec_fn=before, timeout=300)
        err = re.sub(rb"\b[0-9A-F]{8}\b", b"XXXXXXXX", done.stderr, count=1)  # the report's address
        return done.stdout, err, done.returncode

    def check(self, args, out, err=b"", code=0, **options):
        self.assertEqual(self.run_program(*args, **options), (out, err, code), args)

    def preloaded(self, **settings):
        """The environment that preloads tests/e2e/Preload.cpp with its settings."""
        if not os.environ.get("DRAVIK_PRELOAD"):
            self.skip("DRAVIK_PRELOAD, the library preloaded into the program, is not built here")
        return dict(ENV, LD_PRELOAD=os.environ["DRAVIK_PRELOAD"], **settings)

    def started(self, *args, reached=1, **options):
        """The program, once its new "copy" is `reached` bytes long: its writes are slowed so
        that no machine copies too fast."""
        copy = Path(self.path("copy"))
        copy.unlink(missing_ok=True)
        program = subprocess.Popen(LOADER + [EXE, *args], env=self.preloaded(DRAVIK_WRITE_DELAY_MS="5"),
                                   cwd=self.dir, **options)
        waited_until = time.monotonic() + 120  # a program stuck elsewhere fails, not hangs
        while program.poll() is None and not (copy.exists() and copy.stat().st_size >= reached):
            self.assertLess(time.monotonic(), waited_until, f"{args}: the copy is not {reached} long")
            time.sleep(0.001)
        return program

    def on_terminal(self, args, env, streams=("stdin", "stdout", "stderr"), while_shown=None, exe=EXE):
        """The program with `streams` on a terminal 60 columns wide of which it is the foreground
        job, the others piped: what the terminal got, what standard output and error got where
        they are piped, and the exit code. `while_shown(terminal)` acts once a status line is
        drawn."""
        terminal, own = pty.openpty()
        fcntl.ioctl(own, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 60, 0, 0))
        given = {name: own if name in streams else PIPE for name in ("stdin", "stdout", "stderr")}
        controlling = ("stdin", "stdout", "stderr").index(streams[0])
        program = subprocess.Popen(LOADER + [exe, *args], cwd=self.dir, env=env, **given,
                                   preexec_fn=lambda: (os.setsid(),
                                                       fcntl.ioctl(controlling, termios.TIOCSCTTY, 0)))
        os.close(own)
        if program.stdin:
            program.stdin.close()
        data = b""
        with contextlib.suppress(OSError):  # a terminal ends with EIO
            while select.select([terminal], [], [], 120)[0] and (piece := os.read(terminal, 4096)):
                data += piece
                if while_shown and re.search(rb"\r\d{1,3}% ", data):
                    while_shown, _ = None, while_shown(terminal)
        os.close(terminal)
        out, err = (stream.read() if stream else None for stream in (program.stdout, program.stderr))
        return data, out, err, program.wait(timeout=120)


class EveryBuild(ProgramTest):
    def test_copies_and_created_files_have_the_length_and_holes_they_should(self):
        rows = [(("src", "copy"), ["<src> > <copy>", COUNT.format(1)], *layout) for layout in LAYOUTS]
        rows += [(("/c", "copy", typed), [f"<copy> ({size:,} bytes) ファイルを作成しました。"], size)
                 for typed, size in (("1000", 1000), ("2147483647", 2**31 - 1), ("4G", 2**32),
                                     ("4294967297", 2**32 + 1), ("1T", 2**40))]  # all zeros
        for args, lines, size, *extents in rows:
            write(self.path("src"), size, *extents)
            self.check(args, self.text(*lines))
            self.assertEqual(content(self.path("copy")), content(self.path("src")))
            units = {(at + i) // 4096 for at, data in extents for i, b in enumerate(data) if b}
            self.assertLessEqual(allocated(self.path("copy")), 4096 * len(units), args)
            os.remove(self.path("copy"))

    def test_questions_and_a_copy_onto_itself_by_a_link(self):
        Path(self.path("a.bin")).write_bytes(b"data")
        os.link(self.path("a.bin"), self.path("hard.bin"))
        os.symlink("a.bin", self.path("sym.bin"))
        rows = [("./a.bin d//../b.bin", f"<b.bin> {ASK})<a.bin> > <b.bin>", 1, "b.bin", b"data")]
        rows += [(f"a.bin {link}", f"<{link}> {ASK})<a.bin> > <{link}> ... skip", 0, "a.bin", b"data")
                 for link in ["hard.bin"] + ["sym.bin"] * (not WINE)]  # the source stays whole
        if not WINE:  # ".." after a link is taken from its target, d/e: ln/.. is d
            os.symlink("d/e", self.path("ln"))
            rows += [("a.bin ln/../c.bin", "<a.bin> > <ln/../c.bin>", 1, "d/c.bin", b"data"),
                     ("ln/../../a.bin a.bin", f"<a.bin> {ASK})<ln/../../a.bin> > <a.bin> ... skip",
                      0, "a.bin", b"data")]
        os.makedirs(self.path("d/e"))
        Path(self.path("b.bin")).write_bytes(b"old")
        for args, line, count, name, data in rows:
            self.check(args.split(), self.text(line, COUNT.format(count)), stdin=b"y\n")
            self.assertEqual(Path(self.path(name)).read_bytes(), data, args)

    def test_a_file_put_in_place_of_the_one_asked_about_is_left_alone(self):
        Path(self.path("a.bin")).write_bytes(b"data")
        Path(self.path("victim")).write_bytes(b"victim")
        for args, lines in ((("a.bin", "b.bin"), ["<a.bin> > <b.bin> ... skip", COUNT.format(0)]),
                            (("/c", "b.bin", "5"), [f"<b.bin> {NOT_MADE}"])):
            Path(self.path("b.bin")).write_bytes(b"old")
            question = self.text(f"<b.bin> {ASK})")[:-2]
            with subprocess.Popen(LOADER + [EXE, *args], stdin=PIPE, stdout=PIPE, stderr=PIPE,
                                  env=ENV, cwd=self.dir) as program:
                asked = program.stdout.read(len(question))
                os.remove(self.path("b.bin"))  # another user's link, while the question waits
                os.symlink("victim", self.path("b.bin"))
                out, err = program.communicate(b"y\r\n")
            self.assertEqual((asked + out, err, program.returncode), (question + self.text(*lines), b"", 0))
            self.assertEqual(Path(self.path("victim")).read_bytes(), b"victim", args)
            os.remove(self.path("b.bin"))

    def test_any_name_is_copied_under_its_own_name(self):
        names = ["日本語.bin", "résumé.bin", "한국어.bin", "emoji😀.bin", "plain.bin"]
        for folder in ("表", "o"):  # 表: in code page 932, its second byte is a backslash's
            os.mkdir(self.path(folder))
        for name in names:
            Path(self.path("表/" + name)).write_bytes(name.encode())
        out, err, code = self.run_program("表\\*" if WINE else "表/*", "o")
        lines = [f"<表/{name}> > <o/{name}>" for name in names] + [COUNT.format(5)]
        self.assertEqual((sorted(out.split(b"\r\n")), err, code),  # in the folder's order
                         (sorted(self.text(*lines).split(b"\r\n")), b"", 0))
        self.assertEqual({n: Path(self.path("o/" + n)).read_bytes() for n in os.listdir(self.path("o"))},
                         {name: name.encode() for name in names})
        self.check(("表/résumé.bin", "한국어.bin"), self.text("<表/résumé.bin> > <한국어.bin>", COUNT.format(1)))
        self.check(("/c", "emoji😀.bin", "1"), self.text("<emoji😀.bin> (1 bytes) ファイルを作成しました。"))
        self.assertEqual([Path(self.path(n)).read_bytes() for n in ("한국어.bin", "emoji😀.bin")],
                         ["résumé.bin".encode(), b"\0"])

    def test_a_file_behind_a_standard_stream_is_never_the_destination(self):
        Path(self.path("a.bin")).write_bytes(b"data")
        for name in ("out", "in"):
            Path(self.path(name)).write_bytes(b"y\n")
            lines = self.text(f"<{name}> {ASK})<a.bin> > <{name}> ... skip", COUNT.format(0))
            with open(self.path(name), "ab" if name == "out" else "rb") as file:
                streams = {"stdout": file, "stdin": b"y\n"} if name == "out" else {"stdin": file}
                out, err, code = self.run_program("a.bin", name, **streams)
            self.assertEqual((out, err, code), (None if name == "out" else lines, b"", 0))
            self.assertEqual(Path(self.path(name)).read_bytes(), b"y\n" + lines * (name == "out"))
        reader, writer = os.pipe()  # an output that fails ends the run with the report
        os.close(reader)
        with os.fdopen(writer, "wb") as gone:  # Wine's code for a pipe whose reader has gone
            self.check((), None, self.report("EInOutError", f"I/O エラー ({233 if WINE else 109})."),
                       1, stdin=b"\n", stdout=gone)

    def test_a_long_copy_shows_its_progress_where_the_user_looks(self):
        # A name wider than the window; the title shows it as itself, less its controls (ESC,
        # the C1 ST) and what is no UTF-8.
        name = ("日本" if WINE else os.fsdecode("日本\x1b\u009c".encode() + b"\x9b")) + "語の名前" * 8
        Path(self.path(name)).write_bytes(b"x")  # a copy too short to draw: the screen of today
        today = screen(self.on_terminal((name, "copy"), ENV)[0], 60)[0]
        Path(self.path(name)).write_bytes(os.urandom(1 << 20) * 64)
        slow = self.preloaded(DRAVIK_WRITE_DELAY_MS="30")  # 64 MiB in a couple of seconds
        lines = self.text(f"<{name}> > <copy>", COUNT.format(1))
        # Drawn over and over in place where standard error is a console, never wider than the
        # window less a column, the name shortened in its middle; erased before anything else is
        # printed: the screen then holds exactly what it holds without it. Nothing is drawn on
        # a dumb terminal.
        rows = [("xterm", ["stdin", "stdout", "stderr"], None, None, today),
                ("xterm", ["stderr"], lines, None, []), ("xterm", ["stdin", "stdout"], None, b"", today)]
        rows += [("dumb", ["stderr"], lines, None, [])] * (not WINE)  # Wine's console is one
        for kind, streams, out, err, final in rows:
            os.remove(self.path("copy"))
            shown, *rest = self.on_terminal((name, "copy"), dict(slow, TERM=kind), streams)
            drawn = re.findall(rb"\r(\d{1,3}% [^\r\x1b]*)", shown)
            self.assertEqual((screen(shown, 60)[0], *rest), (final, out, err, 0), (kind, streams))
            self.assertEqual(len(set(drawn)) > 1, kind == "xterm" and "stderr" in streams, drawn)
            self.assertTrue(all(columns(line.decode()) <= 59 and b"..." in line for line in drawn))
            if not WINE and drawn:  # Wine's console gives no title to put back, and shows its own
                self.assertRegex(shown, rb"^\x1b\[22;2t\x1b\]2;\d+% [^\x1b]+ " + re.escape(
                    "日本???語の名前".encode()) + rb"[^\x1b]*\x1b\\\x1b\]9;4;1;\d+\x1b\\")
                self.assertIn(b"\x1b]9;4;0\x1b\\\x1b[23;2t", shown)


@unittest.skipIf(WINE, "the Linux system's own")
class Linux(ProgramTest):
    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.skip("needs root (device nodes, mounts)")

    def test_special_files_are_no_files_and_fail_as_output(self):
        Path(self.path("a.bin")).write_bytes(b"data")
        os.mkfifo(self.path("fifo"))
        with socket.socket(socket.AF_UNIX) as listener:
            listener.bind(self.path("socket"))
        os.symlink("missing", self.path("dangling"))
        os.symlink("loop", self.path("loop"))
        for name, minor in (("null", 3), ("zero", 5), ("full", 7)):  # as in /dev
            os.mknod(self.path(name), 0o20666, os.makedev(1, minor))  # character devices
        kinds = lambda: {name: os.lstat(self.path(name)).st_mode for name in os.listdir(self.dir)}
        before = kinds()
        for name in ("fifo", "socket", "dangling", "loop", "null", "zero", "full"):
            self.check(("a.bin", name), self.text(f"<a.bin> > <{name}> ... skip", COUNT.format(0)))
            self.check(("/c", name, "5"), self.text(f"<{name}> {NOT_MADE}"))
            self.check((name, "copy.bin"), self.text(COUNT.format(0)))
        self.assertEqual(kinds(), before)
        with open(self.path("full"), "wb") as full:  # the device node made above
            for args, stdout, setup, code in (((), full, None, 112),
                                              (("a.bin", "c"), DEVNULL, lambda: os.close(1), 105)):
                self.check(args, None, self.report("EInOutError", f"I/O エラー ({code})."), 1,
                           stdin=b"\n", stdout=stdout, before=setup)
        self.assertEqual(Path(self.path("c")).read_bytes(), b"data")  # not on descriptor 1

    def test_a_link_planted_as_the_destination_is_made_is_never_followed(self):
        Path(self.path("a.bin")).write_bytes(b"data")
        Path(self.path("victim")).write_bytes(b"victim")
        planting = self.preloaded(DRAVIK_PLANT_NAME="/new", DRAVIK_PLANT_TARGET=self.path("victim"))
        for args, line in ((("a.bin", "new"), "<a.bin> > <new> ... skip\r\n" + COUNT.format(0)),
                           (("/c", "new", "5"), f"<new> {NOT_MADE}")):
            self.check(args, self.text(line), env=planting)
            self.assertEqual((os.readlink(self.path("new")), Path(self.path("victim")).read_bytes()),
                             (self.path("victim"), b"victim"), args)
            os.remove(self.path("new"))

    def test_a_current_folder_longer_than_the_system_takes_is_reported_not_skipped(self):
        def enter():  # 5,000 bytes: no system call takes it whole, so it is made step by step
            for _ in range(20):
                os.makedirs("d" * 250, exist_ok=True)
                os.chdir("d" * 250)
            open("src.bin", "a").close()
        self.check(("src.bin", "dst.bin"), b"",
                   self.report("EFOpenError", "ファイル src.bin は開けません。 File name too long ."), 1,
                   before=enter)
        self.check(("/c", "x.bin", "5"), self.text(f"x.bin {NOT_MADE}"), before=enter)
        found = subprocess.run(["find", ".", "-type", "f"], cwd=self.dir, capture_output=True)
        self.assertEqual(found.stdout.count(b"\n"), 1)  # src.bin alone

    def test_wildcards_have_the_shells_meaning(self):
        os.makedirs(self.path("s/folder.d"))  # matches, and is passed over
        for name in ("f.bin", "fa.bin", "noext", "trail.", ".hidden", "star*.bin", "q?.bin"):
            Path(self.path("s/" + name)).write_bytes(b"x")
        # A name found is copied by that name, which is no pattern; typed alone, it is the file.
        self.check(("s/star*.bin", "one.bin"), self.text("<s/star*.bin> > <one.bin>", COUNT.format(1)))
        for to, pattern, names in (("d1", "*.*", ["f.bin", "fa.bin", "trail.", ".hidden", "star*.bin",
                                                  "q?.bin"]),
                                   ("d2", "*.", ["trail."]), ("d3", "f?.bin", ["fa.bin"])):
            os.mkdir(self.path(to))
            out, err, code = self.run_program("s/" + pattern, to)
            lines = [f"<s/{name}> > <{to}/{name}>" for name in names] + [COUNT.format(len(names))]
            self.assertEqual((sorted(out.split(b"\r\n")), err, code),  # in the folder's order
                             (sorted(self.text(*lines).split(b"\r\n")), b"", 0), pattern)
            self.assertEqual(sorted(os.listdir(self.path(to))), sorted(names), pattern)

    def test_volumes_that_keep_no_holes_are_refused_also_through_links(self):
        volume = self.mounted("vfat", "ramfs")
        Path(self.path("a.bin")).write_bytes(b"data")
        Path(volume, "f").write_bytes(b"old")
        os.symlink(os.path.join(volume, "f"), self.path("file-link"))
        os.symlink(volume, self.path("folder-link"))
        for dest in ("file-link", "folder-link", "folder-link/new", os.path.join(volume, "new")):
            self.check(("a.bin", dest), self.text("コピー先ドライブがNTFSではありません."))
        self.check(("/c", "file-link", "5"), self.text("作成先ドライブがNTFSではありません."))
        self.assertEqual(sorted(os.listdir(volume)), ["f"])
        self.assertEqual(Path(volume, "f").read_bytes(), b"old")

    def test_a_disk_is_copied_into_an_image_that_holds_only_its_data(self):
        image = self.path("disk.raw")  # a disk has no holes: its zeros are written
        write(image, 24 << 20, (0, os.urandom(8 << 20)), ((11 << 20) + 5, os.urandom(5000)),
              ((24 << 20) - 4096, os.urandom(4096)))
        with open(image, "r+b") as disk:
            os.posix_fallocate(disk.fileno(), 0, 24 << 20)
        attached = subprocess.run(["losetup", "--find", "--show", image], capture_output=True, text=True)
        if attached.returncode:
            self.skip(f"no loop device: {attached.stderr.strip()}")
        self.addCleanup(subprocess.run, ["losetup", "--detach", attached.stdout.strip()], check=True)
        device = os.stat(attached.stdout.strip()).st_rdev
        os.mknod(self.path("disk"), 0o60600, device)  # its node in the test's folder
        shown, out, _, code = self.on_terminal(("disk", "disk.img"), dict(
            self.preloaded(DRAVIK_WRITE_DELAY_MS="250"), TERM="xterm"), ["stderr"])
        self.assertEqual((out, code), (self.text("<disk> > <disk.img>", COUNT.format(1)), 0))
        self.assertIn(b" / 24.0 MiB", shown)  # its length is known: the progress shows it
        subprocess.run(["cp", "--sparse=always", self.path("disk"), self.path("cp.img")], check=True)
        self.assertEqual(content(self.path("disk.img")), content(image))
        self.assertEqual(os.stat(self.path("disk.img")).st_size, 24 << 20)
        self.assertLessEqual(os.stat(self.path("disk.img")).st_blocks, os.stat(self.path("cp.img")).st_blocks)

    def test_copy_on_xfs_allocates_no_more_than_cp(self):
        volume = self.mounted("xfs")
        # XFS allocates ahead of a growing end: small extents far apart would keep that space.
        for i, extents in enumerate(([(0, os.urandom(1 << 20))],
                                     [(at, b"x" * 4096) for at in range(0, 20 << 20, 40 << 10)])):
            src, ours, theirs = (os.path.join(volume, f"{n}{i}") for n in ("src", "ours", "cp"))
            write(src, 20 << 20, *extents)
            self.check((src, ours), self.text(f"{src} > {ours}", COUNT.format(1)))
            subprocess.run(["cp", "--sparse=always", "--reflink=never", src, theirs], check=True)
            os.sync()
            self.assertEqual(content(ours), content(src))
            self.assertLessEqual(os.stat(ours).st_blocks, os.stat(theirs).st_blocks)

    def test_a_killed_copy_is_shorter_than_its_source(self):
        # Killed as soon as the copy has a length, or as it is within a step of the end: its
        # length grows with the copy, a step of a few MiB ahead, and is never the source's.
        for size, reached, longest in ((3_000_000, 1, 3_000_000 - 1), (64 << 20, 1, 8 << 20),
                                       (64 << 20, (60 << 20) + 1, (64 << 20) - 1)):
            Path(self.path("src")).write_bytes(os.urandom(size))
            program = self.started("src", "copy", reached=reached, stdout=PIPE, stderr=PIPE)
            program.kill()
            self.assertEqual(program.communicate(), (b"", b""), size)  # killed before its end
            self.assertLessEqual(os.stat(self.path("copy")).st_size, longest, (size, reached))

    def test_an_interrupt_keeps_the_status_line_also_while_the_terminal_is_held(self):
        data = os.urandom((1 << 20) + 1) * 64
        Path(self.path("src")).write_bytes(data)

        def hold_then_interrupt(terminal):
            os.write(terminal, b"\x13")  # Ctrl+S: the terminal takes no more output
            time.sleep(0.5)
            os.write(terminal, b"\x03")  # Ctrl+C: the interrupt, and output goes on

        shown, _, _, code = self.on_terminal(("src", "copy"), dict(
            self.preloaded(DRAVIK_WRITE_DELAY_MS="30"), TERM="xterm"), while_shown=hold_then_interrupt)
        rows, cursor = screen(shown, 60)
        # As last drawn, and ended: the shell's prompt starts on a line of its own.
        self.assertEqual((code, cursor), (-signal.SIGINT, (len(rows), 0)))
        self.assertRegex(rows[-1], r"^\d{1,3}% .* src")
        kept = Path(self.path("copy")).read_bytes()
        self.assertTrue(len(kept) < len(data) and kept == data[:len(kept)])

    def test_a_copy_stopped_on_the_way_keeps_only_bytes_known_to_be_right(self):
        data = os.urandom((1 << 20) + 1) * 256  # its period is no chunk's
        Path(self.path("src")).write_bytes(data)
        nohup = lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN)  # ignored, it stays ignored
        for sent, ignored in [(interrupt, False) for interrupt in (
                signal.SIGINT, signal.SIGTERM, signal.SIGHUP)] + [(signal.SIGHUP, True), (None, False)]:
            program = self.started("src", "copy", stdout=PIPE, stderr=PIPE,
                                   preexec_fn=nohup if ignored else None)
            if sent:
                program.send_signal(sent)
            else:  # the source shrinks: the copy ends where the source did
                os.truncate(self.path("src"), 32 << 20)
            interrupted = sent and not ignored  # and prints nothing more
            self.assertEqual((*program.communicate(), program.returncode), (b"", b"", -sent)
                             if interrupted else (self.text("<src> > <copy>", COUNT.format(1)), b"", 0))
            kept = Path(self.path("copy")).read_bytes()
            if ignored:
                self.assertTrue(kept == data)
                continue
            self.assertTrue(len(kept) < len(data) and (sent or len(kept) >= 32 << 20), sent)
            self.assertTrue(kept == data[:len(kept)], sent)
        limit = (3 << 20) + 5000  # a write fails: the copy ends there, with two workers
        os.remove(self.path("copy"))
        failed = self.report("EWriteError", "ファイル <copy> に書き込めません。 File too large .")
        self.check(("src", "copy"), b"", failed, 1, before=lambda: resource.setrlimit(
            resource.RLIMIT_FSIZE, (limit, limit)))
        self.assertTrue(Path(self.path("copy")).read_bytes() == data[:limit])
        question = self.text(f"<copy> {ASK})")[:-2]  # at a question, the run ends at once
        with subprocess.Popen([EXE, "src", "copy"], stdin=PIPE, stdout=PIPE, stderr=PIPE, env=ENV,
                              cwd=self.dir) as program:
            asked = program.stdout.read(len(question))
            program.send_signal(signal.SIGINT)
            program.wait()  # with the answer still to come
            self.assertEqual((asked, program.stdout.read(), program.stderr.read(), program.returncode),
                             (question, b"", b"", -signal.SIGINT))


@unittest.skipUnless(WINE, "the Windows system's own")
class Windows(ProgramTest):
    def test_long_and_root_relative_paths_lead_where_they_say(self):
        far = "x" * 120 + "/" + "y" * 140
        os.makedirs(self.path(far))
        Path(self.path("a.bin")).write_bytes(b"data")
        typed, traced = far.replace("/", "\\"), dict(ENV, WINEDEBUG="trace+file")
        for args, made in (((typed + "\\c.bin",), "c.bin"), ((typed,), "a.bin")):
            out, trace, code = self.run_program("a.bin", *args, env=traced)
            self.assertEqual((out, code),
                             (self.text(f"<a.bin> > <{far}/{made}>", COUNT.format(1)), 0))
            self.assertEqual(Path(self.path(f"{far}/{made}")).read_bytes(), b"data")
            # Windows refuses a path past MAX_PATH unless it is behind \\?\; Wine's trace tells.
            named = [path for path in re.findall(rb'W L"([^"]*)"', trace) if b"x" * 120 in path]
            self.assertTrue(named and all(path.startswith(rb"\\\\?\\") for path in named), named)
        self.check(("/c", typed + "\\n.bin", "1"),
                   self.text(f"<{far}/n.bin> (1 bytes) ファイルを作成しました。"))
        self.check(("a.bin", self.shown()[2:] + "\\r.bin"),  # rooted at the current drive's root
                   self.text("<a.bin> > <r.bin>", COUNT.format(1)))
        self.assertCountEqual(os.listdir(ROOT), [".wine", os.path.basename(self.dir)])

    def test_a_console_of_another_code_page_shows_the_texts_and_a_redirection_keeps_932(self):
        Path(self.path("résumé.bin")).write_bytes(b"old")
        english = dict(ENV, LC_ALL="C.UTF-8")
        self.check(("/c", "résumé.bin", "1"), self.text(f"<résumé.bin> {ASK})<résumé.bin> {NOT_MADE}"),
                   stdin=b"n\r\n", env=english)
        reader, writer = os.pipe()  # the report too, where the ANSI code page is another
        os.close(reader)
        with os.fdopen(writer, "wb") as gone:
            self.check((), None, self.report("EInOutError", "I/O エラー (233)."), 1, stdin=b"\n",
                       stdout=gone, env=english)
        reader, writer = pty.openpty()  # a console in code page 437, as on an English Windows
        tty.setraw(writer)  # the Enter key arrives as CR, as the console reads it
        program = subprocess.Popen(LOADER + [EXE, "/c", "résumé.bin", "10K"], cwd=self.dir,
                                   stdin=writer, stdout=writer, stderr=writer, env=english)
        os.close(writer)
        shown = b""
        while b"(Yes/No)" not in shown and select.select([reader], [], [], 60)[0]:
            shown += os.read(reader, 4096)
        os.write(reader, b"y\r")
        shown = re.sub(rb"\x1b\[[?0-9;]*[a-zA-Z]", b"", shown + drained(reader)).decode()
        self.assertEqual(program.wait(timeout=60), 0)
        for text in ("を上書きしますか？(Yes/No)", "(10,240 bytes) ファイルを作成しました。\r\n"):
            self.assertIn(self.shown("résumé.bin") + " " + text, shown)

    def standin(self):
        """The exe of the program's objects with tests/wine/SystemStandIns.cpp, built beside it."""
        exe = os.path.join(os.path.dirname(EXE), "DravikStandIn.exe")
        if not os.path.exists(exe):
            self.skip("no DravikStandIn.exe beside it: the stand-ins are built, never released")
        return exe

    def test_holes_are_passed_over_only_where_the_allocated_ranges_tell_the_data(self):
        exe, marks = self.standin(), b"\xAA" * 4096  # where the ranges say nothing is: never read
        many = [(i << 18, os.urandom(4096)) for i in range(100)]  # more than one answer holds
        small = (1 << 20, [(70000, os.urandom(5000))], [0, 600000])
        rows = [(*small, "70000+5000", 0x200, False),  # size, data, marks, ranges, attributes
                (25 << 20, many, [(i << 18) + (128 << 10) for i in range(100)],
                 ",".join(f"{at}+4096" for at, _ in many), 0x200, False),
                (5 * GIB + 9, [(0, b"boot"), (4 * GIB + 123, os.urandom(5000)), (5 * GIB - 7, b"tail")],
                 [2 * GIB, 4 * GIB + (1 << 20)], f"0+4,{4 * GIB + 123}+5000,{5 * GIB - 7}+4", 0x200, False)]
        # Read whole: a placeholder (recalled on access, offline, recalled on open, a reparse
        # point) whose ranges show nothing; a filter's ERROR_MORE_DATA without an entry; a file
        # that is not sparse.
        rows += [(*small, ranges, attributes, True) for ranges, attributes in (
            ("", 0x400200), ("", 0x1200), ("", 0x40200), ("", 0x600), ("more-data", 0x200), ("", 0))]
        for size, data, at, ranges, attributes, read in rows:
            marked = [(offset, marks) for offset in at]
            write(self.path("src"), size, *data, *marked)
            write(self.path("expected"), size, *data, *(marked if read else []))
            self.check(("src", "copy"), self.text("<src> > <copy>", COUNT.format(1)), exe=exe,
                       env=dict(ENV, DRAVIK_RANGES=ranges, DRAVIK_ATTRIBUTES=f"{attributes:x}"))
            self.assertEqual(content(self.path("copy")), content(self.path("expected")), ranges[:40])
            os.remove(self.path("copy"))

    def test_a_console_that_takes_nothing_ends_the_run_with_a_report(self):
        _, _, err, code = self.on_terminal(("/c", "日本.bin", "1"), dict(ENV, DRAVIK_CONSOLE="nothing"),
                                           ["stdin", "stdout"], exe=self.standin())
        self.assertEqual((re.sub(rb"\b[0-9A-F]{8}\b", b"XXXXXXXX", err, count=1), code),  # no loop
                         (self.report("EInOutError", "I/O エラー (29).", "DravikStandIn.exe"), 1))

    def test_a_fault_is_reported_and_ends_the_process_at_once(self):
        Path(self.path("a.bin")).write_bytes(b"data")
        out, err, code = self.run_program("a.bin", "copy", env=dict(ENV, DRAVIK_FAULT="1"),
                                          exe=self.standin())
        # In the module that faulted, and no ExitProcess after it, whose DLLs' detach code could hang.
        self.assertEqual((out, code), (b"", 1))
        self.assertRegex(err.decode("cp932"), "^EAccessViolation がモジュール msvcrt.dll の XXXXXXXX で"
                         "発生しました。\nアクセス違反です \\(アドレス 0+ への書き込み\\).\r\n$")
