// The result of handling an exception: of a dialog, of a send and of the
// whole pipeline. Success is a non-negative SendResult, failure a negative one.
#pragma once

#include <cstdint>
#include <string>

namespace zelvic::diag {

struct TResponse {
  std::int32_t SendResult = 0;
  std::int64_t IssueID = 0;
  std::int32_t ErrorCode = 0;
  std::wstring ErrorMessage;
  std::wstring SuccessMessage;
};

}  // namespace zelvic::diag
