#include "diagnostics/debuginfo/EDebugVL.h"

#include "diagnostics/util/ENameProtection.h"

#include "diagnostics/util/EVarnelLogErrors.h"
#include "diagnostics/config/EVLData.h"
#include "diagnostics/config/EVLDataFormat.h"
#include "diagnostics/debuginfo/EDebugVLWriter.h"
#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/util/ECodeOffsets.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/ENameProtection.h"
#include "platform/process.h"
#include "platform/resources.h"
#include "runtime/exceptions.h"

namespace zelvic::diag {
namespace {

// Takes the unit table out of the container and answers the password check
// with this source's password.
class TNativeReceiver final : public TVLDataReceiver {
 public:
  TNativeReceiver(std::uintptr_t module, std::wstring& password) : module_(module), password_(password) {}
  bool AskPassword(std::uint32_t encrypted_marker) override {
    return CheckDataPassword(encrypted_marker, module_, password_);
  }
  void LoadDebugInfo(std::span<const std::uint8_t> debug_info) override {
    unit_table_.assign(debug_info.begin(), debug_info.end());
  }
  std::vector<std::uint8_t> unit_table_;

 private:
  std::uintptr_t module_;
  std::wstring& password_;
};

}  // namespace

TVLDebugInfoNative::~TVLDebugInfoNative() = default;

const TVLDebugInfoSourceClass TVLDebugInfoNative::Class = {L"TVLDebugInfoNative", false,
                                                           &MakeDebugInfoSource<TVLDebugInfoNative>};

std::wstring VLDbgFileNameFor(const std::wstring& module_file_name) {
  return WithoutExtension(module_file_name) + L".vldbg";
}

namespace {

// The module's extended record, when the module list exists. It is never
// made from here: sources are made inside the module list's lock, and making
// the list takes the global lock, which must come first.
TVarnelModuleInfoEx* ExistingRecordOf(std::uintptr_t module) {
  TVarnelModulesListEx* list = ExistingModulesList();
  return list != nullptr ? list->ModuleInfoByHandleEx(module) : nullptr;
}

}  // namespace

bool TVLDebugInfoNative::LoadFromContainer() {
  const TModuleVLData data = ModuleVLData(Module());
  if (data.Empty()) return false;
  TNativeReceiver receiver(Module(), FEncryptPassword);
  const TVLDataReadResult result =
      data.IsAppended() ? LoadAppendedVLData(data.AppendedBlock, receiver) : LoadVLData(data.Resource, receiver);
  FEncryptedMagicCode = result.EncryptedMarker;
  // The record tells the rest of the facility what the container said; the
  // source list resets passwords only in modules marked encrypted.
  if (TVarnelModuleInfoEx* record = ExistingRecordOf(Module())) {
    record->ExtraInformation.VarnelVersion = result.Version;
    if (result.Version != 0) {
      record->ExtraInformation.CompilationDate = result.BuildDate;
      record->ExtraInformation.Encrypted = result.Encrypted;
    }
  }
  if (receiver.unit_table_.empty()) return false;
  FScanner = std::make_unique<TVLDebugScanner>(receiver.unit_table_, result.Version, FileName(),
                                               TDebugVLPassword{FEncryptPassword, !result.Encrypted});
  return FScanner->ValidFormat();
}

bool TVLDebugInfoNative::LoadFromVLDbgFile() {
  const std::wstring module_file = FileName();
  if (module_file.empty()) return false;
  const std::wstring path = VLDbgFileNameFor(module_file);
  const std::uint64_t size = platform::FileSizeOf(path);
  // A debug file is a few megabytes at most; anything larger is not ours.
  constexpr std::uint64_t kMaxVLDbgFile = 256u << 20;
  if (size < kVLDbgHeaderSize || size > kMaxVLDbgFile) return false;
  const auto file = platform::ReadFileRange(path, 0, static_cast<std::size_t>(size));
  if (file.Bytes.size() != size) return false;
  auto scanner = std::make_unique<TVLDebugScanner>(TVLDebugScanner::FromVLDbgFile(file.Bytes));
  // A file found by name serves only the module it was written for.
  if (!scanner->ValidFormat() || !scanner->IsModuleNameValid(ExtractFileNamePart(module_file))) return false;
  // A file carries no marker to check a password against. Strings enciphered
  // with a password nobody gave cannot be read: they show as such ("?" and
  // the stored bytes) rather than as text deciphered with the wrong key.
  if (FEncryptPassword.empty() && scanner->HasEncryptedData()) scanner->SetPassword({L"", false});
  FScanner = std::move(scanner);
  return true;
}

void TVLDebugInfoNative::SetExternalStream(std::span<const std::uint8_t> unit_table, std::uint16_t version) {
  FExternalStream.assign(unit_table.begin(), unit_table.end());
  FExternalStreamVersion = version;
}

bool TVLDebugInfoNative::InitializeSource() {
  FScanner.reset();
  if (!FExternalStream.empty()) {
    // The caller's block stands in for the module's data: no container, no
    // file name to check, no password to ask for.
    try {
      auto scanner = std::make_unique<TVLDebugScanner>(
          TVLDebugScanner::FromVLDbgFile(WrapExternalDebugVLStream(FExternalStream, FExternalStreamVersion)));
      if (!scanner->ValidFormat()) return false;
      FScanner = std::move(scanner);
      return true;
    } catch (...) {
      // A caller's block may be damaged: reported, and the source has none.
      platform::DebugOutput(L"VarnelLog: the debug information given for " + FileName() +
                            L" cannot be read: " + rt::CurrentExceptionMessage(L"unknown failure"));
      return false;
    }
  }
  // A damaged container or file means "no debug information" for this
  // module; the module keeps running with whatever else describes it.
  try {
    if (LoadFromContainer()) return true;
  } catch (...) {
    // A module's damaged container: reported, then its ".vldbg" file is tried.
    platform::DebugOutput(L"VarnelLog: debug information of " + FileName() +
                          L" cannot be read: " + rt::CurrentExceptionMessage(L"unknown failure"));
  }
  FScanner.reset();
  try {
    return LoadFromVLDbgFile();
  } catch (...) {
    // A damaged or unreadable file: the module has no debug information.
    FScanner.reset();
    return false;
  }
}

bool TVLDebugInfoNative::GetLocationInfo(std::uintptr_t addr, TVLLocationInfo& info) {
  if (!FScanner || addr < Module() + kCodeOffsetBase) return false;
  const auto offset = static_cast<std::uint32_t>(AddrToOffset(addr));
  const TDebugVLHit hit = FScanner->Find(offset);
  if (hit.Unit == nullptr) return false;
  // Assigned, not built: a record reused across lookups keeps its buffers.
  info.Address = addr;
  info.DebugInfo = this;
  info.UnitName = hit.Unit->Name;
  info.SourceName = hit.Unit->FileName;
  info.BinaryFileName = LastFileName().empty() ? FileName() : LastFileName();
  info.DebugDetail = ddUnit;
  info.ProcOffsetLine = hit.ProcOffsetLine;
  if (hit.Proc != nullptr) {
    info.ProcedureName = hit.Proc->Name;
    info.OffsetFromProcName = static_cast<std::int32_t>(offset - hit.Proc->Addr);
    info.DebugDetail = ddProcedure;
  }
  if (hit.Line != nullptr) {
    info.LineNumber = hit.Line->No;
    info.OffsetFromLineNumber = static_cast<std::int32_t>(offset - hit.Line->Addr);
    info.DebugDetail = ddSourceCode;
  }
  return true;
}

std::wstring TVLDebugInfoNative::GetUnitInfoByAddr(std::uintptr_t addr) {
  if (!FScanner || addr < Module() + kCodeOffsetBase) return {};
  return FScanner->UnitNameFromAddr(static_cast<std::uint32_t>(AddrToOffset(addr)));
}

void TVLDebugInfoNative::ResetPassword() {
  if (!FScanner) return;
  const bool valid = FScanner->ResetPassword(FEncryptedMagicCode, Module());
  if (TVarnelModuleInfoEx* record = ExistingRecordOf(Module())) record->ExtraInformation.Encrypted = !valid;
}

bool TVLDebugInfoNative::HasEncryptedData() { return FScanner && FScanner->HasEncryptedData(); }

bool TVLDebugInfoNative::IsPasswordValid() const noexcept { return FScanner && FScanner->IsPasswordValid(); }

namespace {

// The name hook of the call-stack texts: in a list that holds names the
// debug information could not decipher, every other name is protected too.
std::wstring ProtectedInEncryptedLists(const std::wstring& name, bool has_encrypted_data) {
  if (name.empty() || name[0] == L'?' || !has_encrypted_data) return name;
  return ProtectName(name);
}

TNameHook g_previous_name_hook = nullptr;

}  // namespace

void EDebugVLInit() {
  g_previous_name_hook = SetNameHook(ProtectedInEncryptedLists);
  RegisterDebugInfoSourceFirst(&TVLDebugInfoNative::Class);
}

void EDebugVLDone() {
  UnRegisterDebugInfoSource(&TVLDebugInfoNative::Class);
  SetNameHook(g_previous_name_hook);
  g_previous_name_hook = nullptr;
}

}  // namespace zelvic::diag
