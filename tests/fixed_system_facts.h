// A platform::TSystemFacts of fixed values, with a record of what was asked,
// for tests of everything built from system facts.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/system_facts.h"

namespace zelvic::test {

class FixedSystemFacts : public platform::TSystemFacts {
 public:
  // ---- processes
  std::optional<std::vector<std::uint32_t>> Ids;
  std::vector<platform::TProcessEntry> Snapshot;
  // Answers by (process, way); a missing pair is a process that does not
  // open that way.
  std::map<std::pair<std::uint32_t, platform::TImageNameWay>, platform::TProcessFacts> Opened;
  std::map<std::wstring, std::wstring> DosDevices;  // "C:" -> "\Device\..."
  std::map<std::wstring, platform::TVersionResource> Files;

  // ---- privileges: the state of each privilege the token holds
  std::map<std::wstring, bool> Privileges;
  std::vector<std::pair<std::wstring, bool>> PrivilegeCalls;

  // ---- folders, environment, clock
  std::map<std::wstring, platform::TKnownFolderAnswer> KnownFolders;  // by GUID text
  bool HasKnownFolderQuery = true;
  std::map<int, std::wstring> CsidlFolders;
  std::wstring Temp = L"C:\\Temp";
  std::wstring Current = L"C:\\Work\\";
  std::map<std::wstring, std::wstring> Environment;
  std::wstring ThisModule = L"C:\\Fixed\\Lib\\_zelvic.dll";
  std::wstring MainModule = L"C:\\Fixed\\App\\host.exe";
  platform::TLocalNow Now{2024, 3, 7, 9, 5, 4, L"07/03/2024", L"09:05:04"};
  std::uint32_t RandomValue = 4242;

  // ---- files
  std::vector<std::wstring> Writable;  // paths that pass the test
  std::vector<std::wstring> Probed;
  std::vector<std::wstring> FoldersMade;
  bool FoldersFail = false;

  // ---- the development environment's channel
  std::uint32_t Parent = 0;
  std::map<std::uint32_t, std::wstring> WindowClasses;  // one top-level window per process
  std::optional<std::uint32_t> SharedNumber;
  std::vector<std::uint32_t> AllowedForeground;
  std::map<std::wstring, std::uint32_t> Mailslots;  // name -> write error
  std::vector<std::pair<std::wstring, std::vector<std::uint8_t>>> Sent;

  // ---- user, computer, operating system
  std::wstring User = L"tester", Computer = L"BENCH-7";
  std::wstring Command = L"\"C:\\Fixed App\\host.exe\" -a  -b ";
  platform::TMemoryStatus Memory{4294967296ull, 1073741824ull};
  std::map<std::wstring, platform::TDiskSpace> Disks;
  std::uint64_t Ticks = 129600000;  // 1.5 days
  platform::TOSVersion Version{true, 6, 1, 7601, 2, 1, 1, 0, L"Service Pack 1"};
  std::optional<bool> Verified;  // every "at least" check; none: no check
  std::optional<std::pair<std::uint32_t, std::uint32_t>> TrueVersion;  // answers the check when set
  std::optional<bool> Workstation = true;
  bool Wow64 = false;
  std::optional<std::vector<platform::TPrivilegeState>> Token;
  std::optional<std::vector<platform::TAdapterFacts>> Adapters;
  std::map<std::pair<std::wstring, std::wstring>, std::wstring> MachineRegistry;
  std::map<std::pair<std::wstring, std::wstring>, std::wstring> UserRegistry;
  // The indirect-string loader: absent unless set; answers by source text.
  bool HasIndirectLoader = false;
  std::map<std::wstring, std::wstring> IndirectTexts;
  std::vector<std::wstring> IndirectCalls;
  std::map<std::wstring, std::wstring> FullPaths;
  std::map<std::pair<std::wstring, std::uint32_t>, std::wstring> StringResources;
  std::optional<platform::TPrinterDriver> Printer;
  std::map<std::wstring, std::wstring> ProductVersions;
  // Binary values and subkeys under HKEY_LOCAL_MACHINE.
  std::map<std::pair<std::wstring, std::wstring>, std::vector<std::uint8_t>> MachineBytes;
  std::map<std::wstring, std::wstring> MachineSubkeys;
  platform::TDisplayDevice DisplayDevice;

  platform::TDisplayFacts Screen{1920, 1080, 32, 96};
  std::wstring Language = L"English";
  std::uint32_t Charset = 0;

  // ---- windows
  struct Window {
    std::wstring ClassName;
    std::uint32_t Style = 0;
    platform::TWindowText Text;
  };
  std::map<std::uintptr_t, Window> Windows;
  std::uintptr_t Foreground = 0, Focused = 0;
  std::map<std::uint32_t, std::vector<platform::TTopLevelWindow>> TopLevel;

  // ---- what the machine is
  std::optional<platform::TWineFacts> WineAnswer;
  std::map<std::uint32_t, platform::TCpuIdRegisters> CpuIds;
  // A probe not listed raised (no such device); with LiveProbes the real
  // instructions run.
  std::map<platform::TMachineProbe, std::optional<platform::TProbeRegisters>> Probes;
  bool LiveProbes = false;
  std::vector<platform::TMachineProbe> ProbesRun;
  std::map<platform::TMachineProbe, platform::TProbeRegisters> ProbeInputs;
  bool Debugger = false;
  std::vector<std::wstring> LoadedModules;
  int Detections = 0;  // how often the first probe ran

  static std::wstring GuidText(const platform::TGuidValue& id) {
    wchar_t text[40];
    swprintf(text, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id.Data1, id.Data2, id.Data3,
             id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    return text;
  }

  std::optional<std::vector<std::uint32_t>> ProcessIds() override { return Ids; }
  std::vector<platform::TProcessEntry> ProcessSnapshot() override { return Snapshot; }
  platform::TProcessFacts QueryProcess(std::uint32_t id, platform::TImageNameWay way) override {
    const auto it = Opened.find({id, way});
    return it == Opened.end() ? platform::TProcessFacts{} : it->second;
  }
  std::wstring DosDeviceName(std::wstring_view drive) override {
    const auto it = DosDevices.find(std::wstring(drive));
    return it == DosDevices.end() ? std::wstring() : it->second;
  }
  bool FileExists(const std::wstring& path) override { return Files.count(path) != 0; }
  platform::TVersionResource VersionResource(const std::wstring& path) override {
    const auto it = Files.find(path);
    return it == Files.end() ? platform::TVersionResource{} : it->second;
  }
  // As the platform does: the previous state lists the privilege only when
  // the call changed it.
  platform::TPrivilegeChange AdjustPrivilege(const std::wstring& name, bool enable) override {
    PrivilegeCalls.emplace_back(name, enable);
    const auto it = Privileges.find(name);
    if (it == Privileges.end()) return {};
    platform::TPrivilegeChange change{true, false, false};
    if (it->second != enable) {
      change.PreviousReported = true;
      change.PreviouslyEnabled = it->second;
      it->second = enable;
    }
    return change;
  }
  platform::TKnownFolderAnswer KnownFolderPath(const platform::TGuidValue& id) override {
    if (!HasKnownFolderQuery) return {};
    const auto it = KnownFolders.find(GuidText(id));
    // E_INVALIDARG for a folder the system does not know.
    return it == KnownFolders.end() ? platform::TKnownFolderAnswer{true, static_cast<std::int32_t>(0x80070057), L""}
                                    : it->second;
  }
  std::wstring CsidlFolderPath(int csidl) override {
    const auto it = CsidlFolders.find(csidl);
    return it == CsidlFolders.end() ? std::wstring() : it->second;
  }
  std::wstring TempPath() override { return Temp; }
  std::wstring CurrentDirectory() override { return Current; }
  std::wstring EnvironmentValue(const std::wstring& name) override {
    const auto it = Environment.find(name);
    return it == Environment.end() ? std::wstring() : it->second;
  }
  std::wstring ThisModuleFileName() override { return ThisModule; }
  std::wstring MainModuleFileName() override { return MainModule; }
  platform::TLocalNow LocalNow() override { return Now; }
  std::uint32_t Random() override { return RandomValue; }
  std::wstring ErrorText(std::uint32_t code) override {
    wchar_t text[32];
    swprintf(text, 32, L"error %08X", code);
    return text;
  }
  bool ProbeFile(const std::wstring& path, bool) override {
    Probed.push_back(path);
    for (const auto& w : Writable) {
      if (w == path) return true;
    }
    return false;
  }
  bool CreateFolderTree(const std::wstring& path) override {
    if (FoldersFail) return false;
    FoldersMade.push_back(path);
    return true;
  }
  std::uint32_t ParentProcessId() override { return Parent; }
  bool HasTopLevelWindowOfClass(std::uint32_t id, const std::wstring& class_name) override {
    const auto it = WindowClasses.find(id);
    return it != WindowClasses.end() && it->second == class_name;
  }
  std::optional<std::uint32_t> SharedMemoryNumber(const std::wstring& name) override {
    return name == L"0503CC5BD9B147518FBAD9FD9E8E8A4E" ? SharedNumber : std::nullopt;
  }
  void AllowForeground(std::uint32_t id) override { AllowedForeground.push_back(id); }
  std::wstring UserName() override { return User; }
  std::wstring ComputerName() override { return Computer; }
  std::wstring CommandLine() override { return Command; }
  platform::TMemoryStatus MemoryStatus() override { return Memory; }
  std::optional<platform::TDiskSpace> DiskSpace(const std::wstring& root) override {
    const auto it = Disks.find(root);
    return it == Disks.end() ? std::nullopt : std::optional(it->second);
  }
  std::uint64_t TickCount() override { return Ticks; }
  platform::TOSVersion OSVersion() override { return Version; }
  std::optional<bool> VersionAtLeast(std::uint32_t major, std::uint32_t minor) override {
    if (TrueVersion) return *TrueVersion >= std::pair(major, minor);
    return Verified;
  }
  std::optional<bool> IsWorkstation() override { return Workstation; }
  bool IsWow64() override { return Wow64; }
  std::optional<std::vector<platform::TPrivilegeState>> TokenPrivileges() override { return Token; }
  std::optional<std::vector<platform::TAdapterFacts>> NetworkAdapters() override { return Adapters; }
  std::wstring MachineRegistryText(const std::wstring& key, const std::wstring& value) override {
    const auto it = MachineRegistry.find({key, value});
    return it == MachineRegistry.end() ? std::wstring() : it->second;
  }
  std::optional<std::wstring> RegistryText(platform::TRegistryRoot root, const std::wstring& key,
                                           const std::wstring& value) override {
    const auto& store = root == platform::TRegistryRoot::CurrentUser ? UserRegistry : MachineRegistry;
    const auto it = store.find({key, value});
    if (it == store.end()) return std::nullopt;
    return it->second;
  }
  std::optional<std::vector<std::uint8_t>> RegistryBytes(platform::TRegistryRoot root, const std::wstring& key,
                                                         const std::wstring& value) override {
    if (root != platform::TRegistryRoot::LocalMachine) return std::nullopt;
    const auto it = MachineBytes.find({key, value});
    if (it == MachineBytes.end()) return std::nullopt;
    return it->second;
  }
  std::wstring FirstRegistrySubkey(platform::TRegistryRoot root, const std::wstring& key) override {
    if (root != platform::TRegistryRoot::LocalMachine) return {};
    const auto it = MachineSubkeys.find(key);
    return it == MachineSubkeys.end() ? std::wstring() : it->second;
  }
  platform::TDisplayDevice PrimaryDisplayDevice() override { return DisplayDevice; }
  platform::TIndirectText LoadIndirectText(const std::wstring& text) override {
    IndirectCalls.push_back(text);
    platform::TIndirectText answer;
    answer.Available = HasIndirectLoader;
    if (!HasIndirectLoader) return answer;
    const auto it = IndirectTexts.find(text);
    if (it == IndirectTexts.end()) return answer;
    answer.Loaded = true;
    answer.Text = it->second;
    return answer;
  }
  std::wstring FullPath(const std::wstring& path) override {
    const auto it = FullPaths.find(path);
    return it == FullPaths.end() ? path : it->second;
  }
  std::wstring ModuleStringResource(const std::wstring& path, std::uint32_t id) override {
    const auto it = StringResources.find({path, id});
    return it == StringResources.end() ? std::wstring() : it->second;
  }
  std::optional<platform::TPrinterDriver> DefaultPrinterDriver() override { return Printer; }
  std::wstring ProductVersion(const std::wstring& path) override {
    const auto it = ProductVersions.find(path);
    return it == ProductVersions.end() ? std::wstring() : it->second;
  }
  platform::TDisplayFacts Display() override { return Screen; }
  std::wstring SystemLanguageName() override { return Language; }
  std::uint32_t UserCharset() override { return Charset; }
  std::uintptr_t ForegroundWindow() override { return Foreground; }
  std::uintptr_t FocusedWindow() override { return Focused; }
  platform::TWindowText WindowClassName(std::uintptr_t w) override {
    const auto it = Windows.find(w);
    if (it == Windows.end()) return {L"", 1400};  // ERROR_INVALID_WINDOW_HANDLE
    return {it->second.ClassName, 0};
  }
  platform::TWindowText WindowText(std::uintptr_t w) override {
    const auto it = Windows.find(w);
    return it == Windows.end() ? platform::TWindowText{L"", 1400} : it->second.Text;
  }
  std::uint32_t WindowStyle(std::uintptr_t w) override {
    const auto it = Windows.find(w);
    return it == Windows.end() ? 0 : it->second.Style;
  }
  std::vector<platform::TTopLevelWindow> TopLevelWindows(std::uint32_t id) override { return TopLevel[id]; }
  std::uint32_t CurrentProcessId() override { return 4242; }
  std::optional<platform::TWineFacts> Wine() override {
    ++Detections;
    return WineAnswer;
  }
  platform::TCpuIdRegisters CpuId(std::uint32_t leaf) override {
    const auto it = CpuIds.find(leaf);
    return it == CpuIds.end() ? platform::TCpuIdRegisters{} : it->second;
  }
  bool DebuggerAttached() override { return Debugger; }
  std::optional<platform::TProbeRegisters> MachineProbe(platform::TMachineProbe probe,
                                                        const platform::TProbeRegisters& registers) override {
    ProbesRun.push_back(probe);
    if (LiveProbes) {
      platform::TProbeRegisters result = registers;
      if (!platform::RunMachineProbe(probe, result)) return std::nullopt;
      return result;
    }
    ProbeInputs[probe] = registers;
    const auto it = Probes.find(probe);
    return it == Probes.end() ? std::nullopt : it->second;
  }
  bool ModuleLoaded(const std::wstring& name) override {
    for (const auto& m : LoadedModules) {
      if (m == name) return true;
    }
    return false;
  }
  TMailslotWrite WriteMailslot(const std::wstring& name, std::span<const std::uint8_t> bytes) override {
    const auto it = Mailslots.find(name);
    if (it == Mailslots.end()) return {false, 2};
    if (it->second == 0) Sent.emplace_back(name, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    return {true, it->second};
  }
};

}  // namespace zelvic::test
