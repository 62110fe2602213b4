// Parts of file names as the facility shows and compares them. Folders end at
// "\" or "/" (both reach us: loader names, DWARF paths, options texts), and a
// drive prefix ends at its ":", so "C:name.dll" names "name.dll" too.
#pragma once

#include <string>
#include <string_view>

namespace zelvic::diag {

// What follows the last delimiter; the whole text without one.
std::wstring ExtractFileNamePart(std::wstring_view path);
// The same part as a view into `path`.
std::wstring_view FileNamePartOf(std::wstring_view path) noexcept;
// Up to and including the last delimiter; empty without one.
std::wstring ExtractFileDirPart(std::wstring_view path);
// The extension of the name part, dot included; empty without one.
std::wstring_view ExtractFileExtPart(std::wstring_view path) noexcept;
std::wstring WithoutExtension(std::wstring_view path);
// The same as a view into `path`.
std::wstring_view StemOf(std::wstring_view path) noexcept;
// Compares file names the way the platform's file system does for the
// characters that matter here (ASCII and Latin-1 letters fold case).
bool SameFileName(std::wstring_view a, std::wstring_view b) noexcept;

}  // namespace zelvic::diag
