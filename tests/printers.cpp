#include "printers.h"

#include <string>

#include "diagnostics/config/EFilters.h"

namespace zelvic::diag {
namespace {

// Texts of the records are ASCII in every test; anything else shows as \x{...}.
void PrintText(const std::wstring& text, std::ostream* os) {
  *os << '"';
  for (wchar_t c : text) {
    if (c >= 0x20 && c < 0x7F && c != L'"' && c != L'\\') {
      *os << static_cast<char>(c);
    } else {
      *os << "\\x{" << std::hex << static_cast<unsigned>(c) << std::dec << '}';
    }
  }
  *os << '"';
}

}  // namespace

void PrintTo(const TVarnelExceptionFilter& f, std::ostream* os) {
  *os << "{Active=" << f.Active << ", ExceptionClassName=";
  PrintText(f.ExceptionClassName, os);
  *os << ", ExceptionType=" << static_cast<int>(f.ExceptionType) << ", SourceModule=";
  PrintText(f.SourceModule, os);
  *os << ", SourceUnit=";
  PrintText(f.SourceUnit, os);
  *os << ", SourceClass=";
  PrintText(f.SourceClass, os);
  *os << ", SourceProcedure=";
  PrintText(f.SourceProcedure, os);
  *os << ", Properties=";
  PrintText(f.Properties, os);
  *os << ", ExceptionMessage=";
  PrintText(f.ExceptionMessage, os);
  *os << ", DialogType=";
  PrintText(f.DialogType, os);
  *os << ", HandlerType=" << static_cast<int>(f.HandlerType) << ", ActionType=" << static_cast<int>(f.ActionType)
      << ", ExpectedContext=" << f.ExpectedContext << ", ExpectedURL=";
  PrintText(f.ExpectedURL, os);
  *os << ", ExpectedBugID=" << f.ExpectedBugID << '}';
}

}  // namespace zelvic::diag
