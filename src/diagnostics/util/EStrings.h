// Small text operations the facility's units share.
#pragma once

#include <string>
#include <string_view>

namespace zelvic::diag {

// Without leading and trailing blanks and control characters (code <= 32).
std::wstring Trim(std::wstring_view text);
// Every occurrence of `what`, left to right, replaced by `with`.
void ReplaceAll(std::wstring& text, std::wstring_view what, std::wstring_view with);

// Compares file names the way the platform's file system does for the
// characters that matter here (ASCII and Latin-1 letters fold case).
bool SameFileName(const std::wstring& a, const std::wstring& b) noexcept;
std::wstring ExtractFileNamePart(const std::wstring& path);

}  // namespace zelvic::diag
