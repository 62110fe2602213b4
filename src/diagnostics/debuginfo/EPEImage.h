// Reader of Portable Executable images: headers, sections, data directories,
// the debug directory and the export table, from a loaded module or a file
// mapped from disk.
//
// The reader works on a byte span in one of two layouts: the file layout (an
// RVA goes through the section table to a file offset) and the image layout
// of a loaded module (the RVA is the offset). Every length and offset the
// image states is checked against the span before it is used: an image that
// lies about its sizes gives stNotPE, stError or shorter lists, never a read
// outside the span. Nothing here needs the platform except attaching a
// module and mapping a file, which go through platform/pe_access.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "diagnostics/util/EVarnelLogErrors.h"
#include "diagnostics/util/ETextEncoding.h"

namespace zelvic::platform {
class TMappedFile;
}

namespace zelvic::diag {

enum TVLPeImageStatus : std::uint8_t { stNotLoaded = 0, stOk = 1, stNotPE = 2, stNotSupported = 3, stNotFound = 4, stError = 5 };
enum TVLPeTarget : std::uint8_t { taUnknown = 0, taWin32 = 1, taWin64 = 2 };
enum TVLPeResolveCheck : std::uint8_t { icNotChecked = 0, icResolved = 1, icUnresolved = 2 };
enum TVLPeExportSort : std::uint8_t {
  esName = 0, esOrdinal = 1, esHint = 2, esAddress = 3, esForwarded = 4, esAddrOrFwd = 5, esSection = 6
};
// A set: combine with |.
enum TVLSmartCompOption : std::uint8_t { scSimpleCompare = 1 << 0, scIgnoreCase = 1 << 1 };
using TVLSmartCompOptions = std::uint8_t;

enum class TPeLayout : std::uint8_t { kFile, kImage };

// The on-disk structures, byte for byte; read with memcpy, never through a
// pointer into the span (the span gives no alignment).
#pragma pack(push, 1)
struct TImageDosHeader {
  std::uint16_t e_magic, e_cblp, e_cp, e_crlc, e_cparhdr, e_minalloc, e_maxalloc, e_ss, e_sp, e_csum, e_ip, e_cs,
      e_lfarlc, e_ovno;
  std::uint16_t e_res[4];
  std::uint16_t e_oemid, e_oeminfo;
  std::uint16_t e_res2[10];
  std::int32_t e_lfanew;
};
struct TImageFileHeader {
  std::uint16_t Machine, NumberOfSections;
  std::uint32_t TimeDateStamp, PointerToSymbolTable, NumberOfSymbols;
  std::uint16_t SizeOfOptionalHeader, Characteristics;
};
struct TImageDataDirectory {
  std::uint32_t VirtualAddress, Size;
};
inline constexpr int kNumberOfDirectoryEntries = 16;
struct TImageOptionalHeader32 {
  std::uint16_t Magic;
  std::uint8_t MajorLinkerVersion, MinorLinkerVersion;
  std::uint32_t SizeOfCode, SizeOfInitializedData, SizeOfUninitializedData, AddressOfEntryPoint, BaseOfCode, BaseOfData,
      ImageBase, SectionAlignment, FileAlignment;
  std::uint16_t MajorOperatingSystemVersion, MinorOperatingSystemVersion, MajorImageVersion, MinorImageVersion,
      MajorSubsystemVersion, MinorSubsystemVersion;
  std::uint32_t Win32VersionValue, SizeOfImage, SizeOfHeaders, CheckSum;
  std::uint16_t Subsystem, DllCharacteristics;
  std::uint32_t SizeOfStackReserve, SizeOfStackCommit, SizeOfHeapReserve, SizeOfHeapCommit, LoaderFlags,
      NumberOfRvaAndSizes;
  TImageDataDirectory DataDirectory[kNumberOfDirectoryEntries];
};
struct TImageOptionalHeader64 {
  std::uint16_t Magic;
  std::uint8_t MajorLinkerVersion, MinorLinkerVersion;
  std::uint32_t SizeOfCode, SizeOfInitializedData, SizeOfUninitializedData, AddressOfEntryPoint, BaseOfCode;
  std::uint64_t ImageBase;
  std::uint32_t SectionAlignment, FileAlignment;
  std::uint16_t MajorOperatingSystemVersion, MinorOperatingSystemVersion, MajorImageVersion, MinorImageVersion,
      MajorSubsystemVersion, MinorSubsystemVersion;
  std::uint32_t Win32VersionValue, SizeOfImage, SizeOfHeaders, CheckSum;
  std::uint16_t Subsystem, DllCharacteristics;
  std::uint64_t SizeOfStackReserve, SizeOfStackCommit, SizeOfHeapReserve, SizeOfHeapCommit;
  std::uint32_t LoaderFlags, NumberOfRvaAndSizes;
  TImageDataDirectory DataDirectory[kNumberOfDirectoryEntries];
};
struct TImageSectionHeader {
  std::uint8_t Name[8];
  std::uint32_t VirtualSize;  // Misc.VirtualSize
  std::uint32_t VirtualAddress, SizeOfRawData, PointerToRawData, PointerToRelocations, PointerToLinenumbers;
  std::uint16_t NumberOfRelocations, NumberOfLinenumbers;
  std::uint32_t Characteristics;
};
struct TImageDebugDirectory {
  std::uint32_t Characteristics, TimeDateStamp;
  std::uint16_t MajorVersion, MinorVersion;
  std::uint32_t Type, SizeOfData, AddressOfRawData, PointerToRawData;
};
struct TImageExportDirectory {
  std::uint32_t Characteristics, TimeDateStamp;
  std::uint16_t MajorVersion, MinorVersion;
  std::uint32_t Name, Base, NumberOfFunctions, NumberOfNames, AddressOfFunctions, AddressOfNames,
      AddressOfNameOrdinals;
};
#pragma pack(pop)
static_assert(sizeof(TImageDosHeader) == 64);
static_assert(sizeof(TImageFileHeader) == 20);
static_assert(sizeof(TImageOptionalHeader32) == 224);
static_assert(sizeof(TImageOptionalHeader64) == 240);
static_assert(sizeof(TImageSectionHeader) == 40);
static_assert(sizeof(TImageDebugDirectory) == 28);
static_assert(sizeof(TImageExportDirectory) == 40);

inline constexpr std::uint16_t kImageDosSignature = 0x5A4D;    // "MZ"
inline constexpr std::uint32_t kImageNtSignature = 0x00004550;  // "PE\0\0"
inline constexpr std::uint16_t kMachineI386 = 0x14C;
inline constexpr std::uint16_t kMachineAmd64 = 0x8664;
inline constexpr int kDirectoryExport = 0;
inline constexpr int kDirectoryResource = 2;
inline constexpr int kDirectoryDebug = 6;

// A section as the image lists it: the decoded name and a copy of its header.
struct TVLPeSection {
  std::wstring Name;
  TImageSectionHeader Header{};
};

// The section name bytes (the first 8, cut at the first zero) as UTF-8 when
// they are valid UTF-8, else in the process's ANSI code page.
std::wstring DecodeSectionName(const std::uint8_t (&raw)[8]);

// Whether export `candidate` answers to `compare_name`: equal, or equal once
// a trailing "A" or "W" that follows a letter, digit or "_" is dropped from
// the candidate (unless scSimpleCompare). scIgnoreCase folds ASCII case.
bool SmartNameMatches(std::wstring_view candidate, std::wstring_view compare_name, TVLSmartCompOptions options) noexcept;

class TVLPeImage;
class TVLPeImagesCache;
class TVLPeExportFuncList;

class TVLPeDebugList {
 public:
  explicit TVLPeDebugList(TVLPeImage& image);
  TVLPeImage& Image() const noexcept { return *FImage; }
  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  // A copy of entry `index`; zeroes for an index out of range.
  TImageDebugDirectory GetItems(int index) const noexcept;

 private:
  TVLPeImage* FImage;
  std::vector<TImageDebugDirectory> FItems;
};

class TVLPeExportFuncItem {
 public:
  std::uint32_t Address() const noexcept { return FAddress; }
  TVLPeExportFuncList& ExportList() const noexcept { return *FExportList; }
  const std::wstring& ForwardedName() const noexcept { return FForwardedName; }
  // The forwarder's part after its last dot: the function, or "#" and an
  // ordinal.
  const std::wstring& ForwardedDotPos() const noexcept { return FForwardedDotPos; }
  std::uint16_t Hint() const noexcept { return FHint; }
  const std::wstring& Name() const noexcept { return FName; }
  std::uint16_t Ordinal() const noexcept { return FOrdinal; }
  TVLPeResolveCheck ResolveCheck() const noexcept { return FResolveCheck; }

  bool IsForwarded() const noexcept { return !FForwardedName.empty(); }
  std::wstring AddressOrForwardStr() const;
  // The part before the last dot, lower case, with ".dll" when it has no
  // extension of its own; empty without a dot.
  std::wstring ForwardedLibName() const;
  std::wstring ForwardedFuncName() const;
  std::uint32_t ForwardedFuncOrdinal() const noexcept;
  bool IsExportedVariable() const noexcept;
  const std::uint8_t* MappedAddress() const noexcept;
  std::wstring SectionName() const;

 private:
  friend class TVLPeExportFuncList;
  std::uint32_t FAddress = 0;
  TVLPeExportFuncList* FExportList = nullptr;
  std::wstring FForwardedName;
  std::wstring FForwardedDotPos;
  std::uint16_t FHint = 0;
  std::wstring FName;
  std::uint16_t FOrdinal = 0;
  TVLPeResolveCheck FResolveCheck = icNotChecked;
};

// One forwarded-to library and what checking it found.
struct TVLPeForwardedLib {
  std::wstring Name;  // lower case, with ".dll"
  TVLPeResolveCheck State = icNotChecked;
};

class TVLPeExportFuncList {
 public:
  explicit TVLPeExportFuncList(TVLPeImage& image);
  TVLPeExportFuncList(const TVLPeExportFuncList&) = delete;
  TVLPeExportFuncList& operator=(const TVLPeExportFuncList&) = delete;

  TVLPeImage& Image() const noexcept { return *FImage; }
  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  TVLPeExportFuncItem* GetItems(int index) const noexcept;
  TVLPeExportFuncItem* GetItemFromAddress(std::uint32_t address) const noexcept;
  // Binary search (leftmost of equal names) when sorted by name ascending,
  // else a linear exact search.
  TVLPeExportFuncItem* GetItemFromName(std::wstring_view name) const noexcept;
  TVLPeExportFuncItem* GetItemFromOrdinal(std::uint32_t ordinal) const noexcept;
  TVLPeExportFuncItem* SmartFindName(std::wstring_view compare_name, TVLSmartCompOptions options) const noexcept;
  bool OrdinalValid(std::uint32_t ordinal) const noexcept;
  void SortList(TVLPeExportSort sort_type, bool descending);
  void PrepareForFastNameSearch();
  // Checks that every forwarder names a function its library exports; the
  // libraries open through `cache` (a private image when null).
  void CheckForwards(TVLPeImagesCache* cache);
  const std::vector<TVLPeForwardedLib>& ForwardedLibsList();
  const std::wstring& Name() const noexcept { return FDllName; }
  static std::wstring ItemName(const TVLPeExportFuncItem* item) { return item ? item->Name() : std::wstring(); }

  bool AnyForwards() const noexcept { return FAnyForwards; }
  std::uint32_t Base() const noexcept { return FBase; }
  bool HasExportDir() const noexcept { return FHasExportDir; }
  const TImageExportDirectory& ExportDir() const noexcept { return FExportDir; }
  std::uint32_t FunctionCount() const noexcept { return FFunctionCount; }
  TVLPeExportSort LastSortType() const noexcept { return FLastSortType; }
  bool LastSortDescending() const noexcept { return FLastSortDescending; }
  bool Sorted() const noexcept { return FSorted; }
  TVLPeResolveCheck TotalResolveCheck() const noexcept { return FTotalResolveCheck; }

 private:
  void Load();

  TVLPeImage* FImage;
  std::vector<std::unique_ptr<TVLPeExportFuncItem>> FItems;
  bool FAnyForwards = false;
  std::uint32_t FBase = 0;
  bool FHasExportDir = false;
  TImageExportDirectory FExportDir{};
  std::optional<std::vector<TVLPeForwardedLib>> FForwardedLibsList;
  std::uint32_t FFunctionCount = 0;
  TVLPeExportSort FLastSortType = esName;
  bool FLastSortDescending = false;
  bool FSorted = false;
  TVLPeResolveCheck FTotalResolveCheck = icNotChecked;
  std::wstring FDllName;
};

class TVLPeImage {
 public:
  // Only the no-exceptions mode exists: anything else is a caller's error.
  explicit TVLPeImage(bool no_exceptions = true);
  virtual ~TVLPeImage();
  TVLPeImage(const TVLPeImage&) = delete;
  TVLPeImage& operator=(const TVLPeImage&) = delete;

  virtual void Clear();
  // Describes a module already in memory; only the parts VirtualQuery
  // reports readable are ever read.
  virtual void AttachLoadedModule(std::uintptr_t handle, const std::wstring& file_name = {});
  // Maps the file read-only; a different name than the current one reloads.
  void SetFileName(const std::wstring& file_name);
  // Reads an image from bytes the caller keeps alive as long as the image.
  void LoadFromBytes(std::span<const std::uint8_t> bytes, TPeLayout layout, const std::wstring& file_name = {});

  TVLPeImageStatus Status() const noexcept { return FStatus; }
  bool StatusOK() const noexcept { return FStatus == stOk; }
  TVLPeTarget Target() const noexcept { return FTarget; }
  const std::wstring& FileName() const noexcept { return FFileName; }
  std::uintptr_t LibHandle() const noexcept { return FLibHandle; }
  bool AttachedImage() const noexcept { return FAttachedImage; }
  bool ReadOnlyAccess() const noexcept { return FReadOnlyAccess; }
  TPeLayout Layout() const noexcept { return FLayout; }

  TImageDosHeader DOSHeader() const noexcept { return GetDOSHeader(); }
  TImageFileHeader COFFHeader() const noexcept { return GetCOFFHeader(); }
  TImageOptionalHeader32 OptionalHeader32() const noexcept { return GetOptionalHeader32(); }
  TImageOptionalHeader64 OptionalHeader64() const noexcept { return GetOptionalHeader64(); }

  // {0, 0} unless loaded and 0 <= directory < 16.
  TImageDataDirectory GetDirectories(int directory) const noexcept;
  bool GetDirectoryExists(int directory) const noexcept { return GetDirectories(directory).VirtualAddress != 0; }
  // The directory's bytes when all of them lie in the image (and the
  // directory is within NumberOfRvaAndSizes), else empty.
  std::span<const std::uint8_t> DirectoryEntryToData(int directory) const noexcept;

  const std::vector<TVLPeSection>& ImageSections() const noexcept { return FImageSections; }
  // Case-insensitive (ASCII), first match; a zeroed header when absent.
  bool GetSectionHeader(std::wstring_view section_name, TImageSectionHeader& header) const noexcept;
  const TVLPeSection* RvaToSection(std::uint32_t rva) const noexcept;
  // The bytes at `rva` up to the end of what backs it (the section's raw
  // data in the file layout, the image in the image layout); empty when
  // nothing does.
  std::span<const std::uint8_t> RvaToSpan(std::uint32_t rva) const noexcept;
  // `count` bytes at `rva`, or empty when they do not all lie in the image.
  std::span<const std::uint8_t> RvaBytes(std::uint32_t rva, std::uint32_t count) const noexcept;
  const std::uint8_t* RvaToVa(std::uint32_t rva) const noexcept;
  // The zero-terminated 8-bit string at `rva`; none without its terminator.
  std::optional<std::string> ReadAnsiString(std::uint32_t rva) const;
  // The name of the section whose virtual range holds `rva`, or empty.
  std::wstring GetImageSectionNameFromRva(std::uint32_t rva) const;
  const std::uint8_t* MappedAddress() const noexcept;
  std::span<const std::uint8_t> Bytes() const noexcept { return FBytes; }

  TVLPeExportFuncList& ExportList();
  TVLPeDebugList& DebugList();

  // Whether the image's own resource directory lists an RCDATA resource of
  // this name (ASCII letters compared without case, as the loader does).
  // A directory that lies answers false.
  bool HasRcDataResource(std::wstring_view name) const noexcept;

  // The library file next to `base_path` when it exists, else where the
  // platform's search path finds it, else the name unchanged.
  static std::wstring ExpandBySearchPath(const std::wstring& module_name, const std::wstring& base_path);

 protected:
  // Runs after every successful load.
  virtual void ImageLoaded() {}
  virtual TImageDosHeader GetDOSHeader() const noexcept;
  virtual TImageFileHeader GetCOFFHeader() const noexcept;
  virtual TImageOptionalHeader32 GetOptionalHeader32() const noexcept;
  virtual TImageOptionalHeader64 GetOptionalHeader64() const noexcept;

 private:
  // Checks the headers of FBytes and fills the target, status and sections.
  void Parse();
  void LoadSections(std::uint32_t table_offset, std::uint16_t count);
  template <typename T>
  bool ReadAt(std::size_t offset, T& out) const noexcept;

  std::uintptr_t FLibHandle = 0;
  bool FAttachedImage = false;
  std::unique_ptr<TVLPeDebugList> FDebugList;
  std::wstring FFileName;
  std::unique_ptr<TVLPeExportFuncList> FExportList;
  TVLPeImageStatus FStatus = stNotLoaded;
  bool FReadOnlyAccess = false;
  TVLPeTarget FTarget = taUnknown;
  std::vector<TVLPeSection> FImageSections;

  TPeLayout FLayout = TPeLayout::kFile;
  std::span<const std::uint8_t> FBytes;
  std::uint32_t FNtOffset = 0;
  std::unique_ptr<platform::TMappedFile> FMapping;
};

// An image that also tells whether it is a run-time package (both package
// resources) or comes from the Borland tool chain (its licence resource, or
// a package). The resources are read from the image itself, loaded or
// mapped from its file alike.
class TVLPeBorImage : public TVLPeImage {
 public:
  using TVLPeImage::TVLPeImage;
  bool IsPackage() const noexcept { return FIsPackage; }
  bool IsBorlandImage() const noexcept { return FIsBorlandImage; }
  void Clear() override;

 protected:
  void ImageLoaded() override;

 private:
  bool FIsPackage = false;
  bool FIsBorlandImage = false;
};

// Images opened by file name, each once.
class TVLPeImagesCache {
 public:
  TVLPeImagesCache() = default;
  virtual ~TVLPeImagesCache();
  TVLPeImagesCache(const TVLPeImagesCache&) = delete;
  TVLPeImagesCache& operator=(const TVLPeImagesCache&) = delete;

  // The image for exactly this name, created and loaded on the first request.
  TVLPeImage& GetImages(const std::wstring& file_name);
  int Count() const noexcept { return static_cast<int>(FList.size()); }
  void Clear() noexcept;

 protected:
  virtual std::unique_ptr<TVLPeImage> NewImage() { return std::make_unique<TVLPeImage>(true); }
  // Loads `image` for `file_name`; a cache over something other than files
  // overrides this.
  virtual void LoadImage(TVLPeImage& image, const std::wstring& file_name) { image.SetFileName(file_name); }

 private:
  // Sorted by name, no duplicates.
  std::vector<std::pair<std::wstring, std::unique_ptr<TVLPeImage>>> FList;
};

}  // namespace zelvic::diag
