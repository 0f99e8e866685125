"""The copy command on real files: content, length and holes of every copy, the modes,
the questions and the result lines."""

import os
import re
import shutil
import subprocess
import time
import unittest

from harness import (DRIVE, SEP, WINE, WINE_LOADER, ProgramTest, allocated, allocated_beyond_wine_tail,
                     encode, read, session, write_sparse)

BLOCK = 4096
GIB = 1 << 30


def count_line(count):
    return f"         {count} 個のファイルをコピーしました。"


class CopyContent(ProgramTest):
    """Every copy is byte-identical to its source, and its zero runs are holes."""

    def copy(self, content, name="src.bin"):
        with open(self.path(name), "wb") as f:
            f.write(content)
        result = self.run_program(self.shown(name), self.shown("copy.bin"))
        self.assertOutput(result, f"{self.shown(name)} > {self.shown('copy.bin')}", count_line(1))
        self.assertSparseCopy(self.path(name), self.path("copy.bin"))
        return allocated_beyond_wine_tail(self.path("copy.bin"))

    def test_zero_runs_at_start_inside_and_end_become_holes(self):
        data = os.urandom(BLOCK)
        content = bytes(64 * BLOCK) + data + bytes(64 * BLOCK) + data + bytes(64 * BLOCK)
        self.assertLessEqual(self.copy(content), 2 * BLOCK)

    def test_all_zero_source_allocates_nothing(self):
        self.assertEqual(self.copy(bytes(3 * 2049 + 5)), 0)

    def test_empty_source_gives_empty_copy(self):
        self.assertEqual(self.copy(b""), 0)

    def test_data_without_zero_runs_is_copied_whole(self):
        self.copy(bytes(range(1, 256)) * 100 + b"\x00" + b"\x01")

    def test_zero_runs_past_4_gib_of_a_sparse_source(self):
        source = self.path("big.img")
        extents = [(0, b"boot"), (4 * GIB + 123, os.urandom(5000)), (5 * GIB - 7, b"tail")]
        write_sparse(source, 5 * GIB + 9, extents)
        result = self.run_program(self.shown("big.img"), self.shown("copy.bin"), timeout=1200)
        self.assertOutput(result, f"{self.shown('big.img')} > {self.shown('copy.bin')}", count_line(1))
        self.assertSparseCopy(source, self.path("copy.bin"))
        self.assertLessEqual(allocated(self.path("copy.bin")), 4 * 1024 * 1024)


    def test_sparse_sources_near_2_and_4_gib(self):
        # Lengths and offsets that a 32-bit quantity would cut: data just below each
        # boundary, data across it, ends in data and in a hole.
        cases = ((2 * GIB - 1, 2 * GIB - 5, b"tail"), (2 * GIB + 5000, 2 * GIB - 3, b"across"),
                 (4 * GIB - 1, 4 * GIB - 5, b"tail"), (4 * GIB + 1, 4 * GIB - 3, b"acro"))
        for size, offset, data in cases:
            with self.subTest(size=size):
                write_sparse(self.path("src.bin"), size, [(offset, data)])
                result = self.run_program("src.bin", "copy.bin", timeout=1200)
                self.assertOutput(result, f"{self.shown('src.bin')} > {self.shown('copy.bin')}",
                                  count_line(1))
                self.assertSparseCopy(self.path("src.bin"), self.path("copy.bin"))
                self.assertLessEqual(allocated_beyond_wine_tail(self.path("copy.bin")), 2 * BLOCK)
                os.remove(self.path("copy.bin"))


class SingleFileMode(ProgramTest):
    def setUp(self):
        super().setUp()
        with open(self.path("a.bin"), "wb") as f:
            f.write(b"source data")

    def test_existing_destination_is_asked_about(self):
        question = f"{self.shown('b.bin')} を上書きしますか？(Yes/No)"
        copied = f"{self.shown('a.bin')} > {self.shown('b.bin')}"
        for answer, line, count, content in ((b"y\n", copied, 1, b"source data"),
                                             (b"no\n", copied + " ... skip", 0, b"old")):
            with self.subTest(answer=answer):
                with open(self.path("b.bin"), "wb") as f:
                    f.write(b"old")
                result = self.run_program("a.bin", "b.bin", stdin=answer)
                self.assertOutput(result, question + line, count_line(count))
                self.assertEqual(read(self.path("b.bin")), content)

    def test_missing_source_prints_only_the_count(self):
        self.assertOutput(self.run_program("missing.bin", "b.bin"), count_line(0))
        self.assertFalse(os.path.exists(self.path("b.bin")))

    def test_same_path_is_refused(self):
        typed_twice = self.run_program("A.BIN" if WINE else "a.bin", "a.bin")
        self.assertOutput(typed_twice, f"{self.shown('A.BIN' if WINE else 'a.bin')} == "
                                       f"{self.shown('a.bin')}", count_line(0))
        missing = self.run_program("gone.bin", "gone.bin")
        self.assertOutput(missing, f"{self.shown('gone.bin')} == {self.shown('gone.bin')}",
                          count_line(0))

    def test_copy_onto_itself_by_another_spelling_leaves_it_intact(self):
        # Absolute paths are taken as typed, so the "." keeps the two paths apart.
        spellings = {"dotted path": self.shown() + SEP + "." + SEP + "a.bin"}
        os.link(self.path("a.bin"), self.path("link.bin"))
        spellings["hard link"] = self.shown("link.bin")
        if not WINE:
            os.symlink(self.path("a.bin"), self.path("symlink.bin"))
            spellings["symbolic link"] = self.shown("symlink.bin")
        for what, other in spellings.items():
            with self.subTest(what):
                result = self.run_program(self.shown("a.bin"), other, stdin=b"yes\n")
                self.assertOutput(result, f"{other} を上書きしますか？(Yes/No)"
                                          f"{self.shown('a.bin')} > {other} ... skip",
                                  count_line(0))
                self.assertEqual(read(self.path("a.bin")), b"source data")

    @unittest.skipUnless(WINE, "a path rooted at a backslash is a Windows form")
    def test_root_relative_destination_is_on_the_current_drive(self):
        os.mkdir(self.path("sub"))
        rooted = self.shown("r1.bin")[len(DRIVE):]  # "\<test folder>\r1.bin"
        result = self.run_program(self.shown("a.bin"), rooted, cwd=self.path("sub"))
        self.assertOutput(result, f"{self.shown('a.bin')} > {self.shown('r1.bin')}", count_line(1))
        self.assertEqual(read(self.path("r1.bin")), b"source data")
        result = self.run_program("/c", rooted[:-len("r1.bin")] + "c.bin", "1", cwd=self.path("sub"))
        self.assertOutput(result, f"{self.shown('c.bin')} (1 bytes) ファイルを作成しました。")
        self.assertEqual(os.listdir(self.path("sub")), [])

    def test_wildcard_to_a_destination_that_is_not_a_folder(self):
        self.assertOutput(self.run_program("*.bin", "out.bin"), count_line(0))
        self.assertFalse(os.path.exists(self.path("out.bin")))


class FolderMode(ProgramTest):
    def setUp(self):
        super().setUp()
        os.mkdir(self.path("src"))
        os.mkdir(self.path("dst"))
        os.mkdir(self.path("src", "sub.img"))  # a folder matching the pattern is passed over
        for name in ("one.img", "two.img", "three.img", "four.img", "other.txt"):
            with open(self.path("src", name), "wb") as f:
                f.write(name.encode() + bytes(10000) + b"end")

    def test_pattern_with_existing_destinations_answered_no_then_all(self):
        existing = ["one.img", "two.img", "three.img"]
        for name in existing:
            with open(self.path("dst", name), "wb") as f:
                f.write(b"old")
        result = self.run_program(self.shown("src", "*.img"), self.shown("dst"), stdin=b"n\r\na\r\n")
        self.assertEqual((result.err, result.code), (b"", 0))
        text = result.out.decode("cp932" if WINE else "utf-8")
        src, dst = self.shown("src") + SEP, self.shown("dst") + SEP
        question = re.escape(dst) + r"(\w+\.img) を上書きしますか？\(Yes/No/All\)"
        asked = re.findall(question, text)
        self.assertEqual(len(asked), 2, text)  # after "all", nobody is asked
        skipped, first_replaced = asked
        self.assertIn(skipped, existing)
        lines = re.sub(question, "", text).split("\r\n")
        self.assertEqual(lines[-2:], [count_line(3), ""])
        self.assertCountEqual(lines[:-2], [f"{src}{skipped} ... skip"] + [
            f"{src}{name} > {dst}{name}" for name in ("one.img", "two.img", "three.img", "four.img")
            if name != skipped])
        for name in ("one.img", "two.img", "three.img", "four.img"):
            expected = b"old" if name == skipped else read(self.path("src", name))
            self.assertEqual(read(self.path("dst", name)), expected, name)
        self.assertFalse(os.path.exists(self.path("dst", "other.txt")))
        self.assertFalse(os.path.exists(self.path("dst", "sub.img")))

    def test_destination_folder_with_and_without_trailing_separator(self):
        for destination in (self.shown("dst"), self.shown("dst") + SEP):
            with self.subTest(destination=destination):
                result = self.run_program(self.shown("src", "other.txt"), destination)
                self.assertOutput(result, f"{self.shown('src', 'other.txt')} > "
                                          f"{self.shown('dst', 'other.txt')}", count_line(1))
                self.assertSparseCopy(self.path("src", "other.txt"), self.path("dst", "other.txt"))
                os.remove(self.path("dst", "other.txt"))

    def test_pattern_matching_nothing(self):
        self.assertOutput(self.run_program(self.shown("src", "*.none"), self.shown("dst")),
                          count_line(0))


def block_pattern(start, end):
    """Bytes [start, end) of a file whose every 8-byte word holds its own offset + 1: any byte
    out of place shows."""
    first = start // 8
    words = b"".join((i + 1).to_bytes(8, "little") for i in range(first, (end + 7) // 8))
    return words[start - 8 * first:end - 8 * first]


@unittest.skipIf(WINE, "the engine is the same under Wine; a real Linux file system shows it")
class CopyOnRealFileSystems(ProgramTest):
    def test_source_truncated_during_the_copy_claims_no_bytes_it_did_not_read(self):
        size, cut = 512 << 20, 64 << 20
        for attempt in range(3):
            with open(self.path("src.bin"), "wb") as f:
                for start in range(0, size, 1 << 20):
                    f.write(block_pattern(start, start + (1 << 20)))
            copy = self.path("copy.bin")
            if os.path.exists(copy):
                os.remove(copy)
            process = subprocess.Popen([self.exe, "src.bin", "copy.bin"], cwd=self.dir,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, env=session().env)
            # Once the copy has its full length, the source is open and being read.
            while process.poll() is None and not (
                    os.path.exists(copy) and os.path.getsize(copy) == size):
                time.sleep(0.0005)
            os.truncate(self.path("src.bin"), cut)
            cut_in_time = process.poll() is None
            out, err = process.communicate(timeout=600)
            self.assertEqual((err, process.returncode), (b"", 0))
            self.assertEqual(out, encode(f"{self.shown('src.bin')} > {self.shown('copy.bin')}\r\n"
                                         f"{count_line(1)}\r\n"))
            length = os.path.getsize(copy)
            self.assertGreaterEqual(length, cut)
            self.assertLessEqual(length, size)
            with open(copy, "rb") as f:
                for start in range(0, length, 1 << 20):
                    end = min(start + (1 << 20), length)
                    self.assertTrue(f.read(end - start) == block_pattern(start, end), start)
            if cut_in_time:
                return
        self.fail("the copy always finished before the source was cut")

    def test_copy_on_xfs_takes_no_more_space_than_cp(self):
        missing = [tool for tool in ("mkfs.xfs", "mount", "umount") if not shutil.which(tool)]
        reason = (f"{', '.join(missing)} missing" if missing else
                  "not root" if os.geteuid() != 0 else
                  "no loop device" if not os.path.exists("/dev/loop-control") else "")
        if reason:
            if os.environ.get("DRAVIK_REQUIRE_XFS") == "1":
                self.fail(f"the XFS test cannot run: {reason}")
            self.skipTest(f"the XFS test cannot run: {reason}")
        image, volume = self.path("xfs.img"), self.path("xfs")
        with open(image, "wb") as f:
            f.truncate(320 << 20)
        subprocess.run(["mkfs.xfs", "-q", image], check=True)
        os.mkdir(volume)
        subprocess.run(["mount", "-o", "loop", image, volume], check=True)
        try:
            self.compare_allocation_with_cp(volume)
        finally:  # before tearDown deletes the folder the volume is mounted in
            subprocess.run(["umount", volume], check=True)

    def compare_allocation_with_cp(self, volume):
        # XFS allocates ahead of a file's end as writes extend it; with small extents far
        # apart, that space would stay with the copy if its end were set last.
        layouts = {"data then a hole": [(0, os.urandom(1 << 20))],
                   "small extents": [(offset, os.urandom(4096))
                                     for offset in range(0, 20 << 20, 40 << 10)]}
        for name, extents in layouts.items():
            with self.subTest(name):
                source = os.path.join(volume, "src.bin")
                write_sparse(source, 20 << 20, extents)
                ours, theirs = os.path.join(volume, "ours.bin"), os.path.join(volume, "cp.bin")
                self.assertEqual(self.run_program(source, ours).code, 0)
                subprocess.run(["cp", "--sparse=always", "--reflink=never", source, theirs],
                               check=True)
                os.sync()
                self.assertSparseCopy(source, ours)
                self.assertLessEqual(allocated(ours), allocated(theirs))
                for path in (source, ours, theirs):
                    os.remove(path)


@unittest.skipUnless(WINE, "MAX_PATH is a Windows limit")
class PathsPastMaxPath(ProgramTest):
    """A relative path whose full form is longer than 260 characters leads where it says,
    never to the drive's root."""

    def test_copy_and_create_into_a_folder_past_max_path(self):
        far = os.path.join("x" * 120, "y" * 140)
        os.makedirs(self.path(far))
        with open(self.path("src.bin"), "wb") as f:
            f.write(b"source data")
        at_root = os.path.join(session().root, "src.bin")  # T:\src.bin
        with open(at_root, "wb") as f:
            f.write(b"unrelated")
        self.addCleanup(os.remove, at_root)
        typed = far.replace("/", "\\")
        self.assertGreater(len(self.shown(far, "copy.bin")), 260)
        # arguments, output lines, the file written
        cases = ((("src.bin", typed + "\\copy.bin"),
                  (f"{self.shown('src.bin')} > {self.shown(far, 'copy.bin')}", count_line(1)),
                  "copy.bin"),
                 (("src.bin", typed),
                  (f"{self.shown('src.bin')} > {self.shown(far, 'src.bin')}", count_line(1)),
                  "src.bin"),
                 (("/c", typed + "\\c.bin", "1"),
                  (f"{self.shown(far, 'c.bin')} (1 bytes) ファイルを作成しました。",), "c.bin"))
        for args, output, written in cases:
            with self.subTest(args=args):
                self.assertOutput(self.run_program(*args), *output)
                self.assertEqual(read(self.path(far, written)), b"\0" if written == "c.bin"
                                 else b"source data")
        self.assertEqual(read(at_root), b"unrelated")
        for name in ("copy.bin", "c.bin"):
            self.assertFalse(os.path.exists(os.path.join(session().root, name)))


@unittest.skipUnless(WINE, "share modes are a Windows matter")
class SourceHeldOpenByAnotherProgram(ProgramTest):
    def test_locked_source_ends_the_run_with_the_open_error_report(self):
        holder_exe = os.path.join(os.path.dirname(os.environ["DRAVIK_EXE"]), "HoldFile.exe")
        with open(self.path("locked.bin"), "wb") as f:
            f.write(b"locked")
        with open(self.path("dest.bin"), "wb") as f:
            f.write(b"untouched")
        holder = subprocess.Popen([WINE_LOADER, holder_exe, self.shown("locked.bin")],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=session().env)
        try:
            self.assertEqual(holder.stdout.readline().strip(), b"holding")
            result = self.run_program("locked.bin", "dest.bin", stdin=b"n\n")
        finally:
            holder.communicate(b"\n", timeout=60)
        question = encode(f"{self.shown('dest.bin')} を上書きしますか？(Yes/No)")
        self.assertEqual(result.out, question)
        opening = re.escape(encode(f"ファイル {self.shown('locked.bin')} は開けません。 "))
        message = re.search(opening + rb"(.*) \.\r\n$", result.err)
        self.assertIsNotNone(message, result.err)
        self.assertReport(result, "EFOpenError",
                          f"ファイル {self.shown('locked.bin')} は開けません。 "
                          f"{message.group(1).decode('cp932')} .")
        self.assertEqual(read(self.path("dest.bin")), b"untouched")


if __name__ == "__main__":
    unittest.main()
