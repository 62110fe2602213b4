// The PE image reader against real modules of this process (the test program,
// _zelvic.dll, Wine's kernel32 and its forwarders) and against hand-made
// images that lie about their sizes and offsets.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "diagnostics/debuginfo/EPEImage.h"
#include "pe_builder.h"
#include "pe_exports.h"
#include "platform/text_compare.h"
#include "test_support.h"

namespace zelvic::diag {
namespace {

// ---------------------------------------------------------------------------
// A small PE32 file: ".text" at RVA 0x1000 (file 0x200), ".rdata" at RVA
// 0x2000 (file 0x400) holding the export directory and its tables, an 8-bit
// string just past the directory's end, and an optional debug directory.

using namespace test::pe;

constexpr std::uint32_t kRdataRva = 0x2000;
constexpr std::uint32_t kRdataFile = 0x400;
constexpr std::uint32_t kRdataSize = 0x1000;
constexpr std::uint32_t kFileSize = kRdataFile + kRdataSize;

struct Export {
  Export(std::string n, std::uint32_t r, std::string f = {}, int i = -1)
      : name(std::move(n)), rva(r), forwarder(std::move(f)), index(i) {}
  std::string name;
  std::uint32_t rva;      // ignored for a forwarder
  std::string forwarder;  // non-empty: forwarded
  int index;              // ordinal index; -1: its place in the list
};

struct Built {
  std::vector<std::uint8_t> bytes;
  std::uint32_t functions = 0;   // file offsets of the tables
  std::uint32_t names = 0;
  std::uint32_t ordinals = 0;
  std::vector<std::uint32_t> name_strings;
  std::vector<std::uint32_t> forwarder_strings;  // 0 for a plain export
  std::uint32_t dir_end_rva = 0;
};

std::uint32_t RdataOffset(std::uint32_t rva) { return rva - kRdataRva + kRdataFile; }

Built BuildPe(const std::vector<Export>& exports, std::uint32_t base = 1, bool debug_dir = false,
              const char* dll_name = "test.dll") {
  Built out;
  Headers headers;
  headers.time_date_stamp = 0x5F000000;
  headers.base_of_data = kRdataRva;
  headers.size_of_image = 0x3000;
  headers.sections = {{".text", 0x1000, 0x100, 0x200, 0x200, 0x60000020},
                      {".rdata", kRdataRva, kRdataSize, kRdataFile, kRdataSize, 0x40000040}};
  out.bytes = WriteHeaders(headers, kFileSize);
  auto& b = out.bytes;

  int functions = 0;
  for (std::size_t i = 0; i < exports.size(); ++i) {
    functions = std::max(functions, (exports[i].index < 0 ? static_cast<int>(i) : exports[i].index) + 1);
  }
  std::uint32_t cursor = kRdataRva + 40;
  const std::uint32_t functions_rva = cursor;
  cursor += 4 * functions;
  const std::uint32_t names_rva = cursor;
  cursor += 4 * static_cast<std::uint32_t>(exports.size());
  const std::uint32_t ordinals_rva = cursor;
  cursor += 2 * static_cast<std::uint32_t>(exports.size());
  const auto put_string = [&](const std::string& s) {
    const std::uint32_t rva = cursor;
    std::memcpy(&b[RdataOffset(rva)], s.c_str(), s.size() + 1);
    cursor += static_cast<std::uint32_t>(s.size()) + 1;
    return rva;
  };
  const std::uint32_t dll_name_rva = put_string(dll_name);
  for (std::size_t i = 0; i < exports.size(); ++i) {
    const auto& e = exports[i];
    const std::uint32_t o = e.index < 0 ? static_cast<std::uint32_t>(i) : static_cast<std::uint32_t>(e.index);
    const std::uint32_t name_rva = put_string(e.name);
    out.name_strings.push_back(RdataOffset(name_rva));
    Put32(b, RdataOffset(names_rva) + 4 * static_cast<std::uint32_t>(i), name_rva);
    Put16(b, RdataOffset(ordinals_rva) + 2 * static_cast<std::uint32_t>(i), static_cast<std::uint16_t>(o));
    std::uint32_t target = e.rva;
    out.forwarder_strings.push_back(0);
    if (!e.forwarder.empty()) {
      target = put_string(e.forwarder);
      out.forwarder_strings.back() = RdataOffset(target);
    }
    Put32(b, RdataOffset(functions_rva) + 4 * o, target);
  }
  const std::uint32_t dir_size = cursor - kRdataRva;
  out.dir_end_rva = cursor;
  put_string("TAIL.AtEnd");

  const std::uint32_t dir = RdataOffset(kRdataRva);
  Put32(b, dir + 12, dll_name_rva);
  Put32(b, dir + 16, base);
  Put32(b, dir + 20, static_cast<std::uint32_t>(functions));
  Put32(b, dir + 24, static_cast<std::uint32_t>(exports.size()));
  Put32(b, dir + 28, functions_rva);
  Put32(b, dir + 32, names_rva);
  Put32(b, dir + 36, ordinals_rva);
  Put32(b, kDataDirs, kRdataRva);
  Put32(b, kDataDirs + 4, dir_size);
  out.functions = RdataOffset(functions_rva);
  out.names = RdataOffset(names_rva);
  out.ordinals = RdataOffset(ordinals_rva);

  if (debug_dir) {
    const std::uint32_t at = (cursor + 7) & ~7u;
    for (std::uint32_t k = 0; k < 2; ++k) {
      const std::uint32_t e = RdataOffset(at) + 28 * k;
      Put32(b, e + 4, 0x11110000 + k);  // TimeDateStamp
      Put32(b, e + 12, 2 + k);          // Type
      Put32(b, e + 16, 0x40);           // SizeOfData
    }
    Put32(b, kDataDirs + 8 * 6, at);
    Put32(b, kDataDirs + 8 * 6 + 4, 56);
  }
  return out;
}

bool SameText(const std::wstring& a, const std::wstring& b) { return platform::CompareTextIgnoreCase(a, b) == 0; }

std::vector<std::wstring> Names(const TVLPeExportFuncList& list) {
  std::vector<std::wstring> names;
  for (int i = 0; i < list.Count(); ++i) names.push_back(list.GetItems(i)->Name());
  return names;
}

const std::vector<Export> kFourExports = {
    {"Gamma", 0x1010, "", 2},
    {"alpha", 0x1030, "", 0},
    {"Beta", 0, "LIBX.Beta", 3},
    {"Delta", 0x1010, "", 1},
};

// ---------------------------------------------------------------------------
// Hand-made images

TEST(PeImageBytes, ReadsHeadersSectionsAndExportsInBothLayouts) {
  const Built pe = BuildPe(kFourExports, 5, true);
  const std::vector<std::uint8_t> image_bytes = ToImageLayout(pe.bytes);
  for (const TPeLayout layout : {TPeLayout::kFile, TPeLayout::kImage}) {
    SCOPED_TRACE(layout == TPeLayout::kFile ? "file layout" : "image layout");
    const auto& bytes = layout == TPeLayout::kFile ? pe.bytes : image_bytes;
    TVLPeImage image;
    image.LoadFromBytes(bytes, layout, L"X:\\made\\test.dll");
    ASSERT_EQ(image.Status(), stOk);
    EXPECT_EQ(image.Target(), taWin32);
    EXPECT_EQ(image.AttachedImage(), layout == TPeLayout::kImage);
    EXPECT_EQ(image.DOSHeader().e_lfanew, static_cast<std::int32_t>(kNt));
    EXPECT_EQ(image.COFFHeader().NumberOfSections, 2);
    EXPECT_EQ(image.COFFHeader().TimeDateStamp, 0x5F000000u);
    EXPECT_EQ(image.OptionalHeader32().SizeOfImage, 0x3000u);
    EXPECT_EQ(image.OptionalHeader64().SizeOfImage, 0u);  // not a PE32+ image
    EXPECT_EQ(image.MappedAddress(), bytes.data());
    ASSERT_EQ(image.ImageSections().size(), 2u);
    EXPECT_EQ(image.ImageSections()[0].Name, L".text");
    EXPECT_EQ(image.ImageSections()[1].Name, L".rdata");
    TImageSectionHeader header;
    ASSERT_TRUE(image.GetSectionHeader(L".RDATA", header));
    EXPECT_EQ(header.VirtualAddress, kRdataRva);
    EXPECT_FALSE(image.GetSectionHeader(L".bss", header));
    EXPECT_EQ(header.VirtualAddress, 0u);
    EXPECT_EQ(image.GetDirectories(0).VirtualAddress, kRdataRva);
    EXPECT_TRUE(image.GetDirectoryExists(0));
    EXPECT_FALSE(image.GetDirectoryExists(1));
    EXPECT_EQ(image.GetDirectories(16).VirtualAddress, 0u);
    EXPECT_EQ(image.DirectoryEntryToData(0).size(), image.GetDirectories(0).Size);

    auto& list = image.ExportList();
    EXPECT_EQ(list.Name(), L"test.dll");
    EXPECT_EQ(list.Base(), 5u);
    EXPECT_EQ(list.FunctionCount(), 4u);
    EXPECT_TRUE(list.AnyForwards());
    EXPECT_FALSE(list.Sorted());
    ASSERT_EQ(Names(list), (std::vector<std::wstring>{L"Gamma", L"alpha", L"Beta", L"Delta"}));
    const auto* gamma = list.GetItems(0);
    EXPECT_EQ(gamma->Hint(), 0);
    EXPECT_EQ(gamma->Ordinal(), 7);
    EXPECT_EQ(gamma->Address(), 0x1010u);
    EXPECT_EQ(gamma->AddressOrForwardStr(), L"00001010");
    EXPECT_EQ(gamma->SectionName(), L".text");
    EXPECT_FALSE(gamma->IsExportedVariable());
    EXPECT_EQ(gamma->MappedAddress(), image.RvaToVa(0x1010));
    EXPECT_EQ(gamma->MappedAddress(),
              bytes.data() + (layout == TPeLayout::kFile ? 0x210 : 0x1010));
    const auto* beta = list.GetItems(2);
    EXPECT_TRUE(beta->IsForwarded());
    EXPECT_EQ(beta->ForwardedName(), L"LIBX.Beta");
    EXPECT_EQ(beta->AddressOrForwardStr(), L"LIBX.Beta");
    EXPECT_EQ(beta->ForwardedLibName(), L"libx.dll");
    EXPECT_EQ(beta->ForwardedFuncName(), L"Beta");
    EXPECT_EQ(beta->SectionName(), L"");
    EXPECT_TRUE(list.OrdinalValid(5));
    EXPECT_TRUE(list.OrdinalValid(8));
    EXPECT_FALSE(list.OrdinalValid(4));
    EXPECT_FALSE(list.OrdinalValid(9));
    EXPECT_EQ(list.GetItemFromOrdinal(6)->Name(), L"Delta");
    EXPECT_EQ(list.GetItemFromAddress(0x1010)->Name(), L"Gamma");

    auto& debug = image.DebugList();
    ASSERT_EQ(debug.Count(), 2);
    EXPECT_EQ(debug.GetItems(1).TimeDateStamp, 0x11110001u);
    EXPECT_EQ(debug.GetItems(1).Type, 3u);
    EXPECT_EQ(debug.GetItems(2).Type, 0u);
  }
}

TEST(PeImageBytes, ForwarderForms) {
  struct Case {
    const char* forwarder;
    const wchar_t* lib;
    const wchar_t* func;
    std::uint32_t ordinal;
    const wchar_t* dot_part;
  };
  const Case cases[] = {
      {"KERNEL32.#12", L"kernel32.dll", L"", 12, L"#12"},
      {"NTDLL.RtlAllocateHeap", L"ntdll.dll", L"RtlAllocateHeap", 0, L"RtlAllocateHeap"},
      {"krnl386.exe16.FT_Thunk", L"krnl386.exe16", L"FT_Thunk", 0, L"FT_Thunk"},
      {"api-ms-win-core-file-l1-1-0.CreateFileW", L"api-ms-win-core-file-l1-1-0.dll", L"CreateFileW", 0,
       L"CreateFileW"},
      {"Lib.", L"", L"", 0, L""},
      {"LIB.#x1", L"lib.dll", L"", 0, L"#x1"},
      {"NoDotHere", L"", L"", 0, L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.forwarder);
    const Built pe = BuildPe({{"F", 0, c.forwarder}});
    TVLPeImage image;
    image.LoadFromBytes(pe.bytes, TPeLayout::kFile);
    auto& list = image.ExportList();
    ASSERT_EQ(list.Count(), 1);
    const auto* item = list.GetItems(0);
    EXPECT_TRUE(item->IsForwarded());
    EXPECT_EQ(item->ForwardedDotPos(), c.dot_part);
    EXPECT_EQ(item->ForwardedLibName(), c.lib);
    EXPECT_EQ(item->ForwardedFuncName(), c.func);
    EXPECT_EQ(item->ForwardedFuncOrdinal(), c.ordinal);
  }
}

TEST(PeImageBytes, FunctionAtTheDirectoryEndIsAForwarder) {
  Built pe = BuildPe({{"Inside", 0x1010}, {"AtEnd", 0x1020}, {"PastEnd", 0x1030}});
  Put32(pe.bytes, pe.functions + 4, pe.dir_end_rva);
  Put32(pe.bytes, pe.functions + 8, pe.dir_end_rva + 1);
  TVLPeImage image;
  image.LoadFromBytes(pe.bytes, TPeLayout::kFile);
  auto& list = image.ExportList();
  ASSERT_EQ(list.Count(), 3);
  EXPECT_FALSE(list.GetItems(0)->IsForwarded());
  EXPECT_EQ(list.GetItems(1)->ForwardedName(), L"TAIL.AtEnd");
  EXPECT_FALSE(list.GetItems(2)->IsForwarded());
  EXPECT_EQ(list.GetItems(2)->Address(), pe.dir_end_rva + 1);
}

TEST(PeImageBytes, ExportedVariableIsAtOrAboveBaseOfData) {
  Built pe = BuildPe({{"Code", 0x27FF}, {"Data", 0x2800}, {"More", 0x2900}});
  Put32(pe.bytes, kOptional + 24, 0x2800);  // BaseOfData
  TVLPeImage image;
  image.LoadFromBytes(pe.bytes, TPeLayout::kFile);
  auto& list = image.ExportList();
  ASSERT_EQ(list.Count(), 3);
  EXPECT_FALSE(list.GetItems(0)->IsExportedVariable());
  EXPECT_TRUE(list.GetItems(1)->IsExportedVariable());
  EXPECT_TRUE(list.GetItems(2)->IsExportedVariable());
  EXPECT_EQ(list.GetItems(1)->SectionName(), L".rdata");
}

TEST(PeImageBytes, SectionNamesAreUtf8ElseAnsi) {
  Built pe = BuildPe({});
  // ".été" in UTF-8 fills seven bytes; a lone 0xE9 is not UTF-8.
  std::memcpy(&pe.bytes[kSections], ".\xC3\xA9t\xC3\xA9\0", 8);
  std::memcpy(&pe.bytes[kSections + 40], "X\xE9tabcde", 8);  // all eight bytes, no zero
  TVLPeImage image;
  image.LoadFromBytes(pe.bytes, TPeLayout::kFile);
  ASSERT_EQ(image.Status(), stOk);
  EXPECT_EQ(image.ImageSections()[0].Name, L".\u00E9t\u00E9");
  EXPECT_EQ(image.ImageSections()[1].Name, platform::FromAnsiCodePage("X\xE9tabcde"));
  EXPECT_EQ(image.ImageSections()[1].Name.size(), 8u);

  struct Utf8Case {
    const char* bytes;
    bool valid;
  };
  const Utf8Case utf8[] = {
      {"plain", true},        {"\xC3\xA9", true},          {"\xF0\x9F\x98\x80", true},
      {"\xC0\xAF", false},    {"\xED\xA0\x80", false},     {"\xF4\x90\x80\x80", false},
      {"\xC3", false},        {"\x80", false},             {"\xE2\x82", false},
  };
  for (const auto& c : utf8) {
    SCOPED_TRACE(c.bytes);
    std::wstring text;
    EXPECT_EQ(DecodeUtf8Strict(c.bytes, text), c.valid);
  }
  std::wstring emoji;
  ASSERT_TRUE(DecodeUtf8Strict("\xF0\x9F\x98\x80", emoji));
  EXPECT_EQ(emoji, std::wstring(L"\xD83D\xDE00"));
}

TEST(PeImageBytes, BrokenHeadersGiveACleanStatus) {
  struct Case {
    const char* what;
    void (*spoil)(std::vector<std::uint8_t>&);
    TVLPeImageStatus status;
  };
  const Case cases[] = {
      {"empty", [](auto& b) { b.clear(); }, stNotPE},
      {"shorter than the DOS header", [](auto& b) { b.resize(63); }, stNotPE},
      {"no MZ", [](auto& b) { b[0] = 'X'; }, stNotPE},
      {"e_lfanew zero", [](auto& b) { Put32(b, 60, 0); }, stNotPE},
      {"e_lfanew negative", [](auto& b) { Put32(b, 60, 0x80000000u); }, stNotPE},
      {"e_lfanew past the end", [](auto& b) { Put32(b, 60, kFileSize + 16); }, stNotPE},
      {"NT headers cut by the end", [](auto& b) { Put32(b, 60, kFileSize - 100); }, stNotPE},
      {"e_lfanew near 4 GiB", [](auto& b) { Put32(b, 60, 0x7FFFFFF8u); }, stNotPE},
      {"no PE signature", [](auto& b) { b[kNt + 1] = 'X'; }, stNotPE},
      {"unknown machine", [](auto& b) { Put16(b, kFileHeader, 0x1C0); }, stNotSupported},
      {"PE32+ headers cut by the end",
       [](auto& b) {
         Put16(b, kFileHeader, 0x8664);
         Put32(b, 60, kFileSize - 250);
         std::memcpy(&b[kFileSize - 250], "PE\0\0\x64\x86", 6);
       },
       stNotPE},
      {"section table past the end", [](auto& b) { Put16(b, kFileHeader + 2, 0xFFFF); }, stNotPE},
      {"optional header size past the end", [](auto& b) { Put16(b, kFileHeader + 16, 0xFFFF); }, stNotPE},
      {"section table cut by the end", [](auto& b) { b.resize(kSections + 60); }, stNotPE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Built pe = BuildPe(kFourExports);
    c.spoil(pe.bytes);
    for (const TPeLayout layout : {TPeLayout::kFile, TPeLayout::kImage}) {
      TVLPeImage image;
      image.LoadFromBytes(pe.bytes, layout);
      EXPECT_EQ(image.Status(), c.status);
      EXPECT_EQ(image.MappedAddress(), nullptr);
      EXPECT_TRUE(image.ImageSections().empty());
      EXPECT_EQ(image.ExportList().Count(), 0);
      EXPECT_EQ(image.DebugList().Count(), 0);
      EXPECT_EQ(image.GetDirectories(0).VirtualAddress, 0u);
      EXPECT_EQ(image.DOSHeader().e_magic, 0);
    }
  }
}

// Each case spoils one table of the export directory; `kept` are the names
// still listed.
TEST(PeImageBytes, LyingExportDirectoriesGiveShorterLists) {
  struct Case {
    const char* what;
    void (*spoil)(Built&);
    std::vector<std::wstring> kept;
  };
  const Case cases[] = {
      {"directory RVA outside every section", [](Built& pe) { Put32(pe.bytes, kDataDirs, 0x9000); }, {}},
      {"directory header cut by the section end",
       [](Built& pe) { Put32(pe.bytes, kDataDirs, kRdataRva + kRdataSize - 20); }, {}},
      {"huge NumberOfNames", [](Built& pe) { Put32(pe.bytes, kRdataFile + 24, 0x40000000); }, {}},
      {"NumberOfNames past the table", [](Built& pe) { Put32(pe.bytes, kRdataFile + 24, 0x00100000); }, {}},
      {"huge NumberOfFunctions", [](Built& pe) { Put32(pe.bytes, kRdataFile + 20, 0xFFFFFFFF); }, {}},
      {"NumberOfFunctions past the section", [](Built& pe) { Put32(pe.bytes, kRdataFile + 20, 0x00100000); }, {}},
      {"AddressOfNames outside", [](Built& pe) { Put32(pe.bytes, kRdataFile + 32, 0x7FFFFFF0); }, {}},
      {"AddressOfNameOrdinals outside", [](Built& pe) { Put32(pe.bytes, kRdataFile + 36, 0xFFFFFFFF); }, {}},
      {"AddressOfFunctions in the header gap", [](Built& pe) { Put32(pe.bytes, kRdataFile + 28, 0x300); }, {}},
      {"one name pointer outside",
       [](Built& pe) { Put32(pe.bytes, pe.names + 4, 0xFFFFFFFE); },
       {L"Gamma", L"Beta", L"Delta"}},
      {"one name pointer past a section's raw data",
       [](Built& pe) { Put32(pe.bytes, pe.names, 0x1F00); },
       {L"alpha", L"Beta", L"Delta"}},
      {"one ordinal index past NumberOfFunctions",
       [](Built& pe) { Put16(pe.bytes, pe.ordinals + 6, 4); },
       {L"Gamma", L"alpha", L"Beta"}},
      {"name without terminator up to the section end",
       [](Built& pe) {
         Put32(pe.bytes, pe.names + 2 * 4, kRdataRva + kRdataSize - 3);
         std::memset(&pe.bytes[kFileSize - 3], 'n', 3);
       },
       {L"Gamma", L"alpha", L"Delta"}},
      {"forwarder without terminator up to the section end",
       [](Built& pe) {
         Put32(pe.bytes, kDataDirs + 4, kRdataSize);
         Put32(pe.bytes, pe.functions + 3 * 4, kRdataRva + kRdataSize - 4);
         std::memset(&pe.bytes[kFileSize - 4], 'f', 4);
       },
       {L"Gamma", L"alpha", L"Delta"}},
      {"forwarder without terminator, raw size past the file end",
       [](Built& pe) {
         Put32(pe.bytes, kSections + 40 + 16, 0x7FFFFFFF);
         Put32(pe.bytes, kDataDirs + 4, kRdataSize);
         Put32(pe.bytes, pe.functions + 3 * 4, kRdataRva + kRdataSize - 4);
         std::memset(&pe.bytes[kFileSize - 4], 'f', 4);
       },
       {L"Gamma", L"alpha", L"Delta"}},
      {"ordinal above 65535", [](Built& pe) { Put32(pe.bytes, kRdataFile + 16, 65534); }, {L"alpha", L"Delta"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Built pe = BuildPe(kFourExports);
    c.spoil(pe);
    TVLPeImage image;
    image.LoadFromBytes(pe.bytes, TPeLayout::kFile);
    ASSERT_EQ(image.Status(), stOk);
    auto& list = image.ExportList();
    EXPECT_EQ(Names(list), c.kept);
    list.PrepareForFastNameSearch();
    for (const auto& name : c.kept) EXPECT_NE(list.GetItemFromName(name), nullptr);
  }
}

TEST(PeImageBytes, DirectorySizeCoveringEverythingStaysInBounds) {
  Built pe = BuildPe(kFourExports);
  Put32(pe.bytes, kDataDirs + 4, 0xFFFFFFF0);  // the range wraps 32 bits
  TVLPeImage image;
  image.LoadFromBytes(pe.bytes, TPeLayout::kFile);
  auto& list = image.ExportList();
  EXPECT_EQ(Names(list), (std::vector<std::wstring>{L"Gamma", L"alpha", L"Beta", L"Delta"}));
  EXPECT_TRUE(list.GetItems(2)->IsForwarded());
  EXPECT_FALSE(list.GetItems(0)->IsForwarded());
  EXPECT_TRUE(image.DirectoryEntryToData(0).empty());
}

TEST(PeImageBytes, DebugDirectoryThatLiesIsEmpty) {
  const std::pair<const char*, std::uint32_t> sizes[] = {{"more entries than the section", 28 * 1000},
                                                         {"huge", 0xFFFFFFE4u}};
  for (const auto& [what, size] : sizes) {
    SCOPED_TRACE(what);
    Built pe = BuildPe(kFourExports, 1, true);
    Put32(pe.bytes, kDataDirs + 8 * 6 + 4, size);
    TVLPeImage image;
    image.LoadFromBytes(pe.bytes, TPeLayout::kFile);
    EXPECT_EQ(image.DebugList().Count(), 0);
  }
  Built pe = BuildPe(kFourExports, 1, true);
  Put32(pe.bytes, kDataDirs + 8 * 6, 0x9000);
  TVLPeImage image;
  image.LoadFromBytes(pe.bytes, TPeLayout::kFile);
  EXPECT_EQ(image.DebugList().Count(), 0);
}

// A resource directory in .rdata: RCDATA entries under the given names (a
// null name is an entry by number), each with one language.
void PutResources(std::vector<std::uint8_t>& b, const std::vector<const char*>& rcdata_names) {
  constexpr std::uint32_t kResRva = kRdataRva + 0x800;
  const std::uint32_t base = RdataOffset(kResRva);
  // Root: one id entry (type 10) -> names table at 0x20.
  Put16(b, base + 14, 1);
  Put32(b, base + 16, 10);
  Put32(b, base + 20, 0x80000000u | 0x20);
  std::uint16_t named = 0, ids = 0;
  for (const char* n : rcdata_names) ++(n != nullptr ? named : ids);
  Put16(b, base + 0x20 + 12, named);
  Put16(b, base + 0x20 + 14, ids);
  std::uint32_t strings = 0x200, languages = 0x100;
  for (std::size_t i = 0; i < rcdata_names.size(); ++i) {
    const std::uint32_t entry = base + 0x20 + 16 + 8 * static_cast<std::uint32_t>(i);
    if (rcdata_names[i] != nullptr) {
      const std::string name = rcdata_names[i];
      Put32(b, entry, 0x80000000u | strings);
      Put16(b, base + strings, static_cast<std::uint16_t>(name.size()));
      for (std::size_t k = 0; k < name.size(); ++k) {
        Put16(b, base + strings + 2 + 2 * static_cast<std::uint32_t>(k), static_cast<std::uint8_t>(name[k]));
      }
      strings += 2 + 2 * static_cast<std::uint32_t>(name.size()) + 2;
    } else {
      Put32(b, entry, 100 + static_cast<std::uint32_t>(i));
    }
    Put32(b, entry + 4, 0x80000000u | languages);
    Put16(b, base + languages + 14, 1);  // one language entry
    languages += 0x18;
  }
  Put32(b, kDataDirs + 8 * 2, kResRva);
  Put32(b, kDataDirs + 8 * 2 + 4, 0x400);
}

// Package and tool-chain marks come from the image's own RCDATA names, in
// either layout; lying directories answer false.
TEST(PeImageBytes, PackageAndToolChainMarksFromTheImagesResources) {
  struct Case {
    const char* what;
    std::vector<const char*> names;
    bool package, borland;
  } cases[] = {
      {"none", {}, false, false},
      {"both package resources", {"PACKAGEINFO", "PackageOptions"}, true, true},
      {"licence only", {nullptr, "DVCLAL"}, false, true},
      {"one package resource", {"PACKAGEINFO", "VLDATA"}, false, false},
      {"longer name", {"PACKAGEINFOX", "PACKAGEOPTIONS", "DVCLALL"}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Built built = BuildPe({{"A", 0x1010}});
    if (!c.names.empty()) PutResources(built.bytes, c.names);
    const auto image_bytes = ToImageLayout(built.bytes);
    for (const bool loaded : {false, true}) {
      TVLPeBorImage image;
      image.LoadFromBytes(loaded ? std::span<const std::uint8_t>(image_bytes) : std::span<const std::uint8_t>(built.bytes),
                          loaded ? TPeLayout::kImage : TPeLayout::kFile);
      ASSERT_TRUE(image.StatusOK());
      EXPECT_EQ(image.IsPackage(), c.package);
      EXPECT_EQ(image.IsBorlandImage(), c.borland);
      image.Clear();
      EXPECT_FALSE(image.IsPackage());
      EXPECT_FALSE(image.IsBorlandImage());
    }
  }
  // Counts and offsets that point out of the directory.
  Built built = BuildPe({{"A", 0x1010}});
  PutResources(built.bytes, {"DVCLAL"});
  const std::uint32_t base = RdataOffset(kRdataRva + 0x800);
  const struct {
    std::uint32_t at, value;
  } lies[] = {{base + 20, 0x80000000u | 0x7FFFFFF0u}, {base + 0x20 + 16, 0xFFFFFFFFu},
              {base + 0x20 + 20, 0x80000000u | 0x3FC}, {kDataDirs + 8 * 2 + 4, 0x30}};
  for (const auto& lie : lies) {
    std::vector<std::uint8_t> bytes = built.bytes;
    Put32(bytes, lie.at, lie.value);
    TVLPeBorImage image;
    image.LoadFromBytes(bytes, TPeLayout::kFile);
    EXPECT_FALSE(image.IsBorlandImage()) << lie.at;
  }
  Put16(built.bytes, base + 14, 0xFFFF);  // more type entries than the directory holds
  TVLPeBorImage image;
  image.LoadFromBytes(built.bytes, TPeLayout::kFile);
  EXPECT_TRUE(image.IsBorlandImage());  // found before the count runs out
}

TEST(PeImageBytes, RvaToSectionFallsBackToVirtualSizeWithoutRawData) {
  Built pe = BuildPe({});
  Put32(pe.bytes, kSections + 16, 0);  // .text: no raw data, 0x100 virtual
  TVLPeImage image;
  image.LoadFromBytes(pe.bytes, TPeLayout::kFile);
  ASSERT_EQ(image.Status(), stOk);
  ASSERT_NE(image.RvaToSection(0x1100), nullptr);
  EXPECT_EQ(image.RvaToSection(0x1100)->Name, L".text");
  EXPECT_EQ(image.RvaToSection(0x1101), nullptr);
  EXPECT_EQ(image.RvaToVa(0x1010), nullptr);  // no file bytes back it
  EXPECT_EQ(image.RvaToSection(kRdataRva + kRdataSize - 1)->Name, L".rdata");
}

// ---------------------------------------------------------------------------
// Sorting and searching

std::vector<std::wstring> Keys(const TVLPeExportFuncList& list, TVLPeExportSort sort) {
  std::vector<std::wstring> keys;
  for (int i = 0; i < list.Count(); ++i) {
    const auto* item = list.GetItems(i);
    keys.push_back(sort == esAddrOrFwd ? item->AddressOrForwardStr() : item->Name());
  }
  return keys;
}

TEST(PeImageSort, EveryOrderAscendingAndDescending) {
  const Built pe = BuildPe(kFourExports);
  TVLPeImage image;
  image.LoadFromBytes(pe.bytes, TPeLayout::kFile);
  auto& list = image.ExportList();
  struct Case {
    TVLPeExportSort sort;
    std::vector<std::wstring> ascending;
  };
  const Case cases[] = {
      {esName, {L"Beta", L"Delta", L"Gamma", L"alpha"}},
      {esOrdinal, {L"alpha", L"Delta", L"Gamma", L"Beta"}},
      {esHint, {L"Gamma", L"alpha", L"Beta", L"Delta"}},
      {esAddress, {L"Delta", L"Gamma", L"alpha", L"Beta"}},
      {esForwarded, {L"Delta", L"Gamma", L"alpha", L"Beta"}},
      {esAddrOrFwd, {L"00001010", L"00001010", L"00001030", L"LIBX.Beta"}},
      {esSection, {L"Beta", L"Delta", L"Gamma", L"alpha"}},
  };
  // The forwarder's address is its text in .rdata, above every code RVA.
  ASSERT_GT(list.GetItemFromName(L"Beta")->Address(), 0x1030u);
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.sort));
    list.SortList(c.sort, false);
    EXPECT_TRUE(list.Sorted());
    EXPECT_EQ(list.LastSortType(), c.sort);
    EXPECT_FALSE(list.LastSortDescending());
    EXPECT_EQ(Keys(list, c.sort), c.ascending);
    list.SortList(c.sort, true);
    EXPECT_TRUE(list.LastSortDescending());
    auto descending = c.ascending;
    std::reverse(descending.begin(), descending.end());
    EXPECT_EQ(Keys(list, c.sort), descending);
  }
}

TEST(PeImageSort, BinarySearchFindsTheLeftmostOfEqualNames) {
  // Seven exports share a name; ordinals tell them apart.
  std::vector<Export> exports;
  const char* others[] = {"Aa", "Bb", "Cc", "Ee", "Ff", "Gg", "Hh", "Ii"};
  for (int i = 0; i < 8; ++i) {
    exports.push_back({others[i], 0x1000u + i});
    if (i < 7) exports.push_back({"Dd", 0x1080u + i});
  }
  const Built pe = BuildPe(exports);
  TVLPeImage image;
  image.LoadFromBytes(pe.bytes, TPeLayout::kFile);
  auto& list = image.ExportList();
  ASSERT_EQ(list.Count(), 15);
  // Unsorted: the linear search takes name-table order.
  EXPECT_EQ(list.GetItemFromName(L"Dd")->Hint(), 1);
  // Sorted by ordinal descending: still linear, first in that order.
  list.SortList(esOrdinal, true);
  EXPECT_EQ(list.GetItemFromName(L"Dd")->Address(), 0x1086u);
  list.PrepareForFastNameSearch();
  for (int i = 0; i < list.Count(); ++i) {
    const auto* item = list.GetItems(i);
    const auto* found = list.GetItemFromName(item->Name());
    ASSERT_NE(found, nullptr);
    // The first item of the sorted list with this name.
    int first = i;
    while (first > 0 && list.GetItems(first - 1)->Name() == item->Name()) --first;
    EXPECT_EQ(found, list.GetItems(first)) << i;
  }
  EXPECT_EQ(list.GetItemFromName(L"Dd")->Address(), 0x1086u);  // ordinal-descending order kept among equals
  EXPECT_EQ(list.GetItemFromName(L"dd"), nullptr);
  EXPECT_EQ(list.GetItemFromName(L"D"), nullptr);
  EXPECT_EQ(list.GetItemFromName(L"Zz"), nullptr);
  EXPECT_EQ(list.GetItemFromName(L""), nullptr);
}

TEST(PeImageSort, SmartNameComparison) {
  struct Case {
    const wchar_t* candidate;
    const wchar_t* wanted;
    TVLSmartCompOptions options;
    bool match;
  };
  const Case cases[] = {
      {L"CreateFileW", L"CreateFileW", 0, true},
      {L"CreateFileW", L"CreateFile", 0, true},
      {L"CreateFileA", L"CreateFile", 0, true},
      {L"CreateFile", L"CreateFileW", 0, false},  // only the candidate loses its suffix
      {L"CreateFileW", L"CreateFile", scSimpleCompare, false},
      {L"CreateFileW", L"createfile", 0, false},
      {L"CreateFileW", L"createfile", scIgnoreCase, true},
      {L"CREATEFILEA", L"CreateFile", scIgnoreCase, true},
      {L"createfilew", L"createfile", scIgnoreCase, false},  // a lower-case w is no suffix
      {L"CreateFileW", L"createfilew", scIgnoreCase | scSimpleCompare, true},
      {L"Get2W", L"Get2", 0, true},
      {L"Get_A", L"Get_", 0, true},
      {L"Get-W", L"Get-", 0, false},
      {L"W", L"", 0, false},
      {L"A", L"A", 0, true},
      {L"CreateFileWW", L"CreateFileW", 0, true},
      {L"CreateFileWW", L"CreateFile", 0, false},
      {L"Process32First", L"Process32FirstW", 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::string(c.candidate, c.candidate + wcslen(c.candidate)) << " / "
                                    << std::string(c.wanted, c.wanted + wcslen(c.wanted)) << " / "
                                    << static_cast<int>(c.options));
    EXPECT_EQ(SmartNameMatches(c.candidate, c.wanted, c.options), c.match);
  }
}

// ---------------------------------------------------------------------------
// Forwarders checked through files on disk

class PeImageFiles : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    dir_ = std::wstring(temp) + L"zelvic_pe_" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(dir_.c_str(), nullptr);
  }
  void TearDown() override {
    for (const auto& f : written_) DeleteFileW(f.c_str());
    RemoveDirectoryW(dir_.c_str());
  }
  std::wstring Write(const wchar_t* name, const std::vector<std::uint8_t>& bytes) {
    const std::wstring path = dir_ + name;
    FILE* f = _wfopen(path.c_str(), L"wb");
    EXPECT_NE(f, nullptr);
    if (f != nullptr) {
      if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
      fclose(f);
    }
    written_.push_back(path);
    return path;
  }
  std::wstring dir_;
  std::vector<std::wstring> written_;
};

TEST_F(PeImageFiles, MappingGivesTheStatusOfTheFile) {
  const Built pe = BuildPe(kFourExports);
  const std::wstring good = Write(L"good.dll", pe.bytes);
  const std::wstring empty = Write(L"empty.dll", {});
  const std::wstring text = Write(L"text.dll", {'h', 'e', 'l', 'l', 'o'});
  struct Case {
    std::wstring path;
    TVLPeImageStatus status;
  };
  const Case cases[] = {
      {good, stOk}, {empty, stNotPE}, {text, stNotPE}, {dir_ + L"missing.dll", stNotFound}, {dir_, stError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    TVLPeImage image;
    image.SetFileName(c.path);
    EXPECT_EQ(image.Status(), c.status);
    EXPECT_EQ(image.FileName(), c.path);
    EXPECT_FALSE(image.AttachedImage());
  }
  TVLPeImage image;
  image.SetFileName(good);
  EXPECT_EQ(Names(image.ExportList()), (std::vector<std::wstring>{L"Gamma", L"alpha", L"Beta", L"Delta"}));
  image.Clear();
  EXPECT_EQ(image.Status(), stNotLoaded);
  EXPECT_EQ(image.ExportList().Count(), 0);
  EXPECT_TRUE(image.FileName().empty());
}

TEST_F(PeImageFiles, ExpandBySearchPathPrefersTheFolderOfTheImage) {
  const std::wstring beside = Write(L"kernel32.dll", {'x'});
  const std::wstring base = dir_ + L"a.dll";
  // A file of that name beside the image wins over the system's.
  EXPECT_EQ(TVLPeImage::ExpandBySearchPath(L"kernel32.dll", base), beside);
  wchar_t system[MAX_PATH];
  ASSERT_NE(GetModuleFileNameW(GetModuleHandleW(L"kernel32.dll"), system, MAX_PATH), 0u);
  const std::wstring elsewhere = TVLPeImage::ExpandBySearchPath(L"kernel32.dll", L"X:\\nowhere\\a.dll");
  EXPECT_TRUE(SameText(elsewhere, system)) << std::string(elsewhere.begin(), elsewhere.end());
  EXPECT_EQ(TVLPeImage::ExpandBySearchPath(L"nosuchlib_zelvic_pe.dll", base), L"nosuchlib_zelvic_pe.dll");
  EXPECT_EQ(TVLPeImage::ExpandBySearchPath(L"", base), L"");
}

TEST_F(PeImageFiles, CheckForwardsThroughCircularAndMissingLibraries) {
  // a.dll forwards to b.dll, to itself and to a library that does not
  // exist; b.dll forwards back to a.dll.
  const Built a = BuildPe({{"Foo", 0, "b.Foo"},
                           {"Bar", 0, "B.Missing"},
                           {"ByOrdinal", 0, "b.#2"},
                           {"BadOrdinal", 0, "b.#9"},
                           {"Self", 0, "a.Self"},
                           {"Gone", 0, "nosuchlib_zelvic_pe.Gone"},
                           {"Plain", 0x1010}},
                          1, false, "a.dll");
  const Built b = BuildPe({{"Foo", 0, "a.Foo"}, {"Other", 0x1010}}, 1, false, "b.dll");
  const std::wstring path_a = Write(L"a.dll", a.bytes);
  Write(L"b.dll", b.bytes);

  const auto check = [](TVLPeExportFuncList& list) {
    const auto state = [&list](const wchar_t* name) { return list.GetItemFromName(name)->ResolveCheck(); };
    EXPECT_EQ(state(L"Foo"), icResolved);
    EXPECT_EQ(state(L"Bar"), icUnresolved);
    EXPECT_EQ(state(L"ByOrdinal"), icResolved);
    EXPECT_EQ(state(L"BadOrdinal"), icUnresolved);
    EXPECT_EQ(state(L"Self"), icResolved);
    EXPECT_EQ(state(L"Gone"), icNotChecked);  // its library never loaded
    EXPECT_EQ(state(L"Plain"), icNotChecked);
    EXPECT_EQ(list.TotalResolveCheck(), icUnresolved);
    const auto& libs = list.ForwardedLibsList();
    ASSERT_EQ(libs.size(), 3u);
    EXPECT_EQ(libs[0].Name, L"a.dll");
    EXPECT_EQ(libs[0].State, icResolved);
    EXPECT_EQ(libs[1].Name, L"b.dll");
    EXPECT_EQ(libs[1].State, icUnresolved);
    EXPECT_EQ(libs[2].Name, L"nosuchlib_zelvic_pe.dll");
    EXPECT_EQ(libs[2].State, icUnresolved);
  };

  {
    SCOPED_TRACE("through a cache");
    TVLPeImagesCache cache;
    TVLPeImage image;
    image.SetFileName(path_a);
    ASSERT_EQ(image.Status(), stOk);
    EXPECT_EQ(image.ExportList().TotalResolveCheck(), icNotChecked);
    image.ExportList().CheckForwards(&cache);
    check(image.ExportList());
    EXPECT_EQ(cache.Count(), 3);
    EXPECT_EQ(cache.GetImages(dir_ + L"b.dll").Status(), stOk);
    EXPECT_EQ(cache.Count(), 3);
    EXPECT_EQ(cache.GetImages(L"nosuchlib_zelvic_pe.dll").Status(), stNotFound);
    // b.dll's own forwarder leads back to a.dll.
    auto& b_list = cache.GetImages(dir_ + L"b.dll").ExportList();
    b_list.CheckForwards(&cache);
    EXPECT_EQ(b_list.GetItemFromName(L"Foo")->ResolveCheck(), icResolved);
    EXPECT_EQ(b_list.TotalResolveCheck(), icResolved);
    cache.Clear();
    EXPECT_EQ(cache.Count(), 0);
  }
  {
    SCOPED_TRACE("without a cache");
    TVLPeImage image;
    image.SetFileName(path_a);
    image.ExportList().CheckForwards(nullptr);
    check(image.ExportList());
  }
  {
    SCOPED_TRACE("the checked image is the cache's own");
    TVLPeImagesCache cache;
    auto& list = cache.GetImages(path_a).ExportList();
    list.CheckForwards(&cache);
    check(list);
  }
}

TEST(PeImageBytes, ImageWithoutForwardsIsNotChecked) {
  const Built pe = BuildPe({{"One", 0x1010}});
  TVLPeImage image;
  image.LoadFromBytes(pe.bytes, TPeLayout::kFile);
  TVLPeImagesCache cache;
  image.ExportList().CheckForwards(&cache);
  EXPECT_EQ(image.ExportList().TotalResolveCheck(), icNotChecked);
  EXPECT_EQ(cache.Count(), 0);
}

// ---------------------------------------------------------------------------
// Live memory and real modules

TEST(PeImageLive, AttachReadsOnlyCommittedMemory) {
  const Built pe = BuildPe(kFourExports);
  std::vector<std::uint8_t> layout = ToImageLayout(pe.bytes);
  // The image's first 0x3000 bytes are committed; SizeOfImage claims far
  // more, and the rest of the reservation is not committed.
  auto* base = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 0x100000, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(base, nullptr);
  ASSERT_NE(VirtualAlloc(base, 0x3000, MEM_COMMIT, PAGE_READWRITE), nullptr);
  Put32(layout, kOptional + 56, 0x100000);
  std::memcpy(base, layout.data(), layout.size());
  const auto handle = reinterpret_cast<std::uintptr_t>(base);
  {
    TVLPeImage image;
    image.AttachLoadedModule(handle | 1, L"X:\\made\\live.dll");  // a resource-only handle
    ASSERT_EQ(image.Status(), stOk);
    EXPECT_TRUE(image.AttachedImage());
    EXPECT_EQ(image.LibHandle(), handle | 1);
    EXPECT_EQ(image.MappedAddress(), base);
    EXPECT_EQ(image.Bytes().size(), 0x3000u);
    EXPECT_EQ(Names(image.ExportList()), (std::vector<std::wstring>{L"Gamma", L"alpha", L"Beta", L"Delta"}));
    EXPECT_EQ(image.RvaToVa(0x2FFF), base + 0x2FFF);
    EXPECT_EQ(image.RvaToVa(0x3000), nullptr);
  }
  {
    // The export directory now lies in the uncommitted part.
    Put32(layout, kDataDirs, 0x8000);
    std::memcpy(base, layout.data(), 0x200);
    TVLPeImage image;
    image.AttachLoadedModule(handle);
    ASSERT_EQ(image.Status(), stOk);
    EXPECT_EQ(image.ExportList().Count(), 0);
  }
  {
    // Headers that run into the uncommitted page.
    std::memset(base, 0, 0x3000);
    base[0] = 'M';
    base[1] = 'Z';
    std::uint32_t lfanew = 0x2F80;
    std::memcpy(base + 60, &lfanew, 4);
    std::memcpy(base + lfanew, "PE\0\0\x4C\x01", 6);
    TVLPeImage image;
    image.AttachLoadedModule(handle);
    EXPECT_EQ(image.Status(), stNotPE);
  }
  {
    TVLPeImage image;
    image.AttachLoadedModule(handle + 0x10000);  // reserved, nothing committed
    EXPECT_EQ(image.Status(), stNotPE);
    image.AttachLoadedModule(0);
    EXPECT_EQ(image.Status(), stNotLoaded);
  }
  VirtualFree(base, 0, MEM_RELEASE);
}

TEST(PeImageLive, ConstructorWithExceptionsIsRejected) {
  try {
    TVLPeImage image(false);
    FAIL() << "constructed";
  } catch (const rt::EAssertionFailed& e) {
    EXPECT_EQ(e.Message().rfind(L"Assertion failure", 0), 0u);
    EXPECT_STREQ(e.ClassName(), L"EAssertionFailed");
  }
}

TEST(PeImageLive, TheTestProgramItself) {
  const auto exe = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
  TVLPeImage image;
  image.AttachLoadedModule(exe);
  ASSERT_EQ(image.Status(), stOk);
  EXPECT_EQ(image.Target(), taWin32);
  EXPECT_EQ(image.FileName(), test::SelfPath());
  EXPECT_EQ(image.DOSHeader().e_magic, 0x5A4D);
  EXPECT_EQ(image.COFFHeader().Machine, 0x14C);
  EXPECT_EQ(image.COFFHeader().Characteristics & 0x2000, 0);
  EXPECT_EQ(image.OptionalHeader32().Magic, 0x10B);
  TImageSectionHeader text;
  ASSERT_TRUE(image.GetSectionHeader(L".text", text));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(image.RvaToVa(text.VirtualAddress)), exe + text.VirtualAddress);
  EXPECT_EQ(image.RvaToSection(text.VirtualAddress + 4)->Name, L".text");

  TVLPeImage file;
  file.SetFileName(test::SelfPath());
  ASSERT_EQ(file.Status(), stOk);
  EXPECT_EQ(file.ImageSections().size(), image.ImageSections().size());
  EXPECT_EQ(file.OptionalHeader32().SizeOfImage, image.OptionalHeader32().SizeOfImage);
  EXPECT_EQ(file.COFFHeader().TimeDateStamp, image.COFFHeader().TimeDateStamp);
}

class PeImageZelvic : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(test::DllPath().empty());
    module_ = LoadLibraryW(test::DllPath().c_str());
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  HMODULE module_ = nullptr;
};

// The resource reader agrees with the loader's FindResource on the real
// library, attached and from its file.
TEST_F(PeImageZelvic, ResourcesAgreeWithTheLoader) {
  for (const bool attached : {true, false}) {
    TVLPeBorImage image;
    if (attached) {
      image.AttachLoadedModule(reinterpret_cast<std::uintptr_t>(module_));
    } else {
      image.SetFileName(test::DllPath());
    }
    ASSERT_TRUE(image.StatusOK());
    for (const wchar_t* name : {L"VLDATA", L"vldata", L"DVCLAL", L"PACKAGEINFO", L"VLDAT"}) {
      const bool loader = FindResourceW(module_, name, MAKEINTRESOURCEW(10)) != nullptr;
      EXPECT_EQ(image.HasRcDataResource(name), loader) << (attached ? "attached " : "file ") << name;
    }
    EXPECT_FALSE(image.IsBorlandImage());
  }
}

TEST_F(PeImageZelvic, ExportsMatchTheLoaderAndTheFile) {
  TVLPeImage attached;
  attached.AttachLoadedModule(reinterpret_cast<std::uintptr_t>(module_));
  ASSERT_EQ(attached.Status(), stOk);
  TVLPeImage mapped;
  mapped.SetFileName(test::DllPath());
  ASSERT_EQ(mapped.Status(), stOk);
  EXPECT_EQ(mapped.Layout(), TPeLayout::kFile);

  auto& live = attached.ExportList();
  auto& file = mapped.ExportList();
  EXPECT_EQ(live.Name(), L"_zelvic.dll");
  EXPECT_EQ(live.Base(), 1u);
  EXPECT_EQ(live.FunctionCount(), 178u);
  ASSERT_EQ(live.Count(), 178);
  ASSERT_EQ(file.Count(), 178);
  EXPECT_FALSE(live.AnyForwards());

  // Ordinals 1..178, each once, and every address is the loader's.
  std::set<int> ordinals;
  for (int i = 0; i < live.Count(); ++i) {
    const auto* item = live.GetItems(i);
    ordinals.insert(item->Ordinal());
    const std::string name(item->Name().begin(), item->Name().end());
    EXPECT_EQ(reinterpret_cast<FARPROC>(const_cast<std::uint8_t*>(item->MappedAddress())),
              GetProcAddress(module_, name.c_str()))
        << name;
    EXPECT_EQ(reinterpret_cast<FARPROC>(const_cast<std::uint8_t*>(item->MappedAddress())),
              GetProcAddress(module_, MAKEINTRESOURCEA(item->Ordinal())))
        << name;
    const auto* twin = file.GetItems(i);
    EXPECT_EQ(twin->Name(), item->Name());
    EXPECT_EQ(twin->Ordinal(), item->Ordinal());
    EXPECT_EQ(twin->Address(), item->Address());
    EXPECT_EQ(twin->Hint(), i);
    EXPECT_EQ(item->SectionName(), L".text") << name;
    EXPECT_FALSE(item->IsExportedVariable()) << name;
  }
  EXPECT_EQ(ordinals.size(), 178u);
  EXPECT_EQ(*ordinals.begin(), 1);
  EXPECT_EQ(*ordinals.rbegin(), 178);
  EXPECT_EQ(live.GetItemFromOrdinal(1)->Name(), L"GetVarnelLog");
  EXPECT_EQ(live.GetItemFromOrdinal(3)->Name(), L"TMethodImplementationIntercept");

  // The file's bytes in the mapping are the file's, not the loaded image's.
  const auto* mapped_item = file.GetItemFromName(L"GetVarnelLog");
  ASSERT_NE(mapped_item, nullptr);
  const auto* file_code = mapped_item->MappedAddress();
  ASSERT_NE(file_code, nullptr);
  EXPECT_EQ(std::memcmp(file_code, live.GetItemFromName(L"GetVarnelLog")->MappedAddress(), 1), 0);

  // The independent reader of the test program agrees.
  const auto expected = test::ReadPeExports(test::ReadWholeFile(test::DllPath()));
  ASSERT_EQ(expected.size(), 178u);
  for (const auto& e : expected) {
    const auto* item = live.GetItemFromOrdinal(e.ordinal);
    ASSERT_NE(item, nullptr) << e.ordinal;
    EXPECT_EQ(item->Name(), std::wstring(e.name.begin(), e.name.end()));
    EXPECT_EQ(item->Address(), e.rva);
  }

  live.PrepareForFastNameSearch();
  for (const auto& e : expected) {
    const auto* item = live.GetItemFromName(std::wstring(e.name.begin(), e.name.end()));
    ASSERT_NE(item, nullptr) << e.name;
    EXPECT_EQ(item->Ordinal(), e.ordinal);
  }
}

TEST(PeImageKernel32, BinarySearchAndSmartNames) {
  const HMODULE k32 = GetModuleHandleW(L"kernel32.dll");
  ASSERT_NE(k32, nullptr);
  TVLPeImage image;
  image.AttachLoadedModule(reinterpret_cast<std::uintptr_t>(k32));
  ASSERT_EQ(image.Status(), stOk);
  auto& list = image.ExportList();
  ASSERT_GT(list.Count(), 500);
  EXPECT_TRUE(SameText(list.Name(), L"kernel32.dll"));
  list.PrepareForFastNameSearch();
  ASSERT_TRUE(list.Sorted());
  for (int i = 1; i < list.Count(); ++i) EXPECT_LE(list.GetItems(i - 1)->Name(), list.GetItems(i)->Name());
  // Every name is found by the binary search, at its first place.
  for (int i = 0; i < list.Count(); ++i) {
    const auto* item = list.GetItems(i);
    const auto* found = list.GetItemFromName(item->Name());
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->Name(), item->Name());
    if (i == 0 || list.GetItems(i - 1)->Name() != item->Name()) {
      EXPECT_EQ(found, item);
    }
  }
  const auto* create = list.GetItemFromName(L"CreateFileW");
  ASSERT_NE(create, nullptr);
  const FARPROC real = GetProcAddress(k32, "CreateFileW");
  if (create->IsForwarded()) {
    const HMODULE target = GetModuleHandleW(create->ForwardedLibName().c_str());
    ASSERT_NE(target, nullptr);
    TVLPeImage next;
    next.AttachLoadedModule(reinterpret_cast<std::uintptr_t>(target));
    const auto* there = next.ExportList().GetItemFromName(create->ForwardedFuncName());
    ASSERT_NE(there, nullptr);
    EXPECT_EQ(reinterpret_cast<FARPROC>(const_cast<std::uint8_t*>(there->MappedAddress())), real);
  } else {
    EXPECT_EQ(reinterpret_cast<FARPROC>(const_cast<std::uint8_t*>(create->MappedAddress())), real);
  }

  const auto* smart = list.SmartFindName(L"GetModuleFileName", 0);
  ASSERT_NE(smart, nullptr);
  EXPECT_EQ(smart->Name(), L"GetModuleFileNameA");  // A sorts before W
  EXPECT_EQ(list.SmartFindName(L"GetModuleFileName", scSimpleCompare), nullptr);
  ASSERT_NE(list.SmartFindName(L"getmodulefilename", scIgnoreCase), nullptr);
  EXPECT_EQ(list.SmartFindName(L"getmodulefilename", 0), nullptr);
  EXPECT_EQ(list.SmartFindName(L"GetModuleFileNameW", 0)->Name(), L"GetModuleFileNameW");
}

TEST(PeImageKernel32, ForwardersResolveAgainstTheirLibraries) {
  const HMODULE k32 = GetModuleHandleW(L"kernel32.dll");
  TVLPeImage image;
  image.AttachLoadedModule(reinterpret_cast<std::uintptr_t>(k32));
  ASSERT_EQ(image.Status(), stOk);
  auto& list = image.ExportList();
  ASSERT_TRUE(list.AnyForwards());
  int forwarded = 0;
  for (int i = 0; i < list.Count(); ++i) {
    const auto* item = list.GetItems(i);
    if (!item->IsForwarded()) continue;
    ++forwarded;
    EXPECT_FALSE(item->ForwardedLibName().empty()) << item->ForwardedName().size();
    EXPECT_EQ(item->SectionName(), L"");
    // A forwarder is text inside the export directory.
    const auto dir = image.GetDirectories(0);
    EXPECT_GE(item->Address(), dir.VirtualAddress);
    EXPECT_LE(item->Address(), dir.VirtualAddress + dir.Size);
    // The loader follows it to the same function the target exports.
    const std::string name(item->Name().begin(), item->Name().end());
    const HMODULE target = GetModuleHandleW(item->ForwardedLibName().c_str());
    if (target != nullptr && !item->ForwardedFuncName().empty()) {
      const std::wstring wide_func = item->ForwardedFuncName();
      const std::string func(wide_func.begin(), wide_func.end());
      EXPECT_EQ(GetProcAddress(k32, name.c_str()), GetProcAddress(target, func.c_str())) << name;
    }
  }
  EXPECT_GT(forwarded, 50);
  const auto& libs = list.ForwardedLibsList();
  ASSERT_FALSE(libs.empty());
  for (std::size_t i = 1; i < libs.size(); ++i) EXPECT_LT(libs[i - 1].Name, libs[i].Name);

  TVLPeImagesCache cache;
  list.CheckForwards(&cache);
  // A library resolves exactly when its file is found; Wine's 16-bit
  // modules ("krnl386.exe16") have no file under that name, the loader
  // knows them by other means.
  std::set<std::wstring> resolved;
  bool any_missing = false;
  for (const auto& lib : libs) {
    SCOPED_TRACE(std::string(lib.Name.begin(), lib.Name.end()));
    const std::wstring path = TVLPeImage::ExpandBySearchPath(lib.Name, image.FileName());
    const bool found = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    EXPECT_EQ(lib.State, found ? icResolved : icUnresolved);
    EXPECT_EQ(cache.GetImages(path).Status(), found ? stOk : stNotFound);
    if (found) resolved.insert(lib.Name);
    any_missing = any_missing || !found;
  }
  EXPECT_EQ(resolved.count(L"kernelbase.dll"), 1u);
  EXPECT_EQ(resolved.count(L"ntdll.dll"), 1u);
  EXPECT_EQ(list.TotalResolveCheck(), any_missing ? icUnresolved : icResolved);
  for (int i = 0; i < list.Count(); ++i) {
    const auto* item = list.GetItems(i);
    const std::string name(item->Name().begin(), item->Name().end());
    if (!item->IsForwarded()) {
      EXPECT_EQ(item->ResolveCheck(), icNotChecked) << name;
    } else {
      EXPECT_EQ(item->ResolveCheck(), resolved.count(item->ForwardedLibName()) ? icResolved : icNotChecked) << name;
    }
  }
  EXPECT_EQ(cache.Count(), static_cast<int>(libs.size()));
}

TEST(PeImageKernel32, FileAndLoadedImageAgree) {
  const HMODULE k32 = GetModuleHandleW(L"kernel32.dll");
  TVLPeImage attached;
  attached.AttachLoadedModule(reinterpret_cast<std::uintptr_t>(k32));
  TVLPeImage mapped;
  mapped.SetFileName(attached.FileName());
  ASSERT_EQ(mapped.Status(), stOk);
  auto& a = attached.ExportList();
  auto& m = mapped.ExportList();
  ASSERT_EQ(a.Count(), m.Count());
  int cleared = 0;
  for (int i = 0; i < a.Count(); ++i) {
    const auto* live = a.GetItems(i);
    const auto* file = m.GetItems(i);
    EXPECT_EQ(live->Name(), file->Name());
    EXPECT_EQ(live->Ordinal(), file->Ordinal());
    // Wine's loader zeroes, in memory only, the entries of the forwarders
    // into 16-bit modules it does not load; the file keeps them.
    if (live->Address() == 0 && file->IsForwarded()) {
      ++cleared;
      EXPECT_EQ(file->ForwardedLibName(), L"krnl386.exe16");
      continue;
    }
    EXPECT_EQ(live->Address(), file->Address());
    EXPECT_EQ(live->ForwardedName(), file->ForwardedName());
  }
  EXPECT_LT(cleared, 50);
  for (const wchar_t* name : {L"ntdll.dll", L"user32.dll"}) {
    const HMODULE module = GetModuleHandleW(name);
    if (module == nullptr) continue;
    TVLPeImage other;
    other.AttachLoadedModule(reinterpret_cast<std::uintptr_t>(module));
    ASSERT_EQ(other.Status(), stOk);
    EXPECT_GT(other.ExportList().Count(), 100);
    EXPECT_TRUE(SameText(other.ExportList().Name(), name));
  }
}

}  // namespace
}  // namespace zelvic::diag
