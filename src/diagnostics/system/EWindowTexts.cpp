#include "diagnostics/system/EWindowTexts.h"

#include "diagnostics/util/EStrings.h"

namespace zelvic::diag {
namespace {

constexpr std::uint32_t kEditMultiLine = 0x0004;  // ES_MULTILINE
constexpr std::uint32_t kEditPassword = 0x0020;   // ES_PASSWORD

std::wstring OneBlankPerControlRun(const std::wstring& text) {
  std::wstring out;
  bool in_run = false;
  for (const wchar_t c : text) {
    if (c < 32) {
      if (!in_run) out += L' ';
      in_run = true;
    } else {
      out += c;
      in_run = false;
    }
  }
  return out;
}

std::wstring TextOrError(const platform::TWindowText& read, platform::TSystemFacts& facts) {
  if (read.Text.empty() && read.Error != 0) return facts.ErrorText(read.Error);
  return read.Text;
}

std::wstring ReadText(std::uintptr_t window, platform::TSystemFacts& facts) {
  const platform::TWindowText read = facts.WindowText(window);
  return read.Error != 0 ? facts.ErrorText(read.Error) : read.Text;
}

std::wstring UpperAscii(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return text;
}

}  // namespace

std::wstring GetFormClass(std::uintptr_t window, platform::TSystemFacts& facts) {
  if (window == 0) window = facts.ForegroundWindow();
  if (window == 0) return {};
  return OneBlankPerControlRun(TextOrError(facts.WindowClassName(window), facts));
}

std::wstring GetFormText(std::uintptr_t window, platform::TSystemFacts& facts) {
  if (window == 0) window = facts.ForegroundWindow();
  if (window == 0) return {};
  return OneBlankPerControlRun(ReadText(window, facts));
}

std::wstring GetControlClass(std::uintptr_t window, platform::TSystemFacts& facts) {
  if (window == 0) window = facts.FocusedWindow();
  return TextOrError(facts.WindowClassName(window), facts);
}

std::wstring GetControlText(std::uintptr_t window, platform::TSystemFacts& facts) {
  if (window == 0) window = facts.FocusedWindow();
  // The window tested is the window read: testing another one (the focused
  // window while reading a given one) would let a password through.
  const std::wstring class_name = Trim(UpperAscii(facts.WindowClassName(window).Text));
  const std::uint32_t style = facts.WindowStyle(window);
  const bool edit = class_name.find(L"EDIT") != std::wstring::npos;
  const bool memo = class_name.find(L"MEMO") != std::wstring::npos;
  if ((edit || memo) && (style & kEditMultiLine) != 0) return {};
  std::wstring text = ReadText(window, facts);
  if (!text.empty() && edit && (style & kEditPassword) != 0) text.assign(text.size(), L'*');
  return text;
}

}  // namespace zelvic::diag
