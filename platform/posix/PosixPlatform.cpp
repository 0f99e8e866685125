// The Linux back end of the platform layer: process, text, console channels and files.
// Paths, folders, volumes and the directory search are in PosixFileSystem.cpp.
#include <fcntl.h>
#include <link.h>
#include <linux/fs.h>
#include <pthread.h>
#include <sched.h>
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
#include <limits>
#include <string>

#include "platform/Platform.h"
#include "platform/Unicode.h"
#include "platform/posix/PosixInternal.h"

namespace platform {

using posix::ErrorFromErrno;

namespace {

// ---- Error codes -----------------------------------------------------------

// Win32 codes that only this back end produces.
constexpr TErrorCode kErrorInvalidFunction = 1;
constexpr TErrorCode kErrorNotSameDevice = 17;
constexpr TErrorCode kErrorWriteProtect = 19;
constexpr TErrorCode kErrorGenFailure = 31;
constexpr TErrorCode kErrorNotSupported = 50;
constexpr TErrorCode kErrorDevNotExist = 55;
constexpr TErrorCode kErrorInvalidParameter = 87;
constexpr TErrorCode kErrorSeekOnDevice = 132;
constexpr TErrorCode kErrorDirNotEmpty = 145;
constexpr TErrorCode kErrorBusy = 170;
constexpr TErrorCode kErrorFileTooLarge = 223;
constexpr TErrorCode kErrorArithmeticOverflow = 534;
constexpr TErrorCode kErrorOperationAborted = 995;
constexpr TErrorCode kErrorNoAccess = 998;
constexpr TErrorCode kErrorIoDevice = 1117;
constexpr TErrorCode kErrorTimeout = 1460;
constexpr TErrorCode kErrorCantResolveFilename = 1921;

struct TErrnoMapping {
  int errnoValue;
  TErrorCode code;
};

// An errno missing here becomes kErrorGenFailure.
constexpr TErrnoMapping kErrnoMappings[] = {
    {ENOENT, kErrorFileNotFound},
    {ENOTDIR, kErrorPathNotFound},
    {EMFILE, kErrorTooManyOpenFiles},
    {ENFILE, kErrorTooManyOpenFiles},
    {EACCES, kErrorAccessDenied},
    {EPERM, kErrorAccessDenied},
    {EISDIR, kErrorAccessDenied},
    {EBADF, kErrorInvalidHandle},
    {ENOMEM, kErrorNotEnoughMemory},
    {EBUSY, kErrorSharingViolation},
    {ETXTBSY, kErrorSharingViolation},
    {EEXIST, kErrorFileExists},
    {EINVAL, kErrorInvalidParameter},
    {EPIPE, kErrorBrokenPipe},
    {ENOSPC, kErrorDiskFull},
    {EDQUOT, kErrorDiskFull},
    {EFBIG, kErrorFileTooLarge},
    {ENAMETOOLONG, kErrorFilenameTooLong},
    {EROFS, kErrorWriteProtect},
    {ESPIPE, kErrorSeekOnDevice},
    {EIO, kErrorIoDevice},
    {ELOOP, kErrorCantResolveFilename},
    {EOPNOTSUPP, kErrorNotSupported},
    {ENOSYS, kErrorInvalidFunction},
    {EXDEV, kErrorNotSameDevice},
    {ENOTEMPTY, kErrorDirNotEmpty},
    {EAGAIN, kErrorBusy},
    {ENXIO, kErrorDevNotExist},
    {ENODEV, kErrorDevNotExist},
    {EOVERFLOW, kErrorArithmeticOverflow},
    {EFAULT, kErrorNoAccess},
    {EINTR, kErrorOperationAborted},
    {ETIMEDOUT, kErrorTimeout},
};

int Descriptor(TFileHandle handle) { return static_cast<int>(handle.value); }

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

// Own stack for the fault handler, so that a stack overflow can be reported too.
constexpr std::size_t kFaultStackSize = 64 * 1024;
alignas(16) char mainFaultStack[kFaultStackSize];

void UseFaultStack(void* memory) {
  stack_t alternate{};
  alternate.ss_sp = memory;
  alternate.ss_size = kFaultStackSize;
  sigaltstack(&alternate, nullptr);
}

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

// ---- Open files ------------------------------------------------------------

// Makes a system call again for as long as a signal interrupts it, and returns its result.
template <typename Call>
auto Retried(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

// POSIX has no share modes, so the back end keeps Windows' rule with a lock on one byte far past
// any data, which no other program locks. The kernel holds it for the open file description,
// so it ends with the open and needs no table: a file open for writing without sharing holds
// the byte exclusively, every other open of this run (a copy's source, the files behind the
// standard streams) holds it shared. So a file open anywhere in the run cannot be opened for
// writing, and a file open for writing cannot be opened again.
constexpr off_t kShareByte = std::numeric_limits<off_t>::max() - 1;

enum class TSharing { kShared, kExclusive };

// 0 when the lock is taken; otherwise the errno, EAGAIN or EACCES when another open holds it.
int TakeShareLock(int fd, TSharing sharing) {
  struct flock lock {};
  lock.l_type = sharing == TSharing::kExclusive ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kShareByte;
  lock.l_len = 1;
  return Retried([&] { return fcntl(fd, F_OFD_SETLK, &lock); }) == 0 ? 0 : errno;
}

// A file behind a standard stream counts as open, as a redirected output's file does on
// Windows: an open of its own, for reading, holds the shared lock to the end of the run.
void HoldStandardStreamFile(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return;
  const std::string own = "/proc/self/fd/" + std::to_string(fd);
  const int held = open(own.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (held >= 0 && TakeShareLock(held, TSharing::kShared) != 0) close(held);
}

// Destinations must be regular files: a hole moved over on a device would not read as
// zeros. Sources may also be block devices, which have an end.
bool AdmitsFileType(TSharing sharing, mode_t mode) {
  return S_ISREG(mode) || (sharing == TSharing::kShared && S_ISBLK(mode));
}

int RefusalReason(mode_t mode) { return S_ISDIR(mode) ? EISDIR : EACCES; }

TOpenResult Failed(int errnoValue) { return {kInvalidHandle, ErrorFromErrno(errnoValue)}; }

TOpenResult ClosedAndFailed(int fd, int errnoValue) {
  close(fd);
  return Failed(errnoValue);
}

int OpenRetrying(const std::string& path, int flags) {
  return Retried([&] { return open(path.c_str(), flags, 0666); });
}

// Takes the share lock of a new open. Another open's lock refuses it as a sharing violation. A
// file system without locks may still serve a source, but never a writer, which could not tell
// whether the file is the source it is copying.
int ShareLockError(int fd, TSharing sharing) {
  const int error = TakeShareLock(fd, sharing);
  if (error == EAGAIN || error == EACCES) return EBUSY;
  return sharing == TSharing::kExclusive ? error : 0;
}

// Opens `path` only when it is a file of the right kind that the share modes admit. O_NONBLOCK
// keeps a FIFO that appears between the checks from blocking the open.
TOpenResult OpenAdmitted(const std::string& path, int flags, TSharing sharing) {
  struct stat status;
  if (stat(path.c_str(), &status) == 0 && !AdmitsFileType(sharing, status.st_mode)) {
    return Failed(RefusalReason(status.st_mode));  // devices and FIFOs are never opened
  }
  const int always = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  // With O_CREAT, tell a new file from an existing one: only a new one may be removed again.
  bool created = false;
  int fd;
  if ((flags & O_CREAT) != 0) {
    fd = OpenRetrying(path, flags | O_EXCL | always);
    created = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = OpenRetrying(path, (flags & ~O_CREAT) | always);
  } else {
    fd = OpenRetrying(path, flags | always);
  }
  if (fd < 0) {
    // With O_NONBLOCK, a lease that another program holds on the file shows as EAGAIN.
    return Failed(errno == EWOULDBLOCK ? EBUSY : errno);
  }
  if (fstat(fd, &status) != 0) return ClosedAndFailed(fd, errno);
  if (!AdmitsFileType(sharing, status.st_mode)) {
    return ClosedAndFailed(fd, RefusalReason(status.st_mode));
  }
  if (const int error = ShareLockError(fd, sharing)) {
    if (created) unlink(path.c_str());
    return ClosedAndFailed(fd, error);
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return {TFileHandle{fd}, {}, created};
}

TIoResult TransferResult(ssize_t count) {
  if (count < 0) return {0, ErrorFromErrno(errno)};
  return {static_cast<std::uint32_t>(count), {}};
}

// ---- Positions -------------------------------------------------------------

std::int64_t SizeOfDescriptor(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0) return -1;
  if (S_ISREG(status.st_mode)) return status.st_size;
  std::uint64_t deviceBytes = 0;
  if (S_ISBLK(status.st_mode) && ioctl(fd, BLKGETSIZE64, &deviceBytes) == 0) {
    return static_cast<std::int64_t>(deviceBytes);
  }
  return -1;
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

TDataRange FindDataRange(int fd, std::int64_t offset) {
  off_t start = lseek(fd, offset, SEEK_DATA);
  if (start < 0) {
    if (errno != ENXIO) return {};  // the file system cannot tell
    std::int64_t size = SizeOfDescriptor(fd);
    if (size < 0) return {};
    return {true, size, size};  // only a hole, or nothing, follows `offset`
  }
  off_t end = lseek(fd, start, SEEK_HOLE);
  if (end < 0) return {};
  return {true, start, end};
}

}  // namespace

namespace posix {

TError ErrorFromErrno(int errnoValue) {
  for (const TErrnoMapping& mapping : kErrnoMappings) {
    if (mapping.errnoValue == errnoValue) return {mapping.code, errnoValue};
  }
  return {kErrorGenFailure, errnoValue};
}

}  // namespace posix

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
  UseFaultStack(mainFaultStack);
  struct sigaction action {};
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;  // a fault in the report comes back
  sigemptyset(&action.sa_mask);
  for (int signalNumber : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    sigaction(signalNumber, &action, nullptr);
  }
}

TFaultStack::TFaultStack() : FMemory(std::malloc(kFaultStackSize)) {
  if (FMemory != nullptr) UseFaultStack(FMemory);
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

void ToOemCodePage(char*, std::size_t) {}

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

// ---- Progress in a title -----------------------------------------------------

namespace {

// Writes an escape sequence to the terminal; a failure only costs the display. Allocates
// nothing: a fault report puts the title back.
void WriteSequence(std::string_view sequence) {
  for (std::size_t done = 0; done < sequence.size();) {
    const ssize_t written = Retried(
        [&] { return write(STDERR_FILENO, sequence.data() + done, sequence.size() - done); });
    if (written <= 0) return;
    done += static_cast<std::size_t>(written);
  }
}

// The title's text with every control character made harmless, so that a file name can
// neither end the sequence that carries it nor start another: the C0 controls, DEL and the C1
// controls (0x9B is CSI to a terminal that reads 8 bits), and bytes that are no UTF-8.
std::string Printable(std::string_view text) {
  std::string shown;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t start = at;
    const char32_t point = unicode::DecodeAt(text, at);
    const bool control = point < 0x20 || (point >= 0x7F && point < 0xA0);
    const bool invalid = point == unicode::kReplacement || (point >= 0xD800 && point < 0xE000);
    if (control || invalid) {
      shown += '?';
    } else {
      shown.append(text, start, at - start);
    }
  }
  return shown;
}

bool TerminalTakesSequences() {
  const char* terminal = std::getenv("TERM");
  return isatty(STDERR_FILENO) && terminal != nullptr && terminal[0] != '\0' &&
         std::strcmp(terminal, "dumb") != 0;
}

}  // namespace

// The terminal keeps the title it had on its title stack (xterm's push and pop).
TProgressTitle OpenProgressTitle() {
  if (!TerminalTakesSequences()) return {};
  WriteSequence("\x1b[22;2t");
  return {STDERR_FILENO + 1};
}

void ShowProgressTitle(TProgressTitle title, std::string_view text, int percent) {
  if (!title.IsOpen()) return;
  WriteSequence("\x1b]2;" + Printable(text) + "\x1b\\\x1b]9;4;1;" + std::to_string(percent) +
                "\x1b\\");
}

void PutProgressTitleBack(TProgressTitle title) {
  if (title.IsOpen()) WriteSequence("\x1b]9;4;0\x1b\\\x1b[23;2t");
}

void CloseProgressTitle(TProgressTitle title) { PutProgressTitleBack(title); }

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

TIoResult ReadAt(TFileHandle handle, std::int64_t offset, void* buffer, std::uint32_t size) {
  return TransferResult(Retried([&] { return pread(Descriptor(handle), buffer, size, offset); }));
}

TIoResult WriteAt(TFileHandle handle, std::int64_t offset, const void* data, std::uint32_t size) {
  return TransferResult(Retried([&] { return pwrite(Descriptor(handle), data, size, offset); }));
}

void CloseFile(TFileHandle handle) {
  if (handle.IsValid()) close(Descriptor(handle));
}

// ---- Files -----------------------------------------------------------------

// Truncates only after the checks, so that a file open as a source stays intact. An empty
// file is left alone: on ext4, truncating to zero makes the final close wait for the
// whole new content to be handed to the disk.
TOpenResult OpenForWriting(const std::string& path, TExisting existing) {
  TOpenResult result = OpenAdmitted(path, O_WRONLY | O_CREAT, TSharing::kExclusive);
  if (!result.handle.IsValid() || existing == TExisting::kKeep) return result;
  struct stat status;
  if (fstat(Descriptor(result.handle), &status) == 0 && status.st_size == 0) return result;
  if (const TError error = SetLength(result.handle, 0); error.Failed()) {
    CloseFile(result.handle);
    return {kInvalidHandle, error};
  }
  return result;
}

TOpenResult OpenForReading(const std::string& path) {
  return OpenAdmitted(path, O_RDONLY, TSharing::kShared);
}

// A link is deleted itself, never the file it leads to.
bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

// Nothing to ask: the volume test admits only file systems that keep holes anyway.
TError MarkSparse(TFileHandle handle) {
  if (fcntl(Descriptor(handle), F_GETFD) == -1) return ErrorFromErrno(errno);
  return {};
}

TError SetLength(TFileHandle handle, std::int64_t length) {
  if (Retried([&] { return ftruncate(Descriptor(handle), length); }) == 0) return {};
  return ErrorFromErrno(errno);
}

std::int64_t SizeOfFile(TFileHandle handle) { return SizeOfDescriptor(Descriptor(handle)); }

std::uint32_t AllocationUnitOf(TFileHandle handle) {
  struct stat status;
  if (fstat(Descriptor(handle), &status) != 0 || status.st_blksize <= 0) return 0;
  return static_cast<std::uint32_t>(
      std::min<blksize_t>(status.st_blksize, static_cast<blksize_t>(UINT32_MAX)));
}

// SEEK_DATA and SEEK_HOLE move the descriptor's position, which nothing else uses: every
// transfer on a file names its offset.
TDataRange NextDataRange(TFileHandle handle, std::int64_t offset) {
  return FindDataRange(Descriptor(handle), std::max<std::int64_t>(offset, 0));
}

// The processors of the process's affinity mask, so a run pinned to one (taskset) counts one.
unsigned ProcessorCount() {
  cpu_set_t processors;
  if (sched_getaffinity(0, sizeof processors, &processors) != 0) return 1;
  return static_cast<unsigned>(std::max(1, CPU_COUNT(&processors)));
}

}  // namespace platform
