// The assembler part of a report: the code around the exception address,
// from a point at most fifteen instructions (or whole source lines) before
// it to fifteen instructions after it, under the description of its memory
// region, with location blocks at every new source line, names of the code
// and data the operands point at, and the columns lined up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics/reports/EReportFacts.h"

namespace zelvic::diag {

// "PAGE_EXECUTE_READ or PAGE_GUARD"; "N/A" for 0; "$" and eight digits for a
// value with a bit that has no name.
std::wstring ProtectionText(std::uint32_t protect);
std::wstring MemoryStateText(std::uint32_t state);
std::wstring MemoryTypeText(std::uint32_t type);

// Where the disassembly begins.
std::uint32_t AssemblerStart(TReportFacts& facts);
// The lines before alignment: region header, location blocks, instructions.
std::vector<std::wstring> AssemblerLines(TReportFacts& facts, const std::wstring& exception_mark);
// Mnemonics, operands and comments of the instruction lines in columns;
// lines that begin with ";" stay as they are.
void AlignAssemblerLines(std::vector<std::wstring>& lines);
std::wstring AssemblerSectionText(TReportFacts& facts, const std::wstring& title, const std::wstring& exception_mark);

// The operand annotations reach the decoder's naming hooks through a slot of
// the calling thread: a report being built on one thread never names the
// operands of another's. The unit's start-up takes the slot and installs the
// sources; its shut-down undoes both.
void StartAssemblerAnnotations();
void StopAssemblerAnnotations();

}  // namespace zelvic::diag
