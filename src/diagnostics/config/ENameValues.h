// The name-value store under the module options: pairs kept in hash order so
// that a lookup is a binary search, plus the value encoding shared by the
// options text, the option store's text form and the per-user settings file.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelvic::diag {

// h = byte + h * 65599 over the UTF-16LE bytes of the name, wrapping at 32
// bits. Working on bytes, not characters, keeps hashes equal to those of the
// stored data of earlier builds; it also makes names case-sensitive.
std::uint32_t NameHash(std::wstring_view name) noexcept;

// True when the text is a signed 64-bit decimal integer (an optional sign and
// digits, nothing else): such values are stored without quotes.
bool IsInt64Text(std::wstring_view text) noexcept;
// The number such a text holds; none for any other text.
std::optional<std::int64_t> Int64FromText(std::wstring_view text) noexcept;

// Quotes and escapes a value so that it survives a one-line "name=value"
// form: line breaks, quotes and "--" (which some readers take as the start of
// a comment) never appear raw.
std::wstring EncodeValue(std::wstring_view value);
// The inverse of EncodeValue. A backslash followed by anything but \ r n q d
// means the text was not written by EncodeValue: the raw text is the value.
std::wstring DecodeValue(std::wstring_view raw);

struct TNameValue {
  std::uint32_t Hash;
  std::wstring Name;
  std::wstring Value;
};

// Pairs sorted by hash (unsigned ascending); equal hashes keep their insertion
// order.
class TNameValues {
 public:
  // Inserts after the last pair whose hash is not greater; returns the index.
  std::size_t Add(std::wstring name, std::wstring value);
  void Delete(std::size_t index);
  void Clear() noexcept { items_.clear(); }
  std::size_t Count() const noexcept { return items_.size(); }
  const TNameValue& GetItem(std::size_t index) const { return items_.at(index); }
  TNameValue& GetItem(std::size_t index) { return items_.at(index); }
  // Index of the first pair with exactly this name, or -1.
  std::ptrdiff_t IndexOfName(std::wstring_view name) const noexcept;

 private:
  std::vector<TNameValue> items_;
};

// The store: pairs plus change notification with update brackets.
class TNameValueStorage {
 public:
  using TUpdateEvent = std::function<void()>;

  TNameValueStorage() = default;
  TNameValueStorage(const TNameValueStorage&) = delete;
  TNameValueStorage& operator=(const TNameValueStorage&) = delete;

  void SetOnUpdate(TUpdateEvent handler) { on_update_ = std::move(handler); }

  std::ptrdiff_t IndexOfName(std::wstring_view name) const noexcept { return data_.IndexOfName(name); }
  bool HasName(std::wstring_view name) const noexcept { return data_.IndexOfName(name) >= 0; }
  std::size_t Count() const noexcept { return data_.Count(); }
  const TNameValues& Data() const noexcept { return data_; }

  // The value of the first pair of that name, or empty.
  std::wstring GetValue(std::wstring_view name) const;
  // Replaces the value of the first pair of that name, or adds a pair.
  void SetValue(std::wstring_view name, std::wstring value);
  // As SetValue, but only marks the store changed: typed option writes are
  // many and small, and the next notification picks them all up.
  void SetValueQuietly(std::wstring_view name, std::wstring value);
  // Adds a pair even when the name exists (repeated names are kept).
  void Add(std::wstring name, std::wstring value);
  const std::wstring& GetName(std::size_t index) const { return data_.GetItem(index).Name; }
  const std::wstring& GetValueFromIndex(std::size_t index) const { return data_.GetItem(index).Value; }
  void SetValueFromIndex(std::size_t index, std::wstring value);
  void Delete(std::size_t index);
  void Clear();

  void BeginUpdate() noexcept { ++update_count_; }
  void EndUpdate();
  bool Changed() const noexcept { return changed_; }

  // One "name=encoded value" line per pair, sorted as text with letter case
  // ignored.
  std::vector<std::wstring> TextLines() const;
  // The lines of TextLines, each followed by CR LF.
  std::wstring Text() const;
  // Clears, then sets every "name=encoded value" line; a later line of the
  // same name replaces an earlier one. Lines without "=" are ignored.
  void SetText(std::wstring_view text);

  // Copies all pairs of `source` in order (nothing: clears).
  void Assign(const TNameValueStorage* source);
  // Clears and adds every line holding "=", keeping repeated names.
  void AssignLines(const std::vector<std::wstring>& lines);
  void AssignTo(std::vector<std::wstring>& lines) const { lines = TextLines(); }

 private:
  void MarkChanged() noexcept { changed_ = true; }
  void Notify();

  TNameValues data_;
  TUpdateEvent on_update_;
  std::int32_t update_count_ = 0;
  bool changed_ = false;
};

// Holds the store's notifications while a group of changes is made: one
// notification at the end of the outermost scope, when anything changed.
class TNameValueUpdate {
 public:
  explicit TNameValueUpdate(TNameValueStorage& storage) noexcept
      : storage_(storage), exceptions_(std::uncaught_exceptions()) {
    storage_.BeginUpdate();
  }
  // The closing notification may raise; while another exception unwinds the
  // scope, that one is the one to report and the notification's is dropped.
  ~TNameValueUpdate() noexcept(false) {
    if (std::uncaught_exceptions() == exceptions_) {
      storage_.EndUpdate();
      return;
    }
    try {
      storage_.EndUpdate();
    } catch (...) {
    }
  }
  TNameValueUpdate(const TNameValueUpdate&) = delete;
  TNameValueUpdate& operator=(const TNameValueUpdate&) = delete;

 private:
  TNameValueStorage& storage_;
  int exceptions_;
};

// Splits at CR, LF or CR LF; a final line break does not make an empty line.
std::vector<std::wstring> SplitLines(std::wstring_view text);
// Name before the first "=" and decoded value after it; false without "=".
bool SplitNameValueLine(std::wstring_view line, std::wstring& name, std::wstring& value);

}  // namespace zelvic::diag
