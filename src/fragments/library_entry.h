// The library's entry point and its unit table: what runs when the loader
// attaches the library to the process and detaches it again.
#pragma once

#include <cstdint>
#include <span>

#include "runtime/unit_lifecycle.h"

namespace zelvic::fragments {

inline constexpr int kUnitCount = 155;

// Positions of the units with work of their own. Every other position is a
// unit without start-up or shut-down work in this build.
enum TUnitPosition : int {
  upMemoryManager = 0,
  upCxxRuntime = 1,
  upLocale = 2,
  upExceptionPoints = 3,
  upETypes = 5,
  upELowLevel = 11,
  upEDisAsm = 14,
  upEStackTracing = 15,
  upEAppType = 20,
  upEHook = 22,
  upEBase = 86,
  upEAnsiFileNamesFix = 88,
  upDebugOutput = 92,
  upEModules = 93,
  upESysInfo = 94,
  upECore = 98,
  upEExceptionInfo = 101,
  upEThreadsManager = 108,
  upEDebugInfo = 109,
  upECallStack = 112,
  upEEvents = 113,
  upEException = 114,
  upELogBuilder = 118,
  upEDialog = 136,
  upEDebugExports = 142,
  upEDebugVL = 145,
  upEExceptionManager = 151,
  upEExceptionHook = 152,
  upVizozaruzAdi7 = 153,
  upFragmentLibrary = 154,
};

// The unit table, in start-up order.
std::span<const rt::TUnitEntry> UnitTable() noexcept;

// The debugger-output line a unit-tracing run sends for each unit procedure:
// "zelvic unit 20 start" / "zelvic unit 20 stop". Tracing is switched on by
// the environment variable ZELVIC_UNIT_TRACE=1 when the library loads.
inline constexpr wchar_t kUnitTraceVariable[] = L"ZELVIC_UNIT_TRACE";

// Process attach, as the entry point runs it; detach is below.
bool ProcessAttach();

}  // namespace zelvic::fragments

// Process detach: a C name, because the code-location table of the library's
// VLDATA names it.
extern "C" void zelvic_ProcessDetach() noexcept;
