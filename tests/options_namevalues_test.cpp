// The name-value store under the module options: the name hash and the order
// it gives, the value encoding of every text form, and the store's text form
// and change notification.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "diagnostics/config/ENameValues.h"

namespace zelvic::diag {
namespace {

TEST(NameValueHash, IsTheMultiplicativeHashOverUtf16LeBytes) {
  struct Case {
    const wchar_t* name;
    std::uint32_t hash;
  };
  // Expected values computed independently from the byte definition.
  const Case cases[] = {
      {L"", 0x00000000u},
      {L"A", 0x00410FFFu},            // 0x41 then 0x00: 0x41 * 65599
      {L"a", 0x006117DFu},            // case matters
      {L"Activate", 0x91D7A58Fu},
      {L"VarnelLog Version", 0x9B7F58F0u},
      {L"\u00E9t\u00E9", 0x4464523Au},
      {L"\u20AC", 0x00AC2A74u},        // the high byte takes part
  };
  for (const Case& c : cases) EXPECT_EQ(NameHash(c.name), c.hash) << testing::PrintToString(std::wstring(c.name));
}

TEST(NameValueList, KeepsPairsInUnsignedHashOrder) {
  TNameValues list;
  const wchar_t* names[] = {L"Activate", L"zeta", L"A", L"VarnelLog Version", L"", L"\u20AC", L"loCatchLeaks", L"a"};
  for (const wchar_t* n : names) list.Add(n, L"v");
  ASSERT_EQ(list.Count(), std::size(names));
  for (std::size_t i = 1; i < list.Count(); ++i) {
    EXPECT_LE(list.GetItem(i - 1).Hash, list.GetItem(i).Hash) << i;
  }
  // 0x9B7F58F0 is above 0x7FFFFFFF: a signed comparison would put it first.
  EXPECT_EQ(list.GetItem(list.Count() - 1).Name, L"VarnelLog Version");
}

TEST(NameValueList, EqualHashesKeepInsertionOrderAndLookupFindsTheExactName) {
  // Two different names with the same hash.
  const std::wstring first = L"FPtWSZU5";
  const std::wstring second = L"99 FEV3r";
  ASSERT_EQ(NameHash(first), NameHash(second));
  TNameValues list;
  list.Add(L"other", L"x");
  list.Add(second, L"2");
  list.Add(first, L"1");
  list.Add(second, L"2b");
  const std::ptrdiff_t i_second = list.IndexOfName(second);
  const std::ptrdiff_t i_first = list.IndexOfName(first);
  ASSERT_GE(i_second, 0);
  ASSERT_GE(i_first, 0);
  EXPECT_EQ(list.GetItem(static_cast<std::size_t>(i_second)).Value, L"2");
  EXPECT_EQ(list.GetItem(static_cast<std::size_t>(i_first)).Value, L"1");
  EXPECT_EQ(i_first, i_second + 1);
  EXPECT_EQ(list.GetItem(static_cast<std::size_t>(i_second) + 2).Value, L"2b");
  EXPECT_EQ(list.IndexOfName(L"fPtWSZU5"), -1);
}

TEST(NameValueList, BinarySearchFindsEveryNameOfALargeList) {
  TNameValues list;
  for (int i = 0; i < 600; ++i) list.Add(L"key" + std::to_wstring(i * 7919 % 600), std::to_wstring(i));
  for (int k = 0; k < 600; ++k) {
    const std::ptrdiff_t i = list.IndexOfName(L"key" + std::to_wstring(k));
    ASSERT_GE(i, 0) << k;
    EXPECT_EQ(list.GetItem(static_cast<std::size_t>(i)).Name, L"key" + std::to_wstring(k));
  }
  EXPECT_EQ(list.IndexOfName(L"key600"), -1);
  EXPECT_EQ(list.IndexOfName(L"Key1"), -1);
}

struct CodecCase {
  const wchar_t* value;
  const wchar_t* encoded;
};

TEST(NameValueCodec, EncodesEveryValueTheWayTheStoredTextsHoldIt) {
  const CodecCase cases[] = {
      {L"0", L"0"},
      {L"7007", L"7007"},
      {L"-42", L"-42"},
      {L"+5", L"+5"},
      {L"9223372036854775807", L"9223372036854775807"},
      {L"-9223372036854775808", L"-9223372036854775808"},
      {L"9223372036854775808", L"\"9223372036854775808\""},  // beyond 64 bits: text
      {L"", L"\"\""},
      {L"-", L"\"-\""},
      {L"1.5", L"\"1.5\""},
      {L" 12", L"\" 12\""},
      {L"0x10", L"\"0x10\""},
      {L"plain text", L"\"plain text\""},
      {L"C:\\Logs", L"\"C:\\\\Logs\""},
      {L"a--b", L"\"a\\d\\db\""},
      {L"a---b", L"\"a\\d\\d-b\""},
      {L"----", L"\"\\d\\d\\d\\d\""},
      {L"line1\r\nline2", L"\"line1\\r\\nline2\""},
      {L"say \"hi\"", L"\"say \\qhi\\q\""},
      {L"\\--\\", L"\"\\\\\\d\\d\\\\\""},
      {L"{1B2C-3D}", L"\"{1B2C-3D}\""},
  };
  for (const CodecCase& c : cases) {
    EXPECT_EQ(EncodeValue(c.value), c.encoded) << testing::PrintToString(std::wstring(c.value));
    EXPECT_EQ(DecodeValue(c.encoded), c.value) << testing::PrintToString(std::wstring(c.encoded));
  }
}

TEST(NameValueCodec, DecodesRawAndQuotedFormsAndAbandonsOnAnUnknownEscape) {
  const CodecCase cases[] = {
      // Not quoted: as it stands.
      {L"C:\\Temp\\x", L"C:\\Temp\\x"},
      {L"a\"b", L"a\"b"},
      {L"", L""},
      // Quoted.
      {L"", L"\"\""},
      {L"a\"b", L"\"a\"\"b\""},
      {L"-", L"\"\\d\""},
      {L"cut", L"\"cut\"after"},
      {L"open", L"\"open"},
      // A backslash before anything but \ r n q d, or at the end: the raw
      // text, quotes included, is the value.
      {L"\"C:\\Temp\"", L"\"C:\\Temp\""},
      {L"\"x\\\\y\\z\"", L"\"x\\\\y\\z\""},
      {L"\"tail\\\"", L"\"tail\\\""},
      {L"\"\\R\"", L"\"\\R\""},
  };
  for (const CodecCase& c : cases) {
    EXPECT_EQ(DecodeValue(c.encoded), c.value) << testing::PrintToString(std::wstring(c.encoded));
  }
}

TEST(NameValueStore, TextIsSortedIgnoringCaseWithALineBreakAfterEachLine) {
  TNameValueStorage store;
  store.SetValue(L"zeta", L"last");
  store.SetValue(L"Beta", L"a--b");
  store.SetValue(L"alpha", L"12");
  store.SetValue(L"GAMMA", L"");
  EXPECT_EQ(store.Text(), L"alpha=12\r\nBeta=\"a\\d\\db\"\r\nGAMMA=\"\"\r\nzeta=\"last\"\r\n");
}

TEST(NameValueStore, TextWrittenAndReadBackKeepsEveryValue) {
  TNameValueStorage store;
  const std::vector<std::pair<std::wstring, std::wstring>> pairs = {
      {L"Path", L"C:\\Program Files\\x"}, {L"Lines", L"one\r\ntwo\nthree\r"}, {L"Dashes", L"--a---"},
      {L"Quote", L"\"\""},                {L"Empty", L""},                   {L"Number", L"-17"},
      {L"Big", L"123456789012345678901234567890"}, {L"_private", L"kept"}, {L"Equals", L"a=b=c"},
  };
  for (const auto& [n, v] : pairs) store.SetValue(n, v);
  TNameValueStorage copy;
  copy.SetText(store.Text());
  ASSERT_EQ(copy.Count(), pairs.size());
  for (const auto& [n, v] : pairs) EXPECT_EQ(copy.GetValue(n), v) << testing::PrintToString(n);
}

TEST(NameValueStore, WritingTextSplitsAtEveryLineBreakAndLaterLinesWin) {
  TNameValueStorage store;
  store.SetValue(L"old", L"gone");
  store.SetText(L"a=1\rb=2\nc=3\r\nno equals here\r\n\r\na=4\r\nd=\"x\\qy\"");
  EXPECT_EQ(store.Count(), 4u);
  EXPECT_FALSE(store.HasName(L"old"));
  EXPECT_EQ(store.GetValue(L"a"), L"4");
  EXPECT_EQ(store.GetValue(L"b"), L"2");
  EXPECT_EQ(store.GetValue(L"c"), L"3");
  EXPECT_EQ(store.GetValue(L"d"), L"x\"y");
}

TEST(NameValueStore, AssigningLinesKeepsRepeatedNamesAndLookupReturnsTheFirst) {
  TNameValueStorage store;
  store.AssignLines({L"key=first", L"junk", L"key=second", L"other=\"o\""});
  EXPECT_EQ(store.Count(), 3u);
  EXPECT_EQ(store.GetValue(L"key"), L"first");
  TNameValueStorage copy;
  copy.Assign(&store);
  ASSERT_EQ(copy.Count(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(copy.GetName(i), store.GetName(i));
    EXPECT_EQ(copy.GetValueFromIndex(i), store.GetValueFromIndex(i));
  }
  copy.Assign(nullptr);
  EXPECT_EQ(copy.Count(), 0u);
}

TEST(NameValueStore, NotifiesOnceWhenTheOutermostUpdateEnds) {
  TNameValueStorage store;
  int notified = 0;
  store.SetOnUpdate([&] { ++notified; });
  store.SetValue(L"a", L"1");
  EXPECT_EQ(notified, 1);
  store.BeginUpdate();
  store.BeginUpdate();
  store.SetValue(L"b", L"2");
  store.Delete(0);
  store.EndUpdate();
  EXPECT_EQ(notified, 1);
  store.EndUpdate();
  EXPECT_EQ(notified, 2);
  EXPECT_FALSE(store.Changed());
  // An empty bracket notifies nothing.
  store.BeginUpdate();
  store.EndUpdate();
  EXPECT_EQ(notified, 2);
  // A quiet write only marks the store; the next bracket end reports it.
  store.SetValueQuietly(L"c", L"3");
  EXPECT_EQ(notified, 2);
  EXPECT_TRUE(store.Changed());
  store.BeginUpdate();
  store.EndUpdate();
  EXPECT_EQ(notified, 3);
}

// The scope ends the bracket on every way out: a failing change still gets
// its notification, and a failing notification is not lost.
TEST(NameValueStore, UpdateScopeNotifiesOnceAndStillEndsWhenAChangeFails) {
  TNameValueStorage store;
  int notified = 0;
  store.SetOnUpdate([&] { ++notified; });
  {
    const TNameValueUpdate outer(store);
    store.SetValue(L"a", L"1");
    {
      const TNameValueUpdate inner(store);
      store.SetValue(L"b", L"2");
    }
    EXPECT_EQ(notified, 0);
  }
  EXPECT_EQ(notified, 1);
  EXPECT_THROW(
      {
        const TNameValueUpdate update(store);
        store.SetValue(L"c", L"3");
        throw std::runtime_error("change failed");
      },
      std::runtime_error);
  EXPECT_EQ(notified, 2);
  // Not left inside a bracket: the next change notifies at once.
  store.SetValue(L"d", L"4");
  EXPECT_EQ(notified, 3);
  store.SetOnUpdate([] { throw std::runtime_error("listener failed"); });
  EXPECT_THROW(
      {
        const TNameValueUpdate update(store);
        store.SetValue(L"e", L"5");
      },
      std::runtime_error);
}

}  // namespace
}  // namespace zelvic::diag
