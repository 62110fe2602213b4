// Splits an exported routine name into its unit and its qualified name,
// undoing the name mangling of the compiler that made it: Borland ("@Unit@
// Class@Method$qqrv"), Microsoft C++ ("?Method@Class@@..."), Itanium C++
// ("_ZN3ns5Class6MethodEv", what GCC gives this library and its C++ runtime).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelvic::diag {

enum TNameMangling : std::uint8_t { nmUnknown = 0, nmPlain = 1, nmBorland = 2, nmMicrosoft = 3, nmItanium = 4 };

// The scheme a name is mangled with, by its first characters.
TNameMangling ClassifyMangledName(const std::wstring& name);

// `unit_name` is empty unless the scheme names a unit; names that cannot be
// undone come back trimmed and otherwise unchanged. Returns the scheme.
TNameMangling UnmangleName(const std::wstring& name, std::wstring& unit_name, std::wstring& qualified_name);

// A C++ type's name as the runtime's type information holds it (Itanium
// type mangling without "_Z"; GCC marks a type local to its unit with a
// leading "*"), made readable: "N6zelvic5TItemE" gives "zelvic::TItem". False
// when the text is no type name the demangler accepts.
bool DemangleTypeName(std::string_view mangled, std::wstring& plain);

// Microsoft names are undecorated by the platform's image-help library; the
// platform layer plugs it in. Without one (the default) the name stays as it
// is. The undecorator returns false when it cannot undo the name.
using TMicrosoftUndecorator = bool (*)(const std::wstring& name, std::wstring& undecorated);
TMicrosoftUndecorator SetMicrosoftUndecorator(TMicrosoftUndecorator undecorator) noexcept;

}  // namespace zelvic::diag
