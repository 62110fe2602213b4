#include "diagnostics/debuginfo/EPEImage.h"

#include <algorithm>
#include <cstring>

#include "diagnostics/util/EFileNames.h"
#include "diagnostics/util/EStrings.h"
#include "platform/pe_access.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/text_compare.h"
#include "runtime/hex_text.h"

namespace zelvic::diag {

namespace {

constexpr std::uint32_t kNtHeaders32Size = 4 + sizeof(TImageFileHeader) + sizeof(TImageOptionalHeader32);  // 248
constexpr std::uint32_t kNtHeaders64Size = 4 + sizeof(TImageFileHeader) + sizeof(TImageOptionalHeader64);  // 264
constexpr std::uint32_t kFileHeaderOffset = 4;
constexpr std::uint32_t kOptionalHeaderOffset = 4 + sizeof(TImageFileHeader);

// Export names and forwarders are 8-bit text; nearly all of them are ASCII,
// which needs no code page.
std::wstring AnsiToText(std::string_view bytes) {
  bool ascii = true;
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (!ascii) return platform::FromAnsiCodePage(bytes);
  return std::wstring(bytes.begin(), bytes.end());
}

wchar_t AsciiLower(wchar_t c) noexcept { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

bool IsNameChar(wchar_t c) noexcept {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'_';
}

template <typename T>
T LoadValue(const std::uint8_t* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

int CompareText(const std::wstring& a, const std::wstring& b) noexcept {
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

template <typename N>
int CompareNumber(N a, N b) noexcept {
  return a < b ? -1 : (a > b ? 1 : 0);
}

int CompareItems(const TVLPeExportFuncItem& a, const TVLPeExportFuncItem& b, TVLPeExportSort sort) {
  switch (sort) {
    case esName:
      return CompareText(a.Name(), b.Name());
    case esOrdinal:
      return CompareNumber(a.Ordinal(), b.Ordinal());
    case esHint:
      return CompareNumber(a.Hint(), b.Hint());
    case esAddress: {
      const int c = CompareNumber(a.Address(), b.Address());
      return c != 0 ? c : CompareText(a.Name(), b.Name());
    }
    case esForwarded: {
      const int c = CompareText(a.ForwardedName(), b.ForwardedName());
      return c != 0 ? c : CompareText(a.Name(), b.Name());
    }
    case esAddrOrFwd:
      return CompareText(a.AddressOrForwardStr(), b.AddressOrForwardStr());
    case esSection: {
      const int c = CompareText(a.SectionName(), b.SectionName());
      return c != 0 ? c : CompareText(a.Name(), b.Name());
    }
  }
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Text helpers

std::wstring DecodeSectionName(const std::uint8_t (&raw)[8]) {
  std::size_t n = 0;
  while (n < 8 && raw[n] != 0) ++n;
  const std::string_view bytes(reinterpret_cast<const char*>(raw), n);
  std::wstring text;
  if (DecodeUtf8Strict(bytes, text)) return text;
  return platform::FromAnsiCodePage(bytes);
}

bool SmartNameMatches(std::wstring_view candidate, std::wstring_view compare_name, TVLSmartCompOptions options) noexcept {
  const bool ignore_case = (options & scIgnoreCase) != 0;
  const auto same = [ignore_case](std::wstring_view a, std::wstring_view b) {
    return ignore_case ? EqualIgnoringCase(a, b) : a == b;
  };
  if (same(candidate, compare_name)) return true;
  if ((options & scSimpleCompare) != 0) return false;
  // The A and W twins of a function taking text share the name the caller
  // knows; the character before the suffix keeps names such as "A" or "_W"
  // alone from losing their only letter.
  const std::size_t n = candidate.size();
  if (n < 2) return false;
  const wchar_t last = candidate[n - 1];
  if (last != L'A' && last != L'W') return false;
  if (!IsNameChar(candidate[n - 2])) return false;
  return same(candidate.substr(0, n - 1), compare_name);
}

// ---------------------------------------------------------------------------
// TVLPeImage

TVLPeImage::TVLPeImage(bool no_exceptions) {
  if (!no_exceptions) throw rt::EAssertionFailed(L"Assertion failure (EPEImage)");
  FReadOnlyAccess = true;
}

TVLPeImage::~TVLPeImage() { TVLPeImage::Clear(); }

void TVLPeImage::Clear() {
  FImageSections.clear();
  FDebugList.reset();
  FExportList.reset();
  FMapping.reset();
  FBytes = {};
  FNtOffset = 0;
  FStatus = stNotLoaded;
  FTarget = taUnknown;
  FAttachedImage = false;
  FLayout = TPeLayout::kFile;
  FLibHandle = 0;
  FFileName.clear();
}

template <typename T>
bool TVLPeImage::ReadAt(std::size_t offset, T& out) const noexcept {
  if (offset > FBytes.size() || FBytes.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, FBytes.data() + offset, sizeof(T));
  return true;
}

void TVLPeImage::Parse() {
  TImageDosHeader dos;
  if (!ReadAt(0, dos) || dos.e_magic != kImageDosSignature || dos.e_lfanew <= 0) {
    FStatus = stNotPE;
    return;
  }
  const auto nt = static_cast<std::uint32_t>(dos.e_lfanew);
  std::uint32_t signature = 0;
  TImageFileHeader file;
  if (nt > FBytes.size() || FBytes.size() - nt < kNtHeaders32Size || !ReadAt(nt, signature) ||
      signature != kImageNtSignature || !ReadAt(nt + kFileHeaderOffset, file)) {
    FStatus = stNotPE;
    return;
  }
  TVLPeTarget target = taUnknown;
  if (file.Machine == kMachineI386) target = taWin32;
  if (file.Machine == kMachineAmd64) target = taWin64;
  if (target == taUnknown) {
    FStatus = stNotSupported;
    return;
  }
  if (target == taWin64 && FBytes.size() - nt < kNtHeaders64Size) {
    FStatus = stNotPE;
    return;
  }
  // The section table follows the optional header as the file header sizes
  // it, not as the structure for the target would.
  const std::uint64_t table = std::uint64_t{nt} + kOptionalHeaderOffset + file.SizeOfOptionalHeader;
  if (table + std::uint64_t{file.NumberOfSections} * sizeof(TImageSectionHeader) > FBytes.size()) {
    FStatus = stNotPE;
    return;
  }
  FNtOffset = nt;
  FTarget = target;
  FStatus = stOk;
  LoadSections(static_cast<std::uint32_t>(table), file.NumberOfSections);
}

void TVLPeImage::LoadSections(std::uint32_t table_offset, std::uint16_t count) {
  FImageSections.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    TVLPeSection section;
    if (!ReadAt(table_offset + i * sizeof(TImageSectionHeader), section.Header)) break;
    section.Name = DecodeSectionName(section.Header.Name);
    FImageSections.push_back(std::move(section));
  }
}

void TVLPeImage::LoadFromBytes(std::span<const std::uint8_t> bytes, TPeLayout layout, const std::wstring& file_name) {
  Clear();
  FBytes = bytes;
  FLayout = layout;
  FFileName = file_name;
  Parse();
  if (FStatus != stOk) {
    FBytes = {};
    return;
  }
  FAttachedImage = layout == TPeLayout::kImage;
  ImageLoaded();
}

void TVLPeImage::AttachLoadedModule(std::uintptr_t handle, const std::wstring& file_name) {
  Clear();
  FLibHandle = handle;
  if (handle == 0) return;
  // Resource-only loads mark the handle in its two low bits.
  const std::uintptr_t base = handle & ~std::uintptr_t{3};
  // The headers are read checked; the span then covers only what the module
  // has readable, and Parse checks every offset against it.
  const std::optional<platform::TLoadedImageHeaders> headers = platform::ReadLoadedImageHeaders(base);
  if (!headers) {
    FStatus = stNotPE;
    return;
  }
  const auto nt = static_cast<std::uint32_t>(headers->NtHeaders - base);
  const std::uint32_t readable =
      platform::ReadableLength(base, std::max(headers->SizeOfImage, nt + kNtHeaders64Size));
  FBytes = {reinterpret_cast<const std::uint8_t*>(base), readable};
  FLayout = TPeLayout::kImage;
  Parse();
  if (FStatus != stOk) {
    FBytes = {};
    return;
  }
  FAttachedImage = true;
  FFileName = file_name.empty() ? platform::ModuleFileName(base) : file_name;
  ImageLoaded();
}

void TVLPeImage::SetFileName(const std::wstring& file_name) {
  if (file_name == FFileName && FStatus != stNotLoaded) return;
  Clear();
  FFileName = file_name;
  if (file_name.empty()) return;
  auto mapping = std::make_unique<platform::TMappedFile>();
  const std::uint32_t error = mapping->Open(file_name);
  if (error != 0) {
    FStatus = error == 2 ? stNotFound : stError;
    return;
  }
  FBytes = mapping->Bytes();
  FLayout = TPeLayout::kFile;
  Parse();
  if (FStatus != stOk) {
    FBytes = {};
    return;
  }
  FMapping = std::move(mapping);
  ImageLoaded();
}

TImageDosHeader TVLPeImage::GetDOSHeader() const noexcept {
  TImageDosHeader h{};
  if (FStatus == stOk) ReadAt(0, h);
  return h;
}

TImageFileHeader TVLPeImage::GetCOFFHeader() const noexcept {
  TImageFileHeader h{};
  if (FStatus == stOk) ReadAt(FNtOffset + kFileHeaderOffset, h);
  return h;
}

TImageOptionalHeader32 TVLPeImage::GetOptionalHeader32() const noexcept {
  TImageOptionalHeader32 h{};
  if (FStatus == stOk && FTarget == taWin32) ReadAt(FNtOffset + kOptionalHeaderOffset, h);
  return h;
}

TImageOptionalHeader64 TVLPeImage::GetOptionalHeader64() const noexcept {
  TImageOptionalHeader64 h{};
  if (FStatus == stOk && FTarget == taWin64) ReadAt(FNtOffset + kOptionalHeaderOffset, h);
  return h;
}

TImageDataDirectory TVLPeImage::GetDirectories(int directory) const noexcept {
  if (FStatus != stOk || directory < 0 || directory >= kNumberOfDirectoryEntries) return {};
  if (FTarget == taWin32) return GetOptionalHeader32().DataDirectory[directory];
  if (FTarget == taWin64) return GetOptionalHeader64().DataDirectory[directory];
  return {};
}

std::span<const std::uint8_t> TVLPeImage::DirectoryEntryToData(int directory) const noexcept {
  if (FStatus != stOk || directory < 0 || directory >= kNumberOfDirectoryEntries) return {};
  const std::uint32_t count = FTarget == taWin32 ? GetOptionalHeader32().NumberOfRvaAndSizes
                                                 : GetOptionalHeader64().NumberOfRvaAndSizes;
  // The loader ignores entries past the count the header declares.
  if (static_cast<std::uint32_t>(directory) >= count) return {};
  const TImageDataDirectory d = GetDirectories(directory);
  if (d.VirtualAddress == 0 || d.Size == 0) return {};
  return RvaBytes(d.VirtualAddress, d.Size);
}

bool TVLPeImage::HasRcDataResource(std::wstring_view name) const noexcept {
  constexpr std::uint32_t kRcData = 10;
  constexpr std::uint32_t kHighBit = 0x80000000u;
  const std::span<const std::uint8_t> dir = DirectoryEntryToData(kDirectoryResource);
  const auto u16 = [&dir](std::uint64_t at, std::uint16_t& v) {
    if (at + 2 > dir.size()) return false;
    v = static_cast<std::uint16_t>(dir[at] | dir[at + 1] << 8);
    return true;
  };
  const auto u32 = [&dir](std::uint64_t at, std::uint32_t& v) {
    if (at + 4 > dir.size()) return false;
    v = std::uint32_t{dir[at]} | std::uint32_t{dir[at + 1]} << 8 | std::uint32_t{dir[at + 2]} << 16 |
        std::uint32_t{dir[at + 3]} << 24;
    return true;
  };
  // Calls `visit(name_field, target_field)` for each entry of the table at
  // `table`; stops when it answers true, and then answers true itself.
  const auto entries = [&](std::uint32_t table, auto&& visit) {
    std::uint16_t named = 0, ids = 0;
    if (!u16(std::uint64_t{table} + 12, named) || !u16(std::uint64_t{table} + 14, ids)) return false;
    for (std::uint32_t i = 0; i < std::uint32_t{named} + ids; ++i) {
      std::uint32_t name_field = 0, target = 0;
      const std::uint64_t at = std::uint64_t{table} + 16 + 8ull * i;
      if (!u32(at, name_field) || !u32(at + 4, target)) return false;
      if (visit(name_field, target)) return true;
    }
    return false;
  };
  const auto name_is = [&](std::uint32_t name_field) {
    if ((name_field & kHighBit) == 0) return false;
    const std::uint64_t at = name_field & ~kHighBit;
    std::uint16_t length = 0;
    if (!u16(at, length) || length != name.size()) return false;
    for (std::uint32_t k = 0; k < length; ++k) {
      std::uint16_t c = 0;
      if (!u16(at + 2 + 2ull * k, c)) return false;
      const auto fold = [](std::uint32_t ch) { return ch >= 'a' && ch <= 'z' ? ch - 32 : ch; };
      if (fold(c) != fold(static_cast<std::uint32_t>(name[k]))) return false;
    }
    return true;
  };
  return entries(0, [&](std::uint32_t type, std::uint32_t target) {
    if ((type & kHighBit) != 0 || type != kRcData || (target & kHighBit) == 0) return false;
    // A resource exists when its name leads to a table with a language in it.
    return entries(target & ~kHighBit, [&](std::uint32_t name_field, std::uint32_t languages) {
      if (!name_is(name_field) || (languages & kHighBit) == 0) return false;
      std::uint16_t named = 0, ids = 0;
      const std::uint64_t table = languages & ~kHighBit;
      return u16(table + 12, named) && u16(table + 14, ids) && named + ids > 0;
    });
  });
}

void TVLPeBorImage::Clear() {
  TVLPeImage::Clear();
  FIsPackage = false;
  FIsBorlandImage = false;
}

void TVLPeBorImage::ImageLoaded() {
  FIsPackage = false;
  FIsBorlandImage = false;
  if (!StatusOK()) return;
  FIsPackage = HasRcDataResource(L"PACKAGEINFO") && HasRcDataResource(L"PACKAGEOPTIONS");
  FIsBorlandImage = FIsPackage || HasRcDataResource(L"DVCLAL");
}

bool TVLPeImage::GetSectionHeader(std::wstring_view section_name, TImageSectionHeader& header) const noexcept {
  for (const auto& s : FImageSections) {
    if (EqualIgnoringCase(s.Name, section_name)) {
      header = s.Header;
      return true;
    }
  }
  header = {};
  return false;
}

const TVLPeSection* TVLPeImage::RvaToSection(std::uint32_t rva) const noexcept {
  for (const auto& s : FImageSections) {
    const auto& h = s.Header;
    if (rva >= h.VirtualAddress && std::uint64_t{rva} < std::uint64_t{h.VirtualAddress} + h.SizeOfRawData) return &s;
  }
  for (const auto& s : FImageSections) {
    const auto& h = s.Header;
    const std::uint32_t size = h.SizeOfRawData != 0 ? h.SizeOfRawData : h.VirtualSize;
    if (rva >= h.VirtualAddress && std::uint64_t{rva} <= std::uint64_t{h.VirtualAddress} + size) return &s;
  }
  return nullptr;
}

std::span<const std::uint8_t> TVLPeImage::RvaToSpan(std::uint32_t rva) const noexcept {
  if (FStatus != stOk) return {};
  if (FLayout == TPeLayout::kImage) {
    if (rva >= FBytes.size()) return {};
    return FBytes.subspan(rva);
  }
  // File layout: only the section's raw data backs an RVA, as the
  // platform's ImageRvaToVa has it; past its raw size there are no bytes.
  for (const auto& s : FImageSections) {
    const auto& h = s.Header;
    if (rva < h.VirtualAddress || std::uint64_t{rva} >= std::uint64_t{h.VirtualAddress} + h.SizeOfRawData) continue;
    const std::uint64_t offset = std::uint64_t{h.PointerToRawData} + (rva - h.VirtualAddress);
    const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{h.PointerToRawData} + h.SizeOfRawData, FBytes.size());
    if (offset >= end) return {};
    return FBytes.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(end - offset));
  }
  return {};
}

std::span<const std::uint8_t> TVLPeImage::RvaBytes(std::uint32_t rva, std::uint32_t count) const noexcept {
  const auto s = RvaToSpan(rva);
  if (s.empty() || s.size() < count) return {};
  return s.first(count);
}

const std::uint8_t* TVLPeImage::RvaToVa(std::uint32_t rva) const noexcept {
  const auto s = RvaToSpan(rva);
  return s.empty() ? nullptr : s.data();
}

std::optional<std::string> TVLPeImage::ReadAnsiString(std::uint32_t rva) const {
  const auto s = RvaToSpan(rva);
  const auto zero = std::find(s.begin(), s.end(), std::uint8_t{0});
  if (zero == s.end()) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(s.data()), static_cast<std::size_t>(zero - s.begin()));
}

std::wstring TVLPeImage::GetImageSectionNameFromRva(std::uint32_t rva) const {
  for (const auto& s : FImageSections) {
    const auto& h = s.Header;
    const std::uint32_t size = h.VirtualSize != 0 ? h.VirtualSize : h.SizeOfRawData;
    if (rva >= h.VirtualAddress && std::uint64_t{rva} < std::uint64_t{h.VirtualAddress} + size) return s.Name;
  }
  return {};
}

const std::uint8_t* TVLPeImage::MappedAddress() const noexcept { return FStatus == stOk ? FBytes.data() : nullptr; }

TVLPeExportFuncList& TVLPeImage::ExportList() {
  if (!FExportList) FExportList = std::make_unique<TVLPeExportFuncList>(*this);
  return *FExportList;
}

TVLPeDebugList& TVLPeImage::DebugList() {
  if (!FDebugList) FDebugList = std::make_unique<TVLPeDebugList>(*this);
  return *FDebugList;
}

std::wstring TVLPeImage::ExpandBySearchPath(const std::wstring& module_name, const std::wstring& base_path) {
  const std::wstring beside = ExtractFileDirPart(base_path) + module_name;
  if (!module_name.empty() && platform::FileExists(beside)) return beside;
  std::wstring found = module_name.empty() ? std::wstring() : platform::SearchPathFor(module_name);
  return found.empty() ? module_name : found;
}

// ---------------------------------------------------------------------------
// TVLPeDebugList

TVLPeDebugList::TVLPeDebugList(TVLPeImage& image) : FImage(&image) {
  if (!image.StatusOK()) return;
  const TImageDataDirectory d = image.GetDirectories(kDirectoryDebug);
  if (d.VirtualAddress == 0) return;
  const std::uint32_t count = d.Size / sizeof(TImageDebugDirectory);
  // A directory that claims more entries than the image holds is not
  // trusted for any of them.
  const auto bytes = image.RvaBytes(d.VirtualAddress, count * sizeof(TImageDebugDirectory));
  if (count == 0 || bytes.empty()) return;
  FItems.resize(count);
  std::memcpy(FItems.data(), bytes.data(), bytes.size());
}

TImageDebugDirectory TVLPeDebugList::GetItems(int index) const noexcept {
  if (index < 0 || index >= Count()) return {};
  return FItems[static_cast<std::size_t>(index)];
}

// ---------------------------------------------------------------------------
// TVLPeExportFuncItem

std::wstring TVLPeExportFuncItem::AddressOrForwardStr() const {
  if (IsForwarded()) return FForwardedName;
  return rt::Hex8(FAddress);
}

std::wstring TVLPeExportFuncItem::ForwardedLibName() const {
  if (FForwardedDotPos.empty()) return {};
  std::wstring lib = FForwardedName.substr(0, FForwardedName.size() - FForwardedDotPos.size() - 1);
  for (auto& c : lib) c = AsciiLower(c);
  // As the loader: ".dll" only for a library named without an extension.
  if (lib.find(L'.') == std::wstring::npos) lib += L".dll";
  return lib;
}

std::wstring TVLPeExportFuncItem::ForwardedFuncName() const {
  if (!FForwardedDotPos.empty() && FForwardedDotPos[0] == L'#') return {};
  return FForwardedDotPos;
}

std::uint32_t TVLPeExportFuncItem::ForwardedFuncOrdinal() const noexcept {
  if (FForwardedDotPos.size() < 2 || FForwardedDotPos[0] != L'#') return 0;
  std::uint64_t value = 0;
  for (std::size_t i = 1; i < FForwardedDotPos.size(); ++i) {
    const wchar_t c = FForwardedDotPos[i];
    if (c < L'0' || c > L'9') return 0;
    value = value * 10 + static_cast<std::uint64_t>(c - L'0');
    if (value > 0x7FFFFFFF) return 0;
  }
  return static_cast<std::uint32_t>(value);
}

bool TVLPeExportFuncItem::IsExportedVariable() const noexcept {
  const TVLPeImage& image = FExportList->Image();
  return image.Target() == taWin32 && FAddress >= image.OptionalHeader32().BaseOfData;
}

const std::uint8_t* TVLPeExportFuncItem::MappedAddress() const noexcept { return FExportList->Image().RvaToVa(FAddress); }

std::wstring TVLPeExportFuncItem::SectionName() const {
  if (IsForwarded()) return {};
  return FExportList->Image().GetImageSectionNameFromRva(FAddress);
}

// ---------------------------------------------------------------------------
// TVLPeExportFuncList

TVLPeExportFuncList::TVLPeExportFuncList(TVLPeImage& image) : FImage(&image) { Load(); }

void TVLPeExportFuncList::Load() {
  TVLPeImage& image = *FImage;
  if (!image.StatusOK() || !image.GetDirectoryExists(kDirectoryExport)) return;
  const TImageDataDirectory dir = image.GetDirectories(kDirectoryExport);
  const auto header = image.RvaBytes(dir.VirtualAddress, sizeof(TImageExportDirectory));
  if (header.empty()) return;
  std::memcpy(&FExportDir, header.data(), sizeof FExportDir);
  FHasExportDir = true;
  FBase = FExportDir.Base;
  FFunctionCount = FExportDir.NumberOfFunctions;
  if (auto name = image.ReadAnsiString(FExportDir.Name)) FDllName = AnsiToText(*name);

  const std::uint32_t names_count = FExportDir.NumberOfNames;
  if (names_count == 0) return;
  // Every table the directory names must lie whole in the image; a count
  // that overflows a 32-bit size cannot.
  if (names_count > 0x3FFFFFFF || FFunctionCount > 0x3FFFFFFF) return;
  const auto names = image.RvaBytes(FExportDir.AddressOfNames, names_count * 4);
  const auto ordinals = image.RvaBytes(FExportDir.AddressOfNameOrdinals, names_count * 2);
  const auto functions = image.RvaBytes(FExportDir.AddressOfFunctions, FFunctionCount * 4);
  if (names.empty() || ordinals.empty() || functions.empty()) return;

  // Both ends belong to the range: a function RVA equal to its end is taken
  // as a forwarder too.
  const std::uint64_t dir_begin = dir.VirtualAddress;
  const std::uint64_t dir_end = dir_begin + dir.Size;
  FItems.reserve(names_count);
  for (std::uint32_t i = 0; i < names_count; ++i) {
    const auto o = LoadValue<std::uint16_t>(ordinals.data() + 2 * i);
    if (o >= FFunctionCount) continue;
    const std::uint64_t ordinal = std::uint64_t{o} + FBase;
    // Hints and ordinals are 16-bit; an image that needs more is corrupt.
    if (i > 0xFFFF || ordinal > 0xFFFF) continue;
    const auto rva = LoadValue<std::uint32_t>(functions.data() + 4 * std::size_t{o});
    auto item = std::make_unique<TVLPeExportFuncItem>();
    if (rva >= dir_begin && rva <= dir_end) {
      auto forwarder = image.ReadAnsiString(rva);
      if (!forwarder || forwarder->empty()) continue;
      item->FForwardedName = AnsiToText(*forwarder);
      // The loader splits at the last dot: a library may carry its own
      // extension ("krnl386.exe16.FT_Thunk"), a function name never a dot.
      const std::size_t dot = item->FForwardedName.rfind(L'.');
      if (dot != std::wstring::npos) item->FForwardedDotPos = item->FForwardedName.substr(dot + 1);
    }
    auto name = image.ReadAnsiString(LoadValue<std::uint32_t>(names.data() + 4 * std::size_t{i}));
    if (!name) continue;
    item->FName = AnsiToText(*name);
    item->FAddress = rva;
    item->FExportList = this;
    item->FHint = static_cast<std::uint16_t>(i);
    item->FOrdinal = static_cast<std::uint16_t>(ordinal);
    item->FResolveCheck = icNotChecked;
    if (item->IsForwarded()) FAnyForwards = true;
    FItems.push_back(std::move(item));
  }
}

TVLPeExportFuncItem* TVLPeExportFuncList::GetItems(int index) const noexcept {
  if (index < 0 || index >= Count()) return nullptr;
  return FItems[static_cast<std::size_t>(index)].get();
}

TVLPeExportFuncItem* TVLPeExportFuncList::GetItemFromAddress(std::uint32_t address) const noexcept {
  for (const auto& item : FItems) {
    if (item->Address() == address) return item.get();
  }
  return nullptr;
}

TVLPeExportFuncItem* TVLPeExportFuncList::GetItemFromName(std::wstring_view name) const noexcept {
  if (FSorted && FLastSortType == esName && !FLastSortDescending) {
    std::ptrdiff_t lo = 0;
    std::ptrdiff_t hi = static_cast<std::ptrdiff_t>(FItems.size()) - 1;
    TVLPeExportFuncItem* found = nullptr;
    while (lo <= hi) {
      const std::ptrdiff_t mid = lo + (hi - lo) / 2;
      const int c = std::wstring_view(FItems[static_cast<std::size_t>(mid)]->Name()).compare(name);
      if (c < 0) {
        lo = mid + 1;
      } else if (c > 0) {
        hi = mid - 1;
      } else {
        // Keep going left: of equal names the first in the order wins.
        found = FItems[static_cast<std::size_t>(mid)].get();
        hi = mid - 1;
      }
    }
    return found;
  }
  for (const auto& item : FItems) {
    if (item->Name() == name) return item.get();
  }
  return nullptr;
}

TVLPeExportFuncItem* TVLPeExportFuncList::GetItemFromOrdinal(std::uint32_t ordinal) const noexcept {
  for (const auto& item : FItems) {
    if (item->Ordinal() == ordinal) return item.get();
  }
  return nullptr;
}

TVLPeExportFuncItem* TVLPeExportFuncList::SmartFindName(std::wstring_view compare_name,
                                                        TVLSmartCompOptions options) const noexcept {
  for (const auto& item : FItems) {
    if (SmartNameMatches(item->Name(), compare_name, options)) return item.get();
  }
  return nullptr;
}

bool TVLPeExportFuncList::OrdinalValid(std::uint32_t ordinal) const noexcept {
  if (!FHasExportDir) return false;
  return ordinal >= FBase && std::uint64_t{ordinal} < std::uint64_t{FBase} + FFunctionCount;
}

void TVLPeExportFuncList::SortList(TVLPeExportSort sort_type, bool descending) {
  if (FSorted && FLastSortType == sort_type && FLastSortDescending == descending) return;
  std::stable_sort(FItems.begin(), FItems.end(), [sort_type, descending](const auto& a, const auto& b) {
    return descending ? CompareItems(*b, *a, sort_type) < 0 : CompareItems(*a, *b, sort_type) < 0;
  });
  FSorted = true;
  FLastSortType = sort_type;
  FLastSortDescending = descending;
}

void TVLPeExportFuncList::PrepareForFastNameSearch() { SortList(esName, false); }

const std::vector<TVLPeForwardedLib>& TVLPeExportFuncList::ForwardedLibsList() {
  if (!FForwardedLibsList) {
    std::vector<TVLPeForwardedLib> libs;
    for (const auto& item : FItems) {
      if (!item->IsForwarded()) continue;
      std::wstring lib = item->ForwardedLibName();
      if (lib.empty()) continue;
      const auto at = std::lower_bound(libs.begin(), libs.end(), lib,
                                       [](const TVLPeForwardedLib& l, const std::wstring& n) { return l.Name < n; });
      if (at != libs.end() && at->Name == lib) continue;
      libs.insert(at, TVLPeForwardedLib{std::move(lib), icNotChecked});
    }
    FForwardedLibsList = std::move(libs);
  }
  return *FForwardedLibsList;
}

void TVLPeExportFuncList::CheckForwards(TVLPeImagesCache* cache) {
  if (!FAnyForwards) return;
  FTotalResolveCheck = icResolved;
  ForwardedLibsList();
  // The target may be this very image (a module that forwards to itself,
  // served from the cache): sorting its list must not disturb this walk.
  std::vector<TVLPeExportFuncItem*> items;
  items.reserve(FItems.size());
  for (const auto& item : FItems) items.push_back(item.get());
  std::unique_ptr<TVLPeImage> own;
  for (auto& lib : *FForwardedLibsList) {
    const std::wstring path = TVLPeImage::ExpandBySearchPath(lib.Name, FImage->FileName());
    TVLPeImage* target;
    if (cache != nullptr) {
      target = &cache->GetImages(path);
    } else {
      if (!own) own = std::make_unique<TVLPeImage>(true);
      own->SetFileName(path);
      target = own.get();
    }
    if (!target->StatusOK()) {
      lib.State = icUnresolved;
      FTotalResolveCheck = icUnresolved;
      continue;
    }
    TVLPeExportFuncList& exports = target->ExportList();
    exports.PrepareForFastNameSearch();
    lib.State = icResolved;
    for (TVLPeExportFuncItem* item : items) {
      if (!item->IsForwarded() || item->FResolveCheck != icNotChecked || item->ForwardedLibName() != lib.Name) continue;
      // A forwarder by ordinal ("LIB.#12") names no function; it resolves
      // when the target's export table has that ordinal.
      const std::wstring func = item->ForwardedFuncName();
      const bool found = func.empty() ? exports.OrdinalValid(item->ForwardedFuncOrdinal())
                                      : exports.GetItemFromName(func) != nullptr;
      item->FResolveCheck = found ? icResolved : icUnresolved;
      if (!found) lib.State = icUnresolved;
    }
    if (lib.State == icUnresolved) FTotalResolveCheck = icUnresolved;
  }
}

// ---------------------------------------------------------------------------
// TVLPeImagesCache

TVLPeImagesCache::~TVLPeImagesCache() { Clear(); }

TVLPeImage& TVLPeImagesCache::GetImages(const std::wstring& file_name) {
  const auto at = std::lower_bound(FList.begin(), FList.end(), file_name,
                                   [](const auto& entry, const std::wstring& n) { return entry.first < n; });
  if (at != FList.end() && at->first == file_name) return *at->second;
  auto image = NewImage();
  LoadImage(*image, file_name);
  TVLPeImage& ref = *image;
  FList.insert(at, {file_name, std::move(image)});
  return ref;
}

void TVLPeImagesCache::Clear() noexcept { FList.clear(); }

}  // namespace zelvic::diag
