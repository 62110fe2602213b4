// The facility's own exception classes. Reports show the class name, so each
// class answers with its name as the facility defines it.
#pragma once

#include <string>

#include "runtime/exceptions.h"

namespace zelvic::diag {

#define ZELVIC_DECLARE_ERROR(Name, Base)                                  \
  class Name : public Base {                                              \
   public:                                                                \
    explicit Name(std::wstring message) : Base(std::move(message)) {}     \
    const wchar_t* ClassName() const noexcept override { return L## #Name; } \
  };

ZELVIC_DECLARE_ERROR(EVarnelLogGeneralError, rt::Exception)
// Debug information and the data container that carries it.
ZELVIC_DECLARE_ERROR(EInvalidDebugInformation, EVarnelLogGeneralError)
ZELVIC_DECLARE_ERROR(EInvalidDebugInformationVersion, EInvalidDebugInformation)
ZELVIC_DECLARE_ERROR(EDebugInfoWrongCompressedData, EInvalidDebugInformation)


}  // namespace zelvic::diag
