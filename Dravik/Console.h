// The dialogue with the user: buffered output on standard output, answer lines from
// standard input, and the overwrite question.
//
// Output goes through a 128-byte buffer: a console sees every line at its line end, a file
// or pipe receives blocks of 128 bytes, and a question is always forced out before its
// answer is read. A console read or write that fails is recorded and raised as EInOutError
// by the check that ends ConsoleWriteLine, ConsoleFlush and ConsoleReadLine.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "SparseUtils/CopyWatch.h"

constexpr std::size_t ConsoleBufferSize = 128;

enum TOverwriteAnswer { oaYes, oaNo, oaAll };

// Appends text to the output buffer; a failure is only recorded.
void ConsoleWrite(std::string_view text);
// Writes text and CR LF; on a console the line goes out at once.
void ConsoleWriteLine(std::string_view text = {});
// Writes out whatever waits in the output buffer. Does nothing before the first write.
void ConsoleFlush();

// Reads one line of standard input without its line end. `inputEnded`, when given, is set
// when the input had ended before anything of the line was read.
std::string ConsoleReadLine(bool* inputEnded = nullptr);

// Asks whether `path` may be overwritten until the answer is yes or no (or all, when
// `allowAll`). When standard input has ended, the answer is no.
TOverwriteAnswer AskOverwrite(const std::string& path, bool allowAll);

// At the end of the run: writes out what still waits (a failure is ignored) and closes both
// channels, so the next use opens them anew.
void ConsoleClose();

// For a failure report: writes out what waits, as an act of none, raising nothing and
// allocating nothing, so that a fault can call it.
void ConsoleWriteOutQuietly();

// While it lives, every write of the console is an act of the run under `watch`: once the run
// has been interrupted, nothing more is printed.
class TConsoleActs {
 public:
  explicit TConsoleActs(TCopyWatch& watch);
  ~TConsoleActs();
  TConsoleActs(const TConsoleActs&) = delete;
  TConsoleActs& operator=(const TConsoleActs&) = delete;
};
