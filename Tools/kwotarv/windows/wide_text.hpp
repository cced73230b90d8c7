// UTF-8 text as UTF-16 for the wide Win32 calls, and their UTF-16 answers as UTF-8.
#pragma once

#include <string>

namespace kwotarv {

std::wstring Wide(const std::string& text);
std::string Utf8(const std::wstring& text);

} // namespace kwotarv
