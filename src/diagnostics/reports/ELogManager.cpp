#include "diagnostics/reports/ELogManager.h"

#include <algorithm>
#include <cwchar>

#include "diagnostics/exceptions/EAppType.h"
#include "diagnostics/system/EPlaceholders.h"
#include "diagnostics/system/EReportFile.h"
#include "diagnostics/system/ESpecialFolders.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"
#include "diagnostics/util/ETextEncoding.h"
#include "platform/text_compare.h"

namespace zelvic::diag {
namespace {

constexpr std::wstring_view kCrLf = L"\r\n";
constexpr std::wstring_view kFourBreaks = L"\r\n\r\n\r\n\r\n";
constexpr std::wstring_view kCallStackMarker = L"-\r\n|";
constexpr std::wstring_view kTableEnd = L"-\r\n\r\n";
constexpr std::wstring_view kSectionUnderline = L":\r\n-";
// Opening a locked file: 50 attempts 1 ms apart, then one move to a usable
// place after 500 ms.
constexpr int kOpenAttempts = 50;
constexpr std::uint32_t kOpenRetryMs = 1;
constexpr std::uint32_t kRelocateWaitMs = 500;
constexpr std::uint32_t kCreateRetryMs = 500;

std::wstring Expand(const std::wstring& text, platform::TSystemFacts& facts) {
  return ExpandEnvVarsEx(text, [&facts](const std::wstring& name) { return GetEnvVariableDefault(name, facts); });
}

// "%s_%s" of the name without extension and the addition, then the extension.
std::wstring InsertBeforeExtension(std::wstring_view name, std::wstring_view addition) {
  const std::wstring_view ext = ExtractFileExtPart(name);
  return WithoutExtension(name) + L"_" + std::wstring(addition) + std::wstring(ext);
}

bool IsAbsoluteName(std::wstring_view name) noexcept {
  if (name.starts_with(L"\\\\?\\")) name.remove_prefix(4);
  else if (name.starts_with(L"\\\\")) return true;
  return name.size() >= 3 && ((name[0] | 0x20) >= L'a' && (name[0] | 0x20) <= L'z') && name[1] == L':' &&
         name[2] == L'\\';
}

bool NamesReportFile(std::wstring_view path) {
  std::wstring_view ext = path.starts_with(L".") ? path : ExtractFileExtPart(path);
  return EqualIgnoringCase(ext, L".vl") || EqualIgnoringCase(ext, L".vlf");
}

std::wstring WithDelimiter(std::wstring path) {
  if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
  return path;
}

std::wstring ErrorText(const std::wstring& what, const std::wstring& file, std::uint32_t error,
                       platform::TSystemFacts& facts) {
  return what + L" \"" + file + L"\": " + facts.ErrorText(error);
}

// Line breaks as CR LF: a lone CR or LF becomes a pair.
std::wstring NormaliseLineBreaks(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size() + text.size() / 16);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (c == L'\r') {
      out += kCrLf;
      if (i + 1 < text.size() && text[i + 1] == L'\n') ++i;
    } else if (c == L'\n') {
      out += kCrLf;
    } else {
      out += c;
    }
  }
  return out;
}

bool IsBlank(std::wstring_view line) noexcept {
  return std::all_of(line.begin(), line.end(), [](wchar_t c) { return c == L' '; });
}

// Start of the line that holds `pos`.
std::size_t LineStart(const std::wstring& s, std::size_t pos) noexcept {
  while (pos > 0 && s[pos - 1] != L'\n') --pos;
  return pos;
}

// The item's key "\r\n  ID " and where it is; npos when the report lacks it.
std::size_t FindKey(const std::wstring& s, std::wstring_view id) {
  return s.find(L"\r\n  " + std::wstring(id) + L" ");
}

}  // namespace

std::wstring FileNameTimeStamp(const platform::TLocalNow& now) {
  wchar_t text[32];
  std::swprintf(text, 32, L"%04u%02u%02u%02u%02u%02u", now.Year, now.Month, now.Day, now.Hour, now.Minute,
                now.Second);
  return text;
}

std::wstring FileNameSafe(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t& c : out) {
    if (std::wstring_view(L"\"*/:<>?\\|").find(c) != std::wstring_view::npos) c = L'_';
  }
  return out;
}

std::wstring OutputFile(const TVarnelModuleOptions& options, std::wstring_view file_name,
                        platform::TSystemFacts& facts) {
  const std::wstring p = Expand(options.OutputPath(), facts);
  std::wstring r;
  if (NamesReportFile(p)) {
    r = p;
  } else {
    if (!p.empty()) {
      r = WithDelimiter(p);
    } else if (!options.CompatibilityMode()) {
      const std::wstring data = GetFacilityDataFolder(facts);
      if (!data.empty()) {
        r = data + L"Bug Reports\\" + ExtractFileNamePart(facts.ThisModuleFileName()) + L"\\";
      }
    }
    r += ExtractFileNamePart(file_name);
  }
  // Tested on the result, not on OutputPath alone: the per-user folder that
  // stands in for an empty path is absolute already.
  if (!IsAbsoluteName(r)) {
    const std::wstring base = IsDevelopmentEnvironmentProgram(facts.MainModuleFileName())
                                  ? ExtractFileDirPart(file_name)
                                  : ExtractFileDirPart(facts.ThisModuleFileName());
    r = WithDelimiter(base) + r;
  }
  if (options.SaveLogFile()) {
    facts.CreateFolderTree(ExtractFileDirPart(r));
    ResolveOutputFile(r, true, false, facts);
  }
  return r;
}

std::wstring OutputLogFile(const TVarnelModuleOptions& options, std::wstring_view base_file,
                           platform::TSystemFacts& facts) {
  std::wstring base(base_file);
  if (base.empty()) base = options.ModuleName();
  if (base.empty()) base = facts.ThisModuleFileName();
  std::wstring n = OutputFile(options, WithoutExtension(base) + L".vl", facts);
  if (options.loAddBugIDInLogFileName()) n = InsertBeforeExtension(n, kBugIDPlaceholder);
  if (options.loAddComputerNameInLogFileName()) n = InsertBeforeExtension(n, FileNameSafe(options.OverrideComputerName()));
  if (options.loAddDateInLogFileName()) n = InsertBeforeExtension(n, FileNameTimeStamp(facts.LocalNow()));
  return n;
}

std::wstring EscapeItemValue(std::wstring_view value, std::size_t value_column) {
  std::wstring text(value);
  ReplaceAll(text, L": ", L":_");
  std::vector<std::wstring> lines = SplitLines(text);
  if (lines.empty()) lines.emplace_back();
  std::wstring out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i == 0) {
      out += lines[i];
    } else {
      out.append(value_column, L' ');
      out += IsBlank(lines[i]) ? std::wstring(L".") : lines[i];
    }
    out += kCrLf;
  }
  return out;
}

// ---- TLogFile: opening and loading -------------------------------------------

TLogFile::TLogFile(const std::wstring& file_name, bool read_only, platform::TSystemFacts& facts) : facts_(facts) {
  std::wstring name = file_name;
  if (name.starts_with(L"\\??\\") || name.starts_with(L"\\\\?\\")) name.erase(0, 4);
  // What stands between a "?" and the drive's ":" is a device prefix.
  if (const std::size_t q = name.find(L'?'); q != std::wstring::npos) {
    const std::size_t colon = name.find(L':', q);
    if (colon != std::wstring::npos && colon > q) name.erase(q, colon - q - 1);
  }
  ReplaceAll(name, L"\\.\\", L"\\");
  file_name_ = name.empty() ? name : platform::LongPathNameOf(name);
  try {
    OpenWithRetries(read_only);
  } catch (const EReportFileError&) {
    // A locked file: give its holder a moment, then take a usable place
    // (which may be the fallback folder) and try once more.
    stream_.Close();
    platform::SleepMs(kRelocateWaitMs);
    if (!file_name.empty()) {
      ResolveOutputFile(file_name_, true, read_only, facts_);
    } else {
      file_name_.clear();
    }
    OpenWithRetries(read_only);
  }
}

TLogFile::TLogFile(std::span<const std::uint8_t> bytes, std::wstring file_name, platform::TSystemFacts& facts)
    : facts_(facts), file_name_(std::move(file_name)) {
  Load(bytes);
}

void TLogFile::OpenWithRetries(bool read_only) {
  list_.clear();
  if (file_name_.empty() || !platform::FileExistsAt(file_name_)) return;
  const auto mode = read_only ? platform::TFileOpenMode::ReadShareAll : platform::TFileOpenMode::ReadWriteDenyWrite;
  std::uint32_t error = 0;
  for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
    error = stream_.Open(file_name_, mode);
    if (error == 0) break;
    if (attempt < kOpenAttempts) platform::SleepMs(kOpenRetryMs);
  }
  if (error != 0) throw EReportFileError(ErrorText(L"Cannot open the report file", file_name_, error, facts_));
  std::vector<std::uint8_t> bytes;
  if (const std::uint32_t read_error = stream_.ReadToEnd(bytes); read_error != 0) {
    stream_.Close();
    throw EReportFileError(ErrorText(L"Cannot read the report file", file_name_, read_error, facts_));
  }
  Load(bytes);
}

void TLogFile::Load(std::span<const std::uint8_t> bytes) {
  list_.clear();
  unreadable_.clear();
  dropped_ = false;
  std::wstring text;
  bool eight_bit = false;
  const auto until_zero_byte = [](std::span<const std::uint8_t> b) {
    const auto end = std::find(b.begin(), b.end(), std::uint8_t{0});
    return b.first(static_cast<std::size_t>(end - b.begin()));
  };
  // What follows the first zero is not read: when it holds anything, the
  // file is not what the reader takes it for (UTF-16 without its mark).
  const auto text_after = [](auto first, auto last) {
    return std::any_of(first, last, [](auto c) { return c != 0; });
  };
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    const auto b = until_zero_byte(bytes.subspan(3));
    text = DecodeUtf8(b);
    dropped_ = text_after(bytes.begin() + 3 + static_cast<std::ptrdiff_t>(b.size()), bytes.end());
  } else if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    text = DecodeUtf16(bytes.subspan(2), false);
    const std::size_t zero = std::min(text.size(), text.find(L'\0'));
    dropped_ = text_after(text.begin() + static_cast<std::ptrdiff_t>(zero), text.end());
    text.resize(zero);
  } else {
    const auto b = until_zero_byte(bytes);
    text = platform::FromAnsiCodePage(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
    dropped_ = text_after(bytes.begin() + static_cast<std::ptrdiff_t>(b.size()), bytes.end());
    eight_bit = true;
  }
  if (bytes.size() < 8) {
    dropped_ = dropped_ || !Trim(text).empty();
    if (dropped_) unreadable_.assign(bytes.begin(), bytes.end());
    return;
  }
  const bool dropped_before_split = dropped_;
  if (!text.ends_with(kFourBreaks)) text += kFourBreaks;
  Split(text);
  if (eight_bit && !list_.empty()) {
    std::uint32_t code_page = 0;
    const std::wstring charset = Trim(GetItemValue(kItemCharset, 0));
    wchar_t* end = nullptr;
    const unsigned long number = charset.empty() ? 0 : std::wcstoul(charset.c_str(), &end, 10);
    if (!charset.empty() && end != nullptr && *end == L'\0') code_page = platform::CodePageOfCharset(number);
    if (code_page == 0) code_page = platform::CodePageOfEnglishLanguage(Trim(GetItemValue(kItemLanguage, 0)));
    if (code_page != 0) {
      const auto b = until_zero_byte(bytes);
      std::wstring converted =
          platform::FromCodePage(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()), code_page);
      if (!converted.empty()) {
        if (!converted.ends_with(kFourBreaks)) converted += kFourBreaks;
        list_.clear();
        Split(std::move(converted));
      }
    }
  }
  if (dropped_ || dropped_before_split) unreadable_.assign(bytes.begin(), bytes.end());
}

void TLogFile::Split(std::wstring text) {
  text = NormaliseLineBreaks(text);
  dropped_ = false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t run = text.find(kFourBreaks, start);
    if (run == std::wstring::npos) break;
    std::wstring candidate = text.substr(start, run + 6 - start);
    start = run + 8;
    if (candidate.starts_with(L"VarnelLog ") && candidate.find(kCallStackMarker) != std::wstring::npos) {
      list_.push_back(std::move(candidate));
    } else if (!Trim(candidate).empty()) {
      dropped_ = true;
    }
  }
  if (!Trim(std::wstring_view(text).substr(std::min(start, text.size()))).empty()) dropped_ = true;
}

// ---- TLogFile: the list ------------------------------------------------------

std::wstring TLogFile::Text() const {
  std::wstring out;
  for (const std::wstring& report : list_) {
    out += report;
    out += kCrLf;
  }
  return out;
}

const std::wstring& TLogFile::GetItem(int index) const {
  if (index < 0 || index >= Count()) throw EReportFileError(L"Report index out of range");
  return list_[static_cast<std::size_t>(index)];
}

void TLogFile::Append(std::wstring_view log, int max_num) {
  if (max_num == 0 || max_num < -1) throw EReportFileError(L"Invalid number of reports to keep");
  if (max_num != -1 && Count() >= max_num) {
    list_.erase(list_.begin(), list_.begin() + (Count() - max_num + 1));
  }
  // Stored in the form a loaded report has (its text, its own line break
  // and two more), so that a report never runs into the next one with more
  // than three empty lines between them, however many are appended.
  while (!log.empty() && (log.back() == L'\r' || log.back() == L'\n')) log.remove_suffix(1);
  list_.push_back(std::wstring(log) + L"\r\n\r\n\r\n");
}

void TLogFile::DeleteItem(int index) {
  if (index < 0 || index >= Count()) throw EReportFileError(L"Report index out of range");
  list_.erase(list_.begin() + index);
}

void TLogFile::KeepUnreadable() {
  // Text that was not a report is not ours to destroy: it goes next to the
  // file before the file is written over, and no place for it means no
  // write at all.
  for (int n = 1; n <= 9; ++n) {
    const std::wstring name = file_name_ + L".damaged" + (n == 1 ? std::wstring() : std::to_wstring(n));
    if (platform::FileExistsAt(name)) continue;
    platform::TFileStream copy;
    if (copy.Open(name, platform::TFileOpenMode::CreateDenyWrite) != 0) break;
    if (copy.Write(unreadable_) == 0) {
      unreadable_.clear();
      return;
    }
    copy.Close();
    platform::DeleteFileAt(name);
    break;
  }
  throw EReportFileError(L"The report file \"" + file_name_ +
                         L"\" holds text that is not a report and no copy of it could be kept; it is not written");
}

void TLogFile::Save() {
  if (!unreadable_.empty() && !file_name_.empty()) KeepUnreadable();
  if (!stream_.IsOpen()) {
    if (file_name_.empty()) throw EReportFileError(L"The report file has no name");
    facts_.CreateFolderTree(ExtractFileDirPart(file_name_));
    std::uint32_t error = stream_.Open(file_name_, platform::TFileOpenMode::CreateDenyWrite);
    if (error != 0) {
      platform::SleepMs(kCreateRetryMs);
      error = stream_.Open(file_name_, platform::TFileOpenMode::CreateDenyWrite);
    }
    if (error != 0) throw EReportFileError(ErrorText(L"Cannot create the report file", file_name_, error, facts_));
  }
  std::uint32_t error = stream_.Rewind();
  std::wstring text = Text();
  if (error == 0 && !text.empty()) {
    if (text.size() >= 10 && text.compare(text.size() - 10, 2, kCrLf) == 0) text.resize(text.size() - 2);
    std::vector<std::uint8_t> bytes{0xFF, 0xFE};
    AppendUtf16LE(bytes, text);
    error = stream_.Write(bytes);
  }
  if (error == 0) error = stream_.TruncateHere();
  if (error != 0) throw EReportFileError(ErrorText(L"Cannot write the report file", file_name_, error, facts_));
}

// ---- TLogFile: items ---------------------------------------------------------

namespace {

bool PairMatches(const std::wstring& s, std::wstring_view id, std::wstring_view value) {
  const std::size_t key = FindKey(s, id);
  if (key == std::wstring::npos) return false;
  const std::wstring_view r = std::wstring_view(s).substr(key + 2);
  const std::size_t colon = r.find(L": ");
  if (colon == std::wstring_view::npos) return false;
  const std::size_t value_at = colon + 2;
  const std::wstring escaped = EscapeItemValue(value, value_at);
  return r.substr(value_at, escaped.size()) == escaped;
}

bool AnyPairMatches(const std::wstring& s, std::span<const std::wstring> ids, std::span<const std::wstring> values) {
  const std::size_t n = std::min(ids.size(), values.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (PairMatches(s, ids[i], values[i])) return true;
  }
  return false;
}

}  // namespace

int TLogFile::FindItem(std::span<const std::wstring> ids, std::span<const std::wstring> values) const {
  for (int i = 0; i < Count(); ++i) {
    if (AnyPairMatches(list_[static_cast<std::size_t>(i)], ids, values)) return i;
  }
  return -1;
}

int TLogFile::FindLastItem(std::span<const std::wstring> ids, std::span<const std::wstring> values) const {
  for (int i = Count() - 1; i >= 0; --i) {
    if (AnyPairMatches(list_[static_cast<std::size_t>(i)], ids, values)) return i;
  }
  return -1;
}

std::wstring TLogFile::GetItemValue(std::wstring_view id, int index) const {
  if (index < 0 || index >= Count()) return {};
  const std::wstring& s = list_[static_cast<std::size_t>(index)];
  const std::size_t key = FindKey(s, id);
  if (key == std::wstring::npos) return {};
  const std::size_t colon = s.find(L": ", key);
  if (colon == std::wstring::npos) return {};
  const std::size_t start = colon + 2;
  // The value runs on through continuation lines; an empty line or the next
  // item's line ("  " and a non-blank fourth character) ends it.
  std::size_t end = s.size();
  for (std::size_t at = s.find(kCrLf, start); at != std::wstring::npos; at = s.find(kCrLf, at + 2)) {
    const std::wstring_view next = std::wstring_view(s).substr(at + 2);
    if (next.empty() || next.starts_with(kCrLf) || (next.starts_with(L"  ") && next.size() > 3 && next[3] != L' ')) {
      end = at;
      break;
    }
  }
  std::wstring value;
  for (std::size_t i = start; i < end; ++i) {
    if (s[i] == L'\r') {
      if (i + 1 < end && s[i + 1] == L'\n') {
        value += kCrLf;
        ++i;
        while (i + 1 < end && s[i + 1] == L' ') ++i;
      }
      continue;
    }
    value += s[i];
  }
  for (std::size_t i = 1; i < value.size(); ++i) {
    if (value[i] == L'_' && value[i - 1] == L':') value[i] = L' ';
    else if (value[i] == L'.' && value[i - 1] == L'\n') value[i] = L' ';
    else if (value[i] == L'\r' && value[i - 1] == L'.') value[i - 1] = L' ';
  }
  std::size_t first = 0, last = value.size();
  while (first < last && value[first] <= L' ') ++first;
  while (last > first && value[last - 1] <= L' ') --last;
  return value.substr(first, last - first);
}

void TLogFile::SetItemValue(std::wstring_view id, std::wstring_view value, std::wstring_view caption, int index) {
  if (index < 0 || index >= Count()) return;
  std::wstring s = list_[static_cast<std::size_t>(index)];
  const std::size_t a = FindKey(s, id);
  if (a != std::wstring::npos) {
    const std::size_t b = s.find(L": ", a);
    if (b == std::wstring::npos) return;
    const std::size_t start = b + 2;
    const std::wstring indent = L"\r\n" + std::wstring(b - a, L' ');
    std::size_t end = s.size();
    for (std::size_t at = s.find(kCrLf, start); at != std::wstring::npos; at = s.find(kCrLf, at + 2)) {
      const std::wstring_view next = std::wstring_view(s).substr(at + 2);
      if (next.starts_with(L"  ") && !(next.size() >= 4 && next[2] == L' ' && next[3] == L' ')) {
        end = at;
        break;
      }
      if (next.starts_with(kCrLf)) {
        // An empty line ends the value unless the line after it is an item.
        const std::wstring_view after = next.substr(2);
        if (!(after.starts_with(L"  ") && after.size() > 2 && after[2] != L' ')) {
          end = at;
          break;
        }
      }
    }
    std::wstring replacement(value);
    ReplaceAll(replacement, kCrLf, indent);
    s.replace(start, end - start, replacement);
    if (!s.ends_with(L"\r\n\r\n\r\n")) s += kCrLf;
  } else {
    const std::size_t dot = id.find(L'.');
    if (dot == std::wstring_view::npos) return;
    const std::wstring section(id.substr(0, dot + 1));
    std::size_t p = std::wstring::npos;
    for (int number = 1; number <= 19; ++number) {
      const std::size_t at = s.find(L"\r\n  " + section + std::to_wstring(number) + L" ");
      if (at != std::wstring::npos) p = at;
    }
    if (p == std::wstring::npos) return;
    const std::size_t colon = s.find(L": ", p);
    const std::size_t gap = s.find(L"\r\n\r\n", p);
    if (colon == std::wstring::npos || gap == std::wstring::npos) return;
    const std::size_t width = colon - (p + 4);
    std::wstring label = std::wstring(id) + L" " + std::wstring(caption);
    if (label.size() < width) label.append(width - label.size(), L' ');
    s.insert(gap + 2, L"  " + label + L": " + std::wstring(value) + L"\r\n");
  }
  list_[static_cast<std::size_t>(index)] = std::move(s);
}

// ---- TLogFile: sections --------------------------------------------------------

std::wstring TLogFile::GetLogVersion(int index) const {
  if (index < 0 || index >= Count()) return {};
  const std::wstring& s = list_[static_cast<std::size_t>(index)];
  const std::wstring first_line = s.substr(0, s.find(kCrLf));
  return first_line.size() > 10 ? first_line.substr(10) : std::wstring();
}

bool TLogFile::GetCorruptedLog(int index) const {
  if (index < 0 || index >= Count()) return true;
  const std::wstring& s = list_[static_cast<std::size_t>(index)];
  if (!s.starts_with(L"VarnelLog") || s.find(kCallStackMarker) == std::wstring::npos) return true;
  return GetItemValue(kItemBugID, index).empty() && GetItemValue(kItemAddress, index).empty();
}

std::wstring TLogFile::GetItem_Generals(int index) const {
  if (index < 0 || index >= Count()) return {};
  const std::wstring& s = list_[static_cast<std::size_t>(index)];
  const std::size_t marker = s.find(kCallStackMarker);
  if (marker == std::wstring::npos) return {};
  const std::size_t underline = LineStart(s, marker);
  std::size_t end = underline >= 2 ? LineStart(s, underline - 2) : 0;
  while (end > 0 && (s[end - 1] == L'\r' || s[end - 1] == L'\n' || s[end - 1] == L' ')) --end;
  return s.substr(0, end);
}

std::wstring TLogFile::GetItem_CallStack(int index) const {
  if (index < 0 || index >= Count()) return {};
  const std::wstring& s = list_[static_cast<std::size_t>(index)];
  const std::size_t marker = s.find(kCallStackMarker);
  if (marker == std::wstring::npos) return {};
  const std::size_t end = s.find(kTableEnd, marker);
  if (end == std::wstring::npos) return {};
  const std::size_t start = LineStart(s, marker);
  return s.substr(start, end + kTableEnd.size() - start);
}

// The table under the `which`-th section underline after the call stack, or
// empty when no table follows it.
std::wstring TLogFile::SectionAfterHeader(const std::wstring& s, int which) const {
  const std::size_t marker = s.find(kCallStackMarker);
  if (marker == std::wstring::npos) return {};
  std::size_t at = marker;
  for (int n = 0; n < which; ++n) {
    at = s.find(kSectionUnderline, at + 1);
    if (at == std::wstring::npos) return {};
  }
  const std::size_t underline = at + 3;  // the underline line's first character
  const std::size_t next_line = s.find(kCrLf, underline);
  if (next_line == std::wstring::npos || next_line + 2 >= s.size() || s[next_line + 2] != L'|') return {};
  const std::size_t end = s.find(kTableEnd, underline);
  if (end == std::wstring::npos) return {};
  return s.substr(underline, end + kTableEnd.size() - underline);
}

std::wstring TLogFile::GetItem_Modules(int index) const {
  if (index < 0 || index >= Count()) return {};
  return SectionAfterHeader(list_[static_cast<std::size_t>(index)], 1);
}

std::wstring TLogFile::GetItem_Processes(int index) const {
  if (index < 0 || index >= Count() || GetLogVersion(index) < L"6.0") return {};
  return SectionAfterHeader(list_[static_cast<std::size_t>(index)], 2);
}

std::wstring TLogFile::GetItem_Assembler(int index) const {
  if (index < 0 || index >= Count() || GetLogVersion(index) < L"6.0") return {};
  const std::wstring& s = list_[static_cast<std::size_t>(index)];
  std::size_t at = s.find(kCallStackMarker);
  for (int n = 0; n < 3 && at != std::wstring::npos; ++n) at = s.find(kSectionUnderline, at + 1);
  if (at == std::wstring::npos) return {};
  const std::size_t start = s.find(kCrLf, at + 3);
  if (start == std::wstring::npos) return {};
  const std::size_t end = s.find(L"\r\n\r\n", start + 2);
  return s.substr(start + 2, (end == std::wstring::npos ? s.size() : end + 2) - (start + 2));
}

std::wstring TLogFile::GetItem_CPU(int index) const {
  if (index < 0 || index >= Count()) return {};
  const std::wstring& s = list_[static_cast<std::size_t>(index)];
  std::size_t at = s.find(kCallStackMarker);
  if (at == std::wstring::npos) return {};
  const int gaps = GetLogVersion(index) < L"6.0" ? 2 : 4;
  for (int n = 0; n < gaps; ++n) {
    at = s.find(L"\r\n\r\n", at);
    if (at == std::wstring::npos) return {};
    at += 4;
  }
  const std::size_t start = LineStart(s, at);
  std::size_t end = s.find(L"\r\n\r\n", start);
  if (end != std::wstring::npos) end = s.find(L"\r\n\r\n", end + 4);
  const std::wstring text = s.substr(start, end == std::wstring::npos ? std::wstring::npos : end + 2 - start);
  return text.find(L"EAX") == std::wstring::npos ? std::wstring() : text;
}

std::wstring TLogFile::GetItem_Reproduce(int index) const {
  if (index < 0 || index >= Count()) return {};
  const std::wstring& s = list_[static_cast<std::size_t>(index)];
  std::size_t at = std::wstring::npos;
  for (int n = 0; n < 3; ++n) {
    at = s.find(kCallStackMarker, at == std::wstring::npos ? 0 : at + 1);
    if (at == std::wstring::npos) return {};
  }
  for (int n = 0; n < 3; ++n) {
    at = s.find(kSectionUnderline, at + 1);
    if (at == std::wstring::npos) return {};
  }
  const std::size_t start = s.find(kCrLf, at + 3);
  if (start == std::wstring::npos) return {};
  const std::size_t end = s.find(L"\r\n\r\n", start + 2);
  return s.substr(start + 2, (end == std::wstring::npos ? s.size() : end + 2) - (start + 2));
}

}  // namespace zelvic::diag
