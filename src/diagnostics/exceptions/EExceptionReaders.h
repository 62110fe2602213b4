// Exception readers: small objects that decide what kind of exception a raw
// platform record or an exception object found in memory is, and read its
// class name, message, help context and address. Readers are tried in a
// fixed order from a process-wide registry filled at start-up; the module
// list caches, per module, which reader class succeeded last.
//
// Foreign objects (another runtime's exception classes) are read only after
// a readability test of the exact bytes; a reader that meets anything it
// cannot read refuses. This library's own C++ exceptions come with their
// dynamic type (std::type_info), which is all that is needed to read them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

namespace zelvic::diag {

// The platform's exception record in its 32-bit layout (80 bytes).
struct TExceptionRecord32 {
  std::uint32_t ExceptionCode = 0;
  std::uint32_t ExceptionFlags = 0;
  std::uint32_t ExceptionRecord = 0;
  std::uint32_t ExceptionAddress = 0;
  std::uint32_t NumberParameters = 0;
  std::uint32_t ExceptionInformation[15] = {};
  bool operator==(const TExceptionRecord32&) const = default;
};
static_assert(sizeof(TExceptionRecord32) == 80);

// The runtime's own exception codes (raise of a language exception object).
inline constexpr std::uint32_t kLanguageExceptionFirst = 0x0EEDFADE;
inline constexpr std::uint32_t kLanguageExceptionLast = 0x0EEDFAE5;
inline constexpr std::uint32_t kOldLanguageExceptionFirst = 0x0EEDFACE;
inline constexpr std::uint32_t kOldLanguageExceptionLast = 0x0EEDFAD5;

class TExceptionReader;

// A reader class: what the registry holds and what a module's cache and a
// capture record point at. Each reader class has exactly one descriptor.
struct TReaderClass {
  const wchar_t* Name;
  // Takes everything; tried last.
  bool IsDefault;
  // A reader for the record, or null when this class does not take it.
  std::unique_ptr<TExceptionReader> (*CheckRecord)(const TExceptionRecord32& record);
  // A reader for the object raised at the address (type: the C++ dynamic
  // type when known), or null. `record` may be null.
  std::unique_ptr<TExceptionReader> (*CheckObject)(void* object, void* address, const std::type_info* type,
                                                   const TExceptionRecord32* record);
  // Made without the check (the capture already names the class).
  std::unique_ptr<TExceptionReader> (*FromRecord)(const TExceptionRecord32& record);
  std::unique_ptr<TExceptionReader> (*FromObject)(void* object, void* address, const std::type_info* type);
  // The object may be used directly by this process.
  bool (*Native)(void* object, const std::type_info* type);
  // Raised by program code rather than by the processor or the system.
  bool (*Software)(void* object, const std::type_info* type);
};

class TExceptionReader {
 public:
  virtual ~TExceptionReader() = default;
  TExceptionReader(const TExceptionReader&) = default;
  TExceptionReader& operator=(const TExceptionReader&) = default;

  const TReaderClass& Class() const noexcept { return *class_; }
  const TExceptionRecord32& ExceptionRecord() const noexcept { return FExceptionRecord; }
  void* ExceptionObject() const noexcept { return FExceptionObject; }
  void* ExceptionAddress() const noexcept { return FExceptionAddress; }
  const std::wstring& ExceptionType() const noexcept { return FExceptionType; }
  const std::wstring& ExceptionMessage() const noexcept { return FExceptionMessage; }
  void* ExceptionMark() const noexcept { return FExceptionMark; }
  std::int32_t HelpContext() const noexcept { return FHelpContext; }
  const std::type_info* TypeInfo() const noexcept { return FTypeInfo; }
  // The layout kind of a foreign object's class (0 for other readers).
  std::uint8_t DelphiVersion() const noexcept { return FVersion; }

  // True when the object's class or one of its ancestors has this name.
  virtual bool IsChildClass(const std::wstring& class_name) const;
  // The object's class name, then its ancestors', nearest first.
  virtual std::vector<std::wstring> ClassNameChain() const;
  std::unique_ptr<TExceptionReader> Clone() const { return CloneReader(); }

 protected:
  explicit TExceptionReader(const TReaderClass& reader_class) noexcept : class_(&reader_class) {}
  virtual std::unique_ptr<TExceptionReader> CloneReader() const = 0;
  // Fills type, message, help context and address.
  virtual void ReadInformation() {}
  void InitFromRecord(const TExceptionRecord32& record);
  void InitFromObject(void* object, void* address, const std::type_info* type);

  TExceptionRecord32 FExceptionRecord;
  void* FExceptionObject = nullptr;
  void* FExceptionAddress = nullptr;
  std::wstring FExceptionType;
  std::wstring FExceptionMessage;
  void* FExceptionMark = nullptr;
  std::int32_t FHelpContext = 0;
  const std::type_info* FTypeInfo = nullptr;
  std::uint8_t FVersion = 0;

 private:
  const TReaderClass* class_;
};

// The reader classes.
const TReaderClass& CxxExceptionReaderClass() noexcept;       // this library's C++ objects
const TReaderClass& DelphiUnicodeReaderClass() noexcept;      // layout kinds 12 and above
const TReaderClass& DelphiAnsiReaderClass() noexcept;         // layout kinds 3 to 11
const TReaderClass& Delphi2ReaderClass() noexcept;            // layout kind 2
const TReaderClass& DefaultExceptionReaderClass() noexcept;   // everything

// --- the registry --------------------------------------------------------
// Written only during start-up and shut-down.
void RegisterExceptionReader(const TReaderClass& reader_class);
void ClearExceptionReaders() noexcept;
std::vector<const TReaderClass*> RegisteredExceptionReaders();
std::unique_ptr<TExceptionReader> FindReaderForRecord(const TExceptionRecord32& record);
std::unique_ptr<TExceptionReader> FindReaderForObject(void* object, void* address,
                                                      const std::type_info* type = nullptr);
// The start-up registration: the C++ reader first, then the foreign
// readers, the default reader last.
void EExceptionReadersInit();
void EExceptionReadersDone();

// --- platform exception messages ------------------------------------------
// Name shown and message for a code of the table; "?" and the external
// exception text for any other code.
struct TPlatformCodeText {
  std::uint32_t Code;
  const wchar_t* Name;
  const wchar_t* Message;  // null for the access violation, composed apart
};
std::wstring PlatformCodeName(std::uint32_t code);
// The default reader's message for a record whose exception address lies in
// the module `module_base` (0: none) named `module_file` (full path).
std::wstring PlatformExceptionMessage(const TExceptionRecord32& record, std::uintptr_t module_base,
                                      const std::wstring& module_file);

// --- C++ types --------------------------------------------------------------
// The demangled name of a type ("std::runtime_error"); the mangled name when
// it cannot be demangled. Allocates: never call it from inside the allocator.
std::wstring DemangledTypeName(const std::type_info& type);
// True when an object of dynamic type `type` is a `Base`; `object` is then
// adjusted to the `Base` sub-object.
bool CxxTypeIs(const std::type_info& type, const std::type_info& base, void*& object) noexcept;
// The type, then its bases (depth first), each once.
std::vector<const std::type_info*> CxxTypeChain(const std::type_info& type);

// --- foreign object layouts (public for tests) ------------------------------
// 0 (not an object), 2, 11 or 17 for a class pointer.
std::uint8_t DetectLayoutKind(std::uintptr_t class_pointer) noexcept;
// The class name of a foreign class with the layout kind's offsets.
bool ReadForeignClassName(std::uintptr_t class_pointer, std::uint8_t kind, std::string& name) noexcept;
bool IsValidForeignObject(std::uintptr_t object, std::uint8_t kind) noexcept;
bool ForeignClassDescendsFrom(std::uintptr_t class_pointer, std::uint8_t kind, std::string_view name) noexcept;

}  // namespace zelvic::diag
