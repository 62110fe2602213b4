// The development environment's request: the two record layouts against
// structures the test lays out itself, the choice of target and mailslot,
// and the report of an undeliverable request.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "diagnostics/system/EIdeRequest.h"
#include "fixed_system_facts.h"
#include "test_support.h"

namespace zelvic::diag {
namespace {

using test::FixedSystemFacts;

#pragma pack(push, 1)
struct WideRecord {
  char16_t Texts[4][260];
  std::int32_t Line, Offset;
  std::uint32_t DateLow, DateHigh;
};
struct AnsiRecord {
  char Texts[4][90];
  std::int32_t Line, Offset;
  std::uint32_t DateLow, DateHigh;
};
#pragma pack(pop)
static_assert(sizeof(WideRecord) == 2096 && sizeof(AnsiRecord) == 376);

constexpr double kDate = 45358.5;  // 2024-03-07 12:00

TEST(IdeRequest, RecordLayouts) {
  const std::wstring long_unit(300, L'u');
  const TIdeRequest request{long_unit, L"TForm1", L"Button1Click", 42, 7, kDate};
  WideRecord wide{};
  std::fill_n(wide.Texts[1], 259, u'u');
  std::memcpy(wide.Texts[2], u"TForm1", 12);
  std::memcpy(wide.Texts[3], u"Button1Click", 24);
  wide.Line = 42;
  wide.Offset = 7;
  std::uint64_t bits;
  std::memcpy(&bits, &kDate, 8);
  wide.DateLow = static_cast<std::uint32_t>(bits);
  wide.DateHigh = static_cast<std::uint32_t>(bits >> 32);
  const auto w = WideIdeRecord(request);
  ASSERT_EQ(w.size(), sizeof(wide));
  EXPECT_EQ(std::memcmp(w.data(), &wide, sizeof(wide)), 0);

  AnsiRecord ansi{};
  std::fill_n(ansi.Texts[1], 89, 'u');
  std::memcpy(ansi.Texts[2], "TForm1", 6);
  std::memcpy(ansi.Texts[3], "Button1Click", 12);
  ansi.Line = 42;
  ansi.Offset = 7;
  ansi.DateLow = wide.DateLow;
  ansi.DateHigh = wide.DateHigh;
  const auto a = AnsiIdeRecord(request);
  ASSERT_EQ(a.size(), sizeof(ansi));
  EXPECT_EQ(std::memcmp(a.data(), &ansi, sizeof(ansi)), 0);
}

TEST(IdeRequest, TheParentEnvironmentGetsTheWideRequest) {
  FixedSystemFacts facts;
  facts.Parent = 310;
  facts.WindowClasses = {{310, L"TAppBuilder"}};
  facts.SharedNumber = 999;
  facts.Mailslots = {{L"\\\\.\\mailslot\\VarnelLogW310", 0}};
  EXPECT_TRUE(OpenInIDEEditor(L" 12 ", L"Unit1", L"TForm1", 0, L"x", L"", facts));
  ASSERT_EQ(facts.Sent.size(), 1u);
  WideRecord sent;
  std::memcpy(&sent, facts.Sent[0].second.data(), sizeof(sent));
  EXPECT_EQ(sent.Line, 12);
  EXPECT_EQ(sent.Offset, -1);
  EXPECT_EQ(facts.AllowedForeground, std::vector<std::uint32_t>{310});
}

TEST(IdeRequest, OtherwiseTheSharedNumberAndThe8BitSlot) {
  FixedSystemFacts facts;
  facts.Parent = 310;
  facts.WindowClasses = {{310, L"Notepad"}};
  facts.SharedNumber = 77;
  facts.Mailslots = {{L"\\\\.\\mailslot\\VarnelLog77", 0}};
  EXPECT_TRUE(OpenInIDEEditor(L"3", L"Unit1", L"", 0, L"1", L"Proc", facts));
  ASSERT_EQ(facts.Sent.size(), 1u);
  EXPECT_EQ(facts.Sent[0].second.size(), 376u);
  EXPECT_EQ(facts.AllowedForeground, std::vector<std::uint32_t>{77});
}

TEST(IdeRequest, WhatIsNotSentAndWhatIsReported) {
  FixedSystemFacts facts;
  facts.SharedNumber = 77;
  facts.Mailslots = {{L"\\\\.\\mailslot\\VarnelLog77", 0}};
  EXPECT_FALSE(OpenInIDEEditor(L"3", L"", L"", 0, L"", L"Proc", facts));  // no unit
  EXPECT_FALSE(OpenInIDEEditor(L"x", L"Unit1", L"", 0, L"", L"", facts));  // no line, no procedure
  EXPECT_TRUE(facts.AllowedForeground.empty());
  test::DebugOutputRecorder recorder;
  // A procedure without a line goes only the wide way.
  EXPECT_FALSE(OpenInIDEEditor(L"", L"Unit1", L"", 0, L"", L"Proc", facts));
  EXPECT_TRUE(facts.Sent.empty());
  const auto lines = recorder.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Dump(String): \"Unable to open file in IDE editor: error 00000002\""),
            lines.end());
}

}  // namespace
}  // namespace zelvic::diag
