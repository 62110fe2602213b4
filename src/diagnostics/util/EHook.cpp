#include "diagnostics/util/EHook.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "diagnostics/util/EDisAsmUnit.h"
#include "diagnostics/util/ELowLevel.h"
#include "diagnostics/util/ETextEncoding.h"
#include "platform/code_memory.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/text_compare.h"
#include "runtime/never_destroyed.h"

namespace zelvic::diag {

namespace {

struct TLowLevelGuard {
  TLowLevelGuard() noexcept { EnterLowLevelLock(); }
  ~TLowLevelGuard() { LeaveLowLevelLock(); }
  TLowLevelGuard(const TLowLevelGuard&) = delete;
  TLowLevelGuard& operator=(const TLowLevelGuard&) = delete;
};

struct THookLists {
  THookedProcedures Code;
  THookedDLLProcedures Imports;
};

constinit rt::TNeverDestroyed<std::optional<THookLists>> g_lists;

// The live memory with a cache of the last regions asked about, for one
// patching step in one thread: a step reads the same few regions again and
// again, and a region query is a system call.
platform::TLiveMemory StepMemory() noexcept {
  return platform::TLiveMemory(LiveMemory().Space(), platform::TRegionCaching::kRecentRegions);
}

bool ReadU32(const memory::TMemoryAccess& memory, std::uint32_t address, std::uint32_t& value) noexcept {
  std::uint8_t b[4];
  if (!ReadExact(memory, address, b, 4)) return false;
  value = LoadLE32(b);
  return true;
}

// A write helper's refusal of a place outside every image is the caller's
// mistake; anything else the system refused is a failed patch.
std::uint32_t WriteError(std::uint32_t error) noexcept {
  return error == ERROR_INVALID_PARAMETER ? ERROR_INVALID_PARAMETER : ERROR_GEN_FAILURE;
}

std::uint32_t Address(const void* p) noexcept { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)); }
void* Pointer(std::uint32_t a) noexcept { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(a)); }

// A module name from an import descriptor: UTF-8 when the bytes are clean
// UTF-8, else the 8-bit text of the ANSI code page.
std::wstring ImportName(std::string_view bytes) {
  std::wstring text;
  if (DecodeUtf8Strict(bytes, text)) return text;
  return platform::FromAnsiCodePage(bytes);
}

// Reads a zero-terminated name of at most `limit` bytes, testing each page
// it enters; false when it is unreadable or has no end within the limit.
bool ReadName(const memory::TMemoryAccess& memory, std::uint32_t address, std::string& out) {
  constexpr std::uint32_t kLimit = 512;
  out.clear();
  for (std::uint32_t i = 0; i < kLimit; ++i) {
    std::uint8_t c = 0;
    if (!ReadExact(memory, address + i, &c, 1)) return false;
    if (c == 0) return true;
    out.push_back(static_cast<char>(c));
  }
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Code patches

THookResult THookedProcedures::HookProcedure(std::uint32_t procedure, std::uint32_t handler, std::uint32_t root) {
  const platform::TLiveMemory memory = StepMemory();
  return HookProcedure(procedure, handler, root, memory);
}

THookResult THookedProcedures::HookProcedure(std::uint32_t procedure, std::uint32_t handler, std::uint32_t root,
                                             const memory::TMemoryAccess& memory) {
  for (const THookedProcedure& h : items_) {
    if (h.Procedure == procedure || h.Root == procedure || h.Trampoline == procedure || h.Root == root ||
        h.Procedure == root || h.Handler == handler)
      return {h.Trampoline, 0};
  }
  const TEntryClass entry = ClassifyEntry(memory, procedure);
  switch (entry.Kind) {
    case TEntryKind::kUnreadable:
      return {0, ERROR_INVALID_PARAMETER};
    case TEntryKind::kBreakpoint:
    case TEntryKind::kUnhookable:
      return {0, ERROR_GEN_FAILURE};
    default:
      break;
  }
  // Room for the record before anything is written: a patch in place must
  // never lack the record that undoes it.
  try {
    items_.reserve(items_.size() + 1);
  } catch (const std::bad_alloc&) {
    return {0, ERROR_GEN_FAILURE};
  }

  THookedProcedure h;
  h.Root = root;
  h.Procedure = procedure;
  h.Handler = handler;
  if (entry.Kind == TEntryKind::kHotPatchable || entry.Kind == TEntryKind::kHotPatched) {
    const std::uint32_t start = procedure - 5;
    if (!ReadExact(memory, start, h.SavedBytes.data(), kHotPatchSize)) return {0, ERROR_INVALID_PARAMETER};
    // Both jumps in one store: a thread that reaches the entry sees the
    // padded 8B FF or the finished patch, never EB F9 before its target.
    std::uint8_t patch[kHotPatchSize];
    PutJump(std::span<std::uint8_t, kJumpSize>(patch, kJumpSize), start, handler);
    patch[5] = 0xEB;
    patch[6] = 0xF9;
    if (const std::uint32_t e = platform::WriteCodeAtomic(start, patch, {h.SavedBytes.data(), kHotPatchSize}); e != 0)
      return {0, WriteError(e)};
    h.Trampoline = entry.Kind == TEntryKind::kHotPatchable ? procedure + 2 : entry.ChainTarget;
  } else {
    if (!ReadExact(memory, procedure, h.SavedBytes.data(), entry.Length)) return {0, ERROR_INVALID_PARAMETER};
    const std::uint32_t block = TrampolinePage(procedure);
    if (block == 0) return {0, ERROR_GEN_FAILURE};
    std::array<std::uint8_t, kTrampolinePageSize> page;
    if (BuildTrampoline(memory, procedure, entry.Length, block, page) != TTrampolineResult::kBuilt) {
      platform::FreeCodeBlock(block);
      return {0, ERROR_GEN_FAILURE};
    }
    std::memcpy(Pointer(block), page.data(), page.size());
    if (!platform::SealCodeBlock(block, kTrampolinePageSize)) {
      platform::FreeCodeBlock(block);
      return {0, ERROR_GEN_FAILURE};
    }
    // The trampoline is complete and executable before the entry leads to
    // the handler. The bytes after the jump stay as they were: a thread
    // stopped between the copied instructions still runs them and reaches
    // entry + L as before.
    std::uint8_t jump[kJumpSize];
    PutJump(jump, procedure, handler);
    if (const std::uint32_t e = platform::WriteCodeAtomic(procedure, jump, {h.SavedBytes.data(), kJumpSize}); e != 0) {
      platform::FreeCodeBlock(block);
      return {0, WriteError(e)};
    }
    h.Block = block;
    h.BlockSize = static_cast<std::int32_t>(kTrampolinePageSize);
    h.SavedSize = entry.Length;
    h.Trampoline = block;
  }
  items_.push_back(h);
  return {h.Trampoline, 0};
}

std::uint32_t THookedProcedures::TrampolinePage(std::uint32_t procedure) noexcept {
  if (retired_.size() >= kRetiredKept) {
    const std::uint32_t oldest = retired_.front();
    retired_.erase(retired_.begin());
    if (platform::UnsealCodeBlock(oldest, kTrampolinePageSize)) return oldest;
    platform::FreeCodeBlock(oldest);
  }
  return platform::AllocateCodeBlock(procedure, kTrampolinePageSize);
}

THookResult THookedProcedures::UnhookProcedure(std::uint32_t address) {
  const auto it = std::find_if(items_.begin(), items_.end(), [address](const THookedProcedure& h) {
    return h.Procedure == address || h.Trampoline == address || h.Handler == address;
  });
  if (it == items_.end()) return {0, ERROR_INVALID_FUNCTION};
  return UnhookAt(static_cast<std::size_t>(it - items_.begin()));
}

THookResult THookedProcedures::UnhookAt(std::size_t index) {
  if (index >= items_.size()) return {0, ERROR_INVALID_FUNCTION};
  const THookedProcedure& h = items_[index];
  // Only the jump's five bytes of a detour were ever written.
  const std::uint32_t e =
      h.SavedSize == 0
          ? platform::WriteCodeAtomic(h.Procedure - 5, std::span<const std::uint8_t>(h.SavedBytes.data(), kHotPatchSize))
          : platform::WriteCodeAtomic(h.Procedure, std::span<const std::uint8_t>(h.SavedBytes.data(), kJumpSize));
  // A patch that could not be undone keeps its record and its trampoline:
  // the entry still leads there.
  if (e != 0) return {0, WriteError(e)};
  const std::uint32_t procedure = h.Procedure;
  Delete(index);
  return {procedure, 0};
}

void THookedProcedures::Delete(std::size_t index) noexcept {
  if (index >= items_.size()) return;
  if (const std::uint32_t block = items_[index].Block; block != 0) {
    try {
      retired_.push_back(block);
      if (retired_.size() > kRetiredKept) {
        platform::FreeCodeBlock(retired_.front());
        retired_.erase(retired_.begin());
      }
    } catch (...) {
      // No room to remember it: the page stays for the life of the process
      // rather than being released under a thread.
    }
  }
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
}

THookedProcedures::~THookedProcedures() {
  for (std::uint32_t block : retired_) platform::FreeCodeBlock(block);
}

// ---------------------------------------------------------------------------
// Import patches

THookResult THookedDLLProcedures::HookDLLProcedure(std::uintptr_t import_module, std::wstring_view export_module,
                                                   std::uint32_t procedure, std::uint32_t handler, bool unhook) {
  const auto base = static_cast<std::uint32_t>(import_module);
  const platform::TLiveMemory memory = StepMemory();
  std::uint8_t dos[64];
  std::uint8_t nt[248];
  if (base == 0 || !ReadExact(memory, base, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return {0, ERROR_BAD_FORMAT};
  const std::uint32_t nt_at = base + LoadLE32(dos + 60);
  if (!ReadExact(memory, nt_at, nt, sizeof nt) || std::memcmp(nt, "PE\0\0", 4) != 0) return {0, ERROR_BAD_FORMAT};
  const std::uint32_t image_size = LoadLE32(nt + 80);
  const std::uint32_t directory = LoadLE32(nt + 128);
  const std::uint32_t directory_size = LoadLE32(nt + 132);
  if (directory == 0) return {0, ERROR_INVALID_FUNCTION};
  // Every walk stays inside the image the headers describe.
  if (directory >= image_size || directory_size > image_size - directory) return {0, ERROR_BAD_FORMAT};
  if (!unhook) {
    try {
      items_.reserve(items_.size() + 1);
    } catch (const std::bad_alloc&) {
      return {0, ERROR_GEN_FAILURE};
    }
  }

  std::string name;
  for (std::uint32_t d = 0; d + 20 <= directory_size; d += 20) {
    std::uint8_t desc[20];
    if (!ReadExact(memory, base + directory + d, desc, sizeof desc)) return {0, ERROR_BAD_FORMAT};
    const std::uint32_t name_rva = LoadLE32(desc + 12);
    if (name_rva == 0) break;
    const std::uint32_t table = LoadLE32(desc + 16);
    if (name_rva >= image_size || table >= image_size) return {0, ERROR_BAD_FORMAT};
    if (!ReadName(memory, base + name_rva, name)) return {0, ERROR_BAD_FORMAT};
    if (!platform::SameTextIgnoreCaseSystemLocale(ImportName(name), export_module)) continue;
    for (std::uint32_t slot = table; slot + 4 <= image_size; slot += 4) {
      std::uint32_t value = 0;
      if (!ReadU32(memory, base + slot, value)) return {0, ERROR_BAD_FORMAT};
      if (value == 0) break;
      if (value != procedure) continue;
      std::uint8_t bytes[4];
      std::memcpy(bytes, &handler, 4);
      // The table ends with a zero entry, so eight bytes are there for the
      // one store that callers reading the slot see whole.
      const std::uint32_t e = slot + 8 <= image_size ? platform::WriteCodeAtomic(base + slot, bytes)
                                                     : platform::WriteCode(base + slot, bytes);
      if (e != 0) return {0, WriteError(e)};
      if (!unhook) items_.push_back({import_module, std::wstring(export_module), procedure, handler});
      return {procedure, 0};
    }
  }
  return {0, ERROR_INVALID_FUNCTION};
}

void THookedDLLProcedures::Delete(std::size_t index) noexcept {
  if (index < items_.size()) items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
}

// ---------------------------------------------------------------------------
// The API

THookedProcedures* HookedProcedures() noexcept { return g_lists->has_value() ? &(*g_lists)->Code : nullptr; }
THookedDLLProcedures* HookedDLLProcedures() noexcept {
  return g_lists->has_value() ? &(*g_lists)->Imports : nullptr;
}

void* HookCodeProcedure(void* procedure, void* handler) noexcept {
  const TLowLevelGuard guard;
  THookResult r{0, ERROR_BAD_ENVIRONMENT};
  if (THookedProcedures* list = HookedProcedures(); list == nullptr) {
  } else if (procedure == nullptr || handler == nullptr || procedure == handler) {
    r.Error = ERROR_INVALID_PARAMETER;
  } else {
    const platform::TLiveMemory memory = StepMemory();
    const std::uint32_t target = FollowJumps(memory, Address(procedure), Address(handler));
    std::uint32_t destination = FollowJumps(memory, Address(handler), 0);
    // A handler that leads back into the routine would loop once patched.
    if (destination == target) destination = Address(handler);
    if (memory.CanRead(target, 1, 0) != 1)
      r.Error = ERROR_INVALID_PARAMETER;
    else
      r = list->HookProcedure(target, destination, Address(procedure), memory);
  }
  platform::SetLastErrorCode(r.Error);
  return r.Error == 0 ? Pointer(r.Address) : procedure;
}

bool UnhookCodeProcedure(void* address) noexcept {
  const TLowLevelGuard guard;
  THookResult r{0, ERROR_BAD_ENVIRONMENT};
  if (THookedProcedures* list = HookedProcedures(); list == nullptr) {
  } else if (address == nullptr) {
    r.Error = ERROR_INVALID_PARAMETER;
  } else {
    r = list->UnhookProcedure(Address(address));
  }
  platform::SetLastErrorCode(r.Error);
  return r.Error == 0;
}

bool HookImportedProcedure(std::span<const std::wstring_view> import_modules, std::wstring_view export_module,
                           const char* procedure_name, void* handler, void** original) noexcept {
  const TLowLevelGuard guard;
  if (original != nullptr) *original = nullptr;
  std::uint32_t error = ERROR_BAD_ENVIRONMENT;
  bool patched = false;
  if (THookedDLLProcedures* list = HookedDLLProcedures(); list == nullptr) {
  } else if (handler == nullptr || procedure_name == nullptr) {
    error = ERROR_INVALID_PARAMETER;
  } else {
    try {
      const std::uint32_t procedure =
          platform::ExportedProcedure(platform::LoadedModuleByName(std::wstring(export_module)), procedure_name);
      error = ERROR_INVALID_PARAMETER;
      if (procedure != 0) {
        if (original != nullptr) *original = Pointer(procedure);
        for (const std::wstring_view name : import_modules) {
          const std::uintptr_t module =
              name.empty() ? platform::MainModuleBase() : platform::LoadedModuleByName(std::wstring(name));
          if (module == 0) continue;
          if (list->HookDLLProcedure(module, export_module, procedure, Address(handler), false).Error == 0)
            patched = true;
        }
        error = patched ? 0 : ERROR_INVALID_FUNCTION;
      }
    } catch (const std::bad_alloc&) {
      error = ERROR_GEN_FAILURE;
    }
  }
  platform::SetLastErrorCode(error);
  return patched;
}

bool UnhookImportedProcedure(void* address) noexcept {
  const TLowLevelGuard guard;
  THookResult r{0, ERROR_BAD_ENVIRONMENT};
  if (THookedDLLProcedures* list = HookedDLLProcedures(); list == nullptr) {
  } else if (address == nullptr) {
    r.Error = ERROR_INVALID_PARAMETER;
  } else {
    r.Error = ERROR_INVALID_FUNCTION;
    for (std::size_t i = 0; i < list->Count(); ++i) {
      const THookedDLLProcedure& h = list->GetItem(i);
      if (h.Handler != Address(address) && h.Procedure != Address(address)) continue;
      // The record's name was copied when it was made; the walk only reads it.
      // The walk allocates (names), and this function never throws.
      try {
        r = list->HookDLLProcedure(h.ImportModule, h.ExportModule, h.Handler, h.Procedure, true);
      } catch (const std::bad_alloc&) {
        r.Error = ERROR_NOT_ENOUGH_MEMORY;
      }
      if (r.Error == 0) list->Delete(i);
      break;
    }
  }
  platform::SetLastErrorCode(r.Error);
  return r.Error == 0;
}

void EHookInit() {
  const TLowLevelGuard guard;
  if (!g_lists->has_value()) g_lists->emplace();
}

void EHookDone() {
  const TLowLevelGuard guard;
  if (!g_lists->has_value()) return;
  THookLists& lists = **g_lists;
  // Import patches first: a handler they lead to may itself be patched code.
  for (std::size_t i = lists.Imports.Count(); i-- > 0;) {
    const THookedDLLProcedure& h = lists.Imports.GetItem(i);
    lists.Imports.HookDLLProcedure(h.ImportModule, h.ExportModule, h.Handler, h.Procedure, true);
    lists.Imports.Delete(i);
  }
  // A code patch that cannot be undone loses its record below but keeps its
  // trampoline page: the entry still jumps there.
  for (std::size_t i = lists.Code.Count(); i-- > 0;) lists.Code.UnhookAt(i);
  // The library is going: no patched entry leads into its handlers or the
  // trampolines any more, and the retired pages go with the lists.
  g_lists->reset();
}

}  // namespace zelvic::diag
