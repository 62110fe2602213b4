// The request by which the detailed dialog asks a running development
// environment to show a source position: a fixed-size record written to a
// mailslot named after the environment's process, wide first, 8-bit for
// older environments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/system_facts.h"

namespace zelvic::diag {

struct TIdeRequest {
  std::wstring UnitName, ClassName, ProcedureName;
  std::int32_t Line = -1;
  std::int32_t LineOffset = -1;
  double CompilationDate = 0;  // local time, days since 1899-12-30; 0 unknown
};

// Four text fields of 260 UTF-16 units (an empty one, unit, class,
// procedure; each cut to 259 and zero-filled), then line, line offset and
// the date's low and high 32-bit halves: 2096 bytes.
std::vector<std::uint8_t> WideIdeRecord(const TIdeRequest& request);
// The same with 90-byte fields in the 8-bit code page (cut to 89): 376 bytes.
std::vector<std::uint8_t> AnsiIdeRecord(const TIdeRequest& request);

// Line and offset are texts, read as trimmed decimal numbers (-1 when not
// one). Nothing is sent without a unit, or without both a line of 0 or more
// and a procedure. True when a request was delivered; an undeliverable one
// is reported on the internal debug output.
bool OpenInIDEEditor(const std::wstring& line, const std::wstring& unit_name, const std::wstring& class_name,
                     double compilation_date, const std::wstring& line_offset, const std::wstring& procedure_name,
                     platform::TSystemFacts& facts = platform::LiveSystemFacts());

}  // namespace zelvic::diag
