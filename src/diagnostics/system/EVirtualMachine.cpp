#include "diagnostics/system/EVirtualMachine.h"

#include <cstring>

#include "diagnostics/system/EProcesses.h"
#include "diagnostics/threads/EThreadsManager.h"
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

using platform::TMachineProbe;
using platform::TProbeRegisters;

constexpr std::uint32_t kVMwareMagic = 0x564D5868;  // "VMXh"
constexpr std::uint32_t kParallelsMagic = 0x3141;

std::wstring VMwareProbe(platform::TSystemFacts& facts) {
  // The back door's "get version" command: the product comes back in ECX.
  TProbeRegisters query;
  query.Eax = kVMwareMagic;
  query.Ecx = 10;
  query.Edx = 0x5658;  // "VX"
  if (const std::optional<TProbeRegisters> answer = facts.MachineProbe(TMachineProbe::VMwareBackDoor, query);
      answer && answer->Ebx == kVMwareMagic) {
    switch (answer->Ecx) {
      case 1: return L"VMWare Express";
      case 2: return L"VMWare ESX";
      case 3: return L"VMWare GSX";
      case 4: return L"VMWare Workstation";
      default: return L"VMWare";
    }
  }
  if (HasHypervisor(facts) && VendorOf(facts.CpuId(0x40000000)) == "VMwareVMware") return L"VMWare";
  return {};
}

std::wstring VirtualPcProbe(platform::TSystemFacts& facts) {
  TProbeRegisters first;
  first.Eax = 1;
  if (const std::optional<TProbeRegisters> answer = facts.MachineProbe(TMachineProbe::VirtualPcFirst, first);
      answer && answer->Ebx == 0) {
    return L"VirtualPC";
  }
  if (facts.MachineProbe(TMachineProbe::VirtualPcSecond, TProbeRegisters{})) return L"VirtualPC";
  return {};
}

std::wstring ParallelsProbe(platform::TSystemFacts& facts) {
  TProbeRegisters query;
  query.Eax = 0x13;
  query.Ebx = kParallelsMagic;
  query.Esi = 1;
  const std::optional<TProbeRegisters> answer = facts.MachineProbe(TMachineProbe::ParallelsPort, query);
  if (!answer || answer->Eax != kParallelsMagic || answer->Ebx == 0 || answer->Ebx == kParallelsMagic) return {};
  const auto version = static_cast<std::int32_t>(answer->Ebx);
  return version < 1 ? std::wstring(L"Parallels") : L"Parallels " + std::to_wstring(version);
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

// The facility's exception catching off for the calling thread while the
// probes raise their processor exceptions, and back as it was afterwards: its
// handlers see those exceptions before the probe's own frame does, and must
// neither record them nor, with the error-reporting pass-through, hand them on
// as faults of the host.
class TCatchingOffScope {
 public:
  TCatchingOffScope() noexcept {
    try {
      was_on_ = IsVarnelLogActiveInThread(kCallingThread);
      if (was_on_) SetVarnelLogStateInThread(kCallingThread, false);
    } catch (...) {
      was_on_ = false;
    }
  }
  ~TCatchingOffScope() {
    if (!was_on_) return;
    try {
      SetVarnelLogStateInThread(kCallingThread, true);
    } catch (...) {
    }
  }
  TCatchingOffScope(const TCatchingOffScope&) = delete;
  TCatchingOffScope& operator=(const TCatchingOffScope&) = delete;

 private:
  bool was_on_ = false;
};

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
  for (auto probe : {WineProbe, VMwareProbe, VirtualPcProbe, ParallelsProbe, VirtualBoxProbe, SandboxProbe,
                     HypervisorProbe}) {
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
  std::wstring answer;
  {
    const TCatchingOffScope quiet;
    answer = DetectVirtualMachine(facts);
  }
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
