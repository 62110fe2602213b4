#include "diagnostics/config/EFilters.h"

#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"

#include <climits>
#include <cwchar>
#include <optional>
#include <stdexcept>
#include <algorithm>

#include "diagnostics/config/EOptions.h"
#include "platform/text_compare.h"

namespace zelvic::diag {

TFilterLocationLookup FilterLocationLookup = nullptr;

namespace {

bool SameTextIgnoreCase(std::wstring_view a, std::wstring_view b) noexcept {
  return platform::CompareTextIgnoreCase(a, b) == 0;
}


// A decimal integer with an optional sign, or hexadecimal after "$" or "0x",
// as the run-time library's integer conversion reads them.
std::optional<std::int64_t> ParseInteger(std::wstring_view text) {
  std::wstring_view s = text;
  while (!s.empty() && s.front() == L' ') s.remove_prefix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == L'-' || s.front() == L'+')) {
    negative = s.front() == L'-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (!s.empty() && s.front() == L'$') {
    base = 16;
    s.remove_prefix(1);
  } else if (s.size() > 1 && s[0] == L'0' && (s[1] == L'x' || s[1] == L'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty() || s.size() > 16) return std::nullopt;
  std::uint64_t v = 0;
  for (wchar_t c : s) {
    int d;
    if (c >= L'0' && c <= L'9') d = c - L'0';
    else if (base == 16 && c >= L'a' && c <= L'f') d = c - L'a' + 10;
    else if (base == 16 && c >= L'A' && c <= L'F') d = c - L'A' + 10;
    else return std::nullopt;
    v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
  }
  if (v > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  const auto r = static_cast<std::int64_t>(v);
  return negative ? -r : r;
}

// A 32-bit signed number, or the default when missing, non-numeric or out of
// range. Hexadecimal up to $FFFFFFFF reads as its 32-bit pattern.
std::int32_t ToInt32(const std::optional<std::wstring>& text, std::int32_t default_value) {
  if (!text) return default_value;
  const auto v = ParseInteger(*text);
  if (!v) return default_value;
  if (*v >= INT32_MIN && *v <= INT32_MAX) return static_cast<std::int32_t>(*v);
  return default_value;
}

// The bug identifier is read as a signed number and then checked, so a value
// with the top bit set is the run-time library's range error, not a wrap.
std::uint32_t ToBugId(const std::optional<std::wstring>& text) {
  if (!text) return 0;
  const auto v = ParseInteger(*text);
  if (!v || *v < INT32_MIN || *v > static_cast<std::int64_t>(UINT32_MAX)) return 0;
  if (*v < 0 || *v > INT32_MAX) throw ERangeError(L"Range check error");
  return static_cast<std::uint32_t>(*v);
}

// Read access to either store form.
using TValueGetter = std::function<std::optional<std::wstring>(const std::wstring& name)>;

std::wstring Hex2(int v) {
  wchar_t buf[8];
  std::swprintf(buf, 8, L"%02X", v & 0xFF);
  return buf;
}

std::wstring FilterKey(int i, const wchar_t* field) {
  return L"Filters_" + std::to_wstring(i) + L"_" + field;
}

TVarnelExceptionFilter ReadCurrentFilter(const TValueGetter& get, int i) {
  TVarnelExceptionFilter f;
  auto text = [&](const wchar_t* field) { return get(FilterKey(i, field)).value_or(std::wstring()); };
  auto num = [&](const wchar_t* field, std::int32_t def) { return ToInt32(get(FilterKey(i, field)), def); };
  f.Active = num(L"Active", 1) != 0;
  f.ExceptionClassName = text(L"Type");
  f.ExceptionMessage = text(L"Message");
  f.ExceptionType = static_cast<TFilterExceptionType>(num(L"Handled", 0));
  f.DialogType = text(L"Dialog");
  f.HandlerType = static_cast<TFilterHandlerType>(num(L"Handler", 2));
  f.ActionType = static_cast<TFilterActionType>(num(L"Action", 3));
  f.SourceModule = text(L"Module");
  f.SourceUnit = text(L"Unit");
  f.SourceClass = text(L"Class");
  f.SourceProcedure = text(L"Routine");
  f.ExpectedContext = num(L"Context", -1);
  f.ExpectedURL = text(L"URL");
  f.ExpectedBugID = ToBugId(get(FilterKey(i, L"BugID")));
  f.Properties = Trim(text(L"Properties"));
  return f;
}

TVarnelExceptionFilter ReadOlderFilter(const TValueGetter& get, int i) {
  const std::wstring n = std::to_wstring(i);
  auto text = [&](const std::wstring& key) { return get(key).value_or(std::wstring()); };
  TVarnelExceptionFilter f;
  f.ExceptionClassName = text(L"T" + n);
  const std::int32_t lines = ToInt32(get(L"NM" + n), 0);
  if (lines > 0) {
    std::wstring message;
    for (std::int32_t k = 0; k < lines; ++k) {
      if (k > 0) message += L"\r\n";
      message += text(L"M" + Hex2(i) + Hex2(k));
    }
    f.ExceptionMessage = std::move(message);
  } else {
    f.ExceptionMessage = text(L"M" + n);
  }
  const std::wstring act = text(L"Act" + n);
  if (act.empty()) {
    f.ExceptionType = fetUnhandled;
    f.DialogType = f.ExceptionMessage.empty() ? L"" : L"TMessageBoxDialog";
    f.HandlerType = fhtNone;
    f.ActionType = fatNone;
    return f;
  }
  f.Active = ToInt32(get(L"Act" + n), 1) != 0;
  f.ExceptionType = static_cast<TFilterExceptionType>(ToInt32(get(L"Z" + n), 2));
  static constexpr const wchar_t* kDialogs[] = {L"", L" ", L"TMessageBoxDialog", L"TMSClassicDialog",
                                                 L"TVarnelLogDialog"};
  const std::int32_t dialog = ToInt32(get(L"D" + n), 4) & 0x7F;
  if (dialog >= 0 && dialog < 5) f.DialogType = kDialogs[dialog];
  f.HandlerType = static_cast<TFilterHandlerType>(ToInt32(get(L"H" + n), 2));
  f.ActionType = static_cast<TFilterActionType>(ToInt32(get(L"A" + n), 0));
  return f;
}

// Write access to either store form.
struct TValueSink {
  std::function<void(const std::wstring& name, const std::wstring& value)> Set;
  std::function<bool(const std::wstring& name)> HasValue;
  std::function<void()> RemoveFilterKeys;
};

void WriteFilters(const std::vector<std::unique_ptr<TVarnelExceptionFilter>>& list, const TValueSink& sink) {
  sink.Set(L"FiltersCount", L"0");
  if (sink.HasValue(L"Count")) sink.Set(L"Count", L"0");
  sink.RemoveFilterKeys();
  int i = 0;
  for (const auto& p : list) {
    const TVarnelExceptionFilter& f = *p;
    sink.Set(FilterKey(i, L"Active"), f.Active ? L"1" : L"0");
    sink.Set(FilterKey(i, L"Type"), f.ExceptionClassName);
    sink.Set(FilterKey(i, L"Message"), f.ExceptionMessage);
    sink.Set(FilterKey(i, L"Handled"), std::to_wstring(static_cast<int>(f.ExceptionType)));
    sink.Set(FilterKey(i, L"Dialog"), f.DialogType);
    sink.Set(FilterKey(i, L"Handler"), std::to_wstring(static_cast<int>(f.HandlerType)));
    sink.Set(FilterKey(i, L"Action"), std::to_wstring(static_cast<int>(f.ActionType)));
    sink.Set(FilterKey(i, L"Module"), f.SourceModule);
    sink.Set(FilterKey(i, L"Unit"), f.SourceUnit);
    sink.Set(FilterKey(i, L"Class"), f.SourceClass);
    sink.Set(FilterKey(i, L"Routine"), f.SourceProcedure);
    sink.Set(FilterKey(i, L"Context"), std::to_wstring(f.ExpectedContext));
    sink.Set(FilterKey(i, L"URL"), f.ExpectedURL);
    sink.Set(FilterKey(i, L"BugID"), std::to_wstring(f.ExpectedBugID));
    sink.Set(FilterKey(i, L"Properties"), Trim(f.Properties));
    ++i;
  }
  sink.Set(L"FiltersCount", std::to_wstring(list.size()));
}

// Text of the lines "name=value" split at the first "=".
std::wstring LineName(std::wstring_view line) {
  const std::size_t eq = line.find(L'=');
  return eq == std::wstring_view::npos ? std::wstring(line) : std::wstring(line.substr(0, eq));
}

bool IsHexText(std::wstring_view s) noexcept {
  for (wchar_t c : s) {
    const bool hex = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
    if (!hex) return false;
  }
  return true;
}

bool ClassFits(const TVarnelExceptionFilter& filter, const TFilterExceptionData& data) {
  if (data.Reader && data.ExceptionObject) {
    for (const std::wstring& name : data.Reader->ClassNameChain(data.ExceptionObject)) {
      if (SameTextIgnoreCase(name, filter.ExceptionClassName)) return true;
    }
    return false;
  }
  return SameTextIgnoreCase(data.ExceptionType, filter.ExceptionClassName);
}

bool TypeFits(TFilterExceptionType type, const TFilterExceptionData& data) noexcept {
  switch (type) {
    case fetAll: return true;
    case fetHandled: return data.ExceptionHandled;
    case fetUnhandled: return !data.ExceptionHandled;
    case fetSafeCall: return data.SafeCall;
  }
  return false;
}

bool LocationFits(const TVarnelExceptionFilter& filter, const TFilterExceptionData& data,
                  const TFilterGetLocation& get_location) {
  if (filter.SourceModule.empty() && filter.SourceUnit.empty() && filter.SourceClass.empty() &&
      filter.SourceProcedure.empty()) {
    return true;
  }
  TFilterLocation info;
  if (get_location) {
    get_location(data.ExceptionAddress, info);
  } else if (const TFilterLocationLookup lookup = FilterLocationLookup) {
    lookup(data.ExceptionAddress, info);
  }
  if (!filter.SourceModule.empty() &&
      !SameFileName(ExtractFileNamePart(filter.SourceModule), ExtractFileNamePart(info.ModuleName))) {
    return false;
  }
  if (!filter.SourceUnit.empty() &&
      !SameTextIgnoreCase(WithoutExtension(filter.SourceUnit), WithoutExtension(info.UnitName))) {
    return false;
  }
  if (!filter.SourceClass.empty() && !SameTextIgnoreCase(filter.SourceClass, info.ClassName)) return false;
  if (!filter.SourceProcedure.empty() && !SameTextIgnoreCase(filter.SourceProcedure, info.ProcedureName)) {
    return false;
  }
  return true;
}

bool ValueEquals(const TFilterPropertyValue& actual, const std::wstring& expected) {
  if (!actual.IsNumber) return actual.Text == expected;
  const std::wstring t = Trim(expected);
  if (t.empty()) return false;
  wchar_t* end = nullptr;
  const double wanted = std::wcstod(t.c_str(), &end);
  if (end == t.c_str() || *end != L'\0') {
    const auto integer = ParseInteger(t);
    if (!integer) return false;
    return actual.Number == static_cast<double>(*integer);
  }
  return actual.Number == wanted;
}

bool PropertiesFit(const TVarnelExceptionFilter& filter, const TFilterExceptionData& data) {
  if (filter.Properties.empty()) return true;
  const TFilterObjectReader* reader = nullptr;
  bool checked = false;
  for (const std::wstring& line : SplitLines(filter.Properties)) {
    if (line.empty()) continue;
    const std::size_t eq = line.find(L'=');
    if (eq == std::wstring::npos || eq == 0) continue;
    const std::wstring name = line.substr(0, eq);
    const std::wstring value = DecodeValue(std::wstring_view(line).substr(eq + 1));
    if (!checked) {
      checked = true;
      if (!data.ExceptionObject) return false;
      if (!data.ExceptionNative && !(data.Reader && data.Reader->Accepts(data.ExceptionObject))) return false;
      reader = data.Reader ? data.Reader : NativeFilterObjectReader();
      if (!reader) return false;
    }
    TFilterPropertyValue actual;
    if (!reader->ReadProperty(data.ExceptionObject, name, actual)) return false;
    if (!ValueEquals(actual, value)) return false;
  }
  return true;
}

TVarnelExceptionFilter BaseFilterFor(std::wstring_view class_name) {
  TVarnelExceptionFilter f;
  f.Active = true;
  f.ExceptionClassName = std::wstring(class_name);
  f.ExceptionType = fetAll;
  f.DialogType = L" ";
  f.HandlerType = fhtVarnelLog;
  f.ActionType = fatUnchanged;
  return f;
}

const TFilterObjectReader*& NativeReaderSlot() noexcept {
  static const TFilterObjectReader* reader = nullptr;
  return reader;
}

struct TAnnotatedClass {
  std::wstring ClassName;
  std::vector<TFilterAnnotation> Annotations;
};

std::vector<TAnnotatedClass>& AnnotationRegistry() {
  static std::vector<TAnnotatedClass> registry;
  return registry;
}

}  // namespace

const TFilterObjectReader* NativeFilterObjectReader() noexcept { return NativeReaderSlot(); }
void SetNativeFilterObjectReader(const TFilterObjectReader* reader) noexcept { NativeReaderSlot() = reader; }

void RegisterFilterAnnotations(std::wstring_view class_name, std::vector<TFilterAnnotation> annotations) {
  auto& registry = AnnotationRegistry();
  for (auto it = registry.begin(); it != registry.end(); ++it) {
    if (SameTextIgnoreCase(it->ClassName, class_name)) {
      if (annotations.empty()) {
        registry.erase(it);
      } else {
        it->Annotations = std::move(annotations);
      }
      return;
    }
  }
  if (!annotations.empty()) registry.push_back({std::wstring(class_name), std::move(annotations)});
}

std::vector<TFilterAnnotation> FilterAnnotationsOf(std::wstring_view class_name) {
  for (const TAnnotatedClass& c : AnnotationRegistry()) {
    if (SameTextIgnoreCase(c.ClassName, class_name)) return c.Annotations;
  }
  return {};
}

void ApplyFilterAnnotation(TVarnelExceptionFilter& filter, const TFilterAnnotation& annotation) {
  struct Visitor {
    TVarnelExceptionFilter& f;
    void operator()(const VarnelLogHandler& a) const { f.HandlerType = a.Handler; }
    void operator()(const VarnelLogMessage& a) const { f.ExceptionMessage = a.Message; }
    void operator()(const VarnelLogAction& a) const { f.ActionType = a.Action; }
    void operator()(const VarnelLogDialog& a) const { f.DialogType = a.Dialog; }
    void operator()(const VarnelLogExpected& a) const {
      f.ExpectedContext = a.Context;
      f.ExpectedURL = a.URL;
      f.ExpectedBugID = a.BugID;
    }
  };
  std::visit(Visitor{filter}, annotation);
}

bool FilterMatches(const TVarnelExceptionFilter& filter, const TFilterExceptionData& data,
                   const TFilterGetLocation& get_location) {
  if (!TypeFits(filter.ExceptionType, data)) return false;
  if (!ClassFits(filter, data)) return false;
  if (!LocationFits(filter, data, get_location)) return false;
  return PropertiesFit(filter, data);
}

bool IsFilterKey(std::wstring_view name) noexcept {
  if (name.size() >= 7 && EqualIgnoringCase(name.substr(0, 7), L"Filters")) return true;
  static constexpr std::wstring_view kPrefixes[] = {L"Act", L"T", L"NM", L"M", L"Z", L"D", L"H", L"A"};
  for (std::wstring_view prefix : kPrefixes) {
    if (name.size() >= prefix.size() && EqualIgnoringCase(name.substr(0, prefix.size()), prefix) &&
        IsHexText(name.substr(prefix.size()))) {
      return true;
    }
  }
  return false;
}

void TVarnelExceptionsFilters::Changed() const noexcept {
  if (FOwner) FOwner->FiltersChanged();
}

void TVarnelExceptionsFilters::Clear() noexcept {
  if (FList.empty()) return;
  FList.clear();
  Changed();
}

TVarnelExceptionFilter TVarnelExceptionsFilters::GetItem(int index) const {
  return *FList.at(static_cast<std::size_t>(index));
}

void TVarnelExceptionsFilters::Insert(int index, const TVarnelExceptionFilter& filter) {
  for (const auto& p : FList) {
    if (*p == filter) return;
  }
  if (index < 0 || index > Count()) throw std::out_of_range("filter index out of range");
  FList.insert(FList.begin() + index, std::make_unique<TVarnelExceptionFilter>(filter));
  Changed();
}

void TVarnelExceptionsFilters::Delete(int index) {
  if (index < 0 || index >= Count()) throw std::out_of_range("filter index out of range");
  FList.erase(FList.begin() + index);
  Changed();
}

void TVarnelExceptionsFilters::AddExpectedException(std::wstring_view class_name) {
  TVarnelExceptionFilter f = BaseFilterFor(class_name);
  f.ExpectedContext = -1;
  Add(f);
}

void TVarnelExceptionsFilters::AddIgnoredException(std::wstring_view class_name) {
  TVarnelExceptionFilter f = BaseFilterFor(class_name);
  f.HandlerType = fhtRTL;
  Add(f);
}

void TVarnelExceptionsFilters::AddFullyIgnoredException(std::wstring_view class_name) {
  TVarnelExceptionFilter f = BaseFilterFor(class_name);
  f.HandlerType = fhtNone;
  Add(f);
}

int TVarnelExceptionsFilters::FindException(const TFilterExceptionData& data, const TFilterGetLocation& get_location) {
  for (int i = 0; i < Count(); ++i) {
    const TVarnelExceptionFilter& f = *FList[static_cast<std::size_t>(i)];
    if (f.Active && FilterMatches(f, data, get_location)) return i;
  }
  if (!data.ExceptionObject) return -1;
  if (data.Reader && !data.Reader->Accepts(data.ExceptionObject)) return -1;
  std::wstring class_name = data.ExceptionType;
  if (data.Reader) {
    const auto chain = data.Reader->ClassNameChain(data.ExceptionObject);
    if (!chain.empty()) class_name = chain.front();
  }
  const auto annotations = FilterAnnotationsOf(class_name);
  if (annotations.empty()) return -1;
  TVarnelExceptionFilter f = BaseFilterFor(class_name);
  for (const TFilterAnnotation& a : annotations) ApplyFilterAnnotation(f, a);
  // Append even when an equal filter is listed but was not chosen (inactive):
  // the index returned must be the one just built.
  FList.push_back(std::make_unique<TVarnelExceptionFilter>(std::move(f)));
  // Kept for later lookups; the store sees it at the owner's next write-back.
  Changed();
  return Count() - 1;
}

int TVarnelExceptionsFilters::FindException(std::wstring_view class_name, bool handled, std::uintptr_t address,
                                            const void* object, const TFilterGetLocation& get_location,
                                            bool safe_call) {
  TFilterExceptionData data;
  data.ExceptionType = std::wstring(class_name);
  data.ExceptionHandled = handled;
  data.ExceptionAddress = address;
  data.ExceptionObject = object;
  data.ExceptionNative = true;
  data.SafeCall = safe_call;
  return FindException(data, get_location);
}

void TVarnelExceptionsFilters::Assign(const TVarnelExceptionsFilters& source) {
  if (&source == this) return;
  Clear();
  for (const auto& p : source.FList) Add(*p);
}

namespace {

void ReadFilters(TVarnelExceptionsFilters& list, const TValueGetter& get) {
  list.Clear();
  std::int32_t n = ToInt32(get(L"FiltersCount"), -1);
  if (n >= 0) {
    for (int i = 0; i < n; ++i) list.Add(ReadCurrentFilter(get, i));
    return;
  }
  n = ToInt32(get(L"Count"), 0);
  for (int i = 0; i < n; ++i) list.Add(ReadOlderFilter(get, i));
}

}  // namespace

void TVarnelExceptionsFilters::Assign(const TNameValueStorage& source) {
  ReadFilters(*this, [&](const std::wstring& name) -> std::optional<std::wstring> {
    if (!source.HasName(name)) return std::nullopt;
    return source.GetValue(name);
  });
}

void TVarnelExceptionsFilters::Assign(const std::vector<std::wstring>& lines) {
  ReadFilters(*this, [&](const std::wstring& name) -> std::optional<std::wstring> {
    for (const std::wstring& line : lines) {
      std::wstring n, v;
      if (SplitNameValueLine(line, n, v) && n == name) return v;
    }
    return std::nullopt;
  });
}

void TVarnelExceptionsFilters::AssignTo(TNameValueStorage& dest) const {
  TValueSink sink;
  sink.Set = [&](const std::wstring& name, const std::wstring& value) { dest.SetValue(name, value); };
  sink.HasValue = [&](const std::wstring& name) { return !dest.GetValue(name).empty(); };
  sink.RemoveFilterKeys = [&] {
    for (std::size_t i = dest.Count(); i-- > 0;) {
      if (IsFilterKey(dest.GetName(i))) dest.Delete(i);
    }
  };
  const TNameValueUpdate update(dest);
  WriteFilters(FList, sink);
}

void TVarnelExceptionsFilters::AssignTo(std::vector<std::wstring>& lines) const {
  auto find = [&](const std::wstring& name) -> std::ptrdiff_t {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (LineName(lines[i]) == name && lines[i].find(L'=') != std::wstring::npos) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
  };
  TValueSink sink;
  sink.Set = [&](const std::wstring& name, const std::wstring& value) {
    std::wstring line = name + L"=" + EncodeValue(value);
    const std::ptrdiff_t i = find(name);
    if (i >= 0) {
      lines[static_cast<std::size_t>(i)] = std::move(line);
    } else {
      lines.push_back(std::move(line));
    }
  };
  sink.HasValue = [&](const std::wstring& name) {
    const std::ptrdiff_t i = find(name);
    if (i < 0) return false;
    std::wstring n, v;
    return SplitNameValueLine(lines[static_cast<std::size_t>(i)], n, v) && !v.empty();
  };
  sink.RemoveFilterKeys = [&] {
    std::erase_if(lines, [](const std::wstring& line) {
      return line.find(L'=') != std::wstring::npos && IsFilterKey(LineName(line));
    });
  };
  WriteFilters(FList, sink);
}

}  // namespace zelvic::diag
