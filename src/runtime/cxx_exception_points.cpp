#include "runtime/cxx_exception_points.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <exception>

#include "runtime/exception_points.h"
#include "runtime/thread_storage.h"

// The thrown object's destructor is __thiscall on this target, as the C++
// runtime declares it.
using TCxxDestructor = void(__attribute__((thiscall)) *)(void*);

extern "C" {
[[noreturn]] void __real___cxa_throw(void* object, std::type_info* type, TCxxDestructor destructor);
[[noreturn]] void __real___cxa_rethrow();
void __real___cxa_free_exception(void* object) noexcept;
}

namespace zelvic::rt {
namespace {

// Per thread: the pass-through count, and the last object raised with its
// raise address (for the terminate handler, which the C++ runtime calls
// without either).
TThreadSlot g_pass_through;
TThreadSlot g_last_object;
TThreadSlot g_last_address;
std::terminate_handler g_previous_terminate = nullptr;
bool g_installed = false;

// The object an exception_ptr stands for: the pointer it holds is the
// object's own address (libstdc++'s ABI), and reading it takes no copy. Kept
// out of line: the library's debug information names one routine per
// address, and the header code inlined here would otherwise sit two inlining
// levels deep in its callers.
__attribute__((noinline)) void* CurrentObject() noexcept {
  std::exception_ptr current = std::current_exception();
  void* object = nullptr;
  static_assert(sizeof(current) == sizeof(object));
  std::memcpy(&object, static_cast<const void*>(&current), sizeof(object));
  return object;
}

// Builds the record on the caller's stack: announcing a throw must work when
// memory is exhausted.
void AnnounceRaise(void* object, const std::type_info* type, void* address, void* frame, void* stack_pointer,
                   bool rethrow) noexcept {
  if (g_last_object.IsAllocated()) {
    g_last_object.Set(object);
    g_last_address.Set(address);
  }
  const TGetExceptionStackInfoProc announce = ExceptionPoints().GetExceptionStackInfoProc;
  if (announce == nullptr || CxxPassThroughInThread()) return;
  EXCEPTION_RECORD record{};
  record.ExceptionCode = kCxxRaiseCode;
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  record.ExceptionAddress = address;
  record.NumberParameters = rpCount;
  record.ExceptionInformation[rpAddress] = reinterpret_cast<ULONG_PTR>(address);
  record.ExceptionInformation[rpObject] = reinterpret_cast<ULONG_PTR>(object);
  record.ExceptionInformation[rpType] = reinterpret_cast<ULONG_PTR>(type);
  record.ExceptionInformation[rpRethrow] = rethrow ? 1 : 0;
  record.ExceptionInformation[rpFrame] = reinterpret_cast<ULONG_PTR>(frame);
  record.ExceptionInformation[rpStackPointer] = reinterpret_cast<ULONG_PTR>(stack_pointer);
  // The C++ object has no slot for what the point answers: whoever needs the
  // tie keeps it beside the object.
  announce(&record);
}

void ForgetLastRaise(void* object) noexcept {
  if (g_last_object.IsAllocated() && g_last_object.Get() == object) g_last_object.Set(nullptr);
}

void TerminateHandler() {
  void* object = CurrentObject();
  if (object != nullptr) {
    void* address = nullptr;
    if (g_last_object.IsAllocated() && g_last_object.Get() == object) address = g_last_address.Get();
    const TExceptProc last_chance = ExceptionPoints().ExceptProc;
    if (last_chance != nullptr) last_chance(object, abi::__cxa_current_exception_type(), address);
  }
  if (g_previous_terminate != nullptr) g_previous_terminate();
  std::abort();
}

}  // namespace

void* ThrownObjectAs(void* object, const std::type_info* thrown_type, const std::type_info& target) noexcept {
  if (object == nullptr || thrown_type == nullptr) return nullptr;
  // The same test the personality routine makes for a catch clause; it
  // adjusts the pointer to the base when the base is not at offset 0.
  void* adjusted = object;
  return target.__do_catch(thrown_type, &adjusted, 1) ? adjusted : nullptr;
}

void EnterCxxPassThrough() noexcept {
  if (!g_pass_through.IsAllocated()) return;
  g_pass_through.Set(static_cast<char*>(g_pass_through.Get()) + 1);
}

void LeaveCxxPassThrough() noexcept {
  if (!g_pass_through.IsAllocated() || g_pass_through.Get() == nullptr) return;
  g_pass_through.Set(static_cast<char*>(g_pass_through.Get()) - 1);
}

bool CxxPassThroughInThread() noexcept { return g_pass_through.IsAllocated() && g_pass_through.Get() != nullptr; }

void InstallCxxExceptionPoints() noexcept {
  if (g_installed) return;
  // Plain values, nothing to release at thread end.
  g_pass_through.Allocate(nullptr);
  g_last_object.Allocate(nullptr);
  g_last_address.Allocate(nullptr);
  g_previous_terminate = std::set_terminate(TerminateHandler);
  g_installed = true;
}

void RemoveCxxExceptionPoints() noexcept {
  if (!g_installed) return;
  std::set_terminate(g_previous_terminate);
  g_previous_terminate = nullptr;
  g_last_address.Free();
  g_last_object.Free();
  g_pass_through.Free();
  g_installed = false;
}

bool CxxExceptionPointsInstalled() noexcept { return g_installed; }

}  // namespace zelvic::rt

extern "C" {

// The frame pointer and the stack pointer are the thrower's: this routine's
// saved EBP is the thrower's EBP, and the thrower's ESP at the call lies just
// above the return address.
__attribute__((noinline)) void __wrap___cxa_throw(void* object, std::type_info* type, TCxxDestructor destructor) {
  void** frame = static_cast<void**>(__builtin_frame_address(0));
  zelvic::rt::AnnounceRaise(object, type, __builtin_return_address(0), frame[0], frame + 2, false);
  __real___cxa_throw(object, type, destructor);
}

__attribute__((noinline)) void __wrap___cxa_rethrow() {
  void** frame = static_cast<void**>(__builtin_frame_address(0));
  zelvic::rt::AnnounceRaise(zelvic::rt::CurrentObject(), abi::__cxa_current_exception_type(),
                            __builtin_return_address(0), frame[0], frame + 2, true);
  __real___cxa_rethrow();
}

// Object addresses are reused: the end of an object must be announced before
// its memory can be handed out again.
void __wrap___cxa_free_exception(void* object) noexcept {
  zelvic::rt::ForgetLastRaise(object);
  const zelvic::rt::TCleanUpStackInfoProc clean_up = zelvic::rt::ExceptionPoints().CleanUpStackInfoProc;
  if (clean_up != nullptr && !zelvic::rt::CxxPassThroughInThread()) clean_up(object);
  __real___cxa_free_exception(object);
}

}  // extern "C"
