#include "diagnostics/system/EVirtualMachine.h"

#include <cstring>

#include "diagnostics/system/EProcesses.h"
#include "diagnostics/util/ELowLevel.h"
#include "platform/text_compare.h"

namespace zelvic::diag {
namespace {

constexpr std::uint32_t kHypervisorPresent = 1u << 31;  // leaf 1, ECX

std::string VendorOf(const platform::TCpuIdRegisters& r) {
  char text[12];
  std::memcpy(text, &r.Ebx, 4);
  std::memcpy(text + 4, &r.Ecx, 4);
  std::memcpy(text + 8, &r.Edx, 4);
  return std::string(text, 12);
}

bool HasHypervisor(platform::TSystemFacts& facts) { return (facts.CpuId(1).Ecx & kHypervisorPresent) != 0; }

std::wstring WineProbe(platform::TSystemFacts& facts) {
  const std::optional<platform::TWineFacts> wine = facts.Wine();
  if (!wine) return {};
  std::wstring text = L"Wine";
  if (wine->Version) text += L" " + platform::FromAnsiCodePage(*wine->Version);
  if (wine->Build) text += L" (" + platform::FromAnsiCodePage(*wine->Build) + L")";
  return text;
}

std::wstring VMwareProbe(platform::TSystemFacts& facts) {
  if (HasHypervisor(facts) && VendorOf(facts.CpuId(0x40000000)) == "VMwareVMware") return L"VMWare";
  return {};
}

std::wstring VirtualBoxProbe(platform::TSystemFacts& facts) {
  TVarnelProcessesList processes(facts);
  processes.Refresh();
  for (int i = 0; i < processes.Count(); ++i) {
    std::wstring name = processes.GetItem(i).Name;
    for (wchar_t& c : name) {
      if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    if (name.find(L"vboxservice.exe") != std::wstring::npos) return L"VirtualBox";
  }
  return {};
}

std::wstring SandboxProbe(platform::TSystemFacts& facts) {
  if (facts.ModuleLoaded(L"SbieDll.dll")) return L"Sandboxie";
  constexpr struct {
    const wchar_t* ProductId;
    const wchar_t* Name;
  } kSandboxes[] = {{L"55274-640-2673064-23950", L"Joe Box"},
                    {L"76487-644-3177037-23510", L"CW Sandbox"},
                    {L"76487-337-8429955-22614", L"Anubis"}};
  const std::wstring product =
      facts.MachineRegistryText(L"Software\\Microsoft\\Windows\\CurrentVersion", L"ProductId");
  for (const auto& s : kSandboxes) {
    if (product == s.ProductId) return s.Name;
  }
  return {};
}

std::wstring HypervisorProbe(platform::TSystemFacts& facts) {
  if (!HasHypervisor(facts)) return {};
  if (VendorOf(facts.CpuId(0x40000000)) != "Microsoft Hv" || facts.CpuId(0x40000001).Eax != 0x31237648) {
    return L"Hypervisor";
  }
  std::wstring text = L"Microsoft Hypervisor";
  const platform::TCpuIdRegisters version = facts.CpuId(0x40000002);
  if ((version.Ebx >> 16) != 0) {
    text += L" " + std::to_wstring(version.Ebx >> 16) + L"." + std::to_wstring(version.Ebx & 0xFFFF) + L"." +
            std::to_wstring(version.Eax);
    if (version.Ecx != 0) text += L" Service Pack " + std::to_wstring(version.Ecx);
  }
  return text;
}

class TLowLevelLockScope {
 public:
  TLowLevelLockScope() noexcept { EnterLowLevelLock(); }
  ~TLowLevelLockScope() { LeaveLowLevelLock(); }
  TLowLevelLockScope(const TLowLevelLockScope&) = delete;
  TLowLevelLockScope& operator=(const TLowLevelLockScope&) = delete;
};

// Under the low-level lock; the detection itself runs outside it, since it
// may list the processes.
std::wstring g_cached;  // "native" for a physical machine; empty: not known

}  // namespace

std::wstring DetectVirtualMachine(platform::TSystemFacts& facts) {
  for (auto probe : {WineProbe, VMwareProbe, VirtualBoxProbe, SandboxProbe, HypervisorProbe}) {
    std::wstring answer = probe(facts);
    if (!answer.empty()) return answer;
  }
  return {};
}

std::wstring GetVirtualMachineText(platform::TSystemFacts& facts) {
  const bool live = &facts == &platform::LiveSystemFacts();
  if (live) {
    const TLowLevelLockScope lock;
    if (!g_cached.empty()) return g_cached == L"native" ? std::wstring() : g_cached;
  }
  if (facts.DebuggerAttached()) return {};
  std::wstring answer = DetectVirtualMachine(facts);
  if (live) {
    const TLowLevelLockScope lock;
    if (g_cached.empty()) g_cached = answer.empty() ? L"native" : answer;
  }
  return answer;
}

void ForgetVirtualMachineText() noexcept {
  const TLowLevelLockScope lock;
  g_cached.clear();
  g_cached.shrink_to_fit();
}

}  // namespace zelvic::diag
