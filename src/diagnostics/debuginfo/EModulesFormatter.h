// The "modules" table of a bug report: one row per module record (handle,
// name, description, version, size, modified, path) under customisable
// captions. It reads only the records, through the list it is given.
#pragma once

#include <string>
#include <vector>

#include "diagnostics/debuginfo/EBaseFormatter.h"

namespace zelvic::diag {

class TVarnelModuleOptions;
class TVarnelModulesList;

class TModulesFormatter : public TBaseFormatter {
 public:
  explicit TModulesFormatter(TVarnelModulesList* list = nullptr);
  TVarnelModulesList* ModulesList() const noexcept { return FModulesList; }
  void SetModulesList(TVarnelModulesList* list) noexcept;

  // The default captions.
  virtual void AssignDefaults();
  virtual void Assign(const TModulesFormatter& source);
  // The options' customised texts.
  virtual void Assign(const TVarnelModuleOptions& options);

  std::wstring CaptionHeader, CaptionHandle, CaptionName, CaptionDescription, CaptionVersion, CaptionSize,
      CaptionLastModified, CaptionPath;

  void SetText(const std::wstring& text) override;

 protected:
  TVarnelModulesList* FModulesList;
};

class TVarnelModulesFormatter : public TModulesFormatter {
 public:
  using TModulesFormatter::TModulesFormatter;
  void Calculate() override;
  // The table row of record `index`.
  std::wstring GetItemText(int index) override;
  const std::vector<std::wstring>& GetAsStrings() override;

  int MaxHandle() const noexcept { return FMaxHandle; }
  int LineLen() const noexcept { return FLineLen; }

 private:
  std::wstring Row(const std::wstring (&cells)[7]) const;
  int FMaxHandle = 0, FMaxName = 0, FMaxDescription = 0, FMaxVersion = 0, FMaxSize = 0, FMaxPath = 0,
      FMaxLastModified = 0, FLineLen = 0;
};

}  // namespace zelvic::diag
