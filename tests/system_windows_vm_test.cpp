// The window readers and the virtual-machine texts from fixed facts, and
// both on the live system against what the test sets up and asks itself.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "diagnostics/system/EProcessWindows.h"
#include "diagnostics/system/EVirtualMachine.h"
#include "diagnostics/system/EWindowTexts.h"
#include "fixed_system_facts.h"
#include "platform/machine_probes.h"

namespace zelvic::diag {
namespace {

using test::FixedSystemFacts;

TEST(WindowTexts, FormClassAndText) {
  FixedSystemFacts facts;
  facts.Windows[10] = {L"TForm\x01\x02Main", 0, {L"Line one\r\nLine two\t!", 0}};
  facts.Windows[11] = {L"Hung", 0, {L"", 1460}};
  facts.Foreground = 10;
  EXPECT_EQ(GetFormClass(0, facts), L"TForm Main");
  EXPECT_EQ(GetFormText(0, facts), L"Line one Line two !");
  EXPECT_EQ(GetFormText(11, facts), L"error 000005B4");
  EXPECT_EQ(GetFormClass(99, facts), L"error 00000578");
  facts.Foreground = 0;
  EXPECT_EQ(GetFormClass(0, facts), L"");
  EXPECT_EQ(GetFormText(0, facts), L"");
}

TEST(WindowTexts, ControlTextMasksPasswordsOfTheWindowRead) {
  FixedSystemFacts facts;
  facts.Windows = {
      {1, {L"Edit", 0x20, {L"secret", 0}}},            // password edit
      {2, {L"TEdit", 0, {L"plain", 0}}},               // ordinary edit
      {3, {L"TMemo", 0x04, {L"many\r\nlines", 0}}},    // multi-line memo
      {4, {L" tRichEdit20W ", 0x04, {L"rich", 0}}},    // multi-line edit
      {5, {L"Button", 0x20, {L"OK", 0}}},              // no edit: the style bit means something else
      {6, {L"Edit", 0x20, {L"", 0}}},                  // empty password
  };
  const std::pair<std::uintptr_t, const wchar_t*> kCases[] = {
      {1, L"******"}, {2, L"plain"}, {3, L""}, {4, L""}, {5, L"OK"}, {6, L""}};
  for (const auto& [window, text] : kCases) EXPECT_EQ(GetControlText(window, facts), text) << window;
  // A given password window is masked even while an ordinary edit has the
  // focus, and the focused window is read when none is given.
  facts.Focused = 2;
  EXPECT_EQ(GetControlText(1, facts), L"******");
  EXPECT_EQ(GetControlText(0, facts), L"plain");
  EXPECT_EQ(GetControlClass(0, facts), L"TEdit");
  EXPECT_EQ(GetControlClass(42, facts), L"error 00000578");
}

TEST(ProcessWindows, MainWindowAndCoveredArea) {
  FixedSystemFacts facts;
  // handle, visible, left, top, right, bottom, owner, extended style
  facts.TopLevel[7] = {
      {1, false, 0, 0, 800, 600, 0, 0},            // hidden
      {2, true, 10, 10, 10, 300, 0, 0},            // no width
      {3, true, 50, 40, 250, 40, 0, 0},            // no height: in the area, not main
      {4, true, 0, 0, 100, 100, 99, 0},            // owned
      {5, true, 300, 200, 400, 260, 0, 0x80},      // tool window
      {6, true, -20, 100, 120, 500, 0, 0x40080},   // tool window that is also an application window
      {8, true, 0, 0, 640, 480, 0, 0},
  };
  EXPECT_EQ(FindMainWindow(7, facts), 6u);
  EXPECT_EQ(GetProcessWindowsRect(7, facts), (TWindowRect{-20, 0, 640, 500}));
  EXPECT_EQ(FindMainWindow(9, facts), 0u);
  EXPECT_EQ(GetProcessWindowsRect(9, facts), TWindowRect{});
}

platform::TCpuIdRegisters Vendor(const char (&text)[13], std::uint32_t eax = 0) {
  platform::TCpuIdRegisters r;
  r.Eax = eax;
  std::memcpy(&r.Ebx, text, 4);
  std::memcpy(&r.Ecx, text + 4, 4);
  std::memcpy(&r.Edx, text + 8, 4);
  return r;
}

constexpr platform::TMachineProbe kVMware = platform::TMachineProbe::VMwareBackDoor;
constexpr platform::TMachineProbe kVpc1 = platform::TMachineProbe::VirtualPcFirst;
constexpr platform::TMachineProbe kVpc2 = platform::TMachineProbe::VirtualPcSecond;
constexpr platform::TMachineProbe kParallels = platform::TMachineProbe::ParallelsPort;

// What a probe's instruction left.
platform::TProbeRegisters Registers(std::uint32_t eax, std::uint32_t ebx, std::uint32_t ecx) {
  platform::TProbeRegisters r;
  r.Eax = eax;
  r.Ebx = ebx;
  r.Ecx = ecx;
  return r;
}

TEST(VirtualMachine, ProbeTexts) {
  const platform::TCpuIdRegisters hypervisor_bit{0, 0, 1u << 31, 0};
  struct Case {
    const char* what;
    void (*set)(FixedSystemFacts&);
    const wchar_t* text;
  };
  static platform::TCpuIdRegisters bit;
  bit = hypervisor_bit;
  const Case kCases[] = {
      {"physical", [](FixedSystemFacts&) {}, L""},
      {"wine", [](FixedSystemFacts& f) { f.WineAnswer = platform::TWineFacts{"8.0", "wine-8.0 (Debian 8.0~repack-4)"}; },
       L"Wine 8.0 (wine-8.0 (Debian 8.0~repack-4))"},
      {"wine without version", [](FixedSystemFacts& f) { f.WineAnswer = platform::TWineFacts{}; }, L"Wine"},
      {"vmware",
       [](FixedSystemFacts& f) {
         f.CpuIds[1] = bit;
         f.CpuIds[0x40000000] = Vendor("VMwareVMware");
       },
       L"VMWare"},
      {"vmware vendor without the bit", [](FixedSystemFacts& f) { f.CpuIds[0x40000000] = Vendor("VMwareVMware"); }, L""},
      {"vmware back door, express", [](FixedSystemFacts& f) { f.Probes[kVMware] = Registers(0, 0x564D5868, 1); },
       L"VMWare Express"},
      {"vmware back door, esx", [](FixedSystemFacts& f) { f.Probes[kVMware] = Registers(0, 0x564D5868, 2); },
       L"VMWare ESX"},
      {"vmware back door, gsx", [](FixedSystemFacts& f) { f.Probes[kVMware] = Registers(0, 0x564D5868, 3); },
       L"VMWare GSX"},
      {"vmware back door, workstation", [](FixedSystemFacts& f) { f.Probes[kVMware] = Registers(0, 0x564D5868, 4); },
       L"VMWare Workstation"},
      {"vmware back door, other product", [](FixedSystemFacts& f) { f.Probes[kVMware] = Registers(0, 0x564D5868, 9); },
       L"VMWare"},
      {"port answers without the magic", [](FixedSystemFacts& f) { f.Probes[kVMware] = Registers(0, 0x564D5869, 4); },
       L""},
      {"virtual pc, first instruction", [](FixedSystemFacts& f) { f.Probes[kVpc1] = Registers(1, 0, 0); },
       L"VirtualPC"},
      {"first instruction changed ebx", [](FixedSystemFacts& f) { f.Probes[kVpc1] = Registers(1, 7, 0); }, L""},
      {"virtual pc, second instruction", [](FixedSystemFacts& f) { f.Probes[kVpc2] = Registers(0, 0, 0); },
       L"VirtualPC"},
      {"parallels 5", [](FixedSystemFacts& f) { f.Probes[kParallels] = Registers(0x3141, 5, 0); }, L"Parallels 5"},
      {"parallels, version below 1",
       [](FixedSystemFacts& f) { f.Probes[kParallels] = Registers(0x3141, 0xFFFFFFFE, 0); }, L"Parallels"},
      {"parallels port, ebx unchanged", [](FixedSystemFacts& f) { f.Probes[kParallels] = Registers(0x3141, 0x3141, 0); },
       L""},
      {"parallels port, ebx 0", [](FixedSystemFacts& f) { f.Probes[kParallels] = Registers(0x3141, 0, 0); }, L""},
      {"parallels port, eax wrong", [](FixedSystemFacts& f) { f.Probes[kParallels] = Registers(0x13, 5, 0); }, L""},
      {"vmware before virtual pc",
       [](FixedSystemFacts& f) {
         f.Probes[kVMware] = Registers(0, 0x564D5868, 4);
         f.Probes[kVpc1] = Registers(1, 0, 0);
       },
       L"VMWare Workstation"},
      {"virtual pc before parallels",
       [](FixedSystemFacts& f) {
         f.Probes[kVpc2] = Registers(0, 0, 0);
         f.Probes[kParallels] = Registers(0x3141, 5, 0);
       },
       L"VirtualPC"},
      {"parallels before virtualbox",
       [](FixedSystemFacts& f) {
         f.Probes[kParallels] = Registers(0x3141, 5, 0);
         f.Ids = std::vector<std::uint32_t>{8};
         f.Snapshot = {{8, L"VBoxService.exe", 3, 8}};
       },
       L"Parallels 5"},
      {"virtualbox",
       [](FixedSystemFacts& f) {
         f.Ids = std::vector<std::uint32_t>{8};
         f.Snapshot = {{8, L"VBoxService.exe", 3, 8}};
       },
       L"VirtualBox"},
      {"sandboxie", [](FixedSystemFacts& f) { f.LoadedModules = {L"SbieDll.dll"}; }, L"Sandboxie"},
      {"anubis",
       [](FixedSystemFacts& f) {
         f.MachineRegistry[{L"Software\\Microsoft\\Windows\\CurrentVersion", L"ProductId"}] = L"76487-337-8429955-22614";
       },
       L"Anubis"},
      {"other hypervisor", [](FixedSystemFacts& f) { f.CpuIds[1] = bit; f.CpuIds[0x40000000] = Vendor("KVMKVMKVM\0\0\0"); },
       L"Hypervisor"},
      {"hyper-v",
       [](FixedSystemFacts& f) {
         f.CpuIds[1] = bit;
         f.CpuIds[0x40000000] = Vendor("Microsoft Hv");
         f.CpuIds[0x40000001] = {0x31237648, 0, 0, 0};
         f.CpuIds[0x40000002] = {17763, (10u << 16) | 0, 2, 0};
       },
       L"Microsoft Hypervisor 10.0.17763 Service Pack 2"},
      {"hyper-v without version",
       [](FixedSystemFacts& f) {
         f.CpuIds[1] = bit;
         f.CpuIds[0x40000000] = Vendor("Microsoft Hv");
         f.CpuIds[0x40000001] = {0x31237648, 0, 0, 0};
       },
       L"Microsoft Hypervisor"},
  };
  for (const Case& c : kCases) {
    FixedSystemFacts facts;
    c.set(facts);
    EXPECT_EQ(DetectVirtualMachine(facts), c.text) << c.what;
  }
}

// The registers each instruction starts with, and Wine answering before any
// instruction runs.
TEST(VirtualMachine, ProbeInputsAndOrder) {
  FixedSystemFacts facts;
  EXPECT_EQ(DetectVirtualMachine(facts), L"");
  EXPECT_EQ(facts.ProbesRun, (std::vector<platform::TMachineProbe>{kVMware, kVpc1, kVpc2, kParallels}));
  const auto expect_input = [&](platform::TMachineProbe probe, std::uint32_t eax, std::uint32_t ebx, std::uint32_t ecx,
                                std::uint32_t edx, std::uint32_t esi) {
    const platform::TProbeRegisters& r = facts.ProbeInputs[probe];
    EXPECT_EQ(r.Eax, eax);
    EXPECT_EQ(r.Ebx, ebx);
    EXPECT_EQ(r.Ecx, ecx);
    EXPECT_EQ(r.Edx, edx);
    EXPECT_EQ(r.Esi, esi);
    EXPECT_EQ(r.Edi, 0u);
  };
  expect_input(kVMware, 0x564D5868, 0, 10, 0x5658, 0);
  expect_input(kVpc1, 1, 0, 0, 0, 0);
  expect_input(kVpc2, 0, 0, 0, 0, 0);
  expect_input(kParallels, 0x13, 0x3141, 0, 0, 1);

  FixedSystemFacts wine;
  wine.WineAnswer = platform::TWineFacts{"8.0", std::nullopt};
  EXPECT_EQ(DetectVirtualMachine(wine), L"Wine 8.0");
  EXPECT_TRUE(wine.ProbesRun.empty());
}

// The instructions themselves under this system: no virtual device answers,
// each raises and is caught by the probe's own frame, the caller's registers
// untouched. (The facility's handlers are not installed here; their silence
// is the exception hooks' test.)
TEST(VirtualMachineLive, EveryProbeInstructionFaultsAndIsCaught) {
  for (const platform::TMachineProbe probe : {kVMware, kVpc1, kVpc2, kParallels}) {
    platform::TProbeRegisters r = Registers(0x11, 0x22, 0x33);
    r.Edx = 0x5658;
    r.Esi = 0x55;
    r.Edi = 0x66;
    EXPECT_FALSE(platform::RunMachineProbe(probe, r)) << static_cast<int>(probe);
    EXPECT_EQ(r.Eax, 0x11u);
    EXPECT_EQ(r.Ebx, 0x22u);
    EXPECT_EQ(r.Ecx, 0x33u);
    EXPECT_EQ(r.Edx, 0x5658u);
    EXPECT_EQ(r.Esi, 0x55u);
    EXPECT_EQ(r.Edi, 0x66u);
  }
  // The thread's frame chain is as it was: a later exception still reaches
  // the handlers below.
  bool caught = false;
  try {
    throw std::runtime_error("after the probes");
  } catch (const std::runtime_error&) {
    caught = true;
  }
  EXPECT_TRUE(caught);
}

TEST(VirtualMachine, NotWhileADebuggerIsAttached) {
  FixedSystemFacts facts;
  facts.WineAnswer = platform::TWineFacts{"8.0", std::nullopt};
  facts.Debugger = true;
  EXPECT_EQ(GetVirtualMachineText(facts), L"");
  EXPECT_EQ(facts.Detections, 0);
  facts.Debugger = false;
  EXPECT_EQ(GetVirtualMachineText(facts), L"Wine 8.0");
}

TEST(VirtualMachineLive, WineIsRecognisedAndRemembered) {
  using TText = const char*(__cdecl*)();
  const auto version = reinterpret_cast<TText>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
  if (version == nullptr) GTEST_SKIP() << "not under Wine";
  const std::wstring text = GetVirtualMachineText();
  std::wstring expected = L"Wine ";
  for (const char* c = version(); *c != '\0'; ++c) expected += static_cast<wchar_t>(*c);
  EXPECT_EQ(text.rfind(expected, 0), 0u) << text;
  EXPECT_EQ(GetVirtualMachineText(), text);
}

TEST(WindowTextsLive, AnEditOfThisProcess) {
  HWND edit = CreateWindowExW(0, L"EDIT", L"visible text", WS_POPUP, 0, 0, 100, 20, nullptr, nullptr, nullptr, nullptr);
  // Wine makes no window without a display (the test prefixes run without
  // one unless an X server is given).
  if (edit == nullptr) GTEST_SKIP() << "no window can be made here (error " << GetLastError() << ")";
  HWND password = CreateWindowExW(0, L"EDIT", L"hunter2", WS_POPUP | ES_PASSWORD, 0, 0, 100, 20, nullptr, nullptr,
                                  nullptr, nullptr);
  ASSERT_NE(password, nullptr);
  const auto as_number = [](HWND w) { return reinterpret_cast<std::uintptr_t>(w); };
  EXPECT_EQ(GetControlText(as_number(edit)), L"visible text");
  EXPECT_EQ(GetControlText(as_number(password)), L"*******");
  EXPECT_TRUE(GetControlClass(as_number(edit)) == L"Edit" || GetControlClass(as_number(edit)) == L"EDIT")
      << GetControlClass(as_number(edit)).size();
  EXPECT_EQ(GetFormText(as_number(edit)), L"visible text");
  DestroyWindow(password);
  DestroyWindow(edit);
}

}  // namespace
}  // namespace zelvic::diag
