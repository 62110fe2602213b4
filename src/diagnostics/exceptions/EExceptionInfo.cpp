#include "diagnostics/exceptions/EExceptionInfo.h"

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstring>
#include <vector>

#include "diagnostics/config/EConfig.h"
#include "diagnostics/config/EOptions.h"
#include "diagnostics/debuginfo/EModuleImage.h"
#include "diagnostics/debuginfo/EModules.h"
#include "diagnostics/exceptions/EEvents.h"
#include "diagnostics/stacks/ECallStackFormatter.h"
#include "diagnostics/stacks/EStackCapture.h"
#include "diagnostics/system/EPlaceholders.h"
#include "diagnostics/system/EProcesses.h"
#include "diagnostics/system/ESysInfo.h"
#include "diagnostics/system/ESysTexts.h"
#include "diagnostics/system/EWindowTexts.h"
#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"
#include "diagnostics/util/ETextEncoding.h"
#include "platform/pe_access.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/system_facts.h"
#include "runtime/civil_date.h"
#include "runtime/exceptions.h"
#include "runtime/format_settings.h"
#include "runtime/hex_text.h"
#include "runtime/unit_lifecycle.h"

namespace zelvic::diag {

namespace {

constexpr wchar_t kUnitName[] = L"EException";

[[noreturn]] void AssertionFailure(const std::wstring& what) {
  throw rt::EAssertionFailed(L"Assertion failure (" + std::wstring(kUnitName) + L"): " + what);
}

std::atomic<std::int32_t> g_eid{0};
std::atomic<bool> g_ready{false};

// Every record that exists, owned here: a record leaves only through Delete.
struct TRegistry {
  platform::TRecursiveLock Lock;
  std::vector<std::unique_ptr<TVarnelExceptionInfo>> Records;
  TRegistry() noexcept { Lock.Create(); }
};
TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

class TRegistryGuard {
 public:
  TRegistryGuard() : registry_(Registry()) { registry_.Lock.Enter(); }
  ~TRegistryGuard() { registry_.Lock.Leave(); }
  TRegistryGuard(const TRegistryGuard&) = delete;
  TRegistryGuard& operator=(const TRegistryGuard&) = delete;
  TRegistry* operator->() const noexcept { return &registry_; }

 private:
  TRegistry& registry_;
};

std::uint32_t PageSize() noexcept {
  static const std::uint32_t size = platform::QuerySystemBasics().PageSize;
  return size != 0 ? size : 4096;
}

std::uint32_t U32(const void* p) noexcept { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)); }
void* Ptr(std::uint32_t v) noexcept { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(v)); }

double LocalNowDateTime() {
  const platform::TLocalNow now = platform::LiveSystemFacts().LocalNow();
  const double days = static_cast<double>(rt::DaysFromCivil(now.Year, now.Month, now.Day)) + rt::kUnixEpochDateTime;
  return days + (now.Hour * 3600.0 + now.Minute * 60.0 + now.Second) / 86400.0;
}

std::wstring FileOf(std::wstring_view path) { return std::wstring(FileNamePartOf(path)); }

}  // namespace

// ---------------------------------------------------------------------------

const std::array<std::uint8_t, 16>& ExceptionInfoGUID() noexcept {
  // {6C1E5B27-94D3-4F0A-8B61-2E7A9D40C3F5}
  static constexpr std::array<std::uint8_t, 16> kGUID = {0x27, 0x5B, 0x1E, 0x6C, 0xD3, 0x94, 0x0A, 0x4F,
                                                         0x8B, 0x61, 0x2E, 0x7A, 0x9D, 0x40, 0xC3, 0xF5};
  return kGUID;
}

bool IsEmptyContext(const TContext32& c) noexcept {
  return (c.Eip | c.Esp | c.Ebp | c.Edi | c.Esi | c.Ebx | c.Edx | c.Ecx | c.Eax) == 0;
}

platform::TThreadRegisters RegistersOf(const TContext32& c) noexcept {
  platform::TThreadRegisters r;
  r.Eip = c.Eip, r.Esp = c.Esp, r.Ebp = c.Ebp, r.Edi = c.Edi, r.Esi = c.Esi, r.Ebx = c.Ebx, r.Edx = c.Edx,
  r.Ecx = c.Ecx, r.Eax = c.Eax;
  return r;
}

TCallStackBuilder& CallStackBuilder() noexcept {
  static TCallStackBuilder builder = nullptr;
  return builder;
}

std::uint16_t Crc16Xmodem(std::span<const std::uint8_t> bytes) noexcept {
  std::uint16_t crc = 0;
  for (std::uint8_t b : bytes) {
    crc = static_cast<std::uint16_t>(crc ^ (b << 8));
    for (int i = 0; i < 8; ++i)
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

std::wstring InvariantLower(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t& c : out) {
    // ASCII and Latin-1 capitals (but not the multiplication sign).
    if ((c >= L'A' && c <= L'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) c = static_cast<wchar_t>(c + 32);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Life of a record.

TVarnelExceptionInfo::TVarnelExceptionInfo(TCreateKey) {}

TVarnelExceptionInfo::~TVarnelExceptionInfo() {
  Unlink();
  NotifyDelete();
  FDebugIdentGUID.fill(0);
  FInfo.ExceptionThreadID = 0;
  ReleaseSnapshot();
}

TVarnelExceptionInfo* TVarnelExceptionInfo::Create(const TExceptionData& data, bool early_capture,
                                                   bool capture_stack_dump, TCallStackRequest request,
                                                   const TVarnelBaseStackList* copy) {
  auto info = std::make_unique<TVarnelExceptionInfo>(TCreateKey{});
  info->Construct(data, early_capture, capture_stack_dump, request, copy);
  TVarnelExceptionInfo* raw = info.get();
  TRegistryGuard registry;
  registry->Records.push_back(std::move(info));
  return raw;
}

bool TVarnelExceptionInfo::IsLive(const void* info) noexcept {
  if (info == nullptr) return false;
  TRegistryGuard registry;
  for (const auto& record : registry->Records) {
    if (record.get() == info) return record->FDebugIdentGUID == ExceptionInfoGUID();
  }
  return false;
}

void TVarnelExceptionInfo::Delete(TVarnelExceptionInfo* info) {
  if (info == nullptr || info->FFreeOnClear) return;
  if (info->FHasExceptObjRef) {
    // The exception object still points here: the record waits for it.
    info->FFreeOnClear = true;
    info->Unlink();
    info->NotifyDelete();
    return;
  }
  info->FAllowDestructor = true;
  std::unique_ptr<TVarnelExceptionInfo> owned;
  {
    TRegistryGuard registry;
    auto& records = registry->Records;
    const auto it = std::find_if(records.begin(), records.end(), [info](const auto& r) { return r.get() == info; });
    if (it == records.end()) return;
    owned = std::move(*it);
    records.erase(it);
  }
  // Destroyed outside the registry's lock: the inner record is deleted from
  // the destructor.
  owned.reset();
}

void TVarnelExceptionInfo::ReleaseExceptionObject() {
  FReader.reset();
  FInfo.ExceptionReaderClass = nullptr;
  FInfo.ExceptionObject = nullptr;
  FExceptionObject = nullptr;
  FHasExceptObjRef = false;
  if (FFreeOnClear) {
    FFreeOnClear = false;
    Delete(this);
  }
}

void TVarnelExceptionInfo::Unlink() noexcept {
  if (TVarnelExceptionInfo* inner = FInnerException) {
    FInnerException = nullptr;
    inner->FParentException = nullptr;
    try {
      Delete(inner);
    } catch (...) {
      // Ending a record runs only its own clean-up; nothing there may stop
      // the outer record from going.
    }
  }
  if (TVarnelExceptionInfo* parent = FParentException) {
    if (parent->FInnerException == this) parent->FInnerException = nullptr;
    FParentException = nullptr;
  }
}

void TVarnelExceptionInfo::NotifyDelete() noexcept {
  const TDeleteNotify notify = FDeleteNotify;
  FDeleteNotify = nullptr;
  if (notify) notify(this, FDeleteNotifyData);
}

void TVarnelExceptionInfo::SetInnerException(TVarnelExceptionInfo* inner) {
  if (FInnerException == inner) return;
  if (FInnerException) FInnerException->FParentException = nullptr;
  FInnerException = inner;
  if (inner) inner->FParentException = this;
}

TVarnelExceptionInfo* TVarnelExceptionInfo::BaseException() noexcept {
  TVarnelExceptionInfo* info = this;
  while (info->FInnerException) info = info->FInnerException;
  return info;
}

// ---------------------------------------------------------------------------
// Construction.

void TVarnelExceptionInfo::Construct(const TExceptionData& data, bool early_capture, bool capture_stack_dump,
                                     TCallStackRequest request, const TVarnelBaseStackList* copy) {
  FDebugIdentGUID = ExceptionInfoGUID();
  FAllowDestructor = false;
  FObjectAssociated = false;
  FNested = false;
  FCaptureStackDump = capture_stack_dump;
  FInfo = data;
  FInfo.ExceptionMark = this;
  FTime = LocalNowDateTime();
  const std::uint32_t current = platform::CurrentThreadId();
  if (FInfo.ExceptionThreadID == 0) FInfo.ExceptionThreadID = current;
  const bool other_thread = FInfo.ExceptionThreadID != current;
  if (!other_thread) {
    if (FInfo.StackTop == nullptr) FInfo.StackTop = Ptr(platform::CurrentStackBounds().Base);
    if (FInfo.StackPoint == nullptr) FInfo.StackPoint = __builtin_frame_address(0);
    if (FInfo.StackEIP == nullptr) FInfo.StackEIP = __builtin_return_address(0);
  }
  BindObject();
  FEarlyCapture = early_capture;
  FNative = FInfo.ExceptionNative;
  TThreadFacts facts;
  FThreadException = ThreadFactsOf(FInfo.ExceptionThreadID, facts) && facts.IsTThread;
  if (early_capture) CaptureWindows();
  FExceptionNumber = -1;
  FEID = ++g_eid;
  FModulesRefreshed = false;
  FModules = std::make_unique<TVarnelModulesList>();
  if (early_capture) Modules();
  if (other_thread || request == TCallStackRequest::kEmpty) {
    FCallStack = NewDefaultStackList();
  } else if (request == TCallStackRequest::kSnapshot) {
    FStackStorageEBP = 1;
    const TContext32 context = FInfo.ExceptionContext;
    FInfo.ExceptionContext = {};
    StoreContext(context, false);
  } else if (request == TCallStackRequest::kFromContext) {
    const TContext32 context = FInfo.ExceptionContext;
    FInfo.ExceptionContext = {};
    StoreContext(context, false);
  } else if (request == TCallStackRequest::kBuildNow && copy == nullptr) {
    auto list = NewDefaultStackList();
    TVarnelBaseStackList::TBuildArgs args;
    args.FirstAddr = U32(FInfo.ExceptionAddress);
    args.StackFrame = U32(FInfo.StackPoint);
    args.TopOfStack = U32(FInfo.StackTop);
    args.DebugDetails = (1u << ddModule) | (1u << ddUnit) | (1u << ddProcedure) | (1u << ddSourceCode);
    args.ThreadID = FInfo.ExceptionThreadID;
    args.AllowedMethods = kProcessMethods;
    list->Setup(args);
    list->AfterConstruction();
    FCallStack = std::move(list);
  } else if (copy != nullptr) {
    FCallStack = copy->NewEmpty();
    FCallStack->Assign(*copy);
  }
  FProcessesRefreshed = FInfo.ExceptionType == kMemoryLeakClass || FInfo.ExceptionType == kResourceLeakClass;
  if (early_capture && !FProcessesRefreshed) Processes();
}

void TVarnelExceptionInfo::BindObject() {
  if (FObjectAssociated) return;
  FReader.reset();
  FInfo.ExceptionReaderClass = nullptr;
  FHasExceptObjRef = FInfo.ExceptionObject != nullptr;
  FExceptionObject = FInfo.ExceptionObject;
  std::unique_ptr<TExceptionReader> reader;
  if (const TReaderClass* named = FInfo.ExceptionReaderClass) {
    reader = FInfo.ExceptionObject ? named->FromObject(FInfo.ExceptionObject, FInfo.ExceptionAddress,
                                                       FInfo.ExceptionTypeInfo)
                                   : named->FromRecord(FInfo.ExceptionRecord);
  } else if (FInfo.ExceptionObject) {
    reader = FindReaderForObject(FInfo.ExceptionObject, FInfo.ExceptionAddress, FInfo.ExceptionTypeInfo);
  } else {
    reader = FindReaderForRecord(FInfo.ExceptionRecord);
  }
  ReadWithReader(std::move(reader));
  if (FInfo.ExceptionObject) FObjectAssociated = true;
}

void TVarnelExceptionInfo::ReadWithReader(std::unique_ptr<TExceptionReader> reader) {
  if (reader) {
    if (FInfo.ExceptionAddress == nullptr) FInfo.ExceptionAddress = reader->ExceptionAddress();
    FInfo.ExceptionReaderClass = &reader->Class();
    FInfo.ExceptionType = reader->ExceptionType();
    FInfo.ExceptionMessage = reader->ExceptionMessage();
    FInfo.ExceptionObject = reader->ExceptionObject();
    FInfo.HelpContext = reader->HelpContext();
    if (reader->TypeInfo() != nullptr) FInfo.ExceptionTypeInfo = reader->TypeInfo();
    FInfo.ExceptionNative = reader->Class().Native(reader->ExceptionObject(), FInfo.ExceptionTypeInfo);
    FInfo.ExceptionSoftware = reader->Class().Software(reader->ExceptionObject(), FInfo.ExceptionTypeInfo);
    FReader = std::move(reader);
  }
  if (FContextNumber == 0) FContextNumber = FInfo.HelpContext;
  std::wstring& message = FInfo.ExceptionMessage;
  if (!message.empty() && message.back() != L'.' && message.back() != L'!' && message.back() != L'?')
    message.push_back(L'.');
}

void TVarnelExceptionInfo::SetExceptionObject(void* object) {
  if (FExceptionObject == nullptr && FInfo.ExceptionType.empty() && FInfo.ExceptionMessage.empty()) {
    FInfo.ExceptionObject = object;
    FExceptionObject = object;
    FHasExceptObjRef = object != nullptr;
    std::unique_ptr<TExceptionReader> reader;
    if (object) {
      reader = FindReaderForObject(object, FInfo.ExceptionAddress, FInfo.ExceptionTypeInfo);
    } else {
      reader = FindReaderForRecord(FInfo.ExceptionRecord);
    }
    ReadWithReader(std::move(reader));
    return;
  }
  FExceptionObject = object;
  FInfo.ExceptionObject = object;
}

// ---------------------------------------------------------------------------
// Texts.

std::wstring TVarnelExceptionInfo::ExceptionClass() const {
  if (FInfo.ExceptionType.empty() && FInfo.ExceptionTypeInfo != nullptr) {
    // The C++ reader leaves the type's name to be read here, on first use.
    const_cast<TVarnelExceptionInfo*>(this)->FInfo.ExceptionType = DemangledTypeName(*FInfo.ExceptionTypeInfo);
  }
  return FInfo.ExceptionType.empty() ? kUnknownExceptionType : FInfo.ExceptionType;
}

std::wstring TVarnelExceptionInfo::ExceptionMessage() const {
  return FInfo.ExceptionMessage.empty() ? kUnknownErrorMessage : FInfo.ExceptionMessage;
}

bool TVarnelExceptionInfo::IsChildClass(const std::wstring& class_name) const {
  if (ExceptionClass() == class_name) return true;
  if (FReader && FExceptionObject) return FReader->IsChildClass(class_name);
  return false;
}

// ---------------------------------------------------------------------------
// One-way flags.

void TVarnelExceptionInfo::SetHandled(bool value) {
  if (FHandled && !value) AssertionFailure(L"Handled cannot go back to false");
  FHandled = value;
}

void TVarnelExceptionInfo::SetProcessed(bool value) {
  if (FProcessed && !value) AssertionFailure(L"Processed cannot go back to false");
  if (value) SetObjectAssociated(true);
  FProcessed = value;
}

void TVarnelExceptionInfo::SetFailed(bool value) {
  if (FFailed && !value) AssertionFailure(L"Failed cannot go back to false");
  FFailed = value;
}

void TVarnelExceptionInfo::SetObjectAssociated(bool value) {
  if (value && FExceptionObject == nullptr && FInfo.ExceptionObject == nullptr) {
    // A platform exception has no object to be associated with: nothing to
    // tie, and nothing to wait for.
    return;
  }
  FObjectAssociated = value;
}

void TVarnelExceptionInfo::DetectType() {
  if (FDetectedType) return;
  TVarnelBaseStackList* stack = CallStack();
  if (stack == nullptr) AssertionFailure(L"no call stack for the synchronisation test");
  FDetectedType = true;
  FInitExc = rt::IsInitializing != 0 || rt::IsFinalizing != 0;
  for (int i = 0; i < stack->Count(); ++i) {
    const TVLLocationInfo& l = stack->Item(i).Location;
    if (l.UnitName == L"System.Classes" &&
        ((l.ClassName.empty() && l.ProcedureName == L"CheckSynchronize") ||
         (l.ClassName == L"TThread" && l.ProcedureName == L"Synchronize")))
      FSynch = true;
  }
  if (!FSynch && !FInitExc) {
    for (int i = stack->Count() - 1; i >= 0; --i) {
      const TVLLocationInfo& l = stack->Item(i).Location;
      if ((l.ClassName.empty() && l.UnitName == L"System" && l.ProcedureName == L"InitUnits") ||
          l.ProcedureName == L"FinalizeUnits") {
        FInitExc = true;
        break;
      }
    }
  }
}

bool TVarnelExceptionInfo::SynchronizeException() {
  DetectType();
  return FSynch;
}

bool TVarnelExceptionInfo::InitializationException() {
  DetectType();
  return FInitExc;
}

// ---------------------------------------------------------------------------
// Options.

TVarnelModuleOptions& TVarnelExceptionInfo::Options() {
  if (!FOptions) {
    FOptions = std::make_unique<TVarnelModuleOptions>(FileOf(platform::ModuleFileName(platform::ThisModuleBase())));
    // The module list holds the library's options: made now if no one
    // asked for it before this exception.
    TVarnelModulesListEx* list = GetModulesList();
    if (const TVarnelModuleOptions* own = list != nullptr ? OwnModuleOptions(*list) : nullptr) FOptions->Assign(*own);
  }
  return *FOptions;
}

void TVarnelExceptionInfo::SetOptions(const TVarnelModuleOptions& options) {
  if (&options == FOptions.get()) return;
  if (!FOptions) {
    std::wstring name = options.ModuleName();
    if (name.empty()) name = FileOf(platform::ModuleFileName(0));
    FOptions = std::make_unique<TVarnelModuleOptions>(name);
  }
  FOptions->Assign(options);
}

// ---------------------------------------------------------------------------
// The call stack.

void TVarnelExceptionInfo::StoreContext(const TContext32& context, bool force) {
  if (IsEmptyContext(context)) return;
  if (!force && !IsEmptyContext(FInfo.ExceptionContext)) return;
  FInfo.ExceptionContext = context;
  if (FCallStack || FStackStorage) return;
  if (FStackStorageEBP == 1) {
    TakeSnapshot();
  } else {
    FInfo.StackPoint = Ptr(context.Ebp);
    BuildLive();
  }
}

void TVarnelExceptionInfo::TakeSnapshot() {
  const std::uint32_t page = PageSize();
  const TContext32& context = FInfo.ExceptionContext;
  FInfo.StackPoint = Ptr(context.Esp);
  const std::uint32_t stack_point = context.Esp;
  const std::uint32_t top = U32(FInfo.StackTop);
  const std::uint32_t start = stack_point & ~(2 * page - 1);
  if (top <= start) return;
  const std::uint32_t size = (top - start) & ~(page - 1);
  if (size == 0) return;
  platform::TStackCopyBuffer buffer = platform::TStackCopyBuffer::Reserve(size);
  if (!buffer) throw EOSError(8);  // not enough memory for the snapshot
  // The pages below the stack pointer need not be committed (the stack's
  // guard, or nothing at all): only readable memory is copied, the rest of
  // the snapshot stays zero.
  for (std::uint32_t at = 0; at < size; at += page) {
    const std::uint32_t readable = platform::ReadableLength(start + at, page);
    if (readable > 0) std::memcpy(buffer.data() + at, Ptr(start + at), readable);
  }
  std::memset(buffer.data(), 0, std::min(stack_point - start, size));
  FStackStorage = buffer.data();
  FStackBuffer = std::move(buffer);
  FStackStorageBase = start;
  FStackStorageTop = top;
  FStackStorageEBP = context.Ebp;
  FStackStorageESP = context.Esp;
  FStackStorageEIP = context.Eip;
  TThreadFacts facts;
  if (ThreadFactsOf(FInfo.ExceptionThreadID, facts)) FStackThreadData = std::make_unique<TThreadFacts>(facts);
  if (FCaptureStackDump) CopyStackDump();
}

void TVarnelExceptionInfo::ReleaseSnapshot() noexcept {
  FStackBuffer = platform::TStackCopyBuffer();
  FStackStorage = nullptr;
  FStackStorageBase = FStackStorageTop = 0;
  FStackStorageEBP = FStackStorageESP = FStackStorageEIP = 0;
  FStackThreadData.reset();
}

void TVarnelExceptionInfo::BuildFromSnapshot() {
  TCallStackBuilder builder = CallStackBuilder();
  if (builder == nullptr) AssertionFailure(L"no call-stack builder installed");
  TExceptionData data = FInfo;
  TContext32& context = data.ExceptionContext;
  if (IsEmptyContext(context)) {
    context = {};
    context.ContextFlags = kContextFull;
    context.Ebp = FStackStorageEBP;
    context.Esp = FStackStorageESP;
    context.Eip = FStackStorageEIP;
  }
  const std::uint32_t base = FStackStorageBase;
  const std::uint32_t size = FStackBuffer.size();
  const std::uint32_t delta = U32(FStackStorage) - base;
  RelocateStackCopy({reinterpret_cast<std::uint32_t*>(FStackStorage), size / 4}, base, delta);
  for (std::uint32_t* reg :
       {&context.Edi, &context.Esi, &context.Ebx, &context.Edx, &context.Ecx, &context.Eax, &context.Ebp, &context.Esp}) {
    if (*reg >= base && *reg - base <= size) *reg += delta;
  }
  data.StackOffset = delta;
  data.StackTop = Ptr(FStackStorageTop + delta);
  data.StackPoint = Ptr(context.Esp);
  std::unique_ptr<TVarnelBaseStackList> list = builder(data, FStackThreadData.get());
  ReleaseSnapshot();
  const std::uint32_t esp = FInfo.ExceptionContext.Esp;
  if (list && esp != 0) {
    FInfo.StackPoint = Ptr(esp);
    list->FilterOutByStack(esp);
  }
  FCallStack = std::move(list);
}

void TVarnelExceptionInfo::BuildLive() {
  TCallStackBuilder builder = CallStackBuilder();
  if (builder == nullptr) AssertionFailure(L"no call-stack builder installed");
  if (FInfo.ExceptionType == L"EFrozenApplication") {
    if (TVarnelModulesListEx* list = GetModulesList()) list->Refresh(false);
  }
  FCallStack = builder(FInfo, nullptr);
  if (FCaptureStackDump) CopyStackDump();
}

void TVarnelExceptionInfo::CopyStackDump() {
  const std::uint32_t at = FStackStorage ? U32(FStackStorage) + (U32(FInfo.StackPoint) - FStackStorageBase)
                                         : U32(FInfo.StackPoint);
  if (at == 0 || platform::ReadableLength(at, 64) < 64) return;
  FStackDump = std::make_unique<std::array<std::uint8_t, 64>>();
  std::memcpy(FStackDump->data(), Ptr(at), 64);
}

TVarnelBaseStackList* TVarnelExceptionInfo::CallStack() {
  if (!FCallStack && !IsEmptyContext(FInfo.ExceptionContext)) {
    if (FStackStorage)
      BuildFromSnapshot();
    else
      BuildLive();
  }
  return FCallStack.get();
}

void TVarnelExceptionInfo::SetCallStack(const TVarnelBaseStackList& list) {
  if (&list == FCallStack.get()) return;
  if (!FCallStack) FCallStack = list.NewEmpty();
  FCallStack->Assign(list);
  FBugIDBuild = false;
}

// ---------------------------------------------------------------------------
// Modules, processes, windows.

TVarnelModulesList& TVarnelExceptionInfo::Modules() {
  if (!FModules) FModules = std::make_unique<TVarnelModulesList>();
  if (!FModulesRefreshed) {
    FModulesRefreshed = true;
    FModules->Refresh(true);
  }
  return *FModules;
}

TVarnelProcessesList& TVarnelExceptionInfo::Processes() {
  if (!FProcesses) FProcesses = std::make_unique<TVarnelProcessesList>();
  if (!FProcessesRefreshed) {
    FProcessesRefreshed = true;
    FProcesses->Refresh();
  }
  return *FProcesses;
}

std::wstring TVarnelExceptionInfo::ModuleVersion() const {
  if (FInfo.ExceptionModule == 0) return {};
  return ModuleVersionText(platform::SystemModulePlatform().VersionResource(FInfo.ExceptionModuleName));
}

std::wstring TVarnelExceptionInfo::ExceptionDate() const {
  return FormatExceptionDate(FTime, platform::SystemModulePlatform().TimeZoneBiasMinutes().value_or(0));
}

std::wstring TVarnelExceptionInfo::ApplicationUpTime() const { return FormatDuration(FTime - GetProcessStartTime()); }

void TVarnelExceptionInfo::CaptureWindows() {
  if (FWindowsTaken) return;
  FWindowsTaken = true;
  platform::TSystemFacts& facts = platform::LiveSystemFacts();
  if (FActiveForm == 0) FActiveForm = facts.ForegroundWindow();
  if (FActiveControl == 0) FActiveControl = facts.FocusedWindow();
  if (FActiveForm != 0) {
    if (FActiveFormClass.empty()) FActiveFormClass = GetFormClass(FActiveForm, facts);
    if (FActiveFormText.empty()) FActiveFormText = GetFormText(FActiveForm, facts);
  }
  if (FActiveControl != 0) {
    if (FActiveControlClass.empty()) FActiveControlClass = GetControlClass(FActiveControl, facts);
    if (FActiveControlText.empty()) FActiveControlText = GetControlText(FActiveControl, facts);
  }
}

std::uintptr_t TVarnelExceptionInfo::ActiveForm() {
  CaptureWindows();
  return FActiveForm;
}
std::uintptr_t TVarnelExceptionInfo::ActiveControl() {
  CaptureWindows();
  return FActiveControl;
}
const std::wstring& TVarnelExceptionInfo::ActiveFormClass() {
  CaptureWindows();
  return FActiveFormClass;
}
const std::wstring& TVarnelExceptionInfo::ActiveFormText() {
  CaptureWindows();
  return FActiveFormText;
}
const std::wstring& TVarnelExceptionInfo::ActiveControlClass() {
  CaptureWindows();
  return FActiveControlClass;
}
const std::wstring& TVarnelExceptionInfo::ActiveControlText() {
  CaptureWindows();
  return FActiveControlText;
}

// ---------------------------------------------------------------------------
// The bug identifier.

namespace {

const wchar_t kNul = L'\0';

void AppendItemText(std::wstring& s, const TVarnelDebugInfo& entry) {
  const TVLLocationInfo& l = entry.Location;
  if (l.DebugDetail == ddSourceCode) {
    s += L'U' + l.UnitName + kNul + L'C' + l.ClassName + kNul + L'P' + l.ProcedureName + kNul + L'O' +
         std::to_wstring(l.OffsetFromLineNumber) + kNul;
  } else {
    const std::uintptr_t module = l.Module != 0 ? l.Module : platform::ModuleBaseOf(Ptr(entry.ReturnAddr));
    const std::uintptr_t address = l.Address != 0 ? l.Address : entry.ReturnAddr;
    std::wstring file = l.ModuleName;
    if (file.empty() && module != 0) file = platform::ModuleFileName(module);
    s += L'M' + FileOf(file) + kNul + L'O' + std::to_wstring(module != 0 ? address - module : address) + kNul + L'R' +
         kNul + L'R' + kNul;
  }
}

}  // namespace

void TVarnelExceptionInfo::BuildBugID() {
  std::wstring s = ExceptionClass();
  if (FExceptionObject != nullptr && FInfo.ExceptionTypeInfo != nullptr && FNative) {
    void* object = FExceptionObject;
    if (CxxTypeIs(*FInfo.ExceptionTypeInfo, typeid(EOSError), object)) {
      s = L"EOSError_" + std::to_wstring(static_cast<const EOSError*>(object)->ErrorCode());
    } else if (FReader && FReader->IsChildClass(L"EDatabaseError")) {
      s += L"_" + FInfo.ExceptionMessage;
    }
  }
  s = FileOf(platform::ModuleFileName(platform::MainModuleBase())) + kNul + FileOf(FInfo.ExceptionModuleName) + kNul +
      s + kNul;
  const std::wstring captured = FInfo.ExceptionType;
  const bool leak = captured == kMemoryLeakClass || captured == kResourceLeakClass;
  TVarnelBaseStackList* stack = CallStack();
  std::uint16_t candidate = 0;
  if (leak) {
    s += FInfo.ExceptionMessage + kNul;
    candidate = 1;
  }
  if (stack == nullptr || stack->Count() == 0) {
    s += std::wstring(1, kNul) + L"NULL" + kNul;
  } else if (leak) {
    for (int i = 0; i < stack->Count(); ++i) AppendItemText(s, stack->Item(i));
  } else {
    const std::uint32_t thread = stack->Item(0).ThreadID;
    int taken = 0;
    for (int i = 0; i < stack->Count() && taken < 2; ++i) {
      if (stack->Item(i).ThreadID != thread) continue;
      AppendItemText(s, stack->Item(i));
      ++taken;
    }
  }
  // Invariant lower case: the same failure gives the same identifier for
  // every user, whatever the locale.
  s = InvariantLower(s);
  FBugIDSource = s;
  const std::vector<std::uint8_t> utf8 = Utf8Bytes(s);
  std::uint16_t hash = Crc16Xmodem(utf8);
  RaiseCustomBugID(this, hash, candidate);
  if (FCustomID == 0) FCustomID = candidate;
  FBugID = (static_cast<std::uint32_t>(hash) << 16) | FCustomID;
  FBugIDBuild = true;
}

std::uint32_t TVarnelExceptionInfo::BugID() {
  if (!FBugIDBuild) BuildBugID();
  return FBugID;
}

void TVarnelExceptionInfo::SetBugID(std::uint32_t value) noexcept {
  FBugID = value;
  FCustomID = static_cast<std::uint16_t>(value & 0xFFFF);
  FBugIDBuild = true;
}

void TVarnelExceptionInfo::SetCustomID(std::uint16_t value) {
  if (!FBugIDBuild) BuildBugID();
  FCustomID = value;
  FBugID = (FBugID & 0xFFFF0000u) | value;
}

std::wstring TVarnelExceptionInfo::BugIDStr() { return rt::Hex8(BugID()); }

const std::wstring& TVarnelExceptionInfo::BugIDSource() {
  if (!FBugIDBuild) BuildBugID();
  return FBugIDSource;
}

// ---------------------------------------------------------------------------
// Texts with the exception's names.

std::wstring TVarnelExceptionInfo::ToString() {
  std::wstring text = ExceptionMessage();
  if (TVarnelBaseStackList* stack = CallStackIfBuilt() ? CallStackIfBuilt() : CallStack())
    text += L"\r\n\r\n" + stack->ToString();
  return text;
}

bool TVarnelExceptionInfo::ExceptionVariable(const std::wstring& name, std::wstring& value) {
  auto is = [&name](const wchar_t* wanted) { return EqualIgnoringCase(name, wanted); };
  if (is(L"bugid") || is(L"_BugID")) {
    value = BugIDStr();
  } else if (is(L"_ExceptType")) {
    value = ExceptionClass();
  } else if (is(L"_ExceptMsg")) {
    value = ExceptionMessage();
  } else if (is(L"_CallStack")) {
    value.clear();
    if (TVarnelBaseStackList* stack = CallStack()) {
      TCompactStackFormatter compact;
      compact.Assign(&stack->Formatter());
      const auto lines = CallStackToStrings(stack, L"", &compact);
      for (std::size_t i = 0; i < lines.size(); ++i) value += (i ? L"\r\n" : L"") + lines[i];
    }
  } else if (is(L"_ExceptModulePath")) {
    value = ExtractFileDirPart(FInfo.ExceptionModuleName);
  } else if (is(L"_ExceptModuleName")) {
    value = FileOf(FInfo.ExceptionModuleName);
  } else if (is(L"_ExceptModuleVer")) {
    value = ModuleVersion();
  } else if (is(L"_ExceptModuleDesc") || is(L"_MainModuleDesc") || is(L"_MainModuleVer") ||
             is(L"_ThisModuleDesc") || is(L"_ThisModuleVer")) {
    const std::uintptr_t module = is(L"_ExceptModuleDesc")                          ? FInfo.ExceptionModule
                                  : (is(L"_MainModuleDesc") || is(L"_MainModuleVer")) ? platform::MainModuleBase()
                                                                                      : platform::ThisModuleBase();
    value.clear();
    TVarnelModulesListEx* list = GetModulesList();
    if (list != nullptr && module != 0) {
      TModulesListGuard guard;
      if (const TVarnelModuleInfo* m = list->ModuleInfoByHandle(module))
        value = (is(L"_MainModuleVer") || is(L"_ThisModuleVer")) ? m->Version : m->Description;
    }
  } else {
    return false;
  }
  return true;
}

std::wstring TVarnelExceptionInfo::ExpandVariables(const std::wstring& text) {
  return ExpandEnvVarsEx(text, [this](const std::wstring& name) {
    std::wstring value = GetSystemVariable(name);
    if (!value.empty()) return value;
    value = platform::EnvironmentValue(name.c_str());
    if (!value.empty()) return value;
    ExceptionVariable(name, value);
    return value;
  });
}

// ---------------------------------------------------------------------------

void EExceptionInit() { g_ready = true; }
void EExceptionDone() { g_ready = false; }
bool ExceptionInfoReady() noexcept { return g_ready; }

}  // namespace zelvic::diag
