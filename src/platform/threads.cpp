#include "platform/threads.h"

#include <windows.h>

#include <cstring>

#include "platform/memory_access.h"

namespace zelvic::platform {
namespace {

using GetThreadIdProc = DWORD(WINAPI*)(HANDLE);
using NtQueryInformationThreadProc = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);

struct TThreadBasicInformation {
  LONG ExitStatus;
  void* TebBaseAddress;
  void* UniqueProcess;
  void* UniqueThread;
  ULONG_PTR AffinityMask;
  LONG Priority;
  LONG BasePriority;
};

template <typename T>
T SystemProc(const wchar_t* module, const char* name) noexcept {
  HMODULE handle = GetModuleHandleW(module);
  return handle == nullptr ? nullptr : reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
}

constexpr DWORD kContextControlIntegerSegments = 0x10007;
constexpr std::uint32_t kPage = 0x1000;

TThreadRegisters FromContext(const CONTEXT& c) noexcept {
  TThreadRegisters r;
  r.Eip = c.Eip;
  r.Esp = c.Esp;
  r.Ebp = c.Ebp;
  r.Edi = c.Edi;
  r.Esi = c.Esi;
  r.Ebx = c.Ebx;
  r.Edx = c.Edx;
  r.Ecx = c.Ecx;
  r.Eax = c.Eax;
  return r;
}

}  // namespace

TStackBounds CurrentStackBounds() noexcept {
  // The information block's stack fields through FS, as the block itself
  // lays them out (NT_TIB: base at 4, limit at 8).
  std::uint32_t base, limit;
  __asm__("movl %%fs:4, %0" : "=r"(base));
  __asm__("movl %%fs:8, %0" : "=r"(limit));
  return {limit, base};
}

std::uint32_t CurrentThreadId() noexcept { return GetCurrentThreadId(); }

// RtlCaptureContext records the registers as they are at its return into
// this routine; a frameless or inlined copy of this routine would give the
// caller's caller's frame, hence noinline and the frame pointer kept.
__attribute__((noinline)) TThreadRegisters CaptureCurrentRegisters() noexcept {
  CONTEXT context{};
  RtlCaptureContext(&context);
  TThreadRegisters r = FromContext(context);
  // The caller's view: its frame, its stack pointer after the call returns,
  // and the instruction after the call.
  r.Ebp = *static_cast<const std::uint32_t*>(__builtin_frame_address(0));
  r.Esp = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0))) + 8;
  r.Eip = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
  return r;
}

TThreadHandle TThreadHandle::Open(std::uint32_t thread_id) noexcept {
  TThreadHandle h;
  h.handle_ = OpenThread(kThreadStackAccess, FALSE, thread_id);
  return h;
}

TThreadHandle::~TThreadHandle() {
  if (handle_ != nullptr) CloseHandle(handle_);
}

TThreadHandle& TThreadHandle::operator=(TThreadHandle&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

std::uint32_t ThreadIdOf(void* thread) noexcept {
  static const GetThreadIdProc get_thread_id = SystemProc<GetThreadIdProc>(L"kernel32.dll", "GetThreadId");
  return get_thread_id == nullptr ? 0 : get_thread_id(thread);
}

bool ThreadStackBounds(void* thread, TStackBounds& bounds) noexcept {
  static const NtQueryInformationThreadProc query =
      SystemProc<NtQueryInformationThreadProc>(L"ntdll.dll", "NtQueryInformationThread");
  if (query == nullptr) return false;
  TThreadBasicInformation info{};
  if (query(thread, 0, &info, sizeof info, nullptr) < 0 || info.TebBaseAddress == nullptr) return false;
  NT_TIB tib{};
  // The process's own address range, not the built-in default: stacks and
  // thread blocks may lie above 2 GiB in a large-address-aware host. The
  // regions are remembered for this one copy: the stack is tested page by
  // page, and asking the system about each page again would keep the thread
  // held for a query per page.
  const TLiveMemory memory(ApplicationAddressSpace(memory::kDefaultReadableMask), TRegionCaching::kRecentRegions);
  const auto teb = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(info.TebBaseAddress));
  if (memory.Read(teb, reinterpret_cast<std::uint8_t*>(&tib), sizeof tib) != sizeof tib) return false;
  bounds.Limit = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(tib.StackLimit));
  bounds.Base = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(tib.StackBase));
  return bounds.Base > bounds.Limit;
}

TStackCopyBuffer TStackCopyBuffer::Reserve(std::uint32_t size) noexcept {
  TStackCopyBuffer b;
  const std::uint32_t rounded = (size + kPage - 1) & ~(kPage - 1);
  if (rounded == 0) return b;
  void* reservation = VirtualAlloc(nullptr, rounded + 2 * kPage, MEM_RESERVE, PAGE_NOACCESS);
  if (reservation == nullptr) return b;
  auto* base = static_cast<std::uint8_t*>(reservation);
  if (VirtualAlloc(base + kPage, rounded, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
    VirtualFree(reservation, 0, MEM_RELEASE);
    return b;
  }
  b.reservation_ = base;
  b.data_ = base + kPage;
  b.size_ = rounded;
  return b;
}

TStackCopyBuffer::~TStackCopyBuffer() {
  if (reservation_ != nullptr) VirtualFree(reservation_, 0, MEM_RELEASE);
}

TStackCopyBuffer::TStackCopyBuffer(TStackCopyBuffer&& other) noexcept
    : reservation_(other.reservation_), data_(other.data_), size_(other.size_) {
  other.reservation_ = other.data_ = nullptr;
  other.size_ = 0;
}

TStackCopyBuffer& TStackCopyBuffer::operator=(TStackCopyBuffer&& other) noexcept {
  if (this != &other) {
    if (reservation_ != nullptr) VirtualFree(reservation_, 0, MEM_RELEASE);
    reservation_ = other.reservation_;
    data_ = other.data_;
    size_ = other.size_;
    other.reservation_ = other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

std::int64_t PerformanceTicks() noexcept {
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  return c.QuadPart;
}

std::int64_t PerformanceFrequency() noexcept {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return f.QuadPart;
}

bool CaptureSuspendedStack(void* thread, std::uint32_t top, std::span<std::uint8_t> buffer,
                           TSuspendedCapture& capture) noexcept {
  // The reader is made before the stop: it is plain data, but nothing that
  // could reach the heap may run while the thread is held.
  // The process's own address range, not the built-in default: stacks and
  // thread blocks may lie above 2 GiB in a large-address-aware host. The
  // regions are remembered for this one copy: the stack is tested page by
  // page, and asking the system about each page again would keep the thread
  // held for a query per page.
  const TLiveMemory memory(ApplicationAddressSpace(memory::kDefaultReadableMask), TRegionCaching::kRecentRegions);
  capture.TicksPerSecond = PerformanceFrequency();
  const std::int64_t start = PerformanceTicks();
  if (SuspendThread(thread) == static_cast<DWORD>(-1)) return false;
  CONTEXT context{};
  context.ContextFlags = kContextControlIntegerSegments;
  const bool have_context = GetThreadContext(thread, &context) != FALSE;
  std::uint32_t copied = 0;
  const std::uint32_t from = context.Esp & ~3u;
  if (have_context && top > from) {
    const std::uint32_t wanted = top - from < buffer.size() ? top - from : static_cast<std::uint32_t>(buffer.size());
    // Page by page, each page tested first: the used part of a stack is
    // committed, but a context read of a thread the handle may not stop can
    // be stale, and then nothing here may fault.
    copied = memory.Read(from, buffer.data(), wanted);
  }
  ResumeThread(thread);
  capture.SuspendedTicks = PerformanceTicks() - start;
  if (!have_context) return false;
  capture.Registers = FromContext(context);
  capture.CopyStart = from;
  capture.CopySize = copied;
  return true;
}

bool SuspendAndReadContext(void* thread, TThreadRegisters& registers, std::int64_t& suspended_ticks) noexcept {
  const std::int64_t start = PerformanceTicks();
  if (SuspendThread(thread) == static_cast<DWORD>(-1)) return false;
  CONTEXT context{};
  context.ContextFlags = kContextControlIntegerSegments;
  const bool ok = GetThreadContext(thread, &context) != FALSE;
  ResumeThread(thread);
  suspended_ticks = PerformanceTicks() - start;
  if (ok) registers = FromContext(context);
  return ok;
}

}  // namespace zelvic::platform
