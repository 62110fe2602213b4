#include "diagnostics/debuginfo/EDebugVLScanner.h"

#include <algorithm>
#include <cstring>

#include "diagnostics/debuginfo/EDebugVLDelta.h"
#include "diagnostics/util/EFileNames.h"

namespace zelvic::diag {

namespace {

struct TUnitReader {
  std::uint16_t version;
  const TDebugVLPassword& password;
  TDebugVLStringReader strings;

  TUnitReader(std::uint16_t v, const TDebugVLPassword& p) : version(v), password(p), strings(v, p) {}

  void InterpretUnitString(std::wstring text, TDebugVLUnitDraft& unit) const {
    if (text.empty()) return;
    if (!password.Valid) text.insert(1, 1, L'p');
    if (const std::size_t bar = text.find(L'|'); bar != std::wstring::npos) {
      unit.FileName = text.substr(0, bar);
      unit.Name = text.substr(bar + 1);
      return;
    }
    if (IsOldDebugVLVersion(version) && password.Valid && text.find(L'.') == std::wstring::npos) {
      unit.FileName = text + L".pas";
      unit.Name = text;
      return;
    }
    unit.FileName = text;
    unit.Name = password.Valid ? WithoutExtension(text) : text;
  }

  std::wstring RoutineName(const std::wstring& text, const TDebugVLUnitDraft& unit, std::wstring& last_class) const {
    if (text.empty()) return {};
    std::wstring cls, method;
    if (text.front() == L'.') {
      cls = last_class;
      method = text.substr(1);
      if (!method.empty() && method.front() == L'@') method.front() = L'_';
    } else {
      method = ParseClassName(unit.Name, text, cls);
    }
    if (!cls.empty()) last_class = cls;
    return cls.empty() ? method : cls + L"." + method;
  }

  [[noreturn]] void LineOverflow(const TDebugVLUnitDraft& unit, std::int32_t line, std::int64_t diff, std::uint32_t addr) {
    RaiseDebugVLAssertion(L"[LineNo >= 0] Integer overflow on line count. Exe file may be too large.\r\nUnit: " + unit.Name +
              L"(" + unit.FileName + L")\r\nLineNo: " + std::to_wstring(line) + L"\r\nLineDiff: " + std::to_wstring(diff) +
              L"\r\nLineAddr: " + std::to_wstring(addr));
  }

  void ReadRecords(TByteReader& area, TDebugVLUnitDraft& unit, std::int32_t first_line) {
    std::int32_t line = first_line;
    std::uint32_t addr = unit.Addr;
    std::wstring last_class;
    TDebugVLProcDraft* current = nullptr;
    std::int32_t line_count = 0;
    auto& procs = unit.Procs;
    while (area.Position() < area.Size()) {
      const TDebugVLDelta d = ReadDebugVLDelta(area, version);
      addr += static_cast<std::uint32_t>(d.DA);
      line = static_cast<std::int32_t>(static_cast<std::uint32_t>(line) + static_cast<std::uint32_t>(d.DL));
      if (line < 0) LineOverflow(unit, line, d.DL, addr);
      if (d.NewRoutine) {
        const std::wstring name = RoutineName(strings.Read(area), unit, last_class);
        line_count = IsOldDebugVLVersion(version) ? 1 : area.I32();
        if (name.empty() && addr == 0) {
          current = nullptr;
        } else if (!procs.empty() && procs.back().Name == name && procs.back().Addr == addr) {
          current = &procs.back();
        } else {
          procs.push_back(TDebugVLProcDraft{name, addr, 0, {}});
          current = &procs.back();
        }
      }
      if (current == nullptr || line_count <= 0) continue;
      if (IsOldDebugVLVersion(version) && line <= 0) continue;
      if (line == 0 && addr == 0) continue;
      auto& lines = current->Lines;
      if (!lines.empty() && lines.back().No == line && lines.back().Addr == addr) continue;
      lines.push_back(TLineRec{line, addr, 0});
    }
  }

  std::vector<TDebugVLUnitDraft> Read(TByteReader& r) {
    std::vector<TDebugVLUnitDraft> list;
    if (DebugVLHasPreamble(version)) r.Skip(r.U32());
    const std::int32_t count = r.I32();
    for (std::int32_t i = 0; i < count; ++i) {
      TDebugVLUnitDraft unit;
      const std::wstring text = strings.Read(r);
      InterpretUnitString(text, unit);
      const std::int32_t first_line = r.I32();
      unit.Addr = r.U32();
      if (!IsOldDebugVLVersion(version)) {
        unit.Size = r.U32();
        r.Skip(4);  // routine count: the records say it again
      }
      r.Skip(4);
      const std::uint32_t area_size = r.U32();
      TByteReader area(r.Bytes(area_size));
      ReadRecords(area, unit, first_line);
      list.push_back(std::move(unit));
    }
    if (IsOldDebugVLVersion(version)) {
      std::stable_sort(list.begin(), list.end(), [](const TDebugVLUnitDraft& a, const TDebugVLUnitDraft& b) {
        if (a.SegmentInd != b.SegmentInd) return a.SegmentInd < b.SegmentInd;
        if (a.Addr != b.Addr) return a.Addr < b.Addr;
        return a.Name < b.Name;
      });
      for (TDebugVLUnitDraft& u : list) {
        auto& procs = u.Procs;
        std::stable_sort(procs.begin(), procs.end(),
                         [](const TDebugVLProcDraft& a, const TDebugVLProcDraft& b) { return a.Addr < b.Addr; });
        for (TDebugVLProcDraft& p : procs) {
          std::stable_sort(p.Lines.begin(), p.Lines.end(),
                           [](const TLineRec& a, const TLineRec& b) { return a.Addr < b.Addr; });
        }
      }
    }
    return list;
  }
};

}  // namespace

std::vector<TDebugVLUnitDraft> ReadDebugVLUnitTable(std::span<const std::uint8_t> bytes, std::uint16_t version,
                                                    const TDebugVLPassword& password, bool& has_encrypted_data) {
  TUnitReader reader(version, password);
  TByteReader r(bytes);
  std::vector<TDebugVLUnitDraft> units = reader.Read(r);
  has_encrypted_data = reader.strings.HasEncryptedData();
  return units;
}

TVLDebugScanner::TVLDebugScanner(std::span<const std::uint8_t> unit_table, std::uint16_t version,
                                 std::wstring module_name, TDebugVLPassword password)
    : FData(unit_table.begin(), unit_table.end()),
      FELVer(version),
      FModuleName(std::move(module_name)),
      FPassword(std::move(password)) {
  if (version > kDebugVLCurrentVersion) {
    RaiseDebugVLVersionTooNew(version);
  }
  FValidFormat = true;
}

bool IsVLDbgChecksumValid(std::span<const std::uint8_t> file, std::uint32_t checksum) noexcept {
  if (file.size() % 4 != 0) return false;
  std::uint32_t s = 0u - checksum;
  for (std::size_t i = 0; i < file.size(); i += 4) {
    s += std::uint32_t{file[i]} | std::uint32_t{file[i + 1]} << 8 | std::uint32_t{file[i + 2]} << 16 |
         std::uint32_t{file[i + 3]} << 24;
  }
  return (s >> 8 | s << 24) == checksum;
}

TVLDebugScanner TVLDebugScanner::FromVLDbgFile(std::span<const std::uint8_t> file, TDebugVLPassword password) {
  TVLDebugScanner s;
  s.FPassword = std::move(password);
  if (file.size() < kVLDbgHeaderSize || std::memcmp(file.data(), kVLDbgSignature, 4) != 0) return s;
  TByteReader r(file);
  r.Skip(4);
  const std::uint16_t version = r.U16();
  if (version > kDebugVLCurrentVersion) {
    RaiseDebugVLVersionTooNew(version);
  }
  const std::uint32_t data_start = r.U32();
  r.Skip(4);
  const std::uint32_t checksum = r.U32();
  const bool with_checksum = r.U8() != 0;
  if (with_checksum && !IsVLDbgChecksumValid(file, checksum)) return s;
  if (data_start > file.size()) return s;
  try {
    const std::uint32_t chars = r.U32();
    const std::span<const std::uint8_t> name = r.Bytes(std::uint64_t{chars} * 2);
    std::wstring module_name;
    module_name.reserve(chars);
    for (std::size_t i = 0; i < name.size(); i += 2) module_name.push_back(static_cast<wchar_t>(name[i] | name[i + 1] << 8));
    if (DebugVLHasPreamble(version)) r.Skip(r.U32());
    if (r.I32() <= 0) return s;
    s.FModuleName = std::move(module_name);
  } catch (const EInvalidDebugInformation&) {
    return s;
  }
  s.FData.assign(file.begin(), file.end());
  s.FDataStart = data_start;
  s.FELVer = version;
  s.FValidFormat = true;
  return s;
}

bool TVLDebugScanner::IsModuleNameValid(const std::wstring& name) const noexcept {
  return SameFileName(ExtractFileNamePart(FModuleName), ExtractFileNamePart(name));
}

void TVLDebugScanner::Build() {
  if (FCached) return;
  if (!FValidFormat) {
    FUnitList = {};
    FCached = true;
    return;
  }
  bool has_encrypted = false;
  std::vector<TDebugVLUnitDraft> drafts =
      ReadDebugVLUnitTable(std::span(FData).subspan(FDataStart), FELVer, FPassword, has_encrypted);
  DeriveDebugVLSizes(drafts, FELVer);
  FUnitList = MakeUnitList(std::move(drafts));
  FHasEncryptedData = has_encrypted;
  FCached = true;
}

const TUnitList& TVLDebugScanner::Units() {
  Build();
  return FUnitList;
}

bool TVLDebugScanner::HasEncryptedData() {
  Build();
  return FHasEncryptedData;
}

std::optional<std::uint32_t> TVLDebugScanner::ModuleStartFromAddr(std::uint32_t offset) {
  const TUnitRec* u = Units().FindUnit(offset);
  if (u == nullptr) return std::nullopt;
  return u->Addr;
}

std::wstring TVLDebugScanner::ModuleNameFromAddr(std::uint32_t offset) { return UnitNameFromAddr(offset); }

std::wstring TVLDebugScanner::UnitNameFromAddr(std::uint32_t offset) {
  const TUnitRec* u = Units().FindUnit(offset);
  return u == nullptr ? std::wstring() : u->Name;
}

std::wstring TVLDebugScanner::SourceNameFromAddr(std::uint32_t offset) {
  const TUnitRec* u = Units().FindUnit(offset);
  return u == nullptr ? std::wstring() : u->FileName;
}

std::wstring TVLDebugScanner::ProcNameFromAddr(std::uint32_t offset, std::uint32_t& proc_offset) {
  const TDebugVLLocation l = Locate(offset);
  proc_offset = l.OffsetFromProcName;
  return l.ProcedureName;
}

std::int32_t TVLDebugScanner::LineNumberFromAddr(std::uint32_t offset, std::uint32_t& line_offset) {
  const TDebugVLLocation l = Locate(offset);
  line_offset = l.OffsetFromLineNumber;
  return l.LineNumber;
}

TDebugVLHit TVLDebugScanner::Find(std::uint32_t offset) {
  TDebugVLHit hit;
  hit.Unit = Units().FindUnit(offset);
  if (hit.Unit == nullptr) return hit;
  hit.Proc = hit.Unit->Procedures.FindProc(offset);
  if (hit.Proc == nullptr) return hit;
  hit.Line = hit.Proc->Lines.FindLine(offset);
  if (hit.Line != nullptr) hit.ProcOffsetLine = hit.Line->No - hit.Proc->Lines.Items().front().No;
  return hit;
}

TDebugVLLocation TVLDebugScanner::Locate(std::uint32_t offset) {
  TDebugVLLocation out;
  const TDebugVLHit hit = Find(offset);
  if (hit.Unit == nullptr) return out;
  out.Found = true;
  out.UnitName = hit.Unit->Name;
  out.SourceName = hit.Unit->FileName;
  if (hit.Proc == nullptr) return out;
  out.HasProc = true;
  out.ProcedureName = hit.Proc->Name;
  out.OffsetFromProcName = offset - hit.Proc->Addr;
  if (hit.Line == nullptr) return out;
  out.HasLine = true;
  out.LineNumber = hit.Line->No;
  out.OffsetFromLineNumber = offset - hit.Line->Addr;
  out.ProcOffsetLine = hit.ProcOffsetLine;
  return out;
}

void TVLDebugScanner::SetPassword(TDebugVLPassword password) {
  FPassword = std::move(password);
  FCached = false;
  FUnitList = {};
  FHasEncryptedData = false;
}

bool TVLDebugScanner::ResetPassword(std::uint32_t encrypted_marker, std::uintptr_t module_base) {
  if (FPassword.Valid) return true;
  std::wstring password = FPassword.Password;
  const bool valid = CheckDataPassword(encrypted_marker, module_base, password);
  SetPassword({password, valid});
  return valid;
}

std::span<const std::uint8_t> DebugVLBlockBody(std::span<const std::uint8_t> block) {
  TByteReader r(block);
  const std::uint32_t length = r.U32();
  return r.Bytes(length);
}

}  // namespace zelvic::diag
