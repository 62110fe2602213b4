#include <windows.h>

// The statically linked C and C++ runtimes make critical sections inside
// blocks of the image's private C heap, and some of them are never deleted:
// winpthreads' lock behind its thread-local keys, taken the first time the
// C++ runtime needs its per-thread exception state. Each such section's debug
// record would stay on the process heap when the image and its heap go away,
// once per load. The image's own import slot for InitializeCriticalSection
// is pointed here before any C++ code runs, so the sections this image makes
// carry no debug record and unloading leaves nothing behind. The slot belongs
// to this image alone; no other module's calls change.
namespace {

void WINAPI InitializeRuntimeCriticalSection(CRITICAL_SECTION* section) {
  if (!InitializeCriticalSectionEx(section, 0, CRITICAL_SECTION_NO_DEBUG_INFO)) {
    InitializeCriticalSectionAndSpinCount(section, 0);
  }
}

}  // namespace

// The import slot itself (mingw names it __imp_ + the decorated name).
extern "C" void(WINAPI* ImportedInitializeCriticalSection)(CRITICAL_SECTION*) asm("__imp__InitializeCriticalSection@4");

namespace {

int RouteRuntimeCriticalSections() {
  auto* slot = &ImportedInitializeCriticalSection;
  DWORD old = 0;
  if (VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) {
    *slot = InitializeRuntimeCriticalSection;
    VirtualProtect(slot, sizeof *slot, old, &old);
  }
  return 0;
}

// A C initializer: before the C++ constructors and before the C++ runtime
// first needs its thread-local keys.
__attribute__((section(".CRT$XIB"), used)) int (*g_route_runtime_sections)() = RouteRuntimeCriticalSections;

}  // namespace
