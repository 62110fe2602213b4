#include "platform/exception_dispatch.h"

#include <windows.h>

#include <cstddef>
#include <cstring>

#include "platform/pe_access.h"

namespace zelvic::platform {
namespace {

static_assert(sizeof(EXCEPTION_RECORD) == kExceptionRecordSize);
static_assert(sizeof(CONTEXT) == kContextSize);
static_assert(alignof(CONTEXT) <= alignof(TContextBuffer));

using TAddVectored = PVOID(WINAPI*)(ULONG, PVECTORED_EXCEPTION_HANDLER);
using TRemoveVectored = ULONG(WINAPI*)(PVOID);

HMODULE Kernel32() noexcept { return GetModuleHandleW(L"kernel32.dll"); }

template <typename T>
T Kernel32Export(const char* name) noexcept {
  HMODULE kernel32 = Kernel32();
  return kernel32 != nullptr ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(kernel32, name))) : nullptr;
}

}  // namespace

TExceptionRecordView ViewOf(const _EXCEPTION_RECORD* record) noexcept {
  TExceptionRecordView view;
  if (record == nullptr) return view;
  view.Code = record->ExceptionCode;
  view.Flags = record->ExceptionFlags;
  view.Address = reinterpret_cast<std::uintptr_t>(record->ExceptionAddress);
  view.ParameterCount = record->NumberParameters;
  const std::uint32_t n = view.ParameterCount < kMaxExceptionParameters ? view.ParameterCount : kMaxExceptionParameters;
  for (std::uint32_t i = 0; i < n; ++i) view.Parameters[i] = record->ExceptionInformation[i];
  return view;
}

TExceptionPointers PartsOf(const _EXCEPTION_POINTERS* pointers) noexcept {
  if (pointers == nullptr) return {};
  return {pointers->ExceptionRecord, pointers->ContextRecord};
}

_EXCEPTION_POINTERS* AsPlatformPointers(TExceptionPointers& pointers) noexcept {
  static_assert(sizeof(TExceptionPointers) == sizeof(EXCEPTION_POINTERS));
  static_assert(offsetof(TExceptionPointers, Record) == offsetof(EXCEPTION_POINTERS, ExceptionRecord));
  static_assert(offsetof(TExceptionPointers, Context) == offsetof(EXCEPTION_POINTERS, ContextRecord));
  return reinterpret_cast<_EXCEPTION_POINTERS*>(&pointers);
}

void CaptureContext(TContextBuffer& buffer) noexcept {
  CONTEXT context{};
  RtlCaptureContext(&context);
  std::memcpy(buffer.Bytes.data(), &context, sizeof(context));
}

bool ContextReadable(const _CONTEXT* context) noexcept {
  return context != nullptr &&
         ReadableLength(reinterpret_cast<std::uintptr_t>(context), kContextSize) >= kContextSize;
}

TExceptionFilter SetUnhandledFilter(TExceptionFilter filter) noexcept {
  return reinterpret_cast<TExceptionFilter>(
      SetUnhandledExceptionFilter(reinterpret_cast<LPTOP_LEVEL_EXCEPTION_FILTER>(filter)));
}

TExceptionFilter CurrentUnhandledFilter() noexcept {
  // The system answers only by replacing: put the same one straight back.
  const TExceptionFilter current = SetUnhandledFilter(nullptr);
  SetUnhandledFilter(current);
  return current;
}

void* AddVectoredHandler(bool first, TExceptionFilter handler) noexcept {
  const auto add = Kernel32Export<TAddVectored>("AddVectoredExceptionHandler");
  return add != nullptr ? add(first ? 1 : 0, reinterpret_cast<PVECTORED_EXCEPTION_HANDLER>(handler)) : nullptr;
}

bool RemoveVectoredHandler(void* handle) noexcept {
  const auto remove = Kernel32Export<TRemoveVectored>("RemoveVectoredExceptionHandler");
  if (remove == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  return remove(handle) != 0;
}

bool VectoredHandlersAvailable() noexcept {
  return Kernel32Export<TAddVectored>("AddVectoredExceptionHandler") != nullptr;
}

std::uintptr_t UserExceptionDispatcher() noexcept {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr
             ? reinterpret_cast<std::uintptr_t>(reinterpret_cast<void*>(GetProcAddress(ntdll, "KiUserExceptionDispatcher")))
             : 0;
}

std::uint16_t FpuControlWord() noexcept {
  std::uint16_t word = 0;
  asm volatile("fnstcw %0" : "=m"(word));
  return word;
}

void SetFpuControlWord(std::uint16_t word) noexcept { asm volatile("fldcw %0" : : "m"(word) : "memory"); }

void ResetFpu() noexcept {
  const std::uint16_t word = kDefaultFpuControlWord;
  asm volatile("fnclex\n\tfldcw %0" : : "m"(word) : "memory");
}

namespace {

struct THelperWork {
  void (*Routine)(void*);
  void* Argument;
};

DWORD WINAPI HelperThread(void* data) {
  const auto* work = static_cast<const THelperWork*>(data);
  work->Routine(work->Argument);
  return 0;
}

}  // namespace

bool RunOnHelperThread(void (*routine)(void* argument), void* argument) noexcept {
  THelperWork work{routine, argument};
  constexpr SIZE_T kHelperStack = 256 * 1024;
  HANDLE thread = CreateThread(nullptr, kHelperStack, HelperThread, &work, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) return false;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return true;
}

void ExitCurrentThread(std::uint32_t exit_code) noexcept { ExitThread(exit_code); }
void ExitCurrentProcess(std::uint32_t exit_code) noexcept { ExitProcess(exit_code); }

}  // namespace zelvic::platform
