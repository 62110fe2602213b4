// The module's own compressed debug information, as bytes: the unit, routine
// and line tables, the scanner that builds them from a unit table (or from a
// ".vldbg" file), the lookup of a code offset, and the build-time writer.
// Writer and reader share the record and string encoders below, so a round
// trip pins them together. Nothing here touches the platform: the data is a
// byte span wherever it came from.
//
// "Offset" is always a code offset: address - module base - 0x1000.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "diagnostics/util/EVarnelLogErrors.h"
#include "diagnostics/config/EVLDataFormat.h"
#include "diagnostics/util/EEncrypt.h"
#include "diagnostics/util/EStrings.h"

namespace zelvic::diag {

inline constexpr std::uint16_t kDebugVLCurrentVersion = 7007;
// From this version on: 16-bit string headers with the password and "."
// flags, stored unit sizes and routine line counts.
inline constexpr std::uint16_t kDebugVLVersion7 = 7000;
inline constexpr std::uint32_t kDebugVLStringMaxBytes = 0x1FFF;
inline constexpr std::uint16_t kDebugVLStringContinued = 0x8000;
inline constexpr std::uint16_t kDebugVLStringPassword = 0x4000;
inline constexpr std::uint16_t kDebugVLStringDot = 0x2000;
// The 4-byte record word (new-routine bit clear) that announces two full
// 32-bit deltas; it is the one value the 4-byte form gives up.
inline constexpr std::uint32_t kDebugVLEscape = 0xFFEFFFEB;
// Strings of data older than version 500 are only XORed with this byte.
inline constexpr std::uint8_t kDebugVLOldXor = 0xA5;
inline constexpr std::size_t kVLDbgHeaderSize = 19;
inline constexpr char kVLDbgSignature[4] = {'J', 'D', 'B', 'G'};

// Called before an assertion is raised, so that an attached debugger stops
// where the data went wrong; the platform layer installs it.
using TDebugVLBreakHook = void (*)();
void SetDebugVLBreakHook(TDebugVLBreakHook hook) noexcept;

// 8-bit text that is not clean UTF-8 is in the system code page; the platform
// layer plugs in the real conversion. Without one, bytes map to U+0000-U+00FF.
using TDebugVLCodePageDecoder = std::wstring (*)(std::span<const std::uint8_t> bytes);
void SetDebugVLCodePageDecoder(TDebugVLCodePageDecoder decoder) noexcept;

// ---------------------------------------------------------------- tables --

struct TLineRec {
  std::int32_t No = 0;
  std::uint32_t Addr = 0;
  std::uint32_t Size = 0;
};

class TLines {
 public:
  int Count() const noexcept { return static_cast<int>(FList.size()); }
  const TLineRec& GetItem(int index) const { return FList.at(static_cast<std::size_t>(index)); }
  // The first entry whose range holds the offset.
  const TLineRec* FindLine(std::uint32_t addr) const noexcept;
  // Marks the list for binary search when its ranges ascend without
  // overlapping (the answer is then the same); call after every change.
  void Index() noexcept;
  std::vector<TLineRec> FList;
  bool FOrdered = false;
};

struct TProcRec {
  std::wstring Name;
  std::uint32_t Addr = 0;
  std::uint32_t Size = 0;
  TLines Lines;
};

class TProcedures {
 public:
  int Count() const noexcept { return static_cast<int>(FList.size()); }
  const TProcRec& GetItem(int index) const { return FList.at(static_cast<std::size_t>(index)); }
  const TProcRec* FindProc(std::uint32_t addr) const noexcept;
  // As TLines::Index, for the routines and each routine's lines.
  void Index() noexcept;
  std::vector<TProcRec> FList;
  bool FOrdered = false;
};

struct TUnitRec {
  std::wstring Name;
  std::wstring FileName;
  std::uint32_t Addr = 0;
  std::uint32_t Size = 0;
  TProcedures Procedures;
  std::int32_t ModuleInd = 0;
  std::int32_t SegmentInd = 0;
  std::uint32_t AbsAddr = 0;
  bool Code = false;
};

class TUnitList {
 public:
  int Count() const noexcept { return static_cast<int>(FList.size()); }
  const TUnitRec& GetItem(int index) const { return FList.at(static_cast<std::size_t>(index)); }
  // Scans from the last unit: on overlapping ranges the later unit answers.
  const TUnitRec* FindUnit(std::uint32_t addr) const noexcept;
  // By source file name (file-name comparison).
  const TUnitRec* FindUnit(const std::wstring& source) const noexcept;
  // Fills in the sizes the data leaves at 0; raises rt::EAssertionFailed on a
  // negative one.
  void DeriveSizes();
  // Builds the search index of units, routines and lines: afterwards every
  // Find answers as the plain scans do, in logarithmic time. The index does
  // not follow later changes to the lists: index again after them.
  void Index();
  std::vector<TUnitRec> FList;
  std::uint16_t FELVer = kDebugVLCurrentVersion;

 private:
  // Disjoint, ascending spans, each answered by the unit a backward scan
  // would find first.
  struct TUnitSpan {
    std::uint32_t Begin;
    std::uint64_t End;
    std::uint32_t Unit;
  };
  std::vector<TUnitSpan> FIndex;
};

// --------------------------------------------------------------- strings --

// Splits a qualified routine name into class and method (the method is the
// result), by the same rules the call-stack list uses to name routines, so a
// name read here splits the same way later.
std::wstring ParseClassName(const std::wstring& unit_name, const std::wstring& name, std::wstring& class_name);

std::wstring Base64Encode(std::span<const std::uint8_t> bytes);

// The password state the strings are read with.
struct TDebugVLPassword {
  std::wstring Password;
  bool Valid = true;  // the container accepted the password (or has none)
};

// One string with its continued pieces, as the reader interprets it
// (without the unit and routine rules).
std::wstring ReadDebugVLString(TByteReader& reader, std::uint16_t version, const TDebugVLPassword& password,
                               bool& has_encrypted_data);

// ----------------------------------------------------------------- delta --

// One delta record as the reader sees it.
struct TDebugVLDelta {
  std::int64_t DA = 0;  // address delta (applied modulo 2^32)
  std::int64_t DL = 0;  // line delta (applied modulo 2^32)
  bool NewRoutine = false;
};
// The smallest record form of a version that carries the delta.
void WriteDebugVLDelta(std::vector<std::uint8_t>& out, const TDebugVLDelta& delta, std::uint16_t version);
// Reads one record; raises EInvalidDebugInformation past the end.
TDebugVLDelta ReadDebugVLDelta(TByteReader& reader, std::uint16_t version);
// Size in bytes of the form WriteDebugVLDelta chooses.
std::size_t DebugVLDeltaSize(const TDebugVLDelta& delta, std::uint16_t version);

// ---------------------------------------------------------------- reader --

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

// Reads a unit table from `bytes` (starting at its first byte) into units.
// Raises EInvalidDebugInformation on truncation; sizes are not derived.
TUnitList ReadDebugVLUnitTable(std::span<const std::uint8_t> bytes, std::uint16_t version,
                               const TDebugVLPassword& password, bool& has_encrypted_data);

// ---------------------------------------------------------------- writer --

struct TDebugVLLineModel {
  std::int32_t No = 0;
  std::uint32_t Addr = 0;
};
struct TDebugVLProcModel {
  std::wstring Name;  // as stored: "Class.Method", "Method", ".Method" (the previous class) or empty
  std::uint32_t Addr = 0;
  // Ascending addresses; when present the first starts at Addr.
  std::vector<TDebugVLLineModel> Lines;
};
struct TDebugVLUnitModel {
  std::wstring FileName;
  std::wstring Name;  // empty: the file name alone is stored
  std::uint32_t Addr = 0;
  std::uint32_t Size = 0;
  std::vector<TDebugVLProcModel> Procs;  // ascending addresses
};

struct TDebugVLWriteOptions {
  std::uint16_t Version = kDebugVLCurrentVersion;
  bool StoreProcNames = true;  // false: csoDoNotStoreProcNames
  bool EncipherWithPassword = false;
  std::wstring Password;
  std::uint32_t SkippedWord = 0;
};

// One string (its continued pieces split at "." when longer than a header
// can say); raises std::length_error when a piece cannot be split small enough.
void WriteDebugVLString(std::vector<std::uint8_t>& out, const std::wstring& text, std::uint16_t version,
                        const TStringCipher& cipher, bool password_flag);
// The unit table (the L bytes the scanner reads).
std::vector<std::uint8_t> WriteDebugVLUnitTable(const std::vector<TDebugVLUnitModel>& units,
                                                const TDebugVLWriteOptions& options);
// The inflated block: L, then the L bytes.
std::vector<std::uint8_t> WriteDebugVLBlock(const std::vector<TDebugVLUnitModel>& units,
                                            const TDebugVLWriteOptions& options);
// The L bytes of an inflated block; raises EInvalidDebugInformation when L
// does not fit.
std::span<const std::uint8_t> DebugVLBlockBody(std::span<const std::uint8_t> block);
// A ".vldbg" file around a unit table.
std::vector<std::uint8_t> WriteVLDbgFile(const std::wstring& module_name, std::span<const std::uint8_t> unit_table,
                                         std::uint16_t version, bool with_checksum);
// A caller-supplied unit table in the same header: the given version (the
// current one for 0), the unit table at offset 23, no checksum, no module
// name. Such data is read as having a valid password.
std::vector<std::uint8_t> WrapExternalDebugVLStream(std::span<const std::uint8_t> unit_table,
                                                    std::uint16_t version = 0);
// The checksum rule of ".vldbg" files: false when the length is not a
// multiple of 4 or the sum does not match.
bool IsVLDbgChecksumValid(std::span<const std::uint8_t> file, std::uint32_t checksum) noexcept;

}  // namespace zelvic::diag
