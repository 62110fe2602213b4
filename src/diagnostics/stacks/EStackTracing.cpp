#include "diagnostics/stacks/EStackTracing.h"

#include <array>
#include <cstring>

#include "diagnostics/util/EDisAsm.h"
#include "diagnostics/util/EDisAsmUnit.h"
#include "platform/image_help.h"
#include "platform/memory_access.h"
#include "platform/modules.h"
#include "runtime/exceptions.h"
#include "runtime/thread_storage.h"

// This file is built without sibling calls (see src/CMakeLists.txt): the
// stack queries and Caller answer from their own frame, and a tail jump would
// hand them their caller's.

namespace zelvic::diag {
namespace {

constexpr wchar_t kAssertion[] = L"Assertion failure (EStackTracing)";

inline std::uint32_t Word(std::uint32_t address) noexcept {
  return *reinterpret_cast<const volatile std::uint32_t*>(static_cast<std::uintptr_t>(address));
}

// ---- probes -----------------------------------------------------------------

// The calling thread's stack between this frame and the stack base is
// committed and stays so while the caller runs: a walk of the own stack, the
// most frequent reader, asks the system nothing.
__attribute__((always_inline)) inline bool OnOwnUsedStack(std::uint32_t address, std::uint32_t count) noexcept {
  const auto here = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)));
  const std::uint32_t base = platform::CurrentStackBounds().Base;
  return address >= here && address < base && count <= base - address;
}

bool LiveReadable(std::uint32_t address, std::uint32_t count) noexcept {
  return OnOwnUsedStack(address, count) || LiveMemory().CanRead(address, count, 0) == count;
}

bool LiveExecutable(std::uint32_t address, std::uint32_t count) noexcept {
  return LiveMemory().CanRead(address, count, memory::kCodeMask) == count;
}

TTraceProbes g_probes{LiveReadable, LiveExecutable};

// ---- cached probes ----------------------------------------------------------

rt::TThreadSlot g_scope_slot;  // the calling thread's innermost scope
TTraceProbes g_before_cached{LiveReadable, LiveExecutable};
bool g_cached_installed = false;

const TCachedProbesScope* ActiveScope() noexcept {
  return g_scope_slot.IsAllocated() ? static_cast<const TCachedProbesScope*>(g_scope_slot.Get()) : nullptr;
}

bool CachedReadable(std::uint32_t address, std::uint32_t count) noexcept {
  const TCachedProbesScope* scope = ActiveScope();
  return scope ? scope->Readable(address, count) : LiveReadable(address, count);
}

bool CachedExecutable(std::uint32_t address, std::uint32_t count) noexcept {
  const TCachedProbesScope* scope = ActiveScope();
  return scope ? scope->Executable(address, count) : LiveExecutable(address, count);
}

bool ReadWord(std::uint32_t address, std::uint32_t& value) noexcept {
  if (address > 0xFFFFFFFCu || !g_probes.Readable(address, 4)) return false;
  value = Word(address);
  return true;
}

// A frame's link and return, both readable.
bool ReadFrame(std::uint32_t frame, std::uint32_t& link, std::uint32_t& ret) noexcept {
  if (frame > 0xFFFFFFF7u || !g_probes.Readable(frame, 8)) return false;
  link = Word(frame);
  ret = Word(frame + 4);
  return true;
}

// ---- executable-page cache --------------------------------------------------

enum : std::uint8_t { kPageUnknown = 0, kPageNoCode = 1, kPageCode = 2 };
constexpr std::uint32_t kPageShift = 12;

// 1 MiB in the image's zeroed data: the cache must work before, and
// without, any allocation.
std::array<std::uint8_t, (1u << (32 - kPageShift))> g_pages{};
std::uint32_t g_pages_generation = 0;

void MarkRegion(const platform::TCodeRegion& region, std::uint8_t state) noexcept {
  const std::uint32_t first = region.BaseAddress >> kPageShift;
  const std::uint64_t end = (static_cast<std::uint64_t>(region.BaseAddress) + region.RegionSize + 0xFFF) >> kPageShift;
  for (std::uint64_t p = first; p < end && p < g_pages.size(); ++p) g_pages[p] = state;
}

// ---- the call-before test ---------------------------------------------------

// One form: the instruction begins `length` bytes before the return address
// with `opcode`; when `modrm_mask` is not 0 the next byte, masked, must equal
// `modrm_value`, and its r/m field must not be one of `rm_excluded` (a bit
// per r/m value).
struct TCallForm {
  std::uint8_t length;
  std::uint8_t opcode;
  std::uint8_t modrm_mask;
  std::uint8_t modrm_value;
  std::uint8_t rm_excluded;
};

constexpr std::uint8_t kAnyRm = 0xF8;   // mod and reg fields
constexpr std::uint8_t kExact = 0xFF;

// In order: the first that matches wins. A call [SIB+disp32] whose SIB byte
// is E8 therefore reads as a call rel32 two bytes later; the test only asks
// whether a call ends here, and both forms say yes.
constexpr std::array<TCallForm, 10> kCallForms{{
    {5, 0xE8, 0, 0, 0},                              // call rel32
    {2, 0xFF, kAnyRm, 0x10, (1 << 4) | (1 << 5)},    // call [reg]
    {2, 0xFF, kAnyRm, 0xD0, 0},                      // call reg
    {3, 0xFF, kExact, 0x14, 0},                      // call [SIB]
    {3, 0xFF, kAnyRm, 0x50, 1 << 4},                 // call [reg+disp8]
    {4, 0xFF, kExact, 0x54, 0},                      // call [SIB+disp8]
    {6, 0xFF, kExact, 0x15, 0},                      // call [disp32]
    {6, 0xFF, kAnyRm, 0x90, 1 << 4},                 // call [reg+disp32]
    {7, 0xFF, kExact, 0x94, 0},                      // call [SIB+disp32]
    {7, 0x9A, 0, 0, 0},                              // call far ptr16:32
}};

// ---- walkers ----------------------------------------------------------------

struct TRawScan {
  std::uint32_t readable_until = 0;

  // Readability is asked 400 bytes ahead, or 4 when the 400 fail.
  bool SlotReadable(std::uint32_t slot, std::uint32_t end) noexcept {
    if (slot + 4 <= readable_until) return true;
    const std::uint32_t ahead = end - slot < 400 ? end - slot : 400;
    if (ahead >= 4 && g_probes.Readable(slot, ahead)) {
      readable_until = slot + ahead;
      return true;
    }
    if (g_probes.Readable(slot, 4)) {
      readable_until = slot + 4;
      return true;
    }
    return false;
  }
};

// Values repeat on a stack: a recursion's return addresses, a routine's
// argument handed down through every frame, stale copies of both. Each is
// decoded once per walk. The table is fixed and lives in the walk's frame,
// so a walk still allocates nothing; a collision only decodes again.
class TCallSiteMemo {
 public:
  explicit TCallSiteMemo(const memory::TMemoryAccess& code) noexcept : code_(code) {}

  // FindCallBefore(value, shortest): the call site, or the value itself.
  std::uint32_t Site(std::uint32_t value) noexcept {
    // Values up to 0xFFFF are never code; 0 marks an empty entry.
    if (value <= 0xFFFF) return disasm::FindCallBefore(code_, value, false);
    TEntry& e = entries_[(value * 2654435761u) >> (32 - kBits)];
    if (e.value != value) e = {value, disasm::FindCallBefore(code_, value, false)};
    return e.site;
  }

  // Most slots hold data: the page cache turns those away before the
  // decoder asks the system about them.
  bool HasCallSite(std::uint32_t value, std::uint32_t& site) noexcept {
    if (value <= 0xFFFF || !PageExecutable(value)) return false;
    site = Site(value);
    return site != value;
  }

 private:
  static constexpr int kBits = 8;
  struct TEntry {
    std::uint32_t value = 0;
    std::uint32_t site = 0;
  };
  const memory::TMemoryAccess& code_;
  TEntry entries_[1 << kBits]{};
};


// Methods 1 and 2: the frame chain, unvalidated.
void WalkLeakFrames(TTraceCallback callback, void* data, const TStackRange& range) {
  std::uint32_t frame = range.FirstFrame();
  while (frame >= range.Start && frame <= range.Top - 8 && range.Top >= 8) {
    std::uint32_t link, ret;
    if (!ReadFrame(frame, link, ret)) return;
    if (!callback(frame + 4, ret, data, false)) return;
    if (link <= frame) return;
    frame = link;
  }
}

// Method 3: every slot whose value has a call site before it; the call's
// target first.
void WalkRawV6(TTraceCallback callback, void* data, const TStackRange& range) {
  // The code is read with the last regions remembered: one walk on one
  // thread, too short for the memory to change under the cache.
  const platform::TLiveMemory code(LiveMemory().Space(), platform::TRegionCaching::kRecentRegions);
  TRawScan scan;
  for (std::uint32_t slot = range.Start; slot + 4 <= range.Top && slot >= range.Start; slot += 4) {
    if (!scan.SlotReadable(slot, range.Top)) continue;
    const std::uint32_t value = Word(slot);
    if (value <= 0xFFFF || !PageExecutable(value)) continue;
    const std::uint32_t site = disasm::FindCallBefore(code, value, false);
    if (site == value) continue;
    const std::uint32_t target = disasm::GetCallTarget(code, site);
    if (target != 0 && target != value && !callback(slot, target, data, true)) return;
    if (!callback(slot, value, data, false)) return;
  }
}

bool ScanCallSites(TCallSiteMemo& memo, TCallSiteCallback callback, void* data, std::uint32_t from, std::uint32_t to) {
  TRawScan scan;
  for (std::uint32_t slot = from; slot + 4 <= to && slot >= from; slot += 4) {
    if (!scan.SlotReadable(slot, to)) continue;
    const std::uint32_t value = Word(slot);
    std::uint32_t site;
    if (memo.HasCallSite(value, site) && !callback(slot, value, site, data, false)) return false;
  }
  return true;
}

struct TPlainForward {
  TTraceCallback callback;
  void* data;
};

bool ForwardWithoutSite(std::uint32_t slot, std::uint32_t value, std::uint32_t, void* data, bool is_frame) {
  const auto& f = *static_cast<const TPlainForward*>(data);
  return f.callback(slot, value, f.data, is_frame);
}

// Method 5.
void WalkRawV7(TTraceCallback callback, void* data, const TStackRange& range) {
  TPlainForward forward{callback, data};
  WalkCallSitesV7(ForwardWithoutSite, &forward, range);
}

// Method 6: the frame chain.
void WalkFramesV7(TTraceCallback callback, void* data, const TStackRange& range) {
  std::uint32_t frame = range.FirstFrame();
  while (frame >= range.Start && range.Top >= 8 && frame <= range.Top - 8) {
    std::uint32_t link, ret;
    if (!ReadFrame(frame, link, ret)) return;
    if (ret != 0 && !callback(frame + 4, ret, data, true)) return;
    if (link <= frame) return;
    frame = link;
  }
}

// Method 7: every slot that holds an address just behind a call.
void WalkJclRaw(TTraceCallback callback, void* data, const TStackRange& range) {
  TRawScan scan;
  std::uint32_t last = 0;
  for (std::uint32_t slot = range.Start; slot + 4 <= range.Top && slot >= range.Start; slot += 4) {
    if (!scan.SlotReadable(slot, range.Top)) continue;
    const std::uint32_t value = Word(slot);
    std::uint32_t length;
    if (value == last || !IsCallBefore(value, g_probes.Executable, length)) continue;
    if (!callback(slot, value, data, false)) return;
    last = value;
  }
}

// Method 8: the frame chain while each return is executable.
void WalkJclFrames(TTraceCallback callback, void* data, const TStackRange& range) {
  std::uint32_t frame = range.FirstFrame();
  while (frame >= range.Start && range.Top >= 8 && frame <= range.Top - 8) {
    std::uint32_t link, ret;
    if (!ReadFrame(frame, link, ret)) return;
    if (!g_probes.Executable(ret, 4)) return;
    if (!callback(frame + 4, ret, data, true)) return;
    if (link == frame || link < frame || link >= range.Top) return;
    frame = link;
  }
}

struct TDbgHelpForward {
  TTraceCallback callback;
  void* data;
  std::uint32_t last_slot;
};

bool ForwardDbgHelpFrame(std::uint32_t slot, std::uint32_t ret, void* data) {
  auto& f = *static_cast<TDbgHelpForward*>(data);
  if (slot <= f.last_slot) return false;
  f.last_slot = slot;
  return f.callback(slot, ret, f.data, true);
}

// Method 10: the image-help library's walker. Without a context it starts
// from the first frame, as if the routine owning it were running.
void WalkDbgHelp(TTraceCallback callback, void* data, const TStackRange& range) {
  platform::TThreadRegisters registers;
  if (range.Context != nullptr) {
    registers = *range.Context;
  } else {
    registers.Ebp = range.FirstFrame();
    registers.Esp = range.Start;
    if (!ReadWord(registers.Ebp + 4, registers.Eip)) return;
  }
  TDbgHelpForward forward{callback, data, 0};
  platform::WalkStackWithDbgHelp(registers, ForwardDbgHelpFrame, &forward);
}

// The one table of methods.
constexpr std::array<TTracerMethod, kTracerSlots> BuildMethods() {
  std::array<TTracerMethod, kTracerSlots> m{};
  for (auto& slot : m) slot = {nullptr, nullptr, TTracerListKind::kNone};
  m[1] = {L"Leaks Stack Frames", WalkLeakFrames, TTracerListKind::kGeneric};
  // Without the memory filter's raw-leak switch, method 2 is method 1.
  m[2] = {L"Leaks RAW", WalkLeakFrames, TTracerListKind::kGeneric};
  m[3] = {L"VarnelLog RAW v6", WalkRawV6, TTracerListKind::kV6};
  m[5] = {L"VarnelLog RAW v7", WalkRawV7, TTracerListKind::kV7};
  m[6] = {L"VarnelLog Stack Frames v7", WalkFramesV7, TTracerListKind::kGeneric};
  m[7] = {L"JCL RAW", WalkJclRaw, TTracerListKind::kGeneric};
  m[8] = {L"JCL Stack Frames", WalkJclFrames, TTracerListKind::kGeneric};
  m[10] = {L"Windows DbgHelp.dll", WalkDbgHelp, TTracerListKind::kGeneric};
  m[12] = {L"MadExcept RAW", nullptr, TTracerListKind::kNone};
  return m;
}
constexpr std::array<TTracerMethod, kTracerSlots> kMethods = BuildMethods();

constexpr std::uint32_t kInitialMethods = 1u << 5;
std::uint32_t g_enabled_methods = kInitialMethods;

}  // namespace

// The raw slots below the first frame, then each frame's return and the raw
// slots between it and the next frame.
void WalkCallSitesV7(TCallSiteCallback callback, void* data, const TStackRange& range) {
  if (callback == nullptr || data == nullptr) throw rt::EAssertionFailed(kAssertion);
  // The code is read with the last regions remembered: one walk on one
  // thread, too short for the memory to change under the cache.
  const platform::TLiveMemory code(LiveMemory().Space(), platform::TRegionCaching::kRecentRegions);
  TCallSiteMemo memo(code);
  std::uint32_t frame = range.FirstFrame();
  if (frame > range.Start && !ScanCallSites(memo, callback, data, range.Start, frame < range.Top ? frame : range.Top)) {
    return;
  }
  while (frame >= range.Start && frame < range.Top) {
    std::uint32_t link;
    if (!ReadWord(frame, link)) return;
    if (link < range.Top && link > frame) {
      std::uint32_t ret;
      if (ReadWord(frame + 4, ret) && ret != 0 && !callback(frame + 4, ret, memo.Site(ret), data, true)) return;
      if (!ScanCallSites(memo, callback, data, frame + 8, link)) return;
      frame = link;
    } else {
      ScanCallSites(memo, callback, data, frame, range.Top);
      return;
    }
  }
}

TStackRange MakeStackRange(std::uint32_t start, std::uint32_t frame, std::uint32_t top) noexcept {
  TStackRange r;
  r.Start = start & ~3u;
  r.Frame = frame & ~3u;
  r.Top = top;
  if (r.Top > r.Start && r.Top - r.Start > kMaxStackScan) r.Top = r.Start + kMaxStackScan;
  return r;
}

const TTracerMethod& TracerMethod(int number) {
  if (number < 0 || number >= kTracerSlots) throw rt::EAssertionFailed(kAssertion);
  return kMethods[static_cast<std::size_t>(number)];
}

std::wstring TracerName(int number) {
  const TTracerMethod& m = TracerMethod(number);
  return m.Name != nullptr ? std::wstring(m.Name) : L"#" + std::to_wstring(number);
}

TTracerListKind TracerListKind(int number) {
  const TTracerMethod& m = TracerMethod(number);
  if (m.ListKind != TTracerListKind::kNone) return m.ListKind;
  return m.Walker != nullptr ? TTracerListKind::kGeneric : TTracerListKind::kNone;
}

void Walk(int number, TTraceCallback callback, void* data, const TStackRange& range) {
  if (callback == nullptr || data == nullptr) throw rt::EAssertionFailed(kAssertion);
  const TTracerMethod& m = TracerMethod(number);
  if (m.Walker == nullptr) throw rt::EAssertionFailed(kAssertion);
  m.Walker(callback, data, range);
}

std::uint32_t EnabledMethods() noexcept { return g_enabled_methods; }
void SetEnabledMethods(std::uint32_t mask) noexcept { g_enabled_methods = mask; }

int DefaultTracer() noexcept {
  for (int i = 1; i < kTracerSlots; ++i) {
    if ((g_enabled_methods & (1u << i)) != 0) return i;
  }
  return 0;
}

TTraceProbes DefaultTraceProbes() noexcept { return {LiveReadable, LiveExecutable}; }

TTraceProbes SetTraceProbes(const TTraceProbes& probes) noexcept {
  const TTraceProbes previous = g_probes;
  g_probes = probes;
  return previous;
}

TCachedProbesScope::TCachedProbesScope() noexcept {
  if (!g_scope_slot.IsAllocated()) return;
  previous_ = static_cast<TCachedProbesScope*>(g_scope_slot.Get());
  g_scope_slot.Set(this);
  active_ = true;
}

TCachedProbesScope::~TCachedProbesScope() {
  // The slot can have been given back while this scope was open (the
  // manager stopping on another thread); it then holds nothing of ours.
  if (active_ && g_scope_slot.IsAllocated()) g_scope_slot.Set(previous_);
}

bool TCachedProbesScope::Readable(std::uint32_t address, std::uint32_t count) const noexcept {
  return OnOwnUsedStack(address, count) ||
         memory::CanReadRegions(regions_, LiveMemory().Space(), address, count, 0) == count;
}

bool TCachedProbesScope::Executable(std::uint32_t address, std::uint32_t count) const noexcept {
  return memory::CanReadRegions(regions_, LiveMemory().Space(), address, count, memory::kCodeMask) == count;
}

bool InstallCachedTraceProbes() noexcept {
  if (g_cached_installed) return true;
  if (!g_scope_slot.Allocate(nullptr)) return false;
  g_before_cached = g_probes;
  g_probes = TTraceProbes{CachedReadable, CachedExecutable};
  g_cached_installed = true;
  return true;
}

void RemoveCachedTraceProbes() noexcept {
  if (!g_cached_installed) return;
  // Whoever replaced the cached probes since keeps the slot.
  if (g_probes.Readable == CachedReadable && g_probes.Executable == CachedExecutable) g_probes = g_before_cached;
  g_scope_slot.Free();
  g_cached_installed = false;
}

bool CachedTraceProbesInstalled() noexcept { return g_cached_installed; }

bool CanReadStack(std::uint32_t address, std::uint32_t count) noexcept { return g_probes.Readable(address, count); }
bool IsExecutable(std::uint32_t address, std::uint32_t count) noexcept { return g_probes.Executable(address, count); }

bool PageExecutable(std::uint32_t address) noexcept {
  const std::uint32_t generation = platform::SystemModulePlatform().LoaderGeneration();
  if (generation != g_pages_generation) {
    DropPageCache();
    g_pages_generation = generation;
  }
  const std::uint32_t page = address >> kPageShift;
  if (generation != 0 && g_pages[page] != kPageUnknown) return g_pages[page] == kPageCode;
  platform::TCodeRegion region;
  if (!platform::QueryCodeRegion(address, region)) {
    if (generation != 0) g_pages[page] = kPageNoCode;
    return false;
  }
  // Run-time code can be freed without the loader knowing: it is asked about
  // every time, never remembered.
  if (generation != 0 && (!region.Executable || region.Image)) {
    MarkRegion(region, region.Executable ? kPageCode : kPageNoCode);
  }
  return region.Executable;
}

void DropPageCache() noexcept { g_pages.fill(kPageUnknown); }

bool PageCacheProbe(std::uint32_t address, std::uint32_t count) noexcept {
  if (count == 0) return true;
  const std::uint32_t last = address + count - 1;
  if (last < address) return false;
  for (std::uint32_t page = address >> kPageShift; page <= last >> kPageShift; ++page) {
    if (!PageExecutable(page << kPageShift)) return false;
  }
  return true;
}

bool IsCallBefore(std::uint32_t return_address, TCodeProbe probe, std::uint32_t& length) noexcept {
  length = 0;
  if (return_address <= 8 || probe == nullptr || !probe(return_address - 8, 8)) return false;
  std::uint8_t before[8];  // before[k] = byte at return_address - 8 + k
  std::memcpy(before, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(return_address - 8)), 8);
  for (const TCallForm& form : kCallForms) {
    const std::uint8_t* at = before + (8 - form.length);
    if (at[0] != form.opcode) continue;
    if (form.modrm_mask != 0) {
      if ((at[1] & form.modrm_mask) != form.modrm_value) continue;
      if ((form.rm_excluded & (1u << (at[1] & 7))) != 0) continue;
    }
    length = form.length;
    return true;
  }
  return false;
}

bool IsValidCachedReturn(std::uint32_t return_address) noexcept {
  std::uint32_t length;
  return return_address > 0xFFFF && PageExecutable(return_address - 8) && PageExecutable(return_address) &&
         IsCallBefore(return_address, PageCacheProbe, length);
}

__attribute__((noinline)) std::uint32_t GetCurrentStackFrame() noexcept {
  return *static_cast<const std::uint32_t*>(__builtin_frame_address(0));
}

__attribute__((noinline)) std::uint32_t GetCurrentStackPointer() noexcept {
  // The caller's stack pointer once this call has returned: above the return
  // address and the saved frame pointer.
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0))) + 8;
}

__attribute__((noinline)) std::uint32_t GetCurrentInstruction() noexcept {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
}

std::uint32_t GetCurrentTopOfStack() noexcept { return platform::CurrentStackBounds().Base; }

__attribute__((noinline)) std::uint32_t Caller(int level) noexcept {
  const auto own = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)));
  const std::uint32_t top = platform::CurrentStackBounds().Base;
  // The frame of the routine that asks; its return leads to its caller.
  std::uint32_t frame = Word(own);
  for (int i = 0;; ++i) {
    if (frame <= own || top < 8 || frame > top - 8 || !g_probes.Readable(frame, 8)) return 0;
    if (i == level) break;
    frame = Word(frame);
  }
  return disasm::FindCallBefore(LiveMemory(), Word(frame + 4), false);
}

// The page cache is dropped lazily: generation 0 never matches a watched
// loader's, so the first use clears it. Filling the whole megabyte here
// would make every process that loads the library commit it.
void EStackTracingInit() {
  g_enabled_methods = kInitialMethods;
  g_probes = DefaultTraceProbes();
  g_pages_generation = 0;
}

void EStackTracingDone() {
  RemoveCachedTraceProbes();
  g_probes = DefaultTraceProbes();
  g_pages_generation = 0;
}

}  // namespace zelvic::diag
