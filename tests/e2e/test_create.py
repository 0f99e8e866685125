"""The create command on real files: exact length, nothing allocated, the dialogue."""

import os
import resource
import subprocess
import unittest

from harness import WINE, ProgramTest, allocated_beyond_wine_tail, encode, read

TIB = 1 << 40


class CreateSparseFile(ProgramTest):
    def test_sizes_give_exact_length_and_nothing_allocated(self):
        for argument, size, shown in (("1", 1, "1"), ("1000", 1000, "1,000"), ("10K", 10240, "10,240"),
                                      ("1G", 1 << 30, "1,073,741,824"),
                                      ("2147483647", (1 << 31) - 1, "2,147,483,647"),
                                      ("2G", 1 << 31, "2,147,483,648"),
                                      ("4294967295", (1 << 32) - 1, "4,294,967,295"),
                                      ("4G", 1 << 32, "4,294,967,296"),
                                      ("4294967297", (1 << 32) + 1, "4,294,967,297"),
                                      ("1T", TIB, "1,099,511,627,776")):
            with self.subTest(size=argument):
                name = f"new{argument}.img"
                result = self.run_program("/c", self.shown(name), argument)
                self.assertOutput(result, f"{self.shown(name)} ({shown} bytes) ファイルを作成しました。")
                self.assertEqual(os.path.getsize(self.path(name)), size)
                self.assertEqual(allocated_beyond_wine_tail(self.path(name)), 0)
                os.remove(self.path(name))

    def test_relative_name_is_printed_absolute(self):
        os.mkdir(self.path("sub"))
        result = self.run_program("/C", "../made.bin", "2k", cwd=self.path("sub"))
        self.assertOutput(result, f"{self.shown('made.bin')} (2,048 bytes) ファイルを作成しました。")
        self.assertEqual(os.path.getsize(self.path("made.bin")), 2048)

    def test_existing_file_is_replaced_only_after_yes(self):
        question = encode(f"{self.shown('old.bin')} を上書きしますか？(Yes/No)")
        created = encode(f"{self.shown('old.bin')} (5 bytes) ファイルを作成しました。\r\n")
        not_created = encode(f"{self.shown('old.bin')} ファイルが作成されませんでした。\r\n")
        # answers, expected output, replaced
        cases = ((b"maybe\r\nYES\r\n", question * 2 + created, True),
                 (b"n\n", question + not_created, False),
                 (b"", question + b"\r\n" + not_created, False))  # end of input counts as no
        for answers, output, replaced in cases:
            with self.subTest(answers=answers):
                with open(self.path("old.bin"), "wb") as f:
                    f.write(b"keep me")
                result = self.run_program("/c", self.shown("old.bin"), "5", stdin=answers)
                self.assertEqual((result.out, result.err, result.code), (output, b"", 0))
                content = read(self.path("old.bin"))
                self.assertEqual(content, b"\0" * 5 if replaced else b"keep me")

    def test_existing_folder_is_not_replaced(self):
        os.mkdir(self.path("folder"))
        result = self.run_program("/c", self.shown("folder"), "1M")
        self.assertOutput(result, f"{self.shown('folder')} ファイルが作成されませんでした。")
        self.assertTrue(os.path.isdir(self.path("folder")))

    def test_missing_folder_creates_nothing(self):
        result = self.run_program("/c", self.shown("nowhere", "x.bin"), "1")
        self.assertOutput(result, f"{self.shown('nowhere', 'x.bin')} ファイルが作成されませんでした。")

    @unittest.skipIf(WINE, "the size limit is a Linux resource limit")
    def test_size_beyond_the_file_size_limit_leaves_no_file(self):
        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))

        completed = subprocess.run([self.exe, "/c", self.path("big.bin"), "2M"], cwd=self.dir,
                                   capture_output=True, preexec_fn=limit, stdin=subprocess.DEVNULL)
        self.assertEqual(completed.stdout,
                         encode(f"{self.shown('big.bin')} ファイルが作成されませんでした。\r\n"))
        self.assertEqual(completed.returncode, 0)
        self.assertFalse(os.path.exists(self.path("big.bin")))


if __name__ == "__main__":
    unittest.main()
