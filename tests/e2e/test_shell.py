"""The program shell: the usage screen, exit codes and the report of a failed output."""

import os
import re
import select
import subprocess
import time
import unittest

from harness import WINE, WINE_LOADER, ProgramTest, encode, session


def usage_lines(program_name):
    return ["Dravik.exe",
            f" {program_name} コピー元ファイル コピー先フォルダ|コピー先ファイル",
            f" {program_name} /C 作成ファイル 作成バイト数[K]|[M]|[G]|[T]",
            "",
            "by vellamor",
            "",
            "Enter キーを押して下さい"]


class UsageScreen(ProgramTest):
    def test_usage_names_the_program_file_as_it_is_called(self):
        name = "x.exe" if WINE else "x"
        renamed = self.install_program(name)
        result = self.run_program(exe=renamed, stdin=b"\r\n")
        self.assertOutput(result, *usage_lines(name))

    def test_usage_ends_normally_at_end_of_input(self):
        for stdin in (b"", b"some answer without line end"):
            with self.subTest(stdin=stdin):
                self.assertOutput(self.run_program(stdin=stdin), *usage_lines(os.path.basename(self.exe)))

    def test_command_lines_that_name_no_command_show_the_usage(self):
        for args in ([], ["one"], ["/c"], ["/c", "file"], ["/c", "file", "0"], ["/C", "file", "abc"],
                     ["/c", "file", "10", "x"], ["/c", "file", "16777217T"]):
            with self.subTest(args=args):
                result = self.run_program(*args, stdin=b"\n")
                self.assertOutput(result, *usage_lines(os.path.basename(self.exe)))
                self.assertFalse(os.path.exists(self.path("file")))


    def test_the_whole_screen_is_out_before_the_wait_when_output_is_a_pipe(self):
        expected = b"".join(encode(line) + b"\r\n"
                            for line in usage_lines(os.path.basename(self.exe)))
        command = [WINE_LOADER, self.exe] if WINE else [self.exe]
        with subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, cwd=self.dir, env=session().env) as program:
            shown = b""
            deadline = time.monotonic() + 30
            while len(shown) < len(expected) and select.select(
                    [program.stdout], [], [], max(0, deadline - time.monotonic()))[0]:
                chunk = os.read(program.stdout.fileno(), 4096)
                if not chunk:
                    break
                shown += chunk
            rest, err = program.communicate(b"\n", timeout=60)
        self.assertEqual(shown, expected)
        self.assertEqual((rest, err, program.returncode), (b"", b"", 0))


class OutputFailure(ProgramTest):
    def test_pipe_without_reader_gives_the_in_out_error_report(self):
        reader, writer = os.pipe()
        os.close(reader)
        try:
            result = self.run_program(stdout=writer)
        finally:
            os.close(writer)
        self.assertEqual(result.code, 1)
        message = re.escape(encode("I/O エラー (")) + rb"(\d+)" + re.escape(encode(").")) + b"\r\n$"
        match = re.search(message, result.err)
        self.assertIsNotNone(match, result.err)
        if not WINE:
            self.assertEqual(match.group(1), b"109")
        self.assertReport(result, "EInOutError", "I/O エラー (%s)." % match.group(1).decode())


if __name__ == "__main__":
    unittest.main()
