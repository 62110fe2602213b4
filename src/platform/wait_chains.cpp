#include "platform/wait_chains.h"

#include <windows.h>
#include <wct.h>

#include "platform/module_loads.h"

namespace zelvic::platform {
namespace {

using TOpen = HWCT(WINAPI*)(DWORD, PWAITCHAINCALLBACK);
using TClose = VOID(WINAPI*)(HWCT);
using TChain = BOOL(WINAPI*)(HWCT, DWORD_PTR, DWORD, DWORD, LPDWORD, PWAITCHAIN_NODE_INFO, LPBOOL);

FARPROC Advapi(const char* name) noexcept {
  HMODULE module = GetModuleHandleW(L"advapi32.dll");
  if (module == nullptr) module = LoadSystemModule(L"advapi32.dll");
  return module != nullptr ? GetProcAddress(module, name) : nullptr;
}

constexpr DWORD kMaxNodes = 16;

}  // namespace

std::uintptr_t OpenWaitChain() noexcept {
  const auto open = reinterpret_cast<TOpen>(reinterpret_cast<void*>(Advapi("OpenThreadWaitChainSession")));
  if (open == nullptr) return 0;
  return reinterpret_cast<std::uintptr_t>(open(0, nullptr));
}

void CloseWaitChain(std::uintptr_t session) noexcept {
  if (session == 0) return;
  const auto close = reinterpret_cast<TClose>(reinterpret_cast<void*>(Advapi("CloseThreadWaitChainSession")));
  if (close != nullptr) close(reinterpret_cast<HWCT>(session));
}

bool ThreadWaitChain(std::uintptr_t session, std::uint32_t thread_id, std::vector<TWaitNode>& nodes, bool& cycle) {
  nodes.clear();
  cycle = false;
  const auto chain = reinterpret_cast<TChain>(reinterpret_cast<void*>(Advapi("GetThreadWaitChain")));
  if (chain == nullptr || session == 0) return false;
  WAITCHAIN_NODE_INFO info[kMaxNodes] = {};
  DWORD count = kMaxNodes;
  BOOL is_cycle = FALSE;
  if (!chain(reinterpret_cast<HWCT>(session), 0, 0, thread_id, &count, info, &is_cycle)) return false;
  if (count > kMaxNodes) count = kMaxNodes;
  for (DWORD i = 0; i < count; ++i) {
    TWaitNode node;
    node.ObjectType = info[i].ObjectType;
    node.ObjectStatus = info[i].ObjectStatus;
    if (info[i].ObjectType == WctThreadType) {
      node.ThreadId = info[i].ThreadObject.ThreadId;
    } else {
      const wchar_t* name = info[i].LockObject.ObjectName;
      std::size_t length = 0;
      while (length < WCT_OBJNAME_LENGTH && name[length] != 0) ++length;
      node.ObjectName.assign(name, length);
    }
    nodes.push_back(std::move(node));
  }
  cycle = is_cycle != FALSE;
  return true;
}

}  // namespace zelvic::platform
