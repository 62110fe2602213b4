#include "diagnostics/config/EVLData.h"

#include "diagnostics/config/EOptions.h"
#include "diagnostics/config/EVLDataFormat.h"
#include "diagnostics/util/ECodeOffsets.h"
#include "platform/process.h"
#include "platform/resources.h"
#include "runtime/exceptions.h"

namespace zelvic::diag {

bool HasDiagnosticsData(std::uintptr_t module_base, const std::wstring& file_name) {
  if (StartsWithVLDataMarker(platform::ModuleResource(module_base, kVLDataResourceName, kRtRcData))) return true;
  const std::wstring path = file_name.empty() ? platform::ModuleFileName(module_base) : file_name;
  if (path.empty()) return false;
  return StartsWithVLDataMarker(platform::ReadFileTail(path, 4));
}

TModuleVLData ModuleVLData(std::uintptr_t module_base, const std::wstring& file_name) {
  TModuleVLData data;
  const auto resource = platform::ModuleResource(module_base, kVLDataResourceName, kRtRcData);
  if (StartsWithVLDataMarker(resource)) {
    data.Resource = resource;
    return data;
  }
  const std::wstring path = file_name.empty() ? platform::ModuleFileName(module_base) : file_name;
  if (path.empty()) return data;
  const std::uint64_t size = platform::FileSizeOf(path);
  if (size < 8) return data;
  const auto tail = platform::ReadFileRange(path, size - 8, 8);
  const auto where = LocateAppendedVLData(tail.Bytes, size);
  if (!where) return data;
  data.AppendedBlock = platform::ReadFileRange(path, where->first, where->second).Bytes;
  return data;
}

std::uint16_t GetDataVersion(std::uintptr_t module_base, const std::wstring& file_name) {
  const TModuleVLData data = ModuleVLData(module_base, file_name);
  if (!data.Resource.empty()) return VLDataVersion(data.Resource);
  if (data.AppendedBlock.size() >= 2) {
    return FixUpVersion(static_cast<std::uint16_t>(data.AppendedBlock[0] | data.AppendedBlock[1] << 8));
  }
  return 0;
}

std::optional<TEarlyMemoryOptions> ReadEarlyMemoryOptions(std::uintptr_t module_base) {
  const std::uintptr_t main_base = platform::MainModuleBase();
  const auto own = EarlyMemoryOptionsOf(platform::ModuleResource(module_base, kVLDataResourceName, kRtRcData));
  if (!own || !own->UseMainModuleOptions || main_base == module_base) return own;
  return ChooseEarlyMemoryOptions(
      own, EarlyMemoryOptionsOf(platform::ModuleResource(main_base, kVLDataResourceName, kRtRcData)), false);
}

namespace {

// Takes the options block into an options object, once.
class TOptionsReceiver final : public TVLDataReceiver {
 public:
  explicit TOptionsReceiver(TVarnelModuleOptions& options) : options_(options) {}
  bool WantsOptions() const override { return !options_.Loaded(); }
  bool WantsDebugInfo() const override { return false; }
  std::size_t SetOptions(std::span<const std::uint8_t> stream, std::uint16_t version, bool) override {
    options_.LoadFromStream(stream, version);
    options_.SetLoaded(true);
    return stream.size();
  }

 private:
  TVarnelModuleOptions& options_;
};

}  // namespace

bool LoadModuleOptions(std::uintptr_t module_base, TVarnelModuleOptions& options) {
  const TModuleVLData data = ModuleVLData(module_base);
  if (data.Empty()) return false;
  TOptionsReceiver receiver(options);
  try {
    if (data.IsAppended()) {
      LoadAppendedVLData(data.AppendedBlock, receiver);
    } else {
      LoadVLData(data.Resource, receiver);
    }
  } catch (...) {
    // Another module's data: a damaged container is reported to the
    // debugger and skipped, never fatal for the host.
    platform::DebugOutput(L"VarnelLog: diagnostics data of " + platform::ModuleFileName(module_base) +
                          L" cannot be read: " + rt::CurrentExceptionMessage(L"unknown failure"));
  }
  return true;
}

std::optional<std::uintptr_t> FindCodeLocation(std::uint8_t identifier) {
  const std::uintptr_t self = platform::ThisModuleBase();
  const auto offset = CodeLocationOffset(platform::ModuleResource(self, kVLDataResourceName, kRtRcData), identifier);
  if (!offset) return std::nullopt;
  return self + kCodeOffsetBase + *offset;
}

}  // namespace zelvic::diag
