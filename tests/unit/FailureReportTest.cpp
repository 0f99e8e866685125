// The failure report, the exit codes and the console failures that lead to them.
#include <new>
#include <string>

#include "tests/unit/TestSupport.h"

namespace {

std::string reportMessage;

void RaiseReportMessage() { Raise(EStreamError(reportMessage)); }

std::string ReportFor(const std::string& message) {
  reportMessage = message;
  EXPECT_EQ(RunAsProgram(RaiseReportMessage), 1);
  return fake::StderrText();
}

TEST_F(FakeTest, ReportIsTwoLinesWithTheClassModuleAndAddress) {
  fake::SetModuleOfAddress("C:\\tools\\x\x83\x5C.exe", 0);
  const std::string report = ReportFor("boom");
  const std::string line1 = "EStreamError がモジュール x\x83\x5C.exe の ";
  ASSERT_EQ(report.substr(0, line1.size()), line1);
  const std::string address = report.substr(line1.size(), 8);
  EXPECT_EQ(address.find_first_not_of("0123456789ABCDEF"), std::string::npos) << address;
  EXPECT_EQ(report.substr(line1.size() + 8), " で発生しました。\nboom.\r\n");
  EXPECT_EQ(fake::StderrWriteSizes().size(), 2u);  // the text, then CR LF
}

TEST_F(FakeTest, ReportAddsADotUnlessTheMessageEndsWithOne) {
  const std::pair<std::string, std::string> cases[] = {
      {"ends with dot.", "ends with dot."},
      {"", ""},
      {"ends with blank ", "ends with blank ."},
      {"終わり。", "終わり。."},
  };
  for (const auto& [message, line2] : cases) {
    fake::Reset();
    ConsoleClose();
    EXPECT_EQ(
        MaskAddress(ReportFor(message)),
        "EStreamError がモジュール Dravik.exe の XXXXXXXX で発生しました。\n" + line2 + "\r\n");
  }
}

TEST_F(FakeTest, LongReportIsCutAt1023Bytes) {
  const std::string report = ReportFor(std::string(2000, 'm'));
  ASSERT_EQ(report.size(), 1025u);
  EXPECT_EQ(report.substr(1018), "mmmmm\r\n");
}

TEST_F(FakeTest, ReportIsConvertedToTheOemCodePage) {
  fake::SetOemConversion([](std::string& text) {
    for (char& c : text) c = c == 'm' ? 'M' : c;
  });
  EXPECT_NE(ReportFor("mmm").find("\nMMM.\r\n"), std::string::npos);
}

TEST_F(FakeTest, OutOfMemoryIsReportedAsThePremadeError) {
  EXPECT_EQ(RunAsProgram([] { throw std::bad_alloc(); }), 1);
  EXPECT_EQ(
      fake::StderrText(),
      "EOutOfMemory がモジュール Dravik.exe の 00000000 で発生しました。\nメモリが足りません.\r\n");
}

TEST_F(FakeTest, LinesPrintedBeforeAFailureComeFirst) {
  fake::SetStdType(platform::StdStream::Output, platform::FileType::Disk);
  EXPECT_EQ(RunAsProgram([] {
              ConsoleWriteLine("printed before");
              Raise(EFOpenError("x"));
            }),
            1);
  EXPECT_EQ(fake::StdoutText(), "printed before\r\n");
  const std::vector<std::string> writes = fake::CallTexts({"WriteBytes"});
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_NE(writes[0].find("h=1001"), std::string::npos);  // standard output first
}

TEST_F(FakeTest, NormalRunEndsWithExitCodeZeroAndWritesOutTheRest) {
  fake::SetStdType(platform::StdStream::Output, platform::FileType::Pipe);
  EXPECT_EQ(RunAsProgram([] { ConsoleWriteLine("short"); }), 0);
  EXPECT_EQ(fake::StdoutText(), "short\r\n");
  EXPECT_EQ(fake::StderrText(), "");
}

TEST_F(FakeTest, OutputThatFirstFailsAtTheFinalCloseStaysSilent) {
  fake::SetStdType(platform::StdStream::Output, platform::FileType::Pipe);
  fake::FailStdoutWrite(1, 232);
  EXPECT_EQ(RunAsProgram([] { ConsoleWriteLine("short"); }), 0);
  EXPECT_EQ(fake::StderrText(), "");
}

struct ConsoleFailureCase {
  const char* what;
  void (*arrange)();
  const char* line2;
};

class ConsoleFailureTest : public FakeTest,
                           public ::testing::WithParamInterface<ConsoleFailureCase> {};

// A question on the console: each way the console can fail gives its report, exit code 1.
TEST_P(ConsoleFailureTest, ReportsTheInOutError) {
  fake::SetStdin("y\r\n");
  GetParam().arrange();
  EXPECT_EQ(RunAsProgram([] { AskOverwrite("C:\\x", false); }), 1);
  EXPECT_EQ(MaskAddress(fake::StderrText()),
            std::string("EInOutError がモジュール Dravik.exe の XXXXXXXX で発生しました。\n") +
                GetParam().line2 + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ConsoleFailureTest,
    ::testing::Values(
        ConsoleFailureCase{"no_output_handle",
                           [] { fake::SetStdHandleMissing(platform::StdStream::Output); },
                           "I/O エラー (105)."},
        ConsoleFailureCase{
            "output_of_unknown_type",
            [] { fake::SetStdType(platform::StdStream::Output, platform::FileType::Unknown); },
            "I/O エラー (105)."},
        ConsoleFailureCase{"no_input_handle",
                           [] { fake::SetStdHandleMissing(platform::StdStream::Input); },
                           "I/O エラー (104)."},
        ConsoleFailureCase{"write_fails", [] { fake::FailStdoutWrite(1, 232); },
                           "I/O エラー (232)."},
        ConsoleFailureCase{"write_access_denied", [] { fake::FailStdoutWrite(1, 5); },
                           "ファイルへのアクセスが拒否されました."},
        ConsoleFailureCase{"read_fails",
                           [] {
                             fake::EndStdinWithError(6);
                             fake::SetStdin("");
                           },
                           "I/O エラー (6)."}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(FakeTest, OutputOfUnknownTypeIsClosed) {
  fake::SetStdType(platform::StdStream::Output, platform::FileType::Unknown);
  EXPECT_EQ(RunAsProgram([] { ConsoleWriteLine("x"); }), 1);
  EXPECT_TRUE(fake::StdHandleClosed(platform::StdStream::Output));
}

TEST_F(FakeTest, InOutErrorMessagesByCode) {
  const std::pair<platform::ErrorCode, const char*> cases[] = {
      {2, "ファイルが見つかりません."},
      {3, "ファイル名の指定が間違っています."},
      {4, "オープンしたファイルが多すぎます."},
      {5, "ファイルへのアクセスが拒否されました."},
      {100, "ファイルの末尾以降を読み込みました."},
      {101, "ディスクがいっぱいです."},
      {106, "入力値が数値ではありません."},
      {109, "I/O エラー (109)."}};
  for (const auto& [code, line2] : cases) {
    fake::Reset();
    ConsoleClose();
    fake::FailStdoutWrite(1, code);
    EXPECT_EQ(RunAsProgram([] { ConsoleWriteLine("x"); }), 1);
    const std::string report = fake::StderrText();
    EXPECT_EQ(report.substr(report.find('\n') + 1), std::string(line2) + "\r\n");
  }
}

TEST_F(FakeTest, ProcessorFaultsAreHandledByTheSameReport) {
  EXPECT_EQ(RunAsProgram([] {
              ConsoleWriteLine("before");
              fake::InstalledFaultHandler()("EAccessViolation", "アクセス違反", 0x401234);
            }),
            1);
  EXPECT_EQ(
      fake::StderrText(),
      "EAccessViolation がモジュール Dravik.exe の 00400234 で発生しました。\nアクセス違反.\r\n");
}

}  // namespace
