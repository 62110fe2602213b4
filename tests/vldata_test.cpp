// The diagnostics data container: writer and reader round trip, every header
// generation, compression rules, the password check, and hostile bytes.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diagnostics/util/EVarnelLogErrors.h"
#include "diagnostics/config/EVLDataFormat.h"
#include "diagnostics/util/EEncrypt.h"

namespace zelvic::diag {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<std::uint8_t> OptionsText() {
  return Bytes("\xEF\xBB\xBF" "Activate=1\r\nloEnableMMDebugMode=1\r\nloShareMM=1\r\nVarnelLog Version=7007");
}

std::vector<std::uint8_t> DebugInfo() {
  std::vector<std::uint8_t> d;
  for (int i = 0; i < 3000; ++i) d.push_back(static_cast<std::uint8_t>(i * 7 % 251));
  return d;
}

TVLDataContents SampleContents() {
  TVLDataContents c;
  c.BuildDate = 46001.25;
  c.MemoryOptions.Bytes[0] = 0xA0;
  c.MemoryOptions.Bytes[1] = 0x01;
  c.CodeLocations = {{12, 0x1000, 40}, {13, 0x2000, 20}, {15, 0x3000, 60}, {16, 0x4000, 80}};
  c.OptionsText = OptionsText();
  c.EncryptedMarker = EncipherMarker(kVLDataMarker7, {});
  c.DebugInfo = DebugInfo();
  return c;
}

// Records what the reader hands over.
struct Recorder : TVLDataReceiver {
  bool wants_options = true;
  std::vector<std::uint8_t> options;
  std::uint16_t options_version = 0;
  bool options_use_main = false;
  std::vector<std::uint8_t> debug;
  std::vector<std::uint8_t> password;
  int asked = 0;

  bool WantsOptions() const override { return wants_options; }
  std::size_t SetOptions(std::span<const std::uint8_t> s, std::uint16_t version, bool use_main) override {
    options.assign(s.begin(), s.end());
    options_version = version;
    options_use_main = use_main;
    return s.size();
  }
  bool AskPassword(std::uint32_t marker) override {
    ++asked;
    return IsPasswordValidFor(marker, password);
  }
  void LoadDebugInfo(std::span<const std::uint8_t> d) override { debug.assign(d.begin(), d.end()); }
};

TEST(VLDataFormat, WriteThenReadGivesTheSameContents) {
  const TVLDataContents c = SampleContents();
  const auto bytes = WriteVLData(c);
  Recorder r;
  const TVLDataReadResult result = LoadVLData(bytes, r);
  EXPECT_EQ(result.Version, 7007);
  EXPECT_EQ(result.BuildDate, 46001.25);
  EXPECT_FALSE(result.UseMainModuleOptions);
  EXPECT_FALSE(result.Encrypted);
  EXPECT_EQ(result.EncryptedMarker, c.EncryptedMarker);
  EXPECT_EQ(r.options, c.OptionsText);
  EXPECT_EQ(r.options_version, 7007);
  EXPECT_EQ(r.debug, c.DebugInfo);
  EXPECT_EQ(r.asked, 1);

  // Fixed header fields where every reader expects them.
  EXPECT_EQ(VLDataVersion(bytes), 7007);
  EXPECT_EQ(std::memcmp(&bytes[kHeaderMemoryRecord7], c.MemoryOptions.Bytes, 16), 0);
  const auto early = EarlyMemoryOptionsOf(bytes);
  ASSERT_TRUE(early.has_value());
  EXPECT_TRUE(early->FilterActive);       // 0xA0 has bit 5
  EXPECT_FALSE(early->LeakFilterActive);  // 0x01 lacks bit 1
  const auto locations = CodeLocationsOf(bytes);
  ASSERT_EQ(locations.size(), 4u);
  EXPECT_EQ(locations[2].Identifier, 15);
  EXPECT_EQ(locations[2].Offset, 0x3000u);
  EXPECT_EQ(locations[2].Size, 60u);
  for (const auto& l : locations) EXPECT_NE(l.Identifier, 25);
}

TEST(VLDataFormat, WriterIsDeterministic) {
  EXPECT_EQ(WriteVLData(SampleContents()), WriteVLData(SampleContents()));
}

TEST(VLDataFormat, ReaderWithoutOptionsReceiverSkipsThem) {
  Recorder r;
  r.wants_options = false;
  LoadVLData(WriteVLData(SampleContents()), r);
  EXPECT_TRUE(r.options.empty());
  EXPECT_EQ(r.debug, DebugInfo());
}

TEST(VLDataFormat, OptionsOnlyReaderLeavesTheDebugBlockPacked) {
  struct OptionsOnly : Recorder {
    bool WantsDebugInfo() const override { return false; }
  } r;
  auto bytes = WriteVLData(SampleContents());
  // Garbage in the compressed debug block does not matter to such a reader.
  bytes[bytes.size() - 3] ^= 0xFF;
  bytes[bytes.size() - 9] ^= 0xFF;
  LoadVLData(bytes, r);
  EXPECT_EQ(r.options, OptionsText());
  EXPECT_TRUE(r.debug.empty());
  Recorder full;
  EXPECT_THROW(LoadVLData(bytes, full), EVarnelLogGeneralError);
}

TEST(VLDataFormat, NewerVersionIsRecognisedButRejected) {
  auto bytes = WriteVLData(SampleContents());
  bytes[4] = 7008 & 0xFF;
  bytes[5] = 7008 >> 8;
  EXPECT_TRUE(StartsWithVLDataMarker(bytes));
  Recorder r;
  try {
    LoadVLData(bytes, r);
    FAIL() << "version 7008 was read";
  } catch (const EInvalidDebugInformationVersion& e) {
    EXPECT_EQ(e.Message(), L"Version 7008 is greater than current VarnelLog version (7007)");
    EXPECT_STREQ(e.ClassName(), L"EInvalidDebugInformationVersion");
  }
}

// A hand-built container of an older generation.
std::vector<std::uint8_t> OldContainer(std::uint32_t marker, std::uint16_t stored_version, bool compressed_debug,
                                       bool with_blocks, std::uint8_t use_main = 0) {
  TByteWriter w;
  w.U32(marker);
  w.U16(stored_version);
  w.F64(40000.5);
  const std::uint16_t version = FixUpVersion(stored_version);
  if (version >= 6000) {
    w.U8(1);  // leak-check flag
    w.U8(use_main);
  }
  if (with_blocks) {
    w.I32(9);
    w.U8(16);
    w.U32(0x100);
    w.U32(0x20);
    const auto packed = DeflateBlock(OptionsText());
    w.I32(static_cast<std::int32_t>(packed.size()));
    w.Bytes(packed);
    w.U32(EncipherMarker(kVLDataMarker6, {}));
  }
  TByteWriter debug;
  if (!with_blocks) debug.Bytes(Bytes("OLDOPTS!"));  // the old settings lead the debug stream
  debug.I32(5);
  debug.Bytes(Bytes("lines"));
  if (compressed_debug) {
    w.Bytes(DeflateBlock(debug.Data()));
  } else {
    w.Bytes(debug.Data());
  }
  return std::move(w.Data());
}

// Takes the first eight bytes as the old options.
struct OldRecorder : Recorder {
  std::size_t SetOptions(std::span<const std::uint8_t> s, std::uint16_t version, bool use_main) override {
    Recorder::SetOptions(s.first(s.size() < 8 ? s.size() : 8), version, use_main);
    return options_version < 500 ? 8 : s.size();
  }
};

TEST(VLDataFormat, OlderGenerations) {
  const struct {
    const char* name;
    std::uint32_t marker;
    std::uint16_t stored;
    std::uint16_t version;
    bool compressed;
    bool blocks;
    const char* options;
  } cases[] = {
      {"6001 stored as 601", kVLDataMarker6, 601, 6001, true, true, "\xEF\xBB\xBF" "Activate"},
      {"6500", kVLDataMarker6, 6500, 6500, true, true, "\xEF\xBB\xBF" "Activate"},
      {"5000", kVLDataMarker4, 5000, 5000, true, true, "\xEF\xBB\xBF" "Activate"},
      {"460: no blocks", kVLDataMarker4, 460, 460, true, false, "OLDOPTS!"},
      {"440: debug not compressed", kVLDataMarker4, 440, 440, false, false, "OLDOPTS!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto bytes = OldContainer(c.marker, c.stored, c.compressed, c.blocks, 1);
    EXPECT_EQ(VLDataVersion(bytes), c.version);
    OldRecorder r;
    const auto result = LoadVLData(bytes, r);
    EXPECT_EQ(result.Version, c.version);
    EXPECT_EQ(result.BuildDate, 40000.5);
    EXPECT_EQ(result.UseMainModuleOptions, c.version >= 6000);
    EXPECT_EQ(std::string(r.options.begin(), r.options.begin() + 8), std::string(c.options, 8));
    EXPECT_EQ(std::string(r.debug.begin(), r.debug.end()), "lines");
    EXPECT_EQ(r.asked, c.blocks ? 1 : 0);
  }
}

TEST(VLDataFormat, EarlyMemoryOptionsOfTheOlderHeader) {
  const auto bytes = OldContainer(kVLDataMarker6, 6001, true, true, 1);
  const auto early = EarlyMemoryOptionsOf(bytes);
  ASSERT_TRUE(early.has_value());
  EXPECT_EQ(early->Record.Bytes[0], 0x11);  // first word 0x8011
  EXPECT_EQ(early->Record.Bytes[1], 0x80);
  EXPECT_TRUE(early->FilterActive);
  EXPECT_FALSE(early->LeakFilterActive);
  EXPECT_TRUE(early->UseMainModuleOptions);
  EXPECT_FALSE(EarlyMemoryOptionsOf(OldContainer(kVLDataMarker4, 5000, true, true)).has_value());
  EXPECT_FALSE(EarlyMemoryOptionsOf(Bytes("MZ\x90")).has_value());
}

TEST(VLDataFormat, InflateGrowsInStepsWhenTheSizeIsUnknown) {
  std::vector<std::uint8_t> text;
  for (int i = 0; i < 50000; ++i) text.push_back(static_cast<std::uint8_t>("abcdefgh"[i % 8] + i / 5000));
  const auto packed = DeflateBlock(text);
  EXPECT_EQ(InflateBlock(packed, 0), text);
  EXPECT_EQ(InflateBlock(packed, static_cast<std::int32_t>(text.size())), text);
  // A declared size smaller than the data stops at that size.
  EXPECT_EQ(InflateBlock(packed, 10), std::vector<std::uint8_t>(text.begin(), text.begin() + 10));
}

TEST(VLDataFormat, CompressionFailuresCarryTheirText) {
  const struct {
    std::vector<std::uint8_t> data;
    std::int32_t size;
    const wchar_t* message;
  } cases[] = {
      {Bytes("not zlib at all"), 0, L"incorrect header check"},
      {{}, 0, L"Wrong compressed data"},
      {DeflateBlock(Bytes("x")), 0x7FFFFFFF, L"Wrong compressed data"},  // a size no stream of 9 bytes reaches
      {DeflateBlock(Bytes("x")), -1, L"Wrong compressed data"},
  };
  for (const auto& c : cases) {
    try {
      InflateBlock(c.data, c.size);
      ADD_FAILURE() << "inflated";
    } catch (const EDebugInfoWrongCompressedData& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
  auto truncated = DeflateBlock(DebugInfo());
  truncated.resize(truncated.size() / 2);
  EXPECT_THROW(InflateBlock(truncated, 0), EDebugInfoWrongCompressedData);
}

TEST(VLDataFormat, PasswordCheck) {
  const std::vector<std::uint8_t> secret = Bytes("s3cret");
  TVLDataContents c = SampleContents();
  c.EncryptedMarker = EncipherMarker(kVLDataMarker7, secret);
  const auto bytes = WriteVLData(c);
  Recorder without;
  EXPECT_TRUE(LoadVLData(bytes, without).Encrypted);
  Recorder with;
  with.password = secret;
  EXPECT_FALSE(LoadVLData(bytes, with).Encrypted);
  EXPECT_NE(EncipherMarker(kVLDataMarker7, {}), EncipherMarker(kVLDataMarker7, secret));
}

TEST(VLDataFormat, EarlyRecordOfTheMainExecutable) {
  TEarlyMemoryOptions own;
  own.Record.Bytes[0] = 0x20;
  own.UseMainModuleOptions = true;
  TEarlyMemoryOptions main;
  main.Record.Bytes[0] = 0x01;
  TEarlyMemoryOptions own_alone = own;
  own_alone.UseMainModuleOptions = false;
  const struct {
    const char* name;
    std::optional<TEarlyMemoryOptions> own, main;
    bool is_main;
    std::uint8_t expected;  // first byte of the chosen record; 0xFF: none
  } cases[] = {
      {"follows the main executable", own, main, false, 0x01},
      {"main executable without data: keeps its own", own, std::nullopt, false, 0x20},
      {"is the main executable", own, main, true, 0x20},
      {"flag not set", own_alone, main, false, 0x20},
      {"no data of its own", std::nullopt, main, false, 0xFF},
  };
  for (const auto& c : cases) {
    const auto chosen = ChooseEarlyMemoryOptions(c.own, c.main, c.is_main);
    EXPECT_EQ(chosen ? chosen->Record.Bytes[0] : 0xFF, c.expected) << c.name;
  }
}

TEST(VLDataFormat, CodeLocationByIdentifier) {
  const auto bytes = WriteVLData(SampleContents());
  EXPECT_EQ(CodeLocationOffset(bytes, 13), std::optional<std::uint32_t>(0x2000));
  EXPECT_EQ(CodeLocationOffset(bytes, 25), std::nullopt);  // no hook is set for it
  EXPECT_EQ(CodeLocationOffset(Bytes("garbage"), 13), std::nullopt);
}

// Supplies passwords from a list, recording each request.
struct ListRequester : TPasswordRequester {
  std::vector<std::wstring> answers;
  int requests = 0;
  std::wstring RequestPassword(std::uintptr_t) override {
    ++requests;
    if (answers.empty()) return {};
    std::wstring a = answers.front();
    answers.erase(answers.begin());
    return a;
  }
};

TEST(VLDataFormat, PasswordRequestsAdoptASuppliedPassword) {
  const std::uint32_t marker = EncipherMarker(kVLDataMarker7, Utf8Bytes(L"päss"));
  ListRequester requester;
  SetPasswordRequester(&requester);
  std::wstring password;
  requester.answers = {L"päss"};
  EXPECT_TRUE(CheckDataPassword(marker, 0, password));
  EXPECT_EQ(password, L"päss");  // adopted
  EXPECT_TRUE(CheckDataPassword(marker, 0, password));
  EXPECT_EQ(requester.requests, 1);  // the adopted one opens it without asking

  std::wstring wrong = L"nope";
  requester.answers = {L"nope"};  // the same as the one in force: not tried again
  EXPECT_FALSE(CheckDataPassword(marker, 0, wrong));
  requester.answers = {};  // nobody supplies one
  EXPECT_FALSE(CheckDataPassword(marker, 0, wrong));
  requester.answers = {L"other"};
  EXPECT_FALSE(CheckDataPassword(marker, 0, wrong));
  EXPECT_EQ(wrong, L"other");
  SetPasswordRequester(nullptr);
  std::wstring empty;
  EXPECT_FALSE(CheckDataPassword(marker, 0, empty));
  EXPECT_TRUE(CheckDataPassword(EncipherMarker(kVLDataMarker7, {}), 0, empty));
}

TEST(StringCipher, MD5KnownDigests) {
  auto hex = [](const TMD5Digest& d) {
    std::string s;
    for (auto b : d) {
      char t[3];
      std::snprintf(t, sizeof t, "%02x", b);
      s += t;
    }
    return s;
  };
  EXPECT_EQ(hex(MD5({})), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(hex(MD5(Bytes("abc"))), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(hex(MD5(Bytes("The quick brown fox jumps over the lazy dog"))), "9e107d9d372bb6826bd81d3542a419d6");
  EXPECT_EQ(hex(MD5(Bytes(std::string(56, 'a')))), "3b0c8ac703f828b04c6c197006d17218");  // padding spills a block
}

TEST(StringCipher, EveryLengthRoundTripsAndChanges) {
  TStringCipher cipher;
  cipher.SetPassword(Bytes("pw"));
  for (std::size_t n = 0; n <= 20; ++n) {
    std::vector<std::uint8_t> plain(n);
    for (std::size_t i = 0; i < n; ++i) plain[i] = static_cast<std::uint8_t>('a' + i);
    auto data = plain;
    cipher.Encipher(data);
    if (n > 0) {
      EXPECT_NE(data, plain) << n;
    }
    cipher.Decipher(data);
    EXPECT_EQ(data, plain) << n;
  }
  // One block in isolation inverts.
  std::uint8_t block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  cipher.EncryptBlock(block);
  cipher.DecryptBlock(block);
  EXPECT_EQ(block[0], 1);
  EXPECT_EQ(block[7], 8);
}

TEST(VLDataFormat, AppendedForm) {
  TByteWriter block;
  block.U16(7007);
  block.F64(45000.0);
  block.Bytes(OptionsText());
  TByteWriter file;
  file.Bytes(Bytes("MZ...program bytes..."));
  const std::size_t start = file.Data().size();
  file.Bytes(block.Data());
  file.I32(static_cast<std::int32_t>(block.Data().size()));
  file.U32(kVLDataMarker7);
  const auto& f = file.Data();
  const auto where = LocateAppendedVLData(std::span(f).last(8), f.size());
  ASSERT_TRUE(where.has_value());
  EXPECT_EQ(where->first, start);
  Recorder r;
  const auto result = LoadAppendedVLData(std::span(f).subspan(where->first, where->second), r);
  EXPECT_EQ(result.Version, 7007);
  EXPECT_EQ(result.BuildDate, 45000.0);
  EXPECT_EQ(r.options, OptionsText());
  // A length that runs past the start of the file is no appended data.
  std::vector<std::uint8_t> bad = {0xFF, 0xFF, 0x00, 0x00, 0x10, 0xAB, 0x0F, 0x70};
  EXPECT_FALSE(LocateAppendedVLData(bad, 100).has_value());
}

// Every variant of a container must end in a clean read or in one of the
// facility's exceptions: never a crash, a hang, or a foreign exception.
// Every offset of the structured head is mutated, and every `stride`-th one
// of the compressed payload behind it; each variant is read as it is made.
void ExpectEveryMutationFailsCleanly(const std::vector<std::uint8_t>& original, std::size_t stride = 1) {
  constexpr std::size_t kDenseHead = 512;
  auto offsets = [&](std::size_t limit) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < limit; i += i < kDenseHead ? 1 : stride) at.push_back(i);
    return at;
  };
  int clean = 0, refused = 0, variants = 0;
  auto check = [&](const std::vector<std::uint8_t>& v) {
    ++variants;
    Recorder r;
    try {
      LoadVLData(v, r);
      CodeLocationsOf(v);
      EarlyMemoryOptionsOf(v);
      ++clean;
    } catch (const EVarnelLogGeneralError&) {
      ++refused;
    } catch (...) {
      ADD_FAILURE() << "a foreign exception escaped for a variant of " << v.size() << " bytes";
    }
  };
  for (std::size_t n : offsets(original.size())) check(std::vector<std::uint8_t>(original.begin(), original.begin() + n));
  for (std::size_t i : offsets(original.size())) {
    for (std::uint8_t x : {0xFF, 0x01, 0x80}) {
      auto v = original;
      v[i] ^= x;
      check(v);
    }
  }
  for (std::size_t i : offsets(original.size() - 3)) {
    for (std::uint32_t value : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0x10000000u}) {
      auto v = original;
      std::memcpy(&v[i], &value, 4);
      check(v);
    }
  }
  EXPECT_GT(refused, 0);
  EXPECT_EQ(clean + refused, variants);
}

TEST(VLDataFormat, MutatedContainersFailCleanly) { ExpectEveryMutationFailsCleanly(WriteVLData(SampleContents())); }

}  // namespace
}  // namespace zelvic::diag

// ---- the library's own container, in the built DLL ---------------------------

#include <windows.h>

#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "diagnostics/config/EOptions.h"
#include "diagnostics/config/EVLData.h"
#include "diagnostics/util/EDisAsm.h"
#include "platform/memory_access.h"
#include "platform/resources.h"
#include "test_support.h"

namespace zelvic::diag {
namespace {

class OwnContainer : public testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryW(test::DllPath().c_str());
    ASSERT_NE(module_, nullptr);
    base_ = reinterpret_cast<std::uintptr_t>(module_);
    bytes_ = platform::ModuleResource(base_, kVLDataResourceName, kRtRcData);
    ASSERT_FALSE(bytes_.empty()) << "the library carries no VLDATA resource";
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }

  HMODULE module_ = nullptr;
  std::uintptr_t base_ = 0;
  std::span<const std::uint8_t> bytes_;
};

TEST_F(OwnContainer, HeaderAndBlocks) {
  EXPECT_TRUE(HasDiagnosticsData(base_));
  EXPECT_EQ(GetDataVersion(base_), 7007);
  std::uint32_t marker;
  std::memcpy(&marker, bytes_.data(), 4);
  EXPECT_EQ(marker, kVLDataMarker7);
  // Use-main-module-options flag 0 and an empty extra area.
  EXPECT_EQ(bytes_[kHeaderUseMainFlag7], 0);
  std::int64_t extra;
  std::memcpy(&extra, &bytes_[kHeaderExtraLength7], 8);
  EXPECT_EQ(extra, 0);

  Recorder r;
  const auto result = LoadVLData(bytes_, r);
  EXPECT_EQ(result.Version, 7007);
  EXPECT_GT(result.BuildDate, 25569.0);  // after 1970
  EXPECT_FALSE(result.Encrypted);        // the empty password opens it
  // The options text: UTF-8 with byte-order mark, CR LF, no final break.
  ASSERT_GT(r.options.size(), 3u);
  EXPECT_EQ(std::string(r.options.begin(), r.options.begin() + 15), "\xEF\xBB\xBF" "Activate=1\r\n");
  EXPECT_NE(r.options.back(), '\n');
  EXPECT_GT(r.debug.size(), 1000u);  // the library's own debug information (a unit table)
  // The project identifier at offset 22 is the options' ProjectID.
  TVarnelModuleOptions options(L"_zelvic.dll");
  ASSERT_TRUE(LoadModuleOptions(base_, options));
  const auto id = options.ProjectId();
  EXPECT_EQ(std::memcmp(&bytes_[22], id.data(), 16), 0);
  EXPECT_NE(id, (std::array<std::uint8_t, 16>{}));
}

// The stored options text is the options writer's own form: saving what was
// loaded from it gives the same bytes, its keys ascend as the platform sorts
// text with case ignored, and it is the checked-in text byte for byte.
TEST_F(OwnContainer, OptionsTextIsInTheWritersForm) {
  Recorder r;
  LoadVLData(bytes_, r);
  ASSERT_GT(r.options.size(), 3u);
  TVarnelModuleOptions options(L"_zelvic.dll");
  options.LoadFromStream(r.options, 7007);
  EXPECT_EQ(options.SaveToStream(false, true), r.options);
  EXPECT_EQ(r.options.size(), 495u);

  std::vector<std::wstring> keys;
  std::string line;
  const std::string text(r.options.begin() + 3, r.options.end());
  for (std::size_t at = 0; at <= text.size();) {
    std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    line = text.substr(at, end - at);
    keys.emplace_back(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(line.find('=')));
    at = end + 2;
  }
  ASSERT_EQ(keys.size(), 24u);
  for (std::size_t i = 1; i < keys.size(); ++i) {
    EXPECT_LT(lstrcmpiW(keys[i - 1].c_str(), keys[i].c_str()), 0) << "after " << std::string(keys[i - 1].begin(), keys[i - 1].end());
  }

  EXPECT_EQ(test::ReadLibraryOptionsText(), r.options);
}

TEST(VLDataFormat, GuidTexts) {
  std::array<std::uint8_t, 16> id{};
  ASSERT_TRUE(ParseGuid(L"{00112233-4455-6677-8899-AABBCCDDEEFF}", id));
  const std::array<std::uint8_t, 16> expected{0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                                              0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  EXPECT_EQ(id, expected);
  EXPECT_TRUE(ParseGuid(L"{00112233-4455-6677-8899-aabbccddeeff}", id));
  for (const wchar_t* bad : {L"", L"00112233-4455-6677-8899-AABBCCDDEEFF", L"{00112233-4455-6677-8899-AABBCCDDEEFG}",
                             L"{0011223344556677-8899-AABBCCDDEEFF-}", L"{00112233-4455-6677-8899-AABBCCDDEEF}"}) {
    EXPECT_FALSE(ParseGuid(bad, id)) << static_cast<const void*>(bad);
  }
}

TEST_F(OwnContainer, MemoryRecordIsTheOptionsRecord) {
  TVarnelModuleOptions options(L"_zelvic.dll");
  ASSERT_TRUE(LoadModuleOptions(base_, options));
  EXPECT_TRUE(options.Loaded());
  const TMemoryFilterOptions record = options.MemoryFilterOptions();
  EXPECT_EQ(std::memcmp(&bytes_[kHeaderMemoryRecord7], record.Bytes, 16), 0);
  // loEnableMMDebugMode, loShareMM and the defaults of this library's text.
  EXPECT_EQ(bytes_[kHeaderMemoryRecord7], 0xB6);
  EXPECT_EQ(bytes_[kHeaderMemoryRecord7 + 1], 0x7C);
  const auto early = ReadEarlyMemoryOptions(base_);
  ASSERT_TRUE(early.has_value());
  EXPECT_TRUE(early->FilterActive);
  EXPECT_FALSE(early->UseMainModuleOptions);
}

TEST_F(OwnContainer, CodeLocationsNameShutDownProcedures) {
  const auto locations = CodeLocationsOf(bytes_);
  ASSERT_EQ(locations.size(), 4u);
  const std::uint8_t ids[] = {12, 13, 15, 16};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(locations[i].Identifier, ids[i]);
    EXPECT_GT(locations[i].Size, 0u);
    // Each is a whole routine in the code: it decodes as valid instructions
    // that end exactly where the next routine begins.
    const auto start = static_cast<std::uint32_t>(base_ + 0x1000 + locations[i].Offset);
    MEMORY_BASIC_INFORMATION mbi{};
    ASSERT_NE(VirtualQuery(reinterpret_cast<const void*>(start), &mbi, sizeof mbi), 0u);
    EXPECT_TRUE(mbi.Protect & (PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE)) << int(ids[i]);
    platform::TLiveMemory memory(platform::ApplicationAddressSpace(disasm::kDefaultReadableMask));
    std::uint32_t at = start;
    while (at < start + locations[i].Size) {
      const disasm::TDisasmInstruction ins = disasm::DecodeInstruction(memory, at, false);
      ASSERT_TRUE(ins.Valid) << "location " << int(ids[i]) << " at +" << (at - start);
      at = ins.End;
    }
    EXPECT_EQ(at, start + locations[i].Size) << "location " << int(ids[i]);
  }
  for (const auto& l : locations) EXPECT_NE(l.Identifier, 25);
}

// The symbols of the plain link as nm lists them (demangled), written by the
// build next to this program: name -> address.
std::map<std::string, std::uintptr_t> PlainLinkSymbols() {
  std::wstring path = test::SelfPath();
  path.resize(path.find_last_of(L"\\/") + 1);
  path += L"zelvic_plain_symbols.txt";
  std::ifstream in(path.c_str());
  std::map<std::string, std::uintptr_t> symbols;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string address, kind;
    if (!(fields >> address >> kind)) continue;
    std::string name;
    std::getline(fields >> std::ws, name);
    symbols[name] = static_cast<std::uintptr_t>(std::stoul(address, nullptr, 16));
  }
  return symbols;
}

// The library's own FindCodeLocation, reached through the plain link's symbol
// table: the final link leaves every code byte where the plain link put it
// (the build checks that), and both use one image base. It answers from the
// library's own resource, so its answers must be the addresses nm gives the
// shut-down procedures, moved to where the library is loaded.
TEST_F(OwnContainer, FindCodeLocationAnswersTheSymbolsOfThePlainLink) {
  const auto symbols = PlainLinkSymbols();
  ASSERT_FALSE(symbols.empty()) << "zelvic_plain_symbols.txt is missing next to the test program";
  // Demangling drops the target's leading underscore from every name.
  const auto image_base = symbols.find("_image_base__");
  const auto find = symbols.find("zelvic::diag::FindCodeLocation(unsigned char)");
  ASSERT_TRUE(image_base != symbols.end()) << "no __image_base__ in the plain link's symbols";
  ASSERT_TRUE(find != symbols.end()) << "FindCodeLocation is not in the library";
  const auto in_library = [&](std::uintptr_t address) { return base_ + (address - image_base->second); };
  const auto library_find = reinterpret_cast<decltype(&FindCodeLocation)>(in_library(find->second));

  const std::pair<std::uint8_t, const char*> expected[] = {
      {12, "zelvic_ETypesDone"},
      {13, "zelvic_ExceptionPointsDone"},
      {15, "zelvic_LocaleDone"},
      {16, "zelvic_ProcessDetach"},
  };
  for (const auto& [identifier, name] : expected) {
    const auto symbol = symbols.find(name);
    ASSERT_TRUE(symbol != symbols.end()) << name << " is not in the library";
    EXPECT_EQ(library_find(identifier), std::optional<std::uintptr_t>(in_library(symbol->second)))
        << "code location " << int(identifier) << ", " << name;
  }
  for (const std::uint8_t absent : {0, 14, 17, 25, 255}) {
    EXPECT_EQ(library_find(absent), std::nullopt) << int(absent);
  }
  // This program's copy reads this program's resources, which carry no container.
  EXPECT_EQ(FindCodeLocation(12), std::nullopt);
}

TEST_F(OwnContainer, MutatedCopiesFailCleanly) {
  // The real container is large: its head densely, its compressed blocks
  // sampled.
  ExpectEveryMutationFailsCleanly(std::vector<std::uint8_t>(bytes_.begin(), bytes_.end()), 211);
}

}  // namespace
}  // namespace zelvic::diag
