#include "diagnostics/config/EOptions.h"


#include <cstdio>
#include <exception>
#include <limits>
#include <memory>
#include <new>

#include "diagnostics/config/EConfig.h"
#include "diagnostics/config/EFilters.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"
#include "diagnostics/util/ETextEncoding.h"
#include "platform/registry.h"
#include "platform/text_compare.h"
#include "runtime/hex_text.h"

namespace zelvic::diag {

namespace {

constexpr TOptionDef kCatalogue[] = {
#define VL_OPTION(Prop, Kind, Type, Key, Num, Text, Compat, Rule, RuleKey) \
  {#Prop, TOptionKind::Kind, Key, static_cast<std::int64_t>(Num), Text, Compat, TOptionRule::Rule, RuleKey},
#include "diagnostics/config/EOptionsCatalogue.inc"
#undef VL_OPTION
};
static_assert(std::size(kCatalogue) == static_cast<std::size_t>(TOptionId::Count_));

constexpr const wchar_t* kMessageNames[] = {
#define VL_MESSAGE(Name, Default) L## #Name,
#define VL_MESSAGE_RESERVED(Name) L"",
#include "diagnostics/config/EMessageTexts.inc"
#undef VL_MESSAGE
#undef VL_MESSAGE_RESERVED
};
constexpr const wchar_t* kMessageDefaults[] = {
#define VL_MESSAGE(Name, Default) Default,
#define VL_MESSAGE_RESERVED(Name) L"",
#include "diagnostics/config/EMessageTexts.inc"
#undef VL_MESSAGE
#undef VL_MESSAGE_RESERVED
};
static_assert(std::size(kMessageNames) == kMessageTypeCount);

// Where each option lands in the memory filter's record: byte, bit, key.
struct TMemoryFilterBit {
  std::uint8_t Byte;
  std::uint8_t Bit;
  const wchar_t* Key;
};
constexpr TMemoryFilterBit kMemoryFilterBits[] = {
    {0, 0, L"loCatchLeaks"},          {0, 1, L"loGroupsSonLeaks"},       {0, 2, L"loHideRTLLeaks"},
    {0, 3, L"loFreeAllLeaks"},        {0, 4, L"loCatchLeaksExceptions"}, {0, 5, L"loEnableMMDebugMode"},
    {0, 6, L"loEmptyFreedMemory"},    {0, 7, L"loShareMM"},              {1, 0, L"loAttemptToUseSharedMM"},
    {1, 1, L"loResCatchLeaks"},       {1, 2, L"loResHideRTLLeaks"},      {1, 3, L"loOnlyUnderIDE"},
    {1, 4, L"loResOnlyUnderIDE"},     {1, 5, L"loOnlyUnderDebugger"},    {1, 6, L"loResOnlyUnderDebugger"},
    {1, 7, L"loAllowManualActivation"}, {2, 0, L"loResAllowManualOverride"}, {2, 1, L"loRAWTracing"},
    {2, 2, L"loResRAWStackTrace"},
};

constexpr const wchar_t* kMailSenders[] = {L"TVLMailSimpleMAPISender", L"TVLMailMAPISender",
                                           L"TVLMailSMTPServerSender", L"TVLMailSMTPClientSender"};
constexpr const wchar_t* kWebSenders[] = {L"TVLWebBugZillaSender", L"TVLWebFogBugzSender", L"TVLWebMantisSender",
                                          L"TVLWebJIRASender",     L"TVLWebFTPSender",     L"TVLWebHTTPSender"};

constexpr wchar_t kVersionKey[] = L"VarnelLog Version";
constexpr wchar_t kCompatibilityKey[] = L"CompatibilityMode";
constexpr wchar_t kSenderClassesKey[] = L"Sender Classes";
constexpr wchar_t kHeaderLine[] = L"[Exception Log]";
constexpr wchar_t kTrailerLine[] = L"VarnelLog Last Line -->";

// Message types whose keys had other names before format version 500.
constexpr std::size_t kFirstRenamedText = 110;
constexpr std::size_t kLastRenamedText = 116;

constexpr wchar_t kLegacyHTMLLayout[] =
    L"<html>\r\n"
    L"<head><title>Internal Application Error</title></head>\r\n"
    L"<body>\r\n"
    L"<table border=\"0\" width=\"100%\"><tr><td><pre style=\"font-family: monospace\"><%HTML_TAG%></pre></td></tr>"
    L"</table>\r\n"
    L"</body>\r\n"
    L"</html>";
constexpr wchar_t kHTMLLayout[] =
    L"<html>\r\n"
    L"<head><title><%TITLE%></title></head>\r\n"
    L"<body>\r\n"
    L"<h1>Internal Application Error</h1>\r\n"
    L"<p><%EXCEPTION_MESSAGE%></p>\r\n"
    L"<p>The exception details were saved to log file. Contact site administrator.</p>\r\n"
    L"</body>\r\n"
    L"</html>";

bool ParseInt64(std::wstring_view text, std::int64_t& out) {
  if (!IsInt64Text(text)) return false;
  out = std::stoll(std::wstring(text));
  return true;
}

std::vector<std::wstring> SplitSenderList(const std::wstring& list) {
  std::vector<std::wstring> names;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = list.find(L';', start);
    const std::size_t stop = end == std::wstring::npos ? list.size() : end;
    std::wstring name = list.substr(start, stop - start);
    if (!name.empty()) names.push_back(std::move(name));
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  return names;
}

bool ListHas(const std::vector<std::wstring>& names, std::wstring_view name) {
  for (const auto& n : names) {
    if (EqualIgnoringCase(n, name)) return true;
  }
  return false;
}

bool IsReportFileName(const std::wstring& path) {
  const std::wstring_view ext = !path.empty() && path[0] == L'.' ? std::wstring_view(path) : ExtractFileExtPart(path);
  return EqualIgnoringCase(ext, L".vl") || EqualIgnoringCase(ext, L".vlf");
}

// --- text encodings -------------------------------------------------------

TOptionsEncoding DetectEncoding(std::span<const std::uint8_t> b, TOptionsEncoding without_mark) {
  switch (DetectByteOrderMark(b)) {
    case TByteOrderMark::Utf8: return TOptionsEncoding::Utf8;
    case TByteOrderMark::Utf16LE: return TOptionsEncoding::Utf16LE;
    case TByteOrderMark::Utf16BE: return TOptionsEncoding::Utf16BE;
    case TByteOrderMark::None: break;
  }
  return without_mark;
}

std::wstring DecodeText(std::span<const std::uint8_t> b, TOptionsEncoding encoding) {
  if (encoding == TOptionsEncoding::Detect) encoding = DetectEncoding(b, TOptionsEncoding::Utf16LE);
  switch (encoding) {
    case TOptionsEncoding::Utf8: return DecodeUtf8(SkipByteOrderMark(b, TByteOrderMark::Utf8));
    case TOptionsEncoding::Utf16LE: return DecodeUtf16(SkipByteOrderMark(b, TByteOrderMark::Utf16LE), false);
    case TOptionsEncoding::Utf16BE: return DecodeUtf16(SkipByteOrderMark(b, TByteOrderMark::Utf16BE), true);
    case TOptionsEncoding::Ansi:
    case TOptionsEncoding::Detect:
      break;
  }
  return platform::FromAnsiCodePage(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
}

std::wstring DefaultSystemValue(TSystemValueKind kind) {
  switch (kind) {
    case svRegisteredOrganization: return platform::RegisteredOrganization();
    case svComputerName: return platform::ComputerName();
    case svUserEMail: return GetUserEMail();
    case svRegisteredOwner: return platform::RegisteredOwner();
    case svLoggedOnUserName: return platform::LoggedOnUserName();
  }
  return {};
}

std::uint16_t VersionFromStored(std::int64_t v) {
  // Early data wrote 6000 to 6002 as 600 to 602.
  if (v >= 600 && v <= 602) v *= 10;
  if (v < 0 || v > 0xFFFF) return 0;
  return static_cast<std::uint16_t>(v);
}

}  // namespace

std::wstring_view MessageTypeName(TMessageType type) noexcept {
  return type < kMessageTypeCount ? kMessageNames[type] : L"";
}

std::wstring_view DefaultMessageText(TMessageType type) noexcept {
  return type < kMessageTypeCount ? kMessageDefaults[type] : L"";
}

std::span<const TOptionDef> OptionCatalogue() noexcept { return kCatalogue; }

const TOptionDef& OptionDef(TOptionId id) noexcept { return kCatalogue[static_cast<std::size_t>(id)]; }

const TOptionDef* FindOptionByKey(std::wstring_view key) noexcept {
  if (key.empty()) return nullptr;
  for (const TOptionDef& def : kCatalogue) {
    if (key == def.Key) return &def;
  }
  return nullptr;
}

TOptionsHooks& OptionsHooks() noexcept {
  static TOptionsHooks hooks;
  return hooks;
}

std::wstring_view BuiltInHTMLLayout(bool legacy) noexcept { return legacy ? kLegacyHTMLLayout : kHTMLLayout; }
std::span<const wchar_t* const> MailSenderClassNames() noexcept { return kMailSenders; }
std::span<const wchar_t* const> WebSenderClassNames() noexcept { return kWebSenders; }

// --- life --------------------------------------------------------------------

TVarnelModuleOptions::TVarnelModuleOptions(std::wstring module_name)
    : module_name_(std::move(module_name)), module_handle_(platform::LoadedModuleByName(module_name_)) {
  storage_.SetOnUpdate([this] { OnStoreUpdate(); });
  filters_ = std::make_unique<TVarnelExceptionsFilters>(this);
  SetToDefaultOptions();
}

TVarnelModuleOptions::~TVarnelModuleOptions() {
  if (DeleteNotify) {
    try {
      DeleteNotify(*this);
    } catch (...) {
      // A listener's failure must not escape a destructor.
    }
  }
}

// --- store and derived state ---------------------------------------------------

const TNameValueStorage& TVarnelModuleOptions::Storage() const {
  WriteBackDerivedState();
  return storage_;
}

TNameValueStorage& TVarnelModuleOptions::MutableStorage() {
  WriteBackDerivedState();
  return storage_;
}

void TVarnelModuleOptions::OnStoreUpdate() {
  if (!writing_back_) RefreshDerivedState();
}

void TVarnelModuleOptions::WriteBackDerivedState() const {
  if (!need_update_ || writing_back_) return;
  // The store notifies while the filters are written; a refresh then would
  // re-read a half-written store over the state being written. The flag must
  // also drop when a write fails, or no refresh would ever run again.
  struct TWritingBack {
    bool& flag;
    ~TWritingBack() { flag = false; }
  } writing{writing_back_};
  writing_back_ = true;
  storage_.SetValueQuietly(kVersionKey, std::to_wstring(version_));
  filters_->AssignTo(storage_);
  for (std::size_t i = 0; i < kMessageTypeCount; ++i) {
    const std::wstring name = kMessageNames[i];
    if (name.empty()) continue;
    // A text kept in the multi-line form would win over the single value at
    // the next refresh; the single value is now the text.
    const std::wstring count_key = L"Count " + name;
    const std::ptrdiff_t count_index = storage_.IndexOfName(count_key);
    if (count_index >= 0) {
      std::int64_t count = 0;
      ParseInt64(storage_.GetValueFromIndex(static_cast<std::size_t>(count_index)), count);
      const TNameValueUpdate update(storage_);
      storage_.Delete(static_cast<std::size_t>(count_index));
      for (std::int64_t k = 0; k < count; ++k) {
        const std::ptrdiff_t line = storage_.IndexOfName(name + std::to_wstring(k));
        if (line >= 0) storage_.Delete(static_cast<std::size_t>(line));
      }
    }
    storage_.SetValueQuietly(name, customized_texts_[i]);
  }
  need_update_ = false;
}

void TVarnelModuleOptions::RefreshDerivedState() {
  WriteBackDerivedState();
  version_ = VersionFromStored(ReadNumberByKey(kVersionKey, 400));
  // Half a list would be written back over the keys it came from at the next
  // change: a failed read leaves it empty, the texts are still read, and the
  // error goes on once the state is whole.
  std::exception_ptr filters_error;
  try {
    filters_->Assign(storage_);
  } catch (...) {
    filters_->Clear();
    filters_error = std::current_exception();
  }
  for (std::size_t i = 0; i < kMessageTypeCount; ++i) {
    customized_texts_[i] = kMessageDefaults[i];
    std::wstring name = kMessageNames[i];
    if (name.empty()) continue;
    if (version_ < 500 && i >= kFirstRenamedText && i <= kLastRenamedText) name = L"mtSMTP" + name.substr(6);
    const std::wstring count_key = L"Count " + name;
    if (storage_.HasName(count_key)) {
      const std::int64_t count = ReadNumberByKey(count_key, 0);
      std::wstring text;
      for (std::int64_t k = 0; k < count; ++k) {
        std::wstring line = storage_.GetValue(name + std::to_wstring(k));
        if (line.size() >= 2 && line.front() == L'"' && line.back() == L'"') line = line.substr(1, line.size() - 2);
        if (k > 0) text += L"\r\n";
        text += line;
      }
      customized_texts_[i] = std::move(text);
    } else if (storage_.HasName(name)) {
      customized_texts_[i] = storage_.GetValue(name);
    }
  }
  // Reading the filters marked them changed; they equal the store now.
  need_update_ = false;
  if (filters_error) std::rethrow_exception(filters_error);
}

// --- typed access ---------------------------------------------------------------

std::int64_t TVarnelModuleOptions::ReadNumberByKey(std::wstring_view key, std::int64_t default_value) const {
  const std::ptrdiff_t i = storage_.IndexOfName(key);
  if (i < 0) return default_value;
  std::int64_t v = 0;
  if (!ParseInt64(storage_.GetValueFromIndex(static_cast<std::size_t>(i)), v)) return default_value;
  return v;
}

std::int64_t TVarnelModuleOptions::ReadNumber(TOptionId id) const { return ReadNumberOf(OptionDef(id)); }

std::int64_t TVarnelModuleOptions::ReadNumberOf(const TOptionDef& def) const {
  if (def.Kind == TOptionKind::Text) return 0;
  if (def.Rule == TOptionRule::AlwaysOn) return 1;
  if (*def.CompatKey != L'\0' && CompatibilityMode()) {
    if (const TOptionDef* older = FindOptionByKey(def.CompatKey)) return ReadNumberOf(*older);
  }
  std::int64_t fallback = def.NumberDefault;
  switch (def.Rule) {
    case TOptionRule::CompatibilityDefault:
      fallback = version_ >= 1 && version_ <= 6999 ? 1 : 0;
      break;
    case TOptionRule::WebPortBySSL:
      fallback = ReadNumberOf(*FindOptionByKey(def.RuleKey)) != 0 ? 443 : 80;
      break;
    case TOptionRule::DefaultFromKey:
      if (const TOptionDef* ref = FindOptionByKey(def.RuleKey)) {
        fallback = ReadNumberOf(*ref);
      } else {
        fallback = ReadNumberByKey(def.RuleKey, def.NumberDefault);
      }
      break;
    case TOptionRule::FTPPortFromWebPort: {
      const std::int64_t web_port = ReadNumber(TOptionId::WebPort);
      if (web_port != 80 && CompatibilityMode()) return web_port;
      break;
    }
    case TOptionRule::FalseWhenKeyOn:
      if (ReadNumberOf(*FindOptionByKey(def.RuleKey)) != 0) return 0;
      break;
    case TOptionRule::LastOrFirst:
      return ReadNumberByKey(def.Key, def.NumberDefault) == sekLast ? sekLast : sekFirst;
    default:
      break;
  }
  if (*def.Key == L'\0') return fallback;
  std::int64_t v = ReadNumberByKey(def.Key, fallback);
  switch (def.Kind) {
    case TOptionKind::UInt32:
      // Stored either as the unsigned number or as its signed 32-bit twin.
      if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::uint32_t>::max()) v = fallback;
      return static_cast<std::uint32_t>(v);
    case TOptionKind::UInt16:
      if (v < 0 || v > 0xFFFF) throw ERangeError(L"Range check error");
      return v;
    default:
      if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) v = fallback;
      return v;
  }
}

std::wstring TVarnelModuleOptions::ReadText(TOptionId id) const { return ReadTextOf(OptionDef(id)); }

std::wstring TVarnelModuleOptions::ReadTextOf(const TOptionDef& def) const {
  if (def.Kind != TOptionKind::Text) return std::to_wstring(ReadNumberOf(def));
  if (*def.CompatKey != L'\0' && CompatibilityMode()) {
    if (const TOptionDef* older = FindOptionByKey(def.CompatKey)) return ReadTextOf(*older);
  }
  const std::ptrdiff_t index = *def.Key != L'\0' ? storage_.IndexOfName(def.Key) : -1;
  const bool stored = index >= 0;
  switch (def.Rule) {
    case TOptionRule::OutputFolder: {
      if (!stored) {
        if (CompatibilityMode()) return {};
        const auto& hooks = OptionsHooks();
        const std::wstring base = hooks.FacilityDataFolder ? hooks.FacilityDataFolder() : FacilityDataFolder();
        return base + L"Bug Reports\\" + ExtractFileNamePart(module_name_) + L"\\";
      }
      std::wstring path = storage_.GetValueFromIndex(static_cast<std::size_t>(index));
      if (!path.empty() && !IsReportFileName(path) && path.back() != L'\\' && path.back() != L'/') path += L'\\';
      return path;
    }
    case TOptionRule::HTMLPage: {
      if (stored) return storage_.GetValueFromIndex(static_cast<std::size_t>(index));
      if (storage_.HasName(def.RuleKey)) {
        const std::int64_t count = ReadNumberByKey(def.RuleKey, 0);
        std::wstring page;
        for (std::int64_t k = 0; k < count; ++k) {
          std::wstring line = storage_.GetValue(L"HTMLLine" + std::to_wstring(k));
          if (line.size() >= 2 && line.front() == L'"' && line.back() == L'"') line = line.substr(1, line.size() - 2);
          if (k > 0) page += L"\r\n";
          page += line;
        }
        return page;
      }
      return std::wstring(BuiltInHTMLLayout(version_ < 7000 || CompatibilityMode()));
    }
    case TOptionRule::MailSenderFromList:
    case TOptionRule::WebSenderFromList: {
      const auto names = SplitSenderList(storage_.GetValue(def.RuleKey));
      const bool mail = def.Rule == TOptionRule::MailSenderFromList;
      for (const wchar_t* candidate : mail ? MailSenderClassNames() : WebSenderClassNames()) {
        if (ListHas(names, candidate)) return candidate;
      }
      if (mail && ListHas(names, L"TVLMailSMTPSender")) {
        return GetCustomFieldBool(L"_SMTPServerMode") ? L"TVLMailSMTPServerSender" : L"TVLMailSMTPClientSender";
      }
      return {};
    }
    case TOptionRule::SystemValue: {
      if (stored) return storage_.GetValueFromIndex(static_cast<std::size_t>(index));
      const auto kind = static_cast<TSystemValueKind>(def.NumberDefault);
      const auto& hooks = OptionsHooks();
      return hooks.SystemValue ? hooks.SystemValue(kind) : DefaultSystemValue(kind);
    }
    default:
      return stored ? storage_.GetValueFromIndex(static_cast<std::size_t>(index)) : std::wstring(def.TextDefault);
  }
}

void TVarnelModuleOptions::WriteNumber(TOptionId id, std::int64_t value) {
  const TOptionDef& def = OptionDef(id);
  if (*def.Key == L'\0') return;
  if (def.Kind == TOptionKind::Text) {
    storage_.SetValueQuietly(def.Key, std::to_wstring(value));
    return;
  }
  if (def.Kind == TOptionKind::Bool) value = value != 0 ? 1 : 0;
  storage_.SetValueQuietly(def.Key, std::to_wstring(value));
}

void TVarnelModuleOptions::WriteText(TOptionId id, std::wstring value) {
  const TOptionDef& def = OptionDef(id);
  if (*def.Key == L'\0') return;
  storage_.SetValueQuietly(def.Key, std::move(value));
}

// --- any key -------------------------------------------------------------------

// Any key may be one the derived state keeps (a filter, a text, the
// version): pending changes are written back before it is read.
std::wstring TVarnelModuleOptions::GetCustomField(std::wstring_view name) const {
  WriteBackDerivedState();
  return storage_.GetValue(name);
}

void TVarnelModuleOptions::SetCustomField(std::wstring_view name, std::wstring value) {
  storage_.SetValueQuietly(name, std::move(value));
}

std::int32_t TVarnelModuleOptions::GetCustomFieldInt(std::wstring_view name, std::int32_t default_value) const {
  WriteBackDerivedState();
  const std::int64_t v = ReadNumberByKey(name, default_value);
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
    return default_value;
  }
  return static_cast<std::int32_t>(v);
}

void TVarnelModuleOptions::SetCustomFieldInt(std::wstring_view name, std::int32_t value) {
  storage_.SetValueQuietly(name, std::to_wstring(value));
}

bool TVarnelModuleOptions::GetCustomFieldBool(std::wstring_view name, bool default_value) const {
  return GetCustomFieldInt(name, default_value ? 1 : 0) != 0;
}

void TVarnelModuleOptions::SetCustomFieldBool(std::wstring_view name, bool value) {
  storage_.SetValueQuietly(name, value ? L"1" : L"0");
}

// --- customised texts ------------------------------------------------------------

std::wstring TVarnelModuleOptions::GetCustomizedTexts(TMessageType type) const {
  if (type >= kMessageTypeCount) return {};
  const auto& hooks = OptionsHooks();
  return hooks.Translate ? hooks.Translate(customized_texts_[type]) : customized_texts_[type];
}

void TVarnelModuleOptions::SetCustomizedTexts(TMessageType type, std::wstring value) {
  if (type >= kMessageTypeCount) return;
  customized_texts_[type] = std::move(value);
  need_update_ = true;
}

std::wstring TVarnelModuleOptions::GetCustomizedExpandedTexts(TMessageType type) const {
  const std::wstring text = GetCustomizedTexts(type);
  const auto& hooks = OptionsHooks();
  return hooks.ExpandVariables ? hooks.ExpandVariables(text) : text;
}

// --- sender list -------------------------------------------------------------------

void TVarnelModuleOptions::AddSenderClass(const std::wstring& class_name, int index) {
  std::vector<std::wstring> names = SplitSenderList(storage_.GetValue(kSenderClassesKey));
  if (index < 0 || static_cast<std::size_t>(index) >= names.size()) {
    names.push_back(class_name);
  } else {
    names.insert(names.begin() + index, class_name);
  }
  std::wstring list;
  for (const auto& n : names) {
    if (!list.empty()) list += L';';
    list += n;
  }
  storage_.SetValueQuietly(kSenderClassesKey, std::move(list));
}

void TVarnelModuleOptions::RemoveSenderClass(const std::wstring& class_name) {
  std::vector<std::wstring> names = SplitSenderList(storage_.GetValue(kSenderClassesKey));
  for (auto it = names.begin(); it != names.end(); ++it) {
    if (*it == class_name) {
      names.erase(it);
      break;
    }
  }
  std::wstring list;
  for (const auto& n : names) {
    if (!list.empty()) list += L';';
    list += n;
  }
  storage_.SetValueQuietly(kSenderClassesKey, std::move(list));
}

// --- memory filter record ------------------------------------------------------------

bool ParseGuid(std::wstring_view text, std::array<std::uint8_t, 16>& out) noexcept {
  if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') return false;
  std::uint8_t b[16];
  int n = 0;
  int high = -1;
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    const wchar_t c = text[i];
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (c != L'-') return false;
      continue;
    }
    int v;
    if (c >= L'0' && c <= L'9') v = c - L'0';
    else if (c >= L'A' && c <= L'F') v = c - L'A' + 10;
    else if (c >= L'a' && c <= L'f') v = c - L'a' + 10;
    else return false;
    if (high < 0) {
      high = v;
    } else {
      b[n++] = static_cast<std::uint8_t>(high << 4 | v);
      high = -1;
    }
  }
  if (n != 16) return false;
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; ++i) out[static_cast<std::size_t>(i)] = b[kOrder[i]];
  return true;
}

std::array<std::uint8_t, 16> TVarnelModuleOptions::ProjectId() const {
  std::array<std::uint8_t, 16> id{};
  if (!ParseGuid(GetCustomField(L"ProjectID"), id)) id.fill(0);
  return id;
}

TMemoryFilterOptions TVarnelModuleOptions::MemoryFilterOptions() const {
  TMemoryFilterOptions record;
  for (const TMemoryFilterBit& bit : kMemoryFilterBits) {
    if (ReadNumberOf(*FindOptionByKey(bit.Key)) != 0) {
      record.Bytes[bit.Byte] = static_cast<std::uint8_t>(record.Bytes[bit.Byte] | (1u << bit.Bit));
    }
  }
  return record;
}

// --- whole-object operations ---------------------------------------------------------

void TVarnelModuleOptions::SetToDefaultOptions() {
  const bool compatibility = CompatibilityMode();
  {
    const TNameValueUpdate update(storage_);
    storage_.Clear();
    storage_.SetValueQuietly(kVersionKey, std::to_wstring(kCurrentOptionsVersion));
    filters_->Clear();
    storage_.SetValueQuietly(kCompatibilityKey, compatibility ? L"1" : L"0");
    // Defaults replace every customisation, written back or not; clearing
    // the filters marked them changed, and writing that back would add filter
    // keys to a store that should hold the version and the mode only.
    need_update_ = false;
  }
  RefreshDerivedState();
  active_ = true;
}

void TVarnelModuleOptions::Assign(const TNameValueStorage& source) {
  if (&source == &storage_) return;
  const TNameValueUpdate update(storage_);
  need_update_ = false;
  storage_.Assign(&source);
}

void TVarnelModuleOptions::Assign(const std::vector<std::wstring>& lines) {
  const TNameValueUpdate update(storage_);
  need_update_ = false;
  storage_.AssignLines(lines);
}

void TVarnelModuleOptions::Assign(const TVarnelModuleOptions& source) {
  if (&source == this) return;
  source.WriteBackDerivedState();
  const TNameValueUpdate update(storage_);
  need_update_ = false;
  storage_.Assign(&source.storage_);
  active_ = source.active_;
  if (module_name_.empty()) {
    module_name_ = source.module_name_;
    module_handle_ = source.module_handle_;
  }
}

void TVarnelModuleOptions::AssignTo(std::vector<std::wstring>& lines) const {
  WriteBackDerivedState();
  storage_.AssignTo(lines);
}

std::wstring TVarnelModuleOptions::ToString() const {
  WriteBackDerivedState();
  return storage_.Text();
}

std::wstring TVarnelModuleOptions::DisplayModuleName() const {
  if (module_name_.empty()) return rt::Hex8(static_cast<std::uint32_t>(module_handle_));
  return ExtractFileNamePart(module_name_);
}

void TVarnelModuleOptions::LoadText(std::span<const std::uint8_t> bytes, std::uint16_t version,
                                    TOptionsEncoding encoding) {
  std::vector<std::wstring> lines = SplitLines(DecodeText(bytes, encoding));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == kHeaderLine) {
      lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      break;
    }
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == kTrailerLine) {
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i), lines.end());
      break;
    }
  }
  storage_.AssignLines(lines);
  if (version != 0 && !storage_.HasName(kVersionKey)) storage_.SetValueQuietly(kVersionKey, std::to_wstring(version));
  version_ = VersionFromStored(ReadNumberByKey(kVersionKey, version));
  if (!storage_.HasName(kCompatibilityKey)) {
    storage_.SetValueQuietly(kCompatibilityKey, ReadNumberByKey(kVersionKey, 7000) < 7000 ? L"1" : L"0");
  }
}

void TVarnelModuleOptions::LoadFromStream(std::span<const std::uint8_t> bytes, std::uint16_t version,
                                          TOptionsEncoding encoding) {
  auto fail = [this] {
    SetToDefaultOptions();
    version_ = kCurrentOptionsVersion;
    need_update_ = true;
  };
  auto damaged = [this](const std::wstring& reason) {
    return ELoadOptionsError(L"VarnelLog options for module \"" + DisplayModuleName() +
                             L"\" are damaged or have unsupported format:\r\n" + reason);
  };
  try {
    {
      const TNameValueUpdate update(storage_);
      SetToDefaultOptions();
      if (version == 0) {
        version_ = kCurrentOptionsVersion;
      } else {
        version_ = version;
        storage_.SetValueQuietly(kVersionKey, std::to_wstring(version));
      }
      storage_.SetValueQuietly(kCompatibilityKey, version_ >= 1 && version_ <= 6999 ? L"1" : L"0");
      if (version_ < 7000) {
        storage_.SetValueQuietly(kCompatibilityKey, L"1");
        storage_.SetValueQuietly(kVersionKey, std::to_wstring(version_));
        // The binary option format of those versions is not read by this
        // build; such data never reaches it from its own module.
        throw ELoadOptionsError(L"Options format version " + std::to_wstring(version_) + L" is not supported");
      }
      LoadText(bytes, version, encoding);
    }
    RefreshDerivedState();
    if (version_ <= 400) throw EInvalidVersion(L"Options format is invalid - no version token found");
  } catch (const ELoadOptionsError& e) {
    const std::wstring reason = e.Message();
    fail();
    throw damaged(reason);
  } catch (const std::bad_alloc&) {
    fail();
    throw damaged(L"Out of memory");
  } catch (...) {
    // Any other failure also leaves the options at their defaults, and goes
    // on unchanged.
    fail();
    throw;
  }
}

std::vector<std::uint8_t> TVarnelModuleOptions::SaveToStream(bool ansi, bool bom) {
  WriteBackDerivedState();
  version_ = kCurrentOptionsVersion;
  storage_.SetValueQuietly(kVersionKey, std::to_wstring(kCurrentOptionsVersion));
  std::vector<std::wstring> lines = storage_.TextLines();
  std::erase_if(lines, [](const std::wstring& line) { return line.empty() || line[0] == L'=' || line[0] == L'_'; });
  std::vector<std::uint8_t> out;
  if (ansi) {
    for (const auto& line : lines) {
      const std::string bytes = platform::ToAnsiCodePage(line);
      out.insert(out.end(), bytes.begin(), bytes.end());
      out.push_back('\r');
      out.push_back('\n');
    }
    return out;
  }
  std::wstring text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += L"\r\n";
    text += lines[i];
  }
  text = Trim(text);
  if (bom) {
    out = {0xEF, 0xBB, 0xBF};
    AppendUtf8(out, text);
  } else {
    AppendUtf16LE(out, text);
  }
  return out;
}

namespace {

struct TFileCloser {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using TFilePtr = std::unique_ptr<std::FILE, TFileCloser>;

}  // namespace

void TVarnelModuleOptions::SaveToFile(const std::wstring& file_name, bool ansi) {
  std::vector<std::uint8_t> bytes;
  if (ansi) {
    for (const char* p = "[Exception Log]\r\n"; *p; ++p) bytes.push_back(static_cast<std::uint8_t>(*p));
  } else {
    bytes = {0xFF, 0xFE};
    AppendUtf16LE(bytes, std::wstring(kHeaderLine) + L"\r\n");
  }
  const std::vector<std::uint8_t> body = SaveToStream(ansi, false);
  bytes.insert(bytes.end(), body.begin(), body.end());
  TFilePtr file(_wfopen(file_name.c_str(), L"wb"));
  if (!file) throw EOptionsError(L"Cannot create file \"" + file_name + L"\"");
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
    throw EOptionsError(L"Cannot write file \"" + file_name + L"\"");
  }
}

void TVarnelModuleOptions::LoadFromFile(const std::wstring& file_name) {
  std::vector<std::uint8_t> bytes;
  {
    TFilePtr file(_wfopen(file_name.c_str(), L"rb"));
    if (!file) throw EOptionsError(L"Cannot open file \"" + file_name + L"\"");
    std::uint8_t buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, file.get())) > 0) bytes.insert(bytes.end(), buf, buf + n);
  }
  const std::span<const std::uint8_t> all(bytes);
  // An external debug-information file carries the options at an offset.
  if (all.size() >= 10 && all[0] == 'J' && all[1] == 'D' && all[2] == 'B' && all[3] == 'G') {
    const std::uint16_t version = static_cast<std::uint16_t>(all[4] | (all[5] << 8));
    const std::uint32_t offset = static_cast<std::uint32_t>(all[6] | (all[7] << 8) | (all[8] << 16)) |
                                 (static_cast<std::uint32_t>(all[9]) << 24);
    LoadFromStream(offset <= all.size() ? all.subspan(offset) : all.subspan(all.size()), version,
                   TOptionsEncoding::Detect);
    return;
  }
  LoadFromStream(all, kCurrentOptionsVersion, DetectEncoding(all.first(std::min<std::size_t>(all.size(), 10)),
                                                             TOptionsEncoding::Ansi));
}

}  // namespace zelvic::diag
