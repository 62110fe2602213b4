#include "diagnostics/debuginfo/EDebugVLWriter.h"

#include <stdexcept>

#include "diagnostics/debuginfo/EDebugVLDelta.h"
#include "diagnostics/debuginfo/EDebugVLStrings.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/ETextEncoding.h"

namespace zelvic::diag {

namespace {

void WriteUnit(std::vector<std::uint8_t>& out, const TDebugVLUnitModel& unit, const TDebugVLWriteOptions& o,
               const TStringCipher& plain, const TStringCipher& keyed) {
  const std::uint16_t v = o.Version;
  const bool old = IsOldDebugVLVersion(v);
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
    if (!old) PutDebugVLU32(area, static_cast<std::uint32_t>(p.Lines.size()));
    for (std::size_t i = 1; i < p.Lines.size(); ++i) emit(p.Lines[i].No, p.Lines[i].Addr, false);
  }

  PutDebugVLU32(out, static_cast<std::uint32_t>(first_line));
  PutDebugVLU32(out, unit.Addr);
  if (!old) {
    PutDebugVLU32(out, unit.Size);
    PutDebugVLU32(out, static_cast<std::uint32_t>(unit.Procs.size()));
  }
  PutDebugVLU32(out, o.SkippedWord);
  PutDebugVLU32(out, static_cast<std::uint32_t>(area.size()));
  out.insert(out.end(), area.begin(), area.end());
}

}  // namespace

std::vector<std::uint8_t> WriteDebugVLUnitTable(const std::vector<TDebugVLUnitModel>& units,
                                                const TDebugVLWriteOptions& o) {
  TStringCipher plain, keyed;
  keyed.SetPassword(Utf8Bytes(o.Password));
  std::vector<std::uint8_t> out;
  if (DebugVLHasPreamble(o.Version)) PutDebugVLU32(out, 0);
  PutDebugVLU32(out, static_cast<std::uint32_t>(units.size()));
  for (const TDebugVLUnitModel& u : units) WriteUnit(out, u, o, plain, keyed);
  return out;
}

std::vector<std::uint8_t> WriteDebugVLBlock(const std::vector<TDebugVLUnitModel>& units,
                                            const TDebugVLWriteOptions& o) {
  const std::vector<std::uint8_t> table = WriteDebugVLUnitTable(units, o);
  std::vector<std::uint8_t> out;
  PutDebugVLU32(out, static_cast<std::uint32_t>(table.size()));
  out.insert(out.end(), table.begin(), table.end());
  return out;
}

std::vector<std::uint8_t> WriteVLDbgFile(const std::wstring& module_name, std::span<const std::uint8_t> unit_table,
                                         std::uint16_t version, bool with_checksum) {
  std::vector<std::uint8_t> out(kVLDbgSignature, kVLDbgSignature + 4);
  PutDebugVLU16(out, version);
  PutDebugVLU32(out, static_cast<std::uint32_t>(kVLDbgHeaderSize + 4 + module_name.size() * 2));
  PutDebugVLU32(out, 0);
  PutDebugVLU32(out, 0);  // checksum, filled in below
  out.push_back(with_checksum ? 1 : 0);
  PutDebugVLU32(out, static_cast<std::uint32_t>(module_name.size()));
  for (wchar_t c : module_name) PutDebugVLU16(out, static_cast<std::uint16_t>(c));
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
  PutDebugVLU32(out, wanted + checksum - sum);
  return out;
}

std::vector<std::uint8_t> WrapExternalDebugVLStream(std::span<const std::uint8_t> unit_table, std::uint16_t version) {
  return WriteVLDbgFile(L"", unit_table, version != 0 ? version : kDebugVLCurrentVersion, false);
}

}  // namespace zelvic::diag
