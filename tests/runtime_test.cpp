// The runtime layer: memory-manager record, per-thread slots, format
// settings, exception notification points, and recognising diagnostics data.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/config/EVLData.h"
#include "runtime/block_pool.h"
#include "runtime/exception_points.h"
#include "runtime/exceptions.h"
#include "runtime/format_settings.h"
#include "runtime/memory_manager.h"
#include "runtime/never_destroyed.h"
#include "runtime/thread_storage.h"
#include "platform/module_loads.h"
#include "platform/system.h"

namespace zelvic::rt {
namespace {

int g_gets = 0;
int g_frees = 0;

// Needs no dynamic initialisation: ready before any unit's start-up.
constinit TNeverDestroyed<std::unique_ptr<int>> g_constant_owner;

struct CountedValue {
  explicit CountedValue(int v, std::string t) : value(v), text(std::move(t)) {}
  ~CountedValue() { ++destroyed; }
  int value;
  std::string text;
  static inline int destroyed = 0;
};

TEST(NeverDestroyed, KeepsItsValueAndNeverDestroysIt) {
  CountedValue::destroyed = 0;
  {
    TNeverDestroyed<CountedValue> kept(42, "made in place");
    EXPECT_EQ(kept->value, 42);
    EXPECT_EQ(kept.Get().text, "made in place");
    (*kept).value = 7;
    EXPECT_EQ(kept->value, 7);
  }
  EXPECT_EQ(CountedValue::destroyed, 0);

  EXPECT_EQ(g_constant_owner->get(), nullptr);
  *g_constant_owner = std::make_unique<int>(5);
  EXPECT_EQ(**g_constant_owner, 5);
  g_constant_owner->reset();
  EXPECT_EQ(g_constant_owner->get(), nullptr);
}

TEST(MemoryManager, EveryNewGoesThroughTheRecordInForce) {
  const TMemoryManager previous = GetMemoryManager();
  static TMemoryManager chained;
  chained = previous;
  TMemoryManager counting = previous;
  counting.GetMem = [](std::size_t n) {
    ++g_gets;
    return chained.GetMem(n);
  };
  counting.FreeMem = [](void* p) {
    ++g_frees;
    return chained.FreeMem(p);
  };
  g_gets = g_frees = 0;
  SetMemoryManager(counting);
  {
    auto v = std::make_unique<std::vector<int>>(1000, 7);
    std::wstring s(200, L'x');
    EXPECT_EQ(v->at(999) + static_cast<int>(s.size()), 207);
  }
  SetMemoryManager(previous);
  EXPECT_GE(g_gets, 3);
  EXPECT_EQ(g_gets, g_frees);
}

TEST(MemoryManager, DefaultRecordReallocatesAndZeroes) {
  const TMemoryManager& mm = DefaultMemoryManager();
  auto* p = static_cast<unsigned char*>(mm.AllocMem(64));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0);
  p[63] = 0x5A;
  p = static_cast<unsigned char*>(mm.ReallocMem(p, 4096));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[63], 0x5A);
  EXPECT_EQ(mm.FreeMem(p), 0);
  EXPECT_EQ(mm.FreeMem(nullptr), 0);
}

// What a request may hold: small requests round up to the next multiple of
// 16 bytes (at least 16), larger ones hold at least what was asked for.
std::size_t ExpectedCapacity(std::size_t size) { return size == 0 ? 16 : (size + 15) / 16 * 16; }

// Pools of their own, never the library's: each test ends its pool.
TEST(BlockPool, SmallBlocksRoundUpToTheirClassAndLargeOnesHoldTheRequest) {
  TBlockPool pool;
  for (const std::size_t size : {0u, 1u, 15u, 16u, 17u, 100u, 255u, 256u, 257u, 4000u, 100000u}) {
    SCOPED_TRACE(size);
    void* block = pool.Get(size);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 8, 0u);
    if (size <= 256) {
      EXPECT_EQ(pool.Capacity(block), ExpectedCapacity(size));
    } else {
      EXPECT_GE(pool.Capacity(block), size);
    }
    std::memset(block, 0xA5, size);
    EXPECT_EQ(pool.Free(block), 0);
  }
  pool.End();
}

TEST(BlockPool, AFreedBlockIsHandedOutAgainAndZeroedOnRequest) {
  TBlockPool pool;
  auto* first = static_cast<unsigned char*>(pool.Get(40));
  std::memset(first, 0xFF, 40);
  ASSERT_EQ(pool.Free(first), 0);
  auto* again = static_cast<unsigned char*>(pool.GetZeroed(33));
  EXPECT_EQ(again, first) << "the same class reuses the freed block";
  for (int i = 0; i < 33; ++i) ASSERT_EQ(again[i], 0) << i;
  // Another class does not take it.
  ASSERT_EQ(pool.Free(again), 0);
  void* other = pool.Get(100);
  EXPECT_NE(other, first);
  pool.Free(other);
  pool.End();
}

TEST(BlockPool, ResizeKeepsTheContentAndGrowsInPlaceWithinTheClass) {
  TBlockPool pool;
  auto* block = static_cast<unsigned char*>(pool.Get(20));
  for (int i = 0; i < 20; ++i) block[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(pool.Resize(block, 32), block) << "20 and 32 bytes share a class";
  auto* grown = static_cast<unsigned char*>(pool.Resize(block, 200));
  ASSERT_NE(grown, nullptr);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(grown[i], i);
  auto* large = static_cast<unsigned char*>(pool.Resize(grown, 5000));
  ASSERT_NE(large, nullptr);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(large[i], i);
  large[4999] = 7;
  auto* larger = static_cast<unsigned char*>(pool.Resize(large, 70000));
  ASSERT_NE(larger, nullptr);
  EXPECT_EQ(larger[19], 19);
  EXPECT_EQ(larger[4999], 7);
  EXPECT_EQ(pool.Free(larger), 0);
  pool.End();
}

TEST(BlockPool, ASecondFreeAndAForeignBlockAreRefusedAndChangeNothing) {
  TBlockPool pool;
  void* small = pool.Get(24);
  void* large = pool.Get(1000);
  ASSERT_EQ(pool.Free(small), 0);
  EXPECT_EQ(pool.Free(small), 1);
  ASSERT_EQ(pool.Free(large), 0);
  EXPECT_EQ(pool.Free(large), 1);
  // Had the second free been taken, the block would now be handed out twice.
  void* a = pool.Get(24);
  void* b = pool.Get(24);
  EXPECT_NE(a, b);
  alignas(8) unsigned char foreign[64] = {};
  EXPECT_EQ(pool.Free(foreign + 8), 1);
  EXPECT_EQ(pool.Capacity(foreign + 8), 0u);
  EXPECT_EQ(pool.Resize(foreign + 8, 10), nullptr);
  pool.Free(a);
  pool.Free(b);
  pool.End();
}

TEST(BlockPool, ThreadsShareTheFreeListsWithoutHandingABlockOutTwice) {
  TBlockPool pool;
  constexpr int kThreads = 4, kRounds = 40000, kHeld = 64;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t + 1));
      struct THeld {
        std::uint32_t* block = nullptr;
        std::size_t words = 0;
      };
      THeld held[kHeld];
      for (int round = 0; round < kRounds; ++round) {
        THeld& h = held[random() % kHeld];
        if (h.block != nullptr) {
          // Every word still says who wrote it and where.
          for (std::size_t w = 0; w < h.words; ++w) {
            if (h.block[w] != (static_cast<std::uint32_t>(t) << 24 | static_cast<std::uint32_t>(w))) ++failures;
          }
          if (pool.Free(h.block) != 0) ++failures;
          h.block = nullptr;
        } else {
          h.words = 1 + random() % 64;
          h.block = static_cast<std::uint32_t*>(pool.Get(h.words * 4));
          if (h.block == nullptr) {
            ++failures;
            continue;
          }
          for (std::size_t w = 0; w < h.words; ++w) h.block[w] = static_cast<std::uint32_t>(t) << 24 | static_cast<std::uint32_t>(w);
        }
      }
      for (THeld& h : held) {
        if (h.block != nullptr && pool.Free(h.block) != 0) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  pool.End();
}

TEST(BlockPool, TheEndGivesTheChunksBackAndLaterFreesAreIgnored) {
  TBlockPool pool;
  void* kept = pool.Get(64);
  void* large = pool.Get(1000);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(pool.ChunkCount(), 1u);
  pool.End();
  EXPECT_EQ(pool.ChunkCount(), 0u);
  MEMORY_BASIC_INFORMATION info{};
  ASSERT_EQ(VirtualQuery(kept, &info, sizeof info), sizeof info);
  EXPECT_EQ(info.State, static_cast<DWORD>(MEM_FREE)) << "the chunk went back to the system";
  EXPECT_EQ(pool.Free(kept), 0);
  EXPECT_EQ(pool.Free(large), 0);
  // Blocks still come, from the heap, and are never freed.
  auto* late = static_cast<unsigned char*>(pool.Get(16));
  ASSERT_NE(late, nullptr);
  late[15] = 1;
  EXPECT_EQ(pool.ChunkCount(), 0u);
}

std::vector<std::uintptr_t> g_released;

TEST(ThreadSlot, ValuesArePerThreadAndReleasedWithTheThread) {
  TThreadSlot slot;
  ASSERT_TRUE(slot.Allocate([](void* v) { g_released.push_back(reinterpret_cast<std::uintptr_t>(v)); }));
  g_released.clear();
  slot.Set(reinterpret_cast<void*>(0x100));
  std::thread t([&] {
    EXPECT_EQ(slot.Get(), nullptr);
    slot.Set(reinterpret_cast<void*>(0x200));
    ReleaseThreadStorage();  // what thread detach runs
    EXPECT_EQ(slot.Get(), nullptr);
  });
  t.join();
  EXPECT_EQ(g_released, std::vector<std::uintptr_t>{0x200});
  EXPECT_EQ(slot.Get(), reinterpret_cast<void*>(0x100));
  slot.Free();  // releases the calling thread's value
  EXPECT_EQ(g_released, (std::vector<std::uintptr_t>{0x200, 0x100}));
  EXPECT_FALSE(slot.IsAllocated());
}

// A slot reads and writes the same value the system's TLS functions see,
// whether its index lies in the thread's own block (below 64) or among the
// expansion slots.
TEST(ThreadSlot, ValuesAreTheSystemsTlsValues) {
  std::vector<DWORD> taken;
  TThreadSlot low;
  ASSERT_TRUE(low.Allocate(nullptr));
  // Push the next index past the thread block's 64 (the first slot is
  // below it in a program that has taken few).
  while (taken.size() < 80) {
    const DWORD index = TlsAlloc();
    ASSERT_NE(index, TLS_OUT_OF_INDEXES);
    taken.push_back(index);
    if (index >= TLS_MINIMUM_AVAILABLE) break;
  }
  TThreadSlot high;
  ASSERT_TRUE(high.Allocate(nullptr));
  ASSERT_GE(high.Index(), static_cast<std::uint32_t>(TLS_MINIMUM_AVAILABLE));
  for (TThreadSlot* slot : {&low, &high}) {
    slot->Set(reinterpret_cast<void*>(0x1234));
    EXPECT_EQ(TlsGetValue(slot->Index()), reinterpret_cast<void*>(0x1234)) << slot->Index();
    ASSERT_TRUE(TlsSetValue(slot->Index(), reinterpret_cast<void*>(0x5678)));
    EXPECT_EQ(slot->Get(), reinterpret_cast<void*>(0x5678)) << slot->Index();
    slot->Set(nullptr);
    EXPECT_EQ(TlsGetValue(slot->Index()), nullptr) << slot->Index();
    slot->Free();
  }
  for (DWORD index : taken) TlsFree(index);
}

// With loads barred the platform takes a reference to a module the process
// has, but loads none; the bar nests and lifts with its last scope.
TEST(ModuleLoads, BarredLoadsFindLoadedModulesOnly) {
  ASSERT_EQ(GetModuleHandleW(L"mapi32.dll"), nullptr) << "the test needs a system library nobody has loaded";
  {
    platform::TModuleLoadsBarred outer;
    {
      platform::TModuleLoadsBarred inner;
      EXPECT_TRUE(platform::ModuleLoadsBarred());
    }
    EXPECT_TRUE(platform::ModuleLoadsBarred());
    SetLastError(0);
    EXPECT_EQ(platform::LoadSystemModule(L"mapi32.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(GetModuleHandleW(L"mapi32.dll"), nullptr);
    HMODULE kernel32 = platform::LoadSystemModule(L"kernel32.dll");
    EXPECT_EQ(kernel32, GetModuleHandleW(L"kernel32.dll"));
    FreeLibrary(kernel32);
  }
  EXPECT_FALSE(platform::ModuleLoadsBarred());
  HMODULE loaded = platform::LoadSystemModule(L"mapi32.dll");
  EXPECT_NE(loaded, nullptr);
  if (loaded != nullptr) FreeLibrary(loaded);
}

// A lazy slot is taken once, by whichever of several threads asks first, and
// the preparation runs once, before any of them sees the slot ready. While
// it is given back it answers "not ready" at once, also to the release's own
// clean-up; afterwards it can be taken again.
std::atomic<int> g_prepared{0};
std::atomic<int> g_asked_during_release{-1};

TEST(LazyThreadSlot, TakenOnceByTheFirstAskerAndRefusedWhileReleased) {
  TLazyThreadSlot lazy;
  g_prepared = 0;
  EXPECT_FALSE(lazy.IsReady());
  std::vector<std::thread> askers;
  std::atomic<int> ready{0};
  for (int i = 0; i < 8; ++i) {
    askers.emplace_back([&] {
      if (lazy.Ready([](void*) { ++g_prepared; }, nullptr)) ++ready;
    });
  }
  for (auto& t : askers) t.join();
  EXPECT_EQ(ready.load(), 8);
  EXPECT_EQ(g_prepared.load(), 1);
  ASSERT_TRUE(lazy.IsReady());
  const std::uint32_t index = lazy.Slot().Index();

  lazy.Release([](void* self) { g_asked_during_release = static_cast<TLazyThreadSlot*>(self)->Ready() ? 1 : 0; },
               &lazy);
  EXPECT_EQ(g_asked_during_release.load(), 0);
  EXPECT_FALSE(lazy.IsReady());
  EXPECT_FALSE(lazy.Slot().IsAllocated());
  EXPECT_EQ(TlsGetValue(index), nullptr);

  EXPECT_TRUE(lazy.Ready());
  EXPECT_EQ(g_prepared.load(), 1);  // no preparation asked for this time
  lazy.Release();
}

// The re-entrant lock: the owner enters again without waiting, every other
// thread waits until the last Leave.
TEST(RecursiveLock, ReentersOnItsThreadAndExcludesOthersUntilTheLastLeave) {
  platform::TRecursiveLock lock;
  lock.Create();
  lock.Enter();
  lock.Enter();
  std::atomic<int> other{0};
  std::thread t([&] {
    other = 1;
    lock.Enter();
    other = 2;
    lock.Leave();
  });
  while (other.load() == 0) std::this_thread::yield();
  Sleep(50);
  EXPECT_EQ(other.load(), 1);
  lock.Leave();
  Sleep(50);
  EXPECT_EQ(other.load(), 1) << "one Leave of two must keep the lock";
  lock.Leave();
  t.join();
  EXPECT_EQ(other.load(), 2);
  // A Leave by a thread that does not hold it changes nothing.
  lock.Enter();
  std::thread([&] { lock.Leave(); }).join();
  std::atomic<bool> got{false};
  std::thread u([&] {
    lock.Enter();
    got = true;
    lock.Leave();
  });
  Sleep(50);
  EXPECT_FALSE(got.load());
  lock.Leave();
  u.join();
  EXPECT_TRUE(got.load());
  lock.Destroy();
}

TEST(FormatSettings, NamedLocales) {
  const TFormatSettings en = FormatSettingsForLocale(L"en-US");
  EXPECT_EQ(en.DecimalSeparator, L'.');
  EXPECT_EQ(en.ThousandSeparator, L',');
  EXPECT_EQ(en.TimeSeparator, L':');
  EXPECT_EQ(en.LongMonthNames[0], L"January");
  EXPECT_EQ(en.ShortDayNames[0], L"Sun");
  const TFormatSettings de = FormatSettingsForLocale(L"de-DE");
  EXPECT_EQ(de.DecimalSeparator, L',');
  EXPECT_EQ(de.LongMonthNames[2], L"M\u00e4rz");
  const TFormatSettings unknown = FormatSettingsForLocale(L"xx-NOPE");
  EXPECT_EQ(unknown.DecimalSeparator, L'.');
  EXPECT_EQ(unknown.LongMonthNames[11], L"December");
}

TEST(ExceptionPoints, DefaultsAreTheRuntimeOwn) {
  const TExceptionNotificationPoints& d = DefaultExceptionPoints();
  EXPECT_NE(d.ExceptProc, nullptr);
  EXPECT_NE(d.ErrorProc, nullptr);
  EXPECT_EQ(d.GetExceptionStackInfoProc, nullptr);
  EXPECT_EQ(d.GetStackInfoStringProc, nullptr);
  EXPECT_EQ(d.CleanUpStackInfoProc, nullptr);

  EXCEPTION_RECORD record{};
  record.ExceptionCode = 0xC0000005;
  record.ExceptionAddress = reinterpret_cast<void*>(0x00401234);
  EXPECT_STREQ(d.ExceptClsProc(&record), L"EExternalException");
  std::unique_ptr<Exception> object(d.ExceptObjProc(&record));
  ASSERT_NE(object, nullptr);
  EXPECT_STREQ(object->ClassName(), L"EExternalException");
  EXPECT_EQ(object->Message(), L"External exception C0000005");
  EXPECT_EQ(RuntimeErrorText(217, reinterpret_cast<void*>(0x0040A1B2)), L"Runtime error 217 at 0040A1B2");
}

DWORD g_seen = 0;

LONG WINAPI SeeRaise(EXCEPTION_POINTERS* p) {
  if (p->ExceptionRecord->ExceptionCode != 0x0EEDFADE) return EXCEPTION_CONTINUE_SEARCH;
  g_seen = p->ExceptionRecord->ExceptionInformation[0];
  return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(ExceptionPoints, RaiseGoesThroughTheSlot) {
  PVOID handler = AddVectoredExceptionHandler(1, SeeRaise);
  const std::uintptr_t args[1] = {77};
  ExceptionPoints().RaiseExceptionProc(0x0EEDFADE, 0, 1, args);
  RemoveVectoredExceptionHandler(handler);
  EXPECT_EQ(g_seen, 77u);
}

TEST(Exceptions, MessageAndAddressOfTheObjectBeingHandled) {
  try {
    throw Exception(L"first");
  } catch (...) {
    EXPECT_EQ(CurrentExceptionMessage(L"?"), L"first");
    EXPECT_NE(CurrentExceptionAddress(), nullptr);
    EXPECT_TRUE(CurrentIsException());
  }
  try {
    throw 5;
  } catch (...) {
    EXPECT_EQ(CurrentExceptionMessage(L"General internal error."), L"General internal error.");
    EXPECT_FALSE(CurrentIsException());
  }
  EXPECT_EQ(CurrentExceptionMessage(L"none"), L"none");  // nothing being handled
}

TEST(VLData, MarkersThatCount) {
  const struct {
    std::vector<std::uint8_t> bytes;
    bool valid;
  } cases[] = {
      {{0x10, 0xAB, 0x0F, 0x70, 0x5F, 0x1B}, true},  // 0x700FAB10, version 7007
      {{0x10, 0xAB, 0x0F, 0x10}, true},
      {{0x10, 0xAB, 0x0F, 0x00}, true},
      {{0x10, 0xAB, 0x0F, 0x20}, false},
      {{0x10, 0xAB, 0x0F}, false},  // too short
      {{}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(diag::StartsWithVLDataMarker(c.bytes), c.valid);
}

TEST(VLData, ModulesWithoutDataHaveNone) {
  EXPECT_FALSE(diag::HasDiagnosticsData(reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr))));
  EXPECT_FALSE(diag::HasDiagnosticsData(reinterpret_cast<std::uintptr_t>(GetModuleHandleW(L"kernel32.dll"))));
}

}  // namespace
}  // namespace zelvic::rt
