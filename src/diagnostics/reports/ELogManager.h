// The report file: one text file that keeps a module's bug reports between
// runs, oldest first, each followed by three empty lines; written as UTF-16
// with a byte-order mark, read in UTF-8, UTF-16 or an 8-bit code page. TLogFile
// loads it into a list of report texts, finds reports by an item's value,
// reads and rewrites single items in place and saves the list back. Where the
// file lives comes from the module's options (OutputLogFile, OutputFile).
//
// The object has no lock of its own: every user holds TReportFileGuard (the
// module list's re-entrant lock) for as long as the object lives, and between
// processes the stream's sharing mode keeps a second writer out.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/util/EVarnelLogErrors.h"
#include "platform/file_stream.h"
#include "platform/system_facts.h"

namespace zelvic::diag {

// A report file that could not be opened, created or written; the message
// names the file and the system's error.
ZELVIC_DECLARE_ERROR(EReportFileError, EVarnelLogGeneralError)

// The lock the dialog steps hold around every use of a report file.
class TReportFileGuard {
 public:
  TReportFileGuard() noexcept { ModulesListLock().Enter(); }
  ~TReportFileGuard() { ModulesListLock().Leave(); }
  TReportFileGuard(const TReportFileGuard&) = delete;
  TReportFileGuard& operator=(const TReportFileGuard&) = delete;
};

// Report item numbers that other units address.
inline constexpr wchar_t kItemVersion[] = L"1.3";
inline constexpr wchar_t kItemAddress[] = L"2.2";
inline constexpr wchar_t kItemBugID[] = L"2.7";
inline constexpr wchar_t kItemCount[] = L"2.8";
inline constexpr wchar_t kItemSent[] = L"2.11";
inline constexpr wchar_t kItemLanguage[] = L"6.4";
inline constexpr wchar_t kItemCharset[] = L"6.5";

// The placeholder a report-file name keeps until the dialog knows the bug.
inline constexpr wchar_t kBugIDPlaceholder[] = L"%BUGID%";

// The report file of a module: `base_file`, else the options' module, else
// this library, with the extension ".vl", placed by OutputFile, then the
// bug identifier placeholder, the computer name and the local time inserted
// before the extension as the options ask.
std::wstring OutputLogFile(const TVarnelModuleOptions& options, std::wstring_view base_file,
                           platform::TSystemFacts& facts = platform::LiveSystemFacts());
// The full name of an output file: the options' OutputPath (a report file
// name itself, or a folder), else the per-user "Bug Reports" folder of this
// library; a relative name is taken from this library's folder (the given
// file's folder inside a development environment). With SaveLogFile the
// folders are made and the name is moved to a usable location.
std::wstring OutputFile(const TVarnelModuleOptions& options, std::wstring_view file_name,
                        platform::TSystemFacts& facts = platform::LiveSystemFacts());

// "yyyymmddhhnnss" of the local time.
std::wstring FileNameTimeStamp(const platform::TLocalNow& now);
// A text as a file-name part: the nine characters no file name can hold
// become "_".
std::wstring FileNameSafe(std::wstring_view text);

class TLogFile {
 public:
  // Normalises the name, opens the file (read-only: others may do anything;
  // else read and write, others may only read) and loads it. A missing file
  // gives an empty list and no stream. A locked file is retried 50 times,
  // 1 ms apart, then once more after 500 ms at a usable location; what
  // still fails raises EReportFileError.
  TLogFile(const std::wstring& file_name, bool read_only,
           platform::TSystemFacts& facts = platform::LiveSystemFacts());
  // A list from bytes, without a file (Save then creates `file_name`).
  TLogFile(std::span<const std::uint8_t> bytes, std::wstring file_name = {},
           platform::TSystemFacts& facts = platform::LiveSystemFacts());
  TLogFile(const TLogFile&) = delete;
  TLogFile& operator=(const TLogFile&) = delete;

  const std::wstring& FileName() const noexcept { return file_name_; }
  int Count() const noexcept { return static_cast<int>(list_.size()); }
  // Every report followed by CR LF.
  std::wstring Text() const;
  const std::wstring& GetItem(int index) const;
  // True when loading dropped text that was not a report (kept aside at the
  // next Save, never written over).
  bool HadUnreadableText() const noexcept { return !unreadable_.empty(); }

  // Adds a report, first dropping the oldest so that at most `max_num` are
  // kept; -1 keeps every report. A limit of 0 or below -1 raises
  // EReportFileError and changes nothing.
  void Append(std::wstring_view log, int max_num);
  void DeleteItem(int index);
  void Clear() noexcept { list_.clear(); }
  // Writes FF FE and the text as UTF-16; an empty list makes an empty file.
  void Save();

  // The first (last) report in which one of the (id, value) pairs matches
  // as a whole stored value; -1 when none does.
  int FindItem(std::span<const std::wstring> ids, std::span<const std::wstring> values) const;
  int FindLastItem(std::span<const std::wstring> ids, std::span<const std::wstring> values) const;
  // The unescaped value of an item; empty when the report or item is missing.
  std::wstring GetItemValue(std::wstring_view id, int index) const;
  // Rewrites the item's value in place (continuation lines under its first
  // character), or adds the item at the end of its section with `caption`.
  void SetItemValue(std::wstring_view id, std::wstring_view value, std::wstring_view caption, int index);

  std::wstring GetItem_Generals(int index) const;
  std::wstring GetItem_CallStack(int index) const;
  std::wstring GetItem_Modules(int index) const;
  std::wstring GetItem_Processes(int index) const;
  std::wstring GetItem_Assembler(int index) const;
  std::wstring GetItem_CPU(int index) const;
  std::wstring GetItem_Reproduce(int index) const;
  std::wstring GetLogVersion(int index) const;
  bool GetCorruptedLog(int index) const;

  // Decodes bytes as a report file does (the encoding, then the split);
  // replaces the list.
  void Load(std::span<const std::uint8_t> bytes);

 private:
  void OpenStream(bool read_only);
  void OpenWithRetries(bool read_only);
  void Split(std::wstring text);
  std::wstring SectionAfterHeader(const std::wstring& s, int which) const;
  void KeepUnreadable();

  platform::TSystemFacts& facts_;
  std::wstring file_name_;
  platform::TFileStream stream_;
  std::vector<std::wstring> list_;
  // The bytes as read, when loading dropped text that was not a report.
  std::vector<std::uint8_t> unreadable_;
  bool dropped_ = false;
};

// The escaped form of a value as a report stores it after a label ending in
// column `value_column` (0-based): ": " as ":_", further lines indented to
// the column, an empty one as ".", each line ended by CR LF.
std::wstring EscapeItemValue(std::wstring_view value, std::size_t value_column);

}  // namespace zelvic::diag
