// What the Windows back end's two source files share. Nothing above the platform layer
// includes this header.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/Platform.h"
#include "platform/Unicode.h"

namespace platform::win32 {

inline HANDLE ToSystemHandle(TFileHandle handle) { return reinterpret_cast<HANDLE>(handle.value); }

inline TFileHandle FromSystemHandle(HANDLE handle) {
  return TFileHandle{reinterpret_cast<std::intptr_t>(handle)};
}

// A failed call's error. One that came with no code still fails.
inline TError FailureOf(DWORD code) {
  return TError{code != ERROR_SUCCESS ? static_cast<TErrorCode>(code) : ERROR_GEN_FAILURE};
}

// The failure the last call left.
inline TError LastError() { return FailureOf(GetLastError()); }

// A system function looked up at run time; null when the system lacks it.
template <typename Function>
Function SystemFunction(const char* moduleName, const char* functionName) {
  HMODULE module = GetModuleHandleA(moduleName);
  if (module == nullptr) return nullptr;
  FARPROC address = GetProcAddress(module, functionName);
  // void (*)() converts to and from any function pointer type without a warning.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

// The program's UTF-8 and the system's UTF-16.
inline std::wstring ToWide(std::string_view text) {
  const std::u16string units = unicode::Utf16Of(text);
  return std::wstring(units.begin(), units.end());
}

inline std::string FromWide(std::wstring_view units) {
  return unicode::TextOf(std::u16string(units.begin(), units.end()));
}

// Learns the files behind the standard handles, at start-up: a destination is never one of them.
void TakeStandardFiles();

}  // namespace platform::win32
