// The result of handling an exception: what the exception manager, the
// dialog step and the exception entry answer. Result codes follow the
// platform's result-code convention (negative = failure): 0 done, 2 nothing
// to do, 8007006E skipped, 800704C7 cancelled, 8000FFFF failed.
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
