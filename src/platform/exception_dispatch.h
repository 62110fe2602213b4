// The platform's exception entry points as the exception hooks use them: the
// process's unhandled-exception filter, vectored handlers, the records and
// contexts they are given, the x87 control word, and ending the calling
// thread or process with a code.
#pragma once

#include <array>
#include <cstdint>

struct _EXCEPTION_POINTERS;
struct _EXCEPTION_RECORD;
struct _CONTEXT;

namespace zelvic::platform {

inline constexpr std::uint32_t kExceptionRecordSize = 80;
inline constexpr std::uint32_t kContextSize = 716;
inline constexpr std::uint32_t kMaxExceptionParameters = 15;

// What a handler reads of a platform record, copied out of it.
struct TExceptionRecordView {
  std::uint32_t Code = 0;
  std::uint32_t Flags = 0;
  std::uintptr_t Address = 0;
  std::uint32_t ParameterCount = 0;  // as the record says; at most 15 are copied
  std::array<std::uintptr_t, kMaxExceptionParameters> Parameters{};
};
// An empty view for a null record.
TExceptionRecordView ViewOf(const _EXCEPTION_RECORD* record) noexcept;

// A register context's bytes, big enough and aligned for the platform's.
struct alignas(16) TContextBuffer {
  std::array<std::uint8_t, kContextSize> Bytes{};
  _CONTEXT* Context() noexcept { return reinterpret_cast<_CONTEXT*>(Bytes.data()); }
};
// The calling thread's registers, as RtlCaptureContext records them.
void CaptureContext(TContextBuffer& buffer) noexcept;
// True when a whole context can be read at `context`.
bool ContextReadable(const _CONTEXT* context) noexcept;

// The two halves of the platform's exception pointers, laid out as the
// platform lays them out, so that a filled one can be handed on as theirs.
struct TExceptionPointers {
  _EXCEPTION_RECORD* Record = nullptr;
  _CONTEXT* Context = nullptr;
};
TExceptionPointers PartsOf(const _EXCEPTION_POINTERS* pointers) noexcept;
_EXCEPTION_POINTERS* AsPlatformPointers(TExceptionPointers& pointers) noexcept;

using TExceptionFilter = long(__stdcall*)(_EXCEPTION_POINTERS* pointers);
// SetUnhandledExceptionFilter: returns the filter it replaced.
TExceptionFilter SetUnhandledFilter(TExceptionFilter filter) noexcept;
// The filter in force, without changing it.
TExceptionFilter CurrentUnhandledFilter() noexcept;

// AddVectoredExceptionHandler and RemoveVectoredExceptionHandler, looked up
// by name in kernel32: null handle when the system has none or refuses.
void* AddVectoredHandler(bool first, TExceptionFilter handler) noexcept;
// False with the last error set when the system refuses.
bool RemoveVectoredHandler(void* handle) noexcept;
bool VectoredHandlersAvailable() noexcept;

// The address of ntdll's user-mode exception dispatcher, or 0.
std::uintptr_t UserExceptionDispatcher() noexcept;

// The x87 control word of the calling thread, and the platform's default
// (all exceptions masked, 53-bit precision, round to nearest).
inline constexpr std::uint16_t kDefaultFpuControlWord = 0x027F;
std::uint16_t FpuControlWord() noexcept;
void SetFpuControlWord(std::uint16_t word) noexcept;
// Clears pending x87 exceptions and loads the default control word.
void ResetFpu() noexcept;

// Runs `routine` on a new thread with a stack of its own and waits for it:
// for work that a thread whose stack is used up cannot do itself. False when
// no thread could be started.
bool RunOnHelperThread(void (*routine)(void* argument), void* argument) noexcept;

[[noreturn]] void ExitCurrentThread(std::uint32_t exit_code) noexcept;
[[noreturn]] void ExitCurrentProcess(std::uint32_t exit_code) noexcept;

}  // namespace zelvic::platform
