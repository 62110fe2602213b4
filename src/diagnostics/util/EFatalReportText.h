// The closing lines of the fatal reports that the step-failure handlers of
// several units show. Shared here because those units sit on different
// layers, all above this one.
#pragma once

#include <string>

namespace zelvic::diag {

inline constexpr wchar_t kCopyReportHint[] = L"Press Ctrl + C to copy report to clipboard";

// Appends the closing lines every fatal report carries: the handler's
// signature and the copy hint.
std::wstring WithReportFooter(const std::wstring& body, const wchar_t* handler_name);

}  // namespace zelvic::diag
