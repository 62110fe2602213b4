// Where a bug report file can be written (or read): the configured name when
// it is usable, else the same file name in the facility's "Bug Reports"
// folder.
#pragma once

#include <string>

#include "platform/system_facts.h"

namespace zelvic::diag {

// Expands the placeholders of `file_name` and tests the file; when it is
// unusable, moves it into "Bug Reports" under the facility's data folder
// (and a folder named after this module with `per_module`), creating the
// folders. True, with `file_name` set, when a usable location was found;
// false when none was (never an exception for a folder it cannot create).
bool ResolveOutputFile(std::wstring& file_name, bool per_module, bool read_only,
                       platform::TSystemFacts& facts = platform::LiveSystemFacts());

}  // namespace zelvic::diag
