#include "diagnostics/debuginfo/EObjectClass.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "diagnostics/debuginfo/EUnmangling.h"

namespace zelvic::diag {
namespace {

// Anything past this is no name the compiler wrote for a class we could show.
constexpr std::uint32_t kMaxMangledName = 1024;
// A virtual table's offset to the top of the whole object: 0 for the primary
// table, minus the base's offset for a base sub-object's.
constexpr std::int32_t kMaxOffsetToTop = 0x100000;
constexpr std::uint32_t kPageSize = 0x1000;

bool ReadWord(const memory::TMemoryAccess& memory, std::uint32_t address, std::uint32_t mask, std::uint32_t& value) {
  if (address % 4 != 0 || address > 0xFFFFFFFFu - 4) return false;
  std::uint8_t bytes[4];
  if (memory.CanRead(address, 4, mask) != 4 || memory.Read(address, bytes, 4) != 4) return false;
  std::memcpy(&value, bytes, 4);
  return true;
}

// A zero-ended text in read-only memory, at most `limit` characters; read a
// page piece at a time, so a text that ends just before an unreadable page is
// still read whole.
bool ReadOnlyText(const memory::TMemoryAccess& memory, std::uint32_t address, std::uint32_t limit, std::string& text) {
  text.clear();
  while (text.size() <= limit) {
    const std::uint32_t to_page_end = kPageSize - address % kPageSize;
    const std::uint32_t count = std::min<std::uint32_t>({to_page_end, 64, limit + 1 - static_cast<std::uint32_t>(text.size())});
    if (address == 0 || address > 0xFFFFFFFFu - count) return false;
    char piece[64];
    if (memory.CanRead(address, count, memory::kPageReadOnly) != count ||
        memory.Read(address, reinterpret_cast<std::uint8_t*>(piece), count) != count) {
      return false;
    }
    const auto end = std::find(piece, piece + count, '\0');
    text.append(piece, end);
    if (end != piece + count) return text.size() <= limit;
    address += count;
  }
  return false;
}

// The characters of an Itanium type mangling, after GCC's optional "*".
bool LooksMangled(std::string_view name) noexcept {
  if (!name.empty() && name.front() == '*') name.remove_prefix(1);
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

// The type information of a class with virtual functions is an object of one
// of these three runtime classes.
bool IsClassTypeInfoName(std::string_view name) noexcept {
  return name == "N10__cxxabiv117__class_type_infoE" || name == "N10__cxxabiv120__si_class_type_infoE" ||
         name == "N10__cxxabiv121__vmi_class_type_infoE";
}

// The type-information object a virtual table points back to, and its name.
// `table` must be read-only; the word before it is the type information, the
// one before that the offset to the whole object.
bool TableTypeInfo(const memory::TMemoryAccess& memory, TInLoadedImage in_image, std::uint32_t table,
                   std::uint32_t& type_info, std::string& name) {
  std::uint32_t first_slot, offset_word, name_address;
  if (table < 8 || !in_image(table) || !ReadWord(memory, table, memory::kPageReadOnly, first_slot) ||
      !ReadWord(memory, table - 8, memory::kPageReadOnly, offset_word) ||
      !ReadWord(memory, table - 4, memory::kPageReadOnly, type_info)) {
    return false;
  }
  const auto offset_to_top = static_cast<std::int32_t>(offset_word);
  if (offset_to_top > 0 || offset_to_top <= -kMaxOffsetToTop || offset_to_top % 4 != 0) return false;
  if (!in_image(type_info) || !ReadWord(memory, type_info + 4, memory::kPageReadOnly, name_address) ||
      !in_image(name_address)) {
    return false;
  }
  return ReadOnlyText(memory, name_address, kMaxMangledName, name) && LooksMangled(name);
}

}  // namespace

std::wstring CxxObjectClassName(const memory::TMemoryAccess& memory, std::uint32_t address, TInLoadedImage in_image) {
  if (in_image == nullptr) return {};
  std::uint32_t table = 0;
  if (!ReadWord(memory, address, 0, table)) return {};
  std::uint32_t type_info = 0;
  std::string class_name;
  if (!TableTypeInfo(memory, in_image, table, type_info, class_name)) return {};
  // The type information is an object too: its own table must lead to one of
  // the runtime's class-type-information classes.
  std::uint32_t info_table = 0, info_type = 0;
  std::string info_class;
  if (!ReadWord(memory, type_info, memory::kPageReadOnly, info_table) ||
      !TableTypeInfo(memory, in_image, info_table, info_type, info_class) || !IsClassTypeInfoName(info_class)) {
    return {};
  }
  std::wstring plain;
  if (!DemangleTypeName(class_name, plain)) return {};
  return plain;
}

}  // namespace zelvic::diag
