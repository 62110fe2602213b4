#include "diagnostics/threads/EThreadFactsExport.h"

#include "diagnostics/threads/EThreadsManager.h"
#include "platform/registry.h"

namespace zelvic::diag {

TThreadFactsRequest ParseThreadFactsRequest(wchar_t* text) {
  TThreadFactsRequest request;
  if (text == nullptr) return request;
  wchar_t* p = text;
  while (*p != 0 && *p != L'\r' && *p != L'\n') ++p;
  request.FileName.assign(text, p);
  if (*p == 0) return request;
  *p++ = 0;
  while (*p == L'\r' || *p == L'\n') ++p;
  std::uint32_t id = 0;
  for (; *p >= L'0' && *p <= L'9'; ++p) id = id * 10 + static_cast<std::uint32_t>(*p - L'0');
  request.ThreadID = id;
  return request;
}

std::wstring ThreadFactsText(std::uint32_t thread_id) {
  // An unknown thread reads as a plain one with no parent, like a record
  // that was never classified.
  TVarnelThreadData unknown(thread_id);
  unknown.FCloned = true;
  TThreadDataPtr record = GetThreadData(thread_id, false);
  TVarnelThreadData& r = record ? *record : unknown;
  const TThreadKind kind = r.Kind();
  if (r.FParentID == 0 && kind == tkUnknown && r.FThreadClassName.empty() && r.FName.empty() && r.FShortDescr.empty()) {
    return {};
  }
  std::wstring text(1, L'\xFEFF');
  for (const std::wstring& line : {std::to_wstring(r.FParentID), std::to_wstring(static_cast<int>(kind)),
                                   r.FThreadClassName, r.FName, r.FShortDescr, std::to_wstring(thread_id)}) {
    text += line;
    text += L"\r\n";
  }
  return text;
}

std::uint32_t WriteThreadFacts(void* parameter) noexcept {
  try {
    const TThreadFactsRequest request = ParseThreadFactsRequest(static_cast<wchar_t*>(parameter));
    const std::wstring text = ThreadFactsText(request.ThreadID);
    if (text.empty()) return 0;
    // The byte-order mark is the first character: UTF-16LE as it lies in memory.
    // Shared for reading: the tool that asked may read while it is written.
    const std::uint32_t error =
        platform::CreateFileWithBytes(request.FileName, text.data(), text.size() * sizeof(wchar_t), true);
    return error == 0 ? 0 : 1;
  } catch (...) {
    return 1;
  }
}

}  // namespace zelvic::diag
