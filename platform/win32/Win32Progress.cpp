// The Windows back end's progress of a long copy: the console window's title, the taskbar's
// progress and the status line.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "platform/Platform.h"
#include "platform/win32/Win32Internal.h"

namespace platform {

using namespace win32;

namespace {

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

// What is to be put back, and how the console is drawn on: its own screen (CONOUT$, whatever the
// standard handles lead to), which shows the taskbar's progress where it takes escape sequences
// (Windows 10 and later; it did, or it does once asked) and the status line where standard
// error is that console.
struct TConsoleDisplay {
  std::wstring savedTitle;
  bool titleShown = false;  // only a title that can be put back is replaced
  HANDLE screen = INVALID_HANDLE_VALUE;
  bool sequences = false;
  DWORD savedMode = 0;
  bool lineDrawn = false;                   // where standard error is the console
  std::atomic<std::size_t> lineColumns{0};  // of the line on the screen; 0: none
};

TConsoleDisplay& DisplayOf(TProgressDisplay display) {
  return *reinterpret_cast<TConsoleDisplay*>(display.value);
}

void TakeScreen(TConsoleDisplay& display) {
  display.screen =
      CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD mode = 0;
  if (display.screen == INVALID_HANDLE_VALUE || !GetConsoleMode(display.screen, &mode)) return;
  display.savedMode = mode;
  // Wine's console takes the mode, but keeps the characters of a sequence it does not know (the
  // taskbar's) in the line, which then wraps: there the progress is the title's and the line's.
  const bool wine = SystemFunction<void (*)()>("ntdll.dll", "wine_get_version") != nullptr;
  display.sequences =
      !wine && ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
                SetConsoleMode(display.screen, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING));
  DWORD errorMode = 0;
  display.lineDrawn = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &errorMode) != FALSE;
}

// Writes to the console's screen; a failure only costs the display.
void WriteScreen(const TConsoleDisplay& display, const wchar_t* text, std::size_t length) {
  DWORD written = 0;
  for (std::size_t done = 0; done < length; done += written) {
    if (!WriteConsoleW(display.screen, text + done, static_cast<DWORD>(length - done), &written,
                       nullptr) ||
        written == 0) {
      return;
    }
  }
}

// Blanks over `columns` of the line, from a buffer that needs no memory of its own.
void WriteBlanks(const TConsoleDisplay& display, std::size_t columns) {
  static const std::wstring_view kBlanks =
      L"                                                                "
      L"                                                                ";
  for (std::size_t done = 0; done < columns; done += kBlanks.size()) {
    WriteScreen(display, kBlanks.data(), std::min(kBlanks.size(), columns - done));
  }
}

}  // namespace

TProgressDisplay OpenProgressDisplay() {
  wchar_t saved[1024] = {};
  SetLastError(ERROR_SUCCESS);
  const DWORD length = GetConsoleTitleW(saved, std::size(saved));
  if (length == 0 && GetLastError() != ERROR_SUCCESS) return {};  // no console
  auto* display = new TConsoleDisplay;
  display->savedTitle = saved;
  // A console that tells no title (Wine's on a terminal) would be left with an empty one.
  display->titleShown = length > 0;
  TakeScreen(*display);
  return {reinterpret_cast<std::intptr_t>(display)};
}

std::size_t StatusLineColumns(TProgressDisplay display) {
  if (!display.IsOpen() || !DisplayOf(display).lineDrawn) return 0;
  CONSOLE_SCREEN_BUFFER_INFO screen;
  if (!GetConsoleScreenBufferInfo(DisplayOf(display).screen, &screen)) return 0;
  const int width =
      std::min<int>(screen.dwSize.X, screen.srWindow.Right - screen.srWindow.Left + 1);
  return width > 1 ? static_cast<std::size_t>(width - 1) : 0;
}

// The line in one write: a carriage return, the line, and blanks over what the line before took
// beyond it, which every console takes. The percent's sequence in a write of its own: Wine's
// console shows part of one that text follows in the same write.
void ShowProgress(TProgressDisplay display, std::string_view title, int percent,
                  std::string_view line, std::size_t columns) {
  if (!display.IsOpen()) return;
  TConsoleDisplay& console = DisplayOf(display);
  if (console.titleShown) SetConsoleTitleW(ToWide(title).c_str());
  if (!line.empty() && console.lineDrawn) {
    const std::size_t before = console.lineColumns.exchange(std::max<std::size_t>(columns, 1));
    const std::wstring shown =
        L"\r" + ToWide(line) + std::wstring(before > columns ? before - columns : 0, L' ');
    WriteScreen(console, shown.data(), shown.size());
  }
  if (console.sequences) {
    const std::wstring sequence = L"\x1b]9;4;1;" + std::to_wstring(percent) + L"\x1b\\";
    WriteScreen(console, sequence.data(), sequence.size());
  }
}

void PutProgressBack(TProgressDisplay display, bool keepLine) {
  if (!display.IsOpen()) return;
  TConsoleDisplay& console = DisplayOf(display);
  if (console.titleShown) SetConsoleTitleW(console.savedTitle.c_str());
  if (console.sequences) {
    static const wchar_t kCleared[] = L"\x1b]9;4;0\x1b\\";
    WriteScreen(console, kCleared, std::size(kCleared) - 1);
    SetConsoleMode(console.screen, console.savedMode);
  }
  if (const std::size_t columns = console.lineColumns.exchange(0); columns > 0) {
    WriteScreen(console, L"\r", 1);
    if (!keepLine) WriteBlanks(console, columns);
    WriteScreen(console, keepLine ? L"\r\n" : L"\r", keepLine ? 2 : 1);
  }
}

void CloseProgressDisplay(TProgressDisplay display, bool keepLine) {
  if (!display.IsOpen()) return;
  PutProgressBack(display, keepLine);
  const TConsoleDisplay* console = &DisplayOf(display);
  if (console->screen != INVALID_HANDLE_VALUE) CloseHandle(console->screen);
  delete console;
}

}  // namespace platform
