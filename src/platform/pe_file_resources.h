// What a PE file on disk says about its resource types, read from the file's
// own bytes: the headers, the section table and the root of the resource
// directory. The version readers use it to skip the system's version query
// for an image that lists no version resource, a query that costs up to a
// millisecond for such a file under Wine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace zelvic::platform {

enum class TResourceTypeListing : std::uint8_t {
  Listed,     // the root of the resource directory names the type
  NotListed,  // a well-formed PE image whose resources (if any) lack it
  Unknown,    // not a PE image, unreadable or malformed: ask the system
};

// Reads up to `into.size()` bytes at `offset` of the file; answers how many
// it read (fewer at the end of the file, 0 when it cannot read).
using TFileBytesReader = std::function<std::size_t(std::uint64_t offset, std::span<std::uint8_t> into)>;

// Whether the file's resource directory lists the numeric resource `type`.
TResourceTypeListing ListResourceType(const TFileBytesReader& read, std::uint16_t type);

}  // namespace zelvic::platform
