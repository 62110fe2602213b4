// The patching engine: redirects routines by patching their code (a hot
// patch, or a detour through a trampoline) and redirects imported routines
// by rewriting import address tables, with a record of every patch so that
// each can be undone.
//
// The thread-facing API reports through the thread's last-error value and
// never throws: a caller that ignores a failure still gets something it can
// call (the routine itself). The lists are guarded by the low-level lock.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/util/EHookTrampoline.h"

namespace zelvic::diag {

struct THookedProcedure {
  std::uint32_t Root = 0;        // the address the caller asked to hook
  std::uint32_t Procedure = 0;   // the address patched, at the end of its jumps
  std::uint32_t Handler = 0;
  std::uint32_t Trampoline = 0;  // how the handler reaches the unpatched routine
  std::uint32_t Block = 0;       // the trampoline's page; 0 for a hot patch
  std::int32_t BlockSize = -1;   // -1 for a hot patch
  // A detour's replaced instructions; a hot patch's seven bytes from
  // Procedure - 5.
  std::array<std::uint8_t, kMaxCopiedSize> SavedBytes{};
  std::uint32_t SavedSize = 0;  // 0 marks a hot patch
};

// What a patching step gives back: an address (0 on failure) and the error
// code the thread's last error is to be set to.
struct THookResult {
  std::uint32_t Address = 0;
  std::uint32_t Error = 0;
};

class THookedProcedures {
 public:
  // Patches `procedure` (jumps already followed) to continue at `handler`.
  // A record that already covers the procedure, root or handler answers
  // with its trampoline.
  THookResult HookProcedure(std::uint32_t procedure, std::uint32_t handler, std::uint32_t root);
  // The same, reading the code through `memory`: the caller's, when it read
  // the same code a moment ago and holds its regions.
  THookResult HookProcedure(std::uint32_t procedure, std::uint32_t handler, std::uint32_t root,
                            const memory::TMemoryAccess& memory);
  THookedProcedures() = default;
  // Releases the retired trampoline pages.
  ~THookedProcedures();
  THookedProcedures(const THookedProcedures&) = delete;
  THookedProcedures& operator=(const THookedProcedures&) = delete;

  // Undoes the first patch whose procedure, trampoline or handler is
  // `address`; Error ERROR_INVALID_FUNCTION when there is none.
  THookResult UnhookProcedure(std::uint32_t address);
  // Undoes the patch of that record.
  THookResult UnhookAt(std::size_t index);
  // Drops a record. Its trampoline page is retired, not released: a thread
  // may still be inside it (a handler that has just called it, a thread
  // preempted between its copied instructions), and nothing can tell when
  // the last one has left. The newest kRetiredKept pages are kept; an older
  // one is released when a newer one is retired, so that patching and
  // unpatching in a loop does not fill the address space near the code.
  // The rest go with the lists.
  void Delete(std::size_t index) noexcept;
  static constexpr std::size_t kRetiredKept = 64;
  const THookedProcedure& GetItem(std::size_t index) const noexcept { return items_[index]; }
  std::size_t Count() const noexcept { return items_.size(); }
  std::size_t RetiredCount() const noexcept { return retired_.size(); }

 private:
  std::vector<THookedProcedure> items_;
  std::vector<std::uint32_t> retired_;

  // A page for a new trampoline, read-write: the oldest retired page once
  // kRetiredKept newer ones are kept (it would be released at the next
  // retirement anyway, and reusing it spares the system an allocation and
  // a release), else a new page near `procedure`; 0 when none.
  std::uint32_t TrampolinePage(std::uint32_t procedure) noexcept;
};

struct THookedDLLProcedure {
  std::uintptr_t ImportModule = 0;
  std::wstring ExportModule;  // as the caller named it
  std::uint32_t Procedure = 0;
  std::uint32_t Handler = 0;
};

class THookedDLLProcedures {
 public:
  // Rewrites the first entry of `import_module`'s import address table that
  // holds `procedure`, under a descriptor naming `export_module` (letter case
  // ignored), to `handler`. Gives the original address; a record is added
  // unless `unhook`. ERROR_BAD_FORMAT for a damaged image or import
  // directory, ERROR_INVALID_FUNCTION when no entry matches.
  THookResult HookDLLProcedure(std::uintptr_t import_module, std::wstring_view export_module,
                               std::uint32_t procedure, std::uint32_t handler, bool unhook);
  void Delete(std::size_t index) noexcept;
  const THookedDLLProcedure& GetItem(std::size_t index) const noexcept { return items_[index]; }
  std::size_t Count() const noexcept { return items_.size(); }

 private:
  std::vector<THookedDLLProcedure> items_;
};

// The process-wide lists; null before "EHook.Init" and after "EHook.Done".
THookedProcedures* HookedProcedures() noexcept;
THookedDLLProcedures* HookedDLLProcedures() noexcept;

// Patches `procedure` so that it continues at `handler` and returns the
// address through which the handler reaches the unpatched routine; returns
// `procedure` itself on failure. Last error: 0, ERROR_BAD_ENVIRONMENT (the
// engine is not started), ERROR_INVALID_PARAMETER (null or equal arguments,
// unreadable code, code in no loaded image), ERROR_GEN_FAILURE (the routine
// cannot be patched).
void* HookCodeProcedure(void* procedure, void* handler) noexcept;
// Undoes the patch whose procedure, trampoline or handler is `address`.
// Last error ERROR_INVALID_FUNCTION when there is none, else as above.
bool UnhookCodeProcedure(void* address) noexcept;

// Resolves `procedure_name` in the loaded module `export_module`
// (ERROR_INVALID_PARAMETER when either is missing) and patches the imports
// of it in every loaded module of `import_modules` (an empty name is the
// process's main module). True when at least one was patched, else
// ERROR_INVALID_FUNCTION. `original` receives the exported address.
bool HookImportedProcedure(std::span<const std::wstring_view> import_modules, std::wstring_view export_module,
                           const char* procedure_name, void* handler, void** original) noexcept;
// Restores the import patch whose handler or original is `address`.
bool UnhookImportedProcedure(void* address) noexcept;

// "EHook.Init" makes the lists; "EHook.Done" undoes every import patch,
// then every code patch, each list from its last record to its first, by
// record (a routine may be in the list twice), and then releases every
// trampoline page.
void EHookInit();
void EHookDone();

}  // namespace zelvic::diag
