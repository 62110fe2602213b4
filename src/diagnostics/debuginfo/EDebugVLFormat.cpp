#include "diagnostics/debuginfo/EDebugVLFormat.h"

#include "diagnostics/util/EStrings.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <stdexcept>

#include "diagnostics/util/ETextEncoding.h"

namespace zelvic::diag {

namespace {

TDebugVLBreakHook g_break_hook = nullptr;
TDebugVLCodePageDecoder g_code_page_decoder = nullptr;

[[noreturn]] void Assertion(const std::wstring& text) {
  if (g_break_hook != nullptr) g_break_hook();
  throw rt::EAssertionFailed(text);
}

[[noreturn]] void VersionTooNew(std::uint16_t version) {
  throw EInvalidDebugInformationVersion(L"Version " + std::to_wstring(version) +
                                        L" is greater than current VarnelLog version (" +
                                        std::to_wstring(kDebugVLCurrentVersion) + L")");
}

constexpr wchar_t kMapFileTail[] = L"] Unexpected or unsupported data in .map file.";

std::wstring Decimal(std::int64_t v) { return std::to_wstring(v); }

std::wstring Widen8(std::span<const std::uint8_t> bytes) {
  if (g_code_page_decoder != nullptr) return g_code_page_decoder(bytes);
  std::wstring out;
  out.reserve(bytes.size());
  for (std::uint8_t b : bytes) out.push_back(static_cast<wchar_t>(b));
  return out;
}

std::wstring TextOf(std::span<const std::uint8_t> bytes) {
  bool high = false;
  for (std::uint8_t b : bytes) high |= b >= 0x80;
  if (high && IsCleanUtf8(bytes)) return DecodeUtf8(bytes);
  return Widen8(bytes);
}

wchar_t FoldCase(wchar_t c) noexcept {
  if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<wchar_t>(c - 32);
  return c;
}

bool SameText(const std::wstring& a, const std::wstring& b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

std::wstring WithoutExtension(const std::wstring& name) {
  const std::size_t dot = name.find_last_of(L".\\/:");
  if (dot == std::wstring::npos || name[dot] != L'.') return name;
  return name.substr(0, dot);
}

bool IsOldVersion(std::uint16_t version) noexcept { return version < kDebugVLVersion7; }
bool HasEscape(std::uint16_t version) noexcept { return version > 422; }
bool HasPreamble(std::uint16_t version) noexcept { return version >= 405 && version <= 499; }

// ------------------------------------------------------------- strings --

struct TStringReader {
  std::uint16_t version;
  const TDebugVLPassword& password;
  TStringCipher plain;
  TStringCipher keyed;
  bool has_encrypted = false;

  TStringReader(std::uint16_t v, const TDebugVLPassword& p) : version(v), password(p) {
    keyed.SetPassword(Utf8Bytes(p.Password));
  }

  std::wstring Piece(TByteReader& r, bool& continued) {
    std::uint32_t length;
    bool with_password = false, dot = false;
    if (!IsOldVersion(version)) {
      const std::uint16_t h = r.U16();
      length = h & kDebugVLStringMaxBytes;
      continued = (h & kDebugVLStringContinued) != 0;
      with_password = (h & kDebugVLStringPassword) != 0;
      dot = (h & kDebugVLStringDot) != 0;
    } else {
      const std::uint8_t h = r.U8();
      continued = version > 501 && (h & 0x80) != 0;
      length = version > 501 ? (h & 0x7Fu) : h;
    }
    const std::span<const std::uint8_t> stored = r.Bytes(length);
    std::wstring text;
    if (with_password) has_encrypted = true;
    if (with_password && !password.Valid) {
      text = L"?" + Base64Encode(stored);
    } else {
      std::vector<std::uint8_t> bytes(stored.begin(), stored.end());
      if (version < 500) {
        for (auto& b : bytes) b ^= kDebugVLOldXor;
      } else {
        (with_password ? keyed : plain).Decipher(bytes);
      }
      text = TextOf(bytes);
    }
    return dot ? L"." + text : text;
  }

  // Continued pieces are read in a loop: hostile data may chain thousands.
  std::wstring Read(TByteReader& r) {
    std::wstring out;
    bool continued = true;
    while (continued) {
      out += Piece(r, continued);
      if (continued) out += L'.';
    }
    return out;
  }
};

}  // namespace

void SetDebugVLBreakHook(TDebugVLBreakHook hook) noexcept { g_break_hook = hook; }
void SetDebugVLCodePageDecoder(TDebugVLCodePageDecoder decoder) noexcept { g_code_page_decoder = decoder; }

std::wstring ReadDebugVLString(TByteReader& reader, std::uint16_t version, const TDebugVLPassword& password,
                               bool& has_encrypted_data) {
  TStringReader strings(version, password);
  std::wstring text = strings.Read(reader);
  has_encrypted_data = strings.has_encrypted;
  return text;
}

std::wstring Base64Encode(std::span<const std::uint8_t> bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::wstring out;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
    for (int k = 3; k >= 0; --k) out.push_back(static_cast<wchar_t>(kAlphabet[(v >> (6 * k)) & 63]));
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = bytes[i] << 16;
    if (rest == 2) v |= bytes[i + 1] << 8;
    out.push_back(static_cast<wchar_t>(kAlphabet[(v >> 18) & 63]));
    out.push_back(static_cast<wchar_t>(kAlphabet[(v >> 12) & 63]));
    out.push_back(rest == 2 ? static_cast<wchar_t>(kAlphabet[(v >> 6) & 63]) : L'=');
    out.push_back(L'=');
  }
  return out;
}

std::wstring ParseClassName(const std::wstring& unit_name, const std::wstring& name, std::wstring& class_name) {
  std::wstring s = name;
  ReplaceAll(s, L"@", L"_");
  ReplaceAll(s, L"::", L".");
  ReplaceAll(s, L", ", L",");
  ReplaceAll(s, L" >", L">");
  class_name.clear();
  if (!unit_name.empty() && s.size() > unit_name.size() && s[unit_name.size()] == L'.' &&
      SameText(s.substr(0, unit_name.size()), unit_name)) {
    s = Trim(s.substr(unit_name.size() + 1));
  }
  if (s.empty() || s == L"." || s == L"..") return L"?";
  if (s.front() == L'.') {
    class_name = Trim(s.substr(1));
    return {};
  }
  if (s.back() == L'.') {
    class_name = Trim(s.substr(0, s.size() - 1));
    return {};
  }
  if (const std::size_t d = s.find(L".~"); d != std::wstring::npos) {
    s = s.substr(0, d + 1) + L"Destroy";
  } else if (const std::size_t last = s.rfind(L'.'); last != std::wstring::npos) {
    const std::size_t len = s.size() - last - 1;
    if (len > 0 && last >= len && s.compare(last - len, len, s, last + 1, len) == 0) {
      s = s.substr(0, last + 1) + L"Create";
    }
  }
  int depth = 0;
  std::size_t split = std::wstring::npos;
  for (std::size_t i = s.size(); i-- > 0;) {
    const wchar_t c = s[i];
    if (c == L')' || c == L'>' || c == L'}') ++depth;
    else if ((c == L'(' || c == L'<' || c == L'{') && depth > 0) --depth;
    else if (c == L'.' && depth == 0) {
      split = i;
      break;
    }
  }
  std::wstring method;
  if (split == std::wstring::npos) {
    method = s;
  } else {
    class_name = Trim(s.substr(0, split));
    method = Trim(s.substr(split + 1));
    if (method.empty()) {
      class_name.clear();
      method = s;
    }
  }
  if (class_name.empty() && !unit_name.empty() && unit_name != L"DllMain" && unit_name != L"dllmain" &&
      SameText(method, unit_name)) {
    method = L"Initialization";
  }
  return method;
}

// ---------------------------------------------------------------- tables --

namespace {

// Ranges [Addr, Addr + Size) that ascend without overlapping hold any offset
// at most once, so the last range starting at or below it is the only
// candidate: the first match of a forward scan, found by bisection.
template <typename Rec>
bool AscendsDisjoint(const std::vector<Rec>& list) noexcept {
  for (std::size_t i = 1; i < list.size(); ++i) {
    if (std::uint64_t{list[i - 1].Addr} + list[i - 1].Size > list[i].Addr) return false;
  }
  return true;
}

template <typename Rec>
const Rec* FindRange(const std::vector<Rec>& list, bool ordered, std::uint32_t addr) noexcept {
  if (ordered) {
    auto it = std::upper_bound(list.begin(), list.end(), addr,
                               [](std::uint32_t a, const Rec& r) { return a < r.Addr; });
    if (it == list.begin()) return nullptr;
    --it;
    return addr - it->Addr < it->Size ? &*it : nullptr;
  }
  for (const Rec& r : list) {
    if (r.Addr <= addr && addr - r.Addr < r.Size) return &r;
  }
  return nullptr;
}

}  // namespace

const TLineRec* TLines::FindLine(std::uint32_t addr) const noexcept { return FindRange(FList, FOrdered, addr); }

void TLines::Index() noexcept { FOrdered = AscendsDisjoint(FList); }

const TProcRec* TProcedures::FindProc(std::uint32_t addr) const noexcept { return FindRange(FList, FOrdered, addr); }

void TProcedures::Index() noexcept {
  FOrdered = AscendsDisjoint(FList);
  for (TProcRec& p : FList) p.Lines.Index();
}

const TUnitRec* TUnitList::FindUnit(std::uint32_t addr) const noexcept {
  if (!FIndex.empty()) {
    auto it = std::upper_bound(FIndex.begin(), FIndex.end(), addr,
                               [](std::uint32_t a, const TUnitSpan& s) { return a < s.Begin; });
    if (it == FIndex.begin()) return nullptr;
    --it;
    return addr < it->End ? &FList[it->Unit] : nullptr;
  }
  for (std::size_t i = FList.size(); i-- > 0;) {
    const TUnitRec& u = FList[i];
    if (u.Addr <= addr && addr - u.Addr < u.Size) return &u;
  }
  return nullptr;
}

void TUnitList::Index() {
  FIndex.clear();
  // Later units win where ranges overlap: paint from the last unit back,
  // each one only into the gaps the later ones left.
  std::map<std::uint32_t, TUnitSpan> painted;  // by Begin
  for (std::size_t i = FList.size(); i-- > 0;) {
    const TUnitRec& u = FList[i];
    if (u.Size == 0) continue;
    std::uint64_t from = u.Addr;
    const std::uint64_t to = std::uint64_t{u.Addr} + u.Size;
    auto it = painted.upper_bound(u.Addr);
    if (it != painted.begin() && std::prev(it)->second.End > from) from = std::prev(it)->second.End;
    // Offsets are 32-bit: nothing at or past 2^32 can be asked for.
    while (from < to && from <= 0xFFFFFFFFu) {
      const std::uint64_t gap_end = it == painted.end() ? to : std::min<std::uint64_t>(to, it->first);
      if (from < gap_end) {
        painted.emplace(static_cast<std::uint32_t>(from),
                        TUnitSpan{static_cast<std::uint32_t>(from), gap_end, static_cast<std::uint32_t>(i)});
      }
      if (it == painted.end()) break;
      from = std::max<std::uint64_t>(from, it->second.End);
      ++it;
    }
  }
  FIndex.reserve(painted.size());
  for (const auto& entry : painted) {
    const TUnitSpan& span = entry.second;
    if (!FIndex.empty() && FIndex.back().Unit == span.Unit && FIndex.back().End == span.Begin) {
      FIndex.back().End = span.End;
    } else {
      FIndex.push_back(span);
    }
  }
  for (TUnitRec& u : FList) u.Procedures.Index();
}

const TUnitRec* TUnitList::FindUnit(const std::wstring& source) const noexcept {
  for (const TUnitRec& u : FList) {
    if (SameFileName(ExtractFileNamePart(u.FileName), ExtractFileNamePart(source))) return &u;
  }
  return nullptr;
}

void TUnitList::DeriveSizes() {
  auto& units = FList;
  const std::size_t n = units.size();
  for (std::size_t i = 0; i < n; ++i) {
    TUnitRec& u = units[i];
    if (u.Size != 0) continue;
    if (i + 1 == n) {
      u.Size = 0x7FFFFFFF;
      continue;
    }
    const TUnitRec& next = units[i + 1];
    const std::int64_t d = u.SegmentInd == next.SegmentInd ? std::int64_t{next.Addr} - u.Addr
                                                           : std::int64_t{next.AbsAddr} - u.AbsAddr;
    if (d < 0) Assertion(std::wstring(L"[UnitRec^.Size >= 0") + kMapFileTail);
    u.Size = static_cast<std::uint32_t>(d);
  }
  for (std::size_t ui = 0; ui < n; ++ui) {
    TUnitRec& u = units[ui];
    auto& procs = u.Procedures.FList;
    if (IsOldVersion(FELVer) && !procs.empty() && std::uint64_t{u.Addr} + u.Size <= procs.back().Addr) {
      for (std::size_t k = ui + 1; k < n; ++k) {
        if (units[k].Addr > procs.back().Addr) {
          u.Size = units[k].Addr - u.Addr;
          break;
        }
      }
    }
    for (std::size_t i = 0; i < procs.size(); ++i) {
      TProcRec& p = procs[i];
      if (p.Size != 0) continue;
      const std::int64_t d = i + 1 < procs.size() ? std::int64_t{procs[i + 1].Addr} - p.Addr
                                                  : std::int64_t{u.Addr} + u.Size - p.Addr;
      if (d < 0) Assertion(std::wstring(L"[ProcRec^.Size >= 0") + kMapFileTail);
      p.Size = static_cast<std::uint32_t>(d);
    }
    for (std::size_t pi = 0; pi < procs.size(); ++pi) {
      TProcRec& p = procs[pi];
      auto& lines = p.Lines.FList;
      bool dropped_self = false;
      for (std::size_t i = 0; i < lines.size(); ++i) {
        TLineRec& l = lines[i];
        if (l.Size != 0) continue;
        std::int64_t d;
        if (i + 1 < lines.size()) {
          d = std::int64_t{lines[i + 1].Addr} - l.Addr;
        } else {
          d = p.Size != 0 && p.Addr != 0 ? std::int64_t{p.Size} + p.Addr - l.Addr : 0;
          if (d < 0) {
            const std::int64_t next_start = pi + 1 < procs.size() ? procs[pi + 1].Addr
                                            : ui + 1 < n          ? units[ui + 1].Addr
                                                                  : 0;
            d = next_start - l.Addr;
            if (d < 0) {
              // The routine's line table runs past anything that follows;
              // the unit's last routine cannot be trusted.
              dropped_self = pi + 1 == procs.size();
              procs.pop_back();
              break;
            }
          }
        }
        if (d < 0) Assertion(std::wstring(L"[LineRec.Size >= 0") + kMapFileTail);
        l.Size = static_cast<std::uint32_t>(d);
      }
      if (dropped_self) break;
    }
  }
}

// ----------------------------------------------------------------- delta --

namespace {

// Old data keeps the line field of the 4-byte form as a signed word.
std::int64_t LineField4(std::uint32_t field, std::uint16_t version) {
  if (IsOldVersion(version)) return static_cast<std::int16_t>(field) + 1;
  return field == 0xFFFF ? 0 : std::int64_t{field} + 1;
}

std::int64_t OldEscapeField(std::uint16_t v) { return v == 0xFFFF ? 0 : std::int64_t{v} + 1; }

}  // namespace

TDebugVLDelta ReadDebugVLDelta(TByteReader& r, std::uint16_t version) {
  TDebugVLDelta d;
  const std::uint8_t f = r.U8();
  if ((f & 1) == 0) {
    d.DA = ((f >> 1) & 0x1F) + 1;
    d.DL = ((f >> 6) & 3) + 1;
    return d;
  }
  if ((f & 2) == 0) {
    d.NewRoutine = true;
    d.DA = ((f >> 2) & 7) + 1;
    d.DL = ((f >> 5) & 7) + 1;
    return d;
  }
  d.NewRoutine = (f & 4) != 0;
  if ((f & 8) == 0) {
    const std::uint16_t w = static_cast<std::uint16_t>(f | r.U8() << 8);
    d.DA = ((w >> 4) & 0x7F) + 1;
    d.DL = ((w >> 11) & 0x1F) + 1;
    return d;
  }
  const std::uint32_t e = f | std::uint32_t{r.U8()} << 8 | std::uint32_t{r.U16()} << 16;
  if (HasEscape(version) && (e & ~4u) == kDebugVLEscape) {
    if (IsOldVersion(version)) {
      d.DL = OldEscapeField(r.U16());
      d.DA = OldEscapeField(r.U16());
    } else {
      d.DL = std::int64_t{r.I32()} + 1;
      d.DA = std::int64_t{r.I32()} + 1;
    }
    return d;
  }
  const std::uint32_t fa = e >> 20, fl = (e >> 4) & 0xFFFF;
  d.DA = fa == 0xFFF ? 0 : std::int64_t{fa} + 1;
  d.DL = LineField4(fl, version);
  return d;
}

namespace {

enum class TDeltaForm { One, OneRoutine, Two, Four, Escape };

bool FitsFour(const TDebugVLDelta& d, std::uint16_t version) {
  if (d.DA < 0 || d.DA > 0xFFF) return false;
  if (IsOldVersion(version)) {
    if (d.DL < -32767 || d.DL > 32768) return false;
  } else if (d.DL < 0 || d.DL > 0xFFFF) {
    return false;
  }
  if (!HasEscape(version)) return true;
  // The escape word itself is not available as a 4-byte record.
  const std::uint32_t fa = d.DA == 0 ? 0xFFF : static_cast<std::uint32_t>(d.DA - 1);
  const std::uint32_t fl = static_cast<std::uint32_t>(d.DL - 1) & 0xFFFF;
  return !(fa == 0xFFE && fl == 0xFFFE);
}

TDeltaForm ChooseForm(const TDebugVLDelta& d, std::uint16_t version) {
  if (!d.NewRoutine && d.DA >= 1 && d.DA <= 32 && d.DL >= 1 && d.DL <= 4) return TDeltaForm::One;
  if (d.NewRoutine && d.DA >= 1 && d.DA <= 8 && d.DL >= 1 && d.DL <= 8) return TDeltaForm::OneRoutine;
  if (d.DA >= 1 && d.DA <= 128 && d.DL >= 1 && d.DL <= 32) return TDeltaForm::Two;
  if (FitsFour(d, version)) return TDeltaForm::Four;
  if (!HasEscape(version)) throw std::out_of_range("delta does not fit the records of this version");
  if (IsOldVersion(version) && (d.DA < 0 || d.DA > 0xFFFF || d.DL < 0 || d.DL > 0xFFFF)) {
    throw std::out_of_range("delta does not fit the records of this version");
  }
  return TDeltaForm::Escape;
}

void PutU16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  PutU16(out, v & 0xFFFF);
  PutU16(out, v >> 16);
}

}  // namespace

std::size_t DebugVLDeltaSize(const TDebugVLDelta& d, std::uint16_t version) {
  switch (ChooseForm(d, version)) {
    case TDeltaForm::One:
    case TDeltaForm::OneRoutine: return 1;
    case TDeltaForm::Two: return 2;
    case TDeltaForm::Four: return 4;
    case TDeltaForm::Escape: return IsOldVersion(version) ? 8 : 12;
  }
  return 0;
}

void WriteDebugVLDelta(std::vector<std::uint8_t>& out, const TDebugVLDelta& d, std::uint16_t version) {
  const std::uint32_t routine = d.NewRoutine ? 4u : 0u;
  const auto da = static_cast<std::uint32_t>(d.DA - 1), dl = static_cast<std::uint32_t>(d.DL - 1);
  switch (ChooseForm(d, version)) {
    case TDeltaForm::One:
      out.push_back(static_cast<std::uint8_t>(da << 1 | dl << 6));
      return;
    case TDeltaForm::OneRoutine:
      out.push_back(static_cast<std::uint8_t>(1 | da << 2 | dl << 5));
      return;
    case TDeltaForm::Two:
      PutU16(out, 3 | routine | da << 4 | dl << 11);
      return;
    case TDeltaForm::Four: {
      const std::uint32_t fa = d.DA == 0 ? 0xFFF : da;
      const std::uint32_t fl = d.DL == 0 ? 0xFFFF : dl & 0xFFFF;
      PutU32(out, 0xB | routine | fl << 4 | fa << 20);
      return;
    }
    case TDeltaForm::Escape:
      PutU32(out, kDebugVLEscape | routine);
      if (IsOldVersion(version)) {
        PutU16(out, d.DL == 0 ? 0xFFFF : dl);
        PutU16(out, d.DA == 0 ? 0xFFFF : da);
      } else {
        PutU32(out, dl);
        PutU32(out, da);
      }
      return;
  }
}

// ---------------------------------------------------------------- reader --

namespace {

struct TUnitReader {
  std::uint16_t version;
  const TDebugVLPassword& password;
  TStringReader strings;

  TUnitReader(std::uint16_t v, const TDebugVLPassword& p) : version(v), password(p), strings(v, p) {}

  void InterpretUnitString(std::wstring text, TUnitRec& unit) const {
    if (text.empty()) return;
    if (!password.Valid) text.insert(1, 1, L'p');
    if (const std::size_t bar = text.find(L'|'); bar != std::wstring::npos) {
      unit.FileName = text.substr(0, bar);
      unit.Name = text.substr(bar + 1);
      return;
    }
    if (IsOldVersion(version) && password.Valid && text.find(L'.') == std::wstring::npos) {
      unit.FileName = text + L".pas";
      unit.Name = text;
      return;
    }
    unit.FileName = text;
    unit.Name = password.Valid ? WithoutExtension(text) : text;
  }

  std::wstring RoutineName(const std::wstring& text, const TUnitRec& unit, std::wstring& last_class) const {
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

  [[noreturn]] void LineOverflow(const TUnitRec& unit, std::int32_t line, std::int64_t diff, std::uint32_t addr) {
    Assertion(L"[LineNo >= 0] Integer overflow on line count. Exe file may be too large.\r\nUnit: " + unit.Name +
              L"(" + unit.FileName + L")\r\nLineNo: " + Decimal(line) + L"\r\nLineDiff: " + Decimal(diff) +
              L"\r\nLineAddr: " + Decimal(addr));
  }

  void ReadRecords(TByteReader& area, TUnitRec& unit, std::int32_t first_line) {
    std::int32_t line = first_line;
    std::uint32_t addr = unit.Addr;
    std::wstring last_class;
    TProcRec* current = nullptr;
    std::int32_t line_count = 0;
    auto& procs = unit.Procedures.FList;
    while (area.Position() < area.Size()) {
      const TDebugVLDelta d = ReadDebugVLDelta(area, version);
      addr += static_cast<std::uint32_t>(d.DA);
      line = static_cast<std::int32_t>(static_cast<std::uint32_t>(line) + static_cast<std::uint32_t>(d.DL));
      if (line < 0) LineOverflow(unit, line, d.DL, addr);
      if (d.NewRoutine) {
        const std::wstring name = RoutineName(strings.Read(area), unit, last_class);
        line_count = IsOldVersion(version) ? 1 : area.I32();
        if (name.empty() && addr == 0) {
          current = nullptr;
        } else if (!procs.empty() && procs.back().Name == name && procs.back().Addr == addr) {
          current = &procs.back();
        } else {
          procs.push_back(TProcRec{name, addr, 0, {}});
          current = &procs.back();
        }
      }
      if (current == nullptr || line_count <= 0) continue;
      if (IsOldVersion(version) && line <= 0) continue;
      if (line == 0 && addr == 0) continue;
      auto& lines = current->Lines.FList;
      if (!lines.empty() && lines.back().No == line && lines.back().Addr == addr) continue;
      lines.push_back(TLineRec{line, addr, 0});
    }
  }

  TUnitList Read(TByteReader& r) {
    TUnitList list;
    list.FELVer = version;
    if (HasPreamble(version)) r.Skip(r.U32());
    const std::int32_t count = r.I32();
    for (std::int32_t i = 0; i < count; ++i) {
      TUnitRec unit;
      const std::wstring text = strings.Read(r);
      InterpretUnitString(text, unit);
      const std::int32_t first_line = r.I32();
      unit.Addr = r.U32();
      if (!IsOldVersion(version)) {
        unit.Size = r.U32();
        r.Skip(4);  // routine count: the records say it again
      }
      r.Skip(4);
      const std::uint32_t area_size = r.U32();
      TByteReader area(r.Bytes(area_size));
      ReadRecords(area, unit, first_line);
      list.FList.push_back(std::move(unit));
    }
    if (IsOldVersion(version)) {
      std::stable_sort(list.FList.begin(), list.FList.end(), [](const TUnitRec& a, const TUnitRec& b) {
        if (a.SegmentInd != b.SegmentInd) return a.SegmentInd < b.SegmentInd;
        if (a.Addr != b.Addr) return a.Addr < b.Addr;
        return a.Name < b.Name;
      });
      for (TUnitRec& u : list.FList) {
        auto& procs = u.Procedures.FList;
        std::stable_sort(procs.begin(), procs.end(),
                         [](const TProcRec& a, const TProcRec& b) { return a.Addr < b.Addr; });
        for (TProcRec& p : procs) {
          std::stable_sort(p.Lines.FList.begin(), p.Lines.FList.end(),
                           [](const TLineRec& a, const TLineRec& b) { return a.Addr < b.Addr; });
        }
      }
    }
    return list;
  }
};

}  // namespace

TUnitList ReadDebugVLUnitTable(std::span<const std::uint8_t> bytes, std::uint16_t version,
                               const TDebugVLPassword& password, bool& has_encrypted_data) {
  TUnitReader reader(version, password);
  TByteReader r(bytes);
  TUnitList list = reader.Read(r);
  has_encrypted_data = reader.strings.has_encrypted;
  return list;
}

TVLDebugScanner::TVLDebugScanner(std::span<const std::uint8_t> unit_table, std::uint16_t version,
                                 std::wstring module_name, TDebugVLPassword password)
    : FData(unit_table.begin(), unit_table.end()),
      FELVer(version),
      FModuleName(std::move(module_name)),
      FPassword(std::move(password)) {
  if (version > kDebugVLCurrentVersion) {
    VersionTooNew(version);
  }
  FValidFormat = true;
}

std::vector<std::uint8_t> WrapExternalDebugVLStream(std::span<const std::uint8_t> unit_table, std::uint16_t version) {
  return WriteVLDbgFile(L"", unit_table, version != 0 ? version : kDebugVLCurrentVersion, false);
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
    VersionTooNew(version);
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
    if (HasPreamble(version)) r.Skip(r.U32());
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
  TUnitList list = ReadDebugVLUnitTable(std::span(FData).subspan(FDataStart), FELVer, FPassword, has_encrypted);
  list.DeriveSizes();
  list.Index();
  FUnitList = std::move(list);
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
  if (hit.Line != nullptr) hit.ProcOffsetLine = hit.Line->No - hit.Proc->Lines.FList.front().No;
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

// ---------------------------------------------------------------- writer --

void WriteDebugVLString(std::vector<std::uint8_t>& out, const std::wstring& text, std::uint16_t version,
                        const TStringCipher& cipher, bool password_flag) {
  std::wstring body = text;
  bool dot = false;
  if (!IsOldVersion(version) && !body.empty() && body.front() == L'.') {
    dot = true;
    body.erase(0, 1);
  }
  const bool old = IsOldVersion(version);
  const bool can_continue = !old || version > 501;
  const std::size_t max = !old ? kDebugVLStringMaxBytes : version > 501 ? 0x7F : 0xFF;

  // Pieces joined by "." on reading: split at dots, then merge greedily.
  std::vector<std::vector<std::uint8_t>> pieces;
  std::size_t from = 0;
  while (true) {
    const std::size_t at = body.find(L'.', from);
    std::vector<std::uint8_t> seg = Utf8Bytes(body.substr(from, at == std::wstring::npos ? std::wstring::npos : at - from));
    if (!pieces.empty() && pieces.back().size() + 1 + seg.size() <= max) {
      pieces.back().push_back('.');
      pieces.back().insert(pieces.back().end(), seg.begin(), seg.end());
    } else {
      if (seg.size() > max || (!pieces.empty() && !can_continue)) {
        throw std::length_error("debug-information string too long for its header");
      }
      pieces.push_back(std::move(seg));
    }
    if (at == std::wstring::npos) break;
    from = at + 1;
  }
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    std::vector<std::uint8_t>& p = pieces[i];
    const bool continued = i + 1 < pieces.size();
    if (version < 500) {
      for (auto& b : p) b ^= kDebugVLOldXor;
    } else {
      cipher.Encipher(p);
    }
    if (!old) {
      std::uint16_t h = static_cast<std::uint16_t>(p.size());
      if (continued) h |= kDebugVLStringContinued;
      if (password_flag) h |= kDebugVLStringPassword;
      if (dot && i == 0) h |= kDebugVLStringDot;
      PutU16(out, h);
    } else {
      out.push_back(static_cast<std::uint8_t>(p.size() | (continued ? 0x80 : 0)));
    }
    out.insert(out.end(), p.begin(), p.end());
  }
}

namespace {

void WriteUnit(std::vector<std::uint8_t>& out, const TDebugVLUnitModel& unit, const TDebugVLWriteOptions& o,
               const TStringCipher& plain, const TStringCipher& keyed) {
  const std::uint16_t v = o.Version;
  const bool old = IsOldVersion(v);
  const bool password_flag = o.EncipherWithPassword && !old;
  const TStringCipher& cipher = password_flag ? keyed : plain;

  std::wstring unit_text = unit.FileName;
  if (!unit.Name.empty() && unit.Name != WithoutExtension(unit.FileName)) unit_text += L"|" + unit.Name;
  WriteDebugVLString(out, unit_text, v, cipher, password_flag);

  const std::int32_t first_line =
      !unit.Procs.empty() && !unit.Procs.front().Lines.empty() ? unit.Procs.front().Lines.front().No : 0;
  std::vector<std::uint8_t> area;
  std::int64_t line = first_line;
  std::int64_t addr = unit.Addr;
  auto emit = [&](std::int64_t to_line, std::int64_t to_addr, bool routine) {
    // Accumulators wrap modulo 2^32, so the plain difference is always the
    // delta to store; only its size picks the form.
    const TDebugVLDelta d{to_addr - addr, to_line - line, routine};
    WriteDebugVLDelta(area, d, v);
    line = to_line;
    addr = to_addr;
  };
  for (const TDebugVLProcModel& p : unit.Procs) {
    if (!p.Lines.empty() && p.Lines.front().Addr != p.Addr) {
      throw std::invalid_argument("a routine's first line must start at the routine");
    }
    // A routine without lines leaves the line accumulator free: one up is
    // the cheapest move.
    const std::int64_t start_line = p.Lines.empty() ? line + 1 : p.Lines.front().No;
    emit(start_line, p.Addr, true);
    WriteDebugVLString(area, o.StoreProcNames ? p.Name : std::wstring(), v, cipher, password_flag);
    if (!old) PutU32(area, static_cast<std::uint32_t>(p.Lines.size()));
    for (std::size_t i = 1; i < p.Lines.size(); ++i) emit(p.Lines[i].No, p.Lines[i].Addr, false);
  }

  PutU32(out, static_cast<std::uint32_t>(first_line));
  PutU32(out, unit.Addr);
  if (!old) {
    PutU32(out, unit.Size);
    PutU32(out, static_cast<std::uint32_t>(unit.Procs.size()));
  }
  PutU32(out, o.SkippedWord);
  PutU32(out, static_cast<std::uint32_t>(area.size()));
  out.insert(out.end(), area.begin(), area.end());
}

}  // namespace

std::vector<std::uint8_t> WriteDebugVLUnitTable(const std::vector<TDebugVLUnitModel>& units,
                                                const TDebugVLWriteOptions& o) {
  TStringCipher plain, keyed;
  keyed.SetPassword(Utf8Bytes(o.Password));
  std::vector<std::uint8_t> out;
  if (HasPreamble(o.Version)) PutU32(out, 0);
  PutU32(out, static_cast<std::uint32_t>(units.size()));
  for (const TDebugVLUnitModel& u : units) WriteUnit(out, u, o, plain, keyed);
  return out;
}

std::vector<std::uint8_t> WriteDebugVLBlock(const std::vector<TDebugVLUnitModel>& units,
                                            const TDebugVLWriteOptions& o) {
  const std::vector<std::uint8_t> table = WriteDebugVLUnitTable(units, o);
  std::vector<std::uint8_t> out;
  PutU32(out, static_cast<std::uint32_t>(table.size()));
  out.insert(out.end(), table.begin(), table.end());
  return out;
}

std::span<const std::uint8_t> DebugVLBlockBody(std::span<const std::uint8_t> block) {
  TByteReader r(block);
  const std::uint32_t length = r.U32();
  return r.Bytes(length);
}

std::vector<std::uint8_t> WriteVLDbgFile(const std::wstring& module_name, std::span<const std::uint8_t> unit_table,
                                         std::uint16_t version, bool with_checksum) {
  std::vector<std::uint8_t> out(kVLDbgSignature, kVLDbgSignature + 4);
  PutU16(out, version);
  PutU32(out, static_cast<std::uint32_t>(kVLDbgHeaderSize + 4 + module_name.size() * 2));
  PutU32(out, 0);
  PutU32(out, 0);  // checksum, filled in below
  out.push_back(with_checksum ? 1 : 0);
  PutU32(out, static_cast<std::uint32_t>(module_name.size()));
  for (wchar_t c : module_name) PutU16(out, static_cast<std::uint16_t>(c));
  out.insert(out.end(), unit_table.begin(), unit_table.end());
  if (!with_checksum) return out;
  // The checksum field straddles two words, so instead of solving for it a
  // trailing word (after the unit table, never read) balances the sum.
  while (out.size() % 4 != 0) out.push_back(0);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < out.size(); i += 4) {
    sum += std::uint32_t{out[i]} | std::uint32_t{out[i + 1]} << 8 | std::uint32_t{out[i + 2]} << 16 |
           std::uint32_t{out[i + 3]} << 24;
  }
  const std::uint32_t checksum = (sum ^ 0x4A444247u) | 1u;
  for (int k = 0; k < 4; ++k) out[14 + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(checksum >> (8 * k));
  sum = 0;
  for (std::size_t i = 0; i < out.size(); i += 4) {
    sum += std::uint32_t{out[i]} | std::uint32_t{out[i + 1]} << 8 | std::uint32_t{out[i + 2]} << 16 |
           std::uint32_t{out[i + 3]} << 24;
  }
  const std::uint32_t wanted = checksum << 8 | checksum >> 24;  // S rotated left: the reader rotates right
  PutU32(out, wanted + checksum - sum);
  return out;
}

}  // namespace zelvic::diag
