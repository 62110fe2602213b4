// The class of a live C++ object, read from the run-time type information the
// compiler lays down beside each polymorphic class's virtual table.
#pragma once

#include <cstdint>
#include <string>

#include "platform/memory_regions.h"

namespace zelvic::diag {

// Whether an address lies in the image of a loaded module.
using TInLoadedImage = bool (*)(std::uint32_t address);

// The class name ("zelvic::diag::TItem") of the object at `address`, the most
// derived class when the address is a base sub-object; empty when no object
// of a polymorphic class is there. Everything is read through `memory`, each
// read after a readability test, and the address is trusted in nothing: the
// object's first word must point at a virtual table in a module's read-only
// data, whose type information, there too, is itself an object of one of the
// C++ runtime's class-type-information classes, and the class's mangled name
// must be read-only text of a module that the demangler accepts.
std::wstring CxxObjectClassName(const memory::TMemoryAccess& memory, std::uint32_t address, TInLoadedImage in_image);

}  // namespace zelvic::diag
