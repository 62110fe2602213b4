// TVarnelModuleOptions: what the diagnostics facility does for one module.
// Options live as text pairs in a name-value store; every typed accessor is
// generated from the catalogue (EOptionsCatalogue.inc), which also supplies
// the defaults, the computed defaults and the redirects of compatibility
// mode, so an options text holds only the keys that differ from the defaults.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/util/EVarnelLogErrors.h"
#include "diagnostics/config/ENameValues.h"
#include "diagnostics/config/EVLData.h"

namespace zelvic::diag {

// EFilters.h reaches up into the debug-information units; the options only
// own the list, so they name it here and include it in the source.
class TVarnelExceptionsFilters;

ZELVIC_DECLARE_ERROR(EOptionsError, EVarnelLogGeneralError)
ZELVIC_DECLARE_ERROR(ELoadOptionsError, EOptionsError)
ZELVIC_DECLARE_ERROR(EInvalidVersion, ELoadOptionsError)

// A stored number outside the range of its option (the run-time library's
// range error).
class ERangeError : public rt::Exception {
 public:
  using Exception::Exception;
  const wchar_t* ClassName() const noexcept override { return L"ERangeError"; }
};

// The options format this build writes.
inline constexpr std::uint16_t kCurrentOptionsVersion = 7007;

// Enumerations stored as their ordinals.
enum TTerminateBtnOperation : std::uint8_t { tbNone, tbTerminate, tbRestart };
enum TSourceExceptionKind : std::uint8_t { sekCustom, sekMerge, sekFirst, sekLast };
// The platform's WER dump types (named _WER_DUMP_TYPE there; a leading
// underscore and capital is reserved to the implementation in C++).
enum TWerDumpType : std::uint8_t {
  WerDumpTypeUnknown,
  WerDumpTypeMicroDump,
  WerDumpTypeMiniDump,
  WerDumpTypeHeapDump,
  WerDumpTypeMax
};
enum TSendScreenshot : std::uint8_t {
  ssNone,
  ssForegroundWindow,
  ssActiveWindow,
  ssApplication,
  ssWorkarea,
  ssPrimary,
  ssDesktop
};
enum TForegroundType : std::uint8_t { ftGeneral, ftCallStack, ftModules, ftProcesses, ftAssembler, ftCPU };
enum TVarnelLogThreadState : std::uint8_t { dtsDisabled, dtsEnabled, dtsRTLEnabled };

// The user-visible texts, keyed in the store by member name.
enum TMessageType : std::uint8_t {
#define VL_MESSAGE(Name, Default) Name,
#define VL_MESSAGE_RESERVED(Name) Name,
#include "diagnostics/config/EMessageTexts.inc"
#undef VL_MESSAGE
#undef VL_MESSAGE_RESERVED
};
inline constexpr std::size_t kMessageTypeCount = 183;

// Member name (the store key) of a message type; empty for the reserved one.
std::wstring_view MessageTypeName(TMessageType type) noexcept;
// The facility's built-in text of a message type.
std::wstring_view DefaultMessageText(TMessageType type) noexcept;

// System values that stand in for the private "_Override..." options.
enum TSystemValueKind : std::uint8_t {
  svRegisteredOrganization,
  svComputerName,
  svUserEMail,
  svRegisteredOwner,
  svLoggedOnUserName
};

// The catalogue as data.
enum class TOptionKind : std::uint8_t { Bool, Int, UInt32, UInt16, Text, Enum };
enum class TOptionRule : std::uint8_t {
  None,
  CompatibilityDefault,  // 1 when the format version is 1..6999
  WebPortBySSL,          // 443 with SSL, else 80
  DefaultFromKey,        // missing: the reference key's value, else the default
  FTPPortFromWebPort,    // WebPort when not 80 in compatibility mode
  FalseWhenKeyOn,        // false while the reference key is on
  LastOrFirst,           // anything but sekLast reads as sekFirst
  OutputFolder,          // per-user "Bug Reports" folder of the module
  HTMLPage,              // stored, multi-line, or the built-in page
  MailSenderFromList,    // first e-mail sender of "Sender Classes"
  WebSenderFromList,     // first web sender of "Sender Classes"
  AlwaysOn,              // report sections that cannot be switched off
  SystemValue,           // private override, else a system value
};

struct TOptionDef {
  const char* Property;
  TOptionKind Kind;
  const wchar_t* Key;          // empty: derived, never stored
  std::int64_t NumberDefault;  // for SystemValue rows: the TSystemValueKind
  const wchar_t* TextDefault;
  const wchar_t* CompatKey;    // read instead in compatibility mode
  TOptionRule Rule;
  const wchar_t* RuleKey;
};

#define VL_PLACEHOLDER_EMAIL L"your-name@example.com"
#define VL_PLACEHOLDER_MAIL_HOST L"mail.example.com"
#define VL_PLACEHOLDER_URL L"https://example.com/"

enum class TOptionId : std::uint16_t {
#define VL_OPTION(Prop, Kind, Type, Key, Num, Text, Compat, Rule, RuleKey) Prop,
#include "diagnostics/config/EOptionsCatalogue.inc"
#undef VL_OPTION
  Count_
};

std::span<const TOptionDef> OptionCatalogue() noexcept;
const TOptionDef& OptionDef(TOptionId id) noexcept;
// First catalogue row with that key, or nullptr.
const TOptionDef* FindOptionByKey(std::wstring_view key) noexcept;

// Text encodings of an options text.
enum class TOptionsEncoding : std::uint8_t { Detect, Ansi, Utf8, Utf16LE, Utf16BE };

// Hooks that tie the options to the rest of the facility. Empty slots leave
// texts unchanged and give empty system values.
struct TOptionsHooks {
  // Every resource text and customised text passes through it.
  std::wstring (*Translate)(const std::wstring& text) = nullptr;
  // Placeholder expansion of customised texts (system variables and the
  // environment).
  std::wstring (*ExpandVariables)(const std::wstring& text) = nullptr;
  // The system values of TSystemValueKind.
  std::wstring (*SystemValue)(TSystemValueKind kind) = nullptr;
  // The facility's per-user folder, with a trailing delimiter.
  std::wstring (*FacilityDataFolder)() = nullptr;
};
TOptionsHooks& OptionsHooks() noexcept;

// "{00112233-4455-6677-8899-AABBCCDDEEFF}" in the binary layout of a GUID
// (three little-endian words, then bytes); false when the text is no GUID.
bool ParseGuid(std::wstring_view text, std::array<std::uint8_t, 16>& out) noexcept;

class TVarnelModuleOptions {
 public:
  explicit TVarnelModuleOptions(std::wstring module_name = {});
  virtual ~TVarnelModuleOptions();
  TVarnelModuleOptions(const TVarnelModuleOptions&) = delete;
  TVarnelModuleOptions& operator=(const TVarnelModuleOptions&) = delete;

  // --- the store ---------------------------------------------------------
  // The pairs after derived state was written back.
  const TNameValueStorage& Storage() const;
  // For direct edits; changes refresh the derived state.
  TNameValueStorage& MutableStorage();

  const std::wstring& ModuleName() const noexcept { return module_name_; }
  std::uintptr_t ModuleHandle() const noexcept { return module_handle_; }
  std::uint16_t Version() const noexcept { return version_; }
  bool Active() const noexcept { return active_; }
  void SetActive(bool value) noexcept { active_ = value; }
  bool Loaded() const noexcept { return loaded_; }
  void SetLoaded(bool value) noexcept { loaded_ = value; }
  bool NeedUpdate() const noexcept { return need_update_; }
  std::function<void(TVarnelModuleOptions&)> DeleteNotify;

  // The module's exception filters, kept in the store under the "Filters_"
  // keys. The list is re-read at every refresh of the derived state; changes
  // made through it reach the store at the next write-back.
  TVarnelExceptionsFilters& ExceptionsFilters() noexcept { return *filters_; }
  const TVarnelExceptionsFilters& ExceptionsFilters() const noexcept { return *filters_; }

  // --- typed access through the catalogue ---------------------------------
  std::int64_t ReadNumber(TOptionId id) const;
  bool ReadBool(TOptionId id) const { return ReadNumber(id) != 0; }
  std::wstring ReadText(TOptionId id) const;
  void WriteNumber(TOptionId id, std::int64_t value);
  void WriteBool(TOptionId id, bool value) { WriteNumber(id, value ? 1 : 0); }
  void WriteText(TOptionId id, std::wstring value);

  template <typename T>
  T Read(TOptionId id) const {
    if constexpr (std::is_same_v<T, std::wstring>) {
      return ReadText(id);
    } else if constexpr (std::is_same_v<T, bool>) {
      return ReadBool(id);
    } else {
      return static_cast<T>(ReadNumber(id));
    }
  }
  template <typename T>
  void Write(TOptionId id, const T& value) {
    if constexpr (std::is_same_v<T, std::wstring>) {
      WriteText(id, value);
    } else {
      WriteNumber(id, static_cast<std::int64_t>(value));
    }
  }

  // One getter and one setter per catalogue row: Prop() and SetProp(value).
  // Setters of derived rows (no key) do nothing.
#define VL_OPTION(Prop, Kind, Type, Key, Num, Text, Compat, Rule, RuleKey) \
  Type Prop() const { return Read<Type>(TOptionId::Prop); }               \
  void Set##Prop(const Type& value) { Write<Type>(TOptionId::Prop, value); }
#include "diagnostics/config/EOptionsCatalogue.inc"
#undef VL_OPTION

  // --- any key -----------------------------------------------------------
  // Keys beginning with "_" are private: kept in memory, never saved.
  std::wstring GetCustomField(std::wstring_view name) const;
  void SetCustomField(std::wstring_view name, std::wstring value);
  std::int32_t GetCustomFieldInt(std::wstring_view name, std::int32_t default_value = 0) const;
  void SetCustomFieldInt(std::wstring_view name, std::int32_t value);
  bool GetCustomFieldBool(std::wstring_view name, bool default_value = false) const;
  void SetCustomFieldBool(std::wstring_view name, bool value);

  // --- project identifier ------------------------------------------------
  // The GUID of the "ProjectID" key in its binary layout; all zero when the
  // key is absent or not a GUID in braces.
  std::array<std::uint8_t, 16> ProjectId() const;

  // --- customised texts --------------------------------------------------
  std::wstring GetCustomizedTexts(TMessageType type) const;
  void SetCustomizedTexts(TMessageType type, std::wstring value);
  std::wstring GetCustomizedExpandedTexts(TMessageType type) const;

  // --- sender list -------------------------------------------------------
  // Inserts at `index`, or appends when it is negative.
  void AddSenderClass(const std::wstring& class_name, int index = -1);
  void RemoveSenderClass(const std::wstring& class_name);

  // --- the memory filter's record ----------------------------------------
  TMemoryFilterOptions MemoryFilterOptions() const;

  // --- whole-object operations -------------------------------------------
  virtual void SetToDefaultOptions();
  void Assign(std::nullptr_t) { SetToDefaultOptions(); }
  void Assign(const TNameValueStorage& source);
  void Assign(const std::vector<std::wstring>& lines);
  void Assign(const TVarnelModuleOptions& source);
  void AssignTo(TVarnelModuleOptions& destination) const { destination.Assign(*this); }
  void AssignTo(std::vector<std::wstring>& lines) const;
  std::wstring ToString() const;

  // Loads an options text (the inflated bytes of the options block, or a
  // file's contents). `version` 0 means "current, not given".
  virtual void LoadFromStream(std::span<const std::uint8_t> bytes, std::uint16_t version,
                              TOptionsEncoding encoding = TOptionsEncoding::Detect);
  // The options text: UTF-8 with byte-order mark (`bom`) or UTF-16LE without
  // one, or lines in the ANSI code page (`ansi`).
  virtual std::vector<std::uint8_t> SaveToStream(bool ansi, bool bom);
  virtual void SaveToFile(const std::wstring& file_name, bool ansi = false);
  virtual void LoadFromFile(const std::wstring& file_name);

  // Re-reads the derived state (version, filters, texts) from the store. A
  // damaged filter key (a bug identifier out of range) raises the range
  // error after the rest was read; the list is then empty and the store keeps
  // its keys, so nothing half-read is ever written back over them.
  void RefreshDerivedState();

 private:
  // The list tells its owner about every change so that it is written back.
  friend class TVarnelExceptionsFilters;
  void FiltersChanged() noexcept { need_update_ = true; }

  void WriteBackDerivedState() const;
  void OnStoreUpdate();
  std::int64_t ReadNumberByKey(std::wstring_view key, std::int64_t default_value) const;
  std::int64_t ReadNumberOf(const TOptionDef& def) const;
  std::wstring ReadTextOf(const TOptionDef& def) const;
  std::wstring DisplayModuleName() const;
  void LoadText(std::span<const std::uint8_t> bytes, std::uint16_t version, TOptionsEncoding encoding);

  // Derived state is written back from const readers, so these are mutable.
  mutable TNameValueStorage storage_;
  // Declared after the store: the list goes first when the object does.
  std::unique_ptr<TVarnelExceptionsFilters> filters_;
  std::wstring module_name_;
  std::uintptr_t module_handle_ = 0;
  mutable std::array<std::wstring, kMessageTypeCount> customized_texts_;
  mutable bool need_update_ = false;
  mutable bool writing_back_ = false;
  bool loaded_ = false;
  bool active_ = false;
  std::uint16_t version_ = kCurrentOptionsVersion;
};

// Built-in HTML pages of the web report (the HTMLLayout option).
std::wstring_view BuiltInHTMLLayout(bool legacy) noexcept;
// Sender class lists that EMailSendMode and WebSendMode pick from.
std::span<const wchar_t* const> MailSenderClassNames() noexcept;
std::span<const wchar_t* const> WebSenderClassNames() noexcept;

}  // namespace zelvic::diag
