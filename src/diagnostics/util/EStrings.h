// Small text operations the facility's units share.
#pragma once

#include <string>
#include <string_view>

namespace zelvic::diag {

// Without leading and trailing blanks and control characters (code <= 32).
std::wstring Trim(std::wstring_view text);
// Every occurrence of `what`, left to right, replaced by `with`.
void ReplaceAll(std::wstring& text, std::wstring_view what, std::wstring_view with);

// Which letters a case-blind comparison folds. Names of classes, options and
// sections are ASCII by rule; file and unit names may carry Latin-1 letters,
// which the file system folds too.
enum class TCaseFolding { Ascii, Latin1 };
// Equal once letter case is folded; no locale is consulted, so the answer is
// the same on every machine.
bool EqualIgnoringCase(std::wstring_view a, std::wstring_view b, TCaseFolding folding = TCaseFolding::Ascii) noexcept;

}  // namespace zelvic::diag
