// Names shown in a protected form. A stack or thread list that holds names a
// module's debug information could not decipher ("?p...") shows every other
// name of that module protected as well, so that the report gives away no
// more than the undecipherable names do. The vendor, who has the password,
// can turn a protected name back.
#pragma once

#include <string>
#include <string_view>

namespace zelvic::diag {

// "??" followed by the Base64 form (standard alphabet, "=" padding) of the
// name's UTF-8 bytes enciphered with the string cipher under the empty
// password.
std::wstring ProtectName(std::wstring_view name);

}  // namespace zelvic::diag
