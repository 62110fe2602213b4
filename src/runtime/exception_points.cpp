#include "runtime/exception_points.h"

#include <windows.h>

#include <exception>

#include "platform/process.h"
#include "runtime/cxx_exception_points.h"
#include "runtime/exceptions.h"
#include "runtime/hex_text.h"

namespace zelvic::rt {
namespace {

void __stdcall PlatformRaise(std::uint32_t code, std::uint32_t flags, std::uint32_t argument_count,
                             const std::uintptr_t* arguments) {
  RaiseException(code, flags, argument_count, reinterpret_cast<const ULONG_PTR*>(arguments));
}

// Runtime error 217: an exception reached the last-chance handler.
constexpr std::uint8_t kUnhandledExceptionError = 217;

std::wstring Widened(const char* text) {
  std::wstring out;
  for (; text != nullptr && *text != 0; ++text) out.push_back(static_cast<unsigned char>(*text));
  return out;
}

void DefaultExceptProc(void* object, const std::type_info* type, void* address) {
  std::wstring text = L"Exception ";
  const auto* own = static_cast<const Exception*>(ThrownObjectAs(object, type, typeid(Exception)));
  const auto* standard = static_cast<const std::exception*>(ThrownObjectAs(object, type, typeid(std::exception)));
  if (own != nullptr) {
    text += own->ClassName();
  } else {
    text += type != nullptr ? Widened(type->name()) : L"(unknown)";
  }
  text += L" at " + Hex8(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address)));
  if (own != nullptr) {
    text += L": " + own->Message();
  } else if (standard != nullptr) {
    text += L": " + Widened(standard->what());
  }
  platform::DebugOutput(text);
  ExceptionPoints().ErrorProc(kUnhandledExceptionError, address);
}

const TExceptionNotificationPoints kDefaults{
    DefaultExceptProc,
    DefaultExceptionObject,
    DefaultExceptionClassName,
    DefaultRuntimeError,
    PlatformRaise,
    nullptr,
    nullptr,
    nullptr,
};

TExceptionNotificationPoints g_points = kDefaults;

}  // namespace

TExceptionNotificationPoints& ExceptionPoints() noexcept { return g_points; }
const TExceptionNotificationPoints& DefaultExceptionPoints() noexcept { return kDefaults; }

const wchar_t* DefaultExceptionClassName(const _EXCEPTION_RECORD*) { return L"EExternalException"; }

Exception* DefaultExceptionObject(const _EXCEPTION_RECORD* record) {
  if (record == nullptr) return nullptr;
  const auto code = static_cast<std::uint32_t>(record->ExceptionCode);
  return new EExternal(L"External exception " + Hex8(code), code, record->ExceptionAddress);
}

std::wstring RuntimeErrorText(std::uint8_t error_code, void* address) {
  return L"Runtime error " + std::to_wstring(error_code) + L" at " +
         Hex8(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address)));
}

void DefaultRuntimeError(std::uint8_t error_code, void* address) {
  const std::wstring text = RuntimeErrorText(error_code, address);
  platform::DebugOutput(text);
  if (platform::IsConsoleProcess()) {
    platform::WriteStdOut(text + L"\r\n");
  } else {
    platform::ShowMessageBox(text, L"Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
  }
  platform::TerminateCurrentProcess(error_code);
}

}  // namespace zelvic::rt
