"""Runs the real program on real files: the Linux build natively, or a Windows build (the
32-bit or the 64-bit exe) under the new-WoW64 Wine of a Debian unstable root, in which
tools/wine-root.sh runs the tests. Tests write paths as Linux paths and expected texts as
Python strings; the harness turns them into what the program under test sees and prints
(Windows paths on a mapped drive letter and Shift_JIS under Wine, Linux paths and UTF-8
natively)."""

import atexit
import os
import re
import shutil
import subprocess
import tempfile
import unittest

TARGET = os.environ.get("DRAVIK_TARGET", "native")
EXE = os.environ.get("DRAVIK_EXE", "")
WINE = TARGET == "wine"
WINE_DIR = "/usr/lib/x86_64-linux-gnu/wine"
WINE_LOADER = WINE_DIR + "/wine"
WINE_SERVER = WINE_DIR + "/wineserver"
DRIVE = "T:"

ENCODING = "cp932" if WINE else "utf-8"
SEP = "\\" if WINE else "/"
PROGRAM_NAME = "Dravik.exe" if WINE else "dravik"
REPORT_ADDRESS = re.compile(rb"\b[0-9A-F]{8}\b")


class Result:
    def __init__(self, completed):
        self.code = completed.returncode
        self.out = completed.stdout
        self.err = completed.stderr


class _Session:
    """State shared by every test of one run: the test root and, under Wine, the prefix."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="dravik-e2e-")
        atexit.register(self.close)
        self.env = dict(os.environ)
        # Natively: UTF-8 texts, the comma as thousands separator, system texts in English.
        self.env["LC_ALL"] = "C.UTF-8"
        if WINE:
            self.prefix = tempfile.mkdtemp(prefix="dravik-wineprefix-")
            self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", LC_ALL="ja_JP.UTF-8",
                            WINEDLLOVERRIDES="mscoree,mshtml=")
            # Wine 10 aborts at start ("free(): invalid pointer") whenever TMPDIR is set.
            self.env.pop("TMPDIR", None)
            subprocess.run([WINE_LOADER, "cmd", "/c", "exit"], env=self.env,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False, timeout=300)
            devices = os.path.join(self.prefix, "dosdevices")
            os.symlink(self.root, os.path.join(devices, DRIVE.lower()))
            # One Windows process lives as long as the session: with none, Wine stops the
            # prefix's services within seconds, and every start then takes 1.5 s more.
            self.keeper = subprocess.Popen([WINE_LOADER, "cmd"], env=self.env,
                                           stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL)

    def close(self):
        if WINE:
            self.keeper.stdin.close()  # cmd ends at the end of its input
            subprocess.run([WINE_SERVER, "-k"], env=self.env, check=False)
            self.keeper.wait(timeout=60)
            shutil.rmtree(self.prefix, ignore_errors=True)
        shutil.rmtree(self.root, ignore_errors=True)


_session = None


def session():
    global _session
    if _session is None:
        _session = _Session()
    return _session


def visible_path(path):
    """The path as the program under test sees it."""
    if not WINE:
        return path
    relative = os.path.relpath(path, session().root)
    return DRIVE + "\\" + ("" if relative == "." else relative.replace("/", "\\"))


def encode(text):
    return text.encode(ENCODING)


class ProgramTest(unittest.TestCase):
    """A test case with a fresh folder of its own and a copy of the program in it."""

    def setUp(self):
        if not EXE:
            self.skipTest("DRAVIK_EXE is not set")
        self.dir = tempfile.mkdtemp(dir=session().root)
        self.exe = self.install_program(PROGRAM_NAME)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def install_program(self, name):
        path = os.path.join(self.dir, name)
        shutil.copy(EXE, path)
        return path

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def shown(self, *parts):
        """A path of this test's folder as the program prints it."""
        return visible_path(self.path(*parts))

    def run_program(self, *args, stdin=b"", exe=None, cwd=None, stdout=None, timeout=600):
        exe = exe or self.exe
        command = [WINE_LOADER, exe] if WINE else [exe]
        completed = subprocess.run(
            command + [a if isinstance(a, str) else a for a in args],
            input=stdin if stdout is None else None,
            stdin=None if stdout is None else subprocess.DEVNULL,
            stdout=stdout if stdout is not None else subprocess.PIPE,
            stderr=subprocess.PIPE, cwd=cwd or self.dir, env=session().env, timeout=timeout)
        return Result(completed)

    # ---- expectations ---------------------------------------------------------------------

    def assertOutput(self, result, *lines, code=0, stderr=b""):
        expected = b"".join(encode(line) + b"\r\n" for line in lines)
        self.assertEqual(result.out, expected)
        self.assertEqual(result.err, stderr)
        self.assertEqual(result.code, code)

    def assertReport(self, result, class_name, message, code=1):
        """The two-line failure report, the address masked."""
        module = os.path.basename(self.exe)
        expected = encode(f"{class_name} がモジュール {module} の ") + b"XXXXXXXX" + encode(
            f" で発生しました。") + b"\n" + encode(message) + b"\r\n"
        self.assertEqual(REPORT_ADDRESS.sub(b"XXXXXXXX", result.err, count=1), expected)
        self.assertEqual(result.code, code)

    def assertSparseCopy(self, source, copy):
        """`copy` has exactly the content and length of `source`."""
        self.assertEqual(os.path.getsize(copy), os.path.getsize(source))
        self.assertTrue(same_content(source, copy), f"{copy} differs from {source}")


def allocated(path):
    return os.stat(path).st_blocks * 512


def allocated_beyond_wine_tail(path):
    """Allocated bytes, less what Wine itself allocates when it sets a file's end: it writes a
    byte at the new end and truncates again, which leaves the block holding an unaligned end
    allocated. Natively this is simply the allocated size."""
    size = os.path.getsize(path)
    block = os.statvfs(path).f_bsize
    if WINE and size % block:
        return max(0, allocated(path) - block)
    return allocated(path)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def data_ranges(path):
    """The file's data ranges as the file system reports them."""
    ranges = []
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        offset = 0
        while offset < size:
            try:
                start = os.lseek(f.fileno(), offset, os.SEEK_DATA)
            except OSError:
                break
            end = os.lseek(f.fileno(), start, os.SEEK_HOLE)
            ranges.append((start, end))
            offset = end
    return ranges


def same_content(a, b):
    """Compares two files without reading the ranges that are holes in both."""
    size = os.path.getsize(a)
    if os.path.getsize(b) != size:
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        for start, end in sorted(data_ranges(a) + data_ranges(b)):
            fa.seek(start)
            fb.seek(start)
            while start < end:
                step = min(1 << 20, end - start)
                if fa.read(step) != fb.read(step):
                    return False
                start += step
    return True


def write_sparse(path, size, extents):
    """A file of `size` bytes with `extents` (offset, bytes) written and holes elsewhere."""
    with open(path, "wb") as f:
        f.truncate(size)
        for offset, data in extents:
            f.seek(offset)
            f.write(data)
