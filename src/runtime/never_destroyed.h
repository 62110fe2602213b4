// A value of static storage that the process's exit never destroys.
//
// Static destructors run after the library's units have stopped, and while
// other threads and other modules' detach code may still reach the value (a
// lock taken during unload, a registry asked by a late lookup). What such a
// value holds is ended by the unit that owns it, in its shut-down step, or
// left to the system.
#pragma once

#include <utility>

namespace zelvic::rt {

template <typename T>
class TNeverDestroyed {
 public:
  // constexpr where T's constructor is, so that a `constinit` value needs no
  // dynamic initialisation and is ready before any other unit's.
  template <typename... Args>
  constexpr explicit TNeverDestroyed(Args&&... args) : value_(std::forward<Args>(args)...) {}
  // A union member is destroyed only when named; this never names it.
  ~TNeverDestroyed() {}
  TNeverDestroyed(const TNeverDestroyed&) = delete;
  TNeverDestroyed& operator=(const TNeverDestroyed&) = delete;

  T& Get() noexcept { return value_; }
  const T& Get() const noexcept { return value_; }
  T& operator*() noexcept { return value_; }
  const T& operator*() const noexcept { return value_; }
  T* operator->() noexcept { return &value_; }
  const T* operator->() const noexcept { return &value_; }

 private:
  union {
    T value_;
  };
};

}  // namespace zelvic::rt
