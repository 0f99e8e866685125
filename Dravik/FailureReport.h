// The run's outer frame. The one top-level handler: every error that escapes the command is
// reported on standard error in two lines and ends the run with exit code 1; every other run
// ends with exit code 0. An interrupt (Ctrl+C, SIGINT ...) cuts a copy under way to the bytes
// known to be copied and ends the process as the system would, printing nothing. The title
// that showed a copy's progress is put back however the run ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "SparseUtils/CopyWatch.h"
#include "failure/Errors.h"

constexpr std::size_t kReportTextLimit = 1023;

// Runs `body` under the handler and ends the process: exit code 0 when it returns, a
// report and exit code 1 when an error escapes it (or a processor fault occurs). The body
// reports its copies to the watch, which the progress display and an interrupt look at.
[[noreturn]] void RunProgram(void (*body)(TCopyWatch& watch));

// Formats the report for an error of class `className` raised at `address` and writes it to
// standard error, after the console's waiting output.
void ShowFailureReport(const char* className, std::string_view message, std::uintptr_t address);

// Sets the exit code, puts the title back, closes the console channels and ends the process.
[[noreturn]] void TerminateRun(int code);
