// The Linux back end's files: error codes, opening with Windows' share modes, reading and
// writing, lengths and allocated ranges. Paths, folders, volumes and the directory search are in
// PosixFileSystem.cpp; the process in PosixProcess.cpp.
#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string>

#include "platform/Platform.h"
#include "platform/posix/PosixInternal.h"

namespace platform {

using namespace posix;

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

// ---- Open files ------------------------------------------------------------

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

// Destinations must be regular files: a hole moved over on a device would not read as
// zeros. Sources may also be block devices, which have an end.
bool AdmitsFileType(TSharing sharing, mode_t mode) {
  return S_ISREG(mode) || (sharing == TSharing::kShared && S_ISBLK(mode));
}

int RefusalReason(mode_t mode) { return S_ISDIR(mode) ? EISDIR : EACCES; }

TOpenResult OpenFailure(int errnoValue) { return {kInvalidHandle, ErrorFromErrno(errnoValue)}; }

TOpenResult ClosedAndFailed(int fd, int errnoValue) {
  close(fd);
  return OpenFailure(errnoValue);
}

int OpenRetrying(const std::string& path, int flags) {
  return Retried(
      [&] { return open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666); });
}

TFileIdentity IdentityOf(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// Takes the share lock of a new open. Another open's lock refuses it as a sharing violation. A
// file system without locks may still serve a source, but never a writer, which could not tell
// whether the file is the source it is copying.
int ShareLockError(int fd, TSharing sharing) {
  const int error = TakeShareLock(fd, sharing);
  if (error == EAGAIN || error == EACCES) return EBUSY;
  return sharing == TSharing::kExclusive ? error : 0;
}

// The open file, once it holds its share lock; the blocking mode back, which O_NONBLOCK (kept
// while opening, so that a FIFO that appears between the checks cannot block) had taken.
TOpenResult Admitted(int fd, TSharing sharing) {
  if (const int error = ShareLockError(fd, sharing)) return ClosedAndFailed(fd, error);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return {TFileHandle{fd}, {}};
}

// Opens the existing `path` only when it is a file of the right kind, and, where `expected` is
// given, the file that the name led to then. Both are checked before the open, so that no
// device or FIFO is ever opened, and on the open file, which the name may no longer lead to.
TOpenResult OpenAdmitted(const std::string& path, int flags, TSharing sharing,
                         const TFileIdentity* expected) {
  const auto refusal = [&](const struct stat& status) {
    if (!AdmitsFileType(sharing, status.st_mode)) return RefusalReason(status.st_mode);
    return expected != nullptr && IdentityOf(status) != *expected ? EEXIST : 0;
  };
  struct stat status;
  if (stat(path.c_str(), &status) == 0) {
    if (const int error = refusal(status)) return OpenFailure(error);
  }
  const int fd = OpenRetrying(path, flags);
  if (fd < 0) {
    // With O_NONBLOCK, a lease that another program holds on the file shows as EAGAIN.
    return OpenFailure(errno == EWOULDBLOCK ? EBUSY : errno);
  }
  if (fstat(fd, &status) != 0) return ClosedAndFailed(fd, errno);
  if (const int error = refusal(status)) return ClosedAndFailed(fd, error);
  return Admitted(fd, sharing);
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

void posix::HoldStandardStreamFile(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return;
  const std::string own = "/proc/self/fd/" + std::to_string(fd);
  const int held = open(own.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (held >= 0 && TakeShareLock(held, TSharing::kShared) != 0) close(held);
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

// O_EXCL makes the file, or fails where anything has the name, a link too: nothing that is
// there is opened, let alone written.
TOpenResult CreateNewFile(const std::string& path) {
  const int fd = OpenRetrying(path, O_WRONLY | O_CREAT | O_EXCL);
  if (fd < 0) return OpenFailure(errno);
  TOpenResult result = Admitted(fd, TSharing::kExclusive);
  if (!result.handle.IsValid()) unlink(path.c_str());
  return result;
}

// Truncates only after the checks, so that a file open as a source stays intact. An empty
// file is left alone: on ext4, truncating to zero makes the final close wait for the
// whole new content to be handed to the disk.
TOpenResult OpenFileForWriting(const std::string& path, const TFileIdentity& expected,
                               TExisting existing) {
  TOpenResult result = OpenAdmitted(path, O_WRONLY, TSharing::kExclusive, &expected);
  if (!result.handle.IsValid() || existing == TExisting::kKeep) return result;
  if (SizeOfFile(result.handle) == 0) return result;
  if (const TError error = SetLength(result.handle, 0); error.Failed()) {
    CloseFile(result.handle);
    return {kInvalidHandle, error};
  }
  return result;
}

std::optional<TFileIdentity> IdentityOfFile(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0 || !AdmitsFileType(TSharing::kShared, status.st_mode)) {
    return std::nullopt;
  }
  return IdentityOf(status);
}

TOpenResult OpenForReading(const std::string& path) {
  return OpenAdmitted(path, O_RDONLY, TSharing::kShared, nullptr);
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
