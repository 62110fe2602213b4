// Text comparison and code-page conversion as the user's platform does them.
// Sorted option texts must come out in the same order that the platform's own
// tools show, so the comparison is the platform's, not a code-unit compare.
#pragma once

#include <string>
#include <string_view>

namespace zelvic::platform {

// Negative, zero or positive as `a` sorts before, with or after `b` under the
// user's locale with letter case ignored.
int CompareTextIgnoreCase(std::wstring_view a, std::wstring_view b) noexcept;
// Equality with letter case ignored under the system's default locale, not
// the user's: for names the system itself defines (module names), which
// must match the same way whoever is logged on.
bool SameTextIgnoreCaseSystemLocale(std::wstring_view a, std::wstring_view b) noexcept;

// The text in the process's ANSI code page; characters it cannot hold become
// the code page's default character.
std::string ToAnsiCodePage(std::wstring_view text);
// Bytes in the process's ANSI code page as text.
std::wstring FromAnsiCodePage(std::string_view bytes);

}  // namespace zelvic::platform
