// Every platform call that can fail, failing in turn, and every transfer cut short, in whole
// runs of the program. Each run ends with exit code 0 and nothing on standard error, or with
// exit code 1 and a report; it leaves nothing open; a file the user did not let go stays as
// it was; and every copy or creation it announces holds what it should.
#include <algorithm>
#include <map>

#include "tests/unit/Support.h"

namespace {

struct SweepRun {
  std::string args, input, givenUp;
};
const SweepRun kSweepRuns[] = {{"a.bin new.bin", "", ""},
                               {"a.bin b.bin", "y\r\n", "C:\\work\\b.bin"},
                               {"C:\\src\\*.img C:\\dst", "y\r\n", "C:\\dst\\one.img"},
                               {"/c new.bin 10K", "", ""},
                               {"/c b.bin 10K", "yes\r\n", "C:\\work\\b.bin"},
                               {"", "\r\n", ""}};
const std::string kPaths[] = {"C:\\work\\a.bin",  "C:\\work\\b.bin",  "C:\\work\\new.bin",
                              "C:\\src\\one.img", "C:\\src\\two.img", "C:\\dst\\one.img",
                              "C:\\dst\\two.img"};

std::string Content(const std::string& path) {
  return fake::Exists(path) ? fake::FileBytes(path) : "(absent)";
}

std::map<std::string, std::string> Arrange(const SweepRun& run) {
  fake::Reset();
  ConsoleClose();
  fake::AddFile("C:\\work\\a.bin", "head" + std::string(9000, '\0') + "tail");
  fake::AddFile("C:\\work\\b.bin", "old");
  fake::AddFile("C:\\src\\one.img", "one");
  fake::AddFile("C:\\src\\two.img", std::string(5000, 't'));
  fake::AddFile("C:\\dst\\one.img", "old");
  fake::machine.stdinBytes = run.input;
  std::map<std::string, std::string> files;
  for (const std::string& path : kPaths) files[path] = Content(path);
  return files;
}

// Checks what the output announces: "S > D" holds S's bytes, "P (N bytes) ..." N zeros.
std::set<std::string> CheckAnnounced(const std::string& out) {
  std::set<std::string> announced;
  for (std::size_t at = 0, end; (end = out.find("\r\n", at)) != std::string::npos; at = end + 2) {
    std::string line = out.substr(at, end - at);
    const std::size_t asked = line.find("を上書きしますか？");
    if (asked != std::string::npos) line = line.substr(line.find(')', asked) + 1);
    const std::size_t arrow = line.find(" > "), size = line.find(" (");
    if (arrow != std::string::npos && line.find(" ... skip") == std::string::npos) {
      announced.insert(line.substr(arrow + 3));
      EXPECT_EQ(fake::FileBytes(line.substr(arrow + 3)), fake::FileBytes(line.substr(0, arrow)));
    } else if (line.find("ファイルを作成しました") != std::string::npos) {
      std::string digits = line.substr(size + 2, line.find(" bytes") - size - 2);
      digits.erase(std::remove(digits.begin(), digits.end(), ','), digits.end());
      announced.insert(line.substr(0, size));
      EXPECT_EQ(fake::FileLength(line.substr(0, size)), std::stoll(digits)) << line;
      EXPECT_TRUE(fake::AllocatedUnits(line.substr(0, size)).empty()) << line;
    }
  }
  return announced;
}

TEST_F(FakeTest, EveryFailureEndsTheRunCleanlyAndTruthfully) {
  for (const SweepRun& run : kSweepRuns) {
    Arrange(run);
    RunCommandLine("Dravik " + run.args);
    std::map<std::string, std::string> clean;
    for (const std::string& path : kPaths) clean[path] = Content(path);
    std::map<std::string, int> seen;
    const std::vector<std::string> calls = fake::machine.calls;
    for (const std::string& call : calls) {
      const std::string kind = call.substr(0, call.find(' '));
      const int nth = ++seen[kind];
      for (const bool cutShort : {false, true}) {
        if (cutShort && call.find(" n=") == std::string::npos) continue;
        SCOPED_TRACE("Dravik " + run.args + ": " + call + (cutShort ? " cut short" : " fails"));
        const std::map<std::string, std::string> before = Arrange(run);
        fake::Fail(kind, nth, cutShort ? 0 : 5, false, 1);
        const int code = RunCommandLine("Dravik " + run.args);
        const bool reportLost = call == "StdHandle 2" || call.find("h=1002") != std::string::npos;
        EXPECT_TRUE(code == 0 || code == 1);
        EXPECT_EQ(fake::machine.out[2].empty(), code == 0 || reportLost) << fake::machine.out[2];
        EXPECT_TRUE(code == 0 || fake::machine.out[1].find("個のファイル") == std::string::npos);
        EXPECT_EQ(fake::OpenHandles(), 0);
        // Output cut short or lost tells less, but the run went on as the clean one did.
        const bool outputHit = code == 0 && call.find("h=1001") != std::string::npos;
        const std::set<std::string> announced =
            outputHit ? std::set<std::string>() : CheckAnnounced(fake::machine.out[1]);
        for (const auto& [path, content] : before) {
          const bool mayChange = path == run.givenUp || (content == "(absent)" && code == 1);
          const bool asClean = outputHit && Content(path) == clean[path];
          EXPECT_TRUE(Content(path) == content || mayChange || announced.count(path) || asClean)
              << path;
        }
      }
    }
  }
}

}  // namespace
