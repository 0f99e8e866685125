#!/usr/bin/env python3
"""Applies one-line mutants to the program, one at a time, and runs ctest against each: a
mutant that no test kills shows a gap in the tests.

    tools/mutants.py                     every mutant, against the tests of HEAD
    tools/mutants.py --tests REF         ... against the tests as they were at REF
    tools/mutants.py --only 3,7          only these mutants (numbers as listed)
    tools/mutants.py --list              list the mutants and stop

The work happens in a temporary worktree of HEAD (tests/ taken from REF when asked), built as
tools/test.sh builds it; run tools/test.sh once first so that everything is installed. A
mutant whose program does not build counts as neither killed nor survived. Exits 1 when a
mutant survives.
"""

import argparse, os, shutil, subprocess, sys, tempfile

# (file, the line as it stands (a unique part of it), the mutated part, what it breaks)
MUTANTS = [
    # SparseUtils
    ("SparseUtils/SparseFile.cpp", "if ((any[0] | any[1]) != 0) return false;",
     "if (((any[0] | any[1]) & 0x7F7F7F7F7F7F7F7Full) != 0) return false;",
     "the zero scan takes 0x80 for zero"),
    ("SparseUtils/SparseFile.cpp", "result.error.Failed() ? result.error : platform::TError{platform::kErrorDiskFull}",
     "result.error", "a write that takes 0 bytes without an error is not a full disk"),
    ("SparseUtils/SparseOperations.cpp", "if (stop.position < FStop.position) FStop = stop;",
     "FStop = stop;", "the last stop is kept instead of the first"),
    ("SparseUtils/SparseOperations.cpp", "if (stop.position < FStop.position) FStop = stop;",
     "if (FStop.position == kNoEnd) FStop = stop;", "the stop recorded first is kept"),
    ("SparseUtils/SparseOperations.cpp", "ended.Failed() && stop.kind == TCopyStop::kEndOfSource",
     "ended.Failed()", "a failed end replaces the first failure's code"),
    ("SparseUtils/SparseOperations.cpp", "const bool failed = read.error.Failed();",
     "const bool failed = false;", "a read error is taken for the end of the source"),
    ("SparseUtils/SparseFile.cpp", "count > 0 && GrowFor(offset + static_cast<std::int64_t>(count), bytes[count - 1]);",
     "count > 0 && false && GrowFor(offset + static_cast<std::int64_t>(count), bytes[count - 1]);",
     "writes extend the file"),
    ("SparseUtils/SparseFile.cpp", "std::min(end + kGrowStep, end > lastUnit ? FGrowLimit - 1 : lastUnit);",
     "end > lastUnit ? FGrowLimit - 1 : lastUnit;", "the length runs ahead to the last unit at the first write"),
    ("SparseUtils/SparseFile.cpp", "end > lastUnit ? FGrowLimit - 1 : lastUnit);",
     "end > lastUnit ? FGrowLimit : FGrowLimit);", "a step reaches the source's length"),
    ("SparseUtils/SparseFile.cpp", "end > lastUnit ? FGrowLimit - 1 : lastUnit);",
     "end > lastUnit ? FGrowLimit - 1 : FGrowLimit - 1);",
     "a step ends inside the last unit, which Wine then allocates"),
    ("SparseUtils/SparseFile.cpp", "const bool holding = end == FGrowLimit;", "const bool holding = false;",
     "the write that ends the file is not held back until every other is in"),
    ("SparseUtils/SparseFile.cpp", "if (!FHolding || FGrowLimit > end) return {};",
     "if (!FHolding || (FGrowLimit > end && false)) return {};",
     "the byte held back is written past where the copy stopped"),
    ("SparseUtils/SparseFile.cpp", "length < end || SetSize(length).Failed() ? -1 : length;",
     "length < end || (SetSize(length), false) ? -1 : length;",
     "a length that could not be set counts as set"),
    ("SparseUtils/SparseFile.cpp", "  if (FLength < 0) return false;\n", "",
     "steps go on after a write past the length, cutting it"),
    ("SparseUtils/SparseOperations.cpp", "if (watch.Interrupted() && job.CopiedPrefix() < stop.position)",
     "if (false)", "an interrupted copy is not cut"),
    ("SparseUtils/SparseOperations.cpp", "if (start >= FStop.position || FAbandoned || FWatch.Interrupted())",
     "if (start >= FStop.position || FAbandoned)", "the workers go on after an interrupt"),
    ("SparseUtils/SparseOperations.cpp", "if (ahead.start >= end) {  // no data",
     "if (false && ahead.start >= end) {  // no data", "every chunk of a hole is handed out"),
    ("SparseUtils/SparseOperations.cpp", "RoundDown(dataStart, kChunkBytes));",
     "RoundDown(dataStart, kChunkBytes) + kChunkBytes);", "the chunk where the data begins is passed over too"),
    ("SparseUtils/SparseOperations.cpp", "FWatch.Advance(PassOver(ahead.start));", "PassOver(ahead.start);",
     "a hole passed over does not count for the progress"),
    ("SparseUtils/SparseOperations.cpp", "    work(FFirst.Start(), failures[0]);", "    job.Work(FFirst.Start());",
     "a failure on the copy's first worker leaves the second one's thread unjoined"),
    ("SparseUtils/SparseOperations.cpp", "  const TCopyWatch::TAct act(watch);  //", "  //",
     "an interrupt does not wait for the copy under way to be cut"),
    ("SparseUtils/CopyWatch.cpp", "  if (!watch.Interrupted()) return;", "  return;",
     "the run goes on acting after an interrupt"),
    ("SparseUtils/CopyWatch.cpp", "kFirstShow = std::chrono::seconds(1);",
     "kFirstShow = std::chrono::seconds(0);", "short copies show their progress too"),
    ("SparseUtils/CopyWatch.cpp", "kShowInterval = std::chrono::milliseconds(250);",
     "kShowInterval = std::chrono::milliseconds(0);", "the progress is shown after every chunk"),
    ("SparseUtils/CopyWatch.cpp", "if (display.IsOpen()) platform::CloseProgressDisplay(display, Interrupted());",
     "(void)display;", "the display is not put back at the end of a copy"),
    ("SparseUtils/CopyWatch.cpp", "platform::CloseProgressDisplay(display, Interrupted());",
     "platform::CloseProgressDisplay(display, false);", "an interrupt erases the status line"),
    ("SparseUtils/CopyWatch.cpp", "if (!FDisplayAsked) {", "if (true) {",
     "a display is opened anew, and never put back, at each showing"),
    ("SparseUtils/CopyWatch.cpp", "if (Columns(name) <= columns) return std::string(name);",
     "return std::string(name);", "a name too wide for the status line is not shortened"),
    ("platform/Unicode.cpp", "return IsIn(kWide, point) ? 2 : 1;", "return IsIn(kWide, point) ? 1 : 1;",
     "a wide character counts as one column"),
    ("platform/posix/PosixProcess.cpp", ': "\\x1b]9;4;0\\x1b\\\\\\x1b[23;2t\\r\\x1b[K");',
     ': "\\x1b]9;4;0\\x1b\\\\\\x1b[23;2t");', "the status line is not erased before the copied line"),
    ("platform/posix/PosixProcess.cpp", '? "\\x1b]9;4;0\\x1b\\\\\\x1b[23;2t\\r\\n"',
     '? "\\x1b]9;4;0\\x1b\\\\\\x1b[23;2t"', "an interrupted status line is not ended"),
    ("platform/posix/PosixProcess.cpp", "return size.ws_col - 1u;", "return size.ws_col + 8u;",
     "the status line is wider than the terminal"),
    ("platform/win32/Win32Progress.cpp", "if (!keepLine) WriteBlanks(console, columns);",
     "if (false) WriteBlanks(console, columns);", "the status line is not erased before the copied line"),
    ("platform/win32/Win32Progress.cpp", "return width > 1 ? static_cast<std::size_t>(width - 1) : 0;",
     "return width > 1 ? static_cast<std::size_t>(width + 8) : 0;", "the status line is wider than the console"),
    ("platform/win32/Win32Progress.cpp", "display.lineDrawn = GetConsoleMode(",
     "display.lineDrawn = true || GetConsoleMode(", "a status line where standard error is no console"),
    ("SparseUtils/SparseOperations.cpp", "!writer.SetSize(std::max(size, writer.Length())).Failed() &&",
     "", "create empties a file before the volume has taken the new length"),
    ("SparseUtils/SizeParsing.cpp", "return value > kMaxSize / unit.multiplier ? 0 : value * unit.multiplier;",
     "return static_cast<std::int64_t>(static_cast<std::uint64_t>(value) * unit.multiplier);",
     "a size that wraps round when multiplied is taken"),
    ("SparseUtils/SparseOperations.cpp", "if (!overwrite) platform::RemoveFile(fileName);",
     "platform::RemoveFile(fileName);", "a failed create deletes a file that was there"),
    ("SparseUtils/SparseOperations.cpp", "if (!overwrite && FileExists(dest)) return false;",
     "if (overwrite && FileExists(dest)) return false;", "overwrite permission inverted"),
    ("SparseUtils/Paths.cpp", "if (current.error.Failed()) return current;", "",
     "a current folder that cannot be told is used anyway"),
    ("SparseUtils/Paths.cpp", "path.find('\\\\', shareSlash + 1)", "path.find('\\\\', shareSlash)",
     "a UNC path's drive part ends at its server"),
    ("SparseUtils/Paths.cpp", "(path[0] == '\\\\' || path[0] == '/')", "(path[0] == '/')",
     "a root-relative path is taken as relative"),
    ("SparseUtils/SizeParsing.cpp", "if (value > (kMaxSize - d) / 10) return 0;",
     "if (value >= (kMaxSize - d) / 10) return 0;", "off by one at 2^63 - 1"),
    ("SparseUtils/SizeParsing.cpp", "{'T', std::int64_t{1} << 40}", "{'T', std::int64_t{1} << 30}",
     "T multiplies by 2^30"),
    ("SparseUtils/ByteStrings.cpp", "(digits.size() - i) % 3 == 0", "(digits.size() - i) % 4 == 0",
     "digits grouped by four"),
    ("SparseUtils/ByteStrings.cpp", "byte >= 'A' && byte <= 'Z'", "byte >= 'A' && byte < 'Z'",
     "Z is not lower-cased"),
    ("SparseUtils/SystemErrorText.cpp", "|| text.back() == '.'", "",
     "the system text keeps its closing dot"),
    # Dravik
    ("Dravik/Console.cpp", "!WriteOut(true)) return false;", "!WriteOut()) return false;",
     "a console is handed a character cut in two"),
    ("Dravik/Console.cpp", "  if (!output.console) {\n", "  if (false) {\n",
     "a redirected stream gets the text, not its stream bytes"),
    ("Dravik/Console.h", "ConsoleBufferSize = 128;", "ConsoleBufferSize = 127;",
     "console buffer of 127 bytes"),
    ("Dravik/Console.cpp", "lowered[begin]) <= 0x20) ++begin;", "lowered[begin]) < 0x20) ++begin;",
     "a leading space is not trimmed from an answer"),
    ("Dravik/Console.cpp", 'else if (allowAll && (answer == "a"', 'else if ((allowAll || true) && (answer == "a"',
     "all is accepted by the Yes/No question"),
    ("Dravik/Console.cpp", "      return oaNo;", "      return oaYes;",
     "the end of input answers yes"),
    ("Dravik/Console.cpp", "    if (byte == kCtrlZ) break;\n", "",
     "Ctrl+Z does not end a line"),
    ("Dravik/Console.cpp", "output.writeThrough = output.console ||",
     "output.writeThrough =", "write-through off a console"),
    ("Dravik/Console.cpp", "read.error.Failed() && read.error.code != platform::kErrorBrokenPipe",
     "read.error.Failed()", "a broken pipe on input is an error, not the end"),
    ("Dravik/Console.cpp", "kOutputNotOpen = 105;", "kOutputNotOpen = 104;",
     "wrong code for a missing output channel"),
    ("Dravik/Arguments.cpp", "line[at] == '\"' && line[at + 1] == '\"'",
     "line[at] == '\"' && line[at + 1] == '\"' && false", "an empty quoted word is an argument"),
    ("Dravik/Arguments.cpp", "return static_cast<unsigned char>(byte) <= 0x20;",
     "return static_cast<unsigned char>(byte) < 0x20;", "a space does not separate words"),
    ("Dravik/Dispatch.cpp", "if (count == 3) {", "if (count >= 3) {",
     "the create form takes more than three arguments"),
    ("Dravik/Dispatch.cpp", "if (size > 0) {", "if (size >= 0) {", "a size of 0 is created"),
    ("Dravik/CopyCommand.cpp", "OverwriteAll = answer == oaAll;", "OverwriteAll = answer != oaNo;",
     "a yes counts as All"),
    ("Dravik/CopyCommand.cpp", "if (!OverwriteAll && existing) {",
     "if (existing) {", "the question is asked after All"),
    ("Dravik/CopyCommand.cpp", "SparseCopyFile(SourcePath, DestinationPath, permitted ? existing : std::nullopt",
     "SparseCopyFile(SourcePath, DestinationPath, permitted || true ? existing : std::nullopt",
     "a file the user chose to keep is replaced"),
    ("Dravik/CreateCommand.cpp", "if (permitted && CreateSparseFile(",
     "if ((permitted || true) && CreateSparseFile(", "create replaces a file the user kept"),
    # failure
    ("Dravik/FailureReport.cpp", "if (!message.empty() && message.back() != '.')",
     "if (message.back() != '.')", "an empty message gets a dot"),
    ("Dravik/FailureReport.cpp", "kImageHeaderSize = 0x1000;", "kImageHeaderSize = 0x2000;",
     "wrong address without a module"),
    ("Dravik/FailureReport.h", "ReportTextLimit = 1023;", "ReportTextLimit = 1024;",
     "the report is cut one byte late"),
    ("Dravik/FailureReport.cpp", 'platform::WriteBytes(handle, "\\r\\n", 2);',
     'platform::WriteBytes(handle, "\\n", 1);', "the report ends with LF alone"),
    # platform
    ("platform/posix/PosixFileSystem.cpp", "if (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode))",
     "if (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode) || S_ISCHR(status.st_mode))",
     "a character device counts as a file"),
    ("platform/posix/PosixFiles.cpp", "if (const int error = ShareLockError(fd, sharing))",
     "if (const int error = 0 * ShareLockError(fd, sharing))",
     "a file open as the source can be truncated as the destination"),
    ("platform/posix/PosixProcess.cpp", "fd <= 2; ++fd) HoldStandardStreamFile", "fd < 0; ++fd) HoldStandardStreamFile",
     "a redirected output's file can be the destination"),
    ("platform/posix/PosixProcess.cpp", "current.sa_handler != SIG_IGN", "true",
     "an interrupt the process was started to ignore ends it"),
    ("platform/posix/PosixProcess.cpp", 'std::strcmp(terminal, "dumb") != 0', "true",
     "a dumb terminal gets escape sequences"),
    ("platform/posix/PosixFileSystem.cpp", "!IsSymbolicLink(Joined(components))",
     "(true || !IsSymbolicLink(Joined(components)))",
     "'..' after a symbolic link is folded away as text"),
    ("platform/posix/PosixFileSystem.cpp", "while (statfs(path.c_str(), &volume) != 0) {",
     "while (!IsFolder(path) || statfs(path.c_str(), &volume) != 0) {",
     "a link to a file is tested on its own folder's volume"),
    ("platform/posix/PosixFileSystem.cpp", "TPathKind KindOfPath(const std::string& path) {\n",
     "TPathKind KindOfPath(const std::string& path) {\n"
     "  if (path.find_first_of(\"*?\") != std::string::npos) return TPathKind::kNone;\n",
     "a name holding * or ? names no file"),
    ("platform/posix/PosixFileSystem.cpp", "(pattern[p] == '?' || pattern[p] == name[n])",
     "(pattern[p] == name[n])", "? matches only itself"),
    ("platform/posix/PosixFileSystem.cpp", "0x58465342,  // XFS", "// XFS", "XFS is refused"),
    ("platform/posix/PosixFileSystem.cpp", "if (full.path.size() >= PATH_MAX)", "if (false)",
     "a full path longer than the system takes is used, and names no file"),
    ("platform/Unicode.cpp", "(point >= 0x7F && point < 0xA0)", "point == 0x7F",
     "a C1 control reaches the terminal's title"),
    ("platform/Unicode.cpp", "point == kReplacement ||", "",
     "bytes that are no UTF-8 reach the terminal's title"),
    ("platform/posix/PosixFiles.cpp", "(sharing == TSharing::kShared && S_ISBLK(mode))",
     "(sharing == TSharing::kShared && false)", "a disk cannot be the source"),
    ("platform/posix/PosixFiles.cpp", "if (S_ISBLK(status.st_mode) && ioctl(fd, BLKGETSIZE64, &deviceBytes) == 0)",
     "if (false && ioctl(fd, BLKGETSIZE64, &deviceBytes) == 0)", "a disk's length is not known"),
    ("platform/posix/PosixFiles.cpp", "const int fd = OpenRetrying(path, O_WRONLY | O_CREAT | O_EXCL);",
     "int fd = OpenRetrying(path, O_WRONLY | O_CREAT | O_EXCL);"
     " if (fd < 0 && errno == EEXIST) fd = OpenRetrying(path, O_WRONLY);",
     "a name taken as the destination is made is opened anyway, through a planted link"),
    ("platform/posix/PosixFiles.cpp", "return expected != nullptr && IdentityOf(status) != *expected ? EEXIST : 0;",
     "return expected != nullptr && false ? EEXIST : 0;",
     "a file put in place of the one asked about is replaced"),
    ("platform/AllocatedRanges.cpp", "kReparsePoint | kOffline | kRecallOnOpen | kRecallOnDataAccess;",
     "kReparsePoint | kOffline | kRecallOnOpen;", "a file recalled on data access has its ranges trusted"),
    ("platform/AllocatedRanges.cpp", "(attributes & kSparse) != 0 &&", "",
     "a file that is not sparse is asked for its ranges"),
    ("platform/AllocatedRanges.cpp", "  if (!complete) return {};", "  if (!complete && false) return {};",
     "an answer with nothing filled in is taken for the end of the data"),
    ("platform/AllocatedRanges.cpp", "if (entry.offset < end || entry.offset >= size ||",
     "if (entry.offset < 0 * end || entry.offset >= size ||", "an answer out of order is trusted"),
    ("platform/posix/PosixFiles.cpp", "{ENOSPC, kErrorDiskFull},", "{ENOSPC, kErrorAccessDenied},",
     "a full disk reported as access denied"),
    ("platform/win32/Win32Files.cpp", "if (error.code == ERROR_HANDLE_EOF) return TIoResult{0, {}};",
     "", "a read at the end of a file is an error"),
    ("platform/win32/Win32Files.cpp", "if (IsStandardFile(identity))", "if (false && IsStandardFile(identity))",
     "a redirected output's file can be the destination under Wine"),
    ("platform/win32/Win32Files.cpp", "|| identity != expected) {", "|| (identity != expected && false)) {",
     "a file put in place of the one asked about is replaced"),
    ("platform/win32/Win32Files.cpp", "if (!ranges::RangesTellData(information.dwFileAttributes))",
     "if (false && !ranges::RangesTellData(information.dwFileAttributes))",
     "a placeholder's ranges are trusted, and its data taken for holes"),
    ("platform/win32/Win32Process.cpp", "  TerminateProcess(GetCurrentProcess(), exitCode);",
     "  ExitProcess(exitCode);", "a fault's end runs the DLLs' detach code, which can hang"),
    ("platform/win32/Win32Process.cpp", "if (written == 0) return", "if (false) return",
     "a console that takes nothing is asked again for ever"),
    ("platform/win32/Win32Files.cpp", "static_cast<std::uint64_t>(offset) >> 32);", "0);",
     "offsets past 4 GiB lose their high part"),
    ("platform/win32/Win32Process.cpp", "source.raw = FromWide(raw);",
     "source.raw = GetCommandLineA();", "the command line is taken in the ANSI code page"),
    ("platform/win32/Win32Process.cpp", "? TFileType::kConsole : TFileType::kChar;",
     "? TFileType::kChar : TFileType::kChar;", "a console is written code page 932 bytes"),
    ("platform/win32/Win32Process.cpp", "constexpr UINT kStreamCodePage = 932;",
     "constexpr UINT kStreamCodePage = CP_ACP;", "redirected output in the ANSI code page"),
    ("platform/Unicode.cpp", "IsLowSurrogate(units[at + 1])", "(IsLowSurrogate(units[at + 1]) || true)",
     "a lone high surrogate swallows the character after it"),
    ("platform/Unicode.cpp", "least[] = {0, 0, 0x80, 0x800, 0x10000};",
     "least[] = {0, 0, 0, 0, 0};", "a character in a longer form than it needs is taken"),
    ("platform/win32/Win32Files.cpp", "end.EndOfFile.QuadPart = length;",
     "end.EndOfFile.QuadPart = length & 0;", "the length is set to 0"),

]


def run(tree, log, *argvs, timeout=None):
    """True when every command succeeds in `tree`, its output appended to `log`."""
    with open(log, "a") as out:
        for argv in argvs:
            try:
                if subprocess.run(argv, cwd=tree, stdout=out, stderr=subprocess.STDOUT,
                                  stdin=subprocess.DEVNULL, timeout=timeout).returncode:
                    return False
            except subprocess.TimeoutExpired:
                return False
    return True


def build(tree, log):
    """Builds the three targets and the native tests the way tools/test.sh does."""
    return run(tree, log, *(["cmake", "--build", "--preset", p] for p in ("win32", "win64", "native")))


def tests_pass(tree, log):
    return run(tree, log, ["ctest", "--test-dir", "build/native", "-j", str(os.cpu_count() or 2),
                           "--output-on-failure", "--stop-on-failure", "--timeout", "900"],
               timeout=3600)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tests", help="take tests/ from this commit")
    parser.add_argument("--only", help="comma list of mutant numbers")
    parser.add_argument("--list", action="store_true")
    options = parser.parse_args()
    chosen = [int(n) for n in options.only.split(",")] if options.only else range(1, len(MUTANTS) + 1)
    if options.list:
        for n in chosen:
            print(f"{n:3} {MUTANTS[n - 1][0]}: {MUTANTS[n - 1][3]}")
        return 0

    work = tempfile.mkdtemp(prefix="dravik-mutants-")
    tree, log = os.path.join(work, "tree"), os.path.join(work, "log.txt")
    here = os.path.dirname(os.path.abspath(__file__))
    subprocess.run(["git", "worktree", "add", "--detach", tree, "HEAD"], cwd=here, check=True,
                   stdout=subprocess.DEVNULL)
    exes = [f"-DDRAVIK_{b.upper()}_EXE={tree}/build/{b}/Dravik.exe" for b in ("win32", "win64")]
    root = os.environ.get("DRAVIK_WINE_ROOT", "/var/cache/dravik-wine-root")
    outcomes = {"killed": [], "SURVIVED": [], "does not build": []}
    try:
        if options.tests:
            shutil.rmtree(os.path.join(tree, "tests"))
            subprocess.run(["git", "-C", tree, "checkout", options.tests, "--", "tests"], check=True)
        print(f"building in {tree} (log: {log})", flush=True)
        if not (run(tree, log, ["cmake", "--preset", "win32"], ["cmake", "--preset", "win64"],
                    ["cmake", "--preset", "native", "-DBUILD_TESTING=ON",
                     f"-DDRAVIK_WINE_ROOT={root}", *exes]) and build(tree, log)
                and tests_pass(tree, log)):
            print("the unmutated program does not build or pass its tests", file=sys.stderr)
            return 2
        for n in chosen:
            path, original, mutated, what = MUTANTS[n - 1]
            with open(os.path.join(tree, path)) as f:
                text = f.read()
            if text.count(original) != 1:
                sys.exit(f"mutant {n} of {path}: {original!r} occurs {text.count(original)} times")
            with open(os.path.join(tree, path), "w") as f:
                f.write(text.replace(original, mutated))
            outcome = ("does not build" if not build(tree, log) else
                       "SURVIVED" if tests_pass(tree, log) else "killed")
            outcomes[outcome].append(n)
            print(f"{n:3} {outcome:14} {path}: {what}", flush=True)
            subprocess.run(["git", "-C", tree, "checkout", "--", path], check=True)
    finally:
        subprocess.run(["git", "worktree", "remove", "--force", tree], cwd=here,
                       stdout=subprocess.DEVNULL)
    survivors = outcomes["SURVIVED"]
    print(f"{len(outcomes['killed'])} killed, {len(survivors)} survived"
          f"{f' {survivors}' if survivors else ''}, {len(outcomes['does not build'])} did not build")
    shutil.rmtree(work, ignore_errors=True)
    return 1 if survivors else 0


if __name__ == "__main__":
    sys.exit(main())
