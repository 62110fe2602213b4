// The library's image gives its small-block chunks back when it goes: the
// last exit procedure of its C start-up code, registered before any other
// (a C initializer in .CRT$XIB runs before the C++ constructors register
// their destructors), so every static destructor has freed its blocks
// first. Only the library's links use this unit: a program that links the
// objects keeps its pool until the process ends, since its exit procedures
// run while its other threads still do.
#include <cstdlib>

#include "runtime/memory_manager.h"

namespace {

void EndPool() { zelvic::rt::EndDefaultMemoryManager(); }

int RegisterPoolEnd() {
  std::atexit(EndPool);
  return 0;
}

__attribute__((section(".CRT$XIB"), used)) int (*g_register_pool_end)() = RegisterPoolEnd;

}  // namespace
