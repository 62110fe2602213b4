// The diagnostics data container, as bytes: its header generations, blocks,
// compression and the password check. The reader and the build-time writer
// both live here, so they share every constant and encoder. Nothing here
// touches the platform: a container is a byte span, whether it comes from a
// resource, a file or a test.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "diagnostics/config/EVLData.h"
#include "diagnostics/util/ETextEncoding.h"

namespace zelvic::diag {

inline constexpr std::uint16_t kVLDataCurrentVersion = 7007;
// Offsets of the version-7000 header.
inline constexpr std::size_t kHeaderBuildDate7 = 38;
inline constexpr std::size_t kHeaderMemoryRecord7 = 46;
inline constexpr std::size_t kHeaderUseMainFlag7 = 62;
inline constexpr std::size_t kHeaderExtraLength7 = 63;
inline constexpr std::size_t kHeaderSize7 = 71;

// Bounds-checked little-endian reading; running past the end raises
// EInvalidDebugInformation("Stream read error").
class TByteReader {
 public:
  explicit TByteReader(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
  std::uint8_t U8();
  std::uint16_t U16();
  std::uint32_t U32();
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  std::int64_t I64();
  double F64();
  std::span<const std::uint8_t> Bytes(std::uint64_t count);
  void Skip(std::uint64_t count) { Bytes(count); }
  std::span<const std::uint8_t> Rest() noexcept { return bytes_.subspan(pos_); }
  std::size_t Position() const noexcept { return pos_; }
  std::size_t Size() const noexcept { return bytes_.size(); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

class TByteWriter {
 public:
  void U8(std::uint8_t v) { bytes_.push_back(v); }
  void U16(std::uint16_t v);
  void U32(std::uint32_t v);
  void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
  void I64(std::int64_t v);
  void F64(double v);
  void Bytes(std::span<const std::uint8_t> b) { bytes_.insert(bytes_.end(), b.begin(), b.end()); }
  std::vector<std::uint8_t>& Data() noexcept { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// A stored version of 600, 601 or 602 means 6000, 6001 or 6002.
std::uint16_t FixUpVersion(std::uint16_t stored) noexcept;

// zlib inflate with the container's buffer rule: U bytes when U is known and
// not zero, else (C + 255) rounded down to 256 and grown by that step. A
// declared size no zlib stream can reach is refused before allocating.
std::vector<std::uint8_t> InflateBlock(std::span<const std::uint8_t> compressed, std::int32_t uncompressed_size);
std::vector<std::uint8_t> DeflateBlock(std::span<const std::uint8_t> raw);

// The 4-byte encrypted marker for a password (UTF-8), and the check of one.
std::uint32_t EncipherMarker(std::uint32_t marker, std::span<const std::uint8_t> password_utf8);
bool IsPasswordValidFor(std::uint32_t encrypted_marker, std::span<const std::uint8_t> password_utf8);

// Where a password comes from when the one in force does not open a module's
// data. The facility's event lists plug in here: they ask their handlers in
// registration order until one supplies a password or asks to stop.
class TPasswordRequester {
 public:
  virtual ~TPasswordRequester() = default;
  // A supplied password, or empty when none was supplied.
  virtual std::wstring RequestPassword(std::uintptr_t module_base) = 0;
};
void SetPasswordRequester(TPasswordRequester* requester) noexcept;
TPasswordRequester* PasswordRequester() noexcept;

// The container's password check: the password in force opens the data, or
// one supplied by the requester that differs from it is adopted (written to
// `password`) and tried once more.
bool CheckDataPassword(std::uint32_t encrypted_marker, std::uintptr_t module_base, std::wstring& password);

struct TCodeLocation {
  std::uint8_t Identifier;
  std::uint32_t Offset;  // a code offset (ECodeOffsets.h)
  std::uint32_t Size;
};

// What a build stores; the writer makes the current (7000+) form of it.
struct TVLDataContents {
  std::uint16_t Version = kVLDataCurrentVersion;
  std::uint8_t ProjectId[16] = {};
  double BuildDate = 0;
  TMemoryFilterOptions MemoryOptions;
  std::uint8_t UseMainModuleOptions = 0;
  std::vector<std::uint8_t> ExtraArea;
  std::vector<TCodeLocation> CodeLocations;
  std::vector<std::uint8_t> OptionsText;  // UTF-8 with byte-order mark, stored compressed
  std::uint32_t EncryptedMarker = 0;
  std::vector<std::uint8_t> DebugInfo;  // the D bytes, stored compressed behind their length
};
std::vector<std::uint8_t> WriteVLData(const TVLDataContents& contents);

// The full reader's three receivers. Each may be absent.
class TVLDataReceiver {
 public:
  virtual ~TVLDataReceiver() = default;
  virtual bool WantsOptions() const { return false; }
  // A reader that wants only the options spares inflating the debug block.
  virtual bool WantsDebugInfo() const { return true; }
  // Takes the options from the stream; returns how many bytes the options
  // used (older forms keep more data behind them).
  virtual std::size_t SetOptions(std::span<const std::uint8_t> options_stream, std::uint16_t version,
                                 bool use_main_module_options);
  // Asked with the encrypted marker; answers whether the password in force
  // (after any password request) deciphers it to a valid marker.
  virtual bool AskPassword(std::uint32_t encrypted_marker);
  virtual void LoadDebugInfo(std::span<const std::uint8_t> debug_info);
};

struct TVLDataReadResult {
  std::uint16_t Version = 0;
  double BuildDate = 0;
  bool UseMainModuleOptions = false;
  std::uint32_t EncryptedMarker = 0;
  bool Encrypted = false;  // the password was not accepted
};

// The full read of a resource-form container. Raises the debug-information
// exceptions on a version past 7007, corrupt compression or truncation.
TVLDataReadResult LoadVLData(std::span<const std::uint8_t> bytes, TVLDataReceiver& receiver);

// The appended-to-file form: `file_tail` is the whole block that ends the
// file (the L bytes, the length and the marker); options get the rest.
TVLDataReadResult LoadAppendedVLData(std::span<const std::uint8_t> block, TVLDataReceiver& receiver);
// The L + 8 bytes at the end of a file that carry appended data, if its last
// four bytes are a valid marker and L fits: (offset of the block, length).
std::optional<std::pair<std::uint64_t, std::uint32_t>> LocateAppendedVLData(std::span<const std::uint8_t> last8,
                                                                            std::uint64_t file_size) noexcept;

// Header-only readings (no decompression).
std::uint16_t VLDataVersion(std::span<const std::uint8_t> bytes) noexcept;  // 0 without a valid marker
struct TEarlyMemoryOptions {
  TMemoryFilterOptions Record;
  bool UseMainModuleOptions = false;
  bool FilterActive = false;      // memory filter: loEnableMMDebugMode, or the old leak flag
  bool LeakFilterActive = false;  // resource-leak filter: loResCatchLeaks
};
std::optional<TEarlyMemoryOptions> EarlyMemoryOptionsOf(std::span<const std::uint8_t> bytes) noexcept;
// A module whose header asks for the main executable's options takes the main
// executable's record, unless it is the main executable or that one has none.
std::optional<TEarlyMemoryOptions> ChooseEarlyMemoryOptions(const std::optional<TEarlyMemoryOptions>& own,
                                                            const std::optional<TEarlyMemoryOptions>& main,
                                                            bool module_is_main) noexcept;
// The code-location table; empty when the container has none or is damaged.
std::vector<TCodeLocation> CodeLocationsOf(std::span<const std::uint8_t> bytes) noexcept;
// The offset of the first location with this identifier.
std::optional<std::uint32_t> CodeLocationOffset(std::span<const std::uint8_t> bytes, std::uint8_t identifier) noexcept;

}  // namespace zelvic::diag
