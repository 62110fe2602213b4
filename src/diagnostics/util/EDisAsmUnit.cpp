#include "diagnostics/util/EDisAsmUnit.h"

#include "runtime/exception_points.h"

namespace zelvic::diag {
namespace {

platform::TLiveMemory g_live;
bool g_execute_only_readable = false;

bool SystemProbe() { return platform::ExecuteOnlyPagesAreReadable(); }
TExecuteOnlyProbe g_probe = SystemProbe;

disasm::TAddressNamer g_code_source;
disasm::TAddressNamer g_data_source;
disasm::TAddressNamer g_previous_code_namer;
disasm::TAddressNamer g_previous_data_describer;

std::size_t DispatchCodeName(void*, std::uint32_t address, char* out, std::size_t capacity) {
  const std::size_t n = disasm::CallNamer(g_code_source, address, out, capacity);
  return n != 0 ? n : disasm::CallNamer(g_previous_code_namer, address, out, capacity);
}

std::size_t DispatchDataDescription(void*, std::uint32_t address, char* out, std::size_t capacity) {
  const std::size_t n = disasm::CallNamer(g_data_source, address, out, capacity);
  return n != 0 ? n : disasm::CallNamer(g_previous_data_describer, address, out, capacity);
}

// The probe may fault inside the system's read test. Whatever the runtime's
// notification points would do with that fault (make an exception object,
// report it) must not happen for a fault the probe expects.
void NoExceptProc(void*, const std::type_info*, void*) {}
rt::Exception* NoExceptObject(const _EXCEPTION_RECORD*) { return nullptr; }
const wchar_t* NoExceptClass(const _EXCEPTION_RECORD*) { return nullptr; }

bool ProbeQuietly() {
  rt::TExceptionNotificationPoints& points = rt::ExceptionPoints();
  const rt::TExceptionNotificationPoints saved = points;
  points.ExceptProc = NoExceptProc;
  points.ExceptObjProc = NoExceptObject;
  points.ExceptClsProc = NoExceptClass;
  const bool readable = g_probe != nullptr && g_probe();
  points = saved;
  return readable;
}

}  // namespace

platform::TLiveMemory& LiveMemory() noexcept { return g_live; }
bool ExecuteOnlyPagesReadable() noexcept { return g_execute_only_readable; }

disasm::TAddressNamer SetCodeNameSource(disasm::TAddressNamer source) noexcept {
  const disasm::TAddressNamer previous = g_code_source;
  g_code_source = source;
  return previous;
}

disasm::TAddressNamer SetDataDescriptionSource(disasm::TAddressNamer source) noexcept {
  const disasm::TAddressNamer previous = g_data_source;
  g_data_source = source;
  return previous;
}

TExecuteOnlyProbe SetExecuteOnlyProbe(TExecuteOnlyProbe probe) noexcept {
  const TExecuteOnlyProbe previous = g_probe;
  g_probe = probe;
  return previous;
}

void EDisAsmInit() {
  g_previous_code_namer = disasm::SetCodeAddressNamer({DispatchCodeName, nullptr});
  g_previous_data_describer = disasm::SetDataAddressDescriber({DispatchDataDescription, nullptr});
  g_execute_only_readable = ProbeQuietly();
  g_live.SetSpace(platform::ApplicationAddressSpace(disasm::DefaultReadableMask(g_execute_only_readable)));
}

void EDisAsmDone() {
  disasm::SetCodeAddressNamer(g_previous_code_namer);
  disasm::SetDataAddressDescriber(g_previous_data_describer);
  g_previous_code_namer = {};
  g_previous_data_describer = {};
  g_execute_only_readable = false;
  g_live.SetSpace(disasm::TAddressSpace{});
}

}  // namespace zelvic::diag
