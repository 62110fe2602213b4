// How the test program prints the library's records when a comparison of
// them fails: every field by name, so a failure shows which one differs
// instead of a dump of object bytes. GoogleTest finds these by argument-
// dependent lookup, so each lives in its record's namespace.
#pragma once

#include <ostream>

namespace zelvic::diag {

struct TVarnelExceptionFilter;
void PrintTo(const TVarnelExceptionFilter& filter, std::ostream* os);

}  // namespace zelvic::diag
