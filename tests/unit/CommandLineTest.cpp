// Splitting the command line, the arguments, dispatch and the usage screen.
#include <string>
#include <vector>

#include "Dravik/Arguments.h"
#include "tests/unit/TestSupport.h"

namespace {

using Words = std::vector<std::string>;

struct SplitCase {
  const char* line;
  Words words;  // after the program name
};

class SplitTest : public FakeTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(SplitTest, SplitsIntoWords) {
  EXPECT_EQ(SplitCommandLine(GetParam().line), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SplitTest,
    ::testing::Values(
        SplitCase{"Dravik.exe", {}}, SplitCase{"", {}}, SplitCase{"Dravik a b", {"a", "b"}},
        SplitCase{"  Dravik \t a\x01\x1f  b  ", {"a", "b"}},  // every byte up to 32 separates
        SplitCase{"\"C:\\Program Files\\Dravik.exe\" x", {"x"}},
        SplitCase{"Dravik \"C:\\My Files\\a.bin\" d", {"C:\\My Files\\a.bin", "d"}},
        SplitCase{"Dravik C:\\\"My Files\"\\a.bin", {"C:\\My Files\\a.bin"}},
        SplitCase{"Dravik \"\" a \"\"\"\" b", {"a", "b"}},  // empty quoted words are skipped
        SplitCase{"Dravik a\"\"b", {"ab"}},
        SplitCase{"Dravik \"unmatched quote  to the end", {"unmatched quote  to the end"}},
        SplitCase{"Dravik a\\\"b c\" d", {"a\\b c", "d"}},  // no escape character
        SplitCase{"Dravik \"\" \"", {}},                    // a lone quote gives nothing
        // Code page 932: a character whose trail byte is '\' (0x5C) stays whole.
        SplitCase{"Dravik \x95\x5C\"\x83\x5C x\" \x83\x5C", {"\x95\x5C\x83\x5C x", "\x83\x5C"}}));

TEST_F(FakeTest, ArgumentsComeFromTheRawCommandLineEachTime) {
  fake::SetRawCommandLine("prog.exe first \"second word\"");
  EXPECT_EQ(ArgumentCount(), 2);
  EXPECT_EQ(ArgumentAt(0), "C:\\tools\\Dravik.exe");
  EXPECT_EQ(ArgumentAt(1), "first");
  EXPECT_EQ(ArgumentAt(2), "second word");
  EXPECT_EQ(ArgumentAt(3), "");
  EXPECT_EQ(ArgumentAt(-1), "");
  fake::SetRawCommandLine("prog.exe changed");
  EXPECT_EQ(ArgumentCount(), 1);
  EXPECT_EQ(ArgumentAt(1), "changed");
}

TEST_F(FakeTest, PosixArgumentsAreTheShellsWordsWithoutEmptyOnes) {
  fake::ResetForPosix();
  fake::SetCommandWords({"a \"quoted\" name", "", "b"});
  EXPECT_EQ(ArgumentCount(), 2);
  EXPECT_EQ(ArgumentAt(1), "a \"quoted\" name");
  EXPECT_EQ(ArgumentAt(2), "b");
  EXPECT_EQ(ArgumentAt(0), "/tools/dravik");
  EXPECT_EQ(ProgramFileName(), "dravik");
}

TEST_F(FakeTest, ProgramFileNameIsWhatFollowsTheLastDelimiter) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\tools\\x.exe", "x.exe"},
      {"C:x.exe", "x.exe"},
      {"C:\\\x95\x5C\\\x83\x5C.exe", "\x83\x5C.exe"},  // trail bytes 5C are not delimiters
      {"plain", "plain"}};
  for (const auto& [path, name] : cases) {
    fake::SetProgramPath(path);
    EXPECT_EQ(ProgramFileName(), name) << path;
  }
}

const char kUsage[] =
    "Dravik.exe\r\n"
    " x.exe コピー元ファイル コピー先フォルダ|コピー先ファイル\r\n"
    " x.exe /C 作成ファイル 作成バイト数[K]|[M]|[G]|[T]\r\n"
    "\r\n"
    "by vellamor\r\n"
    "\r\n"
    "Enter キーを押して下さい\r\n";

struct DispatchCase {
  const char* commandLine;
  enum { Usage, Create, Copy } outcome;
};

class DispatchTest : public FakeTest, public ::testing::WithParamInterface<DispatchCase> {};

// The create form makes C:\work\file; the copy form prints its count line; only a command
// line that names neither shows the usage screen.
TEST_P(DispatchTest, RunsExactlyOneThing) {
  fake::SetProgramPath("C:\\bin\\x.exe");
  fake::SetStdinChunks({"\r\n", "not read\r\n"});
  EXPECT_EQ(RunCommandLine(GetParam().commandLine), 0);
  const std::string out = fake::StdoutText();
  switch (GetParam().outcome) {
    case DispatchCase::Usage:
      EXPECT_EQ(out, kUsage);
      EXPECT_EQ(fake::StdinUnread(), 10u);  // one line read and discarded
      break;
    case DispatchCase::Create:
      EXPECT_EQ(out, "C:\\work\\file (10 bytes) ファイルを作成しました。\r\n");
      EXPECT_EQ(fake::FileLength("C:\\work\\file"), 10);
      break;
    case DispatchCase::Copy:
      EXPECT_EQ(out, "         0 個のファイルをコピーしました。\r\n");
      break;
  }
  EXPECT_EQ(fake::StderrText(), "");
}

INSTANTIATE_TEST_SUITE_P(Outcomes, DispatchTest,
                         ::testing::Values(DispatchCase{"x", DispatchCase::Usage},
                                           DispatchCase{"x only-one", DispatchCase::Usage},
                                           DispatchCase{"x /c", DispatchCase::Usage},
                                           DispatchCase{"x /c file", DispatchCase::Usage},
                                           DispatchCase{"x /c file 10 extra", DispatchCase::Usage},
                                           DispatchCase{"x /c file 0", DispatchCase::Usage},
                                           DispatchCase{"x /c file abc", DispatchCase::Usage},
                                           DispatchCase{"x /c file 16777217T", DispatchCase::Usage},
                                           DispatchCase{"x /C file 10", DispatchCase::Create},
                                           DispatchCase{"x \"/c\" file \"1\"0",
                                                        DispatchCase::Create},
                                           DispatchCase{"x a b", DispatchCase::Copy},
                                           DispatchCase{"x \"\" a b c d", DispatchCase::Copy},
                                           DispatchCase{"x -c file 10", DispatchCase::Copy},
                                           DispatchCase{"x /create file 10", DispatchCase::Copy}));

TEST_F(FakeTest, UsageEndsNormallyAtEndOfInput) {
  fake::SetProgramPath("C:\\bin\\x.exe");
  EXPECT_EQ(RunCommandLine("x"), 0);
  EXPECT_EQ(fake::StdoutText(), kUsage);
}

}  // namespace
