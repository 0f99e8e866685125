// The Linux back end's process: start-up, the end, interrupts and processor faults, the command
// line and the program's file, texts, the console channels and the progress title.
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Platform.h"
#include "platform/Unicode.h"
#include "platform/posix/PosixInternal.h"

namespace platform {

using namespace posix;

namespace {

// ---- Process state ---------------------------------------------------------

// A loaded module's code and data, as a fault report names it.
struct TModule {
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  std::uintptr_t base = 0;     // where its first page is mapped
  const char* name = nullptr;  // the loader's; empty for the program itself
};
constexpr std::size_t kModuleLimit = 64;

// Learnt at start-up; never written after.
struct TProcessState {
  int argc = 0;
  char** argv = nullptr;
  bool standardClosed[3] = {};  // descriptors 0-2 found closed at start-up
  std::string programPath;
  TModule modules[kModuleLimit];
  std::size_t moduleCount = 0;
};
TProcessState processState;

// ---- Interrupts --------------------------------------------------------------

// Every thread holds the interrupt signals back (the threads started later take the mask of
// the thread that starts them), and one thread waits for them: the copy is stopped and cut on a
// thread of its own, and no code runs inside a signal handler.
struct TInterruptHandler {
  TInterruptCallback callback;
  void* context;
  sigset_t signals;
};

// The interrupts, less those the process was started to ignore (nohup, a background job).
void TakeInterrupts(sigset_t& signals) {
  sigemptyset(&signals);
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
      sigaddset(&signals, signalNumber);
    }
  }
}

// Waits for an interrupt, has it handled, then lets the signal end the process as it would
// have without a handler.
void* WaitForInterrupt(void* argument) {
  const TFaultStack faultStack;
  const TInterruptHandler handler = *static_cast<TInterruptHandler*>(argument);
  delete static_cast<TInterruptHandler*>(argument);
  int signalNumber = 0;
  while (sigwait(&handler.signals, &signalNumber) != 0) {
  }
  handler.callback(handler.context);
  signal(signalNumber, SIG_DFL);
  sigset_t raised;
  sigemptyset(&raised);
  sigaddset(&raised, signalNumber);
  pthread_sigmask(SIG_UNBLOCK, &raised, nullptr);
  raise(signalNumber);
  _exit(128 + signalNumber);  // not reached: the signal ends the process
}

// Takes the number of a closed standard descriptor with /dev/null, so that no file opened
// later lands on it and gets the program's output.
void OccupyIfClosed(int fd) {
  if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) return;
  processState.standardClosed[fd] = true;
  int nullFd = open("/dev/null", O_RDWR);
  if (nullFd >= 0 && nullFd != fd) {
    dup2(nullFd, fd);
    close(nullFd);
  }
}

// ---- Processor faults ------------------------------------------------------

TFaultCallback faultCallback = nullptr;
void* faultContext = nullptr;
std::atomic<pid_t> faultReporter{0};  // the thread that reports a fault, once one does

// Each thread's own stack for the fault handler, so that a stack overflow can be reported too.
constexpr std::size_t kFaultStackSize = 64 * 1024;

constexpr int kAnyCode = -1000;  // below every si_code

struct TFaultKind {
  int signalNumber;
  int code;  // si_code, or kAnyCode
  const char* className;
  const char* message;
};

// The first row that fits wins.
constexpr TFaultKind kFaultKinds[] = {
    {SIGSEGV, kAnyCode, "EAccessViolation", "アクセス違反"},
    {SIGBUS, kAnyCode, "EAccessViolation", "アクセス違反 (バスエラー)"},
    {SIGFPE, FPE_INTDIV, "EDivByZero", "0 による整数除算"},
    {SIGFPE, FPE_INTOVF, "EIntOverflow", "整数オーバーフロー"},
    {SIGFPE, FPE_FLTDIV, "EZeroDivide", "0 による浮動小数点除算"},
    {SIGFPE, FPE_FLTOVF, "EOverflow", "浮動小数点オーバーフロー"},
    {SIGFPE, FPE_FLTUND, "EUnderflow", "浮動小数点アンダーフロー"},
    {SIGFPE, kAnyCode, "EInvalidOp", "無効な浮動小数点演算"},
    {SIGILL, ILL_PRVOPC, "EPrivilege", "特権命令"},
    {SIGILL, kAnyCode, "EExternalException", "不正な命令"},
};

const TFaultKind& KindOfFault(int signalNumber, int code) {
  for (const TFaultKind& kind : kFaultKinds) {
    if (kind.signalNumber == signalNumber && (kind.code == code || kind.code == kAnyCode)) {
      return kind;
    }
  }
  return kFaultKinds[0];
}

std::uintptr_t FaultingInstruction([[maybe_unused]] const siginfo_t* info,
                                   [[maybe_unused]] const void* context) {
  const auto* machine = &static_cast<const ucontext_t*>(context)->uc_mcontext;
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(machine->gregs[REG_RIP]);
#elif defined(__i386__)
  return static_cast<std::uintptr_t>(machine->gregs[REG_EIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(machine->pc);
#else
  (void)machine;
  return reinterpret_cast<std::uintptr_t>(info->si_addr);
#endif
}

// One thread reports; a fault inside its report ends the run as a failed one, without a second
// report, and a fault on another thread waits for the report to end the process.
void OnFault(int signalNumber, siginfo_t* info, void* context) {
  const pid_t self = gettid();
  pid_t reporter = 0;
  if (!faultReporter.compare_exchange_strong(reporter, self)) {
    if (reporter == self) _exit(1);
    for (;;) pause();
  }
  const TFaultKind& kind = KindOfFault(signalNumber, info->si_code);
  faultCallback(faultContext, kind.className, kind.message, FaultingInstruction(info, context));
  _exit(1);  // the callback never returns; should it, the run has failed all the same
}

std::string LearnProgramPath() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) break;
    if (static_cast<std::size_t>(length) < path.size()) {
      path.resize(static_cast<std::size_t>(length));
      return path;
    }
    path.resize(path.size() * 2);
  }
  const bool haveArgv0 = processState.argc > 0 && processState.argv[0] != nullptr;
  return haveArgv0 ? processState.argv[0] : "";
}

int LearnModule(dl_phdr_info* info, std::size_t, void*) {
  if (processState.moduleCount == kModuleLimit) return 1;
  TModule module{UINTPTR_MAX, 0, 0, info->dlpi_name};
  for (int at = 0; at < info->dlpi_phnum; ++at) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[at];
    if (segment.p_type != PT_LOAD) continue;
    const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    module.start = std::min(module.start, start);
    module.end = std::max<std::uintptr_t>(module.end, start + segment.p_memsz);
  }
  module.base = module.start & ~std::uintptr_t{0xFFF};
  if (module.end != 0) processState.modules[processState.moduleCount++] = module;
  return 0;
}

}  // namespace

// ---- Process ---------------------------------------------------------------

void Startup(int argc, char** argv) {
  processState.argc = argc;
  processState.argv = argv;
  for (int fd = 0; fd <= 2; ++fd) OccupyIfClosed(fd);
  // Only now that 0-2 are all taken: a held file must not land on a standard number.
  for (int fd = 0; fd <= 2; ++fd) HoldStandardStreamFile(fd);
  // A reader that has gone and a file-size limit become write errors, not a silent death.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  setlocale(LC_ALL, "");
  processState.programPath = LearnProgramPath();
  dl_iterate_phdr(LearnModule, nullptr);
}

std::chrono::steady_clock::time_point SteadyNow() { return std::chrono::steady_clock::now(); }

void InstallInterruptHandler(TInterruptCallback callback, void* context) {
  auto* handler = new TInterruptHandler{callback, context, {}};
  TakeInterrupts(handler->signals);
  pthread_sigmask(SIG_BLOCK, &handler->signals, nullptr);
  pthread_t waiter;
  if (pthread_create(&waiter, nullptr, WaitForInterrupt, handler) == 0) {
    pthread_detach(waiter);
    return;
  }
  // No thread to wait: the signals end the process as they would have.
  pthread_sigmask(SIG_UNBLOCK, &handler->signals, nullptr);
  delete handler;
}

void AwaitProcessEnd() {
  for (;;) pause();
}

// Normally exit(), so that the C++ runtime and tools that hook the end of the process
// (coverage, leak checks) finish their work; after a processor fault nothing more of the
// damaged process is run.
void EndProcess(int exitCode) {
  if (faultReporter.load() != 0) _exit(exitCode);
  std::exit(exitCode);
}

void InstallFaultHandler(TFaultCallback callback, void* context) {
  faultCallback = callback;
  faultContext = context;
  struct sigaction action {};
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;  // a fault in the report comes back
  sigemptyset(&action.sa_mask);
  for (int signalNumber : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    sigaction(signalNumber, &action, nullptr);
  }
}

TFaultStack::TFaultStack() : FMemory(std::malloc(kFaultStackSize)) {
  if (FMemory == nullptr) return;
  stack_t alternate{};
  alternate.ss_sp = FMemory;
  alternate.ss_size = kFaultStackSize;
  sigaltstack(&alternate, nullptr);
}

TFaultStack::~TFaultStack() {
  if (FMemory == nullptr) return;
  stack_t off{};
  off.ss_flags = SS_DISABLE;
  sigaltstack(&off, nullptr);
  std::free(FMemory);
}

// ---- Command line and program file -----------------------------------------

TCommandLineSource ProcessCommandLine() {
  TCommandLineSource source;
  source.isRaw = false;
  for (int i = 1; i < processState.argc; ++i) {
    const char* word = processState.argv[i];
    if (word != nullptr && word[0] != '\0') source.words.emplace_back(word);
  }
  return source;
}

const std::string& ProgramPath() { return processState.programPath; }

std::size_t ModuleOfAddress(std::uintptr_t address, char* path, std::size_t room,
                            std::uintptr_t& base) {
  for (std::size_t at = 0; at < processState.moduleCount; ++at) {
    const TModule& module = processState.modules[at];
    if (address < module.start || address >= module.end) continue;
    const char* name = module.name[0] != '\0' ? module.name : processState.programPath.c_str();
    const std::size_t length = std::min(std::strlen(name), room);
    std::memcpy(path, name, length);
    base = module.base;
    return length;
  }
  return 0;
}

// ---- Text ------------------------------------------------------------------

std::string ThousandsSeparator() {
  const char* separator = localeconv()->thousands_sep;
  if (separator != nullptr && std::strlen(separator) == 1) return separator;
  return ",";
}

// A terminal, a file and a pipe all take the text's own bytes.
std::size_t ToStreamBytes(std::string_view text, char* out, std::size_t room) {
  const std::size_t size = std::min(text.size(), room);
  std::memcpy(out, text.data(), size);
  return size;
}

std::string SystemMessage(const TError& error) {
  if (error.cause == 0) return {};
  char buffer[256];
  return strerror_r(error.cause, buffer, sizeof buffer);  // the GNU form: it gives the text
}

// ---- Console channels ------------------------------------------------------

TFileHandle StdHandle(TStdStream stream) {
  int fd = stream == TStdStream::kInput    ? STDIN_FILENO
           : stream == TStdStream::kOutput ? STDOUT_FILENO
                                           : STDERR_FILENO;
  if (processState.standardClosed[fd]) return kInvalidHandle;
  return TFileHandle{fd};
}

// A terminal is the console; other character devices (/dev/null) take blocks like a file.
TFileType TypeOfFile(TFileHandle handle) {
  struct stat status;
  if (fstat(Descriptor(handle), &status) != 0) return TFileType::kUnknown;
  if (S_ISCHR(status.st_mode) && isatty(Descriptor(handle))) return TFileType::kConsole;
  if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) return TFileType::kPipe;
  return TFileType::kDisk;
}

// ---- Progress of a long copy ------------------------------------------------

namespace {

// Writes escape sequences and the status line to the terminal, each draw in one write (a loop
// only where the system takes part of it); a failure only costs the display. Allocates nothing:
// a fault report puts the progress back.
void WriteSequence(std::string_view sequence) {
  for (std::size_t done = 0; done < sequence.size();) {
    const ssize_t written = Retried(
        [&] { return write(STDERR_FILENO, sequence.data() + done, sequence.size() - done); });
    if (written <= 0) return;
    done += static_cast<std::size_t>(written);
  }
}

bool TerminalTakesSequences() {
  const char* terminal = std::getenv("TERM");
  return isatty(STDERR_FILENO) && terminal != nullptr && terminal[0] != '\0' &&
         std::strcmp(terminal, "dumb") != 0;
}

// What a display keeps: whether a status line stands on the terminal.
struct TTerminalDisplay {
  std::atomic<bool> lineShown{false};
};

TTerminalDisplay& DisplayOf(TProgressDisplay display) {
  return *reinterpret_cast<TTerminalDisplay*>(display.value);
}

}  // namespace

// The terminal keeps the title it had on its title stack (xterm's push and pop).
TProgressDisplay OpenProgressDisplay() {
  if (!TerminalTakesSequences()) return {};
  WriteSequence("\x1b[22;2t");
  return {reinterpret_cast<std::intptr_t>(new TTerminalDisplay)};
}

std::size_t StatusLineColumns(TProgressDisplay display) {
  winsize size{};
  if (!display.IsOpen() || ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col < 2) {
    return 0;
  }
  return size.ws_col - 1u;
}

// A name can neither end the title's sequence nor start another (unicode::Printable).
void ShowProgress(TProgressDisplay display, std::string_view title, int percent,
                  std::string_view line, std::size_t) {
  if (!display.IsOpen()) return;
  std::string shown = "\x1b]2;" + unicode::Printable(title) + "\x1b\\\x1b]9;4;1;" +
                      std::to_string(percent) + "\x1b\\";
  if (!line.empty()) shown += "\r" + std::string(line) + "\x1b[K";
  WriteSequence(shown);
  if (!line.empty()) DisplayOf(display).lineShown = true;
}

void PutProgressBack(TProgressDisplay display, bool keepLine) {
  if (!display.IsOpen()) return;
  const bool lineShown = DisplayOf(display).lineShown.exchange(false);
  WriteSequence(!lineShown ? "\x1b]9;4;0\x1b\\\x1b[23;2t"
                : keepLine ? "\x1b]9;4;0\x1b\\\x1b[23;2t\r\n"
                           : "\x1b]9;4;0\x1b\\\x1b[23;2t\r\x1b[K");
}

void CloseProgressDisplay(TProgressDisplay display, bool keepLine) {
  if (!display.IsOpen()) return;
  PutProgressBack(display, keepLine);
  delete &DisplayOf(display);
}

// ---- Reading and writing ---------------------------------------------------

TIoResult ReadBytes(TFileHandle handle, void* buffer, std::uint32_t size) {
  return TransferResult(Retried([&] { return read(Descriptor(handle), buffer, size); }));
}

TIoResult WriteBytes(TFileHandle handle, const void* data, std::uint32_t size) {
  return TransferResult(Retried([&] { return write(Descriptor(handle), data, size); }));
}

TIoResult WriteConsoleText(TFileHandle handle, const char* text, std::uint32_t size) {
  return WriteBytes(handle, text, size);
}

}  // namespace platform
