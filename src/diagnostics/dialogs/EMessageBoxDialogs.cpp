#include "diagnostics/dialogs/EMessageBoxDialogs.h"

#include <algorithm>
#include <cwchar>

#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"
#include "platform/dialog_services.h"
#include "platform/registry.h"

namespace zelvic::diag {
namespace {

constexpr std::uint32_t kMbYesNo = 0x4, kMbIconError = 0x10, kMbDefButton2 = 0x100, kMbTaskModal = 0x2000;
constexpr int kIdYes = 6, kIdNo = 7;
constexpr std::size_t kDetailedEntries = 15;

template <typename T>
std::unique_ptr<TBaseDialog> Make(TDialogSubject& subject) {
  return std::make_unique<T>(subject);
}

constexpr TDialogClass kClasses[] = {
    {L"TNullDialog", true, Make<TNullDialog>},
    {L"TMessageBoxDialog", true, Make<TMessageBoxDialog>},
    {L"TMessageBoxDetailedDialog", true, Make<TMessageBoxDetailedDialog>},
    {L"TRTLHandlerDialog", false, Make<TRTLHandlerDialog>},
};

// The first "%s" of a customised text takes the value.
std::wstring FormatOne(std::wstring text, const std::wstring& value) {
  if (const std::size_t at = text.find(L"%s"); at != std::wstring::npos) text.replace(at, 2, value);
  return text;
}

}  // namespace

TResponse TNullDialog::ShowDialog() {
  // Stored again so that a changed text rebuilds the report.
  Subject().SetReproduceText(Subject().ReproduceText());
  return TResponse{};
}

TResponse TMessageBoxDialog::ShowDialog() {
  TResponse response;
  response.SendResult = SendErrorReportChecked() ? kSendDone : kSendCancelled;
  std::wstring text = MessageText();
  std::uint32_t buttons = 0;
  const bool ask = ShowSendErrorControl();
  if (ask) {
    text = FormatOne(Options().GetCustomizedExpandedTexts(mtSend_AskSend), text);
    buttons = kMbYesNo;
  }
  std::uint32_t style = buttons | kMbIconError | kMbTaskModal;
  if (ask && !SendErrorReportChecked()) style |= kMbDefButton2;
  const int answer = ShowBox(text, Options().GetCustomizedExpandedTexts(mtDialog_Caption), style);
  if (answer == 0) {
    const std::uint32_t error = platform::LastError();
    response.ErrorCode = static_cast<std::int32_t>(error);
    response.SendResult = kSendFailed;
    response.ErrorMessage = platform::SystemErrorText(error);
    return response;
  }
  if (answer == kIdYes) response.SendResult = kSendDone;
  if (answer == kIdNo) response.SendResult = kSendCancelled;
  Subject().SetReproduceText(Subject().ReproduceText());
  return response;
}

std::wstring TMessageBoxDetailedDialog::MessageText() {
  std::wstring text = GetExceptionMessage() + L"\r\n\r\n";
  for (const std::wstring& line : DetailedCallStackLines(Subject().CallStack())) text += line + L"\r\n";
  return text;
}

std::vector<std::wstring> DetailedCallStackLines(std::span<const TDetailedEntry> entries) {
  std::vector<std::wstring> lines;
  if (entries.empty()) return lines;
  const std::uint32_t thread = entries.front().ThreadID;
  for (const TDetailedEntry& e : entries.first(std::min(entries.size(), kDetailedEntries))) {
    if (e.ThreadID != thread || e.Detail < TDetailedEntry::ddUnit) continue;
    const std::wstring module = ExtractFileNamePart(e.ModuleFileName);
    std::wstring line = module;
    if (!EqualIgnoringCase(e.UnitName, StemOf(module))) line += L"." + e.UnitName;
    if (!e.ClassAndProcedure.empty()) line += L"." + e.ClassAndProcedure;
    if (e.Line > 0) {
      wchar_t numbers[32];
      std::swprintf(numbers, 32, L",%d[%d]", e.Line, e.LineOffset);
      line += numbers;
    }
    if (lines.empty() || lines.back() != line) lines.push_back(std::move(line));
  }
  return lines;
}

const TDialogClass& NullDialogClass() noexcept { return kClasses[0]; }

void RegisterMessageBoxDialogClasses() {
  for (const TDialogClass& c : kClasses) RegisterDialogClass(c);
}

}  // namespace zelvic::diag
