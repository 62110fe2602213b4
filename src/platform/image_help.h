// The platform's image-help library, loaded on first use (never while the
// loader lock is held by our own start-up).
#pragma once

#include <string>

namespace zelvic::platform {

// Undecorates a Microsoft C++ name to its qualified name ("Class::Method");
// false when the library or the name cannot be undone.
bool UndecorateMicrosoftName(const std::wstring& name, std::wstring& undecorated);

}  // namespace zelvic::platform
