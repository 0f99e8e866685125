// What the unit tests share: a fresh fake world per test and a way to run the whole program.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "Dravik/Commands.h"
#include "Dravik/Console.h"
#include "Dravik/NumberFormat.h"
#include "failure/FailureReport.h"
#include "tests/fake/FakePlatform.h"

// Every test starts on the default fake machine with fresh console channels.
class FakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    ConsoleClose();
  }
  void TearDown() override { ConsoleClose(); }
};

// Runs `body` as the program's whole run (top-level handler, report, shutdown) and returns
// the exit code it ended with.
inline int RunAsProgram(void (*body)()) {
  InitNumberFormat();
  try {
    RunProgram(body, ConsoleHooks{ConsoleFlush, ConsoleClose});
  } catch (const fake::ProcessEnded& ended) {
    return ended.exitCode;
  }
  ADD_FAILURE() << "the run did not end the process";
  return -1;
}

// Runs the program with this raw command line.
inline int RunCommandLine(const std::string& commandLine) {
  fake::SetRawCommandLine(commandLine);
  return RunAsProgram(RunDravik);
}

// The report's first line with the address masked, as the tests write it out.
inline std::string MaskAddress(std::string report) {
  const std::size_t at = report.find(" の ");
  if (at != std::string::npos && report.size() >= at + 5 + 8) report.replace(at + 5, 8, "XXXXXXXX");
  return report;
}

// The allocation units (4096 bytes on the fake's C: volume) a file has allocated.
inline std::set<std::int64_t> AllocatedUnits(const std::string& path, std::int64_t unit = 4096) {
  std::set<std::int64_t> units;
  for (const fake::ByteRange& range : fake::AllocatedRanges(path)) {
    for (std::int64_t u = range.start / unit; u * unit < range.end; ++u) units.insert(u);
  }
  return units;
}

// The units that hold at least one non-zero byte of `content`: what one write per data
// run allocates.
inline std::set<std::int64_t> UnitsHoldingData(const std::string& content,
                                               std::int64_t unit = 4096) {
  std::set<std::int64_t> units;
  for (std::size_t i = 0; i < content.size(); ++i) {
    if (content[i] != 0) units.insert(static_cast<std::int64_t>(i) / unit);
  }
  return units;
}
