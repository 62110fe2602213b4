// The processor part of a report: the registers of the stored context and a
// dump of sixteen stack slots beside the 256 code bytes at the exception.
#pragma once

#include <string>

#include "diagnostics/reports/EReportFacts.h"

namespace zelvic::diag {

struct TCpuTitles {
  std::wstring Registers = L"Registers";
  std::wstring Stack = L"Stack";
  std::wstring MemoryDump = L"Memory Dump";
};

std::wstring CpuSectionText(TReportFacts& facts, const TCpuTitles& titles);

}  // namespace zelvic::diag
