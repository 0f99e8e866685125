// The one top-level handler of the run: every error that escapes the command is reported
// on standard error in two lines and ends the run with exit code 1; every other run ends
// with exit code 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "failure/Errors.h"

constexpr std::size_t kReportTextLimit = 1023;

// Runs `body` under the handler and ends the process: exit code 0 when it returns, a
// report and exit code 1 when an error escapes it (or a processor fault occurs).
[[noreturn]] void RunProgram(void (*body)());

// Formats the report for an error of class `className` raised at `address` and writes it to
// standard error, after the console's waiting output.
void ShowFailureReport(const char* className, std::string_view message, std::uintptr_t address);

// Sets the exit code, closes the console channels and ends the process.
[[noreturn]] void TerminateRun(int code);
