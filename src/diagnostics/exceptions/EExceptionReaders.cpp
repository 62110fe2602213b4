#include "diagnostics/exceptions/EExceptionReaders.h"

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/debuginfo/EUnmangling.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/ETextEncoding.h"
#include "platform/pe_access.h"
#include "platform/process.h"
#include "runtime/exceptions.h"
#include "runtime/hex_text.h"

namespace zelvic::diag {

// ---------------------------------------------------------------------------
// Reading foreign memory: every read is preceded by a test of its exact
// bytes, so a reader never faults on a wild pointer.
namespace {

bool Readable(std::uintptr_t address, std::uint32_t size) noexcept {
  // The first page is never mapped; a small value is a number, not a pointer.
  if (address < 0x10000 || address + size < address) return false;
  return platform::ReadableLength(address, size) >= size;
}

bool ReadWord(std::uintptr_t address, std::uint32_t& value) noexcept {
  if (!Readable(address, 4)) return false;
  std::memcpy(&value, reinterpret_cast<const void*>(address), 4);
  return true;
}

// A length-prefixed 8-bit string.
bool ReadShortString(std::uintptr_t address, std::string& text) noexcept {
  if (!Readable(address, 1)) return false;
  const std::uint8_t length = *reinterpret_cast<const std::uint8_t*>(address);
  if (length == 0 || !Readable(address + 1, length)) return false;
  try {
    text.assign(reinterpret_cast<const char*>(address + 1), length);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool IsIdentifier(std::string_view name, bool allow_high) noexcept {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    const bool high = c >= 128;
    if (high && !allow_high) return false;
    if (letter || high) continue;
    if (i > 0 && c >= '0' && c <= '9') continue;
    return false;
  }
  return true;
}

// Zero-terminated texts of foreign objects, read in small readable steps;
// a text longer than this is not a message.
constexpr std::uint32_t kMaxForeignText = 32768;

template <typename Char>
bool ReadZeroTerminated(std::uintptr_t address, std::basic_string<Char>& text) noexcept {
  text.clear();
  if (address == 0) return true;
  try {
    for (std::uint32_t i = 0; i < kMaxForeignText; ++i) {
      const std::uintptr_t at = address + i * sizeof(Char);
      if (!Readable(at, sizeof(Char))) return false;
      Char c;
      std::memcpy(&c, reinterpret_cast<const void*>(at), sizeof(Char));
      if (c == 0) return true;
      text.push_back(c);
    }
  } catch (const std::bad_alloc&) {
  }
  return false;
}

struct TLayout {
  std::int32_t Area, ClassName, InstanceSize, Parent, AutoTable;
};

// Offsets from the class pointer, by layout kind. Kind 3 is never detected
// but is understood when another module's cache holds it.
bool LayoutOf(std::uint8_t kind, TLayout& layout) noexcept {
  if (kind == 2) {
    layout = {48, -28, -24, -20, 0};
  } else if (kind == 3) {
    layout = {48, -32, -28, -24, 0};
  } else if (kind >= 4 && kind <= 11 && kind != 8) {
    layout = {76, -44, -40, -36, -68};
  } else if (kind >= 12 && kind <= 17 && kind != 13) {
    layout = {88, -56, -52, -48, -80};
  } else {
    return false;
  }
  return true;
}

bool ClassNameAt(std::uintptr_t class_pointer, const TLayout& layout, std::string& name) noexcept {
  std::uint32_t name_pointer = 0;
  return ReadWord(class_pointer + layout.ClassName, name_pointer) && ReadShortString(name_pointer, name);
}

bool ParentOf(std::uintptr_t class_pointer, const TLayout& layout, std::uintptr_t& parent) noexcept {
  std::uint32_t slot = 0;
  if (!ReadWord(class_pointer + layout.Parent, slot)) return false;
  if (slot == 0) {
    parent = 0;
    return true;
  }
  std::uint32_t value = 0;
  if (!ReadWord(slot, value)) return false;
  parent = value;
  return true;
}

// A class chain longer than this is a loop in damaged memory.
constexpr int kMaxClassDepth = 64;

std::uintptr_t ModuleCacheKey(std::uintptr_t address) noexcept {
  return platform::ModuleBaseOf(reinterpret_cast<const void*>(address));
}

// The module list's cache of layout kinds; a class outside every module
// (made at run time) has no entry.
std::int32_t CachedKind(std::uintptr_t module) noexcept {
  if (module == 0) return 0;
  try {
    return ModuleDelphiVersion(module);
  } catch (...) {
    // A cache that cannot be asked (shut-down, no memory) knows nothing.
    return 0;
  }
}

void CacheKind(std::uintptr_t module, std::uint8_t kind) noexcept {
  if (module == 0) return;
  try {
    SetModuleDelphiVersion(module, kind);
  } catch (...) {
    // The cache is a shortcut only.
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Foreign object layouts.

std::uint8_t DetectLayoutKind(std::uintptr_t class_pointer) noexcept {
  if (class_pointer == 0) return 0;
  const std::int32_t cached = CachedKind(ModuleCacheKey(class_pointer));
  if (cached > 0 && cached < 256) return static_cast<std::uint8_t>(cached);
  std::uint8_t kind = 0;
  struct TCandidate {
    std::uint8_t Kind;
    bool AllowHigh;
  };
  for (const TCandidate candidate : {TCandidate{17, true}, TCandidate{11, true}, TCandidate{2, false}}) {
    TLayout layout{};
    LayoutOf(candidate.Kind, layout);
    if (class_pointer < static_cast<std::uintptr_t>(layout.Area) || !Readable(class_pointer - layout.Area, layout.Area))
      continue;
    if (layout.AutoTable != 0) {
      std::uint32_t auto_table = 1;
      if (!ReadWord(class_pointer + layout.AutoTable, auto_table) || auto_table != 0) continue;
    }
    std::string name;
    if (!ClassNameAt(class_pointer, layout, name) || !IsIdentifier(name, candidate.AllowHigh)) continue;
    kind = candidate.Kind;
    break;
  }
  if (kind > 0) CacheKind(ModuleCacheKey(class_pointer), kind);
  return kind;
}

bool ReadForeignClassName(std::uintptr_t class_pointer, std::uint8_t kind, std::string& name) noexcept {
  TLayout layout{};
  return LayoutOf(kind, layout) && ClassNameAt(class_pointer, layout, name);
}

bool IsValidForeignObject(std::uintptr_t object, std::uint8_t kind) noexcept {
  TLayout layout{};
  std::uint32_t class_pointer = 0;
  if (!LayoutOf(kind, layout) || !ReadWord(object, class_pointer)) return false;
  std::uintptr_t current = class_pointer;
  for (int depth = 0; depth < kMaxClassDepth && current != 0; ++depth) {
    std::uint32_t instance_size = 0;
    std::string name;
    if (!ReadWord(current + layout.InstanceSize, instance_size) || instance_size <= 3) return false;
    if (!ClassNameAt(current, layout, name)) return false;
    if (name == "TObject") return true;
    if (!ParentOf(current, layout, current)) return false;
  }
  return false;
}

bool ForeignClassDescendsFrom(std::uintptr_t class_pointer, std::uint8_t kind, std::string_view wanted) noexcept {
  TLayout layout{};
  if (!LayoutOf(kind, layout)) return false;
  std::uintptr_t current = class_pointer;
  for (int depth = 0; depth < kMaxClassDepth && current != 0; ++depth) {
    std::string name;
    if (!ClassNameAt(current, layout, name)) return false;
    if (name == wanted) return true;
    if (!ParentOf(current, layout, current)) return false;
  }
  return false;
}

// ---------------------------------------------------------------------------
// C++ types.

std::wstring DemangledTypeName(const std::type_info& type) {
  std::wstring plain;
  if (DemangleTypeName(type.name(), plain)) return plain;
  const char* mangled = type.name();
  if (*mangled == '*') ++mangled;  // GCC marks types local to a unit
  return DecodeUtf8(std::span(reinterpret_cast<const std::uint8_t*>(mangled), std::strlen(mangled)));
}

bool CxxTypeIs(const std::type_info& type, const std::type_info& base, void*& object) noexcept {
  // The catch matcher of the C++ runtime: it walks the base classes and
  // adjusts the pointer to the sub-object, as a `catch (Base&)` would.
  void* adjusted = object;
  if (!base.__do_catch(&type, &adjusted, 1)) return false;
  object = adjusted;
  return true;
}

namespace {

void AppendTypeChain(const std::type_info& type, std::vector<const std::type_info*>& chain) {
  for (const std::type_info* known : chain)
    if (*known == type) return;
  chain.push_back(&type);
  if (const auto* single = dynamic_cast<const abi::__si_class_type_info*>(&type)) {
    AppendTypeChain(*single->__base_type, chain);
  } else if (const auto* multiple = dynamic_cast<const abi::__vmi_class_type_info*>(&type)) {
    for (unsigned i = 0; i < multiple->__base_count; ++i) AppendTypeChain(*multiple->__base_info[i].__base_type, chain);
  }
}

std::wstring LastNamePart(const std::wstring& name) {
  const std::size_t at = name.rfind(L"::");
  return at == std::wstring::npos ? name : name.substr(at + 2);
}

}  // namespace

std::vector<const std::type_info*> CxxTypeChain(const std::type_info& type) {
  std::vector<const std::type_info*> chain;
  AppendTypeChain(type, chain);
  return chain;
}

// ---------------------------------------------------------------------------
// The base reader.

void TExceptionReader::InitFromRecord(const TExceptionRecord32& record) {
  FExceptionRecord = record;
  FExceptionAddress = reinterpret_cast<void*>(static_cast<std::uintptr_t>(record.ExceptionAddress));
  ReadInformation();
}

void TExceptionReader::InitFromObject(void* object, void* address, const std::type_info* type) {
  FExceptionObject = object;
  FExceptionAddress = address;
  FTypeInfo = type;
  ReadInformation();
}

bool TExceptionReader::IsChildClass(const std::wstring& class_name) const {
  for (const std::wstring& name : ClassNameChain())
    if (name == class_name) return true;
  return false;
}

std::vector<std::wstring> TExceptionReader::ClassNameChain() const {
  if (FExceptionType.empty()) return {};
  return {FExceptionType};
}

// ---------------------------------------------------------------------------
// The default reader: platform records.

namespace {

// The platform's exception codes, their names and messages.
constexpr TPlatformCodeText kPlatformCodes[] = {
    {0x40000005, L"STATUS_SEGMENT_NOTIFICATION",
     L"A virtual DOS machine (VDM) is loading, unloading, or moving an MS-DOS or Win16 program segment image."},
    {0x40010005, L"DBG_CONTROL_C", L"Debugger got control C."},
    {0x40010006, L"DBG_PRINTEXCEPTION_C", L"Debugger printered exception."},
    {0x40010007, L"DBG_RIPEVENT", L"Debugger recevice RIP exception."},
    {0x40010008, L"DBG_CONTROL_BREAK", L"Debugger received control break."},
    {0x40010009, L"DBG_COMMAND_EXCEPTION", L"Debugger command exception."},
    {0x80000001, L"EXCEPTION_GUARD_PAGE",
     L"A page of memory that marks the end of a data structure, such as a stack or an array, has been accessed."},
    {0x80000002, L"EXCEPTION_DATATYPE_MISALIGNMENT",
     L"A datatype misalignment was detected in a load or store instruction."},
    {0x80000003, L"EXCEPTION_BREAKPOINT", L"A breakpoint has been reached."},
    {0x80000004, L"EXCEPTION_SINGLE_STEP", L"A single step or trace operation has just been completed."},
    {0xC0000005, L"EXCEPTION_ACCESS_VIOLATION", nullptr},
    {0xC0000006, L"EXCEPTION_IN_PAGE_ERROR", L"The system is unable to load the memory page."},
    {0xC0000008, L"EXCEPTION_INVALID_HANDLE", L"The thread used a handle to a kernel object that was invalid."},
    {0xC0000017, L"STATUS_NO_MEMORY", L"Out of memory."},
    {0xC000001D, L"EXCEPTION_ILLEGAL_INSTRUCTION", L"Privileged instruction"},
    {0xC0000025, L"EXCEPTION_NONCONTINUABLE_EXCEPTION", L"Cannot continue from this exception."},
    {0xC0000026, L"EXCEPTION_INVALID_DISPOSITION",
     L"An exception handler returns an invalid disposition to the exception dispatcher."},
    {0xC000008C, L"EXCEPTION_ARRAY_BOUNDS_EXCEEDED", L"Range check error"},
    {0xC000008D, L"EXCEPTION_FLT_DENORMAL_OPERAND", L"Floating point underflow"},
    {0xC000008E, L"EXCEPTION_FLT_DIVIDE_BY_ZERO", L"Floating point division by zero"},
    {0xC000008F, L"EXCEPTION_FLT_INEXACT_RESULT", L"Invalid floating point operation"},
    {0xC0000090, L"EXCEPTION_FLT_INVALID_OPERATION", L"Invalid floating point operation"},
    {0xC0000091, L"EXCEPTION_FLT_OVERFLOW", L"Floating point overflow"},
    {0xC0000092, L"EXCEPTION_FLT_STACK_CHECK", L"Invalid floating point operation"},
    {0xC0000093, L"EXCEPTION_FLT_UNDERFLOW", L"Floating point underflow"},
    {0xC0000094, L"EXCEPTION_INT_DIVIDE_BY_ZERO", L"Division by zero"},
    {0xC0000095, L"EXCEPTION_INT_OVERFLOW", L"Integer overflow"},
    {0xC0000096, L"EXCEPTION_PRIV_INSTRUCTION", L"Privileged instruction"},
    {0xC00000FD, L"EXCEPTION_STACK_OVERFLOW", L"Stack overflow"},
    {0xC000013A, L"STATUS_CONTROL_C_EXIT", L"Control-C hit"},
    {0xC0000420, L"EXCEPTION_ASSERTION_FAILURE", L"Assertion violation."},
};

const TPlatformCodeText* FindCode(std::uint32_t code) noexcept {
  for (const TPlatformCodeText& row : kPlatformCodes)
    if (row.Code == code) return &row;
  return nullptr;
}

std::wstring LowerHex(std::uint32_t value) {
  static constexpr wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring s;
  do {
    s.insert(s.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return s;
}

std::wstring UpperHex(std::uint32_t value) {
  std::wstring s = LowerHex(value);
  for (wchar_t& c : s)
    if (c >= L'a' && c <= L'f') c = static_cast<wchar_t>(c - L'a' + L'A');
  return s;
}

std::wstring Pointer(std::uintptr_t value) { return rt::Hex8(static_cast<std::uint32_t>(value)); }

class TDefaultExceptionInfoReader final : public TExceptionReader {
 public:
  TDefaultExceptionInfoReader() noexcept : TExceptionReader(DefaultExceptionReaderClass()) {}
  static std::unique_ptr<TExceptionReader> MakeRecord(const TExceptionRecord32& record) {
    auto reader = std::make_unique<TDefaultExceptionInfoReader>();
    reader->InitFromRecord(record);
    return reader;
  }
  static std::unique_ptr<TExceptionReader> MakeObject(void* object, void* address, const std::type_info* type) {
    auto reader = std::make_unique<TDefaultExceptionInfoReader>();
    reader->InitFromObject(object, address, type);
    return reader;
  }

 protected:
  std::unique_ptr<TExceptionReader> CloneReader() const override {
    return std::make_unique<TDefaultExceptionInfoReader>(*this);
  }
  void ReadInformation() override {
    FExceptionType = L"EExternalException";
    if (FExceptionRecord.ExceptionCode == 0) {
      FExceptionMessage = L"External exception $" + Pointer(reinterpret_cast<std::uintptr_t>(FExceptionObject)) +
                          L" at address " + Pointer(reinterpret_cast<std::uintptr_t>(FExceptionAddress));
      return;
    }
    FExceptionAddress = reinterpret_cast<void*>(static_cast<std::uintptr_t>(FExceptionRecord.ExceptionAddress));
    const std::uintptr_t module = platform::ModuleBaseOf(FExceptionAddress);
    FExceptionMessage =
        PlatformExceptionMessage(FExceptionRecord, module, module ? platform::ModuleFileName(module) : std::wstring());
  }
};

}  // namespace

std::wstring PlatformCodeName(std::uint32_t code) {
  const TPlatformCodeText* row = FindCode(code);
  return row ? row->Name : L"?";
}

std::wstring PlatformExceptionMessage(const TExceptionRecord32& record, std::uintptr_t module_base,
                                      const std::wstring& module_file) {
  const std::uint32_t code = record.ExceptionCode;
  const TPlatformCodeText* row = FindCode(code);
  const std::wstring file = std::wstring(FileNamePartOf(module_file));
  std::wstring message;
  if (row == nullptr) {
    message = L"External exception " + UpperHex(code);
  } else if (row->Message != nullptr) {
    message = row->Message;
  } else {
    const std::wstring kind = record.NumberParameters > 0 && record.ExceptionInformation[0] != 0 ? L"Write" : L"Read";
    const std::wstring target = Pointer(record.NumberParameters > 1 ? record.ExceptionInformation[1] : 0);
    if (module_base != 0 && !file.empty())
      message = L"Access violation at address " + Pointer(record.ExceptionAddress) + L" in module '" + file + L"'. " +
                kind + L" of address " + target;
    else
      message = L"Access violation at address " + Pointer(record.ExceptionAddress) + L". " + kind + L" of address " +
                target;
  }
  const std::uintptr_t relative = module_base != 0 ? record.ExceptionAddress - module_base : record.ExceptionAddress;
  // The code in lower case, the addresses in upper case, as reports have
  // always shown them.
  return message + L"\r\n\r\nModule: " + file + L"\r\nCode: " + LowerHex(code) + L" (" + PlatformCodeName(code) +
         L")\r\nAddress: " + Pointer(record.ExceptionAddress) + L" (" + Pointer(relative) + L")";
}

const TReaderClass& DefaultExceptionReaderClass() noexcept {
  static const TReaderClass kClass{
      L"TDefaultExceptionInfoReader",
      true,
      [](const TExceptionRecord32& record) { return TDefaultExceptionInfoReader::MakeRecord(record); },
      [](void* object, void* address, const std::type_info* type, const TExceptionRecord32* record) {
        return record ? TDefaultExceptionInfoReader::MakeRecord(*record)
                      : TDefaultExceptionInfoReader::MakeObject(object, address, type);
      },
      &TDefaultExceptionInfoReader::MakeRecord,
      &TDefaultExceptionInfoReader::MakeObject,
      [](void*, const std::type_info*) { return false; },
      [](void*, const std::type_info*) { return false; },
  };
  return kClass;
}

// ---------------------------------------------------------------------------
// This library's C++ exceptions: the object and its dynamic type.

namespace {

class TCxxExceptionReader final : public TExceptionReader {
 public:
  TCxxExceptionReader() noexcept : TExceptionReader(CxxExceptionReaderClass()) {}
  static std::unique_ptr<TExceptionReader> Make(void* object, void* address, const std::type_info* type) {
    auto reader = std::make_unique<TCxxExceptionReader>();
    reader->InitFromObject(object, address, type);
    return reader;
  }
  std::vector<std::wstring> ClassNameChain() const override {
    std::vector<std::wstring> chain;
    if (!FExceptionType.empty()) chain.push_back(FExceptionType);
    if (FTypeInfo == nullptr) return chain;
    auto add = [&chain](const std::wstring& name) {
      for (const std::wstring& known : chain)
        if (known == name) return;
      chain.push_back(name);
    };
    // The C++ names as written, then the short names the library's own
    // classes are known by in filters ("EAssertionFailed").
    const auto types = CxxTypeChain(*FTypeInfo);
    for (const std::type_info* t : types) add(DemangledTypeName(*t));
    for (const std::type_info* t : types) add(LastNamePart(DemangledTypeName(*t)));
    void* probe = FExceptionObject;
    if (CxxTypeIs(*FTypeInfo, typeid(rt::Exception), probe)) add(L"Exception");
    return chain;
  }

 protected:
  std::unique_ptr<TExceptionReader> CloneReader() const override {
    return std::make_unique<TCxxExceptionReader>(*this);
  }
  void ReadInformation() override {
    if (FTypeInfo == nullptr || FExceptionObject == nullptr) return;
    void* object = FExceptionObject;
    if (CxxTypeIs(*FTypeInfo, typeid(rt::Exception), object)) {
      const auto* own = static_cast<const rt::Exception*>(object);
      FExceptionType = own->ClassName();
      FExceptionMessage = own->Message();
      if (FExceptionAddress == nullptr) FExceptionAddress = own->Address();
      return;
    }
    object = FExceptionObject;
    if (*FTypeInfo == typeid(std::bad_alloc)) {
      // Out of memory: nothing here may allocate more than the two texts.
      FExceptionType = L"std::bad_alloc";
      FExceptionMessage = L"std::bad_alloc";
      return;
    }
    if (CxxTypeIs(*FTypeInfo, typeid(std::exception), object)) {
      const char* what = static_cast<const std::exception*>(object)->what();
      if (what) FExceptionMessage = DecodeUtf8(std::span(reinterpret_cast<const std::uint8_t*>(what), std::strlen(what)));
    }
    // The type's name is read when it is first asked for (the information
    // record demangles it then), not here at the throw.
  }
};

}  // namespace

const TReaderClass& CxxExceptionReaderClass() noexcept {
  static const TReaderClass kClass{
      L"TCxxExceptionReader",
      false,
      // A C++ throw never passes the platform's dispatcher on this runtime:
      // a record alone never names a C++ object's type.
      [](const TExceptionRecord32&) -> std::unique_ptr<TExceptionReader> { return nullptr; },
      [](void* object, void* address, const std::type_info* type,
         const TExceptionRecord32*) -> std::unique_ptr<TExceptionReader> {
        if (object == nullptr || type == nullptr) return nullptr;
        return TCxxExceptionReader::Make(object, address, type);
      },
      [](const TExceptionRecord32&) -> std::unique_ptr<TExceptionReader> { return nullptr; },
      &TCxxExceptionReader::Make,
      [](void*, const std::type_info* type) { return type != nullptr; },
      [](void* object, const std::type_info* type) {
        if (type == nullptr) return false;
        // A platform exception turned into an object is the processor's.
        return !CxxTypeIs(*type, typeid(rt::EExternal), object);
      },
  };
  return kClass;
}

// ---------------------------------------------------------------------------
// Foreign runtime's exception objects, by layout kind.

namespace {

enum class TForeignFlavour { kUnicode, kAnsi, kDelphi2 };

bool KindInRange(TForeignFlavour flavour, std::uint8_t kind) noexcept {
  switch (flavour) {
    case TForeignFlavour::kUnicode: return kind >= 12;
    case TForeignFlavour::kAnsi: return kind >= 3 && kind <= 11;
    case TForeignFlavour::kDelphi2: return kind == 2;
  }
  return false;
}

const TReaderClass& ClassOf(TForeignFlavour flavour) noexcept {
  switch (flavour) {
    case TForeignFlavour::kUnicode: return DelphiUnicodeReaderClass();
    case TForeignFlavour::kAnsi: return DelphiAnsiReaderClass();
    case TForeignFlavour::kDelphi2: break;
  }
  return Delphi2ReaderClass();
}

template <TForeignFlavour Flavour>
class TForeignReader final : public TExceptionReader {
 public:
  TForeignReader() noexcept : TExceptionReader(ClassOf(Flavour)) {}
  static std::unique_ptr<TExceptionReader> FromRecord(const TExceptionRecord32& record) {
    auto reader = std::make_unique<TForeignReader>();
    reader->FExceptionRecord = record;
    reader->FExceptionAddress = reinterpret_cast<void*>(static_cast<std::uintptr_t>(record.ExceptionInformation[0]));
    reader->FExceptionObject = reinterpret_cast<void*>(static_cast<std::uintptr_t>(record.ExceptionInformation[1]));
    reader->ReadInformation();
    return reader;
  }
  static std::unique_ptr<TExceptionReader> FromObject(void* object, void* address, const std::type_info*) {
    auto reader = std::make_unique<TForeignReader>();
    reader->InitFromObject(object, address, nullptr);
    return reader;
  }
  static std::unique_ptr<TExceptionReader> CheckObject(void* object, void* address, const std::type_info* type,
                                                       const TExceptionRecord32* record) {
    if (type != nullptr || object == nullptr) return nullptr;
    std::uint32_t class_pointer = 0;
    if (!ReadWord(reinterpret_cast<std::uintptr_t>(object), class_pointer)) return nullptr;
    const std::uint8_t kind = DetectLayoutKind(class_pointer);
    if (!KindInRange(Flavour, kind)) return nullptr;
    const std::uintptr_t module = ModuleCacheKey(class_pointer);
    if (module == 0 || CachedKind(module) != kind) {
      if (!IsValidForeignObject(reinterpret_cast<std::uintptr_t>(object), kind)) return nullptr;
      CacheKind(module, kind);
    }
    // A platform exception dressed as an object is the default reader's.
    if (ForeignClassDescendsFrom(class_pointer, kind, "EExternalException")) return nullptr;
    return record ? FromRecord(*record) : FromObject(object, address, nullptr);
  }
  static std::unique_ptr<TExceptionReader> CheckRecord(const TExceptionRecord32& record) {
    const bool old_codes = Flavour == TForeignFlavour::kDelphi2;
    const std::uint32_t first = old_codes ? kOldLanguageExceptionFirst : kLanguageExceptionFirst;
    const std::uint32_t last = old_codes ? kOldLanguageExceptionLast : kLanguageExceptionLast;
    if (record.ExceptionCode < first || record.ExceptionCode > last || record.NumberParameters < 2) return nullptr;
    return CheckObject(reinterpret_cast<void*>(static_cast<std::uintptr_t>(record.ExceptionInformation[1])),
                       reinterpret_cast<void*>(static_cast<std::uintptr_t>(record.ExceptionInformation[0])), nullptr,
                       &record);
  }
  static bool Software(void* object, const std::type_info*) {
    std::uint32_t class_pointer = 0;
    if (!ReadWord(reinterpret_cast<std::uintptr_t>(object), class_pointer)) return false;
    return !ForeignClassDescendsFrom(class_pointer, DetectLayoutKind(class_pointer), "EExternal");
  }
  static bool Native(void* object, const std::type_info*) {
    if constexpr (Flavour != TForeignFlavour::kUnicode) {
      return false;
    } else {
      std::uint32_t class_pointer = 0;
      std::string name;
      if (!ReadWord(reinterpret_cast<std::uintptr_t>(object), class_pointer)) return false;
      return !(ReadForeignClassName(class_pointer, DetectLayoutKind(class_pointer), name) &&
               name == "_TExitDllException");
    }
  }

  std::vector<std::wstring> ClassNameChain() const override {
    std::vector<std::wstring> chain;
    std::uint32_t class_pointer = 0;
    if (!ReadWord(reinterpret_cast<std::uintptr_t>(FExceptionObject), class_pointer)) return chain;
    const std::uint8_t kind = DetectLayoutKind(class_pointer);
    TLayout layout{};
    if (!LayoutOf(kind, layout)) return chain;
    std::uintptr_t current = class_pointer;
    for (int depth = 0; depth < kMaxClassDepth && current != 0; ++depth) {
      std::string name;
      if (!ClassNameAt(current, layout, name)) break;
      chain.push_back(DecodeUtf8(std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size())));
      if (!ParentOf(current, layout, current)) break;
    }
    return chain;
  }

 protected:
  std::unique_ptr<TExceptionReader> CloneReader() const override { return std::make_unique<TForeignReader>(*this); }
  void ReadInformation() override {
    // The raise address is the return address of the raising call: five
    // bytes back is the call itself.
    if (FExceptionAddress != nullptr) FExceptionAddress = static_cast<std::uint8_t*>(FExceptionAddress) - 5;
    const auto object = reinterpret_cast<std::uintptr_t>(FExceptionObject);
    std::uint32_t class_pointer = 0;
    if (!ReadWord(object, class_pointer)) return;
    const std::uint8_t kind = Flavour == TForeignFlavour::kDelphi2 ? 2 : DetectLayoutKind(class_pointer);
    std::string name;
    if (ReadForeignClassName(class_pointer, kind, name))
      FExceptionType = DecodeUtf8(std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));
    std::uint32_t message = 0, help = 0;
    ReadWord(object + 4, message);
    ReadWord(object + 8, help);
    if constexpr (Flavour == TForeignFlavour::kUnicode) {
      FVersion = 16;
      if (name == "_TExitDllException") {
        FExceptionMessage = L"_TExitDllException, ExitCode: " + std::to_wstring(static_cast<std::int32_t>(message));
        FHelpContext = 0;
        FExceptionMark = nullptr;
        return;
      }
      std::wstring text;
      if (ReadZeroTerminated<wchar_t>(message, text)) FExceptionMessage = std::move(text);
      FHelpContext = static_cast<std::int32_t>(help);
      std::uint32_t mark = 0;
      if (ReadWord(object + 16, mark)) FExceptionMark = reinterpret_cast<void*>(static_cast<std::uintptr_t>(mark));
    } else {
      FVersion = Flavour == TForeignFlavour::kDelphi2 ? 2 : kind;
      std::string text;
      if (ReadZeroTerminated<char>(message, text))
        FExceptionMessage = DecodeUtf8(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
      FHelpContext = static_cast<std::int32_t>(help);
    }
  }
};

template <TForeignFlavour Flavour>
TReaderClass ForeignClass(const wchar_t* name) {
  using R = TForeignReader<Flavour>;
  return TReaderClass{name,          false,      &R::CheckRecord, &R::CheckObject,
                      &R::FromRecord, &R::FromObject, &R::Native,  &R::Software};
}

}  // namespace

const TReaderClass& DelphiUnicodeReaderClass() noexcept {
  static const TReaderClass kClass = ForeignClass<TForeignFlavour::kUnicode>(L"TExceptionInfoDelphiUnicode");
  return kClass;
}
const TReaderClass& DelphiAnsiReaderClass() noexcept {
  static const TReaderClass kClass = ForeignClass<TForeignFlavour::kAnsi>(L"TExceptionInfoDelphiANSI");
  return kClass;
}
const TReaderClass& Delphi2ReaderClass() noexcept {
  static const TReaderClass kClass = ForeignClass<TForeignFlavour::kDelphi2>(L"TExceptionInfoDelphi2");
  return kClass;
}

// ---------------------------------------------------------------------------
// The registry.

namespace {

std::vector<const TReaderClass*>& Registry() {
  static std::vector<const TReaderClass*> registry;
  return registry;
}

// The module's cached reader class, when the module list knows the module.
const TReaderClass* CachedReaderOf(std::uintptr_t address, TVarnelModuleInfo*& entry) {
  entry = nullptr;
  TVarnelModulesListEx* list = ExistingModulesList();
  if (list == nullptr || address == 0) return nullptr;
  TModulesListGuard guard;
  entry = list->ModuleInfoByAddr(address);
  return entry ? static_cast<const TReaderClass*>(entry->ClassReader) : nullptr;
}

void RememberReader(TVarnelModuleInfo* entry, const TExceptionReader& reader) noexcept {
  // The default reader takes everything: remembering it would hide the
  // others.
  if (entry != nullptr && !reader.Class().IsDefault) entry->ClassReader = &reader.Class();
}

template <typename Check>
std::unique_ptr<TExceptionReader> Walk(bool backwards, Check check) {
  const auto& registry = Registry();
  const std::size_t n = registry.size();
  for (std::size_t i = 0; i < n; ++i) {
    const TReaderClass* reader_class = registry[backwards ? n - 1 - i : i];
    try {
      if (auto reader = check(*reader_class)) return reader;
    } catch (const std::exception&) {
      // A reader that fails on the object refuses it.
    } catch (const rt::Exception&) {
    }
  }
  return nullptr;
}

}  // namespace

void RegisterExceptionReader(const TReaderClass& reader_class) { Registry().push_back(&reader_class); }
void ClearExceptionReaders() noexcept {
  Registry().clear();
  Registry().shrink_to_fit();
}
std::vector<const TReaderClass*> RegisteredExceptionReaders() { return Registry(); }

std::unique_ptr<TExceptionReader> FindReaderForRecord(const TExceptionRecord32& record) {
  if (Registry().empty()) return nullptr;
  TVarnelModuleInfo* entry = nullptr;
  if (const TReaderClass* cached = CachedReaderOf(record.ExceptionAddress, entry)) {
    if (auto reader = cached->CheckRecord(record)) return reader;
  }
  auto reader = Walk(Registry().front()->IsDefault,
                     [&record](const TReaderClass& c) { return c.CheckRecord(record); });
  if (reader) RememberReader(entry, *reader);
  return reader;
}

std::unique_ptr<TExceptionReader> FindReaderForObject(void* object, void* address, const std::type_info* type) {
  if (Registry().empty()) return nullptr;
  TVarnelModuleInfo* entry = nullptr;
  if (const TReaderClass* cached = CachedReaderOf(reinterpret_cast<std::uintptr_t>(address), entry)) {
    if (auto reader = cached->CheckObject(object, address, type, nullptr)) return reader;
  }
  const bool backwards = std::wstring_view(Registry().front()->Name) == L"TDefaultExceptionInfoReader";
  auto reader = Walk(backwards, [&](const TReaderClass& c) { return c.CheckObject(object, address, type, nullptr); });
  if (reader) RememberReader(entry, *reader);
  return reader;
}

void EExceptionReadersInit() {
  ClearExceptionReaders();
  RegisterExceptionReader(CxxExceptionReaderClass());
  RegisterExceptionReader(DelphiUnicodeReaderClass());
  RegisterExceptionReader(DelphiAnsiReaderClass());
  RegisterExceptionReader(Delphi2ReaderClass());
  RegisterExceptionReader(DefaultExceptionReaderClass());
}

void EExceptionReadersDone() { ClearExceptionReaders(); }

}  // namespace zelvic::diag
