// The console dialogue: output blocks, line reading, answers and the overwrite question.
#include <string>
#include <vector>

#include "tests/unit/TestSupport.h"

namespace {

using Sizes = std::vector<std::uint32_t>;

TEST_F(FakeTest, FileOrPipeOutputGoesOutInBlocksOf128Bytes) {
  for (platform::FileType type : {platform::FileType::Disk, platform::FileType::Pipe}) {
    fake::Reset();
    ConsoleClose();
    fake::SetStdType(platform::StdStream::Output, type);
    const std::string line(100, 'x');
    ConsoleWriteLine(line);  // 102 bytes wait
    EXPECT_EQ(fake::StdoutWriteSizes(), Sizes{});
    ConsoleWriteLine(line);  // 204: one block out
    ConsoleWriteLine(std::string(300, 'y'));
    EXPECT_EQ(fake::StdoutWriteSizes(), (Sizes{128, 128, 128}));
    ConsoleClose();  // the rest goes out at the end of the run
    EXPECT_EQ(fake::StdoutWriteSizes(), (Sizes{128, 128, 128, 122}));
    EXPECT_EQ(fake::StdoutText(), line + "\r\n" + line + "\r\n" + std::string(300, 'y') + "\r\n");
  }
}

TEST_F(FakeTest, ConsoleOutputGoesOutAtEveryLineEnd) {
  ConsoleWriteLine("first");
  ConsoleWriteLine();
  ConsoleWrite("no line end");
  EXPECT_EQ(fake::StdoutText(), "first\r\n\r\n");
  ConsoleFlush();
  EXPECT_EQ(fake::StdoutText(), "first\r\n\r\nno line end");
  EXPECT_EQ(fake::StdoutWriteSizes(), (Sizes{7, 2, 11}));
}

TEST_F(FakeTest, FlushBeforeTheFirstWriteDoesNothing) {
  ConsoleFlush();
  fake::SetStdHandleMissing(platform::StdStream::Output);
  ConsoleFlush();
  EXPECT_EQ(fake::CountCalls("StdHandle"), 0);
}

TEST_F(FakeTest, QuestionIsOutBeforeTheAnswerIsRead) {
  fake::SetStdType(platform::StdStream::Output, platform::FileType::Disk);
  fake::SetStdin("y\r\n");
  ConsoleWriteLine("a line before");
  EXPECT_EQ(AskOverwrite("C:\\f\x83\x5C.bin", false), oaYes);
  EXPECT_EQ(fake::StdoutText(), "a line before\r\nC:\\f\x83\x5C.bin を上書きしますか？(Yes/No)");
  const std::vector<std::string> order = fake::CallTexts({"WriteBytes", "ReadBytes"});
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(order[0].rfind("WriteBytes", 0), 0u);
}

struct LineCase {
  std::vector<std::string> chunks;  // standard input as the reads deliver it
  std::vector<std::string> lines;   // what successive reads give
};

class ReadLineTest : public FakeTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(ReadLineTest, ReadsLines) {
  fake::SetStdinChunks(GetParam().chunks);
  for (const std::string& expected : GetParam().lines) EXPECT_EQ(ConsoleReadLine(), expected);
  EXPECT_EQ(fake::StdinUnread(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    LineEnds, ReadLineTest,
    ::testing::Values(LineCase{{"one\ntwo\r\nthree"}, {"one", "two", "three", ""}},
                      LineCase{{"a\rb\r\n"}, {"ab"}},          // a lone CR is dropped
                      LineCase{{"a\r", "\nb\n"}, {"a", "b"}},  // CR LF across two reads
                      LineCase{{"ab\x1A", "junk\nnext\n"}, {"ab", "next"}},  // Ctrl+Z ends the text
                      LineCase{{"\r\n\r\n"}, {"", ""}},
                      LineCase{{std::string(299, ' ') + "y\r\n"}, {std::string(299, ' ') + "y"}},
                      LineCase{{"lo", "ng", " line\n"}, {"long line"}}));

TEST_F(FakeTest, EndOfInputIsToldApartFromAnEmptyLine) {
  fake::SetStdin("\nlast");
  bool ended = true;
  EXPECT_EQ(ConsoleReadLine(&ended), "");
  EXPECT_FALSE(ended);
  EXPECT_EQ(ConsoleReadLine(&ended), "last");
  EXPECT_FALSE(ended);
  EXPECT_EQ(ConsoleReadLine(&ended), "");
  EXPECT_TRUE(ended);
}

TEST_F(FakeTest, BrokenPipeOnInputIsTheEnd) {
  fake::SetStdin("y");
  fake::EndStdinWithError(platform::kErrorBrokenPipe);
  EXPECT_EQ(ConsoleReadLine(), "y");
  EXPECT_EQ(ConsoleReadLine(), "");
}

struct AnswerCase {
  const char* input;
  bool allowAll;
  TOverwriteAnswer answer;
  int questions;           // how often the question was written
  bool inputEnds = false;  // the answer is no because the input ended
};

class AnswerTest : public FakeTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, AcceptsOnlyTheListedAnswers) {
  const AnswerCase& c = GetParam();
  fake::SetStdin(c.input);
  EXPECT_EQ(AskOverwrite("C:\\x", c.allowAll), c.answer);
  std::string expected;
  for (int i = 0; i < c.questions; ++i) {
    expected +=
        c.allowAll ? "C:\\x を上書きしますか？(Yes/No/All)" : "C:\\x を上書きしますか？(Yes/No)";
  }
  if (c.inputEnds) expected += "\r\n";  // the answer no, on a line of its own
  EXPECT_EQ(fake::StdoutText(), expected);
  EXPECT_EQ(fake::StdinUnread(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerTest,
    ::testing::Values(AnswerCase{" YES \r\n", false, oaYes, 1},
                      AnswerCase{"Yes\n", false, oaYes, 1}, AnswerCase{"y\r\n", false, oaYes, 1},
                      AnswerCase{"yes\t\r\n", false, oaYes, 1}, AnswerCase{"N\r\n", false, oaNo, 1},
                      AnswerCase{"no\n", false, oaNo, 1},
                      AnswerCase{"a\nall\ny\n", false, oaYes, 3},
                      AnswerCase{"ALL\n", true, oaAll, 1}, AnswerCase{" a\n", true, oaAll, 1},
                      // Not accepted: empty, partial, longer, inner space, full-width y.
                      AnswerCase{"\nye\nyess\ny es\nyes please\n\x82\x99\nn\n", true, oaNo, 7},
                      AnswerCase{"maybe\r\nn\r\n", false, oaNo, 2},
                      AnswerCase{"", true, oaNo, 1, true},
                      AnswerCase{"maybe", false, oaNo, 2, true}));

TEST_F(FakeTest, EveryQuestionAfterTheEndOfInputIsAnsweredNo) {
  EXPECT_EQ(AskOverwrite("C:\\a", true), oaNo);
  EXPECT_EQ(AskOverwrite("C:\\b", true), oaNo);
  EXPECT_EQ(fake::StdoutText(),
            "C:\\a を上書きしますか？(Yes/No/All)\r\nC:\\b を上書きしますか？(Yes/No/All)\r\n");
}

}  // namespace
