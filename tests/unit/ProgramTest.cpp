// The program's logic on the fake machine: whole runs (output, report, exit code, files left), the
// copy and create where only a test can steer them, the copy's layouts as the fuzz seeds.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <tuple>

#include "Dravik/Commands.h"
#include "Dravik/Console.h"
#include "Dravik/NumberFormat.h"
#include "Dravik/ProgramRun.h"
#include "SparseUtils/SparseOperations.h"
#include "failure/Errors.h"
#include "platform/AllocatedRanges.h"
#include "platform/Unicode.h"
#include "tests/fake/Fake.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void Fresh() {
  ConsoleClose();  // what an interrupted run left in the buffer goes to the machine before
  fake::Reset();
}
class FakeTest : public ::testing::Test {
  void SetUp() override { Fresh(); }
};

// Runs `body` as the program's whole run (handler, report, shutdown); returns the exit code.
int RunAsProgram(void (*body)(TCopyWatch&)) {
  InitNumberFormat();
  try {
    RunProgram(body);
  } catch (const fake::TProcessEnded& ended) {
    return ended.code;
  }
}

TCopyWatch* runWatch = nullptr;  // the watch of the run under test

int RunCommandLine(const std::string& commandLine) {
  fake::machine.commandLine = commandLine;
  return RunAsProgram(+[](TCopyWatch& watch) {
    runWatch = &watch;
    RunDravik(watch);
  });
}

using TText = const std::string&;
std::string W(TText name) { return "C:\\work\\" + name; }
std::string Ask(TText path) { return path + " を上書きしますか？(Yes/No)"; }
std::string AskAll(TText path) { return path + " を上書きしますか？(Yes/No/All)"; }
std::string Line(TText from, TText to) { return from + " > " + to + "\r\n"; }
std::string Skip(TText text) { return text + " ... skip\r\n"; }
std::string Made(TText path, TText size) {
  return path + " (" + size + " bytes) ファイルを作成しました。\r\n";
}
std::string NotMade(TText path) { return path + " ファイルが作成されませんでした。\r\n"; }
std::string Count(int n) {
  return "         " + std::to_string(n) + " 個のファイルをコピーしました。\r\n";
}
std::string Report(TText name, TText message) {
  return name + " がモジュール Dravik.exe の XXXXXXXX で発生しました。\n" + message + "\r\n";
}
std::string OpenError(TText path, int code) {
  return Report("EFOpenError",
                "ファイル " + path + " は開けません。 System error " + std::to_string(code) + " .");
}
const std::string kUsage =
    "Dravik.exe\r\n Dravik.exe コピー元ファイル コピー先フォルダ|コピー先ファイル\r\n"
    " Dravik.exe /C 作成ファイル 作成バイト数[K]|[M]|[G]|[T]\r\n\r\nby vellamor\r\n\r\n"
    "Enter キーを押して下さい\r\n";
constexpr std::int64_t kChunk = 512 << 10;  // the copy's chunk
const std::string kLong =  // its line fills the console's buffer in the middle of a character
    "a日日日日日日日日日日日日日日日日日日日日"
    "日日日日日日日日日日日日日日日日日日日日";
const std::string kBig(3 * kChunk, 'x');
const std::string kNone = "(none)";  // what FileBytes gives for no file

// Another program puts a file at `path` once the run has looked there, right before it opens it.
void PlantAt(TText path) {
  fake::machine.beforeOpen = [path](TText opened) {
    if (opened == path) fake::AddFile(path, "planted");
  };
}

struct TScenario {
  std::string args, input, out, err = "";
  void (*arrange)() = [] {};
  std::vector<std::pair<std::string, std::string>> after = {};  // content, or kNone
};

// clang-format off
const TScenario kScenarios[] = {
    {"", "\r\n", kUsage},
    {"x", "", kUsage},
    {"/c x 9000000T", "", kUsage},  // beyond 2^63 - 1 only once multiplied
    {"/c x 16777217T", "", kUsage, "", [] {}, {{W("x"), kNone}}},  // 2^64 + 2^40 is not 2^40
    {"/c x 10 y", "", kUsage, "", [] {}, {{W("x"), kNone}}},
    {"/c x 0", "", kUsage},
    {"\"\" /C \"n w\" 10K", "", Made(W("n w"), "10,240")},
    {"/c x \"-1.5 GiB\"", "", Made(W("x"), "16,106,127,360")},  // digits and the first unit letter
    {"/c x 9223372036854775807", "", Made(W("x"), "9,223,372,036,854,775,807")},
    {"/c x 9223372036854775808", "", kUsage},
    {"/c x \"5 bytes\"", "", Made(W("x"), "5,497,558,138,880")},  // the t of bytes is a unit
    {"/c x 1234567", "", Made(W("x"), "1.234.567"), "", [] { fake::machine.separator = "."; }},
    {"/c b.bin 1", "all\r\nno\r\n", Ask(W("b.bin")) + Ask(W("b.bin")) + NotMade(W("b.bin")), "",
     [] {}, {{W("b.bin"), "old"}}},
    {"/c b.bin 1", " YES \t\r\n", Ask(W("b.bin")) + Made(W("b.bin"), "1"), "", [] {},
     {{W("b.bin"), std::string(1, '\0')}}},
    {"/c b.bin 17T", "y\r\n", Ask(W("b.bin")) + NotMade(W("b.bin")), "", [] { fake::machine.largestFile = 16LL << 40; },
     {{W("b.bin"), "old"}}},  // the volume refuses it; a file made and not completed goes again:
    {"/c n.bin 17T", "", NotMade(W("n.bin")), "", [] { fake::machine.largestFile = 0; }, {{W("n.bin"), kNone}}},
    {"/c dir 1", "", NotMade(W("dir"))},
    {"/c D:\\x 1", "", "作成先ドライブがNTFSではありません.\r\n"},
    {"/c wl\\c 1K", "", NotMade("wl\\c"), "", [] { fake::Fail("FullPathOf", 1, 206); }},
    {"a.bin new.bin", "", Line(W("a.bin"), W("new.bin")) + Count(1), "", [] {}, {{W("new.bin"), "data"}}},
    {"a.bin b.bin", "a\r\nn\r\n", Ask(W("b.bin")) + Ask(W("b.bin")) + Skip(W("a.bin > ") + W("b.bin")) +
     Count(0), "", [] {}, {{W("b.bin"), "old"}}},
    {"a.bin b.bin", "", Ask(W("b.bin")) + "\r\n" + Skip(W("a.bin > ") + W("b.bin")) + Count(0), "",
     [] { fake::machine.stdinEnd = 109; }},  // a pipe whose writer has gone ends the input
    {"a.bin b.bin", "y\x1AX\r\n", Ask(W("b.bin")) + Line(W("a.bin"), W("b.bin")) + Count(1), "", [] {},
     {{W("b.bin"), "data"}}},
    {"a.bin b.bin", std::string(299, ' ') + "y\re\rs\n", Ask(W("b.bin")) + Line(W("a.bin"), W("b.bin")) +
     Count(1)},  // a long line, lone CRs dropped
    {"a.\"bin\" \"n w", "", Line(W("a.bin"), W("n w")) + Count(1)},  // quotes within a word, unmatched
    {"Gonez.bin c:\\WORK\\goneZ.BIN", "", W("Gonez.bin") + " == c:\\WORK\\goneZ.BIN\r\n" + Count(0)},
    {"a.bin C:\\work\\..\\work\\.\\n", "", Line(W("a.bin"), "C:\\work\\..\\work\\.\\n") + Count(1)},
    {"a.bin dir\\no\\x", "", Skip(W("a.bin > ") + W("dir\\no\\x")) + Count(0)},
    // A name found free and taken before the open, or a file replaced after the question, is
    // left as the other program made it.
    {"a.bin n", "", Skip(W("a.bin > ") + W("n")) + Count(0), "", [] { PlantAt(W("n")); }, {{W("n"), "planted"}}},
    {"a.bin b.bin", "y\r\n", Ask(W("b.bin")) + Skip(W("a.bin > ") + W("b.bin")) + Count(0), "",
     [] { PlantAt(W("b.bin")); }, {{W("b.bin"), "planted"}}},
    {"/c n 1", "", NotMade(W("n")), "", [] { PlantAt(W("n")); }, {{W("n"), "planted"}}},
    {"/c b.bin 1", "y\r\n", Ask(W("b.bin")) + NotMade(W("b.bin")), "", [] { PlantAt(W("b.bin")); },
     {{W("b.bin"), "planted"}}},
    {"C:\\src\\*.img C:\\dst", "all\r\n", AskAll("C:\\dst\\four.img") + Line("C:\\src\\four.img", "C:\\dst\\four.img") +
     Line("C:\\src\\one.img", "C:\\dst\\one.img") + Line("C:\\src\\three.img", "C:\\dst\\three.img") +
     Skip("C:\\src\\two.img") + Count(3), "", [] { PlantAt("C:\\dst\\two.img"); },
     {{"C:\\dst\\one.img", "one.img"}, {"C:\\dst\\two.img", "planted"}}},
    {"*.bin x", "", Count(0), "", [] {}, {{W("x"), kNone}}},
    {"a.bin D:\\x", "", "コピー先ドライブがNTFSではありません.\r\n"},
    {"C:\\src\\*.img C:\\dst", "y\r\nn\r\nall\r\n", AskAll("C:\\dst\\four.img") +
     Line("C:\\src\\four.img", "C:\\dst\\four.img") + AskAll("C:\\dst\\one.img") +
     Skip("C:\\src\\one.img") + AskAll("C:\\dst\\three.img") +
     Line("C:\\src\\three.img", "C:\\dst\\three.img") + Line("C:\\src\\two.img", "C:\\dst\\two.img") +
     Count(3), "", [] {}, {{"C:\\dst\\one.img", "old"}, {"C:\\dst\\two.img", "two.img"},
                           {"C:\\dst\\sub.img", kNone}}},
    {"C:\\src\\other.txt C:\\dst\\", "", Line("C:\\src\\other.txt", "C:\\dst\\other.txt") + Count(1)},
    {"C:*.txt C:\\dst", "", Line("C:\\src\\other.txt", "C:\\dst\\other.txt") + Count(1), "",
     [] { fake::machine.folder = "C:\\src"; }},
    {"C:\\src\\*.img C:\\dst", "", AskAll("C:\\dst\\four.img") + "\r\n" + Skip("C:\\src\\four.img") +
     AskAll("C:\\dst\\one.img") + "\r\n", OpenError("C:\\src\\one.img", 32),
     [] { fake::Fail("OpenForReading", 2, 32); }},
    {"a.bin wl\\b", "", "", OpenError("wl\\b", 206), [] { fake::Fail("FullPathOf", 2, 206); }},
    {"a.bin b", "", "", OpenError("a.bin", 2), [] {  // a current folder that cannot be told
       fake::AddFile("C:\\a.bin", "root"); fake::Fail("CurrentFolder", 1, 2); }},
    {"a.bin n", "", "", Report("EReadError", "ファイル " + W("a.bin") + " を読み込めません。 System error 23 ."),
     [] { fake::Fail("ReadAt", 1, 23); }},
    {"a.bin n", "", "", Report("EWriteError", "ファイル " + W("n") + " に書き込めません。 System error 5 ."),
     [] { fake::Fail("WriteAt", 1, 5); }},
    {"big n", "", "", Report("EWriteError", "ファイル " + W("n") + " に書き込めません。 System error 112 ."),
     [] {  // the source shrinks mid-copy, and its end cannot be set
       fake::AddFile(W("big"), kBig);
       fake::machine.beforeTransfer = [](std::int64_t at) { if (at == kChunk) fake::AddFile(W("big"), kBig.substr(0, at + 100)); };
       fake::Fail("SetLength", 2, 112); }},
    {"big n", "", "", Report("EOutOfMemory", "メモリが足りません."), [] {  // on either worker
       fake::AddFile(W("big"), kBig); fake::machine.processors = 2;
       fake::machine.beforeTransfer = [](std::int64_t) { fake::clock = fake::clock.load() + std::chrono::seconds(2); };
       fake::Fail("ShowProgress", 1, 8, true); }},
    {"a.bin \\dst\\n", "", Line(W("a.bin"), "C:\\dst\\n") + Count(1)},
    {"a.bin n", "", Line(W("a.bin"), W("n")) + Count(1), "", [] {  // grown by far while copied
       fake::machine.beforeTransfer = [](std::int64_t at) { if (at == 0) fake::AddFile(W("a.bin"), kBig); }; },
     {{W("n"), kBig}}},
    {"a.bin 😀.bin", "", Line(W("a.bin"), W("?.bin")) + Count(1), "",  // what code page 932 holds
     [] { fake::machine.types[1] = platform::TFileType::kDisk; }, {{W("😀.bin"), "data"}}},
    {kLong + " n", "", Line(W(kLong), W("n")) + Count(1), "", [] { fake::AddFile(W(kLong), "d"); }},
    {"a.bin \\\\srv\\sh\\d", "", Line(W("a.bin"), "\\\\srv\\sh\\d\\a.bin") + Count(1), "",
     [] { fake::AddVolume("\\\\srv\\sh\\", true); fake::AddFolder("\\\\srv\\sh\\d"); }},
    {"", "", "", Report("EInOutError", "I/O エラー (105)."), [] { fake::machine.missing[1] = true; }},
    {"a.bin b.bin", "", Ask(W("b.bin")), Report("EInOutError", "I/O エラー (104)."),
     [] { fake::machine.missing[0] = true; }},
    {"", "", "", Report("EInOutError", "ファイルへのアクセスが拒否されました."),
     [] { fake::Fail("WriteBytes", 1, 5); }},
    {"", "", "", Report("EInOutError", "I/O エラー (112)."), [] { fake::Fail("WriteBytes", 1, 112); }},
};
// clang-format on

void PrintTo(const TScenario& run, std::ostream* out) { *out << "Dravik " << run.args; }

// Each row its own test, named by its number and command line: "Runs/12_a_bin_new_bin".
class Runs : public ::testing::TestWithParam<TScenario> {};

TEST_P(Runs, PrintReportAndLeaveFilesAsTheyShould) {
  const TScenario& run = GetParam();
  SCOPED_TRACE("Dravik " + run.args + " < " + run.input);
  Fresh();
  fake::AddFile(W("a.bin"), "data");
  fake::AddFile(W("b.bin"), "old");
  fake::AddFolder(W("dir"));
  fake::AddVolume("D:\\", false);
  for (const std::string name : {"four.img", "one.img", "three.img", "two.img", "other.txt"}) {
    fake::AddFile("C:\\src\\" + name, name);
    if (name != "other.txt") fake::AddFile("C:\\dst\\" + name, "old");
  }
  fake::AddFolder("C:\\src\\sub.img");
  fake::machine.stdinBytes = run.input;
  run.arrange();
  EXPECT_EQ(RunCommandLine("Dravik " + run.args), run.err.empty() ? 0 : 1);
  EXPECT_EQ(fake::machine.out[1], run.out);
  std::string& report = fake::machine.out[2];  // its address masked
  if (report.find(" の ") != std::string::npos)
    report.replace(report.find(" の ") + 5, 8, "XXXXXXXX");
  EXPECT_EQ(report, run.err);
  for (const auto& [path, content] : run.after) EXPECT_EQ(fake::FileBytes(path), content) << path;
  EXPECT_EQ(fake::OpenHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(Dravik, Runs, ::testing::ValuesIn(kScenarios), [](const auto& row) {
  std::string name = std::to_string(row.index) + "_";
  for (const char c : row.param.args.substr(0, 40)) {
    const bool kept = std::isalnum(static_cast<unsigned char>(c));
    if (kept || name.back() != '_') name += kept ? c : '_';
  }
  return name;
});

// A file or pipe receives 128-byte blocks, the last before the pause waits; a console
// receives every line at its end.
TEST_F(FakeTest, OutputGoesOutInBlocksOrLinesAndIsOutBeforeInputIsRead) {
  for (const auto type : {platform::TFileType::kDisk, platform::TFileType::kConsole}) {
    Fresh();
    fake::machine.types[1] = type;
    RunCommandLine("Dravik");
    std::vector<std::string> writes, blocks(kUsage.size() / 128, "n=128");
    for (const std::string& call : fake::machine.calls) {
      if (call.find("WriteBytes h=1001") == 0) writes.push_back(call.substr(call.find("n=")));
    }
    blocks.push_back("n=" + std::to_string(kUsage.size() % 128));
    EXPECT_EQ(writes.size(), type == platform::TFileType::kDisk ? blocks.size() : 7u);
    EXPECT_TRUE(type != platform::TFileType::kDisk || writes == blocks);
    EXPECT_EQ(fake::machine.calls.back().find("ReadBytes"), 0u);
  }
}

TEST_F(FakeTest, ReportsNameTheClassModuleAndAddressAndComeAfterTheLinesPrinted) {
  EXPECT_EQ(RunAsProgram(+[](TCopyWatch&) {
              fake::machine.faultHandler(fake::machine.faultContext, "EAccessViolation", "",
                                         0x2345);
            }),
            1);
  EXPECT_EQ(fake::machine.out[2],
            "EAccessViolation がモジュール Dravik.exe の 00001345 で発生しました。\n\r\n");
  fake::Reset();
  fake::machine.types[1] = platform::TFileType::kDisk;
  EXPECT_EQ(RunAsProgram(+[](TCopyWatch&) {
              ConsoleWriteLine("line");
              throw std::bad_alloc();
            }),
            1);
  EXPECT_EQ(fake::machine.out[1], "line\r\n");
  EXPECT_EQ(
      fake::machine.out[2],
      "EOutOfMemory がモジュール Dravik.exe の 00000000 で発生しました。\nメモリが足りません.\r\n");
  fake::Reset();
  EXPECT_EQ(RunAsProgram(+[](TCopyWatch&) { throw EReadError(std::string(2000, 'x')); }), 1);
  EXPECT_EQ(fake::machine.out[2].size(), 1025u);
}

// Two workers, the one later in the file first or last. Both fail, or only the earlier one
// after the later one has written the end: the first failure in file order is kept, and the
// source's last byte never goes in. The source grows, and the later one writes past the length
// it had: no length step of the other one then cuts that off.
TEST_F(FakeTest, TwoWorkersKeepTheFirstFailureInFileOrderAndEveryByteWritten) {
  const std::tuple<const char*, int, int> rows[] = {
      {"ReadAt", 0, 1}, {"ReadAt", 1, 1}, {"ReadAt", 0, 3}, {"grows", 0, 0}};  // 3: after the end's
  for (const auto& [kind, late, failing] : rows) {
    Fresh();
    fake::machine.processors = 2;
    fake::AddFile(W("src"), kBig.substr(kChunk + kChunk / 2));  // a worker's chunk each
    if (kind[0] == 'R') fake::Fail(kind, failing, 23, failing == 1);
    std::promise<void> begin[2];
    std::shared_future<void> begun[] = {begin[0].get_future(), begin[1].get_future()};
    bool seen[2] = {};
    fake::machine.beforeTransfer = [&, kind = kind, late = late](std::int64_t offset) {
      const std::int64_t worker = offset / kChunk;  // the first transfer of each chunk's worker
      if ((offset != 0 && offset != kChunk) || std::exchange(seen[worker], true)) return;
      if (worker == 1 && kind[0] == 'g') fake::AddFile(W("src"), kBig.substr(kChunk));
      begin[worker].set_value();  // both begin; the late one goes on 0.1 s after
      begun[1 - worker].wait_for(std::chrono::seconds(5));
      if (worker == late) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    };
    TCopyWatch watch;
    bool raised = false;
    try {
      SparseCopyFile(W("src"), W("dst"), std::nullopt, watch);
    } catch (const EReadError&) {
      raised = true;
    }
    EXPECT_EQ(raised, kind[0] == 'R');
    EXPECT_TRUE(fake::FileBytes(W("dst")) == (kind[0] == 'R' ? "" : kBig.substr(kChunk)))
        << late << failing;
    const std::string theEnd = " o=" + std::to_string(kChunk + kChunk / 2 - 1) + " n=1";
    const auto endWrites = std::count_if(
        fake::machine.calls.begin(), fake::machine.calls.end(), [&](const std::string& call) {
          return call.find("WriteAt") == 0 && call.size() > theEnd.size() &&
                 call.compare(call.size() - theEnd.size(), theEnd.size(), theEnd) == 0;
        });
    EXPECT_TRUE(kind[0] != 'R' || endWrites == 0) << late << failing;
  }
}

std::string ProgressCalls() {  // "OpenProgressDisplay |ShowProgress ...|"
  std::string shown;
  for (const std::string& call : fake::machine.calls) {
    if (call.find("Progress") != std::string::npos) shown += call + "|";
  }
  return shown;
}

// A source of a TiB that is nearly all hole is copied in the few steps its data takes: no chunk
// of a hole is handed out, the data in and after the holes all arrives, and the holes passed
// over count as copied for the progress.
TEST_F(FakeTest, HolesCostNothingWhereChunksAreHandedOut) {
  constexpr std::int64_t kTebibyte = std::int64_t{1} << 40;
  const std::vector<fake::TDataPiece> pieces = {
      {5, "a"}, {3 * kChunk + 100, "b"}, {kTebibyte / 2 + 3, "middle"}, {kTebibyte - 4, "tail"}};
  for (const unsigned processors : {1u, 2u}) {
    Fresh();
    fake::machine.processors = processors;
    fake::AddSparseFile(W("vast"), kTebibyte, pieces);
    fake::machine.beforeTransfer = [](std::int64_t) {
      fake::clock = fake::clock.load() + std::chrono::seconds(2);
    };
    TCopyWatch watch;
    EXPECT_TRUE(SparseCopyFile(W("vast"), W("copy"), std::nullopt, watch));
    EXPECT_EQ(fake::FileLength(W("copy")), kTebibyte);
    for (const auto& [offset, bytes] : pieces) {
      EXPECT_EQ(fake::FileBytes(W("copy"), offset - 1, bytes.size() + 1), '\0' + bytes);
    }
    EXPECT_LT(fake::clockReads, 40);  // a look at the clock for each chunk copied, and the ends
    const std::string shown = ProgressCalls();  // with one worker, as it goes: with two, by turns
    EXPECT_TRUE(processors > 1 || shown.find(" 512.0 GiB / 1.0 TiB") != std::string::npos) << shown;
  }
}

// A copy shows its progress, in the title and a status line, from a second into it, and puts it
// back at its end. An interrupt as the copy has written its last byte leaves a whole copy and
// its status line as last drawn, ended; its line is not printed, and the next destination is not
// touched.
TEST_F(FakeTest, ACopyShowsItsProgressAndAnInterruptEndsTheRunBeforeTheNextFile) {
  fake::AddFile("C:\\s\\one", kBig);
  fake::AddFile("C:\\s\\two", "data");
  fake::AddFile("C:\\d\\two", "old");
  fake::machine.columns = 80;
  fake::machine.beforeTransfer = [](std::int64_t at) {  // 0.6 s a chunk
    fake::clock = fake::clock.load() + std::chrono::milliseconds(300);
    if (at != 3 * kChunk) return;  // the read that finds the end of one: interrupted there
    fake::Interrupt();
    while (!runWatch->Interrupted()) std::this_thread::yield();
  };
  EXPECT_EQ(RunCommandLine("Dravik C:\\s\\* C:\\d"), fake::kInterruptedExit);
  EXPECT_EQ(fake::machine.out[1] + fake::machine.out[2], "");
  EXPECT_TRUE(fake::FileBytes("C:\\d\\one") == kBig);
  EXPECT_EQ(fake::FileBytes("C:\\d\\two"), "old");
  const std::string facts66 = "1.0 MiB / 1.5 MiB  853.3 KiB/s  残り 0:00",
                    facts100 = "1.5 MiB / 1.5 MiB  853.3 KiB/s  残り 0:00";
  EXPECT_EQ(ProgressCalls(), "OpenProgressDisplay |ShowProgress 66 66% " + facts66 +
                                 "  one | 66% [" + std::string(18, '#') + std::string(9, '.') +
                                 "] " + facts66 + "  one (80)|ShowProgress 100 100% " + facts100 +
                                 "  one | 100% [" + std::string(26, '#') + "] " + facts100 +
                                 "  one (80)|CloseProgressDisplay keeping the line|");
}

// A copy shorter than a second shows nothing; a longer one at most four times a second. What is
// shown is put back once: at its copy's end, or at a fault, whichever comes first.
TEST_F(FakeTest, ProgressIsShownFromASecondOnAndPutBackOnce) {
  fake::AddFile(W("short"), kBig.substr(0, 2 * kChunk));
  fake::AddFile(W("long"), std::string(40 * kChunk, 'x'));
  fake::machine.beforeTransfer = [](std::int64_t) {  // 50 ms a chunk: 2 s for the long one
    fake::clock = fake::clock.load() + std::chrono::milliseconds(25);
  };
  TCopyWatch watch;
  SparseCopyFile(W("short"), W("a"), std::nullopt, watch);
  EXPECT_EQ(ProgressCalls(), "");
  SparseCopyFile(W("long"), W("b"), std::nullopt, watch);
  std::string shows = ProgressCalls();
  EXPECT_EQ(shows.substr(0, 21), "OpenProgressDisplay |");
  EXPECT_EQ(shows.substr(shows.size() - 22), "CloseProgressDisplay |");
  std::size_t count = 0;
  for (std::size_t at = 0; (at = shows.find("ShowProgress ", at)) != std::string::npos; ++at)
    ++count;
  EXPECT_EQ(count, 5u);  // at 1, 1.25, 1.5, 1.75 and 2 s
  fake::machine.faultHandler = nullptr;
  fake::machine.calls.clear();
  watch.PutProgressBackAtFault();  // after the copy: nothing is left to put back
  EXPECT_EQ(ProgressCalls(), "");
  fake::machine.beforeTransfer = [&watch](std::int64_t at) {
    fake::clock = fake::clock.load() + std::chrono::milliseconds(500);
    if (at == 4 * kChunk) watch.PutProgressBackAtFault();  // as a fault on the way would
  };
  SparseCopyFile(W("long"), W("c"), std::nullopt, watch);
  shows = ProgressCalls();
  EXPECT_EQ(shows.substr(shows.size() - 17), "PutProgressBack |");
}

// The status line never takes more columns than it is given (a wide character takes two, a
// combining mark none) and holds no control character: the bar goes first, then the name is
// shortened in its middle, then the rest is cut.
TEST(StatusLine, FitsTheColumnsAndShowsNoControl) {
  const std::string facts = "66% 1.0 MiB / 1.5 MiB  853.3 KiB/s  残り 0:00  ";  // 47 columns
  const struct {
    std::string name;
    std::size_t columns;
    std::string line;
    std::size_t used;
  } rows[] = {
      {"one", 50, facts + "one", 50},
      {"abcdefghijklmnopqrstuvwxyz.img", 60, facts + "abcde...z.img", 60},
      {"日本語のファイル名.img", 60, facts + "日本...名.img", 60},
      {"日本語のファイル名.img", 61, facts + "日本語....img", 60},
      {"one", 30, facts.substr(0, 30), 30},
      {"re\u0301sume\u0301.bin", 80,
       "66% [" + std::string(13, '#') + std::string(7, '.') + "]" + facts.substr(3) +
           "re\u0301sume\u0301.bin",
       80},
      {"a\x1b[2J\x9b"
       "b",
       60, facts + "a?[2J?b", 54},
  };
  const TCopyWatch::TState state{"C:\\in\\", 3 << 19, 2 << 19};
  for (const auto& row : rows) {
    const TProgressTexts texts = ProgressTexts({state.fileName + row.name, state.size, state.done},
                                               std::chrono::milliseconds(1200), row.columns);
    EXPECT_EQ(std::tie(texts.line, texts.lineColumns), std::tie(row.line, row.used)) << row.name;
  }
}

// Windows' allocated ranges, as NTFS answers (ranges on 64 KiB, the query's start rounded down,
// ERROR_MORE_DATA when the buffer is full) and as a filter or a cloud file might.
TEST(AllocatedRanges, AreTrustedOnlyWhereTheyTellWhereTheDataIs) {
  using namespace platform::ranges;
  constexpr std::int64_t K = 1 << 10, G = 1 << 30;
  struct TRow {
    std::int64_t offset, size;
    std::vector<TAllocatedRange> entries;
    bool complete;
    platform::TDataRange expected;  // {false} where the rest must be read
  };
  const TRow rows[] = {
      {0, 1024 * K, {{0, 64 * K}, {256 * K, 64 * K}}, true, {true, 0, 64 * K}},
      {70000, 1024 * K, {{64 * K, 64 * K}}, true, {true, 70000, 128 * K}},  // rounded down
      {128 * K, 1024 * K, {{64 * K, 64 * K}, {256 * K, 64 * K}}, true, {true, 256 * K, 320 * K}},
      {300 * K,
       1024 * K,
       {{0, 64 * K}, {256 * K, 64 * K}, {512 * K, 64 * K}},
       true,
       {true, 300 * K, 320 * K}},
      {0, 1024 * K, {{0, 64 * K}}, false, {true, 0, 64 * K}},   // more follow
      {0, 1024 * K, {}, false, {false}},                        // more, and none filled in
      {128 * K, 1024 * K, {{64 * K, 64 * K}}, false, {false}},  // none that ends after it
      {0, 1024 * K, {}, true, {true, 1024 * K, 1024 * K}},      // nothing allocated
      {128 * K, 1024 * K, {{0, 64 * K}}, true, {true, 1024 * K, 1024 * K}},
      {5 * G + 3, 6 * G, {{5 * G, 64 * K}}, true, {true, 5 * G + 3, 5 * G + 64 * K}},
      {0, 100, {{0, 64 * K}}, true, {true, 0, 100}},  // the unit past the end
      {0, 1024 * K, {{0, 0}}, true, {false}},         // ranges that make no sense
      {0, 1024 * K, {{-64 * K, 128 * K}}, true, {false}},
      {0, 1024 * K, {{256 * K, 64 * K}, {0, 64 * K}}, true, {false}},
      {0, 1024 * K, {{0, 128 * K}, {64 * K, 64 * K}}, true, {false}},
      {0, 1024 * K, {{2048 * K, 64 * K}}, true, {false}},
      {0, 1024 * K, {{64 * K, INT64_MAX}}, true, {false}},
  };
  for (const TRow& row : rows) {
    const platform::TDataRange range = DataRangeOfAnswer(row.offset, row.size, row.entries.data(),
                                                         row.entries.size(), row.complete);
    EXPECT_EQ(std::tie(range.known, range.start, range.end),
              std::tie(row.expected.known, row.expected.start, row.expected.end))
        << row.offset << " of " << row.size << ", " << row.entries.size() << " entries";
  }
  const std::pair<std::uint32_t, bool> attributes[] = {
      {0x20, false},  // not sparse: all data
      {kSparse | 0x20, true},
      {kSparse | kOffline, false},
      {kSparse | kRecallOnOpen, false},
      {kSparse | kRecallOnDataAccess, false},
      {kSparse | kReparsePoint, false},
  };
  for (const auto& [given, trusted] : attributes)
    EXPECT_EQ(RangesTellData(given), trusted) << given;
}

// Every UTF-16 name, one with a lone surrogate too, comes back from the program's UTF-8 unchanged.
TEST(Unicode, EveryUtf16NameComesBackUnchanged) {
  using platform::unicode::TextOf, platform::unicode::Utf16Of;
  for (const std::u16string name : {u"résumé", u"日本語", u"emoji😀", u"a\xD800z", u"\xDC00"})
    EXPECT_TRUE(Utf16Of(TextOf(name)) == name);
  EXPECT_EQ(TextOf(u"é日😀"), "é日😀");
  EXPECT_TRUE(Utf16Of("\xE0\x80\xAF\xE6\x97") == std::u16string(5, u'\uFFFD'));  // too long, cut
}

TEST(FuzzSeeds, CopyEveryLayoutAndFailureAsTheFuzzTargetChecks) {
  for (const auto& seed : std::filesystem::directory_iterator(DRAVIK_FUZZ_SEEDS)) {
    std::ifstream file(seed.path(), std::ios::binary);
    const std::string input{std::istreambuf_iterator<char>(file), {}};
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
  }
}

}  // namespace
