#include "diagnostics/reports/ECpuSection.h"

#include <cstdint>

#include "runtime/hex_text.h"

namespace zelvic::diag {
namespace {

constexpr std::uint32_t kDumpLines = 16;
constexpr std::uint32_t kStackBytes = 4 * kDumpLines;
constexpr std::uint32_t kCodeBytes = 16 * kDumpLines;

std::wstring Hex2(std::uint8_t value) { return rt::Hex8(value).substr(6); }

std::wstring DumpText(TReportFacts& facts, const TReportContext& context) {
  const memory::TMemoryAccess& memory = facts.Memory();
  const std::uint32_t stack_point = facts.StackPoint();
  const std::optional<std::array<std::uint8_t, 64>> copy = facts.StackDump();
  // The copy was taken at the stack point: its slots are shown at the
  // addresses they were read from, not where the copy is kept now.
  std::uint32_t stack = stack_point;
  if (!copy && context.ContextFlags != 0 && context.Esp > stack_point) stack = context.Esp;
  const std::uint32_t code = facts.ExceptionAddress();
  if (!copy && memory.CanRead(stack, kStackBytes, 0) != kStackBytes) return {};
  if (memory.CanRead(code, kCodeBytes, 0) != kCodeBytes) return {};

  std::wstring text;
  for (std::uint32_t k = 0; k < kDumpLines; ++k) {
    const std::uint32_t offset = 4 * (kDumpLines - 1 - k);
    std::uint8_t slot[4];
    bool slot_read = true;
    if (copy) {
      for (int b = 0; b < 4; ++b) slot[b] = (*copy)[offset + b];
    } else {
      slot_read = memory.Read(stack + offset, slot, 4) == 4;
    }
    const std::uint32_t value = slot[0] | slot[1] << 8 | slot[2] << 16 | static_cast<std::uint32_t>(slot[3]) << 24;
    const std::uint32_t line_code = code + 16 * k;
    text += rt::Hex8(stack + offset) + L": " + (slot_read ? rt::Hex8(value) : L"????????") + L"   " +
            rt::Hex8(line_code) + L": ";
    std::uint8_t bytes[16];
    const std::uint32_t got = memory.Read(line_code, bytes, 16);
    std::wstring chars;
    for (std::uint32_t b = 0; b < 16; ++b) {
      if (b < got) {
        text += Hex2(bytes[b]) + L" ";
        chars += bytes[b] >= 32 && bytes[b] <= 126 ? static_cast<wchar_t>(bytes[b]) : L'.';
      } else {
        text += L"?? ";
        chars += L'.';
      }
    }
    text += L" " + chars + L"\r\n";
  }
  return text;
}

}  // namespace

std::wstring CpuSectionText(TReportFacts& facts, const TCpuTitles& titles) {
  const TReportContext c = facts.Context();
  const auto reg = [&c](std::uint32_t value) { return c.ContextFlags == 0 ? std::wstring(L"????    ") : rt::Hex8(value); };
  std::wstring stack_title = titles.Stack + L":";
  if (stack_title.size() < 21) stack_title.resize(21, L' ');
  return titles.Registers + L":\r\n-----------------------------\r\n" +
         L"EAX: " + reg(c.Eax) + L"   EDI: " + reg(c.Edi) + L"\r\n" +
         L"EBX: " + reg(c.Ebx) + L"   ESI: " + reg(c.Esi) + L"\r\n" +
         L"ECX: " + reg(c.Ecx) + L"   EBP: " + reg(c.Ebp) + L"\r\n" +
         L"EDX: " + reg(c.Edx) + L"   ESP: " + reg(c.Esp) + L"\r\n" +
         L"EIP: " + reg(c.Eip) + L"   FLG: " + reg(c.EFlags) + L"\r\n" +
         L"EXP: " + rt::Hex8(facts.ExceptionAddress()) + L"   STK: " + rt::Hex8(facts.StackPoint()) + L"\r\n\r\n" +
         stack_title + titles.MemoryDump + L":\r\n" +
         L"------------------   ---------------------------------------------------------------------------\r\n" +
         DumpText(facts, c);
}

}  // namespace zelvic::diag
