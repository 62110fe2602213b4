// The runtime's exception notification points: process-wide slots that the
// diagnostics hooks take over (keeping the previous value to chain to) and
// put back at shut-down. Each slot starts with the runtime's own behaviour.
#pragma once

#include <cstdint>
#include <string>
#include <typeinfo>

struct _EXCEPTION_RECORD;

namespace zelvic::rt {

class Exception;

// Last-chance handling of an exception object nobody caught: any C++ object,
// so its type comes with it (runtime/cxx_exception_points calls it from the
// terminate handler).
using TExceptProc = void (*)(void* object, const std::type_info* type, void* address);
// Maps a platform exception record to the name of the runtime class that
// stands for it, and to a new object of that class (owned by the caller).
using TExceptClsProc = const wchar_t* (*)(const _EXCEPTION_RECORD* record);
using TExceptObjProc = Exception* (*)(const _EXCEPTION_RECORD* record);
// Runtime errors by number (out of memory, invalid pointer, ...).
using TErrorProc = void (*)(std::uint8_t error_code, void* address);
// Raises a platform exception; the hooks see every raise through it.
using TRaiseExceptionProc = void(__stdcall*)(std::uint32_t code, std::uint32_t flags, std::uint32_t argument_count,
                                             const std::uintptr_t* arguments);
// Call-stack information attached to an exception object.
// A C++ throw calls it with a language-raise record (cxx_exception_points.h).
using TGetExceptionStackInfoProc = void* (*)(const _EXCEPTION_RECORD* record);
using TGetStackInfoStringProc = std::wstring (*)(void* info);
// A C++ exception object has no slot for stack information: at its end the
// point is given the object's own address.
using TCleanUpStackInfoProc = void (*)(void* info);

struct TExceptionNotificationPoints {
  TExceptProc ExceptProc;
  TExceptObjProc ExceptObjProc;
  TExceptClsProc ExceptClsProc;
  TErrorProc ErrorProc;
  TRaiseExceptionProc RaiseExceptionProc;
  TGetExceptionStackInfoProc GetExceptionStackInfoProc;  // none: no stack info
  TGetStackInfoStringProc GetStackInfoStringProc;        // none: empty text
  TCleanUpStackInfoProc CleanUpStackInfoProc;            // none: nothing to free
};

// The slots in force; hooks write them directly.
TExceptionNotificationPoints& ExceptionPoints() noexcept;
// The runtime's own values, for a hook that wants to know what it replaced.
const TExceptionNotificationPoints& DefaultExceptionPoints() noexcept;

// The runtime's default behaviours, usable as chain targets.
const wchar_t* DefaultExceptionClassName(const _EXCEPTION_RECORD* record);
Exception* DefaultExceptionObject(const _EXCEPTION_RECORD* record);
[[noreturn]] void DefaultRuntimeError(std::uint8_t error_code, void* address);

// The text of a runtime error: "Runtime error 217 at 0040A1B2".
std::wstring RuntimeErrorText(std::uint8_t error_code, void* address);

}  // namespace zelvic::rt
