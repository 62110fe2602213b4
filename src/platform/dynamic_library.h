// A system library's functions looked up by name when first needed, so that
// the image imports nothing from it. A host that never loads the library
// never pays for its load; one that has it loaded is not made to load it
// again.
#pragma once

#include <windows.h>

#include "platform/module_loads.h"

namespace zelvic::platform {

class TLibrary {
 public:
  // Loaded on the first look-up only: a function found elsewhere first never
  // costs a library load.
  explicit TLibrary(const wchar_t* name) noexcept : name_(name) {}
  ~TLibrary() {
    if (owned_) FreeLibrary(handle_);
  }
  TLibrary(const TLibrary&) = delete;
  TLibrary& operator=(const TLibrary&) = delete;

  template <typename F>
  F Find(const char* name) const noexcept {
    return reinterpret_cast<F>(FindProc(name));
  }

  // One routine for every signature, so that no identical instances are
  // folded under one another's names.
  void* FindProc(const char* name) const noexcept {
    if (!tried_) {
      handle_ = GetModuleHandleW(name_);
      if (handle_ == nullptr) {
        handle_ = LoadSystemModule(name_);
        owned_ = handle_ != nullptr;
      }
      // A load that was barred is tried again later.
      tried_ = handle_ != nullptr || !ModuleLoadsBarred();
    }
    return handle_ != nullptr ? reinterpret_cast<void*>(GetProcAddress(handle_, name)) : nullptr;
  }

 private:
  const wchar_t* name_;
  mutable HMODULE handle_ = nullptr;
  mutable bool owned_ = false;
  mutable bool tried_ = false;
};

}  // namespace zelvic::platform
