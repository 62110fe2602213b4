#include "diagnostics/config/ENameValues.h"

#include <algorithm>
#include <limits>

#include "platform/text_compare.h"

namespace zelvic::diag {

std::uint32_t NameHash(std::wstring_view name) noexcept {
  std::uint32_t h = 0;
  for (wchar_t c : name) {
    const auto unit = static_cast<std::uint16_t>(c);
    h = static_cast<std::uint32_t>(unit & 0xFF) + h * 65599u;
    h = static_cast<std::uint32_t>(unit >> 8) + h * 65599u;
  }
  return h;
}

bool IsInt64Text(std::wstring_view text) noexcept {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) {
    negative = text[i] == L'-';
    ++i;
  }
  if (i == text.size()) return false;
  // Accumulate as a negative number: its range includes INT64_MIN.
  std::int64_t v = 0;
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  for (; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (c < L'0' || c > L'9') return false;
    const int d = c - L'0';
    if (v < kMin / 10 || (v == kMin / 10 && -d < kMin % 10)) return false;
    v = v * 10 - d;
  }
  return negative || v != kMin;
}

std::optional<std::int64_t> Int64FromText(std::wstring_view text) noexcept {
  if (!IsInt64Text(text)) return std::nullopt;
  std::int64_t v = 0;
  std::size_t i = text[0] == L'-' || text[0] == L'+' ? 1 : 0;
  const bool negative = text[0] == L'-';
  // Negative accumulation, as above, so INT64_MIN fits.
  for (; i < text.size(); ++i) v = v * 10 - (text[i] - L'0');
  return negative ? v : -v;
}

std::wstring EncodeValue(std::wstring_view value) {
  if (IsInt64Text(value)) return std::wstring(value);
  std::wstring out;
  out.reserve(value.size() + 2);
  out.push_back(L'"');
  for (std::size_t i = 0; i < value.size(); ++i) {
    const wchar_t c = value[i];
    if (c == L'\\') {
      out += L"\\\\";
    } else if (c == L'-' && i + 1 < value.size() && value[i + 1] == L'-') {
      out += L"\\d\\d";
      ++i;
    } else if (c == L'\r') {
      out += L"\\r";
    } else if (c == L'\n') {
      out += L"\\n";
    } else if (c == L'"') {
      out += L"\\q";
    } else {
      out.push_back(c);
    }
  }
  out.push_back(L'"');
  return out;
}

std::wstring DecodeValue(std::wstring_view raw) {
  if (raw.empty() || raw[0] != L'"') return std::wstring(raw);
  if (raw == L"\"\"") return {};
  std::wstring unquoted;
  for (std::size_t i = 1; i < raw.size(); ++i) {
    if (raw[i] == L'"') {
      if (i + 1 < raw.size() && raw[i + 1] == L'"') {
        unquoted.push_back(L'"');
        ++i;
        continue;
      }
      break;
    }
    unquoted.push_back(raw[i]);
  }
  std::wstring out;
  out.reserve(unquoted.size());
  for (std::size_t i = 0; i < unquoted.size(); ++i) {
    const wchar_t c = unquoted[i];
    if (c != L'\\') {
      out.push_back(c);
      continue;
    }
    const wchar_t next = i + 1 < unquoted.size() ? unquoted[i + 1] : L'\0';
    switch (next) {
      case L'\\': out.push_back(L'\\'); break;
      case L'r': out.push_back(L'\r'); break;
      case L'n': out.push_back(L'\n'); break;
      case L'q': out.push_back(L'"'); break;
      case L'd': out.push_back(L'-'); break;
      default: return std::wstring(raw);
    }
    ++i;
  }
  return out;
}

std::size_t TNameValues::Add(std::wstring name, std::wstring value) {
  const std::uint32_t h = NameHash(name);
  const auto at = std::upper_bound(items_.begin(), items_.end(), h,
                                   [](std::uint32_t hash, const TNameValue& item) { return hash < item.Hash; });
  const auto pos = items_.insert(at, TNameValue{h, std::move(name), std::move(value)});
  return static_cast<std::size_t>(pos - items_.begin());
}

void TNameValues::Delete(std::size_t index) {
  if (index >= items_.size()) return;
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
}

std::ptrdiff_t TNameValues::IndexOfName(std::wstring_view name) const noexcept {
  const std::uint32_t h = NameHash(name);
  auto it = std::lower_bound(items_.begin(), items_.end(), h,
                             [](const TNameValue& item, std::uint32_t hash) { return item.Hash < hash; });
  for (; it != items_.end() && it->Hash == h; ++it) {
    if (it->Name == name) return it - items_.begin();
  }
  return -1;
}

std::wstring TNameValueStorage::GetValue(std::wstring_view name) const {
  const std::ptrdiff_t i = data_.IndexOfName(name);
  return i < 0 ? std::wstring() : data_.GetItem(static_cast<std::size_t>(i)).Value;
}

void TNameValueStorage::SetValueQuietly(std::wstring_view name, std::wstring value) {
  const std::ptrdiff_t i = data_.IndexOfName(name);
  if (i >= 0) {
    data_.GetItem(static_cast<std::size_t>(i)).Value = std::move(value);
  } else {
    data_.Add(std::wstring(name), std::move(value));
  }
  MarkChanged();
}

void TNameValueStorage::SetValue(std::wstring_view name, std::wstring value) {
  SetValueQuietly(name, std::move(value));
  Notify();
}

void TNameValueStorage::Add(std::wstring name, std::wstring value) {
  data_.Add(std::move(name), std::move(value));
  MarkChanged();
  Notify();
}

void TNameValueStorage::SetValueFromIndex(std::size_t index, std::wstring value) {
  data_.GetItem(index).Value = std::move(value);
  MarkChanged();
  Notify();
}

void TNameValueStorage::Delete(std::size_t index) {
  data_.Delete(index);
  MarkChanged();
  Notify();
}

void TNameValueStorage::Clear() {
  data_.Clear();
  MarkChanged();
  Notify();
}

void TNameValueStorage::EndUpdate() {
  if (update_count_ <= 0) return;
  if (--update_count_ == 0 && changed_) Notify();
}

void TNameValueStorage::Notify() {
  if (update_count_ != 0) return;
  changed_ = false;
  if (on_update_) on_update_();
}

std::vector<std::wstring> TNameValueStorage::TextLines() const {
  std::vector<std::wstring> lines;
  lines.reserve(data_.Count());
  for (std::size_t i = 0; i < data_.Count(); ++i) {
    const TNameValue& item = data_.GetItem(i);
    lines.push_back(item.Name + L"=" + EncodeValue(item.Value));
  }
  std::stable_sort(lines.begin(), lines.end(), [](const std::wstring& a, const std::wstring& b) {
    return platform::CompareTextIgnoreCase(a, b) < 0;
  });
  return lines;
}

std::wstring TNameValueStorage::Text() const {
  std::wstring text;
  for (const std::wstring& line : TextLines()) {
    text += line;
    text += L"\r\n";
  }
  return text;
}

void TNameValueStorage::SetText(std::wstring_view text) {
  const TNameValueUpdate update(*this);
  data_.Clear();
  MarkChanged();
  std::wstring name;
  std::wstring value;
  for (const std::wstring& line : SplitLines(text)) {
    if (SplitNameValueLine(line, name, value)) SetValueQuietly(name, std::move(value));
  }
}

void TNameValueStorage::Assign(const TNameValueStorage* source) {
  if (source == this) return;
  const TNameValueUpdate update(*this);
  if (source == nullptr) {
    data_.Clear();
  } else {
    data_ = source->data_;
  }
  MarkChanged();
}

void TNameValueStorage::AssignLines(const std::vector<std::wstring>& lines) {
  const TNameValueUpdate update(*this);
  data_.Clear();
  MarkChanged();
  std::wstring name;
  std::wstring value;
  for (const std::wstring& line : lines) {
    if (SplitNameValueLine(line, name, value)) data_.Add(std::move(name), std::move(value));
  }
}

std::vector<std::wstring> SplitLines(std::wstring_view text) {
  std::vector<std::wstring> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const wchar_t c = text[i];
    if (c == L'\r' || c == L'\n') {
      lines.emplace_back(text.substr(start, i - start));
      if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

bool SplitNameValueLine(std::wstring_view line, std::wstring& name, std::wstring& value) {
  const std::size_t eq = line.find(L'=');
  if (eq == std::wstring_view::npos) return false;
  name.assign(line.substr(0, eq));
  value = DecodeValue(line.substr(eq + 1));
  return true;
}

}  // namespace zelvic::diag
