// What the unit tests share: a fresh fake world per test and a way to run the whole program.
#pragma once

#include <gtest/gtest.h>

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
