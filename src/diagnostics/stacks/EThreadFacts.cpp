#include "diagnostics/stacks/EThreadFacts.h"

#include "diagnostics/threads/EThreadsManager.h"

namespace zelvic::diag {
namespace {

TThreadFactsProvider g_previous;
bool g_installed = false;

std::uint32_t Address(const void* p) noexcept {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

}  // namespace

bool ManagerThreadFacts(void* /*data*/, std::uint32_t thread_id, TThreadFacts& facts) {
  TThreadDataPtr record = GetThreadData(thread_id, true);
  if (!record) return false;
  facts.ThreadID = record->FTID;
  facts.ClassName = record->FThreadClassName;
  facts.Name = record->FName;
  facts.IDStr = record->ThreadIDStr();
  facts.CallerAddress = Address(record->FCallerAddress);
  facts.ParentID = record->FParentID;
  facts.Priority = record->Priority();
  facts.StartAddress = Address(record->FRealStartingAddress != nullptr ? record->FRealStartingAddress
                                                                       : record->FStartingAddress);
  facts.StartDescription = record->FShortDescr;
  facts.IsTThread = record->Kind() == tkTThread;
  return true;
}

void InstallThreadFactsProvider() noexcept {
  if (g_installed) return;
  g_previous = SetThreadFactsProvider({ManagerThreadFacts, nullptr});
  g_installed = true;
}

void RemoveThreadFactsProvider() noexcept {
  if (!g_installed) return;
  SetThreadFactsProvider(g_previous);
  g_previous = {};
  g_installed = false;
}

}  // namespace zelvic::diag
