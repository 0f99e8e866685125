// The program's error kinds. Every error the program raises is one of these, so the
// top-level handler can name its class in the report. They depend on nothing, so every
// layer may raise them.
#pragma once

#include <cstdint>
#include <string>

class Exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  virtual ~Exception() = default;

  // The name of the most derived class, as the report shows it.
  virtual const char* ClassName() const { return "Exception"; }
  const std::string& Message() const { return FMessage; }

  // The code address at which the error was raised; 0 when unknown.
  std::uintptr_t Address() const { return FAddress; }
  void SetAddress(std::uintptr_t address) { FAddress = address; }

 private:
  std::string FMessage;
  std::uintptr_t FAddress = 0;
};

#define DRAVIK_ERROR_CLASS(Name, Base)                       \
  class Name : public Base {                                 \
   public:                                                   \
    using Base::Base;                                        \
    const char* ClassName() const override { return #Name; } \
  }

DRAVIK_ERROR_CLASS(EStreamError, Exception);
DRAVIK_ERROR_CLASS(EFileStreamError, EStreamError);
DRAVIK_ERROR_CLASS(EFOpenError, EFileStreamError);
DRAVIK_ERROR_CLASS(EReadError, EStreamError);
DRAVIK_ERROR_CLASS(EWriteError, EStreamError);
DRAVIK_ERROR_CLASS(EHeapException, Exception);
DRAVIK_ERROR_CLASS(EOutOfMemory, EHeapException);

#undef DRAVIK_ERROR_CLASS

// A console read or write failed; carries the I/O error code.
class EInOutError : public Exception {
 public:
  EInOutError(std::string message, std::int32_t errorCode)
      : Exception(std::move(message)), FErrorCode(errorCode) {}
  const char* ClassName() const override { return "EInOutError"; }
  std::int32_t ErrorCode() const { return FErrorCode; }

 private:
  std::int32_t FErrorCode;
};

// Throws `error` with the address of the caller, so the report can say where it was raised.
template <class Error>
[[noreturn]] __attribute__((noinline)) void Raise(Error error) {
  error.SetAddress(
      reinterpret_cast<std::uintptr_t>(__builtin_extract_return_addr(__builtin_return_address(0))));
  throw error;
}
