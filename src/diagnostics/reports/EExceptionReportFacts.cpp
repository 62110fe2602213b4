#include "diagnostics/reports/EExceptionReportFacts.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace zelvic::diag {
namespace {

TLiveException LiveValues(TVarnelExceptionInfo& info) {
  TLiveException e;
  e.Class = info.ExceptionClass();
  e.Message = info.ExceptionMessage();
  e.Address = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(info.Address()));
  e.Time = info.Time();
  const TContext32& c = info.Context();
  e.Context.ContextFlags = c.ContextFlags;
  e.Context.Eax = c.Eax;
  e.Context.Ebx = c.Ebx;
  e.Context.Ecx = c.Ecx;
  e.Context.Edx = c.Edx;
  e.Context.Esi = c.Esi;
  e.Context.Edi = c.Edi;
  e.Context.Ebp = c.Ebp;
  e.Context.Esp = c.Esp;
  e.Context.Eip = c.Eip;
  e.Context.EFlags = c.EFlags;
  // The dump is taken with the call stack: build it first.
  info.CallStack();
  // The 64 bytes were copied at the record's stack point.
  const auto stack_point = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(info.StackPoint()));
  e.StackPoint = stack_point != 0 ? stack_point : c.Esp;
  if (const std::uint8_t* dump = info.StackDump()) {
    std::array<std::uint8_t, 64> bytes{};
    std::copy_n(dump, bytes.size(), bytes.begin());
    e.Dump = bytes;
  }
  e.BugID = info.BugID();
  e.Count = info.UnhandledExceptionNumber();
  e.Reproduce = info.ReproduceText();
  return e;
}

}  // namespace

TExceptionReportFacts::TExceptionReportFacts(TVarnelExceptionInfo& info)
    : TLiveReportFacts(LiveValues(info), nullptr), FInfo(info) {}

TReportFacts& TExceptionReportFacts::BaseException() {
  TVarnelExceptionInfo* base = FInfo.BaseException();
  if (base == nullptr || base == &FInfo) return *this;
  if (!FBase) FBase = std::make_unique<TExceptionReportFacts>(*base);
  return *FBase;
}

std::wstring TExceptionReportFacts::ResolveVariable(const std::wstring& name) {
  std::wstring value;
  if (FInfo.ExceptionVariable(name, value)) return value;
  return TLiveReportFacts::ResolveVariable(name);
}

}  // namespace zelvic::diag
