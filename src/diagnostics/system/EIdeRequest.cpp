#include "diagnostics/system/EIdeRequest.h"

#include <algorithm>
#include <cstring>

#include "diagnostics/config/ENameValues.h"
#include "diagnostics/util/EDebugOutput.h"
#include "diagnostics/util/EStrings.h"
#include "platform/text_compare.h"

namespace zelvic::diag {
namespace {

constexpr std::size_t kWideField = 260;
constexpr std::size_t kAnsiField = 90;
constexpr wchar_t kMailslotPrefix[] = L"\\\\.\\mailslot\\VarnelLog";
// Where an environment that is not our parent leaves its process number.
constexpr wchar_t kSharedTargetName[] = L"0503CC5BD9B147518FBAD9FD9E8E8A4E";

void PutNumbers(std::vector<std::uint8_t>& record, std::size_t at, const TIdeRequest& r) {
  std::uint32_t numbers[4];
  numbers[0] = static_cast<std::uint32_t>(r.Line);
  numbers[1] = static_cast<std::uint32_t>(r.LineOffset);
  std::uint64_t date_bits;
  static_assert(sizeof(date_bits) == sizeof(r.CompilationDate));
  std::memcpy(&date_bits, &r.CompilationDate, sizeof(date_bits));
  numbers[2] = static_cast<std::uint32_t>(date_bits);
  numbers[3] = static_cast<std::uint32_t>(date_bits >> 32);
  for (int i = 0; i < 4; ++i) {
    for (int b = 0; b < 4; ++b) record[at + 4 * i + b] = static_cast<std::uint8_t>(numbers[i] >> (8 * b));
  }
}

std::int32_t NumberOrMinusOne(const std::wstring& text) {
  const std::optional<std::int64_t> n = Int64FromText(Trim(text));
  return n && *n >= INT32_MIN && *n <= INT32_MAX ? static_cast<std::int32_t>(*n) : -1;
}

}  // namespace

std::vector<std::uint8_t> WideIdeRecord(const TIdeRequest& r) {
  std::vector<std::uint8_t> record(4 * kWideField * 2 + 16, 0);
  const std::wstring* fields[4] = {nullptr, &r.UnitName, &r.ClassName, &r.ProcedureName};
  for (int f = 0; f < 4; ++f) {
    if (fields[f] == nullptr) continue;
    const std::size_t n = std::min(fields[f]->size(), kWideField - 1);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t at = (f * kWideField + i) * 2;
      record[at] = static_cast<std::uint8_t>((*fields[f])[i]);
      record[at + 1] = static_cast<std::uint8_t>((*fields[f])[i] >> 8);
    }
  }
  PutNumbers(record, 4 * kWideField * 2, r);
  return record;
}

std::vector<std::uint8_t> AnsiIdeRecord(const TIdeRequest& r) {
  std::vector<std::uint8_t> record(4 * kAnsiField + 16, 0);
  const std::wstring* fields[4] = {nullptr, &r.UnitName, &r.ClassName, &r.ProcedureName};
  for (int f = 0; f < 4; ++f) {
    if (fields[f] == nullptr) continue;
    const std::string bytes = platform::ToAnsiCodePage(*fields[f]);
    std::memcpy(record.data() + f * kAnsiField, bytes.data(), std::min(bytes.size(), kAnsiField - 1));
  }
  PutNumbers(record, 4 * kAnsiField, r);
  return record;
}

bool OpenInIDEEditor(const std::wstring& line, const std::wstring& unit_name, const std::wstring& class_name,
                     double compilation_date, const std::wstring& line_offset, const std::wstring& procedure_name,
                     platform::TSystemFacts& facts) {
  TIdeRequest request{unit_name, class_name, procedure_name, NumberOrMinusOne(line), NumberOrMinusOne(line_offset),
                      compilation_date};
  if (unit_name.empty() || (request.Line < 0 && procedure_name.empty())) return false;

  std::uint32_t target = 0;
  const std::uint32_t parent = facts.ParentProcessId();
  if (parent != 0 && facts.HasTopLevelWindowOfClass(parent, L"TAppBuilder")) {
    target = parent;
  } else if (const auto shared = facts.SharedMemoryNumber(kSharedTargetName)) {
    target = *shared;
  }
  if (target != 0) facts.AllowForeground(target);

  const std::wstring id = std::to_wstring(target);
  const auto wide = facts.WriteMailslot(kMailslotPrefix + std::wstring(L"W") + id, WideIdeRecord(request));
  if (wide.Opened && wide.Error == 0) return true;
  std::uint32_t error = wide.Error;
  if (!wide.Opened && request.Line >= 0) {
    const auto ansi = facts.WriteMailslot(kMailslotPrefix + id, AnsiIdeRecord(request));
    if (ansi.Opened && ansi.Error == 0) return true;
    error = ansi.Error;
  }
  DumpString(L"Unable to open file in IDE editor: " + facts.ErrorText(error));
  return false;
}

}  // namespace zelvic::diag
