// The stack walkers: the memory probes they read through, the executable-page
// cache, the call-before test, the numbered tracing methods, and the queries
// of the calling thread's own stack.
//
// Every walker reports the slot a return address was found in as that slot's
// own address: for a frame F that is F + 4, whichever walker found it. Two
// walkers that find the same frame therefore name the same slot, and merging
// their results gives one entry per frame.
#pragma once

#include <cstdint>
#include <string>

#include "platform/memory_access.h"
#include "platform/threads.h"

namespace zelvic::diag {

// The scanned range ends this many bytes above the start frame.
inline constexpr std::uint32_t kMaxStackScan = 512000;
// Once more than this many counted entries are kept, a list is cut.
inline constexpr int kMaxStackEntries = 2048;
// The bit of an entry's method set that marks an entry that does not count.
inline constexpr std::uint32_t kUncountedEntry = 0x80000000u;
inline constexpr int kTracerSlots = 32;

// One slot a walker found.
struct TTraceEntry {
  std::uint32_t StackPointer = 0;
  std::uint32_t ReturnAddress = 0;
};

// What a walker examines: raw slots from Start, the frame chain from Frame
// (Start when 0), everything below Top. A thread stopped outside its own code
// (a wait in the system) has frames between its stack pointer and its frame
// pointer that only a raw scan from the stack pointer sees. Context, when
// given, is what the image-help walker starts from.
struct TStackRange {
  std::uint32_t Start = 0;
  std::uint32_t Frame = 0;
  std::uint32_t Top = 0;
  const platform::TThreadRegisters* Context = nullptr;

  std::uint32_t FirstFrame() const noexcept { return Frame != 0 ? Frame : Start; }
};

// Start and Frame rounded down to 4 and Top capped at Start + kMaxStackScan.
TStackRange MakeStackRange(std::uint32_t start, std::uint32_t frame, std::uint32_t top) noexcept;

// Returns true to go on. `is_frame` is true for a return taken from a frame
// link, false for a raw slot.
using TTraceCallback = bool (*)(std::uint32_t slot, std::uint32_t value, void* data, bool is_frame);
using TWalker = void (*)(TTraceCallback callback, void* data, const TStackRange& range);

// Which list class a method's results go into.
enum class TTracerListKind : std::uint8_t { kNone, kGeneric, kV6, kV7 };

struct TTracerMethod {
  const wchar_t* Name;  // nullptr: "#" and the slot number
  TWalker Walker;       // nullptr: the slot has a name only
  TTracerListKind ListKind;
};

// The slot's entry; raises EAssertionFailed outside 0..31.
const TTracerMethod& TracerMethod(int number);
std::wstring TracerName(int number);
// The list a tracer list of that number is made of: the slot's own class,
// the generic list when only a walker exists, else none.
TTracerListKind TracerListKind(int number);

// Runs walker `number`. Raises EAssertionFailed without a callback or data,
// or for a number outside 0..31 or without a walker.
void Walk(int number, TTraceCallback callback, void* data, const TStackRange& range);

// Method 5 for a collector that needs each candidate's call site
// (FindCallBefore, shortest form; the value itself when there is none): the
// walk decodes it anyway to accept a raw slot, and hands it on.
using TCallSiteCallback = bool (*)(std::uint32_t slot, std::uint32_t value, std::uint32_t site, void* data,
                                   bool is_frame);
void WalkCallSitesV7(TCallSiteCallback callback, void* data, const TStackRange& range);

// The process-wide method mask (bit i = method i), initially {5}.
std::uint32_t EnabledMethods() noexcept;
void SetEnabledMethods(std::uint32_t mask) noexcept;
// The lowest enabled method from 1 to 31; 0 when none.
int DefaultTracer() noexcept;

// ---------------------------------------------------------------------------
// Probes. The exception manager installs per-thread cached variants while it
// builds a call stack; every walker reads through whatever is installed.

struct TTraceProbes {
  bool (*Readable)(std::uint32_t address, std::uint32_t count) noexcept;
  bool (*Executable)(std::uint32_t address, std::uint32_t count) noexcept;
};
// The live answers (VirtualQuery through the shared live memory).
TTraceProbes DefaultTraceProbes() noexcept;
// Returns the probes replaced.
TTraceProbes SetTraceProbes(const TTraceProbes& probes) noexcept;
bool CanReadStack(std::uint32_t address, std::uint32_t count) noexcept;
bool IsExecutable(std::uint32_t address, std::uint32_t count) noexcept;

// The cached probes: while a thread holds a TCachedProbesScope they answer
// from the regions that thread has already asked the system about, so a walk
// asks once per region instead of once per slot and candidate. Every other
// thread, and this one outside a scope, gets the live answers. The exception
// manager installs them for its lifetime and opens a scope around each call
// stack it builds; a scope is one thread's short job, because the regions it
// remembers can change under other threads' hands.
class TCachedProbesScope {
 public:
  TCachedProbesScope() noexcept;
  ~TCachedProbesScope();
  TCachedProbesScope(const TCachedProbesScope&) = delete;
  TCachedProbesScope& operator=(const TCachedProbesScope&) = delete;

  bool Readable(std::uint32_t address, std::uint32_t count) const noexcept;
  bool Executable(std::uint32_t address, std::uint32_t count) const noexcept;
  // Region queries this scope passed on to the system.
  std::uint32_t SystemQueries() const noexcept { return regions_.Misses(); }

 private:
  platform::TVirtualQueryRegions system_;
  platform::TRegionsCache<32> regions_{system_};
  TCachedProbesScope* previous_ = nullptr;
  bool active_ = false;
};
// Puts the cached probes into the probe slot; false when no thread slot is
// left for them, and the slot then keeps what it had.
bool InstallCachedTraceProbes() noexcept;
// Gives the slot back the probes it held before the installation.
void RemoveCachedTraceProbes() noexcept;
bool CachedTraceProbesInstalled() noexcept;

// The executable-page cache: one byte per 4 KiB page. It keeps only the pages
// of loaded images and of memory that runs no code; code made at run time is
// asked about every time. It is dropped when the loader's generation moves
// (and not kept at all while the loader is not watched).
bool PageExecutable(std::uint32_t address) noexcept;
void DropPageCache() noexcept;

// A probe for the call-before test: true when `count` bytes at `address` may
// be read as code.
using TCodeProbe = bool (*)(std::uint32_t address, std::uint32_t count) noexcept;
// Whether the bytes before `return_address` end with a call, by the ten forms
// of the table in EStackTracing.cpp (first match wins); `length` gets the
// call's length. The eight bytes before the address must pass `probe`.
bool IsCallBefore(std::uint32_t return_address, TCodeProbe probe, std::uint32_t& length) noexcept;
// The page cache as a code probe.
bool PageCacheProbe(std::uint32_t address, std::uint32_t count) noexcept;
// A return address as the page-cache methods accept one.
bool IsValidCachedReturn(std::uint32_t return_address) noexcept;

// ---------------------------------------------------------------------------
// The calling thread's stack. Each answers for the routine that calls it.

std::uint32_t GetCurrentStackFrame() noexcept;
std::uint32_t GetCurrentStackPointer() noexcept;
std::uint32_t GetCurrentInstruction() noexcept;
std::uint32_t GetCurrentTopOfStack() noexcept;
// The call site that called the routine asking, `level` frames further up
// (the return address itself when no call ends there); 0 when the chain
// leaves the stack first.
std::uint32_t Caller(int level) noexcept;

void EStackTracingInit();
void EStackTracingDone();

}  // namespace zelvic::diag
