#include "platform/window_messages.h"

#include <windows.h>

namespace zelvic::platform {
namespace {

template <typename T>
T Proc(HMODULE module, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

struct TUser32Pump {
  using Peek = BOOL(WINAPI*)(MSG*, HWND, UINT, UINT, UINT);
  using Dispatch = LRESULT(WINAPI*)(const MSG*);
  Peek PeekW = nullptr, PeekA = nullptr;
  BOOL(WINAPI* IsUnicode)(HWND) = nullptr;
  BOOL(WINAPI* Translate)(const MSG*) = nullptr;
  Dispatch DispatchW = nullptr, DispatchA = nullptr;

  explicit TUser32Pump(HMODULE user32)
      : PeekW(Proc<Peek>(user32, "PeekMessageW")),
        PeekA(Proc<Peek>(user32, "PeekMessageA")),
        IsUnicode(Proc<BOOL(WINAPI*)(HWND)>(user32, "IsWindowUnicode")),
        Translate(Proc<BOOL(WINAPI*)(const MSG*)>(user32, "TranslateMessage")),
        DispatchW(Proc<Dispatch>(user32, "DispatchMessageW")),
        DispatchA(Proc<Dispatch>(user32, "DispatchMessageA")) {}
  bool ok() const { return PeekW && PeekA && IsUnicode && Translate && DispatchW && DispatchA; }
};

}  // namespace

TPumpOutcome PumpPendingMessages() noexcept {
  TPumpOutcome outcome;
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (user32 == nullptr) return outcome;
  const TUser32Pump u(user32);
  if (!u.ok()) return outcome;
  MSG msg;
  while (u.PeekW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
    // An 8-bit window gets its text messages converted only when they are
    // taken out and dispatched through the 8-bit pair.
    const bool unicode = msg.hwnd == nullptr || u.IsUnicode(msg.hwnd);
    if (!(unicode ? u.PeekW : u.PeekA)(&msg, nullptr, 0, 0, PM_REMOVE)) break;
    if (msg.message == WM_QUIT) {
      outcome.QuitSeen = true;
      outcome.QuitExitCode = msg.wParam;
      continue;
    }
    u.Translate(&msg);
    (unicode ? u.DispatchW : u.DispatchA)(&msg);
  }
  return outcome;
}

void PostQuit(std::uintptr_t exit_code) noexcept {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (user32 == nullptr) return;
  if (auto post = Proc<void(WINAPI*)(int)>(user32, "PostQuitMessage")) post(static_cast<int>(exit_code));
}


}  // namespace zelvic::platform
