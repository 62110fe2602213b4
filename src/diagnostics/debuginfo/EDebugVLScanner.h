// Reading the debug information: a unit table handed over by the container,
// or a whole ".vldbg" file, made into the tables on first use, and the
// lookup of a code offset in them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "diagnostics/debuginfo/EDebugVLFormat.h"
#include "diagnostics/debuginfo/EDebugVLStrings.h"
#include "diagnostics/debuginfo/EDebugVLTables.h"

namespace zelvic::diag {

// The records that hold an offset, without copying their texts.
struct TDebugVLHit {
  const TUnitRec* Unit = nullptr;
  const TProcRec* Proc = nullptr;
  const TLineRec* Line = nullptr;
  // The line's number less the routine's first line number (0 without a
  // line).
  std::int32_t ProcOffsetLine = 0;
};

struct TDebugVLLocation {
  bool Found = false;  // a unit holds the offset
  std::wstring UnitName;
  std::wstring SourceName;
  bool HasProc = false;
  std::wstring ProcedureName;
  std::uint32_t OffsetFromProcName = 0;
  bool HasLine = false;
  std::int32_t LineNumber = 0;
  std::uint32_t OffsetFromLineNumber = 0;
  std::int32_t ProcOffsetLine = 0;
};

class TVLDebugScanner {
 public:
  // A unit table handed over by the container (the L bytes): FDataStart 0.
  TVLDebugScanner(std::span<const std::uint8_t> unit_table, std::uint16_t version, std::wstring module_name,
                  TDebugVLPassword password = {});
  // A whole ".vldbg" file (or an external block wrapped in the same header).
  // A damaged header, checksum or an empty unit table gives a scanner whose
  // ValidFormat is false; a version past the current one raises
  // EInvalidDebugInformationVersion.
  static TVLDebugScanner FromVLDbgFile(std::span<const std::uint8_t> file, TDebugVLPassword password = {});

  bool ValidFormat() const noexcept { return FValidFormat; }
  const std::wstring& ModuleName() const noexcept { return FModuleName; }
  std::uint16_t Version() const noexcept { return FELVer; }
  std::uint32_t DataStart() const noexcept { return FDataStart; }
  // The stored module name equals the file-name part of `name`.
  bool IsModuleNameValid(const std::wstring& name) const noexcept;

  // Each builds the tables on first use and may raise the format's exceptions.
  std::optional<std::uint32_t> ModuleStartFromAddr(std::uint32_t offset);
  std::wstring ModuleNameFromAddr(std::uint32_t offset);
  std::wstring UnitNameFromAddr(std::uint32_t offset);
  std::wstring SourceNameFromAddr(std::uint32_t offset);
  std::wstring ProcNameFromAddr(std::uint32_t offset, std::uint32_t& proc_offset);
  // 0 without a line.
  std::int32_t LineNumberFromAddr(std::uint32_t offset, std::uint32_t& line_offset);
  TDebugVLLocation Locate(std::uint32_t offset);
  // The same answer as Locate, as pointers into the tables (valid until the
  // tables are built anew: SetPassword, ResetPassword).
  TDebugVLHit Find(std::uint32_t offset);

  const TUnitList& Units();
  // Some string carried the password flag (whether or not it could be read).
  bool HasEncryptedData();
  bool IsPasswordValid() const noexcept { return FPassword.Valid; }

  // Asks for the password again when the one in force does not open the
  // data (through the container's requester); on a change the tables are
  // built anew on the next lookup. Returns whether the password is valid now.
  bool ResetPassword(std::uint32_t encrypted_marker, std::uintptr_t module_base);
  // Replaces the password state and drops the tables.
  void SetPassword(TDebugVLPassword password);

 private:
  TVLDebugScanner() = default;
  void Build();

  std::vector<std::uint8_t> FData;
  std::uint32_t FDataStart = 0;
  std::uint16_t FELVer = kDebugVLCurrentVersion;
  std::wstring FModuleName;
  TUnitList FUnitList;
  bool FCached = false;
  bool FValidFormat = false;
  bool FHasEncryptedData = false;
  TDebugVLPassword FPassword;
};

// Reads a unit table from `bytes` (starting at its first byte) into drafts.
// Raises EInvalidDebugInformation on truncation; sizes are not derived.
std::vector<TDebugVLUnitDraft> ReadDebugVLUnitTable(std::span<const std::uint8_t> bytes, std::uint16_t version,
                                                    const TDebugVLPassword& password, bool& has_encrypted_data);
// The L bytes of an inflated block (L, then the L bytes); raises
// EInvalidDebugInformation when L does not fit.
std::span<const std::uint8_t> DebugVLBlockBody(std::span<const std::uint8_t> block);
// The checksum rule of ".vldbg" files: false when the length is not a
// multiple of 4 or the sum does not match.
bool IsVLDbgChecksumValid(std::span<const std::uint8_t> file, std::uint32_t checksum) noexcept;

}  // namespace zelvic::diag
