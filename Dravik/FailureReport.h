// The failure report: two lines on standard error that name an error's class, the module and the
// address where it was raised, and its message, after every line the run printed before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr std::size_t kReportTextLimit = 1023;

// Formats the report for an error of class `className` raised at `address` and writes it to
// standard error, after the console's waiting output. Takes no lock and allocates nothing, so
// that a processor fault is reported so from its signal handler.
void ShowFailureReport(const char* className, std::string_view message, std::uintptr_t address);
