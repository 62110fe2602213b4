#include "diagnostics/stacks/EStackCapture.h"

#include <algorithm>

// Built without sibling calls, like EStackTracing.cpp: the current-stack
// routines start from their own frame.

namespace zelvic::diag {
namespace {

bool CollectSlot(std::uint32_t slot, std::uint32_t value, void* data, bool) {
  if (value == 0) return false;
  auto& entries = *static_cast<std::vector<TTraceEntry>*>(data);
  // Geometric growth from 64, as a walker's array grows.
  if (entries.size() == entries.capacity()) entries.reserve(entries.empty() ? 64 : entries.size() * 2);
  entries.push_back({slot, value});
  return true;
}

inline std::uint32_t Word(std::uint32_t address) noexcept {
  return *reinterpret_cast<const volatile std::uint32_t*>(static_cast<std::uintptr_t>(address));
}

inline std::uint32_t Address(const void* p) noexcept {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

}  // namespace

std::vector<TTraceEntry> CollectTrace(int number, const TStackRange& range) {
  std::vector<TTraceEntry> entries;
  Walk(number, CollectSlot, &entries, range);
  return entries;
}

void MergeTrace(std::vector<TTracedEntry>& trace, std::span<const TTraceEntry> found, int number,
                std::uint32_t offset) {
  const std::uint32_t bit = 1u << number;
  for (const TTraceEntry& e : found) {
    const std::uint32_t stack = e.StackPointer - offset;
    // Entries without a slot (0) sort first, in the order they came, and
    // match by address.
    auto at = stack == 0 ? std::upper_bound(trace.begin(), trace.end(), 0u,
                                            [](std::uint32_t s, const TTracedEntry& t) { return s < t.StackAddr; })
                         : std::lower_bound(trace.begin(), trace.end(), stack,
                                            [](const TTracedEntry& t, std::uint32_t s) { return t.StackAddr < s; });
    if (stack == 0) {
      auto same = std::find_if(trace.begin(), at, [&](const TTracedEntry& t) { return t.ReturnAddr == e.ReturnAddress; });
      if (same != at) {
        same->Methods |= bit;
        continue;
      }
    } else if (at != trace.end() && at->StackAddr == stack) {
      at->Methods |= bit;
      continue;
    }
    trace.insert(at, {stack, e.ReturnAddress, bit});
  }
}

std::vector<TTracedEntry> TraceStack(std::uint32_t methods, const TStackRange& range, std::uint32_t offset) {
  std::vector<TTracedEntry> trace;
  // A copy (offset given) is known to be there; a live start must be
  // readable.
  if (range.Top < range.Start || (offset == 0 && !CanReadStack(range.Start, 8))) return trace;
  for (int i = 1; i < kTracerSlots; ++i) {
    if ((methods & (1u << i)) == 0 || TracerMethod(i).Walker == nullptr) continue;
    const std::vector<TTraceEntry> found = CollectTrace(i, range);
    MergeTrace(trace, found, i, offset);
  }
  return trace;
}

__attribute__((noinline)) TStackRange CurrentStackRange() noexcept {
  const std::uint32_t frame = *static_cast<const std::uint32_t*>(__builtin_frame_address(0));
  return MakeStackRange(frame, frame, platform::CurrentStackBounds().Base);
}

__attribute__((noinline)) std::size_t CaptureFramesInPlace(std::span<TTraceEntry> out) noexcept {
  const platform::TStackBounds bounds = platform::CurrentStackBounds();
  // Every frame of a live chain lies between this routine's own frame and
  // the stack base, a part of the stack that is committed: the bounds check
  // replaces a readability test.
  const std::uint32_t own = Address(__builtin_frame_address(0));
  std::size_t n = 0;
  std::uint32_t frame = own;
  while (n < out.size() && frame >= own && frame >= bounds.Limit && bounds.Base >= 8 && frame <= bounds.Base - 8) {
    const std::uint32_t link = Word(frame);
    const std::uint32_t ret = Word(frame + 4);
    // Not this routine's own return: the trace starts in its caller.
    if (frame != own && ret != 0) out[n++] = {frame + 4, ret};
    if (link <= frame) break;
    frame = link;
  }
  return n;
}

void RelocateStackCopy(std::span<std::uint32_t> words, std::uint32_t original, std::uint32_t offset) noexcept {
  const std::uint32_t size = static_cast<std::uint32_t>(words.size() * 4);
  for (std::uint32_t& w : words) {
    if (w >= original && w - original <= size) w += offset;
  }
}

bool CopyThreadStack(void* thread, TThreadStackCopy& copy) {
  platform::TStackBounds bounds;
  if (!platform::ThreadStackBounds(thread, bounds)) return false;
  // Reserved before the stop: a thread held inside the allocator or the
  // system's virtual-memory code must not be waited for.
  copy.Buffer = platform::TStackCopyBuffer::Reserve(kMaxStackScan);
  if (!copy.Buffer) return false;
  if (!platform::CaptureSuspendedStack(thread, bounds.Base, {copy.Buffer.data(), copy.Buffer.size()}, copy.Capture)) {
    return false;
  }
  const std::uint32_t original = copy.Capture.CopyStart;
  const std::uint32_t size = copy.Capture.CopySize;
  const std::uint32_t base = Address(copy.Buffer.data());
  copy.Offset = base - original;
  RelocateStackCopy({reinterpret_cast<std::uint32_t*>(copy.Buffer.data()), size / 4}, original, copy.Offset);
  copy.Registers = copy.Capture.Registers;
  platform::TThreadRegisters& r = copy.Registers;
  for (std::uint32_t* reg : {&r.Esp, &r.Ebp, &r.Edi, &r.Esi, &r.Ebx, &r.Edx, &r.Ecx, &r.Eax}) {
    if (*reg >= original && *reg - original <= size) *reg += copy.Offset;
  }
  const std::uint32_t top = base + size;
  const std::uint32_t frame = r.Ebp >= base && r.Ebp < top ? r.Ebp : 0;
  copy.Range = MakeStackRange(base, frame, top);
  copy.Range.Context = &copy.Registers;
  return true;
}

bool TraceThread(void* thread, std::uint32_t methods, TThreadTrace& trace) {
  if (platform::ThreadIdOf(thread) == platform::CurrentThreadId()) {
    trace = {};
    trace.Entries = TraceStack(methods, CurrentStackRange(), 0);
    return true;
  }
  TThreadStackCopy copy;
  if (!CopyThreadStack(thread, copy)) return false;
  // The thread runs again: locations, locks and allocations are safe now.
  trace.FirstAddress = copy.Capture.Registers.Eip;
  trace.SuspendedSeconds =
      static_cast<double>(copy.Capture.SuspendedTicks) / static_cast<double>(copy.Capture.TicksPerSecond);
  trace.Entries = TraceStack(methods, copy.Range, copy.Offset);
  return true;
}

bool TraceThreadById(std::uint32_t thread_id, std::uint32_t methods, TThreadTrace& trace) {
  if (thread_id == platform::CurrentThreadId()) {
    trace = {};
    trace.Entries = TraceStack(methods, CurrentStackRange(), 0);
    return true;
  }
  const platform::TThreadHandle handle = platform::TThreadHandle::Open(thread_id);
  return handle && TraceThread(handle.get(), methods, trace);
}

}  // namespace zelvic::diag
