// Preloaded into the Linux program by the end-to-end tests: what other programs and the disk do,
// at the worst moment.
// - $DRAVIK_PLANT_NAME: right before the program makes a file exclusively whose path ends so, a
//   symbolic link to $DRAVIK_PLANT_TARGET is put at that path, as another user would in a shared
//   folder.
// - $DRAVIK_WRITE_DELAY_MS: each positional write waits that long first, as on a slow disk.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

template <typename Function>
Function Next(const char* symbol) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, symbol));
}

bool EndsWith(const char* text, const char* end) {
  const std::size_t length = std::strlen(text);
  return length >= std::strlen(end) && std::strcmp(text + length - std::strlen(end), end) == 0;
}

int PlantThenOpen(const char* symbol, const char* path, int flags, va_list rest) {
  const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(rest, mode_t) : 0;
  const char* name = std::getenv("DRAVIK_PLANT_NAME");
  const char* target = std::getenv("DRAVIK_PLANT_TARGET");
  if (name != nullptr && target != nullptr && (flags & O_EXCL) != 0 && EndsWith(path, name)) {
    symlink(target, path);
  }
  return Next<int (*)(const char*, int, ...)>(symbol)(path, flags, mode);
}

ssize_t WaitThenWrite(const char* symbol, int fd, const void* data, size_t size, off_t offset) {
  if (const char* delay = std::getenv("DRAVIK_WRITE_DELAY_MS")) usleep(1000 * std::atoi(delay));
  return Next<ssize_t (*)(int, const void*, size_t, off_t)>(symbol)(fd, data, size, offset);
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const int fd = PlantThenOpen("open", path, flags, rest);
  va_end(rest);
  return fd;
}

extern "C" int open64(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const int fd = PlantThenOpen("open64", path, flags, rest);
  va_end(rest);
  return fd;
}

extern "C" ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  return WaitThenWrite("pwrite", fd, data, size, offset);
}

extern "C" ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset) {
  return WaitThenWrite("pwrite64", fd, data, size, offset);
}
