// Hand-written report texts in the layout the text builder gives them, for
// the tests of the report file and of the dialogs that write it.
#pragma once

#include <string>

namespace zelvic::test {

// A report as the text builder lays one out: numbered items, section
// underlines, the call-stack table. `id` is its bug identifier.
inline std::wstring Report(const std::wstring& id, const std::wstring& first_value = L"1.0.0.7") {
  return L"VarnelLog 7.1.0.0\r\n"
         L"\r\n"
         L"Application:\r\n"
         L"------------------------------------\r\n"
         L"  1.1 Start Date      : Thu, 7 Mar 2024 09:05:04\r\n"
         L"  1.3 Version Number  : " + first_value + L"\r\n"
         L"\r\n"
         L"Exception:\r\n"
         L"------------------------------------\r\n"
         L"  2.1 Date          : Thu, 7 Mar 2024 09:05:04\r\n"
         L"  2.2 Address       : 00401234\r\n"
         L"  2.5 Message       : Access violation at address 00401234.:_Read of address 00000000\r\n"
         L"                      second line\r\n"
         L"                      .\r\n"
         L"                      fourth line\r\n"
         L"  2.7 ID            : " + id + L"\r\n"
         L"  2.8 Count         : 1\r\n"
         L"  2.11 Sent         : 0\r\n"
         L"\r\n"
         L"Call Stack Information:\r\n"
         L"--------------------------------------------\r\n"
         L"|Address |Module  |Unit    |Line      |\r\n"
         L"--------------------------------------------\r\n"
         L"|00401234|host.exe|main.cpp|12[3]     |\r\n"
         L"--------------------------------------------\r\n"
         L"\r\n"
         L"Modules Information:\r\n"
         L"--------------------\r\n"
         L"|Handle  |Name    |\r\n"
         L"--------------------\r\n"
         L"|00400000|host.exe|\r\n"
         L"--------------------\r\n";
}

}  // namespace zelvic::test
