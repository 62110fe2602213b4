#include "diagnostics/config/EVLDataFormat.h"

#include <zlib.h>

#include <cstring>
#include <string>

#include "diagnostics/util/EVarnelLogErrors.h"
#include "diagnostics/util/EEncrypt.h"

namespace zelvic::diag {
namespace {

[[noreturn]] void ReadError() { throw EInvalidDebugInformation(L"Stream read error"); }

[[noreturn]] void WrongCompressedData(const char* zlib_message) {
  std::wstring text;
  for (const char* c = zlib_message; *c; ++c) text.push_back(static_cast<unsigned char>(*c));
  throw EDebugInfoWrongCompressedData(text);
}

// zlib cannot expand data by more than about 1032:1; a declared or produced
// size beyond that (plus slack for tiny streams) is not a real stream.
constexpr std::uint64_t kMaxInflateRatio = 1032;
constexpr std::uint64_t kInflateSlack = 4096;
constexpr std::uint64_t kMaxInflatedSize = 256u << 20;

std::uint64_t InflateLimit(std::size_t compressed) {
  const std::uint64_t limit = compressed * kMaxInflateRatio + kInflateSlack;
  return limit < kMaxInflatedSize ? limit : kMaxInflatedSize;
}

}  // namespace

// Recognising a container lives here, with the format, so that build tools
// share it without the module side.
bool IsValidVLDataMarker(std::uint32_t marker) noexcept {
  return marker == kVLDataMarker4 || marker == kVLDataMarker6 || marker == kVLDataMarker7;
}

bool StartsWithVLDataMarker(std::span<const std::uint8_t> bytes) noexcept {
  return bytes.size() >= 4 && IsValidVLDataMarker(static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                                                     static_cast<std::uint32_t>(bytes[2]) << 16 |
                                                     static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::uint8_t TByteReader::U8() { return Bytes(1)[0]; }

std::uint16_t TByteReader::U16() {
  const auto b = Bytes(2);
  return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

std::uint32_t TByteReader::U32() {
  const auto b = Bytes(4);
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

std::int64_t TByteReader::I64() {
  const std::uint64_t lo = U32();
  const std::uint64_t hi = U32();
  return static_cast<std::int64_t>(lo | hi << 32);
}

double TByteReader::F64() {
  const auto b = Bytes(8);
  double d;
  std::memcpy(&d, b.data(), sizeof d);
  return d;
}

std::span<const std::uint8_t> TByteReader::Bytes(std::uint64_t count) {
  if (count > bytes_.size() - pos_) ReadError();
  const auto out = bytes_.subspan(pos_, static_cast<std::size_t>(count));
  pos_ += static_cast<std::size_t>(count);
  return out;
}

void TByteWriter::U16(std::uint16_t v) {
  U8(static_cast<std::uint8_t>(v));
  U8(static_cast<std::uint8_t>(v >> 8));
}

void TByteWriter::U32(std::uint32_t v) {
  for (int i = 0; i < 4; ++i) U8(static_cast<std::uint8_t>(v >> (8 * i)));
}

void TByteWriter::I64(std::int64_t v) {
  U32(static_cast<std::uint32_t>(v));
  U32(static_cast<std::uint32_t>(static_cast<std::uint64_t>(v) >> 32));
}

void TByteWriter::F64(double v) {
  std::uint8_t b[8];
  std::memcpy(b, &v, 8);
  Bytes(b);
}

std::uint16_t FixUpVersion(std::uint16_t stored) noexcept {
  return stored >= 600 && stored <= 602 ? static_cast<std::uint16_t>(6000 + (stored - 600)) : stored;
}

std::vector<std::uint8_t> InflateBlock(std::span<const std::uint8_t> compressed, std::int32_t uncompressed_size) {
  if (uncompressed_size < 0 || static_cast<std::uint64_t>(uncompressed_size) > InflateLimit(compressed.size())) {
    WrongCompressedData("Wrong compressed data");
  }
  const std::size_t step = ((compressed.size() + 255) & ~static_cast<std::size_t>(255)) | (compressed.empty() ? 256 : 0);
  const bool size_known = uncompressed_size > 0;
  std::vector<std::uint8_t> out(size_known ? static_cast<std::size_t>(uncompressed_size) : step);
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) WrongCompressedData("Wrong compressed data");
  zs.next_in = const_cast<Bytef*>(compressed.data());
  zs.avail_in = static_cast<uInt>(compressed.size());
  std::size_t produced = 0;
  for (;;) {
    zs.next_out = out.data() + produced;
    zs.avail_out = static_cast<uInt>(out.size() - produced);
    const int rc = inflate(&zs, Z_NO_FLUSH);
    produced = out.size() - zs.avail_out;
    if (rc == Z_STREAM_END) break;
    if (rc != Z_OK && !(rc == Z_BUF_ERROR && zs.avail_out == 0)) {
      // A stream that simply stops has no zlib message of its own.
      const std::string message = zs.msg ? zs.msg : "Wrong compressed data";
      inflateEnd(&zs);
      WrongCompressedData(message.c_str());
    }
    if (zs.avail_out == 0) {
      if (size_known) break;  // exactly U bytes are wanted
      if (out.size() + step > InflateLimit(compressed.size())) {
        inflateEnd(&zs);
        WrongCompressedData("Wrong compressed data");
      }
      out.resize(out.size() + step);
    }
  }
  inflateEnd(&zs);
  if (produced == 0) WrongCompressedData("Wrong compressed data");
  out.resize(produced);
  return out;
}

std::vector<std::uint8_t> DeflateBlock(std::span<const std::uint8_t> raw) {
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  std::vector<std::uint8_t> out(size);
  if (compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), Z_BEST_COMPRESSION) != Z_OK) {
    throw EVarnelLogGeneralError(L"Cannot compress the diagnostics data");
  }
  out.resize(size);
  return out;
}

std::uint32_t EncipherMarker(std::uint32_t marker, std::span<const std::uint8_t> password_utf8) {
  TStringCipher cipher;
  cipher.SetPassword(password_utf8);
  std::uint8_t b[4] = {static_cast<std::uint8_t>(marker), static_cast<std::uint8_t>(marker >> 8),
                       static_cast<std::uint8_t>(marker >> 16), static_cast<std::uint8_t>(marker >> 24)};
  cipher.Encipher(b);
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

bool IsPasswordValidFor(std::uint32_t encrypted_marker, std::span<const std::uint8_t> password_utf8) {
  TStringCipher cipher;
  cipher.SetPassword(password_utf8);
  std::uint8_t b[4] = {static_cast<std::uint8_t>(encrypted_marker), static_cast<std::uint8_t>(encrypted_marker >> 8),
                       static_cast<std::uint8_t>(encrypted_marker >> 16),
                       static_cast<std::uint8_t>(encrypted_marker >> 24)};
  cipher.Decipher(b);
  return IsValidVLDataMarker(static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
                             static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24);
}

namespace {
TPasswordRequester* g_password_requester = nullptr;
}  // namespace

void SetPasswordRequester(TPasswordRequester* requester) noexcept { g_password_requester = requester; }
TPasswordRequester* PasswordRequester() noexcept { return g_password_requester; }

bool CheckDataPassword(std::uint32_t encrypted_marker, std::uintptr_t module_base, std::wstring& password) {
  if (IsPasswordValidFor(encrypted_marker, Utf8Bytes(password))) return true;
  if (g_password_requester == nullptr) return false;
  const std::wstring supplied = g_password_requester->RequestPassword(module_base);
  if (supplied.empty() || supplied == password) return false;
  password = supplied;
  return IsPasswordValidFor(encrypted_marker, Utf8Bytes(password));
}

std::vector<std::uint8_t> WriteVLData(const TVLDataContents& c) {
  TByteWriter w;
  w.U32(kVLDataMarker7);
  w.U16(c.Version);
  for (int i = 0; i < 16; ++i) w.U8(0);
  w.Bytes(c.ProjectId);
  w.F64(c.BuildDate);
  w.Bytes(c.MemoryOptions.Bytes);
  w.U8(c.UseMainModuleOptions);
  w.I64(static_cast<std::int64_t>(c.ExtraArea.size()));
  w.Bytes(c.ExtraArea);
  w.I32(static_cast<std::int32_t>(c.CodeLocations.size() * 9));
  for (const TCodeLocation& l : c.CodeLocations) {
    w.U8(l.Identifier);
    w.U32(l.Offset);
    w.U32(l.Size);
  }
  const auto options = DeflateBlock(c.OptionsText);
  w.I32(static_cast<std::int32_t>(options.size()));
  w.I32(static_cast<std::int32_t>(c.OptionsText.size()));
  w.Bytes(options);
  w.U32(c.EncryptedMarker);
  TByteWriter debug;
  debug.I32(static_cast<std::int32_t>(c.DebugInfo.size()));
  debug.Bytes(c.DebugInfo);
  const auto packed = DeflateBlock(debug.Data());
  w.I32(static_cast<std::int32_t>(packed.size()));
  w.I32(static_cast<std::int32_t>(debug.Data().size()));
  w.Bytes(packed);
  return std::move(w.Data());
}

std::size_t TVLDataReceiver::SetOptions(std::span<const std::uint8_t>, std::uint16_t, bool) { return 0; }

bool TVLDataReceiver::AskPassword(std::uint32_t encrypted_marker) { return IsPasswordValidFor(encrypted_marker, {}); }

void TVLDataReceiver::LoadDebugInfo(std::span<const std::uint8_t>) {}

namespace {

void HandOverDebugInfo(std::span<const std::uint8_t> debug_stream, TVLDataReceiver& receiver) {
  TByteReader r(debug_stream);
  const std::int32_t d = r.I32();
  if (d >= 1) receiver.LoadDebugInfo(r.Bytes(static_cast<std::uint32_t>(d)));
}

}  // namespace

TVLDataReadResult LoadVLData(std::span<const std::uint8_t> bytes, TVLDataReceiver& receiver) {
  TByteReader r(bytes);
  TVLDataReadResult result;
  const std::uint32_t marker = r.U32();
  if (!IsValidVLDataMarker(marker)) throw EInvalidDebugInformation(L"Invalid diagnostics data marker");
  const std::uint16_t version = FixUpVersion(r.U16());
  result.Version = version;
  if (version > kVLDataCurrentVersion) {
    throw EInvalidDebugInformationVersion(L"Version " + std::to_wstring(version) +
                                          L" is greater than current VarnelLog version (" +
                                          std::to_wstring(kVLDataCurrentVersion) + L")");
  }
  if (version >= 7000) r.Skip(32);
  result.BuildDate = r.F64();
  if (version >= 7000) {
    r.Skip(sizeof(TMemoryFilterOptions::Bytes));
    result.UseMainModuleOptions = r.U8() != 0;
    const std::int64_t extra = r.I64();
    if (extra < 0) throw EInvalidDebugInformation(L"Stream read error");
    r.Skip(static_cast<std::uint64_t>(extra));
  } else if (version >= 6000) {
    r.Skip(1);
    result.UseMainModuleOptions = r.U8() != 0;
  }
  if (version >= 500) {
    const std::int32_t n = r.I32();
    if (n < 0) throw EInvalidDebugInformation(L"Stream read error");
    r.Skip(static_cast<std::uint32_t>(n));
    const std::int32_t c = r.I32();
    const std::int32_t u = version >= 7000 ? r.I32() : 0;
    if (c < 0) throw EInvalidDebugInformation(L"Stream read error");
    const auto packed = r.Bytes(static_cast<std::uint32_t>(c));
    if (receiver.WantsOptions()) {
      const auto options = InflateBlock(packed, u);
      receiver.SetOptions(options, version, result.UseMainModuleOptions);
    }
    result.EncryptedMarker = r.U32();
    result.Encrypted = !receiver.AskPassword(result.EncryptedMarker);
  }
  // Below 500 the options live in the debug stream, so it is read for them.
  if (!receiver.WantsDebugInfo() && !(version < 500 && receiver.WantsOptions())) return result;
  std::vector<std::uint8_t> debug_stream;
  if (version < 450) {
    const auto rest = r.Rest();
    debug_stream.assign(rest.begin(), rest.end());
  } else if (version >= 7000) {
    const std::int32_t c2 = r.I32();
    const std::int32_t u2 = r.I32();
    if (c2 < 0) throw EInvalidDebugInformation(L"Stream read error");
    debug_stream = InflateBlock(r.Bytes(static_cast<std::uint32_t>(c2)), u2);
  } else {
    debug_stream = InflateBlock(r.Rest(), 0);
  }
  std::span<const std::uint8_t> debug(debug_stream);
  if (version < 500 && receiver.WantsOptions()) {
    const std::size_t used = receiver.SetOptions(debug, version, result.UseMainModuleOptions);
    debug = debug.subspan(used < debug.size() ? used : debug.size());
  }
  HandOverDebugInfo(debug, receiver);
  return result;
}

std::optional<std::pair<std::uint64_t, std::uint32_t>> LocateAppendedVLData(std::span<const std::uint8_t> last8,
                                                                            std::uint64_t file_size) noexcept {
  if (last8.size() != 8 || file_size < 8) return std::nullopt;
  TByteReader r(last8);
  const std::int32_t length = r.I32();
  const std::uint32_t marker = r.U32();
  if (!IsValidVLDataMarker(marker) || length < 0 || static_cast<std::uint64_t>(length) > file_size - 8) {
    return std::nullopt;
  }
  return std::make_pair(file_size - 8 - static_cast<std::uint64_t>(length), static_cast<std::uint32_t>(length));
}

TVLDataReadResult LoadAppendedVLData(std::span<const std::uint8_t> block, TVLDataReceiver& receiver) {
  TByteReader r(block);
  TVLDataReadResult result;
  result.Version = FixUpVersion(r.U16());
  if (result.Version > kVLDataCurrentVersion) {
    throw EInvalidDebugInformationVersion(L"Version " + std::to_wstring(result.Version) +
                                          L" is greater than current VarnelLog version (" +
                                          std::to_wstring(kVLDataCurrentVersion) + L")");
  }
  result.BuildDate = r.F64();
  auto rest = r.Rest();
  const std::size_t used = receiver.WantsOptions() ? receiver.SetOptions(rest, result.Version, false) : 0;
  rest = rest.subspan(used < rest.size() ? used : rest.size());
  if (!rest.empty()) HandOverDebugInfo(rest, receiver);
  result.Encrypted = false;
  return result;
}

std::uint16_t VLDataVersion(std::span<const std::uint8_t> bytes) noexcept {
  if (!StartsWithVLDataMarker(bytes) || bytes.size() < 6) return 0;
  return FixUpVersion(static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8));
}

std::optional<TEarlyMemoryOptions> EarlyMemoryOptionsOf(std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.size() < 6) return std::nullopt;
  const std::uint32_t marker = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                               static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  const std::uint16_t version = VLDataVersion(bytes);
  TEarlyMemoryOptions out;
  if (marker == kVLDataMarker7 && version >= 7000 && bytes.size() > kHeaderUseMainFlag7) {
    std::memcpy(out.Record.Bytes, &bytes[kHeaderMemoryRecord7], sizeof out.Record.Bytes);
    out.UseMainModuleOptions = bytes[kHeaderUseMainFlag7] != 0;
    out.FilterActive = (out.Record.Bytes[0] & 0x20) != 0;
    out.LeakFilterActive = (out.Record.Bytes[1] & 0x02) != 0;
    return out;
  }
  if (marker == kVLDataMarker6 && version >= 6000 && bytes.size() >= 16) {
    if (bytes[14] != 0) {
      out.Record.Bytes[0] = 0x11;  // first word 0x8011
      out.Record.Bytes[1] = 0x80;
      out.FilterActive = true;
    }
    out.UseMainModuleOptions = bytes[15] != 0;
    return out;
  }
  return std::nullopt;
}

std::optional<TEarlyMemoryOptions> ChooseEarlyMemoryOptions(const std::optional<TEarlyMemoryOptions>& own,
                                                            const std::optional<TEarlyMemoryOptions>& main,
                                                            bool module_is_main) noexcept {
  if (own && own->UseMainModuleOptions && !module_is_main && main) return main;
  return own;
}

std::optional<std::uint32_t> CodeLocationOffset(std::span<const std::uint8_t> bytes, std::uint8_t identifier) noexcept {
  for (const TCodeLocation& l : CodeLocationsOf(bytes)) {
    if (l.Identifier == identifier) return l.Offset;
  }
  return std::nullopt;
}

std::vector<TCodeLocation> CodeLocationsOf(std::span<const std::uint8_t> bytes) noexcept {
  std::vector<TCodeLocation> out;
  try {
    TByteReader r(bytes);
    if (!IsValidVLDataMarker(r.U32())) return {};
    const std::uint16_t version = FixUpVersion(r.U16());
    if (version < 500 || version > kVLDataCurrentVersion) return {};
    if (version >= 7000) {
      r.Skip(32 + 8 + 16 + 1);
      const std::int64_t extra = r.I64();
      if (extra < 0) return {};
      r.Skip(static_cast<std::uint64_t>(extra));
    } else {
      r.Skip(8 + (version >= 6000 ? 2 : 0));
    }
    const std::int32_t n = r.I32();
    if (n < 0) return {};
    TByteReader table(r.Bytes(static_cast<std::uint32_t>(n)));
    while (table.Rest().size() >= 9) {
      TCodeLocation l;
      l.Identifier = table.U8();
      l.Offset = table.U32();
      l.Size = table.U32();
      out.push_back(l);
    }
  } catch (...) {
    // A header-only reading that must not fail (it is noexcept): a damaged
    // or short header, or no memory for the list, means no locations.
    return {};
  }
  return out;
}

}  // namespace zelvic::diag
