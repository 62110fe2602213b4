#include "diagnostics/debuginfo/EUnmangling.h"

#include "diagnostics/util/EStrings.h"
#include "diagnostics/util/ETextEncoding.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace zelvic::diag {
namespace {

std::atomic<TMicrosoftUndecorator> g_undecorator{nullptr};

bool IsAsciiLetter(wchar_t c) noexcept { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// ---------------------------------------------------------------- Borland --

struct TBorlandName {
  std::wstring_view Code;
  std::wstring_view Text;
};

// "$b" names: constructor and destructor get their own suffix; the operators
// read as C++ spells them.
constexpr TBorlandName kBorlandOperators[] = {
    {L"add", L"operator +"},  {L"sub", L"operator -"},   {L"mul", L"operator *"},  {L"div", L"operator /"},
    {L"mod", L"operator %"},  {L"and", L"operator &"},   {L"or", L"operator |"},   {L"xor", L"operator ^"},
    {L"not", L"operator !"},  {L"cmp", L"operator ~"},   {L"asg", L"operator ="},  {L"eql", L"operator =="},
    {L"neq", L"operator !="}, {L"lss", L"operator <"},   {L"gtr", L"operator >"},  {L"leq", L"operator <="},
    {L"geq", L"operator >="}, {L"inc", L"operator ++"},  {L"dec", L"operator --"}, {L"call", L"operator ()"},
    {L"subs", L"operator []"}, {L"new", L"operator new"}, {L"dele", L"operator delete"},
    {L"nwa", L"operator new[]"}, {L"dla", L"operator delete[]"}, {L"land", L"operator &&"}, {L"lor", L"operator ||"},
    {L"rtn", L"operator ->"}, {L"rand", L"operator &="}, {L"ror", L"operator |="}, {L"rplu", L"operator +="},
    {L"rmin", L"operator -="}, {L"rmul", L"operator *="}, {L"rdiv", L"operator /="}, {L"lsh", L"operator <<"},
    {L"rsh", L"operator >>"},
};

// The linker's and the compiler's generated names.
constexpr TBorlandName kBorlandSpecials[] = {
    {L"__linkproc__", L"LinkProc"}, {L"__vdflg__", L"VirtualFlag"}, {L"__tpdsc__", L"TypeDescriptor"},
    {L"__thunk__", L"Thunk"},       {L"__vdthk__", L"VirtualThunk"},
};

void UnmangleBorland(std::wstring_view body, std::wstring& unit, std::wstring& name) {
  std::vector<std::wstring> parts;
  bool ctor = false, dtor = false;
  std::size_t pos = 0;
  while (pos <= body.size()) {
    std::size_t end = body.find(L'@', pos);
    if (end == std::wstring_view::npos) end = body.size();
    std::wstring_view part = body.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty()) continue;
    if (part.substr(0, 2) == L"$b") {
      std::wstring_view code = part.substr(2);
      code = code.substr(0, code.find(L'$'));
      if (code == L"ctr") {
        ctor = true;
      } else if (code == L"dtr") {
        dtor = true;
      } else {
        std::wstring text = L"operator " + std::wstring(code);
        for (const TBorlandName& op : kBorlandOperators) {
          if (op.Code == code) text = op.Text;
        }
        parts.push_back(text);
      }
      break;
    }
    // "$" starts the argument and qualifier codes: the name ends there.
    const std::size_t dollar = part.find(L'$');
    if (dollar == 0) break;
    std::wstring piece(part.substr(0, dollar));
    for (const TBorlandName& special : kBorlandSpecials) {
      if (piece.rfind(special.Code, 0) == 0) {
        const std::wstring rest = Trim(std::wstring_view(piece).substr(special.Code.size()));
        piece = std::wstring(special.Text) + (rest.empty() ? L"" : L" " + rest);
      }
    }
    parts.push_back(piece);
    if (dollar != std::wstring_view::npos) break;
  }
  unit.clear();
  name.clear();
  std::size_t first = 0;
  if (parts.size() >= 2) {
    unit = parts[0];
    first = 1;
  }
  for (std::size_t i = first; i < parts.size(); ++i) {
    if (!name.empty()) name += L'.';
    name += parts[i];
  }
  if (ctor) name += L".Create";
  if (dtor) name += L".Destroy";
  ReplaceAll(unit, L"::", L".");
  ReplaceAll(name, L"::", L".");
  unit = Trim(unit);
  name = Trim(name);
}

// ---------------------------------------------------------------- Itanium --

// The C++ runtime's demangler; it allocates its answer with malloc. Mangled
// names are plain ASCII, so anything else is not one.
bool DemangleItanium(const std::wstring& name, std::wstring& out) {
  std::string narrow;
  narrow.reserve(name.size());
  for (const wchar_t c : name) {
    if (c <= 0 || c >= 0x80) return false;
    narrow.push_back(static_cast<char>(c));
  }
  int status = 0;
  char* text = abi::__cxa_demangle(narrow.c_str(), nullptr, nullptr, &status);
  if (text == nullptr) return false;
  const bool ok = status == 0;
  if (ok) {
    out.clear();
    for (const char* p = text; *p != 0; ++p) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
  }
  std::free(text);
  return ok;
}

}  // namespace

bool DemangleTypeName(std::string_view mangled, std::wstring& plain) {
  if (!mangled.empty() && mangled.front() == '*') mangled.remove_prefix(1);
  if (mangled.empty()) return false;
  const std::string text(mangled);
  int status = -1;
  char* demangled = abi::__cxa_demangle(text.c_str(), nullptr, nullptr, &status);
  const bool ok = status == 0 && demangled != nullptr;
  if (ok) plain = DecodeUtf8(std::span(reinterpret_cast<const std::uint8_t*>(demangled), std::strlen(demangled)));
  std::free(demangled);  // the demangler's buffer comes from malloc
  return ok;
}

TMicrosoftUndecorator SetMicrosoftUndecorator(TMicrosoftUndecorator undecorator) noexcept {
  return g_undecorator.exchange(undecorator);
}

TNameMangling ClassifyMangledName(const std::wstring& name) {
  const std::wstring s = Trim(name);
  if (s.empty()) return nmUnknown;
  const wchar_t c = s[0];
  if (c == L'@') return nmBorland;
  if (c == L'?') return nmMicrosoft;
  const auto digit = [](wchar_t d) { return d >= L'1' && d <= L'9'; };
  if (s.size() > 4 && s[0] == L'_' && s[1] == L'Z' && (digit(s[2]) || digit(s[3]))) return nmItanium;
  if (IsAsciiLetter(c) || c == L'_') return nmPlain;
  return nmUnknown;
}

TNameMangling UnmangleName(const std::wstring& name, std::wstring& unit_name, std::wstring& qualified_name) {
  const std::wstring s = Trim(name);
  unit_name.clear();
  qualified_name = s;
  const TNameMangling kind = ClassifyMangledName(s);
  switch (kind) {
    case nmBorland:
      UnmangleBorland(std::wstring_view(s).substr(1), unit_name, qualified_name);
      if (qualified_name.empty()) {
        unit_name.clear();
        qualified_name = s;
      }
      break;
    case nmMicrosoft: {
      std::wstring text;
      const TMicrosoftUndecorator undecorate = g_undecorator.load();
      if (undecorate == nullptr || !undecorate(s, text)) break;
      if (text.size() > 4096) text.resize(4096);
      ReplaceAll(text, L"::", L".");
      const std::size_t dot = text.find(L'.');
      if (dot != std::wstring::npos && dot >= 1) {
        unit_name = Trim(std::wstring_view(text).substr(0, dot));
        qualified_name = Trim(std::wstring_view(text).substr(dot + 1));
      } else {
        qualified_name = Trim(text);
      }
      break;
    }
    case nmItanium:
    case nmPlain:
    case nmUnknown: {
      // The first-characters test misses the nested names GCC gives const
      // methods and the standard library ("_ZNK...", "_ZNSt..."); every "_Z"
      // name is offered to the demangler, and one it refuses stays plain.
      std::wstring text;
      if (s.size() > 4 && s[0] == L'_' && s[1] == L'Z' && DemangleItanium(s, text)) {
        qualified_name = Trim(text);
        return nmItanium;
      }
      break;
    }
  }
  return kind;
}

}  // namespace zelvic::diag
