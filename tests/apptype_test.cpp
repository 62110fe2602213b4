// The application kind's services: kinds, the replaceable procedures, the
// facility's message box (its console form byte-exact from a child
// process), the message pump, the main-window search and module kinds.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "diagnostics/exceptions/EAppType.h"
#include "runtime/exceptions.h"
#include "fixed_system_facts.h"
#include "test_support.h"

namespace zelvic::test {
namespace {

using platform::TTopLevelWindow;

// Starts and ends the unit around a test, and empties the slots it fills.
struct AppTypeUnit {
  AppTypeUnit() { diag::EAppTypeInit(); }
  ~AppTypeUnit() {
    diag::EAppTypeDone();
    diag::MessageBoxReplacement = nullptr;
    diag::ExceptionEntrySlot = nullptr;
    diag::DebugOutputReplacement = nullptr;
  }
};

std::vector<std::wstring> g_debug_texts;
void RecordDebugText(const std::wstring& text) { g_debug_texts.push_back(text); }

TEST(AppTypeKinds, ConsoleIsRegisteredAtStartAndEveryListEmptiedAtTheEnd) {
  rt::TStepFailureHandler before = rt::StepFailureHandler;
  {
    AppTypeUnit unit;
    // This test program is a console program.
    EXPECT_TRUE(diag::IsConsoleApplication());
    EXPECT_EQ(diag::ApplicationKinds(), std::vector<std::wstring>{L"Console"});
    EXPECT_NE(rt::StepFailureHandler, before);
    diag::ActivateApplicationKindHooks();
    diag::ActivateApplicationKindHooks();
    EXPECT_EQ(diag::ApplicationKindHookActivations(), 2);
  }
  EXPECT_TRUE(diag::ApplicationKinds().empty());
  EXPECT_EQ(diag::ApplicationKindHookActivations(), 0);
  EXPECT_EQ(rt::StepFailureHandler, before);
}

TEST(AppTypeKinds, QueriesMatchWholeNamesCaseSensitively) {
  // An empty name is every process's kind, even before any is known.
  EXPECT_TRUE(diag::IsApplicationKind(L""));
  AppTypeUnit unit;
  EXPECT_FALSE(diag::IsCGIApplication());
  diag::RegisterApplicationKind(L"CGI");
  const struct {
    const wchar_t* name;
    bool expected;
  } cases[] = {{L"", true},      {L"CGI", true},      {L"Console", true}, {L"cgi", false},
               {L"CG", false},   {L"CGI ", false},    {L"Service", false}};
  for (const auto& c : cases) EXPECT_EQ(diag::IsApplicationKind(c.name), c.expected) << std::string(c.name, c.name + wcslen(c.name));
  EXPECT_TRUE(diag::IsCGIApplication());
  EXPECT_THROW(diag::RegisterApplicationKind(L""), rt::EAssertionFailed);
  EXPECT_EQ(diag::ApplicationKinds().size(), 2u);
}

TEST(AppTypeMessageBox, DefaultButtonOfEveryButtonSet) {
  const struct {
    UINT style;
    int expected;
  } cases[] = {
      {MB_OK, IDOK},
      {MB_OK | MB_DEFBUTTON2, IDOK},
      {MB_OKCANCEL, IDOK},
      {MB_OKCANCEL | MB_DEFBUTTON2, IDCANCEL},
      {MB_ABORTRETRYIGNORE, IDABORT},
      {MB_ABORTRETRYIGNORE | MB_DEFBUTTON2, IDRETRY},
      {MB_ABORTRETRYIGNORE | MB_DEFBUTTON3, IDIGNORE},
      {MB_YESNOCANCEL, IDYES},
      {MB_YESNOCANCEL | MB_DEFBUTTON2, IDNO},
      {MB_YESNOCANCEL | MB_DEFBUTTON3, IDCANCEL},
      {MB_YESNO, IDYES},
      {MB_YESNO | MB_DEFBUTTON2, IDNO},
      {MB_RETRYCANCEL, IDRETRY},
      {MB_RETRYCANCEL | MB_DEFBUTTON2, IDCANCEL},
      // Every answer is one of the box's own buttons.
      {MB_CANCELTRYCONTINUE, IDCANCEL},
      {MB_CANCELTRYCONTINUE | MB_DEFBUTTON2, IDTRYAGAIN},
      {MB_CANCELTRYCONTINUE | MB_DEFBUTTON3, IDCONTINUE},
      {7, IDOK},
      {15, IDOK},
      // Icons and modality do not change the answer.
      {MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION | MB_SYSTEMMODAL, IDNO},
  };
  for (const auto& c : cases) EXPECT_EQ(diag::DefaultButtonOf(c.style), c.expected) << std::hex << c.style;
}

int g_replacement_calls = 0;
std::wstring g_replacement_text, g_replacement_caption;
std::uint32_t g_replacement_style = 0;
void* g_replacement_owner = nullptr;

int RecordingBox(const std::wstring& text, const std::wstring& caption, std::uint32_t style, void* owner) {
  ++g_replacement_calls;
  g_replacement_text = text;
  g_replacement_caption = caption;
  g_replacement_style = style;
  g_replacement_owner = owner;
  return IDRETRY;
}

TEST(AppTypeMessageBox, ReplacementAnswersTaskModalAfterTheDebugOutput) {
  AppTypeUnit unit;
  g_debug_texts.clear();
  g_replacement_calls = 0;
  diag::DebugOutputReplacement = RecordDebugText;
  diag::MessageBoxReplacement = RecordingBox;
  void* owner = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(diag::VarnelMessageBox(L"Body", L"Title", MB_YESNO | MB_ICONWARNING, owner), IDRETRY);
  EXPECT_EQ(g_replacement_calls, 1);
  EXPECT_EQ(g_replacement_text, L"Body");
  EXPECT_EQ(g_replacement_caption, L"Title");
  EXPECT_EQ(g_replacement_style, static_cast<std::uint32_t>(MB_YESNO | MB_ICONWARNING | MB_TASKMODAL));
  EXPECT_EQ(g_replacement_owner, owner);
  EXPECT_EQ(g_debug_texts, (std::vector<std::wstring>{L"Title", L"Body"}));
}

TEST(AppTypeMessageBox, WithoutDebugReplacementTheDebuggerSeesCaptionThenText) {
  AppTypeUnit unit;
  DebugOutputRecorder recorder;
  // The box itself is replaced: the console form is a child's to check.
  diag::MessageBoxReplacement = RecordingBox;
  diag::VarnelMessageBox(L"Second line", L"First line", MB_OK);
  const std::vector<std::string> lines = recorder.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "First line");
  EXPECT_EQ(lines.back(), "Second line");
}

TEST(AppTypeMessageBox, ConsoleLinesAndDefaultButtonFromAChildProcess) {
  const struct {
    UINT style;
    std::uint32_t answer;
  } cases[] = {
      {MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION, IDNO},
      {MB_YESNOCANCEL, IDYES},
      {MB_YESNOCANCEL | MB_DEFBUTTON3, IDCANCEL},
      {MB_CANCELTRYCONTINUE | MB_DEFBUTTON2, IDTRYAGAIN},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(RunChild(L"--child apptype-box:" + std::to_wstring(c.style), out), c.answer) << c.style;
    // A pipe gets UTF-8: "Größe" is 47 72 C3 B6 C3 9F 65.
    EXPECT_EQ(out, "\r\nGr\xC3\xB6\xC3\x9F" "e?\r\n\r\nLine one\r\nLine two\r\n") << c.style;
  }
}

TEST(AppTypeMessageBox, ADevelopmentEnvironmentIsKnownByItsProgramNameInAnyCase) {
  const struct {
    const wchar_t* path;
    bool expected;
  } cases[] = {
      {L"C:\\Program Files\\Studio\\bin\\BDS.EXE", true},
      {L"Z:\\tools\\delphi32.exe", true},
      {L"bcb.Exe", true},
      {L"C:/ide/BCB.EXE", true},
      {L"C:\\bin\\bds2.exe", false},
      {L"C:\\bin\\xbcb.exe", false},
      {L"C:\\BDS.EXE\\host.exe", false},  // a folder's name does not count
      {L"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(diag::IsDevelopmentEnvironmentProgram(c.path), c.expected)
        << std::string(c.path, c.path + wcslen(c.path));
  }
  EXPECT_FALSE(diag::IsHostedByDevelopmentEnvironment());  // zelvic_tests.exe
}

void* g_entry_object = nullptr;
void* g_entry_address = nullptr;
void RecordingEntry(void* object, void* address, diag::TResponse& response) {
  g_entry_object = object;
  g_entry_address = address;
  response.SendResult = 0;
  response.IssueID = 77;
}

TEST(AppTypeExceptionEntry, WithoutManagerTheResponseSaysSoAndWithOneItAnswers) {
  AppTypeUnit unit;
  diag::TResponse response;
  response.SendResult = 5;
  response.IssueID = 9;
  response.ErrorMessage = L"stale";
  response.SuccessMessage = L"stale";
  int object = 0;
  diag::HandleExceptionObject(&object, reinterpret_cast<void*>(0x401000), response);
  EXPECT_EQ(static_cast<std::uint32_t>(response.SendResult), 0x8007006Eu);
  EXPECT_EQ(response.ErrorCode, 1);
  EXPECT_EQ(response.IssueID, 0);
  EXPECT_TRUE(response.ErrorMessage.empty());
  EXPECT_TRUE(response.SuccessMessage.empty());

  diag::ExceptionEntrySlot = RecordingEntry;
  diag::TResponse handled;
  diag::HandleExceptionObject(&object, reinterpret_cast<void*>(0x401000), handled);
  EXPECT_EQ(g_entry_object, &object);
  EXPECT_EQ(g_entry_address, reinterpret_cast<void*>(0x401000));
  EXPECT_EQ(handled.SendResult, 0);
  EXPECT_EQ(handled.IssueID, 77);
}

TEST(AppTypeDebugOutput, DumpStringQuotesTheTextThroughTheReplacement) {
  AppTypeUnit unit;
  g_debug_texts.clear();
  diag::DebugOutputReplacement = RecordDebugText;
  diag::DumpString(L"a \"b\"");
  diag::DumpString(L"");
  EXPECT_EQ(g_debug_texts, (std::vector<std::wstring>{L"Dump(String): \"a \"b\"\"", L"Dump(String): \"\""}));
}

// --- Message pump --------------------------------------------------------

int g_wide_seen = 0, g_narrow_seen = 0;
LRESULT CALLBACK WideProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_APP + 1) ++g_wide_seen;
  return DefWindowProcW(w, m, wp, lp);
}
LRESULT CALLBACK NarrowProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_APP + 2) ++g_narrow_seen;
  return DefWindowProcA(w, m, wp, lp);
}

TEST(AppTypeProcessMessages, DispatchesEverythingAndLeavesOnlyTheQuitRequest) {
  WNDCLASSW wide{};
  wide.lpfnWndProc = WideProc;
  wide.hInstance = GetModuleHandleW(nullptr);
  wide.lpszClassName = L"ZelvicPumpWide";
  WNDCLASSA narrow{};
  narrow.lpfnWndProc = NarrowProc;
  narrow.hInstance = GetModuleHandleW(nullptr);
  narrow.lpszClassName = "ZelvicPumpNarrow";
  ASSERT_NE(RegisterClassW(&wide), 0);
  ASSERT_NE(RegisterClassA(&narrow), 0);
  // Message-only windows: they need no display.
  HWND w = CreateWindowW(L"ZelvicPumpWide", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wide.hInstance, nullptr);
  HWND a = CreateWindowA("ZelvicPumpNarrow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, narrow.hInstance, nullptr);
  ASSERT_NE(w, nullptr);
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(IsWindowUnicode(w));
  EXPECT_FALSE(IsWindowUnicode(a));

  g_wide_seen = g_narrow_seen = 0;
  PostMessageW(w, WM_APP + 1, 0, 0);
  PostQuitMessage(42);
  PostMessageA(a, WM_APP + 2, 0, 0);
  PostThreadMessageW(GetCurrentThreadId(), WM_APP + 3, 0, 0);
  diag::ProcessMessages();

  EXPECT_EQ(g_wide_seen, 1);
  EXPECT_EQ(g_narrow_seen, 1);
  MSG msg;
  // The quit request survives the pump, once, with its exit code, and
  // nothing else is left.
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 42u);
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) << std::hex << msg.message;

  // An empty queue stays empty.
  diag::ProcessMessages();
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
  DestroyWindow(w);
  DestroyWindow(a);
  UnregisterClassW(L"ZelvicPumpWide", wide.hInstance);
  UnregisterClassA("ZelvicPumpNarrow", narrow.hInstance);
}

// --- Main window ---------------------------------------------------------

TEST(AppTypeMainWindow, TheFirstVisibleUnownedSizedAppWindowOfTheProcessWins) {
  constexpr std::uint32_t kPid = 0x44;
  auto window = [](std::uintptr_t handle) {
    TTopLevelWindow w;
    w.Handle = handle;
    w.Visible = true;
    w.Left = 10;
    w.Top = 20;
    w.Right = 650;
    w.Bottom = 500;
    return w;
  };
  // The live collection lists a process's own windows, and names no owner
  // when the owner is the desktop.
  const struct {
    const char* what;
    void (*change)(TTopLevelWindow&);
    bool chosen;
  } cases[] = {
      {"plain", [](TTopLevelWindow&) {}, true},
      {"hidden", [](TTopLevelWindow& w) { w.Visible = false; }, false},
      {"no width", [](TTopLevelWindow& w) { w.Right = w.Left; }, false},
      {"negative height", [](TTopLevelWindow& w) { w.Bottom = w.Top - 3; }, false},
      {"owned", [](TTopLevelWindow& w) { w.Owner = 0x990; }, false},
      {"tool window", [](TTopLevelWindow& w) { w.ExStyle = WS_EX_TOOLWINDOW; }, false},
      {"tool and app window", [](TTopLevelWindow& w) { w.ExStyle = WS_EX_TOOLWINDOW | WS_EX_APPWINDOW; }, true},
      {"app window", [](TTopLevelWindow& w) { w.ExStyle = WS_EX_APPWINDOW | WS_EX_TOPMOST; }, true},
  };
  for (const auto& c : cases) {
    // The candidate comes first; a plain window after it is the fallback.
    FixedSystemFacts facts;
    facts.TopLevel[kPid] = {window(0x100), window(0x200)};
    c.change(facts.TopLevel[kPid][0]);
    EXPECT_EQ(diag::FindMainWindow(kPid, facts), c.chosen ? 0x100u : 0x200u) << c.what;
  }
  FixedSystemFacts facts;
  EXPECT_EQ(diag::FindMainWindow(kPid, facts), 0u);
  facts.TopLevel[kPid + 4] = {window(0x100)};
  EXPECT_EQ(diag::FindMainWindow(kPid, facts), 0u);
}

TEST(AppTypeMainWindow, LiveSearchFindsNoWindowForAProcessWithoutOne) {
  // This process shows no top-level window; the search goes through the
  // window system all the same. An ID no process has finds nothing either.
  EXPECT_EQ(diag::FindMainWindow(GetCurrentProcessId()), 0u);
  EXPECT_EQ(diag::FindMainWindow(0xFFFFFFF0u), 0u);
}

// --- Module kinds ----------------------------------------------------------

TEST(AppTypeModuleKind, ProgramLibraryAndNotAnImage) {
  LoadedLibrary lib(DllPath());
  ASSERT_TRUE(lib.ok()) << lib.error();
  static const char not_an_image[4096] = "just bytes";
  const struct {
    const char* what;
    std::uintptr_t module;
    int kind;
  } cases[] = {
      {"this program", reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr)), 1},
      {"the module of this code", 0, 1},
      {"kernel32", reinterpret_cast<std::uintptr_t>(GetModuleHandleW(L"kernel32.dll")), 2},
      {"the built library", reinterpret_cast<std::uintptr_t>(lib.get()), 2},
      {"data", reinterpret_cast<std::uintptr_t>(not_an_image), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(diag::ModuleKind(c.module), c.kind) << c.what;
    EXPECT_EQ(diag::IsLibraryModule(c.module), c.kind == 2) << c.what;
  }
}

}  // namespace

int RunAppTypeScenario(const std::wstring& name) {
  // The facility's box in this console program: the lines go to standard
  // output and the default button is the exit code.
  if (name.starts_with(L"box:")) {
    const auto style = static_cast<std::uint32_t>(std::wcstoul(name.c_str() + 4, nullptr, 10));
    return diag::VarnelMessageBox(L"Line one\r\nLine two", L"Gr\u00F6\u00DFe?", style);
  }
  return 3;
}

}  // namespace zelvic::test
