#include "diagnostics/reports/EAsmSection.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "diagnostics/util/EDisAsm.h"
#include "diagnostics/util/EDisAsmUnit.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"
#include "diagnostics/util/ETextEncoding.h"
#include "runtime/hex_text.h"
#include "runtime/thread_storage.h"

namespace zelvic::diag {
namespace {

constexpr std::uint32_t kInstructionsAround = 15;
constexpr std::uint32_t kBytesBack = 15 * 15;
// Room after the exception address for the instruction that holds it.
constexpr std::uint32_t kLongestInstruction = 16;

struct TNamedBit {
  std::uint32_t Bit;
  const wchar_t* Name;
};
constexpr std::array<TNamedBit, 10> kProtections{{{0x01, L"PAGE_NOACCESS"},
                                                 {0x02, L"PAGE_READONLY"},
                                                 {0x04, L"PAGE_READWRITE"},
                                                 {0x08, L"PAGE_WRITECOPY"},
                                                 {0x10, L"PAGE_EXECUTE"},
                                                 {0x20, L"PAGE_EXECUTE_READ"},
                                                 {0x40, L"PAGE_EXECUTE_READWRITE"},
                                                 {0x80, L"PAGE_EXECUTE_WRITECOPY"},
                                                 {0x100, L"PAGE_GUARD"},
                                                 {0x200, L"PAGE_NOCACHE"}}};
constexpr std::array<TNamedBit, 3> kStates{{{0x1000, L"MEM_COMMIT"}, {0x2000, L"MEM_RESERVE"}, {0x10000, L"MEM_FREE"}}};
constexpr std::array<TNamedBit, 3> kTypes{{{0x1000000, L"MEM_IMAGE"}, {0x40000, L"MEM_MAPPED"}, {0x20000, L"MEM_PRIVATE"}}};

template <std::size_t N>
std::wstring BitNames(std::uint32_t value, const std::array<TNamedBit, N>& names) {
  if (value == 0) return L"N/A";
  std::wstring text;
  std::uint32_t known = 0;
  for (const TNamedBit& n : names) {
    if ((value & n.Bit) == 0) continue;
    known |= n.Bit;
    if (!text.empty()) text += L" or ";
    text += n.Name;
  }
  return known == value ? text : L"$" + rt::Hex8(value);
}

std::wstring HexNoPadding(std::uint32_t value) {
  std::wstring text = rt::Hex8(value);
  const std::size_t first = text.find_first_not_of(L'0');
  return first == std::wstring::npos ? L"0" : text.substr(first);
}

// Unit without extension, class, procedure; the parts there are, with ".".
std::wstring DottedName(const TVLLocationInfo& l) {
  std::wstring text;
  for (const std::wstring& part : {WithoutExtension(l.UnitName), l.ClassName, l.ProcedureName}) {
    if (part.empty()) continue;
    if (!text.empty()) text += L'.';
    text += part;
  }
  return text;
}

std::wstring ProcedureKey(const TVLLocationInfo& l) { return l.UnitName + L"|" + l.ClassName + L"|" + l.ProcedureName; }

bool HasUnitDetail(const TVLLocationInfo& l) { return l.DebugDetail >= ddUnit; }

bool IsReturn(const disasm::TDisasmInstruction& ins) {
  if (!ins.Valid || ins.Map != 0) return false;
  const std::uint8_t op = ins.OpcodeByte;
  return op == 0xC2 || op == 0xC3 || op == 0xCA || op == 0xCB || op == 0xCF;
}

// The bytes from `from` up to past the exception address, decoded from one
// copy: the start search decodes the same bytes many times over.
struct TCodeWindow {
  std::vector<std::uint8_t> Bytes;
  std::uint32_t Base = 0;
  disasm::TBufferMemory Memory() const { return {Bytes.data(), Bytes.size(), Base}; }
};

TCodeWindow ReadWindow(const memory::TMemoryAccess& memory, std::uint32_t from, std::uint32_t to) {
  TCodeWindow w;
  w.Base = from;
  w.Bytes.resize(to - from);
  w.Bytes.resize(memory.Read(from, w.Bytes.data(), to - from));
  return w;
}

// Instructions that start in [from, to), decoding on from `from`.
std::uint32_t CountInstructions(const memory::TMemoryAccess& memory, std::uint32_t from, std::uint32_t to) {
  std::uint32_t count = 0;
  for (std::uint32_t p = from; p < to; ++count) {
    const disasm::TDisasmInstruction ins = disasm::DecodeInstruction(memory, p, true);
    if (!ins.Readable) break;
    p = ins.End;
  }
  return count;
}

std::uint32_t StartByLines(TReportFacts& facts, std::uint32_t address, const TVLLocationInfo& here) {
  const memory::TMemoryAccess& memory = facts.Memory();
  const std::wstring procedure = ProcedureKey(here);
  const std::uint32_t procedure_start = address - static_cast<std::uint32_t>(here.OffsetFromProcName);
  std::uint32_t start = address - static_cast<std::uint32_t>(here.OffsetFromLineNumber);
  if (start > address) return address;
  std::uint32_t passed = CountInstructions(memory, start, address);
  while (passed < kInstructionsAround && start > procedure_start) {
    TVLLocationInfo previous;
    if (!facts.Locate(start - 1, previous) || previous.DebugDetail != ddSourceCode ||
        ProcedureKey(previous) != procedure) {
      break;
    }
    const std::uint32_t previous_start = start - 1 - static_cast<std::uint32_t>(previous.OffsetFromLineNumber);
    if (previous_start >= start) break;
    passed += CountInstructions(memory, previous_start, start);
    start = previous_start;
  }
  return start;
}

std::uint32_t StartByResynchronising(TReportFacts& facts, std::uint32_t address) {
  const memory::TMemoryAccess& memory = facts.Memory();
  std::uint32_t from = address >= kBytesBack ? address - kBytesBack : 0;
  // The first byte from which everything up to the address reads; an
  // unreadable page is skipped whole.
  while (from < address && memory.CanRead(from, address - from + 1, 0) == 0) {
    const std::uint32_t next_page = (from | 0xFFF) + 1;
    from = next_page > from ? std::min(next_page, address) : address;
  }
  if (from >= address) return address;
  const TCodeWindow window = ReadWindow(memory, from, address + kLongestInstruction);
  const disasm::TBufferMemory bytes = window.Memory();
  std::vector<std::uint32_t> starts;
  for (std::uint32_t s = from; s < address; ++s) {
    starts.clear();
    std::uint32_t p = s;
    while (p < address) {
      const disasm::TDisasmInstruction ins = disasm::DecodeInstruction(bytes, p, true);
      if (!ins.Readable) break;
      starts.push_back(p);
      p = ins.End;
    }
    if (p != address) continue;
    return starts.size() > kInstructionsAround ? starts[starts.size() - kInstructionsAround] : s;
  }
  return address;
}

// ---- the operand annotations -----------------------------------------------

rt::TThreadSlot g_annotations;
disasm::TAddressNamer g_previous_code_source;
disasm::TAddressNamer g_previous_data_source;

std::size_t PutText(const std::wstring& text, char* out, std::size_t capacity) {
  const std::vector<std::uint8_t> bytes = Utf8Bytes(text);
  const std::size_t n = std::min(bytes.size(), capacity);
  std::memcpy(out, bytes.data(), n);
  return n;
}

TReportFacts* AnnotatingFacts() { return static_cast<TReportFacts*>(g_annotations.Get()); }

std::size_t NameCode(void*, std::uint32_t address, char* out, std::size_t capacity) {
  TReportFacts* facts = AnnotatingFacts();
  TVLLocationInfo l;
  if (facts == nullptr || !facts->Locate(address, l) || !HasUnitDetail(l)) return 0;
  std::wstring text = DottedName(l);
  if (text.empty()) return 0;
  if (l.OffsetFromProcName > 1 && l.LineNumber > 0) text += L" (Line=" + std::to_wstring(l.LineNumber) + L")";
  return PutText(text, out, capacity);
}

// A string of the runtime's layout: code page, element size, reference count
// and length in the twelve bytes before the characters, a zero after them.
bool RuntimeString(const memory::TMemoryAccess& memory, std::uint32_t address, std::wstring& text, bool& wide) {
  if (address < 12) return false;
  std::uint8_t header[12];
  if (memory.CanRead(address - 12, 12, 0) != 12 || memory.Read(address - 12, header, 12) != 12) return false;
  const std::uint16_t code_page = static_cast<std::uint16_t>(header[0] | header[1] << 8);
  const std::uint16_t element = static_cast<std::uint16_t>(header[2] | header[3] << 8);
  std::int32_t references, length;
  std::memcpy(&references, header + 4, 4);
  std::memcpy(&length, header + 8, 4);
  if ((element != 1 && element != 2) || (code_page == 1200) != (element == 2) || references > 255 || length <= 0 ||
      length > 0x10000) {
    return false;
  }
  const std::uint32_t size = element * (static_cast<std::uint32_t>(length) + 1);
  if (memory.CanRead(address, size, 0) != size) return false;
  std::vector<std::uint8_t> bytes(size);
  if (memory.Read(address, bytes.data(), size) != size) return false;
  if (bytes[size - 1] != 0 || bytes[size - element] != 0) return false;
  wide = element == 2;
  text.clear();
  constexpr std::size_t kShown = 64;
  for (std::uint32_t k = 0; k < static_cast<std::uint32_t>(length) && text.size() < kShown; ++k) {
    text += wide ? static_cast<wchar_t>(bytes[2 * k] | bytes[2 * k + 1] << 8) : static_cast<wchar_t>(bytes[k]);
  }
  if (static_cast<std::size_t>(length) > kShown) text += L"...";
  return true;
}

std::size_t DescribeData(void*, std::uint32_t address, char* out, std::size_t capacity) {
  TReportFacts* facts = AnnotatingFacts();
  if (facts == nullptr) return 0;
  const std::wstring object_class = facts->ObjectClassName(address);
  if (!object_class.empty()) return PutText(object_class, out, capacity);
  const memory::TMemoryAccess& memory = facts->Memory();
  std::wstring text;
  bool wide = false;
  if (RuntimeString(memory, address, text, wide)) {
    return PutText((wide ? L"UNICODE: '" : L"ANSI: '") + text + L"'", out, capacity);
  }
  std::uint32_t n = 32;
  while (n > 0 && memory.CanRead(address, n, 0) != n) --n;
  std::uint8_t bytes[32];
  n = n == 0 ? 0 : memory.Read(address, bytes, n);
  if (n == 0) return 0;
  const auto shown = [](wchar_t c) { return c < 32 ? L'.' : c; };
  std::wstring ansi, unicode;
  bool ansi_ended = false, unicode_ended = false;
  for (std::uint32_t k = 0; k < n && !ansi_ended; ++k) {
    if (bytes[k] == 0) ansi_ended = true;
    else ansi += shown(static_cast<wchar_t>(bytes[k]));
  }
  for (std::uint32_t k = 0; k + 1 < n && !unicode_ended; k += 2) {
    const auto c = static_cast<wchar_t>(bytes[k] | bytes[k + 1] << 8);
    if (c == 0) unicode_ended = true;
    else unicode += shown(c);
  }
  if (!ansi_ended) ansi += L"...";
  if (!unicode_ended) unicode += L"...";
  return PutText(L"Data as ANSI: '" + ansi + L"'; Data as UNICODE: '" + unicode + L"'", out, capacity);
}

// The facts the hooks answer from while this thread formats instructions.
class TAnnotationScope {
 public:
  explicit TAnnotationScope(TReportFacts& facts) noexcept : previous_(g_annotations.Get()) {
    if (g_annotations.IsAllocated()) g_annotations.Set(&facts);
  }
  ~TAnnotationScope() {
    if (g_annotations.IsAllocated()) g_annotations.Set(previous_);
  }
  TAnnotationScope(const TAnnotationScope&) = delete;
  TAnnotationScope& operator=(const TAnnotationScope&) = delete;

 private:
  void* previous_;
};

std::size_t NthBlank(const std::wstring& line, int n) {
  for (std::size_t k = 0; k < line.size(); ++k) {
    if (line[k] == L' ' && --n == 0) return k + 1;
  }
  return 0;
}

// The first blank at or after `from` (1-based), 0 when a ";" comes first.
std::size_t BlankFrom(const std::wstring& line, std::size_t from) {
  const std::size_t semicolon = line.find(L';');
  for (std::size_t k = from - 1; k < line.size(); ++k) {
    if (line[k] == L' ') return semicolon != std::wstring::npos && semicolon < k ? 0 : k + 1;
  }
  return 0;
}

void PadBefore(std::wstring& line, std::size_t position, std::size_t width) {
  if (position - 1 < width) line.insert(position - 1, width - (position - 1), L' ');
}

bool IsInstructionLine(const std::wstring& line) { return !line.empty() && line[0] != L';'; }

}  // namespace

std::wstring ProtectionText(std::uint32_t protect) { return BitNames(protect, kProtections); }
std::wstring MemoryStateText(std::uint32_t state) { return BitNames(state, kStates); }
std::wstring MemoryTypeText(std::uint32_t type) { return BitNames(type, kTypes); }

std::uint32_t AssemblerStart(TReportFacts& facts) {
  const std::uint32_t address = facts.ExceptionAddress();
  TVLLocationInfo here;
  if (facts.Locate(address, here) && here.DebugDetail == ddSourceCode && here.LineNumber > 0) {
    return StartByLines(facts, address, here);
  }
  return StartByResynchronising(facts, address);
}

std::vector<std::wstring> AssemblerLines(TReportFacts& facts, const std::wstring& exception_mark) {
  const memory::TMemoryAccess& memory = facts.Memory();
  const std::uint32_t address = facts.ExceptionAddress();
  const std::uint32_t start = AssemblerStart(facts);
  TReportRegion region;
  if (!facts.QueryRegion(start, region)) region = {};
  std::vector<std::wstring> lines{
      L"; Base Address: $" + HexNoPadding(region.BaseAddress) + L", Allocation Base: $" +
          HexNoPadding(region.AllocationBase) + L", Region Size: " + std::to_wstring(region.RegionSize),
      L"; Allocation Protect: " + ProtectionText(region.AllocationProtect) + L", Protect: " +
          ProtectionText(region.Protect),
      L"; State: " + MemoryStateText(region.State) + L", Type: " + MemoryTypeText(region.Type),
      L"; "};

  TAnnotationScope annotations(facts);
  const std::uint64_t region_end = static_cast<std::uint64_t>(region.BaseAddress) + region.RegionSize;
  const std::uint64_t limit = std::max<std::uint64_t>(region_end, static_cast<std::uint64_t>(address) + 1);
  bool first_block = true;
  bool reached = false;
  std::uint32_t after = 0;
  std::wstring last_procedure, last_line;
  std::uint64_t p = start;
  while (p < limit) {
    const disasm::TDisasmInstruction ins = disasm::DecodeInstruction(memory, static_cast<std::uint32_t>(p), true);
    const bool holds_address = address >= ins.Start && address < ins.End;
    if (!ins.Readable && !holds_address) break;
    TVLLocationInfo l;
    if (facts.Locate(ins.Start, l) && HasUnitDetail(l)) {
      const std::wstring procedure = DottedName(l);
      const std::wstring line = L"Line=" + std::to_wstring(l.LineNumber) + L" - Offset=" + std::to_wstring(l.ProcOffsetLine);
      if (procedure != last_procedure || line != last_line) {
        if (!first_block) lines.emplace_back(L";");
        first_block = false;
        const std::wstring caption = procedure + L" " + line;
        lines.push_back(L"; " + caption);
        lines.push_back(L"; " + std::wstring(caption.size(), L'-'));
        last_procedure = procedure;
        last_line = line;
      }
    }
    const std::string text = disasm::FormatInstruction(ins, memory);
    std::wstring line = DecodeUtf8(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    if (holds_address) line += L"  ; " + exception_mark;
    lines.push_back(std::move(line));
    if (!ins.Readable) break;
    if (reached) ++after;
    reached = reached || holds_address || ins.Start > address;
    if (after >= kInstructionsAround || (reached && IsReturn(ins))) break;
    p = ins.End;
  }
  return lines;
}

void AlignAssemblerLines(std::vector<std::wstring>& lines) {
  std::size_t m = 0;
  for (const std::wstring& line : lines) {
    if (IsInstructionLine(line)) m = std::max(m, NthBlank(line, 3));
  }
  for (std::wstring& line : lines) {
    if (!IsInstructionLine(line)) continue;
    const std::size_t third = NthBlank(line, 3);
    if (third >= 2 && third <= m) PadBefore(line, third, m);
  }
  std::size_t n = 0;
  for (const std::wstring& line : lines) {
    if (IsInstructionLine(line)) n = std::max(n, BlankFrom(line, m + 3));
  }
  if (n != 0) {
    for (std::wstring& line : lines) {
      if (!IsInstructionLine(line)) continue;
      const std::size_t blank = BlankFrom(line, m + 3);
      if (blank >= 2 && blank <= n - 1) PadBefore(line, blank, n - 1);
    }
  }
  // The widest instruction text is measured once the operands have moved:
  // measured before, a line whose operands moved would push its comment a
  // column past the others.
  std::size_t w = 0;
  for (const std::wstring& line : lines) {
    if (!IsInstructionLine(line)) continue;
    const std::wstring part = Trim(std::wstring_view(line).substr(0, line.find(L';')));
    if (part.size() > m + 1) w = std::max(w, part.size() - (m + 1));
  }
  const std::size_t comment_column = m + w + 3;
  for (std::wstring& line : lines) {
    const std::size_t semicolon = line.find(L';');
    if (semicolon == std::wstring::npos) continue;
    if (semicolon + 1 >= 2 && semicolon + 1 <= comment_column) PadBefore(line, semicolon + 1, comment_column);
  }
}

std::wstring AssemblerSectionText(TReportFacts& facts, const std::wstring& title, const std::wstring& exception_mark) {
  std::vector<std::wstring> lines = AssemblerLines(facts, exception_mark);
  AlignAssemblerLines(lines);
  std::size_t longest = title.size() + 1;
  for (const std::wstring& line : lines) longest = std::max(longest, line.size());
  std::wstring text = title + L":\r\n" + std::wstring(longest, L'-') + L"\r\n";
  for (const std::wstring& line : lines) text += line + L"\r\n";
  return text;
}

void StartAssemblerAnnotations() {
  if (!g_annotations.IsAllocated() && !g_annotations.Allocate(nullptr)) return;
  g_previous_code_source = SetCodeNameSource({NameCode, nullptr});
  g_previous_data_source = SetDataDescriptionSource({DescribeData, nullptr});
}

void StopAssemblerAnnotations() {
  if (!g_annotations.IsAllocated()) return;
  SetCodeNameSource(g_previous_code_source);
  SetDataDescriptionSource(g_previous_data_source);
  g_previous_code_source = {};
  g_previous_data_source = {};
  g_annotations.Free();
}

}  // namespace zelvic::diag
