// The per-user settings store (registry and file mode, against Wine's real
// registry and profile functions) and the diagnostics global lock.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "diagnostics/config/EConfig.h"
#include "platform/registry.h"
#include "platform/rwlock.h"
#include "test_support.h"

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
//
// A thread that should block on the lock says when it has reached the call
// and records, once it gets in, whether the holder had released the lock by
// then. The checks read those records: they hold for a correct lock however
// the threads are scheduled.

using test::Event;
using test::kBlockedGraceMs;
using test::kDeadlockMs;

// Runs `body` on a thread and reports whether it finished before the deadlock
// guard: a deadlocked body is left behind instead of hanging the test program.
bool FinishesWithoutDeadlock(std::function<void()> body) {
  auto done = std::make_shared<Event>();
  std::thread([done, body = std::move(body)] {
    body();
    done->Set();
  }).detach();
  return done->WaitFor(kDeadlockMs);
}

// A thread that takes the lock with `take` while another holds it, and notes
// whether the holder had let go by the time it got in.
class Contender {
 public:
  // `take_and_leave` takes the lock, calls Entered() inside it and leaves.
  explicit Contender(std::function<void(Contender&)> take_and_leave)
      : thread_([this, take = std::move(take_and_leave)] {
          reached_.Set();
          take(*this);
        }) {}
  ~Contender() {
    if (thread_.joinable()) thread_.join();
  }
  // Called by the contender inside the lock.
  void Entered(const std::atomic<bool>& released) {
    entered_before_release_ = !released.load();
    inside_.Set();
  }
  // Returns once the contender is at the lock, after the grace period.
  void WaitUntilAtTheLock() {
    ASSERT_TRUE(reached_.WaitFor(kDeadlockMs));
    inside_.WaitFor(kBlockedGraceMs);
  }
  void Join() { thread_.join(); }
  bool EnteredBeforeRelease() const { return entered_before_release_.load(); }
  bool GotIn() const { return inside_.WaitFor(0); }

 private:
  Event reached_;
  Event inside_;
  std::atomic<bool> entered_before_release_{false};
  std::thread thread_;
};

TEST(OptionsGlobalLock, ReadersShareTheLock) {
  platform::TReadWriteLock lock;
  lock.Create();
  Event a_inside;
  Event b_inside;
  // Each reader stays inside until it has seen the other inside too: an
  // exclusive lock leaves one of them waiting for the other in vain.
  auto reader = [&lock](Event& mine, const Event& other, bool& saw_other) {
    lock.BeginRead();
    mine.Set();
    saw_other = other.WaitFor(kDeadlockMs);
    lock.EndRead();
  };
  bool a_saw_b = false;
  bool b_saw_a = false;
  std::thread a(reader, std::ref(a_inside), std::cref(b_inside), std::ref(a_saw_b));
  std::thread b(reader, std::ref(b_inside), std::cref(a_inside), std::ref(b_saw_a));
  a.join();
  b.join();
  EXPECT_TRUE(a_saw_b);
  EXPECT_TRUE(b_saw_a);
  lock.Destroy();
}

TEST(OptionsGlobalLock, AWriterExcludesReadersAndWritersAndWaitsForReaders) {
  platform::TReadWriteLock lock;
  lock.Create();
  {
    std::atomic<bool> released{false};
    lock.BeginWrite();
    Contender reader([&](Contender& me) {
      lock.BeginRead();
      me.Entered(released);
      lock.EndRead();
    });
    Contender writer([&](Contender& me) {
      lock.BeginWrite();
      me.Entered(released);
      lock.EndWrite();
    });
    reader.WaitUntilAtTheLock();
    writer.WaitUntilAtTheLock();
    released = true;
    lock.EndWrite();
    reader.Join();
    writer.Join();
    EXPECT_TRUE(reader.GotIn());
    EXPECT_TRUE(writer.GotIn());
    EXPECT_FALSE(reader.EnteredBeforeRelease()) << "a reader got in while this thread wrote";
    EXPECT_FALSE(writer.EnteredBeforeRelease()) << "a writer got in while this thread wrote";
  }
  {
    // A writer waits for the readers already inside.
    std::atomic<bool> released{false};
    lock.BeginRead();
    Contender late_writer([&](Contender& me) {
      lock.BeginWrite();
      me.Entered(released);
      lock.EndWrite();
    });
    late_writer.WaitUntilAtTheLock();
    released = true;
    lock.EndRead();
    late_writer.Join();
    EXPECT_TRUE(late_writer.GotIn());
    EXPECT_FALSE(late_writer.EnteredBeforeRelease()) << "a writer got in while this thread read";
  }
  lock.Destroy();
}

TEST(OptionsGlobalLock, AThreadReEntersTheLockItHolds) {
  DestroyGlobalLock();
  const bool finished = FinishesWithoutDeadlock([] {
    // Read inside read, even while another thread waits to write.
    GlobalLockBeginRead();
    {
      Event reached;
      Event written;
      std::thread waiting_writer([&] {
        reached.Set();
        GlobalLockBeginWrite();
        written.Set();
        GlobalLockEndWrite();
      });
      reached.WaitFor(kDeadlockMs);
      written.WaitFor(kBlockedGraceMs);  // lets the writer queue up
      GlobalLockBeginRead();
      GlobalLockEndRead();
      GlobalLockEndRead();
      waiting_writer.join();
    }
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
  });
  EXPECT_TRUE(finished) << "deadlock";
  // Nothing is left held: another thread can write.
  EXPECT_TRUE(FinishesWithoutDeadlock([] {
    GlobalLockBeginWrite();
    GlobalLockEndWrite();
  }));
}

TEST(OptionsGlobalLock, ALockKeptAcrossAWriteStaysAReadLock) {
  platform::TReadWriteLock lock;
  lock.Create();
  lock.BeginWrite();
  lock.BeginRead();
  lock.EndWrite();  // still reading
  std::atomic<bool> released{false};
  Contender writer([&](Contender& me) {
    lock.BeginWrite();
    me.Entered(released);
    lock.EndWrite();
  });
  writer.WaitUntilAtTheLock();
  released = true;
  lock.EndRead();
  writer.Join();
  EXPECT_TRUE(writer.GotIn());
  EXPECT_FALSE(writer.EnteredBeforeRelease()) << "the write lock went with the read lock kept";
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
