"""Real faults and hostile input on the Linux build: a file-size limit, sources that cannot be
opened or read, standard channels that are closed, broken or at their end, and arguments
that are very long, hold every byte value, or name special files."""

import ctypes
import errno
import os
import re
import resource
import socket
import stat
import subprocess
import sys
import unittest

from harness import WINE, ProgramTest, Result, encode, read, session
from test_copy import count_line
from test_shell import usage_lines

NATIVE_ONLY = "Linux resource limits, descriptors, devices and argv bytes"

CONSOLE_BUFFER = 128  # standard output to a pipe goes out in blocks of this size
# Every text strerror can give: the report must carry one of them, whatever its wording.
SYSTEM_TEXTS = {os.strerror(code) for code in range(1, 256)}


def limit_file_size(limit):
    def apply():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


def closing(*descriptors):
    def apply():
        for descriptor in descriptors:
            os.close(descriptor)
    return apply


_libc = ctypes.CDLL(None, use_errno=True)
_PR_CAPBSET_DROP = 24
_CAP_DAC_OVERRIDE = 1
_CAP_DAC_READ_SEARCH = 2


_CLONE_NEWNS = 0x00020000
_MS_REC = 0x4000
_MS_PRIVATE = 1 << 18


def with_own_proc(folder):
    """Before exec: a mount namespace of the child's own, with a procfs mounted on `folder`.
    The mount ends with the child; nobody else ever sees it."""
    def apply():
        for call, args in ((_libc.unshare, (_CLONE_NEWNS,)),
                           (_libc.mount, (None, b"/", None, _MS_REC | _MS_PRIVATE, None)),
                           (_libc.mount, (b"proc", os.fsencode(folder), b"proc", 0, None))):
            if call(*args) != 0:
                raise OSError(ctypes.get_errno(), call.__name__)
    return apply


def without_access_override():
    """Before exec: takes from root the power to open files that their mode bits forbid."""
    if os.geteuid() != 0:
        return
    for capability in (_CAP_DAC_OVERRIDE, _CAP_DAC_READ_SEARCH):
        if _libc.prctl(_PR_CAPBSET_DROP, capability, 0, 0, 0) != 0:
            raise OSError(ctypes.get_errno(), "prctl(PR_CAPBSET_DROP)")


def question(path, all_form=False):
    return f"{path} を上書きしますか？(Yes/No{'/All' if all_form else ''})"


def lines(*texts):
    """Output lines, each a str (encoded) or bytes (a raw path line), ended by CR LF."""
    return b"".join((text if isinstance(text, bytes) else encode(text)) + b"\r\n" for text in texts)


class HostileTest(ProgramTest):
    def launch(self, *args, stdin=b"", stdout=subprocess.PIPE, before_exec=None, cwd=None,
               timeout=60):
        """Runs the program. `stdin` None is the null device; `before_exec` runs in the child."""
        streams = {"input": stdin} if stdin is not None else {"stdin": subprocess.DEVNULL}
        completed = subprocess.run([self.exe, *args], stdout=stdout, stderr=subprocess.PIPE,
                                   cwd=cwd or self.dir, env=session().env, preexec_fn=before_exec,
                                   timeout=timeout, **streams)
        return Result(completed)

    def write(self, content, *parts):
        with open(self.path(*parts), "wb") as f:
            f.write(content)
        return self.path(*parts)

    def assertRun(self, result, output, code=0):
        self.assertEqual(result.out, output)
        self.assertEqual(result.err, b"")
        self.assertEqual(result.code, code)

    def assertSystemReport(self, result, class_name, before, after=" ."):
        """The report whose message is `before`, a system error text and `after`; returns the
        text."""
        pattern = re.escape(encode(before)) + rb"(.+?)" + re.escape(encode(after)) + rb"\r\n\Z"
        match = re.search(pattern, result.err)
        self.assertIsNotNone(match, result.err)
        text = match.group(1).decode()
        self.assertIn(text, SYSTEM_TEXTS)
        self.assertReport(result, class_name, before + text + after)
        return text

    def walk_order(self, folder):
        """The order in which a walk over `folder` meets its entries: the directory's own."""
        return os.listdir(self.path(folder))


@unittest.skipIf(WINE, NATIVE_ONLY)
class FileSizeLimit(HostileTest):
    """The program ignores SIGXFSZ, so a write past RLIMIT_FSIZE fails and is reported."""

    def copy_limited(self, content, limit):
        source = self.write(content, "src.bin")
        dest = self.path("dst.bin")
        if os.path.exists(dest):
            os.remove(dest)
        result = self.launch(source, dest, before_exec=limit_file_size(limit))
        self.assertEqual(result.out, b"")
        text = self.assertSystemReport(result, "EWriteError", f"ファイル {dest} に書き込めません。 ")
        written = read(dest)
        self.assertLess(len(written), len(content))
        self.assertLessEqual(len(written), limit)
        self.assertTrue(content.startswith(written), "the copy is not a prefix of its source")
        return text

    def test_copy_past_the_limit_is_reported_and_keeps_a_true_prefix(self):
        data = os.urandom(100_000)
        cases = (("data cut at the limit", data, 30_000),
                 ("no byte may be written", data, 0),
                 ("zero tail whose end lies past the limit",
                  data[:10_000] + bytes(1 << 20), 65_536),
                 ("data after a hole past the limit",
                  data[:10_000] + bytes(1 << 20) + data[-5_000:], 65_536))
        for what, content, limit in cases:
            with self.subTest(what):
                self.copy_limited(content, limit)

    def test_limit_reached_before_any_write_is_named_as_the_cause(self):
        text = self.copy_limited(os.urandom(10_000), 0)
        self.assertEqual(text, os.strerror(errno.EFBIG))

    def test_limit_reached_within_a_write_is_named_as_the_cause(self):
        # Known fault: a write cut short by the limit is reported as a full disk.
        text = self.copy_limited(os.urandom(100_000), 30_000)
        self.assertEqual(text, os.strerror(errno.EFBIG))

    def test_folder_walk_ends_at_the_file_that_meets_the_limit(self):
        os.mkdir(self.path("src"))
        os.mkdir(self.path("dst"))
        contents = {"a.bin": os.urandom(1000), "big.bin": os.urandom(100_000),
                    "c.bin": os.urandom(2000), "d.bin": b""}
        for name, content in contents.items():
            self.write(content, "src", name)
        order = self.walk_order("src")
        before = order[:order.index("big.bin")]
        result = self.launch(self.path("src", "*"), self.path("dst"),
                             before_exec=limit_file_size(65_536))
        self.assertEqual(result.out, lines(*(f"{self.path('src', n)} > {self.path('dst', n)}"
                                             for n in before)))
        self.assertSystemReport(result, "EWriteError",
                                f"ファイル {self.path('dst', 'big.bin')} に書き込めません。 ")
        self.assertCountEqual(os.listdir(self.path("dst")), before + ["big.bin"])
        for name in before:
            self.assertEqual(read(self.path("dst", name)), contents[name])
        self.assertTrue(contents["big.bin"].startswith(read(self.path("dst", "big.bin"))))


@unittest.skipIf(WINE, NATIVE_ONLY)
class UnreadableSource(HostileTest):
    def setUp(self):
        super().setUp()
        self.locked = self.write(b"secret", "locked.bin")
        os.chmod(self.locked, 0)
        probe = subprocess.run([sys.executable, "-c", f"open({self.locked!r}, 'rb')"],
                               preexec_fn=without_access_override, stderr=subprocess.DEVNULL)
        if probe.returncode == 0:
            self.skipTest("a file cannot be made unreadable here")

    def test_source_that_cannot_be_opened_leaves_the_destination_untouched(self):
        dest = self.path("dest.bin")
        asked = encode(question(dest))
        # existing destination content (None: none), answer, output before the report
        cases = ((None, b"", b""), (b"old", b"n\n", asked), (b"old", b"y\n", asked))
        for existing, answer, output in cases:
            with self.subTest(existing=existing, answer=answer):
                if existing is not None:
                    self.write(existing, "dest.bin")
                result = self.launch(self.locked, dest, stdin=answer,
                                     before_exec=without_access_override)
                self.assertEqual(result.out, output)
                text = self.assertSystemReport(result, "EFOpenError",
                                               f"ファイル {self.locked} は開けません。 ")
                self.assertEqual(text, os.strerror(errno.EACCES))
                if existing is None:
                    self.assertFalse(os.path.exists(dest))
                else:
                    self.assertEqual(read(dest), existing)

    def test_folder_walk_ends_at_the_file_that_cannot_be_opened(self):
        os.mkdir(self.path("src"))
        os.mkdir(self.path("dst"))
        for name in ("a.bin", "c.bin", "d.bin"):
            self.write(name.encode(), "src", name)
        os.rename(self.locked, self.path("src", "locked.bin"))
        order = self.walk_order("src")
        before = order[:order.index("locked.bin")]
        result = self.launch(self.path("src", "*"), self.path("dst"),
                             before_exec=without_access_override)
        self.assertEqual(result.out, lines(*(f"{self.path('src', n)} > {self.path('dst', n)}"
                                             for n in before)))
        self.assertSystemReport(result, "EFOpenError",
                                f"ファイル {self.path('src', 'locked.bin')} は開けません。 ")
        self.assertCountEqual(os.listdir(self.path("dst")), before)

    def test_source_whose_read_fails(self):
        # The program's own memory file opens, but reading at offset 0 (never mapped) fails.
        if os.geteuid() != 0:
            self.skipTest("mounting a procfs of the test's own needs root")
        os.mkdir(self.path("proc"))
        source, dest = self.path("proc", "self", "mem"), self.path("dest.bin")
        result = self.launch(source, dest, before_exec=with_own_proc(self.path("proc")))
        self.assertEqual(result.out, b"")
        text = self.assertSystemReport(result, "EReadError", f"ファイル {source} を読み込めません。 ")
        self.assertEqual(text, os.strerror(errno.EIO))
        self.assertEqual(read(dest), b"")  # created, and nothing was read into it


@unittest.skipIf(WINE, NATIVE_ONLY)
class BrokenStandardOutput(HostileTest):
    def setUp(self):
        super().setUp()
        os.mkdir(self.path("src"))
        os.mkdir(self.path("dst"))
        for number in range(20):
            self.write(b"file %d\0\0\0end" % number, "src", f"f{number:02d}")

    def launch_into_dead_pipe(self, *args, **options):
        reader, writer = os.pipe()
        os.close(reader)
        try:
            return self.launch(*args, stdout=writer, **options)
        finally:
            os.close(writer)

    def assertCopiedFiles(self, count):
        copied = os.listdir(self.path("dst"))
        self.assertEqual(len(copied), count)
        for name in copied:
            self.assertEqual(read(self.path("dst", name)), read(self.path("src", name)))

    def test_pipe_reader_gone_during_a_folder_walk(self):
        line = f"{self.path('src', 'f00')} > {self.path('dst', 'f00')}"
        line_bytes = len(encode(line)) + 2
        lines_until_full = -(-CONSOLE_BUFFER // line_bytes)  # the line that fills the buffer
        self.assertLess(lines_until_full, 20)
        result = self.launch_into_dead_pipe(self.path("src", "*"), self.path("dst"))
        self.assertReport(result, "EInOutError", "I/O エラー (109).")
        self.assertCopiedFiles(lines_until_full)

    def test_pipe_reader_gone_at_a_question(self):
        self.write(b"old", "dst", "f00")
        result = self.launch_into_dead_pipe(self.path("src", "f00"), self.path("dst", "f00"),
                                            stdin=b"y\n")
        self.assertReport(result, "EInOutError", "I/O エラー (109).")
        self.assertEqual(read(self.path("dst", "f00")), b"old")

    def test_pipe_reader_gone_before_output_first_goes_out_at_the_end(self):
        # Less than a block of output: it first goes out as the run ends, and that failure
        # is not reported.
        for args in (("/c", self.path("new.bin"), "3"), (self.path("missing"), self.path("dst"))):
            with self.subTest(args=args):
                result = self.launch_into_dead_pipe(*args)
                self.assertEqual((result.err, result.code), (b"", 0))
        self.assertEqual(read(self.path("new.bin")), bytes(3))

    def test_closed_standard_output_fails_at_the_first_line(self):
        self.write(b"old", "existing.bin")
        # arguments, input, then a check of the files
        cases = (("folder walk", (self.path("src", "*"), self.path("dst")), b"",
                  lambda: self.assertCopiedFiles(1)),
                 ("create", ("/c", self.path("new.bin"), "3"), b"",
                  lambda: self.assertEqual(read(self.path("new.bin")), bytes(3))),
                 ("create question", ("/c", self.path("existing.bin"), "3"), b"y\n",
                  lambda: self.assertEqual(read(self.path("existing.bin")), b"old")),
                 ("usage", (), b"\n", lambda: None))
        for what, args, stdin, check in cases:
            with self.subTest(what):
                result = self.launch(*args, stdin=stdin, before_exec=closing(1))
                self.assertReport(result, "EInOutError", "I/O エラー (105).")
                check()

    def test_no_standard_descriptor_open(self):
        # Nothing the program opens may take the place of a closed standard channel.
        for args, made, content in (((self.path("src", "f03"), self.path("copy.bin")), "copy.bin",
                                     read(self.path("src", "f03"))),
                                    (("/c", self.path("zero.bin"), "7"), "zero.bin", bytes(7))):
            with self.subTest(args=args):
                result = self.launch(*args, stdin=None, before_exec=closing(0, 1, 2))
                self.assertEqual((result.out, result.err, result.code), (b"", b"", 1))
                self.assertEqual(read(self.path(made)), content)


@unittest.skipIf(WINE, NATIVE_ONLY)
class StandardInputFaults(HostileTest):
    def setUp(self):
        super().setUp()
        os.mkdir(self.path("src"))
        os.mkdir(self.path("dst"))
        self.write(b"new", "src", "x.bin")
        self.write(b"old", "dst", "x.bin")
        self.source, self.dest = self.path("src", "x.bin"), self.path("dst", "x.bin")

    def question_cases(self):
        """Each form of the question: arguments, question, the line of a refusal, count line."""
        return (("copy to a file", (self.source, self.dest), question(self.dest),
                 f"{self.source} > {self.dest} ... skip", [count_line(0)]),
                ("copy into a folder", (self.path("src", "*"), self.path("dst")),
                 question(self.dest, all_form=True), f"{self.source} ... skip", [count_line(0)]),
                ("create", ("/c", self.dest, "5"), question(self.dest),
                 f"{self.dest} ファイルが作成されませんでした。", []))

    def test_closed_standard_input_at_a_question(self):
        for what, args, asked, _, _ in self.question_cases():
            with self.subTest(what):
                result = self.launch(*args, stdin=None, before_exec=closing(0))
                self.assertEqual(result.out, encode(asked))
                self.assertReport(result, "EInOutError", "I/O エラー (104).")
                self.assertEqual(read(self.dest), b"old")

    def test_closed_standard_input_at_the_usage_pause(self):
        result = self.launch(stdin=None, before_exec=closing(0))
        self.assertEqual(result.out, lines(*usage_lines(os.path.basename(self.exe))))
        self.assertReport(result, "EInOutError", "I/O エラー (104).")

    def test_end_of_input_at_a_question_answers_no(self):
        for what, args, asked, refused, after in self.question_cases():
            for stdin in (b"", None):  # an empty pipe, the null device
                with self.subTest(what, stdin=stdin):
                    result = self.launch(*args, stdin=stdin)
                    self.assertRun(result, encode(asked) + lines("", refused, *after))
                    self.assertEqual(read(self.dest), b"old")

    def test_answers_with_control_and_unusual_bytes(self):
        asked = encode(question(self.dest))
        copied = lines(f"{self.source} > {self.dest}", count_line(1))
        skipped = lines(f"{self.source} > {self.dest} ... skip", count_line(0))
        given_up = lines("", f"{self.source} > {self.dest} ... skip", count_line(0))
        # input, expected output
        cases = ((b"y\0\n", asked + copied),  # NUL is trimmed like any byte up to 0x20
                 (b"\0\0yes\0\r\n", asked + copied),
                 (b" \t\x0bY\x0c\r\n", asked + copied),
                 (b"\r\r\ry\r\r\n", asked + copied),  # a CR without LF is dropped
                 (b" " * 1_000_000 + b"y", asked + copied),  # one long line without line end
                 (b"n\x1ay\n", asked + skipped),  # Ctrl+Z ends the answer
                 (b"\x1ay\n", asked * 2 + given_up),  # ... and the rest of its line goes with it
                 (b"\xff\xfe\n", asked * 2 + given_up),
                 ("ｙ\n".encode(), asked * 2 + given_up))  # a full-width y
        for stdin, output in cases:
            with self.subTest(stdin=stdin[:12]):
                self.write(b"old", "dst", "x.bin")
                result = self.launch(self.source, self.dest, stdin=stdin)
                self.assertRun(result, output)
                self.assertEqual(read(self.dest), b"new" if output.endswith(copied) else b"old")


@unittest.skipIf(WINE, NATIVE_ONLY)
class LongArguments(HostileTest):
    LONG = "x" * 100_000

    def test_arguments_of_100000_bytes(self):
        os.mkdir(self.path("folder"))
        os.mkdir(self.path("sub"))
        source = self.write(b"data", "src.bin")
        long_path = self.path(self.LONG)
        usage = usage_lines(os.path.basename(self.exe))
        # arguments, expected lines, the file the run makes (or None)
        cases = (((self.LONG, "dest.bin"), [count_line(0)], None),
                 ((self.LONG, "folder"), [count_line(0)], None),
                 (("src.bin", self.LONG), [f"{source} > {long_path} ... skip", count_line(0)],
                  None),
                 (("/c", self.LONG, "1"), [f"{long_path} ファイルが作成されませんでした。"], None),
                 (("/c", "made.bin", self.LONG), usage, None),  # no digit in the size
                 (("/c", "made.bin", "9" * 100_000), usage, None),  # too many digits
                 ((self.LONG,), usage, None),
                 (("src.bin", "copy.bin", self.LONG),  # a third argument is ignored
                  [f"{source} > {self.path('copy.bin')}", count_line(1)], "copy.bin"),
                 (("src.bin", "sub/" + "x/../" * 20_000),  # resolves to the folder sub
                  [f"{source} > {self.path('sub', 'src.bin')}", count_line(1)], "sub/src.bin"))
        for args, expected, made in cases:
            with self.subTest(args=[a[:20] for a in args]):
                result = self.launch(*args, stdin=b"\n")
                self.assertRun(result, lines(*expected))
                if made:
                    self.assertEqual(read(self.path(made)), b"data")
                    os.remove(self.path(made))
                self.assertCountEqual(os.listdir(self.dir),
                                      [os.path.basename(self.exe), "folder", "sub", "src.bin"])
                self.assertEqual(os.listdir(self.path("sub")), [])


@unittest.skipIf(WINE, NATIVE_ONLY)
class EveryByteValue(HostileTest):
    ALL = bytes(range(1, 256))
    ONE_NAME = bytes(b for b in ALL if b != ord("/"))  # 254 bytes: one path component
    PLAIN_NAME = bytes(b for b in ONE_NAME if b not in b"*?")  # no wildcard either

    def shown_bytes(self, name):
        return os.fsencode(self.dir) + b"/" + name

    def test_argument_holding_every_byte(self):
        os.mkdir(self.path("folder"))
        source = self.write(b"data", "src.bin")
        path = self.shown_bytes(self.ALL)
        not_created = encode(" ファイルが作成されませんでした。")
        cases = (((self.ALL, b"dest.bin"), lines(count_line(0))),
                 ((self.ALL, b"folder"), lines(count_line(0))),
                 ((b"src.bin", self.ALL),
                  lines(os.fsencode(source) + b" > " + path + b" ... skip", count_line(0))),
                 ((b"/c", self.ALL, b"1"), path + not_created + b"\r\n"))
        for args, output in cases:
            with self.subTest(args=args):
                self.assertRun(self.launch(*args), output)
                self.assertCountEqual(os.listdir(self.dir),
                                      [os.path.basename(self.exe), "folder", "src.bin"])

    def test_every_byte_as_the_size(self):
        # The digits come in byte order, 0123456789, and the first unit letter found is "k".
        result = self.launch("/c", "big.img", self.ALL)
        self.assertRun(result, lines(f"{self.path('big.img')} (126,419,751,936 bytes) "
                                     "ファイルを作成しました。"))
        self.assertEqual(os.path.getsize(self.path("big.img")), 123456789 * 1024)
        self.assertEqual(os.stat(self.path("big.img")).st_blocks, 0)

    def test_name_holding_every_byte_but_the_separator(self):
        # A name with a wildcard names no file, as on Windows: nothing is created.
        not_created = encode(" ファイルが作成されませんでした。")
        self.assertRun(self.launch(b"/c", self.ONE_NAME, b"1"),
                       self.shown_bytes(self.ONE_NAME) + not_created + b"\r\n")
        self.assertFalse(os.path.exists(os.path.join(os.fsencode(self.dir), self.ONE_NAME)))
        created = encode(" (1 bytes) ファイルを作成しました。")
        self.assertRun(self.launch(b"/c", self.PLAIN_NAME, b"1"),
                       self.shown_bytes(self.PLAIN_NAME) + created + b"\r\n")
        self.assertEqual(read(os.path.join(os.fsencode(self.dir), self.PLAIN_NAME)), b"\0")
        os.mkdir(self.path("dst"))
        result = self.launch(self.PLAIN_NAME, b"dst")
        self.assertRun(result, lines(self.shown_bytes(self.PLAIN_NAME) + b" > " +
                                     self.shown_bytes(b"dst/" + self.PLAIN_NAME), count_line(1)))
        self.assertEqual(read(os.path.join(os.fsencode(self.path("dst")), self.PLAIN_NAME)), b"\0")

    def test_each_byte_as_a_file_name(self):
        os.mkdir(self.path("sweep"))
        folder = os.fsencode(self.path("sweep"))
        # The separator alone would name the real root: never a destination here.
        for value in set(range(1, 256)) - {ord("/")}:
            name = bytes([value])
            with self.subTest(byte=value):
                result = self.launch(b"/c", name, b"1", cwd=self.path("sweep"))
                if name in (b".", b"*", b"?"):  # the current folder, wildcards
                    path = folder if name == b"." else folder + b"/" + name
                    output = path + encode(" ファイルが作成されませんでした。\r\n")
                else:
                    path = folder + b"/" + name
                    output = path + encode(" (1 bytes) ファイルを作成しました。\r\n")
                    self.assertEqual(read(path), b"\0")
                self.assertRun(result, output)
        self.assertEqual(len(os.listdir(self.path("sweep"))), 251)


@unittest.skipIf(WINE, NATIVE_ONLY)
class OversizedNumbers(HostileTest):
    def test_sizes_beyond_64_bits_or_beyond_any_file(self):
        usage = lines(*usage_lines(os.path.basename(self.exe)))
        not_created = lines(f"{self.path('big.bin')} ファイルが作成されませんでした。")
        cases = (("99999999999999999999", usage),  # twenty digits
                 ("9223372036854775808", usage),  # 2^63
                 ("16777216T", usage),  # 2^64 bytes
                 ("16777217T", usage),
                 ("9223372036854775807", not_created),  # 2^63 - 1 bytes: no file holds them
                 ("8388607T", not_created))
        for size, output in cases:
            with self.subTest(size=size):
                # The limit makes every file system refuse the largest sizes alike.
                result = self.launch("/c", self.path("big.bin"), size, stdin=b"\n",
                                     before_exec=limit_file_size(1 << 20))
                self.assertRun(result, output)
                self.assertFalse(os.path.exists(self.path("big.bin")))


@unittest.skipIf(WINE, NATIVE_ONLY)
class ArgumentShapes(HostileTest):
    def test_empty_arguments_are_dropped(self):
        source = self.write(b"data", "src.bin")
        created = "(4 bytes) ファイルを作成しました。"
        # arguments, expected lines, the file made and its content
        cases = ((("src.bin", ""), usage_lines(os.path.basename(self.exe)), None, None),
                 (("", "src.bin", "", "e1.bin"),
                  [f"{source} > {self.path('e1.bin')}", count_line(1)], "e1.bin", b"data"),
                 (("/c", "", "e2.bin", "4"), [f"{self.path('e2.bin')} {created}"], "e2.bin",
                  bytes(4)),
                 (("", "/c", "e3.bin", "4"), [f"{self.path('e3.bin')} {created}"], "e3.bin",
                  bytes(4)))
        for args, expected, made, content in cases:
            with self.subTest(args=args):
                self.assertRun(self.launch(*args, stdin=b"\n"), lines(*expected))
                if made:
                    self.assertEqual(read(self.path(made)), content)

    def test_double_quote_is_part_of_the_name(self):
        made, copy = self.path('a"b'), self.path('c" d')
        self.assertRun(self.launch("/c", 'a"b', "2"),
                       lines(f"{made} (2 bytes) ファイルを作成しました。"))
        self.assertEqual(read(made), bytes(2))
        self.assertRun(self.launch('a"b', 'c" d'), lines(f"{made} > {copy}", count_line(1)))
        self.assertEqual(read(copy), bytes(2))
        self.assertRun(self.launch('"a"b"', "x"), lines(count_line(0)))  # no such name

    def test_existing_file_with_a_wildcard_in_its_name_is_not_replaced_unasked(self):
        # Known fault: such a name counts as no file, so it is replaced without the question.
        source = self.write(b"new", "src.bin")
        for target, args in (("w*", ("/c", "w*", "3")), ("q?", (source, "q?"))):
            with self.subTest(args=args):
                self.write(b"precious", target)
                self.launch(*args, stdin=b"n\n")
                self.assertEqual(read(self.path(target)), b"precious")


@unittest.skipIf(WINE, NATIVE_ONLY)
class ManyFiles(HostileTest):
    def test_pattern_with_10000_matches(self):
        os.mkdir(self.path("src"))
        os.mkdir(self.path("dst"))
        # Seven kinds of content, one of them empty; the names are hard links to them, which
        # keeps the set-up cheap.
        kinds = [b""] + [b"%d\0" % kind * kind for kind in range(1, 7)]
        for kind, content in enumerate(kinds):
            self.write(content, f"kind{kind}")
        names = [f"f{number:05d}" for number in range(10_000)]
        contents = {}
        for number, name in enumerate(names):
            contents[name] = kinds[number % 7]
            os.link(self.path(f"kind{number % 7}"), self.path("src", name))
        result = self.launch(self.path("src", "*"), self.path("dst"), timeout=300)
        self.assertEqual((result.err, result.code), (b"", 0))
        output = result.out.split(b"\r\n")
        self.assertEqual(output[-2:], [encode(count_line(10_000)), b""])
        self.assertCountEqual(output[:-2], [encode(f"{self.path('src', n)} > {self.path('dst', n)}")
                                            for n in names])
        self.assertEqual(len(os.listdir(self.path("dst"))), 10_000)
        for name in names:
            self.assertEqual(os.path.getsize(self.path("dst", name)), len(contents[name]), name)
        for name in names[::97]:
            self.assertEqual(read(self.path("dst", name)), contents[name], name)


@unittest.skipIf(WINE, NATIVE_ONLY)
class PathsAndFolders(HostileTest):
    def test_path_longer_than_300_bytes(self):
        parts = ("a" * 100, "b" * 100, "c" * 100)
        os.makedirs(self.path(*parts))
        relative = os.path.join(*parts, "new.bin")
        made, copy = self.path(relative), self.path(*parts, "copy.bin")
        self.assertGreater(len(made), 300)
        self.assertRun(self.launch("/c", relative, "3K"),
                       lines(f"{made} (3,072 bytes) ファイルを作成しました。"))
        self.assertRun(self.launch(relative, copy), lines(f"{made} > {copy}", count_line(1)))
        self.assertSparseCopy(made, copy)
        os.mkdir(self.path("dst"))
        result = self.launch(self.path(*parts, "*.bin"), "dst")
        self.assertEqual(result.code, 0)
        self.assertCountEqual(result.out.split(b"\r\n"), [
            encode(f"{made} > {self.path('dst', 'new.bin')}"),
            encode(f"{copy} > {self.path('dst', 'copy.bin')}"), encode(count_line(2)), b""])

    def test_relative_paths_in_a_deleted_current_folder_are_refused_as_typed(self):
        tag = f"dravik-e2e-{os.path.basename(self.dir)}"  # names nobody else uses at "/"
        source = self.write(b"data", f"{tag}.bin")
        copy, made = f"{tag}-copy.bin", f"{tag}-made.bin"
        gone = self.path("gone")
        # arguments, the path reported, or the not-created line's path
        cases = (((source, copy), copy), ((source, "."), "."), ((f"{tag}.bin", self.dir), f"{tag}.bin"),
                 (("/c", made, "5"), made))
        for args, typed in cases:
            with self.subTest(args=args):
                os.mkdir(gone)
                result = self.launch(*args, cwd=gone, before_exec=lambda: os.rmdir(gone))
                strays = [name for name in (copy, made, f"{tag}.bin")
                          if os.path.lexists(os.path.join("/", name))]
                for name in strays:
                    os.remove(os.path.join("/", name))
                self.assertEqual(strays, [])
                if args[0] == "/c":
                    self.assertRun(result, lines(f"{typed} ファイルが作成されませんでした。"))
                    continue
                self.assertEqual(result.out, b"")
                text = self.assertSystemReport(result, "EFOpenError", f"ファイル {typed} は開けません。 ")
                self.assertEqual(text, os.strerror(errno.ENOENT))
        self.assertEqual(sorted(os.listdir(self.dir)), sorted([os.path.basename(self.exe), f"{tag}.bin"]))

    def test_destination_in_a_folder_that_does_not_exist(self):
        source = self.write(b"data", "src.bin")
        dest = self.path("missing", "dest.bin")
        self.assertRun(self.launch(source, dest),
                       lines(f"{source} > {dest} ... skip", count_line(0)))
        self.assertRun(self.launch("/c", dest, "1"),
                       lines(f"{dest} ファイルが作成されませんでした。"))
        self.assertFalse(os.path.exists(self.path("missing")))


@unittest.skipIf(WINE, NATIVE_ONLY)
class SpecialFiles(HostileTest):
    """FIFOs, devices, sockets and looping or dangling links are no files: nothing waits on
    them, nothing is written to them, and none of them is removed or replaced."""

    DEVICES = {"null": (1, 3), "zero": (1, 5), "full": (1, 7), "urandom": (1, 9)}

    def setUp(self):
        super().setUp()
        self.source = self.write(b"data", "src.bin")
        os.mkfifo(self.path("fifo"))
        os.symlink("fifo", self.path("fifo-link"))
        os.symlink("loop", self.path("loop"))
        os.symlink("missing", self.path("dangling"))
        self.bind_socket("socket")
        # Character devices of this folder's own, as root; the devices they stand for are
        # the harmless memory devices.
        self.devices = []
        if os.geteuid() == 0:
            for name, (major, minor) in self.DEVICES.items():
                os.mknod(self.path(name), stat.S_IFCHR | 0o666, os.makedev(major, minor))
                self.devices.append(name)

    def bind_socket(self, *parts):
        with socket.socket(socket.AF_UNIX) as listener:
            listener.bind(self.path(*parts))

    def kinds(self):
        """What each entry of the folder is, by its own type, not the one it links to."""
        return {name: stat.S_IFMT(os.lstat(self.path(name)).st_mode)
                for name in os.listdir(self.dir)}

    def test_destination_that_is_no_file(self):
        before = self.kinds()
        for name in ["fifo", "fifo-link", "loop", "dangling", "socket"] + self.devices:
            dest = self.path(name)
            with self.subTest(dest=name):
                self.assertRun(self.launch(self.source, dest, timeout=20),
                               lines(f"{self.source} > {dest} ... skip", count_line(0)))
                self.assertRun(self.launch("/c", dest, "5", timeout=20),
                               lines(f"{dest} ファイルが作成されませんでした。"))
        self.assertEqual(self.kinds(), before)
        self.assertEqual(os.readlink(self.path("dangling")), "missing")

    def test_source_that_is_no_file(self):
        for name in ["fifo", "loop", "dangling", "socket"] + self.devices:
            with self.subTest(source=name):
                self.assertRun(self.launch(self.path(name), self.path("copy.bin"), timeout=20),
                               lines(count_line(0)))
                self.assertFalse(os.path.exists(self.path("copy.bin")))

    def test_folder_walk_over_special_entries(self):
        os.mkdir(self.path("src"))
        os.mkdir(self.path("dst"))
        self.write(b"a", "src", "a.bin")
        self.write(b"b", "src", "b.bin")
        os.mkfifo(self.path("dst", "b.bin"))  # a FIFO in the way: no question, not written
        os.mkfifo(self.path("src", "fifo"))
        os.symlink("../zero" if self.devices else "../fifo", self.path("src", "zero"))
        os.symlink("loop", self.path("src", "loop"))
        self.bind_socket("src", "sock")
        result = self.launch(self.path("src", "*"), self.path("dst"), timeout=20)
        self.assertEqual((result.err, result.code), (b"", 0))
        src = self.path("src")
        self.assertCountEqual(result.out.split(b"\r\n")[:-2], [encode(line) for line in (
            f"{src}/a.bin > {self.path('dst', 'a.bin')}", f"{src}/b.bin ... skip",
            f"{src}/fifo ... skip", f"{src}/zero ... skip", f"{src}/sock ... skip",
            f"{src}/loop ... skip")])
        self.assertTrue(result.out.endswith(lines(count_line(1))))
        self.assertEqual(read(self.path("dst", "a.bin")), b"a")
        self.assertCountEqual(os.listdir(self.path("dst")), ["a.bin", "b.bin"])
        self.assertTrue(stat.S_ISFIFO(os.stat(self.path("dst", "b.bin")).st_mode))

if __name__ == "__main__":
    unittest.main()
