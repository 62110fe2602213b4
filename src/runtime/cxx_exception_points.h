// The C++ runtime's side of the exception notification points. A dw2 throw
// never passes through the platform's exception dispatch, so the points are
// reached from the C++ runtime itself:
//   - every throw and rethrow (the link wraps __cxa_throw and __cxa_rethrow)
//     calls GetExceptionStackInfoProc with a language-raise record, before
//     unwinding starts, while the thrower's frames are still on the stack;
//   - the end of an exception object (the link wraps __cxa_free_exception,
//     which runs after the object's destructor) calls CleanUpStackInfoProc
//     with the object's address: the object was handled;
//   - an exception nobody catches reaches the std::terminate handler, which
//     calls ExceptProc with the object, its type and its raise address.
// Nothing here allocates: a std::bad_alloc is announced like any other throw.
#pragma once

#include <cstdint>
#include <typeinfo>

namespace zelvic::rt {

// The record a throw hands to GetExceptionStackInfoProc: code 0EEDFADE,
// non-continuable, the raise address as the record's address, and these
// parameters.
inline constexpr std::uint32_t kCxxRaiseCode = 0x0EEDFADE;
enum TCxxRaiseParameter : std::uint32_t {
  rpAddress = 0,       // return address of the throw call: the raise site
  rpObject = 1,        // the thrown object (after the runtime's header)
  rpType = 2,          // its dynamic type (const std::type_info*)
  rpRethrow = 3,       // 1 for a rethrow of the object being handled
  rpFrame = 5,         // the thrower's frame pointer (EBP)
  rpStackPointer = 6,  // the thrower's stack pointer at the call
  rpCount = 7,
};

// The thrown object seen as `target` (adjusted for the base's place in it),
// exactly as a catch clause for `target` would match it; null when it would
// not. Decided from the type information alone: nothing is thrown.
void* ThrownObjectAs(void* object, const std::type_info* thrown_type, const std::type_info& target) noexcept;

// Code of the facility raises exceptions for its own control flow; while a
// thread holds a pass-through, its throws, rethrows and object deaths reach
// no notification point. Counted, so that scopes nest. Per thread on a TLS
// slot; without the slot (before the points are installed) nothing passes
// through.
void EnterCxxPassThrough() noexcept;
void LeaveCxxPassThrough() noexcept;
bool CxxPassThroughInThread() noexcept;

// Takes the TLS slots and puts the terminate handler in place (keeping the
// previous one to chain to); the removal puts it back and frees the slots.
// Run by the exception points unit.
void InstallCxxExceptionPoints() noexcept;
void RemoveCxxExceptionPoints() noexcept;
bool CxxExceptionPointsInstalled() noexcept;

}  // namespace zelvic::rt
