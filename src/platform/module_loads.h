// Loading a module runs its start-up code under the loader's lock. A report
// made while this library itself starts or stops already holds that lock
// (another thread may wait for it, and at process exit the loader is half
// gone), so such a report makes do with the modules the process has: while
// loads are barred, the platform takes a reference to a loaded module but
// loads none.
#pragma once

#include <windows.h>

namespace zelvic::platform {

// Bars loads for the scope's life (scopes may nest, on any thread).
class TModuleLoadsBarred {
 public:
  TModuleLoadsBarred() noexcept;
  ~TModuleLoadsBarred();
  TModuleLoadsBarred(const TModuleLoadsBarred&) = delete;
  TModuleLoadsBarred& operator=(const TModuleLoadsBarred&) = delete;
};
bool ModuleLoadsBarred() noexcept;

// LoadLibraryExW: while loads are barred, only a module that is loaded
// already (found by its name or path), else null with ERROR_MOD_NOT_FOUND.
HMODULE LoadSystemModule(const wchar_t* name, DWORD flags = 0) noexcept;

}  // namespace zelvic::platform
