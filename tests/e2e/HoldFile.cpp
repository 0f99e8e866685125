// Holds a file open without sharing, as another program might, until a line comes in.
#include <windows.h>

#include <cstdio>

int main(int, char** argv) {
  HANDLE file = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::puts("holding");
  std::fflush(stdout);
  std::getchar();
}
