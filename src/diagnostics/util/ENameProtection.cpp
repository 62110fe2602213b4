#include "diagnostics/util/ENameProtection.h"

#include <vector>

#include "diagnostics/util/EEncrypt.h"
#include "diagnostics/util/ETextEncoding.h"

namespace zelvic::diag {

std::wstring ProtectName(std::wstring_view name) {
  std::vector<std::uint8_t> bytes = Utf8Bytes(name);
  const TStringCipher cipher;
  cipher.Encipher(bytes);
  return L"??" + Base64Encode(bytes);
}

}  // namespace zelvic::diag
