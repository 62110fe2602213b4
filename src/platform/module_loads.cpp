#include "platform/module_loads.h"

#include <atomic>

namespace zelvic::platform {
namespace {

std::atomic<int> g_barred{0};

}  // namespace

TModuleLoadsBarred::TModuleLoadsBarred() noexcept { ++g_barred; }
TModuleLoadsBarred::~TModuleLoadsBarred() { --g_barred; }

bool ModuleLoadsBarred() noexcept { return g_barred.load() > 0; }

HMODULE LoadSystemModule(const wchar_t* name, DWORD flags) noexcept {
  if (ModuleLoadsBarred() && GetModuleHandleW(name) == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // A module already loaded gets one more reference and runs no code.
  return LoadLibraryExW(name, nullptr, flags);
}

}  // namespace zelvic::platform
