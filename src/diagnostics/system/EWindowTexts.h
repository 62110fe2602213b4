// The class names and texts of the windows an exception record captures: the
// foreground form and the focused control. A password field's text never
// leaves as it is.
#pragma once

#include <cstdint>
#include <string>

#include "platform/system_facts.h"

namespace zelvic::diag {

// Of the window (the foreground one for 0); the platform's error message
// when the class cannot be read; runs of control characters become one
// blank.
std::wstring GetFormClass(std::uintptr_t window, platform::TSystemFacts& facts = platform::LiveSystemFacts());
std::wstring GetFormText(std::uintptr_t window, platform::TSystemFacts& facts = platform::LiveSystemFacts());
// Of the window (the focused one for 0).
std::wstring GetControlClass(std::uintptr_t window, platform::TSystemFacts& facts = platform::LiveSystemFacts());
// The text of the window (the focused one for 0): empty for a multi-line
// edit or memo, stars for a password edit. The class and style tested are
// those of the window whose text is read.
std::wstring GetControlText(std::uintptr_t window, platform::TSystemFacts& facts = platform::LiveSystemFacts());

}  // namespace zelvic::diag
