// Exception filters: per-module rules that leave an exception to the run-time
// library, swallow it, or handle it with another message, dialog, action or
// help facts. One list belongs to each module's options object; it is kept in
// the options store under numbered "Filters_%d_*" keys (older stores used
// short "T"/"M"/"Act"... keys, still read).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "diagnostics/config/ENameValues.h"

namespace zelvic::diag {

class TVarnelModuleOptions;

// Stored as their ordinals.
enum TFilterExceptionType : std::uint8_t { fetAll, fetHandled, fetUnhandled, fetSafeCall };
enum TFilterHandlerType : std::uint8_t { fhtNone, fhtRTL, fhtVarnelLog };
enum TFilterActionType : std::uint8_t { fatNone, fatTerminate, fatRestart, fatUnchanged };

struct TVarnelExceptionFilter {
  bool Active = false;
  std::wstring ExceptionClassName;
  TFilterExceptionType ExceptionType = fetAll;
  std::wstring SourceModule;
  std::wstring SourceUnit;
  std::wstring SourceClass;
  std::wstring SourceProcedure;
  std::wstring Properties;
  std::wstring ExceptionMessage;
  std::wstring DialogType;
  TFilterHandlerType HandlerType = fhtNone;
  TFilterActionType ActionType = fatNone;
  std::int32_t ExpectedContext = 0;
  std::wstring ExpectedURL;
  std::uint32_t ExpectedBugID = 0;

  // All fifteen fields; texts with case.
  bool operator==(const TVarnelExceptionFilter&) const = default;
};

// A published property's current value as the filters compare it:
// enumerations and sets already turned into their names (Text), numbers kept
// as numbers.
struct TFilterPropertyValue {
  bool IsNumber = false;
  double Number = 0;
  std::wstring Text;
};

// What the exception-information unit knows about exception objects that the
// library's own classes cannot tell (they carry no class hierarchy object and
// no published-property table). That unit implements it; the filters only ask.
class TFilterObjectReader {
 public:
  virtual ~TFilterObjectReader() = default;
  // The object is one this reader can read (a foreign object is confirmed).
  virtual bool Accepts(const void* object) const = 0;
  // The object's class name, then its ancestors' names, nearest first.
  virtual std::vector<std::wstring> ClassNameChain(const void* object) const = 0;
  // False when the object has no published property of that name.
  virtual bool ReadProperty(const void* object, std::wstring_view name, TFilterPropertyValue& value) const = 0;
};

// Reads native objects when the capture record brings no reader of its own;
// null until the exception-information unit installs one.
const TFilterObjectReader* NativeFilterObjectReader() noexcept;
void SetNativeFilterObjectReader(const TFilterObjectReader* reader) noexcept;

// The annotations an exception class can carry; together they form a filter
// for that class.
struct VarnelLogHandler {
  TFilterHandlerType Handler;
};
struct VarnelLogMessage {
  std::wstring Message;
};
struct VarnelLogAction {
  TFilterActionType Action;
};
struct VarnelLogDialog {
  std::wstring Dialog;
};
struct VarnelLogExpected {
  VarnelLogExpected(std::int32_t AContextNumber, std::wstring AURL = {}, std::uint32_t ABugID = 0)
      : Context(AContextNumber), URL(std::move(AURL)), BugID(ABugID) {}
  std::int32_t Context;
  std::wstring URL;
  std::uint32_t BugID;
};
using TFilterAnnotation =
    std::variant<VarnelLogHandler, VarnelLogMessage, VarnelLogAction, VarnelLogDialog, VarnelLogExpected>;

// The registry of annotations keyed by class name (letter case ignored, as
// class names are). Only the class's own entry counts, never an ancestor's.
// Registering a class again replaces its annotations; an empty list removes
// it.
void RegisterFilterAnnotations(std::wstring_view class_name, std::vector<TFilterAnnotation> annotations);
std::vector<TFilterAnnotation> FilterAnnotationsOf(std::wstring_view class_name);
// Sets the fields an annotation stands for.
void ApplyFilterAnnotation(TVarnelExceptionFilter& filter, const TFilterAnnotation& annotation);

// The part of an exception's capture record that the filters read.
struct TFilterExceptionData {
  std::wstring ExceptionType;  // the class name
  bool ExceptionHandled = false;
  std::uintptr_t ExceptionAddress = 0;
  const void* ExceptionObject = nullptr;
  bool ExceptionNative = false;
  bool SafeCall = false;
  const TFilterObjectReader* Reader = nullptr;
};

// The parts of a code address's location that filters are placed by.
struct TFilterLocation {
  std::wstring ModuleName;
  std::wstring UnitName;
  std::wstring ClassName;
  std::wstring ProcedureName;
};

// Code address to location; an empty function means the process-wide lookup.
using TFilterGetLocation = std::function<void(std::uintptr_t address, TFilterLocation& info)>;

// The process-wide lookup. Debug information sits above the options, so the
// debug-information unit installs its lookup here at start-up and removes it
// at shut-down; without one, every location is empty and only filters that
// name no module, unit, class or routine can match.
using TFilterLocationLookup = void (*)(std::uintptr_t address, TFilterLocation& info);
extern TFilterLocationLookup FilterLocationLookup;

// Whether one filter matches (its Active flag is not looked at).
bool FilterMatches(const TVarnelExceptionFilter& filter, const TFilterExceptionData& data,
                   const TFilterGetLocation& get_location);

// Every change of the list (adding, deleting, clearing, reading a store, a
// filter built by FindException) marks the owner's derived state for
// write-back, so the store gets the list before it is next read. A list
// without an owner is a plain list.
class TVarnelExceptionsFilters {
 public:
  explicit TVarnelExceptionsFilters(TVarnelModuleOptions* owner = nullptr) : FOwner(owner) {}
  TVarnelExceptionsFilters(const TVarnelExceptionsFilters&) = delete;
  TVarnelExceptionsFilters& operator=(const TVarnelExceptionsFilters&) = delete;
  // The owner is being destroyed with its list: it is not told.
  ~TVarnelExceptionsFilters() = default;

  TVarnelModuleOptions* Owner() const noexcept { return FOwner; }
  int Count() const noexcept { return static_cast<int>(FList.size()); }
  TVarnelExceptionFilter GetItem(int index) const;
  TVarnelExceptionFilter Items(int index) const { return GetItem(index); }

  void Add(const TVarnelExceptionFilter& filter) { Insert(Count(), filter); }
  // Nothing happens when an equal filter (all fifteen fields) is listed.
  void Insert(int index, const TVarnelExceptionFilter& filter);
  void Delete(int index);
  void Clear() noexcept;

  void AddExpectedException(std::wstring_view class_name);
  void AddIgnoredException(std::wstring_view class_name);
  void AddFullyIgnoredException(std::wstring_view class_name);

  // Index of the first active filter that matches, or of a filter built from
  // the object's class annotations (then added), or -1.
  int FindException(const TFilterExceptionData& data, const TFilterGetLocation& get_location = {});
  // The exception manager's form: no reader, class names compared as text.
  int FindException(std::wstring_view class_name, bool handled, std::uintptr_t address, const void* object,
                    const TFilterGetLocation& get_location = {}, bool safe_call = false);

  void Assign(const TVarnelExceptionsFilters& source);
  // From the options store: values as stored.
  void Assign(const TNameValueStorage& source);
  // From "name=encoded value" lines.
  void Assign(const std::vector<std::wstring>& lines);
  void AssignTo(TNameValueStorage& dest) const;
  void AssignTo(std::vector<std::wstring>& lines) const;

 private:
  void Changed() const noexcept;

  std::vector<std::unique_ptr<TVarnelExceptionFilter>> FList;
  TVarnelModuleOptions* FOwner;
};

// A key that belongs to filters, current or older form.
bool IsFilterKey(std::wstring_view name) noexcept;

}  // namespace zelvic::diag
