// The per-user settings store (registry and file mode, against Wine's real
// registry and profile functions) and the diagnostics global lock.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "diagnostics/config/EConfig.h"
#include "platform/registry.h"
#include "platform/rwlock.h"

namespace zelvic::diag {
namespace {

constexpr wchar_t kSection[] = L"ZelvicOptionsTest";

// Reads the value straight from the registry, not through the store.
std::wstring RawRegistryValue(const std::wstring& subkey, const std::wstring& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, subkey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return L"<no key>";
  wchar_t buf[512] = {};
  DWORD size = sizeof buf - sizeof(wchar_t);
  DWORD type = 0;
  const LONG rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return L"<no value>";
  if (type != REG_SZ) return L"<not text>";
  return std::wstring(buf);
}

class OptionsUserSettingsRegistry : public testing::Test {
 protected:
  void SetUp() override { platform::DeleteUserRegistryTree(SectionKey()); }
  void TearDown() override { platform::DeleteUserRegistryTree(SectionKey()); }
  static std::wstring SectionKey() { return std::wstring(L"Software\\Tessaro\\VarnelLog\\7.0\\") + kSection; }
};

TEST_F(OptionsUserSettingsRegistry, TheStartUpStepSelectsTheFacilitysKey) {
  ConfigInit();
  EXPECT_TRUE(UserSettings().UseRegistry());
  EXPECT_EQ(UserSettings().RootPath(), L"\\Software\\Tessaro\\VarnelLog\\7.0");
}

TEST_F(OptionsUserSettingsRegistry, ValuesLandUnderTheSectionKeyAsPlainText) {
  ConfigInit();
  TUserSettingsStore& store = UserSettings();
  store.WriteText(kSection, L"Path", L"C:\\dbg\\dbghelp.dll -- \"x\"");
  store.WriteInteger(kSection, L"Col0", -89);
  EXPECT_EQ(RawRegistryValue(SectionKey(), L"Path"), L"C:\\dbg\\dbghelp.dll -- \"x\"");
  EXPECT_EQ(RawRegistryValue(SectionKey(), L"Col0"), L"-89");
  EXPECT_EQ(store.ReadText(kSection, L"Path", L"d"), L"C:\\dbg\\dbghelp.dll -- \"x\"");
  EXPECT_EQ(store.ReadInteger(kSection, L"Col0", 7), -89);
  EXPECT_EQ(store.ReadText(kSection, L"Missing", L"dflt"), L"dflt");
  EXPECT_EQ(store.ReadInteger(kSection, L"Path", 7), 7);
  EXPECT_EQ(store.ReadText(L"NoSuchSection", L"Path", L"dflt"), L"dflt");
}

TEST_F(OptionsUserSettingsRegistry, AStoredTrailingZeroIsNotPartOfTheText) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, SectionKey().c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  // With and without the terminating zero in the stored data.
  static const wchar_t kData[] = L"abc";
  RegSetValueExW(key, L"With", 0, REG_SZ, reinterpret_cast<const BYTE*>(kData), sizeof kData);
  RegSetValueExW(key, L"Without", 0, REG_SZ, reinterpret_cast<const BYTE*>(kData), sizeof kData - sizeof(wchar_t));
  RegCloseKey(key);
  TUserSettingsStore store(true, kUserSettingsRegistryRoot);
  EXPECT_EQ(store.ReadText(kSection, L"With", L""), L"abc");
  EXPECT_EQ(store.ReadText(kSection, L"Without", L""), L"abc");
}

TEST_F(OptionsUserSettingsRegistry, SectionsWithPathSeparatorsAreRefused) {
  TUserSettingsStore store(true, kUserSettingsRegistryRoot);
  EXPECT_THROW(store.WriteText(L"a\\b", L"k", L"v"), EVarnelLogGeneralError);
  EXPECT_THROW(store.WriteText(L"a/b", L"k", L"v"), EVarnelLogGeneralError);
  EXPECT_EQ(store.ReadText(L"a\\b", L"k", L"d"), L"d");
}

TEST_F(OptionsUserSettingsRegistry, TheUsersEMailLivesInTheUserSection) {
  ConfigInit();
  const std::wstring before = GetUserEMail();
  SetUserEMail(L"tester@example.org");
  EXPECT_EQ(RawRegistryValue(L"Software\\Tessaro\\VarnelLog\\7.0\\User", L"Email"), L"tester@example.org");
  EXPECT_EQ(GetUserEMail(), L"tester@example.org");
  SetUserEMail(before);
}

class OptionsUserSettingsFile : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t tmp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, tmp);
    path_ = std::wstring(tmp) + L"zelvic_settings_test.ini";
    DeleteFileW(path_.c_str());
  }
  void TearDown() override { DeleteFileW(path_.c_str()); }
  std::wstring path_;
};

TEST_F(OptionsUserSettingsFile, ANewFileStartsAsUtf16AndValuesAreEncoded) {
  TUserSettingsStore store(false, path_);
  store.WriteText(L"Main", L"Path", L"C:\\x--y \"q\"\r\nnext");
  store.WriteInteger(L"Main", L"Count", 12);
  std::FILE* f = _wfopen(path_.c_str(), L"rb");
  ASSERT_NE(f, nullptr);
  std::string bytes;
  int c = 0;
  while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<char>(c));
  std::fclose(f);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xFE);
  const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
  EXPECT_NE(text.find(L"Path=\"C:\\\\x\\d\\dy \\qq\\q\\r\\nnext\""), std::wstring::npos) << testing::PrintToString(text);
  EXPECT_NE(text.find(L"Count=12"), std::wstring::npos);
  EXPECT_EQ(store.ReadText(L"Main", L"Path", L""), L"C:\\x--y \"q\"\r\nnext");
  EXPECT_EQ(store.ReadInteger(L"Main", L"Count", 0), 12);
  EXPECT_EQ(store.ReadText(L"Main", L"Missing", L"dflt"), L"dflt");
  EXPECT_EQ(store.ReadText(L"Main", L"Missing", L""), L"");
}

TEST_F(OptionsUserSettingsFile, HandWrittenValuesReadAsTheyStand) {
  std::FILE* f = _wfopen(path_.c_str(), L"wb");
  ASSERT_NE(f, nullptr);
  std::fputs("[S]\r\nDir=C:\\Temp\\new\r\nEmpty=\r\nQuoted=\"C:\\Temp\"\r\nNum=0042\r\n", f);
  std::fclose(f);
  TUserSettingsStore store(false, path_);
  EXPECT_EQ(store.ReadText(L"S", L"Dir", L"d"), L"C:\\Temp\\new");
  EXPECT_EQ(store.ReadText(L"S", L"Empty", L"d"), L"");
  EXPECT_EQ(store.ReadText(L"S", L"Quoted", L"d"), L"C:\\Temp");
  EXPECT_EQ(store.ReadInteger(L"S", L"Num", 0), 42);
}

TEST_F(OptionsUserSettingsFile, MultiLineTextsUseACountAndOneQuotedKeyPerLine) {
  TUserSettingsStore store(false, path_);
  store.WriteMultiLineText(L"Texts", L"Count mtDialog_Caption", L"mtDialog_Caption", L"first\r\n\r\n third ");
  EXPECT_EQ(store.ReadInteger(L"Texts", L"Count mtDialog_Caption", 0), 3);
  wchar_t raw[64] = {};
  GetPrivateProfileStringW(L"Texts", L"mtDialog_Caption2", L"", raw, 64, path_.c_str());
  EXPECT_STREQ(raw, L" third ");  // the platform took the quotes that kept the blanks
  EXPECT_EQ(store.ReadMultiLineText(L"Texts", L"Count mtDialog_Caption", L"mtDialog_Caption"),
            L"first\r\n\r\n third ");
}

// --- the lock -----------------------------------------------------------------------------------

using namespace std::chrono_literals;

// Runs `body` on a thread and reports whether it finished within `limit`: a
// deadlocked body is left behind instead of hanging the test program.
bool FinishesWithin(std::function<void()> body, std::chrono::milliseconds limit) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread([done, body = std::move(body)] {
    body();
    done->store(true);
  }).detach();
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done->load() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
  return done->load();
}

TEST(OptionsGlobalLock, ReadersShareTheLock) {
  platform::TReadWriteLock lock;
  lock.Create();
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  std::atomic<bool> release{false};
  auto reader = [&] {
    lock.BeginRead();
    const int now = ++inside;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    while (!release.load()) std::this_thread::sleep_for(1ms);
    --inside;
    lock.EndRead();
  };
  std::thread a(reader);
  std::thread b(reader);
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (most.load() < 2 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
  release = true;
  a.join();
  b.join();
  EXPECT_EQ(most.load(), 2);
  lock.Destroy();
}

TEST(OptionsGlobalLock, AWriterExcludesReadersAndWritersAndWaitsForReaders) {
  platform::TReadWriteLock lock;
  lock.Create();
  std::atomic<int> step{0};
  lock.BeginWrite();
  std::thread reader([&] {
    lock.BeginRead();
    step = 1;
    lock.EndRead();
  });
  std::thread writer([&] {
    lock.BeginWrite();
    step = step == 1 ? 2 : 3;
    lock.EndWrite();
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(step.load(), 0);  // both wait while this thread writes
  lock.EndWrite();
  reader.join();
  writer.join();
  EXPECT_NE(step.load(), 0);

  // A writer waits for the readers already inside.
  std::atomic<bool> written{false};
  lock.BeginRead();
  std::thread late_writer([&] {
    lock.BeginWrite();
    written = true;
    lock.EndWrite();
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(written.load());
  lock.EndRead();
  late_writer.join();
  EXPECT_TRUE(written.load());
  lock.Destroy();
}

TEST(OptionsGlobalLock, AThreadReEntersTheLockItHolds) {
  DestroyGlobalLock();
  const bool finished = FinishesWithin(
      [] {
        // Read inside read, even while another thread waits to write.
        GlobalLockBeginRead();
        std::thread waiting_writer([] {
          GlobalLockBeginWrite();
          GlobalLockEndWrite();
        });
        std::this_thread::sleep_for(50ms);
        GlobalLockBeginRead();
        GlobalLockEndRead();
        GlobalLockEndRead();
        waiting_writer.join();
        // Write inside write, read inside write.
        GlobalLockBeginWrite();
        GlobalLockBeginWrite();
        GlobalLockBeginRead();
        GlobalLockEndRead();
        GlobalLockEndWrite();
        GlobalLockEndWrite();
        // A sole reader becomes the writer.
        GlobalLockBeginRead();
        GlobalLockBeginWrite();
        GlobalLockEndWrite();
        GlobalLockEndRead();
      },
      5s);
  EXPECT_TRUE(finished) << "deadlock";
  // Nothing is left held: another thread can write.
  EXPECT_TRUE(FinishesWithin(
      [] {
        GlobalLockBeginWrite();
        GlobalLockEndWrite();
      },
      5s));
}

TEST(OptionsGlobalLock, ALockKeptAcrossAWriteStaysAReadLock) {
  platform::TReadWriteLock lock;
  lock.Create();
  lock.BeginWrite();
  lock.BeginRead();
  lock.EndWrite();  // still reading
  std::atomic<bool> written{false};
  std::thread writer([&] {
    lock.BeginWrite();
    written = true;
    lock.EndWrite();
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(written.load());
  lock.EndRead();
  writer.join();
  EXPECT_TRUE(written.load());
  lock.Destroy();
}

TEST(OptionsGlobalLock, IsDestroyedForTheLeakCheckAndCreatedAgainOnUse) {
  GlobalLockBeginRead();
  GlobalLockEndRead();
  EXPECT_TRUE(GlobalLockExists());
  DestroyGlobalLock();
  EXPECT_FALSE(GlobalLockExists());
  {
    TGlobalWriteLock write;
    EXPECT_TRUE(GlobalLockExists());
  }
  TGlobalReadLock read;
}

}  // namespace
}  // namespace zelvic::diag
