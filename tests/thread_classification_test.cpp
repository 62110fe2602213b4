// How the library tells a thread it did not see being made: by the call
// sites of the runtime's thread start and of the thread class on the
// thread's own stack; and the protected form of names.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics/EThreadClassification.h"
#include "diagnostics/debuginfo/EDebugInfo.h"
#include "diagnostics/debuginfo/EDebugVL.h"
#include "diagnostics/util/EEncrypt.h"
#include "diagnostics/util/ENameProtection.h"
#include "runtime/thread_start.h"

namespace zelvic::test {
namespace {

using diag::TCallSite;
using diag::TThreadStartSites;

// ---- the answer for a stack -------------------------------------------------------------

TEST(ThreadClassification, TheOutermostFiveEntriesDecide) {
  const TThreadStartSites sites{{0x1000, 0x1005}, {0x2000, 0x2003}};
  const TThreadStartSites routine_only{{0x1000, 0x1005}, {}};
  const struct {
    const char* what;
    std::vector<std::uint32_t> stack;  // innermost first
    TThreadStartSites sites;
    int expected;
  } cases[] = {
      {"no site on the stack", {0x9000, 0x9100, 0x9200}, sites, 1},
      {"the routine's call, by its return address", {0x9000, 0x1005, 0x9300}, sites, 2},
      {"the routine's call, by its own address", {0x9000, 0x1000, 0x9300}, sites, 2},
      {"Execute inward of the routine's call", {0x9000, 0x2003, 0x1005, 0x9300}, sites, 3},
      // Outward of the routine's call it is some other thread's business.
      {"Execute outward of the routine's call", {0x9000, 0x1005, 0x2003, 0x9300}, sites, 2},
      {"Execute site not known", {0x9000, 0x2003, 0x1005, 0x9300}, routine_only, 2},
      {"routine site not known", {0x9000, 0x2003, 0x1005}, TThreadStartSites{}, 1},
      // Six entries or more: only the outermost five count.
      {"the routine's call sixth from outside", {0x1005, 0x9001, 0x9002, 0x9003, 0x9004, 0x9005}, sites, 1},
      {"the routine's call fifth from outside", {0x9000, 0x1005, 0x9002, 0x9003, 0x9004, 0x9005}, sites, 2},
      {"Execute just inside the five", {0x9000, 0x2003, 0x9002, 0x1005, 0x9004, 0x9005}, sites, 3},
      {"Execute just outside the five", {0x2003, 0x9001, 0x9002, 0x1005, 0x9004, 0x9005}, sites, 2},
      {"an empty stack", {}, sites, 1},
  };
  for (const auto& c : cases) EXPECT_EQ(diag::ClassifyStack(c.stack, c.sites), c.expected) << c.what;
}

// ---- the call sites, found live -------------------------------------------------------

std::atomic<std::uint32_t> g_seen_return{0};
std::atomic<int> g_answer{-1};
TThreadStartSites g_sites;

// The calling thread's stack as the system walks it (return addresses,
// innermost first, up to the thread's start), classified with the sites.
__attribute__((noinline)) int AnswerForThisStack() {
  void* frames[64];
  const USHORT n = RtlCaptureStackBackTrace(0, 64, frames, nullptr);
  std::vector<std::uint32_t> addresses;
  for (USHORT i = 0; i < n; ++i) addresses.push_back(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(frames[i])));
  // Entries above the system's thread start are not the thread's own.
  const auto start = reinterpret_cast<std::uintptr_t>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "BaseThreadInitThunk"));
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    if (addresses[i] >= start && addresses[i] < start + 96) {
      addresses.resize(i + 1);
      break;
    }
  }
  return diag::ClassifyStack(addresses, g_sites);
}

__attribute__((noinline)) std::uint32_t RoutineThatClassifies(void*) {
  g_seen_return = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
  g_answer = AnswerForThisStack();
  return 0;
}

class TClassifyingThread final : public rt::TThread {
 public:
  TClassifyingThread() = default;

 protected:
  __attribute__((noinline)) void Execute() override {
    g_seen_return = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
    g_answer = AnswerForThisStack();
  }
};

DWORD WINAPI PlainThatClassifies(void*) {
  g_answer = AnswerForThisStack();
  return 0;
}

// A call instruction ends right before its return address: E8 rel32 or one
// of the FF /2 forms.
bool CallInstructionAt(const TCallSite& site) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(site.Address));
  const std::uint32_t length = site.Return - site.Address;
  if (p[0] == 0xE8) return length == 5;
  return p[0] == 0xFF && ((p[1] >> 3) & 7) == 2 && length >= 2 && length <= 7;
}

// The sites found by the helper threads are the ones on the stacks of real
// threads of each kind, as the system's own stack capture sees them.
TEST(ThreadClassificationLive, TheSitesFoundAreOnEachKindOfThreadsStack) {
  diag::ForgetThreadStartSites();
  const TThreadStartSites sites = diag::ThreadStartSites();
  g_sites = sites;
  ASSERT_TRUE(sites.Routine.Known());
  ASSERT_TRUE(sites.Execute.Known());
  EXPECT_TRUE(CallInstructionAt(sites.Routine));
  EXPECT_TRUE(CallInstructionAt(sites.Execute));

  // A thread of the runtime's start: its routine returns to the first site.
  g_answer = -1;
  std::uint32_t id = 0;
  void* thread = rt::BeginThread(RoutineThatClassifies, nullptr, id);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_EQ(g_seen_return.load(), sites.Routine.Return);
  EXPECT_EQ(g_answer.load(), 2);

  // A thread object: Execute returns to the second site.
  g_answer = -1;
  {
    TClassifyingThread object;
    object.Start();
    object.WaitFor();
  }
  EXPECT_EQ(g_seen_return.load(), sites.Execute.Return);
  EXPECT_EQ(g_answer.load(), 3);

  // A plain platform thread.
  g_answer = -1;
  HANDLE plain = CreateThread(nullptr, 0, PlainThatClassifies, nullptr, 0, nullptr);
  ASSERT_NE(plain, nullptr);
  WaitForSingleObject(plain, INFINITE);
  CloseHandle(plain);
  EXPECT_EQ(g_answer.load(), 1);
}

// ---- protected names --------------------------------------------------------------------

// Standard Base64, decoded here on its own.
std::vector<std::uint8_t> FromBase64(const std::wstring& text) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::uint8_t> out;
  std::uint32_t bits = 0;
  int count = 0;
  for (wchar_t c : text) {
    if (c == L'=') break;
    const std::size_t v = alphabet.find(static_cast<char>(c));
    if (v == std::string::npos) return {};
    bits = bits << 6 | static_cast<std::uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<std::uint8_t>(bits >> count));
    }
  }
  return out;
}

TEST(NameProtection, NamesBecomeTheirEncipheredUtf8InBase64) {
  const std::string utf8_names[] = {"", "A", "Unit1", "TWorkerThread.Execute", "M\xC3\xBCller\xE2\x82\xAC"};
  for (const std::string& utf8 : utf8_names) {
    std::wstring name;
    ASSERT_GT(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0), 0);
    name.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0)) - 1);
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, name.data(), static_cast<int>(name.size()) + 1);

    const std::wstring shown = diag::ProtectName(name);
    ASSERT_EQ(shown.substr(0, 2), L"??") << utf8;
    const std::wstring payload = shown.substr(2);
    EXPECT_EQ(payload.size(), (utf8.size() + 2) / 3 * 4) << utf8;
    std::vector<std::uint8_t> bytes = FromBase64(payload);
    ASSERT_EQ(bytes.size(), utf8.size()) << utf8;
    if (!utf8.empty()) {
      EXPECT_NE(std::string(bytes.begin(), bytes.end()), utf8) << "not enciphered: " << utf8;
    }
    diag::TStringCipher().Decipher(bytes);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), utf8);
  }
}

// The native debug information's unit puts the protection into the
// call-stack texts: in a list with undecipherable names, every other name.
TEST(NameProtection, TheDebugInformationUnitProtectsNamesInEncryptedLists) {
  EXPECT_EQ(diag::PrepareName(L"Unit1", true), L"Unit1");
  diag::EDebugVLInit();
  EXPECT_EQ(diag::PrepareName(L"Unit1", true), diag::ProtectName(L"Unit1"));
  EXPECT_EQ(diag::PrepareName(L"Unit1", false), L"Unit1");
  EXPECT_EQ(diag::PrepareName(L"?pAbCd", true), L"?pAbCd");
  EXPECT_EQ(diag::PrepareName(L"", true), L"");
  diag::EDebugVLDone();
  EXPECT_EQ(diag::PrepareName(L"Unit1", true), L"Unit1");
}

}  // namespace
}  // namespace zelvic::test
