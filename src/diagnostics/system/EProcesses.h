// The running processes as the report's processes table shows them: plain
// records gathered through platform::TSystemFacts, and the formatter that
// turns them into rows (ID, name, description, version, memory, priority,
// threads, path) under customisable captions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/debuginfo/EBaseFormatter.h"
#include "platform/system_facts.h"

namespace zelvic::diag {

class TVarnelModuleOptions;

struct TVarnelProcessInfo {
  std::uint32_t ProcessID = 0;
  // The image's full path when it could be found, else the snapshot's
  // executable name.
  std::wstring Name;
  std::wstring Description;
  std::wstring Version;  // empty when missing or "0.0.0.0"
  std::uint32_t Memory = 0;    // working set in bytes
  std::uint32_t Priority = 0;  // the priority-class flag value
  std::uint32_t Threads = 0;
  bool operator==(const TVarnelProcessInfo&) const = default;
};

// Priority-class flags as the platform defines them.
inline constexpr std::uint32_t kNormalPriorityClass = 0x20;
inline constexpr std::uint32_t kIdlePriorityClass = 0x40;
inline constexpr std::uint32_t kHighPriorityClass = 0x80;
inline constexpr std::uint32_t kRealtimePriorityClass = 0x100;
inline constexpr std::uint32_t kBelowNormalPriorityClass = 0x4000;
inline constexpr std::uint32_t kAboveNormalPriorityClass = 0x8000;

// The priority class a snapshot's base priority belongs to (0 for 0).
std::uint32_t PriorityClassOfBasePriority(std::int32_t base_priority) noexcept;
// "Normal", "Low", ...; empty for 0; eight hexadecimal digits for a value
// that is no class. Names pass through the translation hook.
std::wstring PriorityText(std::uint32_t priority);
// The count in decimal; a translated "??" for 0.
std::wstring ThreadsText(std::uint32_t count);
// "\Device\HarddiskVolume2\dir\a.exe" as "C:\dir\a.exe", the drive found by
// asking each letter's device name; empty when no drive maps the device.
std::wstring DevicePathToDrivePath(std::wstring_view path, platform::TSystemFacts& facts);

// Switches a privilege of the thread's token (the process's when the thread
// has none); true only when this call changed its state, so that a caller
// undoes only what it did.
bool EnablePrivilege(platform::TSystemFacts& facts, const std::wstring& name, bool enable);

class TVarnelProcessesList;

class TProcessesFormatter : public TBaseFormatter {
 public:
  // Captions of this module's options, without the header.
  explicit TProcessesFormatter(TVarnelProcessesList* list = nullptr);
  TVarnelProcessesList* ProcessesList() const noexcept { return FProcessesList; }
  void SetProcessesList(TVarnelProcessesList* list) noexcept;

  virtual void AssignDefaults();
  virtual void Assign(const TProcessesFormatter& source);
  virtual void Assign(const TVarnelModuleOptions& options);

  std::wstring CaptionHeader, CaptionID, CaptionName, CaptionDescription, CaptionVersion, CaptionMemory,
      CaptionPriority, CaptionThreads, CaptionPath;

 protected:
  TVarnelProcessesList* FProcessesList;
};

class TVarnelProcessesFormatter : public TProcessesFormatter {
 public:
  using TProcessesFormatter::TProcessesFormatter;
  void Calculate() override;
  std::wstring GetItemText(int index) override;
  // The table is only ever written.
  void SetText(const std::wstring& text) override;
  const std::vector<std::wstring>& GetAsStrings() override;

  int LineLen() const noexcept { return FLineLen; }

 private:
  static constexpr int kColumns = 8;
  std::wstring Row(const std::wstring (&cells)[kColumns]) const;
  int FMaxID = 0, FMaxName = 0, FMaxDescription = 0, FMaxVersion = 0, FMaxMemory = 0, FMaxPriority = 0,
      FMaxThreads = 0, FMaxPath = 0, FLineLen = 0;
};

class TVarnelProcessesList {
 public:
  explicit TVarnelProcessesList(platform::TSystemFacts& facts = platform::LiveSystemFacts());
  ~TVarnelProcessesList();
  TVarnelProcessesList(const TVarnelProcessesList&) = delete;
  TVarnelProcessesList& operator=(const TVarnelProcessesList&) = delete;

  // A deep copy of the other list's records.
  void Assign(const TVarnelProcessesList& source);
  // Only the captions.
  void Assign(const TVarnelModuleOptions& options);
  void Changed();

  int Add(TVarnelProcessInfo process);
  void Insert(int index, TVarnelProcessInfo process);
  void Delete(int index);
  void Clear();
  // By ProcessID, ascending.
  void Sort();
  // Gathers the running processes anew.
  void Refresh();

  int Count() const noexcept { return static_cast<int>(FProcesses.size()); }
  const TVarnelProcessInfo& GetItem(int index) const { return FProcesses.at(static_cast<std::size_t>(index)); }
  std::wstring GetItemText(int index) { return Formatter().GetItemText(index); }
  std::wstring ToString() { return Formatter().ToString(); }

  TProcessesFormatter& Formatter();
  // Takes the formatter over and binds it to this list.
  void SetFormatter(std::unique_ptr<TProcessesFormatter> formatter);

 private:
  void Complete(TVarnelProcessInfo& process);

  platform::TSystemFacts& FFacts;
  std::vector<TVarnelProcessInfo> FProcesses;
  std::unique_ptr<TProcessesFormatter> FFormatter;
};

// The list's table with `header` as its caption line (none: the formatter's
// own); with no list, the table of an empty list.
std::wstring ProcessesListToText(TVarnelProcessesList* list, const std::wstring& header);

}  // namespace zelvic::diag
