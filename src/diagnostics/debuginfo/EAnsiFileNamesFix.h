// 8-bit file names for the image-help functions, which take no UTF-16 path.
//
// Without the CreateFileA replacement a file is named by its short form,
// which only exists where the volume keeps short names. With it, a file gets
// an alias ("C:\{guid}name.dll") that the replacement recognises and opens
// by its real UTF-16 name, so any path works.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/modules.h"
#include "platform/system.h"

namespace zelvic::diag {

class TAnsiFileNames {
 public:
  explicit TAnsiFileNames(platform::TAnsiNamePlatform& platform = platform::SystemAnsiNamePlatform()) noexcept;
  ~TAnsiFileNames();
  TAnsiFileNames(const TAnsiFileNames&) = delete;
  TAnsiFileNames& operator=(const TAnsiFileNames&) = delete;

  // Whether the CreateFileA replacement is in place: aliases are made only
  // then, because nothing else could open them.
  void SetHookInstalled(bool installed) noexcept { hook_installed_ = installed; }
  bool HookInstalled() const noexcept { return hook_installed_; }

  std::string MakeAnsiFileName(const std::wstring& name);
  // Empties the first slot made for exactly this name; the slot is reused.
  void ReleaseAnsiFileName(const std::wstring& name);
  // The UTF-16 name behind an alias.
  std::optional<std::wstring> FindByAlias(std::string_view alias);

  struct TSlot {
    std::wstring Name;
    std::string Alias;
  };
  std::vector<TSlot> Slots();

  // The CreateFileA replacement's body: an alias opens its file through
  // CreateFileW, anything else goes to `original`.
  using TCreateFileA = void*(__stdcall*)(const char*, std::uint32_t, std::uint32_t, void*, std::uint32_t,
                                         std::uint32_t, void*);
  void* CreateFileA(TCreateFileA original, const char* name, std::uint32_t access, std::uint32_t share,
                    void* security, std::uint32_t disposition, std::uint32_t flags, void* template_file);

 private:
  platform::TAnsiNamePlatform& platform_;
  platform::TRecursiveLock lock_;
  std::vector<TSlot> slots_;
  bool hook_installed_ = false;
};

// The process's table; its life follows the unit ("EAnsiFileNamesFix.Init"
// creates it, ".Done" takes the replacement out and frees it).
TAnsiFileNames* AnsiFileNames() noexcept;
void AnsiFileNamesInit();
void AnsiFileNamesDone();

// Patches the system's CreateFileA with the table's replacement (the
// library's start-up does when option UseLowLevel is on); from then on names
// are made as aliases. False when the table does not exist or the routine
// could not be patched.
bool InstallAnsiFileNameHook();
void RemoveAnsiFileNameHook();
bool AnsiFileNameHookInstalled() noexcept;

std::string MakeAnsiFileName(const std::wstring& name);
void ReleaseAnsiFileName(const std::wstring& name);

}  // namespace zelvic::diag
