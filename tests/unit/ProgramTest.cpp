// Whole runs of the program on the fake machine: what it prints, what it reports, the exit
// code and the files it leaves; and the rules it reads its input by.
#include "Dravik/Arguments.h"
#include "SparseUtils/SizeParsing.h"
#include "tests/unit/Support.h"

namespace {

std::string W(const std::string& name) { return "C:\\work\\" + name; }
std::string Ask(const std::string& path) { return path + " を上書きしますか？(Yes/No)"; }
std::string AskAll(const std::string& path) { return path + " を上書きしますか？(Yes/No/All)"; }
std::string Line(const std::string& from, const std::string& to) {
  return from + " > " + to + "\r\n";
}
std::string Skip(const std::string& text) { return text + " ... skip\r\n"; }
std::string Made(const std::string& path, const std::string& size) {
  return path + " (" + size + " bytes) ファイルを作成しました。\r\n";
}
std::string NotMade(const std::string& path) {
  return path + " ファイルが作成されませんでした。\r\n";
}
std::string Count(int n) {
  return "         " + std::to_string(n) + " 個のファイルをコピーしました。\r\n";
}
std::string Report(const std::string& name, const std::string& message) {
  return name + " がモジュール Dravik.exe の XXXXXXXX で発生しました。\n" + message + "\r\n";
}
std::string OpenError(const std::string& path, int code) {
  return Report("EFOpenError",
                "ファイル " + path + " は開けません。 System error " + std::to_string(code) + " .");
}
const std::string kUsage =
    "Dravik.exe\r\n Dravik.exe コピー元ファイル コピー先フォルダ|コピー先ファイル\r\n"
    " Dravik.exe /C 作成ファイル 作成バイト数[K]|[M]|[G]|[T]\r\n\r\nby vellamor\r\n\r\n"
    "Enter キーを押して下さい\r\n";
const std::string kTable = "C:\\\x95\x5C";  // its last byte is a backslash's
const std::string kNone = "(none)";         // what FileBytes gives for no file

struct Scenario {
  std::string args, input, out, err = "";
  void (*arrange)() = [] {};
  std::vector<std::pair<std::string, std::string>> after = {};  // content, or kNone
};

// clang-format off
const Scenario kScenarios[] = {
    {"", "\r\n", kUsage},
    {"/c x", "", kUsage},
    {"/c x 10 y", "", kUsage, "", [] {}, {{W("x"), kNone}}},
    {"/c x 0", "", kUsage},
    {"\"\" /C \"n w\" 10K", "", Made(W("n w"), "10,240")},
    {"/c x 1T", "", Made(W("x"), "1,099,511,627,776")},
    {"/c x 1234567", "", Made(W("x"), "1.234.567"), "", [] { fake::machine.separator = "."; }},
    {"/c b.bin 1", "all\r\nno\r\n", Ask(W("b.bin")) + Ask(W("b.bin")) + NotMade(W("b.bin")), "",
     [] {}, {{W("b.bin"), "old"}}},
    {"/c b.bin 1", " YES \t\r\n", Ask(W("b.bin")) + Made(W("b.bin"), "1"), "", [] {},
     {{W("b.bin"), std::string(1, '\0')}}},
    {"/c dir 1", "", NotMade(W("dir"))},
    {"/c D:\\x 1", "", "作成先ドライブがNTFSではありません.\r\n"},
    {"/c E:\\x 1", "", Made("E:\\x", "1"), "", [] { fake::AddVolume("E:\\", "ntfs"); }},
    {"/c wl\\c 1K", "", NotMade("wl\\c"), "", [] { fake::Fail("FullPathOf", 1, 206); }},
    {"a.bin new.bin", "", Line(W("a.bin"), W("new.bin")) + Count(1), "", [] {}, {{W("new.bin"), "data"}}},
    {"a.bin b.bin", "a\r\nn\r\n", Ask(W("b.bin")) + Ask(W("b.bin")) + Skip(W("a.bin > ") + W("b.bin")) +
     Count(0), "", [] {}, {{W("b.bin"), "old"}}},
    {"a.bin b.bin", "", Ask(W("b.bin")) + "\r\n" + Skip(W("a.bin > ") + W("b.bin")) + Count(0)},
    {"a.bin b.bin", "", Ask(W("b.bin")) + "\r\n" + Skip(W("a.bin > ") + W("b.bin")) + Count(0), "",
     [] { fake::machine.stdinEnd = 109; }},  // a pipe whose writer has gone ends the input
    {"a.bin b.bin", "y\x1AX\r\n", Ask(W("b.bin")) + Line(W("a.bin"), W("b.bin")) + Count(1), "", [] {},
     {{W("b.bin"), "data"}}},
    {"Gonez.bin c:\\WORK\\goneZ.BIN", "", W("Gonez.bin") + " == c:\\WORK\\goneZ.BIN\r\n" + Count(0)},
    {"a.bin C:\\work\\..\\work\\.\\n", "", Line(W("a.bin"), "C:\\work\\..\\work\\.\\n") + Count(1)},
    {"a.bin dir\\no\\x", "", Skip(W("a.bin > ") + W("dir\\no\\x")) + Count(0)},
    {"missing.bin x", "", Count(0)},
    {"*.bin x", "", Count(0), "", [] {}, {{W("x"), kNone}}},
    {"a.bin D:\\x", "", "コピー先ドライブがNTFSではありません.\r\n"},
    {"C:\\src\\*.img C:\\dst", "y\r\nn\r\na\r\n", AskAll("C:\\dst\\four.img") +
     Line("C:\\src\\four.img", "C:\\dst\\four.img") + AskAll("C:\\dst\\one.img") +
     Skip("C:\\src\\one.img") + AskAll("C:\\dst\\three.img") +
     Line("C:\\src\\three.img", "C:\\dst\\three.img") + Line("C:\\src\\two.img", "C:\\dst\\two.img") +
     Count(3), "", [] {}, {{"C:\\dst\\one.img", "old"}, {"C:\\dst\\two.img", "two.img"},
                           {"C:\\dst\\sub.img", kNone}}},
    {"C:\\src\\other.txt C:\\dst\\", "", Line("C:\\src\\other.txt", "C:\\dst\\other.txt") + Count(1)},
    {"C:\\src\\sub* C:\\dst", "", Count(0)},
    {"C:*.txt C:\\dst", "", Line("C:\\src\\other.txt", "C:\\dst\\other.txt") + Count(1), "",
     [] { fake::machine.folder = "C:\\src"; }},
    {"C:\\src\\*.img C:\\dst", "", AskAll("C:\\dst\\four.img") + "\r\n" + Skip("C:\\src\\four.img") +
     AskAll("C:\\dst\\one.img") + "\r\n", OpenError("C:\\src\\one.img", 32),
     [] { fake::Fail("OpenForReading", 2, 32); }},
    {"a.bin wl\\b", "", "", OpenError("wl\\b", 206), [] { fake::Fail("FullPathOf", 2, 206); }},
    {"a.bin b", "", "", OpenError("a.bin", 2), [] { fake::machine.folder = ""; }},
    {"a.bin \\dst\\n", "", Line(W("a.bin"), "C:\\dst\\n") + Count(1)},
    {"a.bin n", "", Line(kTable + "\\a.bin", kTable + "\\n") + Count(1), "",
     [] { fake::AddFile(kTable + "\\a.bin", "d"); fake::machine.folder = kTable; }},
    {"a.bin \\\\srv\\sh\\d", "", Line(W("a.bin"), "\\\\srv\\sh\\d\\a.bin") + Count(1), "",
     [] { fake::AddVolume("\\\\srv\\sh\\", "NTFS"); fake::AddFolder("\\\\srv\\sh\\d"); }},
    {"", "", "", Report("EInOutError", "I/O エラー (105)."), [] { fake::machine.missing[1] = true; }},
    {"a.bin b.bin", "", Ask(W("b.bin")), Report("EInOutError", "I/O エラー (104)."),
     [] { fake::machine.missing[0] = true; }},
    {"", "", "", Report("EInOutError", "ファイルへのアクセスが拒否されました."),
     [] { fake::Fail("WriteBytes", 1, 5); }},
    {"", "", "", Report("EInOutError", "I/O エラー (112)."), [] { fake::Fail("WriteBytes", 1, 112); }},
};
// clang-format on

TEST_F(FakeTest, RunsPrintReportAndLeaveFilesAsTheyShould) {
  for (const Scenario& run : kScenarios) {
    SCOPED_TRACE("Dravik " + run.args + " < " + run.input);
    fake::Reset();
    ConsoleClose();
    fake::AddFile(W("a.bin"), "data");
    fake::AddFile(W("b.bin"), "old");
    fake::AddFolder(W("dir"));
    fake::AddVolume("D:\\", "FAT32");
    for (const std::string name : {"four.img", "one.img", "three.img", "two.img", "other.txt"}) {
      fake::AddFile("C:\\src\\" + name, name);
      if (name != "other.txt") fake::AddFile("C:\\dst\\" + name, "old");
    }
    fake::AddFolder("C:\\src\\sub.img");
    fake::machine.stdinBytes = run.input;
    run.arrange();
    EXPECT_EQ(RunCommandLine("Dravik " + run.args), run.err.empty() ? 0 : 1);
    EXPECT_EQ(fake::machine.out[1], run.out);
    EXPECT_EQ(MaskedStderr(), run.err);
    for (const auto& [path, content] : run.after) {
      EXPECT_EQ(fake::FileBytes(path), content) << path;
    }
    EXPECT_EQ(fake::OpenHandles(), 0);
  }
}

// A file or pipe receives 128-byte blocks, the last before the pause waits; a console
// receives every line at its end.
TEST_F(FakeTest, OutputGoesOutInBlocksOrLinesAndIsOutBeforeInputIsRead) {
  fake::machine.types[1] = platform::FileType::Disk;
  RunCommandLine("Dravik");
  std::vector<std::uint32_t> blocks(kUsage.size() / 128, 128);
  blocks.push_back(kUsage.size() % 128);
  EXPECT_EQ(fake::machine.stdoutWrites, blocks);
  EXPECT_EQ(fake::machine.calls.back().find("ReadBytes"), 0u);
  fake::Reset();
  ConsoleClose();
  RunCommandLine("Dravik");
  EXPECT_EQ(fake::machine.stdoutWrites.size(), 7u);
}

TEST_F(FakeTest, OnlyTheListedAnswersAreTakenAndTheQuestionIsAskedUntilOneIs) {
  struct Case {
    std::string input;
    bool allowAll;
    TOverwriteAnswer answer;
    std::size_t asked;
  };
  // clang-format off
  const Case cases[] = {
      {"y\r\n", false, oaYes, 1}, {"NO\n", false, oaNo, 1}, {"ALL\r\n", true, oaAll, 1},
      {"a\r\nyes\r\n", false, oaYes, 2}, {"ye\r\nyess\r\ny es\r\nn\r\n", true, oaNo, 4},
      {"y\rx\r\n", false, oaNo, 2}, {std::string(299, ' ') + "y\r\n", false, oaYes, 1},
      {"\x82\x99\r\n", false, oaNo, 2}};  // a full-width y
  // clang-format on
  for (const Case& c : cases) {
    fake::Reset();
    ConsoleClose();
    fake::machine.stdinBytes = c.input;
    EXPECT_EQ(AskOverwrite("p", c.allowAll), c.answer) << c.input;
    std::size_t asked = 0;
    for (std::size_t at = 0; (at = fake::machine.out[1].find("p を", at)) != std::string::npos;
         ++at) {
      ++asked;
    }
    EXPECT_EQ(asked, c.asked) << c.input;
  }
}

TEST_F(FakeTest, ReportsNameTheClassModuleAndAddressAndComeAfterTheLinesPrinted) {
  EXPECT_EQ(RunAsProgram(+[] { fake::machine.faultHandler("EAccessViolation", "", 0x2345); }), 1);
  EXPECT_EQ(fake::machine.out[2],
            "EAccessViolation がモジュール Dravik.exe の 00001345 で発生しました。\n\r\n");
  fake::Reset();
  fake::machine.types[1] = platform::FileType::Disk;
  EXPECT_EQ(RunAsProgram(+[] {
              ConsoleWriteLine("line");
              throw std::bad_alloc();
            }),
            1);
  EXPECT_EQ(fake::machine.out[1], "line\r\n");
  EXPECT_EQ(
      fake::machine.out[2],
      "EOutOfMemory がモジュール Dravik.exe の 00000000 で発生しました。\nメモリが足りません.\r\n");
  fake::Reset();
  EXPECT_EQ(RunAsProgram(+[] { throw EReadError(std::string(2000, 'x')); }), 1);
  EXPECT_EQ(fake::machine.out[2].size(), 1025u);
}

TEST(Rules, SizesAreTheDigitsTimesTheFirstUnitLetter) {
  // clang-format off
  const std::pair<std::string, std::int64_t> cases[] = {
      {"100", 100}, {"100K", 102400}, {"100k", 102400}, {"1.5G", 15LL << 30}, {"-5", 5},
      {"1 G", 1LL << 30}, {"10kb", 10240}, {"2MK", 2048}, {"3 gigabytes", 3LL << 30},
      {"5 bytes", 5LL << 40}, {"8E", 8}, {"0K", 0}, {"", 0}, {"K", 0}, {"10000000000000000000", 0},
      {"9223372036854775807", 9223372036854775807LL}, {"9223372036854775808", 0}, {"16777217T", 0}};
  // clang-format on
  for (const auto& [text, size] : cases) EXPECT_EQ(StrToByteSize(text), size) << text;
}

TEST(Rules, CommandLinesSplitAtBlanksAndQuotesGroup) {
  using Words = std::vector<std::string>;
  const std::pair<std::string, Words> cases[] = {
      {"Dravik a  b", {"a", "b"}},
      {"\"C:\\My Tools\\x.exe\" \"\" a", {"a"}},
      {"x C:\\\"My Files\"\\a.bin\t\x01"
       "b",
       {"C:\\My Files\\a.bin", "b"}},
      {"x \"open a b", {"open a b"}},
      {"x \x81\"a b", {"\x81\"a", "b"}},
  };
  for (const auto& [line, words] : cases) EXPECT_EQ(SplitCommandLine(line), words) << line;
}

}  // namespace
