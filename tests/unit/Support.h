// What the unit tests share: a fresh fake machine per test, and whole runs of the program.
#pragma once

#include <gtest/gtest.h>

#include "Dravik/Commands.h"
#include "Dravik/Console.h"
#include "Dravik/NumberFormat.h"
#include "failure/FailureReport.h"
#include "tests/fake/Fake.h"

class FakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    ConsoleClose();
  }
};

// Runs `body` as the program's whole run (handler, report, shutdown); returns the exit code.
inline int RunAsProgram(void (*body)()) {
  InitNumberFormat();
  try {
    RunProgram(body, ConsoleHooks{ConsoleFlush, ConsoleClose});
  } catch (const fake::ProcessEnded& ended) {
    return ended.code;
  }
}

inline int RunCommandLine(const std::string& commandLine) {
  fake::machine.commandLine = commandLine;
  return RunAsProgram(RunDravik);
}

// Standard error with the report's address masked.
inline std::string MaskedStderr() {
  std::string report = fake::machine.out[2];
  const std::size_t at = report.find(" の ");
  return at == std::string::npos ? report : report.replace(at + 5, 8, "XXXXXXXX");
}
