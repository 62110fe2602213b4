// Base of the library's own exception classes. Reports show the class name
// and the message, so both are kept as the classes define them.
#pragma once

#include <string>

namespace zelvic::rt {

class Exception {
 public:
  // The address recorded is the code that constructed the object, which for
  // `throw X(...)` is the raising site.
  __attribute__((noinline)) explicit Exception(std::wstring message);
  virtual ~Exception();
  Exception(const Exception&) = default;
  Exception& operator=(const Exception&) = default;

  virtual const wchar_t* ClassName() const noexcept { return L"Exception"; }
  const std::wstring& Message() const noexcept { return message_; }
  void* Address() const noexcept { return address_; }

 private:
  std::wstring message_;
  void* address_;
};

// A platform exception (access violation, RaiseException with a foreign
// code) turned into an object of the library's classes.
class EExternal : public Exception {
 public:
  EExternal(std::wstring message, unsigned long code, void* address);
  const wchar_t* ClassName() const noexcept override { return L"EExternalException"; }
  unsigned long Code() const noexcept { return code_; }
  void* ExceptionAddress() const noexcept { return exception_address_; }

 private:
  unsigned long code_;
  void* exception_address_;
};

// The silent abort: ends an operation without a report or a message.
class EAbort : public Exception {
 public:
  explicit EAbort(std::wstring message = L"Operation aborted") : Exception(std::move(message)) {}
  const wchar_t* ClassName() const noexcept override { return L"EAbort"; }
};

// Internal consistency checks ("Assertion failure" and the unit's name):
// raised for misuse or data a structure cannot hold, never for ordinary bad
// input, which has its own classes.
class EAssertionFailed : public Exception {
 public:
  explicit EAssertionFailed(std::wstring message) : Exception(std::move(message)) {}
  const wchar_t* ClassName() const noexcept override { return L"EAssertionFailed"; }
};

// Message of the exception being handled: the library's own classes give
// theirs, std::exception gives what(); `fallback` for anything else.
std::wstring CurrentExceptionMessage(const std::wstring& fallback);
// Address recorded by the exception being handled, or nullptr.
void* CurrentExceptionAddress() noexcept;
// True when the object being handled is an exception (ours or std::exception).
bool CurrentIsException() noexcept;

}  // namespace zelvic::rt
