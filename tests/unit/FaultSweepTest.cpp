// The fault sweep: whole runs of the program on the fake machine with platform calls failing
// or transferring short, and what must hold whatever fails.
//
// Each scenario runs once cleanly to learn the calls it makes. Then it runs once per call
// that can fail, with that call failing, and for reads and writes also with the call
// transferring half of what it asked, or 1 byte. A run that ends with a report runs again
// once per later call that can fail, with that call failing too, so the unwinding and the
// report meet failures as well. The calls are learnt at run time, so the sweep follows every
// change in the way the program reaches the platform.
//
// Every run must end with exit code 0 and only the program's own lines, or with exit code 1
// and one well-formed report; claim no file it did not write whole; change no file the user
// did not let go; and close every file and search it opened. Faults the program absorbs must
// leave the run exactly as the clean one.
#include <algorithm>
#include <cstdint>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/unit/SweepSupport.h"
#include "tests/unit/TestSupport.h"

namespace sweep {
namespace {

// ---- Scenarios -------------------------------------------------------------------------------

// A few KB of data and zeros: a zero run across the 2049-byte block boundary, one zero byte
// between data, and zeros at the end.
std::string SourceBytes(char fill) {
  return std::string(300, fill) + std::string(1900, '\0') + "x" + std::string(1, '\0') + "yz" +
         std::string(500, static_cast<char>(fill + 1)) + std::string(700, '\0');
}

const std::string kOld(6000, 'o');  // an older, longer file that a copy or a create replaces
constexpr platform::FileType kChar = platform::FileType::Char;
constexpr platform::FileType kDisk = platform::FileType::Disk;
constexpr bool kHoles = true;

struct GivenFile {
  std::string path;
  std::string content;
  bool holes = false;  // its zero runs are holes, not allocated zeros
};

// Adds the file; with holes, only its runs of non-zero bytes are allocated data.
void AddFile(const GivenFile& file) {
  if (!file.holes) {
    fake::AddFile(file.path, file.content);
    return;
  }
  std::vector<fake::DataPiece> pieces;
  for (std::size_t at = 0, end; at < file.content.size(); at = end + 1) {
    end = std::min(file.content.find('\0', at), file.content.size());
    if (end > at) {
      pieces.push_back({static_cast<std::int64_t>(at), file.content.substr(at, end - at)});
    }
  }
  fake::AddSparseFile(file.path, static_cast<std::int64_t>(file.content.size()), pieces);
}

struct Scenario {
  const char* name;
  const char* commandLine;
  const char* input;             // standard input
  platform::FileType output;     // what standard output is
  std::vector<GivenFile> files;  // the files before the run
  std::string givenUp;           // the existing file the answer lets go, if any
  std::size_t results;           // copied or created lines of a clean run
};

// clang-format off
const Scenario kScenarios[] = {
    {"copy_to_new_file", "Dravik data.bin copy.bin", "", kChar,
     {{"C:\\work\\data.bin", SourceBytes('a'), kHoles}}, "", 1},
    {"copy_over_existing_file", "Dravik C:\\work\\data.bin C:\\work\\copy.bin", "y\r\n", kDisk,
     {{"C:\\work\\data.bin", SourceBytes('b')}, {"C:\\work\\copy.bin", kOld}},
     "C:\\work\\copy.bin", 1},
    {"copy_into_folder", "Dravik C:\\src\\*.bin C:\\dst", "y\r\n", kDisk,
     {{"C:\\src\\a.bin", SourceBytes('c'), kHoles}, {"C:\\src\\b.bin", SourceBytes('e')},
      {"C:\\src\\c.bin", SourceBytes('g')}, {"C:\\src\\notes.txt", "not matched"},
      {"C:\\dst\\b.bin", kOld}},
     "C:\\dst\\b.bin", 3},
    {"create_new_file", "Dravik /c C:\\work\\new.bin 10K", "", kChar, {}, "", 1},
    {"create_over_existing_file", "Dravik /c C:\\work\\old.bin 10K", "yes\r\n", kChar,
     {{"C:\\work\\old.bin", kOld}}, "C:\\work\\old.bin", 1},
    {"usage_screen", "Dravik", "\r\n", kDisk, {{"C:\\work\\data.bin", "bystander"}}, "", 0}};
// clang-format on

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

// ---- Faults ----------------------------------------------------------------------------------

struct Fault {
  fake::FailureRule rule;
  std::string what;       // for the trace
  bool absorbed = false;  // the run must come out exactly as the clean one
};

// Faults the program absorbs: a file read or written short is read or written again, and a
// file whose data ranges or allocation unit the volume cannot tell, or that cannot be marked
// sparse, still gets the same content.
bool Absorbed(const fake::Call& call, bool shortened) {
  return (shortened && (call.kind == "ReadAt" || call.kind == "WriteAt")) ||
         call.kind == "NextDataRange" ||
         call.kind == "AllocationUnitOf" || call.kind == "MarkSparse";
}

// Plausible codes for a failure of each kind; reads and writes are tried with two.
std::vector<platform::ErrorCode> CodesFor(const std::string& kind) {
  static const std::map<std::string, std::vector<platform::ErrorCode>> codes = {
      {"ReadBytes", {23, 109}}, {"WriteBytes", {112, 5}}, {"ReadAt", {23}},
      {"WriteAt", {112, 5}},    {"OpenForReading", {32}}, {"MarkSparse", {1}},
      {"SetLength", {112}},     {"StdHandle", {6}},       {"TypeOfFile", {6}}};
  const auto found = codes.find(kind);
  return found == codes.end() ? std::vector<platform::ErrorCode>{5} : found->second;
}

std::string Describe(const FailableCall& at) {
  return "call " + std::to_string(at.ordinal) + " (" + at.call.text + ")";
}

Fault Failing(const FailableCall& at, platform::ErrorCode code) {
  return Fault{fake::FailureRule{"", at.ordinal, false, code},
               Describe(at) + " fails with " + std::to_string(code), Absorbed(at.call, false)};
}

Fault Shortened(const FailableCall& at, std::uint32_t bytes) {
  return Fault{fake::FailureRule{at.call.kind, at.ofKind, false, 0, bytes},
               Describe(at) + " transfers " + std::to_string(bytes) + " bytes",
               Absorbed(at.call, true)};
}

std::vector<Fault> SingleFaults(const std::vector<fake::Call>& calls) {
  std::vector<Fault> faults;
  for (const FailableCall& at : FailableCalls(calls)) {
    for (platform::ErrorCode code : CodesFor(at.call.kind)) faults.push_back(Failing(at, code));
    const std::uint32_t asked = BytesAsked(at.call);
    if (asked >= 4) faults.push_back(Shortened(at, asked / 2));
    if (asked >= 2) faults.push_back(Shortened(at, 1));
  }
  return faults;
}

// ---- One run ---------------------------------------------------------------------------------

std::string CallPrefix(const char* kind, std::intptr_t handle) {
  return std::string(kind) + " h=" + std::to_string(handle) + " ";
}
const std::string kStdinRead = CallPrefix("ReadBytes", fake::kStdinHandle);
const std::string kStdoutWrite = CallPrefix("WriteBytes", fake::kStdoutHandle);
const std::string kStderrWrite = CallPrefix("WriteBytes", fake::kStderrHandle);

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
  std::vector<fake::Call> calls;
  std::size_t injected = 0;
  Files files;
  bool outputHit = false;    // a write to standard output failed or came back short
  bool outputShort = false;  // ... came back short
  bool reportHit = false;    // the report's handle or one of its writes failed
  bool answerLost = false;   // the input ended before the answer was read: that means no
};

void Arrange(const Scenario& scenario) {
  ConsoleClose();
  fake::Reset();
  for (const GivenFile& file : scenario.files) AddFile(file);
  fake::SetStdType(platform::StdStream::Output, scenario.output);
  fake::SetStdin(scenario.input);
  fake::ClearCalls();
}

void NoteWhatWasHit(RunResult& run) {
  bool inputRead = false;
  for (const fake::Call& call : run.calls) {
    inputRead = inputRead || StartsWith(call.text, kStdinRead);
    if (call.injected == 0 && !call.shortened) continue;
    run.outputHit = run.outputHit || StartsWith(call.text, kStdoutWrite);
    run.outputShort = run.outputShort || (call.shortened && StartsWith(call.text, kStdoutWrite));
    run.reportHit =
        run.reportHit || StartsWith(call.text, kStderrWrite) || call.text == "StdHandle Error";
  }
  run.answerLost = inputRead && fake::StdinUnread() > 0;
}

// Runs the program with these faults and checks that it let go of all it opened.
RunResult RunWith(const Scenario& scenario, const std::vector<Fault>& faults) {
  Arrange(scenario);
  for (const Fault& fault : faults) fake::Schedule(fault.rule);
  RunResult run;
  try {
    run.exitCode = RunCommandLine(scenario.commandLine);
  } catch (...) {
    ADD_FAILURE() << "an exception other than the end of the process escaped the run";
  }
  run.out = fake::StdoutText();
  run.err = fake::StderrText();
  run.calls = fake::Calls();
  run.injected = fake::Injections().size();
  run.files = AllFiles();
  NoteWhatWasHit(run);
  EXPECT_EQ(fake::UnfiredFailures(), 0) << "the run strayed from the run it was derived from";
  EXPECT_EQ(fake::OpenFileCount(), 0) << "a file was left open";
  EXPECT_EQ(fake::OpenSearchCount(), 0) << "a folder search was left open";
  for (const std::string& misuse : fake::Misuses()) ADD_FAILURE() << "misuse: " << misuse;
  return run;
}

// ---- The sweep -------------------------------------------------------------------------------

struct Totals {
  std::int64_t scenarios = 0;
  std::int64_t runs = 0;
  std::int64_t faults = 0;
} totals;

class SweepSummary : public ::testing::Environment {
  void TearDown() override {
    if (totals.scenarios > 1) {
      std::cout << "fault sweep: " << totals.runs << " runs, " << totals.faults
                << " faults injected\n";
    }
  }
};
[[maybe_unused]] ::testing::Environment* const summary =
    ::testing::AddGlobalTestEnvironment(new SweepSummary);

class FaultSweep : public FakeTest, public ::testing::WithParamInterface<Scenario> {
 protected:
  RunResult Try(const std::vector<Fault>& faults);
  void Check(const RunResult& run);
  void CheckLikeTheCleanRun(const RunResult& run);
  void CheckReport(const RunResult& run);
  void CheckExistingFiles(const RunResult& run, const Output& output);

  Files before_;
  RunResult clean_;
  std::int64_t runs_ = 0;
  std::int64_t faults_ = 0;
};

RunResult FaultSweep::Try(const std::vector<Fault>& faults) {
  std::string trace = GetParam().name;
  for (const Fault& fault : faults) trace += ", " + fault.what;
  SCOPED_TRACE(faults.empty() ? trace + ", clean run" : trace);
  const RunResult run = RunWith(GetParam(), faults);
  ++runs_;
  faults_ += static_cast<std::int64_t>(run.injected);
  Check(run);
  if (faults.size() == 1 && faults.front().absorbed) CheckLikeTheCleanRun(run);
  return run;
}

// What every run keeps to, whatever failed.
void FaultSweep::Check(const RunResult& run) {
  EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 1) << "exit code " << run.exitCode;
  CheckReport(run);
  if (run.exitCode == 0 && run.outputHit) {
    // Output lost at the final close, or cut short by a write that the console does not
    // repeat: the run itself went on as the clean one did.
    EXPECT_TRUE(run.files == clean_.files) << "the files differ from those of the clean run";
    EXPECT_TRUE(run.outputShort || StartsWith(clean_.out, run.out)) << run.out;
    return;
  }
  const Output output = ParseOutput(run.out, run.exitCode == 0);
  for (const auto& [source, destination] : output.copied) {
    const std::string expected = fake::IsFile(source) ? fake::FileBytes(source) : "(no source)";
    EXPECT_TRUE(Holds(destination, expected)) << "copied line for " << destination;
  }
  for (const auto& [path, size] : output.created) {
    EXPECT_TRUE(Holds(path, std::string(static_cast<std::size_t>(size), '\0'))) << "created line";
  }
  const std::string copies = std::to_string(output.copied.size());
  EXPECT_EQ(output.count.value_or(copies), copies) << "the count line miscounts";
  EXPECT_FALSE(run.exitCode == 1 && output.count) << "a count line came before the report";
  CheckExistingFiles(run, output);
  for (const auto& [path, content] : run.files) {
    EXPECT_TRUE(run.exitCode == 1 || before_.count(path) > 0 || output.Claims(path))
        << path << " was left behind without a line for it";
  }
}

void FaultSweep::CheckLikeTheCleanRun(const RunResult& run) {
  EXPECT_EQ(run.exitCode, clean_.exitCode);
  EXPECT_EQ(run.out, clean_.out);
  EXPECT_EQ(run.err, clean_.err);
  EXPECT_TRUE(run.files == clean_.files) << "the files differ from those of the clean run";
}

// Exit code 0 and nothing on standard error, or exit code 1 and one well-formed report (lost
// in part or whole when its writes fail), after which nothing more is written.
void FaultSweep::CheckReport(const RunResult& run) {
  bool reported = false;
  for (const fake::Call& call : run.calls) {
    reported = reported || StartsWith(call.text, kStderrWrite);
    if (reported && call.kind == "WriteBytes" && !StartsWith(call.text, kStderrWrite)) {
      ADD_FAILURE() << "written after the report: " << call.text;
    }
  }
  if (run.exitCode != 1) {
    EXPECT_EQ(run.err, "");
    return;
  }
  const bool ended = EndsWith(run.err, "\r\n");
  const std::string report = ended ? run.err.substr(0, run.err.size() - 2) : run.err;
  if (run.reportHit && (report.empty() || !ended)) {
    EXPECT_TRUE(report.empty() || WellFormedReport(report)) << report;
    return;
  }
  EXPECT_TRUE(ended) << "the report does not end with CR LF: " << run.err;
  EXPECT_TRUE(WellFormedReport(report));
}

// A file that was there before changes only when the user let it go, and then it is written
// whole, or declared skipped (not created), or the run ends with a report.
void FaultSweep::CheckExistingFiles(const RunResult& run, const Output& output) {
  for (const auto& [path, content] : before_) {
    const auto after = run.files.find(path);
    if (after != run.files.end() && after->second == content) continue;
    // The scenario's answer lets one file go, unless the input ended before it was read. A
    // destination whose attribute query fails counts as missing and is replaced without a
    // question; that is the rule of the existence test, and the answer would have allowed it.
    const bool mayChange = path == GetParam().givenUp && !run.answerLost;
    EXPECT_TRUE(mayChange) << path << " changed, though nobody agreed to replace it";
    EXPECT_TRUE(!mayChange || run.exitCode == 1 || output.Claims(path) ||
                output.declined.count(NameOf(path)) > 0)
        << path << " changed without a line or a report that tells so";
  }
}

TEST_P(FaultSweep, EveryFailureEndsCleanlyAndTruthfully) {
  Arrange(GetParam());
  before_ = AllFiles();
  clean_ = Try({});
  ASSERT_EQ(clean_.exitCode, 0);
  const Output output = ParseOutput(clean_.out, true);
  ASSERT_EQ(output.copied.size() + output.created.size(), GetParam().results) << clean_.out;
  for (const Fault& fault : SingleFaults(clean_.calls)) {
    const RunResult run = Try({fault});
    if (run.exitCode != 1) continue;
    // Failures on the way from the first failure to the report.
    bool afterFault = false;
    for (const FailableCall& at : FailableCalls(run.calls)) {
      if (afterFault) Try({fault, Failing(at, CodesFor(at.call.kind).front())});
      afterFault = afterFault || at.call.injected != 0 || at.call.shortened;
    }
  }
  ++totals.scenarios;
  totals.runs += runs_;
  totals.faults += faults_;
  RecordProperty("runs", static_cast<int>(runs_));
  RecordProperty("faults", static_cast<int>(faults_));
  std::cout << "fault sweep " << GetParam().name << ": " << runs_ << " runs, " << faults_
            << " faults injected\n";
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultSweep, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

// Two faults at once: an attribute query that fails must not make a create that fails
// delete a file that was there before.
TEST_F(FakeTest, FailedCreateKeepsAFileThatWasThere) {
  fake::AddFile("C:\\work\\old.bin", "old");
  fake::SetStdin("yes\r\n");
  fake::FailCallsFrom("KindOfPath", 2, 5);  // every attribute query after the question
  fake::FailCall("SetLength", 1, 112);
  EXPECT_EQ(RunCommandLine("Dravik /c C:\\work\\old.bin 10K"), 0);
  EXPECT_EQ(fake::StdoutText(),
            "C:\\work\\old.bin を上書きしますか？(Yes/No)"
            "C:\\work\\old.bin ファイルが作成されませんでした。\r\n");
  EXPECT_TRUE(fake::IsFile("C:\\work\\old.bin"));
}

}  // namespace
}  // namespace sweep
