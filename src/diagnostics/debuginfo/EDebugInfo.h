// The debug-information sources of the modules and the lookup of a code
// address to module, unit, class, routine and line.
//
// Sources are pluggable classes registered in asking order (the module's own
// compressed data first, the export table after it); each loaded module gets
// at most one live source, made by the first class that accepts the module,
// or an empty source when none does. The answer of a source is completed by
// fixed naming rules (CompleteLocationInfo) and printed by FormatLocationInfo.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/config/EFilters.h"
#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/util/ECodeOffsets.h"
#include "platform/modules.h"

namespace zelvic::diag {

enum TVarnelDebugDetail : std::uint8_t { ddNone = 0, ddModule = 1, ddUnit = 2, ddProcedure = 3, ddSourceCode = 4 };
// A set of TVarnelDebugDetail: bit (1 << detail).
using TVarnelDebugDetails = std::uint8_t;

class TVLDebugInfoSource;
class TVLDebugInfoList;

struct TVLLocationInfo {
  std::uintptr_t Address = 0;
  // Address - Module; 0 when the module is unknown or not below the address.
  std::uintptr_t Offset = 0;
  std::uintptr_t Module = 0;
  std::wstring ModuleName;
  TModuleType ModuleType = mtUnknown;
  std::wstring UnitName;
  std::wstring ClassName;
  std::wstring ProcedureName;
  std::int32_t OffsetFromProcName = 0;
  // -1: not computed yet.
  std::int32_t ProcOffsetLine = 0;
  std::int32_t LineNumber = 0;
  std::int32_t OffsetFromLineNumber = 0;
  std::wstring SourceName;
  TVLDebugInfoSource* DebugInfo = nullptr;
  std::wstring BinaryFileName;
  TVarnelDebugDetail DebugDetail = ddNone;

  // Keeps the texts' buffers: a record reused for many lookups (a call
  // stack) then allocates only for texts longer than before.
  void Clear() noexcept;
  bool IsEmpty() const noexcept;
};

// A class of source: what the registry keeps, in place of a class reference.
struct TVLDebugInfoSourceClass {
  const wchar_t* Name;
  // False for exact sources, which are asked before every heuristic one.
  bool Heuristic;
  std::unique_ptr<TVLDebugInfoSource> (*Create)(std::uintptr_t module);
};

// The Create of a class whose constructor takes the module.
template <typename TSource>
std::unique_ptr<TVLDebugInfoSource> MakeDebugInfoSource(std::uintptr_t module) {
  return std::make_unique<TSource>(module);
}

class TVLDebugInfoSource {
 public:
  // Called with the source from its destructor, once the parts of the
  // derived class are gone.
  struct TNotifyDelete {
    void (*Code)(void* data, TVLDebugInfoSource* source) = nullptr;
    void* Data = nullptr;
  };

  explicit TVLDebugInfoSource(std::uintptr_t module);
  virtual ~TVLDebugInfoSource();
  TVLDebugInfoSource(const TVLDebugInfoSource&) = delete;
  TVLDebugInfoSource& operator=(const TVLDebugInfoSource&) = delete;

  // Offset from the start of the first section, where the code begins.
  virtual std::uintptr_t AddrToOffset(std::uintptr_t addr) const noexcept { return addr - FModule - kCodeOffsetBase; }
  virtual void ResetPassword() {}
  // Takes the source out of the list that holds it and destroys it; a source
  // no list holds belongs to whoever made it and is left alone.
  void DestroySource();
  virtual bool InitializeSource() = 0;
  virtual bool GetLocationInfo(std::uintptr_t addr, TVLLocationInfo& info) = 0;
  virtual std::wstring GetUnitInfoByAddr(std::uintptr_t addr);
  // The class this object belongs to (its registry entry).
  virtual const TVLDebugInfoSourceClass& SourceClass() const noexcept = 0;

  std::uintptr_t Module() const noexcept { return FModule; }
  void SetModule(std::uintptr_t module) noexcept { FModule = module; }
  // The platform's file name of the module; empty for 0.
  std::wstring FileName() const;
  // The module's current file name is still the one seen at creation (an
  // empty remembered name is filled now).
  bool StillLoaded();
  // The same test against a file name the caller has just read for the module.
  bool StillLoadedAs(const std::wstring& current_file_name);
  const std::wstring& LastFileName() const noexcept { return FLastFileName; }

  TNotifyDelete NotifyDelete;

 protected:
  static platform::TModulePlatform& Platform() noexcept;

  std::uintptr_t FModule;
  std::wstring FLastFileName;

 private:
  friend class TVLDebugInfoList;
  TVLDebugInfoList* FOwner = nullptr;
};

// Answers nothing: the source of a module no class accepted.
class TEmptyDebugInfoSource final : public TVLDebugInfoSource {
 public:
  using TVLDebugInfoSource::TVLDebugInfoSource;
  bool InitializeSource() override { return false; }
  bool GetLocationInfo(std::uintptr_t, TVLLocationInfo&) override { return false; }
  const TVLDebugInfoSourceClass& SourceClass() const noexcept override { return Class; }
  static const TVLDebugInfoSourceClass Class;
};

// The live sources, at most one per loaded module, owned. Every operation
// takes the module list's lock.
class TVLDebugInfoList {
 public:
  explicit TVLDebugInfoList(platform::TModulePlatform& platform = platform::SystemModulePlatform());
  ~TVLDebugInfoList();
  TVLDebugInfoList(const TVLDebugInfoList&) = delete;
  TVLDebugInfoList& operator=(const TVLDebugInfoList&) = delete;

  bool GetLocationInfo(std::uintptr_t addr, TVLLocationInfo& info);
  std::wstring GetUnitInfoByAddr(std::uintptr_t addr);
  // The module's live source, made on first use; null for 0, for a handle
  // that is no loaded module, and for a module no class accepts.
  TVLDebugInfoSource* GetItemFromModule(std::uintptr_t module);
  TVLDebugInfoSource* GetItems(int index) const;
  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  // Destroys one of this list's sources; anything else is left alone.
  void DestroySource(TVLDebugInfoSource* source);
  void Clear();
  void Lock() noexcept;
  void Unlock() noexcept;

  // Set by whatever learns that a password changed; the next lookup in a
  // module with encrypted data has every source reset its password.
  void SetPasswordChanged(bool value) noexcept { FPasswordChanged = value; }

  static void RegisterDebugInfoSource(const TVLDebugInfoSourceClass* source_class);
  static void RegisterDebugInfoSourceFirst(const TVLDebugInfoSourceClass* source_class);
  static void UnRegisterDebugInfoSource(const TVLDebugInfoSourceClass* source_class);
  // The registered classes in asking order (created on first use).
  static std::vector<const TVLDebugInfoSourceClass*>& NeedInfoSourceClassList();

 private:
  // A module recently asked for: its image range, source and the facts the
  // completion would read again. Good while the platform's loader
  // generation is the one it was learnt under.
  struct TKnownModule {
    std::uintptr_t Base = 0;
    std::uintptr_t End = 0;
    std::uint32_t Generation = 0;
    TVLDebugInfoSource* Source = nullptr;
    std::wstring FileName;
    TModuleType Type = mtUnknown;
  };

  std::unique_ptr<TVLDebugInfoSource> CreateSource(std::uintptr_t module);
  TKnownModule* FindKnown(std::uintptr_t addr, std::uint32_t generation) noexcept;
  TKnownModule* Remember(std::uintptr_t module, TVLDebugInfoSource* source, std::uint32_t generation);
  // Null forgets every module.
  void Forget(const TVLDebugInfoSource* source) noexcept;

  platform::TModulePlatform& FPlatform;
  std::vector<std::unique_ptr<TVLDebugInfoSource>> FItems;
  bool FPasswordChanged = false;
  std::array<TKnownModule, 8> FKnown;
  std::size_t FKnownNext = 0;
};

// --- process-wide -------------------------------------------------------------
// Never raise. The procedure form drops the answer.
bool LookupLocationInfo(std::uintptr_t addr, TVLLocationInfo& info) noexcept;
inline void LookupLocationInfoProc(std::uintptr_t addr, TVLLocationInfo& info) noexcept {
  (void)LookupLocationInfo(addr, info);
}
std::wstring LookupUnitName(std::uintptr_t addr) noexcept;

void RegisterDebugInfoSource(const TVLDebugInfoSourceClass* source_class);
void RegisterDebugInfoSourceFirst(const TVLDebugInfoSourceClass* source_class);
void UnRegisterDebugInfoSource(const TVLDebugInfoSourceClass* source_class);
// Frees every live source.
void ClearDebugInfoSources();
// The process's source list; null once shut-down has begun and it was never
// made.
TVLDebugInfoList* DebugInfoList();

// The fixed naming rules applied to every looked-up record.
void CompleteLocationInfo(TVLLocationInfo& info,
                          platform::TModulePlatform& platform = platform::SystemModulePlatform());

std::wstring ComposeName(const std::wstring& class_name, const std::wstring& method_name);
std::wstring FormatLocationInfo(const TVLLocationInfo& info, bool show_module, bool show_byte_offset, bool show_line,
                                bool show_address, bool show_offset, bool show_line_offset);
// One line for internal-error messages: everything shown but the line offset.
std::wstring LocationInfoText(std::uintptr_t addr) noexcept;

// --- names in reports ------------------------------------------------------------
// Names the compressed debug information could not decipher come back as
// "?p..."; a report that shows one shows every other name protected as well.
// The unit that reads that information installs the hook; without one a
// name is shown as it is.
using TNameHook = std::wstring (*)(const std::wstring& name, bool has_encrypted_data);
TNameHook SetNameHook(TNameHook hook) noexcept;
std::wstring PrepareName(const std::wstring& name, bool has_encrypted_data);
bool IsEncryptedName(const std::wstring& name) noexcept;

// --- per-thread nesting ---------------------------------------------------------
// How deep the calling thread is inside the facility's own work (a lookup
// raises both): allocations made meanwhile are not the program's, and threads
// started meanwhile are not taken over. Kept on TLS slots, no allocation.
std::uint32_t FacilityNestingCount() noexcept;
std::uint32_t ThreadsNestingCount() noexcept;
// The threads manager hands the count on to code that saves and restores it.
void SetThreadsNestingCount(std::uint32_t value) noexcept;

class TFacilityNesting {
 public:
  TFacilityNesting() noexcept;
  ~TFacilityNesting();
  TFacilityNesting(const TFacilityNesting&) = delete;
  TFacilityNesting& operator=(const TFacilityNesting&) = delete;
};
class TThreadsNesting {
 public:
  TThreadsNesting() noexcept;
  ~TThreadsNesting();
  TThreadsNesting(const TThreadsNesting&) = delete;
  TThreadsNesting& operator=(const TThreadsNesting&) = delete;
};

// The text of the unit's step-failure handler: the message, the step and the
// location of the failing address, and the closing lines of a fatal report.
std::wstring DebugInfoFailureReport(const std::wstring& message, const wchar_t* step_name, std::uintptr_t address);

// The unit's steps: the step-failure handler that names the failing address,
// and the source list.
// The lookup the exception filters place filters by; the unit's start-up
// installs it as the filters' process-wide lookup.
void LookupFilterLocation(std::uintptr_t address, TFilterLocation& location);

void EDebugInfoInit();
void EDebugInfoDone();

}  // namespace zelvic::diag
