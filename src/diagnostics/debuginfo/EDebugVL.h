// The exact debug-information source: the module's own compressed debug
// information, from its VLDATA container or from a ".vldbg" file beside it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "diagnostics/debuginfo/EDebugInfo.h"
#include "diagnostics/debuginfo/EDebugVLScanner.h"

namespace zelvic::diag {

class TVLDebugInfoNative final : public TVLDebugInfoSource {
 public:
  using TVLDebugInfoSource::TVLDebugInfoSource;
  ~TVLDebugInfoNative() override;

  bool InitializeSource() override;
  bool GetLocationInfo(std::uintptr_t addr, TVLLocationInfo& info) override;
  std::wstring GetUnitInfoByAddr(std::uintptr_t addr) override;
  void ResetPassword() override;
  const TVLDebugInfoSourceClass& SourceClass() const noexcept override { return Class; }

  bool HasEncryptedData();
  bool IsPasswordValid() const noexcept;

  // A unit table the caller supplies in place of the module's own data,
  // taken at the next InitializeSource: it is wrapped in the ".vldbg" header
  // with `version` (0: the current one) and read as having a valid password.
  void SetExternalStream(std::span<const std::uint8_t> unit_table, std::uint16_t version = 0);

  static const TVLDebugInfoSourceClass Class;

 private:
  bool LoadFromContainer();
  bool LoadFromVLDbgFile();

  std::unique_ptr<TVLDebugScanner> FScanner;
  std::vector<std::uint8_t> FExternalStream;
  std::uint16_t FExternalStreamVersion = 0;
  std::wstring FEncryptPassword;
  std::uint32_t FEncryptedMagicCode = 0;
};

// The ".vldbg" file that belongs beside a module file.
std::wstring VLDbgFileNameFor(const std::wstring& module_file_name);

// Unit "EDebugVL": registers the native source ahead of every other.
void EDebugVLInit();
void EDebugVLDone();

}  // namespace zelvic::diag
