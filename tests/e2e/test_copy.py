"""The copy command on real files: content, length and holes of every copy, the modes,
the questions and the result lines."""

import os
import re
import subprocess
import unittest

from harness import (SEP, WINE, WINE_LOADER, ProgramTest, allocated, allocated_beyond_wine_tail,
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
